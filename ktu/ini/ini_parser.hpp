// Ini parser: turns an ini text into items, one per line, and reports each syntax error with
// its position and the offending line. A bad line costs only itself: it is reported and
// skipped, and parsing goes on with the next line.
//
// Flags (bit or): 1 report section lines, 2 report comment lines, 4 report empty lines,
// 8 accept lines holding a bare value (PLAIN_VALUE; otherwise such a line is an error).
// Key=value lines are always reported.
#pragma once

#include <functional>
#include <string>

#include "ktu/ini/item.hpp"

namespace ktu::ini {

enum class ErrorCode : int {
  READ_ERROR = 0,    // input unreadable, or an exception ended a file parse; empty context
  SYNTAX_ERROR = 1,  // message "source:line:column: text"; context: the line and a caret line
};

using ItemCallback = std::function<void(const Item&)>;
using ErrorCallback = std::function<void(ErrorCode, std::string, std::string)>;

inline constexpr unsigned int REPORT_SECTIONS = 1;
inline constexpr unsigned int REPORT_COMMENTS = 2;
inline constexpr unsigned int REPORT_EMPTY_LINES = 4;
inline constexpr unsigned int ACCEPT_PLAIN_VALUES = 8;

// True when the whole file parsed without a syntax error. Failure to read the file and any
// exception from a callback are reported as READ_ERROR (and give false).
bool parse_file(const std::string& path, const ItemCallback& on_item, const ErrorCallback& on_error,
                unsigned int flags);

// As parse_file over a text in memory (source name "<input>"); exceptions other than syntax
// errors reach the caller.
bool parse_string(const std::string& text, const ItemCallback& on_item,
                  const ErrorCallback& on_error, unsigned int flags);

namespace parser {
// The error callback of the parse running on this thread, null outside a parse.
const ErrorCallback* get_err_cb();
// Syntax errors raised so far by the parse running on this thread, 0 outside a parse.
int get_err_count();
}  // namespace parser

}  // namespace ktu::ini
