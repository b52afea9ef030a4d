// Logging core: levels, events, the process-wide sink list and the log call idiom.
//
//   KTU_LOG(INFO, "Session", "[{:x}] accepted from {}", id, peer);   // fmt style, "{m}" = errno
//   KTU_LOGP(WARNING, "util", "open %s: %m", path);                  // printf style
//
// A statement whose level no sink wants costs one atomic load.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace ktu::log {

enum class Level : int {
  TRACE = -1,
  DEBUG = 0,
  INFO = 1,
  NOTICE = 2,
  WARNING = 3,
  ERROR = 4,
  FATAL = 5,
  DISABLED = 6,
};

class Event {
 public:
  Event(Level level, std::string component, std::string trailer, int saved_errno);

  Level get_level() const { return level; }
  const std::string& get_component() const { return component; }
  const std::string& get_description() const { return description; }

  void append_trailer();
  void setup_message(std::string text);
  void format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void format_v(const char* fmt, va_list args);

  int saved_errno;
  Level level;
  std::string component;
  std::string trailer;
  std::string description;
};

std::string errno_to_string(int error_number);

namespace impl {
void standardize_eol(std::string& s);
}

class EventMetadata {
 public:
  using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

  TimePoint get_time();
  int get_pid();
  unsigned long get_thread_id();
  void set(TimePoint t, int pid_value, unsigned long thread_id_value);

  TimePoint time{};
  int pid = -1;
  unsigned long thread_id = ~0UL;
};

class Formatter;

class EventData {
 public:
  explicit EventData(const Event& ev) : event(ev) {}
  EventData(const EventData&) = delete;
  EventData& operator=(const EventData&) = delete;

  // The text of this event as made by `f`, made at most once per formatter.
  const std::string& get_formatted(const Formatter& f);

  const Event& event;
  EventMetadata metadata;
  std::vector<std::pair<const Formatter*, std::string>> formatted;
};

class Formatter {
 public:
  virtual std::string format(EventData& data) const = 0;
  virtual ~Formatter() = default;
};

class LogSink {
 public:
  virtual void log(EventData& data) = 0;
  virtual void hangup() {}
  virtual void sync() {}
  virtual ~LogSink() = default;

  unsigned long tag = 0;
};

class Configuration;

namespace detail {
struct ConfigurationUnlocker {
  void operator()(Configuration* c) const;
};

struct ErrnoPlaceholder {
  int error_number;
};

std::string process_exception(const std::exception& e);
std::string process_exception(const std::exception_ptr& e);
void process_exception_impl(std::string& out, const std::exception& e);
}  // namespace detail

class Configuration {
 public:
  Configuration();
  ~Configuration();
  Configuration(const Configuration&) = delete;
  Configuration& operator=(const Configuration&) = delete;

  std::unique_ptr<Configuration, detail::ConfigurationUnlocker> lock();
  void unlock();

  void add_sink(std::shared_ptr<LogSink> sink, Level level);
  void remove_sink(std::shared_ptr<LogSink> sink);
  void erase_sinks(unsigned long tag);
  void clear_sinks();
  void set_level(Level level);
  void set_level(unsigned long tag, Level level);
  void hangup_sinks();
  void sync_sinks();

  bool is_enabled(Level level) const {
    return static_cast<int>(level) >= static_cast<int>(min_level.load());
  }

  // Gives the event to every sink whose level it reaches; a failing sink does not keep it from
  // the later ones, and the first failure is rethrown afterwards.
  void log_impl(const Event& event);

 private:
  template <typename F>
  void mutate(F&& f);
  void recompute_min_level();

  pthread_rwlock_t rwlock;
  std::atomic<Level> min_level{Level::DEBUG};
  std::vector<std::pair<std::shared_ptr<LogSink>, Level>> sinks;
};

class Logger {
 public:
  explicit Logger(Configuration& c) : config(c) {}
  bool is_enabled(Level level) const { return config.is_enabled(level); }
  void log(const Event& event) { config.log_impl(event); }

 private:
  Configuration& config;
};

Configuration& get_global_configuration();
Logger* get_global_logger();

void set_correlation_id(std::string_view id);
void clear_correlation_id();
const std::string& get_correlation_id();

// The thread's correlation id while one step works for a request. The id that was set before
// comes back when the scope ends, so a step called from another (a reply handler inside an
// engine read, a reply written inline) leaves the caller's lines their id.
class CorrelationScope {
 public:
  explicit CorrelationScope(std::string_view id);
  ~CorrelationScope();
  CorrelationScope(const CorrelationScope&) = delete;
  CorrelationScope& operator=(const CorrelationScope&) = delete;

 private:
  std::string previous;
};

namespace detail {

template <typename... Args>
void log_fmt(Logger& logger, Level level, const char* component, int saved_errno,
             fmt::string_view text, const Args&... args) noexcept {
  try {
    Event event(level, component, std::string(), saved_errno);
    const ErrnoPlaceholder placeholder{saved_errno};
    const auto m = fmt::arg("m", placeholder);  // holds a reference: placeholder must outlive it
    event.setup_message(fmt::vformat(text, fmt::make_format_args(args..., m)));
    logger.log(event);
  } catch (...) {
    // A log statement never fails its caller, whatever a sink throws.
  }
  // Sinks may change errno (a syslog send, a time zone lookup); the caller that logs a failed
  // call and then reports it by errno must still see the failure's own number.
  errno = saved_errno;
}

void log_printf(Logger& logger, Level level, const char* component, int saved_errno,
                const char* text, ...) noexcept __attribute__((format(printf, 5, 6)));

}  // namespace detail
}  // namespace ktu::log

template <>
struct fmt::formatter<ktu::log::detail::ErrnoPlaceholder> {
  char style = 0;
  constexpr auto parse(format_parse_context& ctx) -> decltype(ctx.begin()) {
    auto it = ctx.begin();
    for (; it != ctx.end() && *it != '}'; ++it) {
      if (*it != 'd' && *it != 's') {
        throw fmt::format_error("invalid format specifier for {m}, expected: [s|d]");
      }
      style = *it;
    }
    return it;
  }
  template <typename FormatContext>
  auto format(const ktu::log::detail::ErrnoPlaceholder& p, FormatContext& ctx) const
      -> decltype(ctx.out()) {
    if (style == 'd') return fmt::format_to(ctx.out(), "{}", p.error_number);
    if (style == 's') return fmt::format_to(ctx.out(), "{}", ktu::log::errno_to_string(p.error_number));
    return fmt::format_to(ctx.out(), "({}) {}", p.error_number,
                          ktu::log::errno_to_string(p.error_number));
  }
};

// The log call idiom. errno is taken first, before anything can change it.
#define KTU_LOG(LEVEL, COMPONENT, ...)                                                        \
  do {                                                                                        \
    const int ktu_log_errno_ = errno;                                                         \
    ::ktu::log::Logger* ktu_log_logger_ = ::ktu::log::get_global_logger();                    \
    if (ktu_log_logger_ && ktu_log_logger_->is_enabled(::ktu::log::Level::LEVEL))             \
      ::ktu::log::detail::log_fmt(*ktu_log_logger_, ::ktu::log::Level::LEVEL, COMPONENT,      \
                                  ktu_log_errno_, __VA_ARGS__);                               \
  } while (0)

#define KTU_LOGP(LEVEL, COMPONENT, ...)                                                       \
  do {                                                                                        \
    const int ktu_log_errno_ = errno;                                                         \
    ::ktu::log::Logger* ktu_log_logger_ = ::ktu::log::get_global_logger();                    \
    if (ktu_log_logger_ && ktu_log_logger_->is_enabled(::ktu::log::Level::LEVEL))             \
      ::ktu::log::detail::log_printf(*ktu_log_logger_, ::ktu::log::Level::LEVEL, COMPONENT,   \
                                     ktu_log_errno_, __VA_ARGS__);                            \
  } while (0)
