#include "ktu/util/text.hpp"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <system_error>

namespace ktu::util {
namespace {

// C-locale case mapping that no setlocale() call can change.
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// string_view of the set, so that a NUL byte in the text never counts as one of its bytes.
std::size_t last_not_of(const std::string& text, const char* set) {
  return text.find_last_not_of(std::string_view(set));
}

// Compares the first n bytes ignoring ASCII case; unlike strncasecmp it does not stop at NUL.
int compare_bytes_nocase(std::string_view a, std::string_view b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(ascii_lower(a[i]));
    const auto y = static_cast<unsigned char>(ascii_lower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

// Length of the valid UTF-8 sequence at the start of `s` (not empty), or 0 when it is not one.
std::size_t utf8_sequence(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = byte(0);
  if (c < 0x80) return 1;
  std::size_t n;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < n || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return n;
}

}  // namespace

void rstrip(std::string& text, const char* set) {
  const auto pos = last_not_of(text, set);
  text.erase(pos == std::string::npos ? 0 : pos + 1);
}

std::string rstripped(const std::string& text, const char* set) {
  std::string copy = text;
  rstrip(copy, set);
  return copy;
}

void lstrip(std::string& text, const char* set) {
  const auto pos = text.find_first_not_of(std::string_view(set));
  text.erase(0, pos == std::string::npos ? text.size() : pos);
}

std::string lstripped(const std::string& text, const char* set) {
  std::string copy = text;
  lstrip(copy, set);
  return copy;
}

void strip(std::string& text) {
  rstrip(text, whitespace);
  lstrip(text, whitespace);
}

std::string stripped(const std::string& text, const char* set) {
  const std::string_view s(set);
  const auto last = text.find_last_not_of(s);
  if (last == std::string::npos) return std::string();
  const auto first = text.find_first_not_of(s);
  return text.substr(first, last - first + 1);
}

std::vector<std::string> split(std::string_view text, char delimiter, bool keep_empty) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    const auto pos = text.find(delimiter, start);
    const auto piece = text.substr(start, pos == std::string_view::npos ? std::string_view::npos
                                                                         : pos - start);
    if (keep_empty || !piece.empty()) pieces.emplace_back(piece);
    if (pos == std::string_view::npos) break;
    start = pos + 1;
  }
  return pieces;
}

int compare_nocase(const std::string& a, const std::string& b) {
  return ::strcasecmp(a.c_str(), b.c_str());
}

bool equals_nocase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && compare_bytes_nocase(a, b, a.size()) == 0;
}

bool NoCaseLess::operator()(std::string_view a, std::string_view b) const {
  const int r = compare_bytes_nocase(a, b, std::min(a.size(), b.size()));
  return r < 0 || (r == 0 && a.size() < b.size());
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

std::string to_lower(std::string text) {
  for (char& c : text) c = ascii_lower(c);
  return text;
}

std::string to_upper(std::string text) {
  for (char& c : text) c = ascii_upper(c);
  return text;
}

bool parse_bool(std::string_view text) {
  const std::string s = to_lower(std::string(text));
  return !(s.empty() || s[0] == 'f' || s[0] == 'n' || s == "0" || s == "off");
}

template <>
bool from_string<bool>(std::string_view text, bool& value, std::ios_base::fmtflags) {
  if (text == "1" || text == "true") {
    value = true;
    return true;
  }
  if (text == "0" || text == "false") {
    value = false;
    return true;
  }
  return false;
}

template <>
bool from_string<int>(std::string_view text, int& value, std::ios_base::fmtflags flags) {
  if (text.empty()) return false;
  std::istringstream in{std::string(text)};
  // A cleared base field lets the prefix choose the base.
  in.flags((in.flags() & ~std::ios_base::basefield) | (flags & std::ios_base::basefield));
  in >> value;
  // eof after a good extraction means every byte was consumed.
  return !in.fail() && in.eof();
}

bool replace_substring(std::string& text, std::string_view search, std::string_view replacement) {
  const auto pos = text.find(search);
  if (pos == std::string::npos) return false;
  text.replace(pos, search.size(), replacement);
  return true;
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    throw std::system_error(errno, std::generic_category(), "vsnprintf");
  }
  std::string out(static_cast<std::size_t>(length), '\0');
  const int written = std::vsnprintf(out.data(), out.size() + 1, fmt, again);
  va_end(again);
  if (written < 0) throw std::system_error(errno, std::generic_category(), "vsnprintf");
  return out;
}

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    std::size_t n = utf8_sequence(text);
    if (n == 0) {
      out.append("\xEF\xBF\xBD");
      n = 1;
    } else {
      out.append(text.substr(0, n));
    }
    text.remove_prefix(n);
  }
  return out;
}

std::string escape(std::string_view text) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\a': out += "\\a"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\v': out += "\\v"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\'': out += "\\'"; break;
      case '\\': out += "\\\\"; break;
      default: {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b <= 0x7e) {
          out += c;
        } else {
          out += "\\x";
          out += digits[b >> 4];
          out += digits[b & 0xf];
        }
      }
    }
  }
  return out;
}

std::uint8_t hex_to_byte(char high, char low) {
  const auto value = [](char c) -> unsigned {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    return static_cast<unsigned>(ascii_lower(c) - 'a' + 10);
  };
  return static_cast<std::uint8_t>(((value(high) & 0xf) << 4) | (value(low) & 0xf));
}

}  // namespace ktu::util
