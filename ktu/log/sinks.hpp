// Log sinks: where events end. Descriptor (standard error), file (reopened after rotation),
// output stream, syslog and caller's callback. Text sinks serialise their own writes with a
// mutex of their own, so one event's lines are never interleaved with another's in one sink.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

#include "ktu/log/formatter.hpp"
#include "ktu/log/log.hpp"

namespace ktu::log {

// Value 1 selects the daemon facility; any other value the user facility.
enum class SyslogFacility : int { USER = 0, DAEMON = 1 };

class FormattableLogSink : public LogSink {
 public:
  FormattableLogSink();
  virtual void log_formatted(std::string_view text) = 0;

  // A set-up step: takes no lock, so call it before the sink is added to a Configuration.
  void set_formatter(std::shared_ptr<Formatter> f);
  const Formatter& get_formatter() const { return *formatter; }

 protected:
  std::shared_ptr<Formatter> formatter;
};

namespace detail {

class FdSink : public FormattableLogSink {
 public:
  explicit FdSink(int fd);
  void log(EventData& data) override;
  void sync() override;
  ~FdSink() override;  // leaves the descriptor open: it is not ours
  void log_formatted(std::string_view text) override;

 protected:
  // Writes all of `text`, retrying EINTR/EAGAIN; throws std::system_error on failure.
  void _write(std::string_view text);

  int fd;
  std::mutex mutex;

 private:
  // Standard error under a service manager is often a socket: its writes go out with
  // MSG_NOSIGNAL, so a reader that has gone away fails the write (EPIPE) instead of ending
  // the process with SIGPIPE. A pipe has no such flag: a program that must outlive the
  // reader of its pipe ignores SIGPIPE, as the daemon does from its first line.
  bool is_socket = false;
};

class FileSink : public FdSink {
 public:
  FileSink(const char* path, int mode);
  void log(EventData& data) override;
  // Marks the file for reopening by the next write, so that a rotated file is let go.
  void hangup() override;
  ~FileSink() override;
  void log_formatted(std::string_view text) override;

  // Creates the missing directories of `path` (mode 0755); failures are left for the open.
  static void create_dirs_in_path(const char* path);

 private:
  void open();
  void reopen_if_asked();

  std::string path;
  int mode;
  std::atomic<bool> reopen{false};
};

class StreamSink : public FormattableLogSink {
 public:
  explicit StreamSink(std::ostream& stream);
  void log(EventData& data) override;
  ~StreamSink() override;
  void log_formatted(std::string_view text) override;

 private:
  std::ostream& stream;
  std::mutex mutex;
};

class SyslogSink : public LogSink {
 public:
  SyslogSink() = default;
  // openlog keeps `ident`: it must outlive the sink.
  SyslogSink(const char* ident, SyslogFacility facility);
  void log(EventData& data) override;
  ~SyslogSink() override;

 private:
  bool opened = false;
};

class CallbackSink : public LogSink {
 public:
  explicit CallbackSink(std::function<void(const Event&)>&& callback);
  void log(EventData& data) override;
  ~CallbackSink() override;

 private:
  std::function<void(const Event&)> callback;
};

// The syslog priority of a level: DEBUG and TRACE 7 ... ERROR 3, anything above 2.
int syslog_priority(Level level);

}  // namespace detail

std::shared_ptr<FormattableLogSink> create_stderr_sink();
std::shared_ptr<FormattableLogSink> create_fd_sink(int fd);
// Opens (and creates) the file at once; throws std::system_error when it cannot.
std::shared_ptr<FormattableLogSink> create_file_sink(const char* path, int mode);
std::shared_ptr<FormattableLogSink> create_stream_sink(std::ostream& stream);
std::shared_ptr<LogSink> create_syslog_sink();
std::shared_ptr<LogSink> create_syslog_sink(const char* ident, SyslogFacility facility);
std::shared_ptr<LogSink> create_callback_sink(std::function<void(const Event&)> callback);

}  // namespace ktu::log
