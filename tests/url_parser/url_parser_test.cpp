#include "service/url_parser.hpp"

#include <gtest/gtest.h>

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entries(const UrlParser& p) { return Entries(p.query.begin(), p.query.end()); }

TEST(UrlParser, PathAndQuerySplitting) {
  struct Case {
    const char* target;
    const char* path;
    Entries query;
  };
  const Case cases[] = {
      {"/v1/scan", "/v1/scan", {}},
      {"/v1/scan?", "/v1/scan", {{"", ""}}},
      {"/v1/scan?a=1&&b=2", "/v1/scan", {{"", ""}, {"a", "1"}, {"b", "2"}}},
      {"/x?a=1;b=2", "/x", {{"a", "1"}, {"b", "2"}}},
      {"/x?a=1&b=2", "/x", {{"a", "1"}, {"b", "2"}}},
      {"/x?flag", "/x", {{"flag", ""}}},
      {"/x?=v", "/x", {{"", "v"}}},
      {"/x?k==v", "/x", {{"k", "=v"}}},
      {"/x?&", "/x", {{"", ""}, {"", ""}}},
      {"/x?a=%26b&c", "/x", {{"a", "&b"}, {"c", ""}}},
      {"/x?a=1?b=2", "/x", {{"a", "1?b=2"}}},
      {"/x?%zz=%", "/x", {{"%zz", "%"}}},
      {"/x?a+b=c+d&e%3Df=g", "/x", {{"a b", "c d"}, {"e=f", "g"}}},
      {"/a+b%3Fc", "/a b?c", {}},  // an encoded ? does not start the query
      {"/p#frag?x=1#f", "/p#frag", {{"x", "1#f"}}},
      {"", "", {}},
      {"?", "", {{"", ""}}},
      {"/x?b=1&B=2&a=3&ab=4", "/x", {{"B", "2"}, {"a", "3"}, {"ab", "4"}, {"b", "1"}}},
      // Bytes compare unsigned: a decoded 0xE9 sorts after every ASCII key.
      {"/x?%E9=1&~=2&%00=3", "/x", {{std::string(1, '\0'), "3"}, {"~", "2"}, {"\xE9", "1"}}},
  };
  for (const auto& c : cases) {
    const UrlParser p(c.target);
    EXPECT_EQ(p.path, c.path) << c.target;
    EXPECT_EQ(entries(p), c.query) << c.target;
  }
}

TEST(UrlParser, RepeatedKeysKeepArrivalOrder) {
  const UrlParser p("/x?a=2&z=0&a=1&a=3");
  EXPECT_EQ(p.get_value("a"), "2");
  EXPECT_EQ(p.get_values("a"), (std::vector<std::string>{"2", "1", "3"}));
  EXPECT_EQ(p.get_keys(), (std::vector<std::string>{"a", "a", "a", "z"}));
  EXPECT_EQ(p.get_value("missing"), std::nullopt);
  EXPECT_TRUE(p.get_values("missing").empty());
  EXPECT_EQ(p.get_value("A"), std::nullopt);

  const UrlParser empty_value("/x?a=");
  EXPECT_EQ(empty_value.get_value("a"), "");
}

TEST(UrlParser, DumpQueryEscapesKeysAndValues) {
  EXPECT_EQ(UrlParser("/x").dump_query(), "");
  EXPECT_EQ(UrlParser("/x?b=2&a=1").dump_query(), "\"a\" = \"1\"; \"b\" = \"2\"; ");
  EXPECT_EQ(UrlParser("/x?k%22=%0A%5C%01").dump_query(), "\"k\\\"\" = \"\\n\\\\\\x01\"; ");
  EXPECT_EQ(UrlParser("/x?").dump_query(), "\"\" = \"\"; ");
}

}  // namespace
