#include "ktu/encoding/url.hpp"

#include <cctype>

#include "ktu/util/text.hpp"

namespace ktu::encoding {
namespace {
bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
}  // namespace

std::string url_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
      continue;
    }
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 == n) {
      out += '%';
      break;
    }
    const char high = text[++i];
    if (!is_hex(high)) {
      out += '%';
      out += high;
      continue;
    }
    if (i + 1 == n) {
      out += '%';
      out += high;
      break;
    }
    const char low = text[++i];
    if (is_hex(low)) {
      out += static_cast<char>(util::hex_to_byte(high, low));
    } else {
      out += '%';
      out += high;
      out += low;
    }
  }
  return out;
}

}  // namespace ktu::encoding
