#include "ktu/encoding/url.hpp"

#include <gtest/gtest.h>

namespace ktu::encoding {
namespace {

using namespace std::string_literals;

TEST(UrlDecode, EscapesAndMalformedEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"a+b", "a b"},
      {"%41%4a%4A", "AJJ"},
      {"%", "%"},
      {"a%", "a%"},
      {"%4", "%4"},
      {"%zz", "%zz"},
      {"%4z", "%4z"},
      {"%%41", "%%41"},  // the second % is consumed by the failed escape
      {"%+", "%+"},
      {"%4+", "%4+"},
      {"%2541", "%41"},  // single pass
      {"%2B", "+"},
      {"%00%ff%FF", "\0\xff\xff"s},
      {"%e9t%C3%A9", "\xe9t\xc3\xa9"},
      {"", ""},
      {"plain/path.txt", "plain/path.txt"},
      {"\0%\0"s, "\0%\0"s},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(url_decode(in), out) << in;
}

TEST(UrlDecode, EveryByteAfterPercent) {
  // Each escape of every byte value decodes back to that byte.
  for (int b = 0; b < 256; ++b) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%%%02X", b);
    EXPECT_EQ(url_decode(buf), std::string(1, static_cast<char>(b))) << buf;
  }
}

}  // namespace
}  // namespace ktu::encoding
