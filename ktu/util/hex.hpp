// Bytes to hexadecimal text and back, and a classic hex dump.
//
// Three decoders of different strictness live side by side:
//   hex_to_bin_checked  annotated hex ('#' comments, quoted literals), error position reported
//   hex_to_bin_str      strict pairs, all or nothing
//   hex_to_bin          lenient pairs, never fails
#pragma once

#include <cstddef>
#include <iosfwd>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

namespace ktu::util {

// Rows of 16 bytes: offset, the bytes in hex, the printable characters. Nothing for size 0.
void hex_dump(std::ostream& out, const void* data, size_t size);
void hex_dump(const void* data, size_t size);

// Whitespace is skipped anywhere (even between the two digits of a byte), "#" starts a comment
// up to the line end, '...' appends its bytes unchanged. On an unexpected byte its offset goes to
// *error_position and the bytes decoded so far are returned; on success *error_position is
// SIZE_MAX. A lone digit left at the end is dropped.
std::vector<unsigned char> hex_to_bin_checked(const std::string& text, size_t* error_position);

// Pairs of hex digits only; anything else (an odd length included) gives an empty string.
std::string hex_to_bin_str(const std::string& text);

// Each two-character piece (the last may be one) read as a hex int the way a stream reads it;
// its low 8 bits are appended, 0 when nothing can be read.
std::vector<unsigned char> hex_to_bin(const std::string& text);

namespace detail {
inline void append_hex(std::string& out, unsigned char byte, bool lower_case) {
  const char* digits = lower_case ? "0123456789abcdef" : "0123456789ABCDEF";
  out.push_back(digits[byte >> 4]);
  out.push_back(digits[byte & 0x0f]);
}
}  // namespace detail

template <typename Iterator>
std::string bin_to_hex(Iterator first, Iterator last, bool lower_case) {
  using Value = typename std::iterator_traits<Iterator>::value_type;
  static_assert(std::is_same_v<Value, char> || std::is_same_v<Value, unsigned char> ||
                    std::is_same_v<Value, signed char>,
                "bin_to_hex works on bytes");
  std::string out;
  if constexpr (std::is_base_of_v<std::forward_iterator_tag,
                                  typename std::iterator_traits<Iterator>::iterator_category>) {
    out.reserve(2 * static_cast<size_t>(std::distance(first, last)));
  }
  for (; first != last; ++first) detail::append_hex(out, static_cast<unsigned char>(*first), lower_case);
  return out;
}

inline std::string bin_to_hex(const char* data, size_t size) {
  return bin_to_hex(data, data + size, false);
}

template <typename Container>
std::string bin_to_hex(const Container& bytes) {
  return bin_to_hex(std::begin(bytes), std::end(bytes), false);
}

inline std::string bin_str_to_hex(const std::string& bytes) {
  return bin_to_hex(bytes.begin(), bytes.end(), false);
}

}  // namespace ktu::util
