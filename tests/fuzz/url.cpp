// Request targets from the network: decoding and splitting must never crash, and the
// results must hold what the input promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ktu/encoding/url.hpp"
#include "ktu/util/text.hpp"
#include "service/url_parser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // Decoding never grows the text, and a text without % or + comes back unchanged.
  const std::string decoded = ktu::encoding::url_decode(input);
  if (decoded.size() > input.size()) std::abort();
  if (input.find_first_of("%+") == std::string_view::npos && decoded != input) std::abort();

  const UrlParser parser(input);
  const auto question = input.find('?');
  if (question == std::string_view::npos) {
    if (!parser.query.empty() || parser.path != decoded) std::abort();
  } else {
    // One entry per token: separators + 1.
    std::size_t separators = 0;
    for (char c : input.substr(question + 1)) separators += (c == '&' || c == ';');
    if (parser.query.size() != separators + 1) std::abort();
  }
  if (parser.get_keys().size() != parser.query.size()) std::abort();
  for (const auto& [key, value] : parser.query) {
    if (!parser.get_value(key)) std::abort();
  }
  (void)parser.dump_query();
  (void)ktu::util::escape(input);
  return 0;
}
