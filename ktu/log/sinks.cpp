#include "ktu/log/sinks.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace ktu::log {

FormattableLogSink::FormattableLogSink() : formatter(get_default_formatter()) {}

void FormattableLogSink::set_formatter(std::shared_ptr<Formatter> f) { formatter = std::move(f); }

namespace detail {

// ---- Descriptor sink ----------------------------------------------------------------------

FdSink::FdSink(int descriptor) : fd(descriptor) {
  struct stat st {};
  is_socket = descriptor >= 0 && ::fstat(descriptor, &st) == 0 && S_ISSOCK(st.st_mode);
}

FdSink::~FdSink() = default;

void FdSink::_write(std::string_view text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = is_socket ? ::send(fd, p, left, MSG_NOSIGNAL) : ::write(fd, p, left);
    if (n < 0) {
      // A busy or interrupted descriptor is retried at once: the event must not be lost.
      if (errno == EINTR || errno == EAGAIN) continue;
      throw std::system_error(errno, std::system_category(), "log FileSink write");
    }
    if (n == 0) throw std::system_error(0, std::system_category(), "log FileSink write 0");
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void FdSink::log(EventData& data) {
  std::lock_guard<std::mutex> held(mutex);
  if (fd >= 0) _write(data.get_formatted(*formatter));
}

void FdSink::log_formatted(std::string_view text) {
  std::lock_guard<std::mutex> held(mutex);
  if (fd >= 0) _write(text);
}

void FdSink::sync() {
  if (fd >= 0) ::fsync(fd);
}

// ---- File sink ----------------------------------------------------------------------------

namespace {
// The file and its directories get exactly the modes asked for, whatever the umask.
struct UmaskZero {
  UmaskZero() : previous(::umask(0)) {}
  ~UmaskZero() { ::umask(previous); }
  mode_t previous;
};

std::string checked_path(const char* path) {
  if (path == nullptr) throw std::logic_error("log FileSink: null path");
  return path;
}
}  // namespace

FileSink::FileSink(const char* file_path, int file_mode)
    : FdSink(-1), path(checked_path(file_path)), mode(file_mode) {
  open();
}

FileSink::~FileSink() {
  if (fd >= 0) ::close(fd);
}

void FileSink::create_dirs_in_path(const char* file_path) {
  const std::string text(file_path);
  const auto slash = text.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string directory = text.substr(0, slash);
  if (::mkdir(directory.c_str(), 0755) != 0 && (errno == ENOTDIR || errno == ENOENT)) {
    create_dirs_in_path(directory.c_str());
    ::mkdir(directory.c_str(), 0755);
  }
}

void FileSink::open() {
  UmaskZero umask_zero;
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, mode);
  if (fd == -1 && errno == ENOENT) {
    create_dirs_in_path(path.c_str());
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, mode);
  }
  if (fd == -1) {
    throw std::system_error(errno, std::system_category(), "log FileSink can not open log file");
  }
}

void FileSink::hangup() { reopen.store(true); }

void FileSink::reopen_if_asked() {
  if (!reopen.exchange(false)) return;
  if (fd >= 0) ::close(fd);
  fd = -1;
  open();
}

void FileSink::log(EventData& data) {
  std::lock_guard<std::mutex> held(mutex);
  reopen_if_asked();
  if (fd >= 0) _write(data.get_formatted(*formatter));
}

void FileSink::log_formatted(std::string_view text) {
  std::lock_guard<std::mutex> held(mutex);
  reopen_if_asked();
  if (fd >= 0) _write(text);
}

// ---- Stream sink --------------------------------------------------------------------------

StreamSink::StreamSink(std::ostream& out) : stream(out) {}

StreamSink::~StreamSink() = default;

void StreamSink::log(EventData& data) {
  std::lock_guard<std::mutex> held(mutex);
  stream << data.get_formatted(*formatter);
  stream.flush();
}

void StreamSink::log_formatted(std::string_view text) {
  std::lock_guard<std::mutex> held(mutex);
  stream << text;
  stream.flush();
}

// ---- Syslog sink --------------------------------------------------------------------------

int syslog_priority(Level level) {
  switch (level) {
    case Level::TRACE:
    case Level::DEBUG: return LOG_DEBUG;
    case Level::INFO: return LOG_INFO;
    case Level::NOTICE: return LOG_NOTICE;
    case Level::WARNING: return LOG_WARNING;
    case Level::ERROR: return LOG_ERR;
    default: return LOG_CRIT;
  }
}

SyslogSink::SyslogSink(const char* ident, SyslogFacility facility) : opened(true) {
  ::openlog(ident, LOG_PID, facility == SyslogFacility::DAEMON ? LOG_DAEMON : LOG_USER);
}

SyslogSink::~SyslogSink() {
  if (opened) ::closelog();
}

void SyslogSink::log(EventData& data) {
  // Component and message are arguments, never a format: they may hold '%'.
  ::syslog(syslog_priority(data.event.get_level()), "%s: %s", data.event.get_component().c_str(),
           data.event.get_description().c_str());
}

// ---- Callback sink ------------------------------------------------------------------------

CallbackSink::CallbackSink(std::function<void(const Event&)>&& f) : callback(std::move(f)) {}

CallbackSink::~CallbackSink() = default;

void CallbackSink::log(EventData& data) { callback(data.event); }

}  // namespace detail

// ---- Factories ----------------------------------------------------------------------------

std::shared_ptr<FormattableLogSink> create_stderr_sink() {
  return std::make_shared<detail::FdSink>(STDERR_FILENO);
}

std::shared_ptr<FormattableLogSink> create_fd_sink(int fd) {
  return std::make_shared<detail::FdSink>(fd);
}

std::shared_ptr<FormattableLogSink> create_file_sink(const char* path, int mode) {
  return std::make_shared<detail::FileSink>(path, mode);
}

std::shared_ptr<FormattableLogSink> create_stream_sink(std::ostream& stream) {
  return std::make_shared<detail::StreamSink>(stream);
}

std::shared_ptr<LogSink> create_syslog_sink() { return std::make_shared<detail::SyslogSink>(); }

std::shared_ptr<LogSink> create_syslog_sink(const char* ident, SyslogFacility facility) {
  return std::make_shared<detail::SyslogSink>(ident, facility);
}

std::shared_ptr<LogSink> create_callback_sink(std::function<void(const Event&)> callback) {
  return std::make_shared<detail::CallbackSink>(std::move(callback));
}

}  // namespace ktu::log
