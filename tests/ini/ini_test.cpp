#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "ktu/ini/ini_parser.hpp"
#include "ktu/ini/item.hpp"
#include "ktu/log/log.hpp"
#include "tests/support/fixtures.hpp"

namespace {

using ktu::ini::ErrorCode;
using ktu::ini::Item;
using ktu::ini::ItemKind;
using ktu::ini::ValueType;

// Everything a parse reported, as text lines, so a case reads as one expectation.
struct Record {
  std::vector<std::string> lines;
  bool result = false;
};

const char* kind_name(ItemKind k) {
  switch (k) {
    case ItemKind::SECTION: return "SECTION";
    case ItemKind::KEY_VALUE: return "KV";
    case ItemKind::COMMENT: return "COMMENT";
    case ItemKind::EMPTY_LINE: return "EMPTY";
    case ItemKind::PLAIN_VALUE: return "PLAIN";
  }
  return "?";
}

const char* type_name(ValueType t) {
  switch (t) {
    case ValueType::STRING: return "S";
    case ValueType::BOOLEAN: return "B";
    case ValueType::INTEGER: return "I";
  }
  return "?";
}

std::string describe(const Item& i) {
  std::string s = fmt::format("{} [{}] {}={}|{}|{}", kind_name(i.kind), i.section, i.key, i.value,
                              i.number, type_name(i.value_type));
  if (i.comment_char) s += fmt::format(" {}", i.comment_char);
  return s;
}

ktu::ini::ItemCallback item_to(Record& r) {
  return [&r](const Item& i) { r.lines.push_back(describe(i)); };
}

ktu::ini::ErrorCallback error_to(Record& r) {
  return [&r](ErrorCode code, std::string message, std::string context) {
    r.lines.push_back(fmt::format("E{} {} <{}>", static_cast<int>(code), message, context));
  };
}

Record parse(const std::string& text, unsigned flags = 0) {
  Record r;
  r.result = ktu::ini::parse_string(text, item_to(r), error_to(r), flags);
  return r;
}

const std::string kInvalid = "invalid line, expected '[section]' or 'key=value' or a comment";

struct Case {
  std::string text;
  unsigned flags;
  std::vector<std::string> expected;
  bool result;
};

TEST(IniParser, LinesValuesAndErrors) {
  const std::vector<Case> cases = {
      {"", 0, {}, true},
      {"# only\n; comments\n\n   \n", 0, {}, true},
      // Every line form, reported or not by the flags.
      {"# top\n\n[srv] ; main\nport = 80\nname = \"a b\"\ndebug = on\nbare words\n",
       15,
       {"COMMENT [] =top|0|S #", "EMPTY [] =|0|S", "SECTION [srv] =main|0|S ;",
        "KV [srv] port=80|80|I", "KV [srv] name=a b|0|S", "KV [srv] debug=on|1|B",
        "PLAIN [srv] =bare words|0|S"},
       true},
      {"# top\n\n[srv] ; main\nport = 80\nname = \"a b\"\ndebug = on\nbare words\n",
       0,
       {"KV [srv] port=80|80|I", "KV [srv] name=a b|0|S", "KV [srv] debug=on|1|B",
        "E1 <input>:7:1: " + kInvalid + " <bare words\n^>"},
       false},
      {"a = 1", 0, {"KV [] a=1|1|I"}, true},
      {"[srv] # note\nport=80", 1, {"SECTION [srv] =note|0|S #", "KV [srv] port=80|80|I"}, true},
      {"[srv] # note\nport=80", 0, {"KV [srv] port=80|80|I"}, true},
      {"[ spaced name ]\nk=v\n[]\nk=w\n", 0, {"KV [spaced name] k=v|0|S", "KV [] k=w|0|S"}, true},
      // Integers.
      {"a=1_000\nb=-7\nc=+7\nd=007\ne=9223372036854775807\nf=9223372036854775808\n"
       "g=-9223372036854775808\n",
       0,
       {"KV [] a=1_000|1000|I", "KV [] b=-7|-7|I", "KV [] c=+7|7|I", "KV [] d=007|7|I",
        "KV [] e=9223372036854775807|9223372036854775807|I",
        "KV [] f=9223372036854775808|0|S",
        "KV [] g=-9223372036854775808|-9223372036854775808|I"},
       true},
      {"a=1__000\nb=1_\nc=_1\nd=0x10\ne=12 apples\nf=1 \t\n",
       0,
       {"KV [] a=1__000|0|S", "KV [] b=1_|0|S", "KV [] c=_1|0|S", "KV [] d=0x10|0|S",
        "KV [] e=12 apples|0|S", "KV [] f=1|1|I"},
       true},
      // Booleans and words that only begin like them.
      {"a=Yes\nb=OFF\nc=t\nd=F\ne=tr\nf=offf\ng=true # c\nh=No  \n",
       0,
       {"KV [] a=Yes|1|B", "KV [] b=OFF|0|B", "KV [] c=t|1|B", "KV [] d=F|0|B", "KV [] e=tr|0|S",
        "KV [] f=offf|0|S", "KV [] g=true # c|0|S", "KV [] h=No|0|B"},
       true},
      // An empty value leaves its line end to the next pass.
      {"key =\nx=1\n", 4, {"KV [] key=|0|S", "EMPTY [] =|0|S", "KV [] x=1|1|I"}, true},
      {"key =", 0, {"KV [] key=|0|S"}, true},
      // No comment after a value; keys keep inner blanks, values everything up to the line end.
      {"key = value ; note\n; note\nmy key = v\na=b=c\n", 0,
       {"KV [] key=value ; note|0|S", "KV [] my key=v|0|S", "KV [] a=b=c|0|S"}, true},
      {"k = 'single' \"x\"", 0, {"KV [] k='single' \"x\"|0|S"}, true},
      // CR LF lines; a lone CR is an ordinary character.
      {"[s]\r\na = 1\r\nb = x\r\n", 0, {"KV [s] a=1|1|I", "KV [s] b=x|0|S"}, true},
      {"k = a\rb", 0, {"KV [] k=a\rb|0|S"}, true},
      // Invalid lines.
      {"   just text\nk=v\n", 0,
       {"E1 <input>:1:4: " + kInvalid + " <   just text\n   ^>", "KV [] k=v|0|S"}, false},
      {"just text", 8, {"PLAIN [] =just text|0|S"}, true},
      {"=v\n]x\na[1]=x\n", 0,
       {"E1 <input>:1:1: " + kInvalid + " <=v\n^>", "E1 <input>:2:1: " + kInvalid + " <]x\n^>",
        "E1 <input>:3:1: " + kInvalid + " <a[1]=x\n^>"},
       false},
      // Section errors leave the current section as it was.
      {"[old]\n[abc\nk=v\n", 0,
       {"E1 <input>:2:5: parse error matching tao::pegtl::ascii::one<']'> <[abc\n    ^>",
        "E1 <input>:2:1: " + kInvalid + " <[abc\n^>", "KV [old] k=v|0|S"},
       false},
      {"[a] x\n", 0,
       {"E1 <input>:1:5: unexpected trailing text <[a] x\n    ^>",
        "E1 <input>:1:1: " + kInvalid + " <[a] x\n^>"},
       false},
      {"k = \"a\" b\n", 0,
       {"E1 <input>:1:9: unexpected trailing text <k = \"a\" b\n        ^>",
        "E1 <input>:1:1: " + kInvalid + " <k = \"a\" b\n^>"},
       false},
      {"k = \"a\" b\n", 8,
       {"E1 <input>:1:9: unexpected trailing text <k = \"a\" b\n        ^>",
        "PLAIN [] =k = \"a\" b|0|S"},
       false},
      {"k = \"abc", 0,
       {"E1 <input>:1:9: string value not closed, expected \" <k = \"abc\n        ^>",
        "E1 <input>:1:1: " + kInvalid + " <k = \"abc\n^>"},
       false},
      // Trailing white space without a line end: the end-of-input error, twice.
      {"a=1\n   ", 0,
       {"KV [] a=1|1|I", "E1 <input>:2:1: unexpected input <   \n^>",
        "E1 <input>:2:1: unexpected input <   \n^>"},
       false},
  };
  for (const auto& c : cases) {
    const Record r = parse(c.text, c.flags);
    EXPECT_EQ(r.lines, c.expected) << "input: " << c.text;
    EXPECT_EQ(r.result, c.result) << "input: " << c.text;
  }
}

TEST(IniParser, QuotedValueEscapes) {
  struct Esc {
    std::string text;
    std::string value;
  };
  const std::vector<Esc> ok = {
      {R"(k = "\t\x41\101\"")", std::string("\tAA\"")},
      {R"(k = "a\0b")", std::string("a\0b", 3)},
      {R"(k = "\777\400")", std::string("\xff\0", 2)},
      {R"(k = "\18")", std::string("\x01" "8")},
      {R"(k = "\a\b\e\f\n\r\v\\\'")", std::string("\a\b\x1b\f\n\r\v\\'")},
      {"k = \"ab\\\ncd\"", "abcd"},
      {"k = \"caf\xc3\xa9\t\x7f\"", "caf\xc3\xa9\t\x7f"},
  };
  for (const auto& e : ok) {
    Record r;
    std::string value;
    const bool result = ktu::ini::parse_string(
        e.text, [&](const Item& i) { value = i.value; }, error_to(r), 0);
    EXPECT_TRUE(result) << e.text;
    EXPECT_EQ(value, e.value) << e.text;
    EXPECT_TRUE(r.lines.empty()) << e.text << " " << r.lines.front();
  }

  const std::string kEscape =
      "parse error matching tao::pegtl::sor<ktu::ini::parser::StringChEscHex, "
      "ktu::ini::parser::StringChEscOct, ktu::ini::parser::StringChEscSingle>";
  const std::vector<std::pair<std::string, std::string>> bad = {
      {R"(k = "\8")", "<input>:1:7: " + kEscape},
      {R"(k = "\q")", "<input>:1:7: " + kEscape},
      {R"(k = "\x4g")", "<input>:1:9: invalid escape sequence, expected hex digit"},
      {"k = \"ab\\\r\ncd\"", "<input>:1:9: " + kEscape},
      {"k = \"a\nb\"", "<input>:1:7: string value not closed, expected \""},
  };
  for (const auto& [text, message] : bad) {
    Record r = parse(text);
    ASSERT_GE(r.lines.size(), 1u) << text;
    EXPECT_EQ(r.lines[0].substr(0, 3 + message.size()), "E1 " + message) << text;
    EXPECT_FALSE(r.result) << text;
  }

  // Positions after a continued line count the next line.
  Record r = parse("k = \"a\\\nb\\q\"\n");
  ASSERT_FALSE(r.lines.empty());
  EXPECT_EQ(r.lines[0], "E1 <input>:2:3: " + kEscape + " <b\\q\"\n  ^>");
}

TEST(IniParser, FilesErrorStateAndCallbackExceptions) {
  kelto::test::TempDir dir;
  const std::string path =
      dir.write("rest.conf", "[server]\nport = 9090\n[engine\nconn_pool = 4\n");
  Record r;
  int count_seen = -1;
  const ktu::ini::ErrorCallback on_error = [&](ErrorCode code, std::string m, std::string c) {
    // The callback sees its own parse's state, already counting this error.
    EXPECT_EQ(ktu::ini::parser::get_err_cb() != nullptr, true);
    count_seen = ktu::ini::parser::get_err_count();
    r.lines.push_back(fmt::format("E{} {} <{}>", static_cast<int>(code), m, c));
  };
  EXPECT_FALSE(ktu::ini::parse_file(path, item_to(r), on_error, 0));
  EXPECT_EQ(r.lines, (std::vector<std::string>{
                         "KV [server] port=9090|9090|I",
                         "E1 " + path + ":3:8: parse error matching tao::pegtl::ascii::one<']'> "
                                        "<[engine\n       ^>",
                         "E1 " + path + ":3:1: " + kInvalid + " <[engine\n^>",
                         "KV [server] conn_pool=4|4|I"}));
  EXPECT_EQ(count_seen, 2);
  EXPECT_EQ(ktu::ini::parser::get_err_cb(), nullptr);
  EXPECT_EQ(ktu::ini::parser::get_err_count(), 0);

  // An empty file parses to nothing.
  Record empty;
  EXPECT_TRUE(ktu::ini::parse_file(dir.write("empty.conf", ""), item_to(empty), error_to(empty), 0));
  EXPECT_TRUE(empty.lines.empty());

  // A missing file: one READ_ERROR naming the step and the path.
  Record missing;
  const std::string absent = dir.file("absent.conf");
  EXPECT_FALSE(ktu::ini::parse_file(absent, item_to(missing), error_to(missing), 0));
  ASSERT_EQ(missing.lines.size(), 1u);
  EXPECT_NE(missing.lines[0].find("E0 "), std::string::npos);
  EXPECT_NE(missing.lines[0].find("open() failed"), std::string::npos);
  EXPECT_NE(missing.lines[0].find(absent), std::string::npos);
  EXPECT_EQ(missing.lines[0].substr(missing.lines[0].size() - 3), " <>");

  // A throwing item callback: a file parse reports it; a string parse lets it through.
  const auto throwing = [](const Item&) { throw std::runtime_error("callback failed"); };
  Record thrown;
  EXPECT_FALSE(ktu::ini::parse_file(path, throwing, error_to(thrown), 0));
  EXPECT_EQ(thrown.lines, (std::vector<std::string>{"E0 callback failed <>"}));
  EXPECT_THROW(ktu::ini::parse_string("a=1", throwing, error_to(thrown), 0), std::runtime_error);
  EXPECT_EQ(ktu::ini::parser::get_err_cb(), nullptr);
  EXPECT_EQ(ktu::ini::parser::get_err_count(), 0);
}

// Captures log events as "LEVEL component: message".
class CaptureSink : public ktu::log::LogSink {
 public:
  void log(ktu::log::EventData& data) override {
    lines.push_back(fmt::format("{} {}: {}", static_cast<int>(data.event.get_level()),
                                data.event.get_component(), data.event.get_description()));
  }
  std::vector<std::string> lines;
};

TEST(IniItem, NamesAndTypedGetters) {
  auto sink = std::make_shared<CaptureSink>();
  ktu::log::get_global_configuration().add_sink(sink, ktu::log::Level::DEBUG);

  Item i;
  i.key = "port";
  EXPECT_EQ(i.section_key(), "port");
  i.section = "server";
  EXPECT_EQ(i.section_key(), "server.port");

  const std::vector<std::tuple<std::string, std::string, std::string, std::string>> splits = {
      {"s", "a.b.c", "s.a.b", "c"}, {"", "a.b", "a", "b"},  {"s", "plain", "s", "plain"},
      {"s", ".x", "s.", "x"},       {"s", "x.", "s.x", ""}, {"s", "", "s", ""},
  };
  for (const auto& [section, key, first, second] : splits) {
    Item s;
    s.section = section;
    s.key = key;
    EXPECT_EQ(s.eval_section_key(), std::make_pair(first, second)) << section << " " << key;
  }

  auto typed = [](ValueType t, int64_t n, std::string v = "") {
    Item x;
    x.section = "server";
    x.key = "port";
    x.value_type = t;
    x.number = n;
    x.value = std::move(v);
    return x;
  };
  EXPECT_EQ(typed(ValueType::INTEGER, 2147483648LL).get_int32(7), 7);
  EXPECT_EQ(typed(ValueType::INTEGER, -2147483648LL).get_int32(7), -2147483648LL);
  EXPECT_EQ(typed(ValueType::INTEGER, -1).get_uint32(7), 7u);
  EXPECT_EQ(typed(ValueType::INTEGER, 4294967295LL).get_uint32(7), 4294967295u);
  EXPECT_EQ(typed(ValueType::BOOLEAN, 1, "true").get_int64(7), 7);
  EXPECT_EQ(typed(ValueType::INTEGER, -5).get_int64(7), -5);
  EXPECT_EQ(typed(ValueType::STRING, 0, "1_000").get_uint64(7), 1000u);
  EXPECT_EQ(typed(ValueType::STRING, 0, "12 apples").get_uint64(7), 12u);
  EXPECT_EQ(typed(ValueType::STRING, 0, "apples").get_uint64(7), 7u);
  EXPECT_EQ(typed(ValueType::STRING, 0, "").get_uint64(7), 7u);
  EXPECT_EQ(typed(ValueType::STRING, 0, "99999999999999999999").get_uint64(7), 7u);
  EXPECT_EQ(typed(ValueType::INTEGER, -5).get_uint64(7), 7u);
  EXPECT_EQ(typed(ValueType::INTEGER, 5).get_uint64(7), 5u);

  ktu::log::get_global_configuration().remove_sink(sink);
  const std::string e = std::to_string(static_cast<int>(ktu::log::Level::ERROR));
  EXPECT_EQ(sink->lines, (std::vector<std::string>{
                             e + " ini_parser: server.port: Expected int32 value",
                             e + " ini_parser: server.port: Expected uint32 value",
                             e + " ini_parser: server.port: Expected int64 value",
                             e + " ini_parser: server.port: Expected uint64 value",
                             e + " ini_parser: server.port: Expected uint64 value",
                             e + " ini_parser: server.port: Expected uint64 value",
                             e + " ini_parser: server.port: Expected uint64 value",
                         }));
}

}  // namespace
