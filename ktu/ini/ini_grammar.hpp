// The ini grammar, its actions and its error control, as templates over the input type.
// Included by the parser's entry points; callers use ktu/ini/ini_parser.hpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <tao/pegtl.hpp>
#include <tao/pegtl/demangle.hpp>

#include "ktu/ini/ini_parser.hpp"
#include "ktu/ini/item.hpp"

namespace ktu::ini::parser {

// The error state of the parse running on this thread (see get_err_cb / get_err_count).
namespace detail {
extern thread_local const ErrorCallback* err_cb;
extern thread_local int err_count;

inline constexpr std::string_view kStripChars = " \n\r\t\v\f";

inline std::string rstripped(std::string_view s) {
  const auto end = s.find_last_not_of(kStripChars);
  return end == std::string_view::npos ? std::string() : std::string(s.substr(0, end + 1));
}

inline std::string stripped(std::string_view s) {
  const auto begin = s.find_first_not_of(kStripChars);
  if (begin == std::string_view::npos) return std::string();
  const auto end = s.find_last_not_of(kStripChars);
  return std::string(s.substr(begin, end - begin + 1));
}

// The offending line, then a caret under the column.
inline std::string make_context(std::string_view line, std::size_t column) {
  return fmt::format("{}\n{:>{}}", line, "^", column);
}
}  // namespace detail

using namespace tao::pegtl;

// White space never includes the line end.
struct WS : star<one<' ', '\t', '\v', '\f'>> {};
// Starts a fresh item for a line form.
struct NewItem : success {};

struct EmptyLine : seq<WS, eol> {};
struct Comment : seq<one<'#', ';'>, until<eolf>> {};
struct CommentLine : seq<NewItem, Comment> {};

struct NameChar : seq<not_at<eol>, not_one<'=', '[', ']'>> {};
struct SectionName : star<NameChar> {};
struct SectionTrail : sor<Comment, seq<WS, eolf>> {};
struct Section : seq<NewItem, one<'['>, must<WS, SectionName, WS, one<']'>>, WS, must<SectionTrail>> {};

struct EmptyValue : at<eolf> {};
struct HexDigit : xdigit {};
struct StringChEscHex : seq<one<'x'>, must<HexDigit, HexDigit>> {};
struct StringChEscOct : seq<range<'0', '7'>, rep_opt<2, range<'0', '7'>>> {};
struct StringChEscSingle : one<'"', '\'', '\\', 'a', 'b', 'e', 'f', 'n', 'r', 't', 'v', '\n'> {};
struct StringChEsc : if_must<one<'\\'>, sor<StringChEscHex, StringChEscOct, StringChEscSingle>> {};
// TAB and every byte from 32 up; other control characters (LF and CR too) end the value.
struct StringChOther : sor<one<'\t'>, not_range<'\0', '\x1f'>> {};
struct StringCh : sor<StringChEsc, StringChOther> {};
struct QuotedBody : until<one<'"'>, StringCh> {};
struct QuotedTrail : seq<WS, eolf> {};
struct QuotedString : seq<one<'"'>, must<QuotedBody>, must<QuotedTrail>> {};

struct BoolTrue
    : sor<istring<'t', 'r', 'u', 'e'>, istring<'y', 'e', 's'>, istring<'o', 'n'>, istring<'t'>> {};
struct BoolFalse
    : sor<istring<'f', 'a', 'l', 's', 'e'>, istring<'n', 'o'>, istring<'o', 'f', 'f'>, istring<'f'>> {};
struct Bool : seq<sor<BoolTrue, BoolFalse>, WS, eolf> {};
struct Integer : seq<opt<one<'+', '-'>>, digit, star<opt<one<'_'>>, digit>, WS, eolf> {};
struct RawString : until<eolf> {};
struct Value : sor<EmptyValue, QuotedString, Bool, Integer, RawString> {};

struct Key : plus<NameChar> {};
struct KeyValue : seq<NewItem, Key, WS, one<'='>, WS, Value> {};

struct PlainValue : seq<NewItem, any, until<eolf>> {};
// Never matches: reached only when a character remains, so it raises the invalid-line error.
struct InvalidLine : failure {};
struct ConsumeRestOfLine : seq<any, until<eolf>> {};
struct EndOfInput : eof {};

struct Grammar
    : seq<star<WS, sor<EmptyLine, CommentLine, try_catch<sor<Section, KeyValue>>, PlainValue,
                       try_catch<if_must<at<any>, InvalidLine>>, ConsumeRestOfLine>>,
          must<EndOfInput>> {};

// The text of each rule that can raise; fixed before main runs.
template <typename Rule>
inline const std::string error_message =
    std::string("parse error matching ") + std::string(tao::pegtl::demangle<Rule>());
// Spelt out: compilers differ in showing the inline namespace "ascii" in type names.
template <>
inline const std::string error_message<one<']'>> =
    "parse error matching tao::pegtl::ascii::one<']'>";
template <>
inline const std::string error_message<QuotedBody> = "string value not closed, expected \"";
template <>
inline const std::string error_message<HexDigit> = "invalid escape sequence, expected hex digit";
template <>
inline const std::string error_message<EndOfInput> = "unexpected input";
template <>
inline const std::string error_message<QuotedTrail> = "unexpected trailing text";
template <>
inline const std::string error_message<SectionTrail> = "unexpected trailing text";
template <>
inline const std::string error_message<InvalidLine> =
    "invalid line, expected '[section]' or 'key=value' or a comment";

// Reports the error to the caller at once, then throws so that the enclosing try_catch
// rewinds the line and the next alternative runs.
template <typename Rule>
struct Control : tao::pegtl::normal<Rule> {
  template <typename ParseInput, typename... States>
  [[noreturn]] static void raise(const ParseInput& in, States&&...) {
    ++detail::err_count;
    const auto position = in.position();
    const std::string& text = error_message<Rule>;
    std::string message = fmt::format("{}: {}", tao::pegtl::to_string(position), text);
    std::string context = detail::make_context(in.line_at(position), position.column);
    (*detail::err_cb)(ErrorCode::SYNTAX_ERROR, std::move(message), std::move(context));
    throw tao::pegtl::parse_error(text, position);
  }
};

struct State {
  std::string section;  // the section in force
  const ItemCallback& on_item;
  unsigned int flags;
  Item item;  // the line being filled

  // The decoded text of a quoted value grows by half its capacity when full.
  void append_value(char c) {
    std::string& v = item.value;
    if (v.size() == v.capacity()) v.reserve(v.capacity() + v.capacity() / 2 + 1);
    v.push_back(c);
  }
};

template <typename Rule>
struct Action : tao::pegtl::nothing<Rule> {};

template <>
struct Action<NewItem> {
  template <typename In>
  static void apply(const In&, State& st) {
    st.item = Item{};
  }
};

template <>
struct Action<EmptyLine> {
  template <typename In>
  static void apply(const In&, State& st) {
    if (!(st.flags & REPORT_EMPTY_LINES)) return;
    st.item = Item{};
    st.item.kind = ItemKind::EMPTY_LINE;
    st.item.section = st.section;
    st.on_item(st.item);
  }
};

template <>
struct Action<Comment> {
  template <typename In>
  static void apply(const In& in, State& st) {
    const std::string_view text(in.begin(), in.size());
    st.item.comment_char = text.front();
    st.item.value = detail::stripped(text.substr(1));
  }
};

template <>
struct Action<CommentLine> {
  template <typename In>
  static void apply(const In&, State& st) {
    if (!(st.flags & REPORT_COMMENTS)) return;
    st.item.kind = ItemKind::COMMENT;
    st.item.section = st.section;
    st.on_item(st.item);
  }
};

template <>
struct Action<SectionName> {
  template <typename In>
  static void apply(const In& in, State& st) {
    st.item.section = detail::rstripped(std::string_view(in.begin(), in.size()));
  }
};

template <>
struct Action<Section> {
  template <typename In>
  static void apply(const In&, State& st) {
    st.item.kind = ItemKind::SECTION;
    if (st.flags & REPORT_SECTIONS) st.on_item(st.item);
    st.section = st.item.section;
  }
};

template <>
struct Action<Key> {
  template <typename In>
  static void apply(const In& in, State& st) {
    st.item.key = detail::rstripped(std::string_view(in.begin(), in.size()));
  }
};

template <>
struct Action<StringChOther> {
  template <typename In>
  static void apply(const In& in, State& st) {
    st.append_value(*in.begin());
  }
};

template <>
struct Action<StringChEscHex> {
  static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
  }
  template <typename In>
  static void apply(const In& in, State& st) {
    const char* p = in.begin();  // "x" and two digits
    st.append_value(static_cast<char>(hex_value(p[1]) * 16 + hex_value(p[2])));
  }
};

template <>
struct Action<StringChEscOct> {
  template <typename In>
  static void apply(const In& in, State& st) {
    unsigned value = 0;
    for (const char c : std::string_view(in.begin(), in.size())) value = value * 8 + (c - '0');
    st.append_value(static_cast<char>(value & 0xFF));
  }
};

template <>
struct Action<StringChEscSingle> {
  template <typename In>
  static void apply(const In& in, State& st) {
    switch (*in.begin()) {
      case 'a': st.append_value('\a'); break;
      case 'b': st.append_value('\b'); break;
      case 'e': st.append_value('\x1b'); break;
      case 'f': st.append_value('\f'); break;
      case 'n': st.append_value('\n'); break;
      case 'r': st.append_value('\r'); break;
      case 't': st.append_value('\t'); break;
      case 'v': st.append_value('\v'); break;
      case '\n': break;  // a backslash at the end of a line joins the next one
      default: st.append_value(*in.begin()); break;
    }
  }
};

template <>
struct Action<QuotedString> {
  template <typename In>
  static void apply(const In&, State& st) {
    st.item.value.shrink_to_fit();
    st.item.number = 0;
    st.item.value_type = ValueType::STRING;
  }
};

template <>
struct Action<BoolTrue> {
  template <typename In>
  static void apply(const In& in, State& st) {
    st.item.number = 1;
    st.item.value = in.string();
  }
};

template <>
struct Action<BoolFalse> {
  template <typename In>
  static void apply(const In& in, State& st) {
    st.item.number = 0;
    st.item.value = in.string();
  }
};

template <>
struct Action<Bool> {
  template <typename In>
  static void apply(const In&, State& st) {
    st.item.value_type = ValueType::BOOLEAN;
  }
};

template <>
struct Action<Integer> {
  template <typename In>
  static void apply(const In& in, State& st) {
    st.item.value = detail::rstripped(std::string_view(in.begin(), in.size()));
    std::string digits;
    digits.reserve(st.item.value.size());
    for (const char c : st.item.value) {
      if (c != '_') digits.push_back(c);
    }
    try {
      st.item.number = std::stoll(digits, nullptr, 10);
      st.item.value_type = ValueType::INTEGER;
    } catch (const std::out_of_range&) {
      // Beyond 64 bits: kept as text, not an error.
      st.item.number = 0;
      st.item.value_type = ValueType::STRING;
    }
  }
};

template <>
struct Action<RawString> {
  template <typename In>
  static void apply(const In& in, State& st) {
    st.item.value = detail::rstripped(std::string_view(in.begin(), in.size()));
    st.item.number = 0;
    st.item.value_type = ValueType::STRING;
  }
};

template <>
struct Action<KeyValue> {
  template <typename In>
  static void apply(const In&, State& st) {
    st.item.kind = ItemKind::KEY_VALUE;
    st.item.section = st.section;
    st.on_item(st.item);
  }
};

template <>
struct Action<PlainValue> {
  template <typename In>
  static bool apply(const In& in, State& st) {
    // Without the flag a bare value is no valid line: fail, and let InvalidLine report it.
    if (!(st.flags & ACCEPT_PLAIN_VALUES)) return false;
    st.item.kind = ItemKind::PLAIN_VALUE;
    st.item.section = st.section;
    st.item.value = detail::stripped(std::string_view(in.begin(), in.size()));
    st.on_item(st.item);
    return true;
  }
};

}  // namespace ktu::ini::parser

namespace ktu::ini {

// Parses `in` with the grammar; the driver of parse_file and parse_string.
template <typename Input>
bool parse_input(Input& in, const ItemCallback& on_item, const ErrorCallback& on_error,
                 unsigned int flags) {
  namespace p = parser;
  p::detail::err_cb = &on_error;
  p::detail::err_count = 0;
  struct ResetErrorState {
    ~ResetErrorState() {
      p::detail::err_cb = nullptr;
      p::detail::err_count = 0;
    }
  } reset;

  p::State state{std::string(), on_item, flags, Item{}};
  try {
    tao::pegtl::parse<p::Grammar, p::Action, p::Control>(in, state);
  } catch (const tao::pegtl::parse_error& e) {
    // Only the end-of-input check raises outside a try_catch; already counted.
    const auto& position = e.positions().front();
    on_error(ErrorCode::SYNTAX_ERROR, e.what(),
             p::detail::make_context(in.line_at(position), position.column));
    return false;
  }
  return p::detail::err_count == 0;
}

}  // namespace ktu::ini
