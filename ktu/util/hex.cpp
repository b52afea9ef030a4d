#include "ktu/util/hex.hpp"

#include <cstdint>
#include <iostream>
#include <limits>

namespace ktu::util {

namespace {

// Character classes of the C locale, spelled out so that bytes 0x80-0xFF never match.
int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_graph(unsigned char c) { return c >= 0x21 && c <= 0x7e; }

// One piece of up to two characters read as a stream reads a hex int: leading whitespace, an
// optional sign, then digits. Nothing readable gives 0.
unsigned char lenient_piece(const char* p, size_t n) {
  size_t i = 0;
  while (i < n && is_space(static_cast<unsigned char>(p[i]))) ++i;
  bool negative = false;
  if (i < n && (p[i] == '+' || p[i] == '-')) {
    negative = p[i] == '-';
    ++i;
  }
  int value = 0;
  bool any = false;
  for (; i < n; ++i) {
    const int d = hex_value(static_cast<unsigned char>(p[i]));
    if (d < 0) break;
    value = value * 16 + d;
    any = true;
  }
  if (!any) return 0;
  return static_cast<unsigned char>(static_cast<unsigned>(negative ? -value : value) & 0xffu);
}

}  // namespace

void hex_dump(std::ostream& out, const void* data, size_t size) {
  if (size == 0) return;
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::ios_base::fmtflags saved_flags = out.flags();
  const char saved_fill = out.fill();
  out.setf(std::ios_base::hex, std::ios_base::basefield);
  out.setf(std::ios_base::right, std::ios_base::adjustfield);
  out.unsetf(std::ios_base::showbase);
  out.fill('0');
  for (size_t offset = 0; offset < size; offset += 16) {
    const size_t n = size - offset < 16 ? size - offset : 16;
    out.width(4);
    out << offset << "| ";
    for (size_t j = 0; j < 16; ++j) {
      if (j < n) {
        out.width(2);
        out << static_cast<unsigned>(bytes[offset + j]) << ' ';
      } else {
        out << "   ";
      }
      if (j == 7 || j == 15) out << ' ';
    }
    for (size_t j = 0; j < n; ++j) {
      const unsigned char c = bytes[offset + j];
      out << (is_graph(c) ? static_cast<char>(c) : '.');
      if (j == 7 || j == 15) out << ' ';
    }
    out << '\n';
    out.flush();
  }
  out.flags(saved_flags);
  out.fill(saved_fill);
}

void hex_dump(const void* data, size_t size) { hex_dump(std::cout, data, size); }

std::vector<unsigned char> hex_to_bin_checked(const std::string& text, size_t* error_position) {
  enum class State { FIRST, SECOND, COMMENT };
  std::vector<unsigned char> out;
  State state = State::FIRST;
  int pending = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (state == State::COMMENT) {
      if (c == '\n') state = State::FIRST;
      continue;
    }
    const int d = hex_value(c);
    if (d >= 0) {
      if (state == State::FIRST) {
        pending = d;
        state = State::SECOND;
      } else {
        out.push_back(static_cast<unsigned char>(pending * 16 + d));
        state = State::FIRST;
      }
    } else if (is_space(c)) {
      // Whitespace may even split the two digits of one byte.
    } else if (c == '#') {
      state = State::COMMENT;
    } else if (c == '\'') {
      size_t j = i + 1;
      while (j < text.size() && text[j] != '\'') out.push_back(static_cast<unsigned char>(text[j++]));
      // An unclosed literal runs to the end of the text.
      i = j;
      state = State::FIRST;
    } else {
      if (error_position) *error_position = i;
      return out;
    }
  }
  if (error_position) *error_position = std::numeric_limits<size_t>::max();
  return out;
}

std::string hex_to_bin_str(const std::string& text) {
  if (text.size() % 2 != 0) return {};
  std::string out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = hex_value(static_cast<unsigned char>(text[i]));
    const int lo = hex_value(static_cast<unsigned char>(text[i + 1]));
    if (hi < 0 || lo < 0) return {};
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return out;
}

std::vector<unsigned char> hex_to_bin(const std::string& text) {
  std::vector<unsigned char> out;
  out.reserve((text.size() + 1) / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    out.push_back(lenient_piece(text.data() + i, text.size() - i < 2 ? 1 : 2));
  }
  return out;
}

}  // namespace ktu::util
