// Any bytes, with every flag combination: the parser reports or skips, never crashes, and
// a successful parse reports no error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ktu/ini/ini_parser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned flags = data[0] & 15u;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  int errors = 0;
  std::size_t items = 0;
  const bool ok = ktu::ini::parse_string(
      text, [&](const ktu::ini::Item&) { ++items; },
      [&](ktu::ini::ErrorCode, std::string, std::string) { ++errors; }, flags);
  if (ok && errors != 0) std::abort();
  if (!ok && errors == 0) std::abort();
  if (ktu::ini::parser::get_err_cb() != nullptr) std::abort();
  return 0;
}
