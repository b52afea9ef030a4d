#include "ktu/util/text.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace ktu::util {
namespace {

using namespace std::string_literals;

TEST(TextStrip, SetsEmptySetsAndNulBytes) {
  struct Case {
    std::string text;
    const char* set;
    std::string left, right, both;
  };
  const Case cases[] = {
      {"  a b  ", " ", "a b  ", "  a b", "a b"},
      {"xxyy", "xy", "", "", ""},
      {"", " ", "", "", ""},
      {" a ", "", " a ", " a ", " a "},
      // A NUL byte in the text is not a member of the (NUL-terminated) set.
      {"\0 a \0"s, " ", "\0 a \0"s, "\0 a \0"s, "\0 a \0"s},
      {" \0a\0 "s, " ", "\0a\0 "s, " \0a\0"s, "\0a\0"s},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lstripped(c.text, c.set), c.left) << escape(c.text);
    EXPECT_EQ(rstripped(c.text, c.set), c.right) << escape(c.text);
    EXPECT_EQ(stripped(c.text, c.set), c.both) << escape(c.text);
    std::string l = c.text, r = c.text;
    lstrip(l, c.set);
    rstrip(r, c.set);
    EXPECT_EQ(l, c.left);
    EXPECT_EQ(r, c.right);
  }
  std::string ws = " \n\r\t\v\fx y\f\v\t\r\n ";
  strip(ws);
  EXPECT_EQ(ws, "x y");
}

TEST(TextSplit, KeepEmptyAndDropEmpty) {
  using V = std::vector<std::string>;
  EXPECT_EQ(split("a||b|", '|', true), (V{"a", "", "b", ""}));
  EXPECT_EQ(split("a||b|", '|', false), (V{"a", "b"}));
  EXPECT_EQ(split("", '|', true), (V{""}));
  EXPECT_EQ(split("", '|', false), V{});
  EXPECT_EQ(split("|", '|', true), (V{"", ""}));
  EXPECT_EQ(split("abc", '|', true), (V{"abc"}));
  EXPECT_EQ(split("a\0b\0"s, '\0', true), (V{"a", "b", ""}));
}

TEST(TextCase, ComparisonsAndMapping) {
  EXPECT_EQ(compare_nocase("Hello", "hELLO"), 0);
  EXPECT_LT(compare_nocase("abc", "ABD"), 0);
  EXPECT_EQ(compare_nocase("ab\0x"s, "AB\0y"s), 0);  // C-string comparison by contract

  EXPECT_TRUE(equals_nocase("100-Continue", "100-continue"));
  EXPECT_FALSE(equals_nocase("abc", "abcd"));
  EXPECT_FALSE(equals_nocase("a\0b"s, "a\0c"s));  // bytes after a NUL still count
  EXPECT_FALSE(equals_nocase("[", "{"));          // only letters have a case

  std::map<std::string, int, NoCaseLess> m;
  m["Content-Type"] = 1;
  m["content-type"] = 2;
  m["content"] = 3;
  m["a\0x"s] = 4;
  m["a\0y"s] = 5;
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m["CONTENT-TYPE"], 2);
  EXPECT_EQ(m.begin()->second, 4);  // "a..." first, then the prefix "content" before "content-type"
  EXPECT_EQ(std::next(m.begin(), 2)->first, "content");

  EXPECT_EQ(to_lower("AbC\xC9-Z"), "abc\xC9-z");
  EXPECT_EQ(to_upper("aBc\xE9-z"), "ABC\xE9-Z");
  EXPECT_TRUE(starts_with("abc", ""));
  EXPECT_TRUE(starts_with("abc", "ab"));
  EXPECT_FALSE(starts_with("ab", "abc"));
  EXPECT_FALSE(starts_with("abc", "AB"));
}

TEST(TextParse, Booleans) {
  for (const char* t : {"Yes", "2", "on", "abc", "of", "true", "TRUE", "1"}) EXPECT_TRUE(parse_bool(t)) << t;
  for (const char* f : {"NO", "n", "off", "OFF", "", "0", "false", "F", "nonsense"}) EXPECT_FALSE(parse_bool(f)) << f;

  bool b = false;
  EXPECT_TRUE(from_string<bool>("true", b, std::ios_base::dec));
  EXPECT_TRUE(b);
  EXPECT_TRUE(from_string<bool>("0", b, std::ios_base::dec));
  EXPECT_FALSE(b);
  b = true;
  for (const char* bad : {"TRUE", "yes", "", " 1", "1 "}) {
    EXPECT_FALSE(from_string<bool>(bad, b, std::ios_base::dec)) << bad;
    EXPECT_TRUE(b) << "unchanged on failure";
  }
}

TEST(TextParse, IntegersWholeTextOnly) {
  const std::pair<const char*, int> good[] = {{"42", 42}, {"   42", 42}, {"+42", 42}, {"-7", -7},
                                              {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}};
  for (const auto& [text, expected] : good) {
    int v = 0;
    EXPECT_TRUE(from_string<int>(text, v, std::ios_base::dec)) << text;
    EXPECT_EQ(v, expected) << text;
  }
  for (const char* bad : {"42 ", "4x", "0x10", "", "-", " ", "99999999999", "2147483648"}) {
    int v = 0;
    EXPECT_FALSE(from_string<int>(bad, v, std::ios_base::dec)) << bad;
  }
  int v = 0;
  EXPECT_FALSE(from_string<int>("42\0"s, v, std::ios_base::dec));
  EXPECT_TRUE(from_string<int>("0x10", v, std::ios_base::fmtflags{}));
  EXPECT_EQ(v, 16);
  EXPECT_TRUE(from_string<int>("010", v, std::ios_base::fmtflags{}));
  EXPECT_EQ(v, 8);
  EXPECT_TRUE(from_string<int>("ff", v, std::ios_base::hex));
  EXPECT_EQ(v, 255);
}

TEST(TextEdit, ReplaceFormatEscape) {
  std::string s = "aXbX";
  EXPECT_TRUE(replace_substring(s, "X", "Y"));
  EXPECT_EQ(s, "aYbX");
  s = "abc";
  EXPECT_TRUE(replace_substring(s, "", "Z"));
  EXPECT_EQ(s, "Zabc");
  s = "";
  EXPECT_FALSE(replace_substring(s, "X", "Y"));
  s = "abc";
  EXPECT_FALSE(replace_substring(s, "abcd", "Y"));
  EXPECT_EQ(s, "abc");

  EXPECT_EQ(format("%s=%d", "x", 5), "x=5");
  EXPECT_EQ(format("%s", std::string(5000, 'q').c_str()), std::string(5000, 'q'));
  EXPECT_EQ(format("%c", 0), "\0"s);  // the length counts the NUL written
  EXPECT_EQ(format("%s", ""), "");
  // A width the C library cannot represent: an error with its context, not a giant text.
  const std::string too_wide = "%" + std::to_string(2147483648LL) + "d";
  try {
    format(too_wide.c_str(), 1);
    ADD_FAILURE() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::error_code(EOVERFLOW, std::generic_category()));
    EXPECT_STREQ(e.what(), ("vsnprintf: " + e.code().message()).c_str());
  }

  EXPECT_EQ(escape("\t"), "\\t");
  EXPECT_EQ(escape("\x01"), "\\x01");
  EXPECT_EQ(escape("\xE9"), "\\xe9");
  EXPECT_EQ(escape("\a\b\n\v\f\r\"'\\ ~\x7F\x1F\0"s), "\\a\\b\\n\\v\\f\\r\\\"\\'\\\\ ~\\x7f\\x1f\\x00");

  EXPECT_EQ(hex_to_byte('4', '1'), 0x41);
  EXPECT_EQ(hex_to_byte('f', 'F'), 0xff);
  EXPECT_EQ(hex_to_byte('A', '0'), 0xa0);
}

TEST(TextUtf8, ValidSequencesKeptEveryOtherByteReplaced) {
  const std::string R = "\xef\xbf\xbd";  // U+FFFD
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"plain\0nul"s, "plain\0nul"s},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf",
       "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"},
      {"\xe9t\xe9", R + "t" + R},                     // legacy 8-bit text
      {"\x80" "a\xbf", R + "a" + R},                  // stray continuation bytes
      {"\xc0\xaf \xe0\x80\xaf", R + R + " " + R + R + R},  // overlong forms
      {"\xed\xa0\x80", R + R + R},                     // a surrogate
      {"\xf4\x90\x80\x80 \xf5", R + R + R + R + " " + R},  // beyond U+10FFFF
      {"\xe2\x82" "x \xe2\x82", R + R + "x " + R + R},    // cut short, inside and at the end
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(valid_utf8(in), out) << escape(in);
}

}  // namespace
}  // namespace ktu::util
