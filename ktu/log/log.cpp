#include "ktu/log/log.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <system_error>

namespace ktu::log {

// ---- Event ------------------------------------------------------------------------------

Event::Event(Level lvl, std::string comp, std::string trail, int err)
    : saved_errno(err), level(lvl), component(std::move(comp)), trailer(std::move(trail)) {}

void Event::append_trailer() {
  if (trailer.empty()) return;
  if (trailer.front() == '\n' && (description.empty() || description.back() == '\n')) {
    description.append(trailer, 1, std::string::npos);
  } else {
    description.append(trailer);
  }
}

void Event::setup_message(std::string text) {
  description = std::move(text);
  append_trailer();
  impl::standardize_eol(description);
}

void Event::format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  format_v(fmt, args);
  va_end(args);
}

void Event::format_v(const char* fmt, va_list args) {
  std::string text(fmt);
  // Only the last "%m" shows the saved errno; earlier ones are left to vsnprintf.
  if (text.size() >= 2) {
    const auto pos = text.rfind("%m");
    if (pos != std::string::npos) {
      text.replace(pos, 2, fmt::format("({}) {}", saved_errno, errno_to_string(saved_errno)));
    }
  }

  constexpr std::size_t first_try = 120;
  description.resize(first_try);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(description.data(), first_try + 1, text.c_str(), copy);
  va_end(copy);
  if (n <= 0) {
    description.clear();
  } else if (static_cast<std::size_t>(n) <= first_try) {
    description.resize(static_cast<std::size_t>(n));
  } else {
    description.resize(static_cast<std::size_t>(n));
    va_copy(copy, args);
    std::vsnprintf(description.data(), static_cast<std::size_t>(n) + 1, text.c_str(), copy);
    va_end(copy);
  }
  append_trailer();
  impl::standardize_eol(description);
}

std::string errno_to_string(int error_number) {
  char buf[200];
  // GNU strerror_r: returns a pointer that may or may not be buf.
  const char* text = strerror_r(error_number, buf, sizeof buf);
  return text ? std::string(text) : std::string();
}

namespace impl {
void standardize_eol(std::string& s) {
  if (s.find("\r\n") == std::string::npos) return;
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out.push_back(s[i]);
  }
  s = std::move(out);
}
}  // namespace impl

// ---- EventMetadata / EventData ----------------------------------------------------------

EventMetadata::TimePoint EventMetadata::get_time() {
  if (time == TimePoint{}) {
    time = std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
  }
  return time;
}

int EventMetadata::get_pid() {
  if (pid == -1) pid = static_cast<int>(::getpid());
  return pid;
}

unsigned long EventMetadata::get_thread_id() {
  if (thread_id == ~0UL) thread_id = static_cast<unsigned long>(::syscall(SYS_gettid));
  return thread_id;
}

void EventMetadata::set(TimePoint t, int pid_value, unsigned long thread_id_value) {
  time = t;
  pid = pid_value;
  thread_id = thread_id_value;
}

const std::string& EventData::get_formatted(const Formatter& f) {
  for (const auto& entry : formatted) {
    if (entry.first == &f) return entry.second;
  }
  std::string text = f.format(*this);
  formatted.emplace_back(&f, std::move(text));
  return formatted.back().second;
}

// ---- Configuration ----------------------------------------------------------------------

void detail::ConfigurationUnlocker::operator()(Configuration* c) const { c->unlock(); }

Configuration::Configuration() {
  if (const int rc = pthread_rwlock_init(&rwlock, nullptr); rc != 0) {
    throw std::system_error(rc, std::system_category(), "rwlock init");
  }
}

Configuration::~Configuration() {
  pthread_rwlock_destroy(&rwlock);
  sinks.clear();
}

std::unique_ptr<Configuration, detail::ConfigurationUnlocker> Configuration::lock() {
  // A sink that calls a mutator from inside hangup() or sync() already holds this lock:
  // fail that call rather than release the outer holder's lock on the way out.
  if (const int rc = pthread_rwlock_wrlock(&rwlock); rc != 0) {
    throw std::system_error(rc, std::system_category(), "rwlock wrlock");
  }
  return std::unique_ptr<Configuration, detail::ConfigurationUnlocker>(this);
}

void Configuration::unlock() {
  recompute_min_level();
  pthread_rwlock_unlock(&rwlock);
}

void Configuration::recompute_min_level() {
  int lowest = static_cast<int>(Level::DISABLED);
  for (const auto& entry : sinks) lowest = std::min(lowest, static_cast<int>(entry.second));
  min_level.store(static_cast<Level>(lowest));
}

template <typename F>
void Configuration::mutate(F&& f) {
  auto held = lock();  // releases (and recomputes) on every way out
  f();
}

void Configuration::add_sink(std::shared_ptr<LogSink> sink, Level level) {
  mutate([&] { sinks.emplace_back(std::move(sink), level); });
}

void Configuration::remove_sink(std::shared_ptr<LogSink> sink) {
  mutate([&] {
    std::erase_if(sinks, [&](const auto& entry) { return entry.first == sink; });
  });
}

void Configuration::erase_sinks(unsigned long tag) {
  mutate([&] {
    if (tag == 0) {
      sinks.clear();
    } else {
      std::erase_if(sinks, [&](const auto& entry) { return entry.first->tag == tag; });
    }
  });
}

void Configuration::clear_sinks() {
  mutate([&] { sinks.clear(); });
}

void Configuration::set_level(Level level) {
  mutate([&] {
    for (auto& entry : sinks) entry.second = level;
  });
}

void Configuration::set_level(unsigned long tag, Level level) {
  mutate([&] {
    for (auto& entry : sinks) {
      if (tag == 0 || entry.first->tag == tag) entry.second = level;
    }
  });
}

void Configuration::hangup_sinks() {
  mutate([&] {
    for (auto& entry : sinks) entry.first->hangup();
  });
}

void Configuration::sync_sinks() {
  mutate([&] {
    for (auto& entry : sinks) entry.first->sync();
  });
}

namespace {
struct ReadLock {
  // Refused (EDEADLK) when a sink logs from inside hangup() or sync(), where this thread holds
  // the write lock: the event is dropped instead of the write lock being released under the
  // mutator that holds it.
  explicit ReadLock(pthread_rwlock_t& l) : lock(l) {
    if (const int rc = pthread_rwlock_rdlock(&lock); rc != 0) {
      throw std::system_error(rc, std::system_category(), "rwlock rdlock");
    }
  }
  ~ReadLock() { pthread_rwlock_unlock(&lock); }
  pthread_rwlock_t& lock;
};
}  // namespace

void Configuration::log_impl(const Event& event) {
  ReadLock held(rwlock);
  EventData data(event);
  const int level = static_cast<int>(event.get_level());
  // A sink that fails (its reader gone, its disk full) must not cost the sinks after it the
  // event: the others still get it, and the first failure is reported once all have been tried.
  std::exception_ptr failure;
  for (auto& entry : sinks) {
    if (static_cast<int>(entry.second) > level) continue;
    try {
      entry.first->log(data);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

Configuration& get_global_configuration() {
  static Configuration configuration;
  return configuration;
}

Logger* get_global_logger() {
  static Logger logger(get_global_configuration());
  return &logger;
}

// ---- Correlation id ---------------------------------------------------------------------

namespace {
std::string& thread_correlation_id() {
  thread_local std::string id;
  return id;
}
}  // namespace

void set_correlation_id(std::string_view id) { thread_correlation_id().assign(id); }
void clear_correlation_id() { thread_correlation_id().clear(); }
const std::string& get_correlation_id() { return thread_correlation_id(); }

CorrelationScope::CorrelationScope(std::string_view id) {
  std::string& current = thread_correlation_id();
  previous.swap(current);
  current.assign(id);
}

CorrelationScope::~CorrelationScope() { thread_correlation_id().swap(previous); }

// ---- Exceptions and the printf-style path -----------------------------------------------

void detail::process_exception_impl(std::string& out, const std::exception& e) {
  const char* what = e.what();
  if (what && *what) {
    out += '\n';
    out += what;
  }
  if (const auto* nested = dynamic_cast<const std::nested_exception*>(&e);
      nested && nested->nested_ptr()) {
    try {
      nested->rethrow_nested();
    } catch (const std::exception& inner) {
      process_exception_impl(out, inner);
    }
  }
}

std::string detail::process_exception(const std::exception& e) {
  std::string out;
  process_exception_impl(out, e);
  return out;
}

std::string detail::process_exception(const std::exception_ptr& e) {
  std::string out;
  if (!e) return out;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& caught) {
    process_exception_impl(out, caught);
  }
  return out;
}

void detail::log_printf(Logger& logger, Level level, const char* component, int saved_errno,
                        const char* text, ...) noexcept {
  try {
    Event event(level, component, std::string(), saved_errno);
    va_list args;
    va_start(args, text);
    struct VaEnd {
      va_list& a;
      ~VaEnd() { va_end(a); }
    } end{args};
    event.format_v(text, args);
    logger.log(event);
  } catch (...) {
    // A log statement never fails its caller, whatever a sink throws.
  }
  errno = saved_errno;  // as in log_fmt: the caller may report the failure by errno next
}

}  // namespace ktu::log
