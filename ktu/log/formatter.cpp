#include "ktu/log/formatter.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iterator>

#include <fmt/chrono.h>
#include <fmt/format.h>

namespace ktu::log {

namespace {
// A typical line then needs one allocation for its prefix.
constexpr std::size_t kPrefixLimit = 200;
}  // namespace

const char* level_name(Level level) {
  switch (level) {
    case Level::TRACE: return "TRACE";
    case Level::DEBUG: return "DEBUG";
    case Level::INFO: return "INFO";
    case Level::NOTICE: return "NOTICE";
    case Level::WARNING: return "WARNING";
    case Level::ERROR: return "ERROR";
    case Level::FATAL: return "FATAL";
    case Level::DISABLED: return "DISABLED";
  }
  return "BAD_LVL";
}

void TimeFormatterMixin::format_time(std::string& out, EventMetadata::TimePoint time) const {
  const long long nanos = time.time_since_epoch().count();
  const long long seconds = nanos / 1000000000LL;
  const long long micros = nanos / 1000LL;
  const std::time_t as_time_t = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&as_time_t, &local);
  const auto within_second = static_cast<unsigned long>(micros - seconds * 1000000LL);
  const double since_epoch = static_cast<double>(micros) / 1e6;
  try {
    fmt::vformat_to(std::back_inserter(out), time_format,
                    fmt::make_format_args(local, within_second, since_epoch));
  } catch (const fmt::format_error& e) {
    out += "(fmt error: ";
    out += e.what();
    out += ')';
  }
}

std::pair<std::string, unsigned long> DefaultFormatter::prepare_prefix(EventData& data) const {
  std::string scratch;
  scratch.reserve(kPrefixLimit);
  format_time(scratch, data.metadata.get_time());
  const std::size_t t = scratch.size();
  if (t < kPrefixLimit) {
    const std::size_t room = kPrefixLimit - t;
    scratch.resize(kPrefixLimit);
    const int n = std::snprintf(scratch.data() + t, room + 1, " [%5d:%6lx] %-7s ",
                                data.metadata.get_pid(), data.metadata.get_thread_id(),
                                level_name(data.event.get_level()));
    scratch.resize(t + (n > 0 ? std::min(static_cast<std::size_t>(n), room) : 0));
  } else {
    scratch.resize(kPrefixLimit);
  }
  const unsigned long level_column = scratch.size() >= 8 ? scratch.size() - 8 : 0;
  const std::string& correlation_id = get_correlation_id();
  if (!correlation_id.empty()) {
    scratch += '[';
    scratch += correlation_id;
    scratch += "] ";
  }
  scratch += data.event.get_component();
  scratch += ": ";
  return {std::move(scratch), level_column};
}

std::string DefaultFormatter::pad_multiline(const std::string& prefix, const std::string& message,
                                            unsigned long level_column, const char* fill,
                                            unsigned long fill_length) const {
  std::string out;
  out.reserve(message.size() + prefix.size() + 3);
  std::size_t pos = 0;
  for (bool first = true;; first = false) {
    const std::size_t line_start = out.size();
    out += prefix;
    if (!first && level_column < prefix.size()) {
      const std::size_t n = std::min<std::size_t>(fill_length, prefix.size() - level_column);
      out.replace(line_start + level_column, n, fill, n);
    }
    const std::size_t end = message.find('\n', pos);
    out.append(message, pos, end == std::string::npos ? std::string::npos : end - pos);
    out += '\n';
    if (end == std::string::npos || end + 1 == message.size()) break;
    pos = end + 1;
  }
  return out;
}

std::string DefaultFormatter::format(EventData& data) const {
  const auto [prefix, level_column] = prepare_prefix(data);
  return pad_multiline(prefix, data.event.get_description(), level_column, "...    ", 7);
}

std::string JsonFormatter::json_escape(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '\b': out += "\\b"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\f': out += "\\f"; continue;
      case '\r': out += "\\r"; continue;
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      default: break;
    }
    if (byte >= 0x20 && byte <= 0x7e) {
      out += c;
    } else {
      const char escaped[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xf]};
      out.append(escaped, sizeof escaped);
    }
  }
  return out;
}

std::string JsonFormatter::format(EventData& data) const {
  std::string out;
  out.reserve(kPrefixLimit);
  out += "{\"";
  out += timestamp_key;
  out += "\":\"";
  format_time(out, data.metadata.get_time());
  out += "\",\"";
  out += process_id_key;
  out += "\":";
  fmt::format_to(std::back_inserter(out), "{}", data.metadata.get_pid());
  out += ",\"";
  out += thread_id_key;
  out += "\":";
  fmt::format_to(std::back_inserter(out), "{}", data.metadata.get_thread_id());
  out += ",\"";
  out += level_key;
  out += "\":\"";
  out += level_name(data.event.get_level());
  out += "\",";
  const std::string& correlation_id = get_correlation_id();
  if (!correlation_id.empty()) {
    out += '"';
    out += correlation_id_key;
    out += "\":\"";
    out += json_escape(correlation_id);
    out += "\",";
  }
  out += '"';
  out += component_key;
  out += "\":\"";
  out += json_escape(data.event.get_component());
  out += "\",\"";
  out += message_key;
  out += "\":\"";
  out += json_escape(data.event.get_description());
  out += "\"}\n";
  return out;
}

std::shared_ptr<DefaultFormatter> get_default_formatter() {
  static const std::shared_ptr<DefaultFormatter> instance = std::make_shared<DefaultFormatter>();
  return instance;
}

std::shared_ptr<JsonFormatter> get_json_formatter() {
  static const std::shared_ptr<JsonFormatter> instance = std::make_shared<JsonFormatter>();
  return instance;
}

}  // namespace ktu::log
