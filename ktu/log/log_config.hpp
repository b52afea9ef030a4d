// The log configuration file: key names and time format of the JSON log lines.
#pragma once

namespace ktu::log {

// Reads the ini file at `path` (section "json_log") into the process-wide JSON formatter.
// Runs before any log sink exists, so problems go straight to standard error; an unreadable
// file is reported only when `report_missing` is true. Never fails.
void parse_log_config(const char* path, bool report_missing);

}  // namespace ktu::log
