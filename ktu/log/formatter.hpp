// Formatters: turn one log event into the text that a text sink writes.
//
// DefaultFormatter writes plain lines with a fixed prefix (time, process and thread id, level,
// correlation id, component); JsonFormatter writes one JSON object per line. Each has one
// process-wide instance; the JSON one's key names and time format are set at start-up from the
// log configuration file, before any sink formats with it.
#pragma once

#include <string>
#include <utility>

#include "ktu/log/log.hpp"

namespace ktu::log {

// The name that log lines show for a level; "BAD_LVL" for a value outside the enumeration.
const char* level_name(Level level);

class TimeFormatterMixin {
 public:
  // Appends the time text: {0} local time as std::tm, {1} microseconds within the second,
  // {2} seconds since the epoch as a double. A format that fmt rejects leaves
  // "(fmt error: ...)" in the text instead of failing the line.
  void format_time(std::string& out, EventMetadata::TimePoint time) const;

  std::string time_format = "{0:%F %T}.{1:06d}{0:%z}";
};

class DefaultFormatter : public Formatter, public TimeFormatterMixin {
 public:
  std::string format(EventData& data) const override;

  // The prefix of every line and the column where its level name starts.
  std::pair<std::string, unsigned long> prepare_prefix(EventData& data) const;

  // One line per line of the message, each with the prefix; lines after the first carry
  // `fill` in place of the level name so that a reader sees they continue one event.
  std::string pad_multiline(const std::string& prefix, const std::string& message,
                            unsigned long level_column, const char* fill,
                            unsigned long fill_length) const;
};

class JsonFormatter : public Formatter, public TimeFormatterMixin {
 public:
  std::string format(EventData& data) const override;

  static std::string json_escape(const std::string& text);

  // Written into the line as they stand: whoever sets them stores them already escaped.
  std::string timestamp_key = "timestamp";
  std::string process_id_key = "process_id";
  std::string thread_id_key = "thread_id";
  std::string level_key = "level";
  std::string correlation_id_key = "correlation_id";
  std::string component_key = "component";
  std::string message_key = "message";
};

std::shared_ptr<DefaultFormatter> get_default_formatter();
std::shared_ptr<JsonFormatter> get_json_formatter();

}  // namespace ktu::log
