#include "ktu/log/log_config.hpp"

#include <cstdio>
#include <string>

#include <fmt/format.h>

#include "ktu/ini/ini_parser.hpp"
#include "ktu/log/formatter.hpp"

namespace ktu::log {

void parse_log_config(const char* path, bool report_missing) {
  const std::string file_name(path);
  const ktu::ini::ItemCallback on_item = [&file_name](const ktu::ini::Item& item) {
    if (item.section == "json_log") {
      const auto formatter = get_json_formatter();
      // Key names are written into log lines as they stand, so they are stored escaped.
      std::string* key_field = nullptr;
      if (item.key == "timestamp_format") {
        formatter->time_format = item.value;
        return;
      } else if (item.key == "timestamp_key") {
        key_field = &formatter->timestamp_key;
      } else if (item.key == "process_id_key") {
        key_field = &formatter->process_id_key;
      } else if (item.key == "thread_id_key") {
        key_field = &formatter->thread_id_key;
      } else if (item.key == "level_key") {
        key_field = &formatter->level_key;
      } else if (item.key == "correlation_id_key") {
        key_field = &formatter->correlation_id_key;
      } else if (item.key == "component_key") {
        key_field = &formatter->component_key;
      } else if (item.key == "message_key") {
        key_field = &formatter->message_key;
      }
      if (key_field) {
        *key_field = JsonFormatter::json_escape(item.value);
        return;
      }
    }
    fmt::print(stderr, "{}: Unknown config option: [{}] {} = {}\n", file_name, item.section,
               item.key, item.value);
  };
  const ktu::ini::ErrorCallback on_error = [&file_name, report_missing](
                                               ktu::ini::ErrorCode code, std::string message,
                                               std::string context) {
    if (code == ktu::ini::ErrorCode::READ_ERROR) {
      if (report_missing) fmt::print(stderr, "Could not read config file: {}\n", file_name);
      return;
    }
    fmt::print(stderr, "Error parsing config: {}\n{}\n", message, context);
  };
  ktu::ini::parse_file(file_name, on_item, on_error, 0);
}

}  // namespace ktu::log
