// End-to-end fixtures: child processes, temporary directories, free ports, a raw HTTP
// client and the systemd notification socket. Plain POSIX, so every test unit stays cheap.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelto::test {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

std::string build_path(std::string_view name);
std::string source_path(std::string_view name);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return dir; }
  std::string file(std::string_view name) const;
  // Writes `content` to `name` inside the directory and returns the full path.
  std::string write(std::string_view name, std::string_view content) const;

 private:
  std::string dir;
};

std::string read_file(const std::string& path);
// How often `needle` occurs in `text` (a log, say), overlapping occurrences included.
std::size_t occurrences(std::string_view text, std::string_view needle);

uint16_t free_tcp_port();
bool wait_for_port(uint16_t port, Ms timeout);
bool wait_for_path(const std::string& path, Ms timeout);

class Process {
 public:
  // Runs argv[0] with stdout and stderr captured to files; `extra_env` entries are "K=V".
  // With `stderr_fd` not negative, the child's standard error is that descriptor instead
  // (err() is then empty).
  static Process start(const std::vector<std::string>& argv,
                       const std::vector<std::string>& extra_env = {},
                       const std::vector<std::string>& unset_env = {}, int stderr_fd = -1);
  Process() = default;
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  ~Process();

  pid_t pid() const { return child; }
  bool running();
  void signal(int sig) const;
  // Exit status, or 128 + signal number; nullopt when still running at the time-out.
  std::optional<int> wait_exit(Ms timeout);
  std::string out() const;
  std::string err() const;
  // Waits until the captured standard error contains `needle`.
  bool wait_for_err(std::string_view needle, Ms timeout) const;

 private:
  void kill_and_reap();

  pid_t child = -1;
  std::optional<int> status;
  std::string out_path, err_path;
  std::string capture_dir;
};

// A unix datagram socket that a child can reach through NOTIFY_SOCKET.
class NotifySocket {
 public:
  NotifySocket();
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& path() const { return sock_path; }
  std::optional<std::string> recv(Ms timeout);

 private:
  TempDir dir;
  std::string sock_path;
  int fd = -1;
};

struct HttpResponse {
  std::string version;  // "HTTP/1.1"
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  std::string header(std::string_view name) const;
  bool has_header(std::string_view name) const;
};

std::string http_request(std::string_view method, std::string_view target,
                         const std::vector<std::pair<std::string, std::string>>& headers = {},
                         std::optional<std::string_view> body = std::nullopt,
                         std::string_view version = "HTTP/1.1");

class HttpConnection {
 public:
  explicit HttpConnection(uint16_t port);
  HttpConnection(HttpConnection&& other) noexcept;
  HttpConnection& operator=(HttpConnection&& other) noexcept;
  ~HttpConnection();

  bool connected() const { return fd >= 0; }
  // Sends every byte; false when the peer is gone.
  bool send(std::string_view bytes);
  // Reads one response; nullopt on time-out, close or malformed data. A response with
  // status 1xx, 204 or 304 has no body.
  std::optional<HttpResponse> read_response(Ms timeout = 10s);
  // True when the peer closes (EOF or reset) within the time-out; data received meanwhile is kept.
  bool peer_closed(Ms timeout);
  // Waits until the peer has read every byte sent so far (its receive queue on this
  // connection is empty), so that the next write reaches it in a read of its own.
  bool wait_peer_read(Ms timeout) const;
  // Bytes received and not yet consumed by read_response.
  const std::string& pending() const { return buffer; }
  int native() const { return fd; }
  void close();

 private:
  // Reads more bytes into buffer; false on close, error or time-out.
  bool fill(std::chrono::steady_clock::time_point deadline);

  int fd = -1;
  std::string buffer;
};

class Daemon {
 public:
  struct Config {
    std::vector<std::string> args;  // after "-l 127.0.0.1 -p <port>"
    std::vector<std::string> env;   // "K=V"
    std::string engine_socket;      // sets KELTO_ENGINE_SOCKET when not empty
    bool wait_ready = true;
    int stderr_fd = -1;             // the daemon's standard error, when not captured
    // Runs first with the daemon's command line after its own words, e.g. a shell that
    // prepares the process's surroundings and then runs exec "$@"; its pid becomes the daemon's.
    std::vector<std::string> wrapper{};
    std::string binary{};  // the daemon's executable; empty: this build's
  };

  explicit Daemon(Config config);
  Daemon() : Daemon(Config{}) {}
  ~Daemon();

  uint16_t port() const { return listen_port; }
  Process& process() { return proc; }
  NotifySocket& notify() { return notify_socket; }
  bool ready() const { return is_ready; }
  HttpConnection connect() const { return HttpConnection(listen_port); }
  // SIGTERM, then the exit status (nullopt if it did not stop within 20 s).
  std::optional<int> stop();

 private:
  NotifySocket notify_socket;
  uint16_t listen_port = 0;
  Process proc;
  bool is_ready = false;
};

class TestEngine {
 public:
  explicit TestEngine(std::vector<std::string> args = {});
  const std::string& socket_path() const { return sock_path; }
  // The settings of a daemon that talks to this engine.
  Daemon::Config daemon_config() const;
  Process& process() { return proc; }
  // Stops the engine (SIGTERM), waits until it has exited, so that every connection to it is
  // closed, and starts a new one on the same socket path with the same arguments, `away` later.
  void restart(Ms away = Ms(0));

 private:
  void start();

  TempDir dir;
  std::string sock_path;
  std::vector<std::string> argv;
  Process proc;
};

// Number of open descriptors of a process, from /proc.
int open_fd_count(pid_t pid);
// Number of threads of a process, from /proc.
int thread_count(pid_t pid);
// Peak (VmHWM) and current (VmRSS) resident memory in KiB, from /proc.
long vm_hwm_kib(pid_t pid);
long vm_rss_kib(pid_t pid);
// Processor time a process (all its threads) has used so far, in clock ticks, from /proc; -1
// once it has gone.
long cpu_ticks(pid_t pid);

}  // namespace kelto::test
