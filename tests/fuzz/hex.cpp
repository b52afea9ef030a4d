// Hex decoders on arbitrary text: no crash, results within their promised bounds, and the
// strict decoder exactly inverting the encoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "ktu/util/hex.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  size_t position = 0;
  const auto checked = ktu::util::hex_to_bin_checked(text, &position);
  if (position != std::numeric_limits<size_t>::max() && position >= size) std::abort();
  if (checked.size() > size) std::abort();

  if (ktu::util::hex_to_bin(text).size() != (size + 1) / 2) std::abort();

  const std::string strict = ktu::util::hex_to_bin_str(text);
  if (!strict.empty() && ktu::util::hex_to_bin_str(ktu::util::bin_str_to_hex(strict)) != strict) std::abort();
  if (ktu::util::hex_to_bin_str(ktu::util::bin_str_to_hex(text)) != text) std::abort();
  return 0;
}
