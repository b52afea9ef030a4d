// Small text functions. They work on bytes: no character set is assumed, only the ASCII
// letters have a case, and any text may hold any byte (NUL included). None keeps state.
#pragma once

#include <cstdint>
#include <ios>
#include <string>
#include <string_view>
#include <vector>

namespace ktu::util {

// The bytes `strip` removes: space, newline, carriage return, tab, vertical tab, form feed.
inline constexpr const char* whitespace = " \n\r\t\v\f";

// Remove from the end (rstrip), the start (lstrip) or both ends (stripped) every byte found
// in the NUL-terminated `set`. An empty set leaves the text as it is.
void rstrip(std::string& text, const char* set);
std::string rstripped(const std::string& text, const char* set);
void lstrip(std::string& text, const char* set);
std::string lstripped(const std::string& text, const char* set);
void strip(std::string& text);  // both ends, `whitespace`
std::string stripped(const std::string& text, const char* set);

// Pieces between the delimiters. With `keep_empty` a text of n delimiters gives n + 1
// pieces (an empty text one empty piece); without it every empty piece is dropped.
std::vector<std::string> split(std::string_view text, char delimiter, bool keep_empty);

// strcasecmp of the two as C strings: stops at the first NUL byte.
int compare_nocase(const std::string& a, const std::string& b);
// Equal length and equal bytes but for ASCII case; every byte counts, NUL included.
bool equals_nocase(std::string_view a, std::string_view b);

// Case-insensitive strict ordering for sorted containers; a prefix sorts first.
struct NoCaseLess {
  bool operator()(std::string_view a, std::string_view b) const;
};

bool starts_with(std::string_view text, std::string_view prefix);

// By value, converted in place: a caller that moves its text in pays no copy.
std::string to_lower(std::string text);
std::string to_upper(std::string text);

// False for the empty text, "0", "off" and anything starting with f or n (any case);
// true for everything else.
bool parse_bool(std::string_view text);

// Parses the whole of `text` into `value`; false on any failure. For bool only exactly
// "1", "true", "0" and "false" are accepted and the flags are not used (the value is left
// alone on failure). For int, stream extraction with the base taken from `flags`: leading
// whitespace and a sign are accepted, trailing bytes and out-of-range values fail, and on
// failure the int's content is not to be relied on. With no base bit, 0x means
// hexadecimal and a leading 0 octal.
template <typename T>
bool from_string(std::string_view text, T& value, std::ios_base::fmtflags flags);
template <>
bool from_string<bool>(std::string_view text, bool& value, std::ios_base::fmtflags flags);
template <>
bool from_string<int>(std::string_view text, int& value, std::ios_base::fmtflags flags);

// Replaces the first occurrence of `search`; false, text unchanged, when there is none.
// An empty `search` matches at the front.
bool replace_substring(std::string& text, std::string_view search, std::string_view replacement);

// printf into a new text. Throws std::system_error ("vsnprintf") when formatting fails.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// C-style escaping for log lines: \a \b \t \n \v \f \r \" \' \\, printable ASCII as is,
// every other byte as \xNN (lower-case hex).
std::string escape(std::string_view text);

// The text as valid UTF-8, as JSON and other UTF-8 outputs need it: every valid sequence is
// kept, and each byte that cannot start one (a stray continuation byte, an overlong form, a
// surrogate, a sequence cut short, a legacy 8-bit character) becomes U+FFFD.
std::string valid_utf8(std::string_view text);

// The byte of two hexadecimal digits (0-9, a-f, A-F); callers pass only hex digits.
std::uint8_t hex_to_byte(char high, char low);

}  // namespace ktu::util
