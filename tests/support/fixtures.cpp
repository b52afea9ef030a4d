#include "tests/support/fixtures.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kelto::test {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The value of `key` in a /proc status file, a process's or a thread's; empty when it has none
// (or the thread has gone).
std::string status_field(const std::string& status, std::string_view key) {
  std::ifstream in(status);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

long proc_status_kib(pid_t pid, std::string_view key) {
  const std::string value = status_field("/proc/" + std::to_string(pid) + "/status", key);
  return value.empty() ? -1 : std::stol(value);
}

}  // namespace

std::string build_path(std::string_view name) { return std::string(KELTO_BUILD_DIR) + "/" + std::string(name); }
std::string source_path(std::string_view name) { return std::string(KELTO_SOURCE_DIR) + "/" + std::string(name); }

// ---- TempDir ----------------------------------------------------------------------------

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelto-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

std::string TempDir::file(std::string_view name) const { return dir + "/" + std::string(name); }

std::string TempDir::write(std::string_view name, std::string_view content) const {
  const std::string path = file(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::size_t occurrences(std::string_view text, std::string_view needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// ---- Ports and paths --------------------------------------------------------------------

uint16_t free_tcp_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    throw std::runtime_error("bind to a free port failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool wait_for_port(uint16_t port, Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  do {
    HttpConnection c(port);
    if (c.connected()) return true;
    std::this_thread::sleep_for(10ms);
  } while (Clock::now() < deadline);
  return false;
}

bool wait_for_path(const std::string& path, Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  struct stat st;
  while (::stat(path.c_str(), &st) != 0) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// ---- Process ----------------------------------------------------------------------------

Process Process::start(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                       const std::vector<std::string>& unset_env, int stderr_fd) {
  Process p;
  std::string pattern = (std::filesystem::temp_directory_path() / "kelto-proc-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  p.capture_dir = pattern;
  p.out_path = pattern + "/stdout";
  p.err_path = pattern + "/stderr";

  auto key_of = [](const std::string& kv) { return kv.substr(0, kv.find('=')); };
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string kv(*e);
    const std::string key = key_of(kv);
    const bool dropped =
        std::find(unset_env.begin(), unset_env.end(), key) != unset_env.end() ||
        std::any_of(extra_env.begin(), extra_env.end(), [&](const std::string& x) { return key_of(x) == key; });
    if (!dropped) env.push_back(kv);
  }
  env.insert(env.end(), extra_env.begin(), extra_env.end());

  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (stderr_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stderr_fd, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  // The child starts with the default signal dispositions and an empty mask.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int rc = ::posix_spawn(&p.child, cargv[0], &actions, &attr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return p;
}

Process::Process(Process&& other) noexcept { *this = std::move(other); }

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    kill_and_reap();
    child = std::exchange(other.child, -1);
    status = std::exchange(other.status, std::nullopt);
    out_path = std::move(other.out_path);
    err_path = std::move(other.err_path);
    capture_dir = std::exchange(other.capture_dir, std::string());
  }
  return *this;
}

Process::~Process() { kill_and_reap(); }

void Process::kill_and_reap() {
  if (child > 0 && !status) {
    ::kill(child, SIGKILL);
    int st = 0;
    ::waitpid(child, &st, 0);
  }
  child = -1;
  if (!capture_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(capture_dir, ec);
    capture_dir.clear();
  }
}

bool Process::running() {
  if (child <= 0 || status) return false;
  int st = 0;
  const pid_t r = ::waitpid(child, &st, WNOHANG);
  if (r == child) {
    status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

void Process::signal(int sig) const {
  if (child > 0 && !status) ::kill(child, sig);
}

std::optional<int> Process::wait_exit(Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  while (running()) {
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
  return status;
}

std::string Process::out() const { return read_file(out_path); }
std::string Process::err() const { return read_file(err_path); }

bool Process::wait_for_err(std::string_view needle, Ms timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (err().find(needle) == std::string::npos) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// ---- NotifySocket -----------------------------------------------------------------------

NotifySocket::NotifySocket() : sock_path(dir.file("notify.sock")) {
  fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, sock_path.c_str(), sizeof addr.sun_path - 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("cannot bind notify socket " + sock_path);
  }
}

NotifySocket::~NotifySocket() {
  if (fd >= 0) ::close(fd);
}

std::optional<std::string> NotifySocket::recv(Ms timeout) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  char buf[4096];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<std::size_t>(n));
}

// ---- HTTP -------------------------------------------------------------------------------

std::string HttpResponse::header(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (iequals(k, name)) return v;
  }
  return {};
}

bool HttpResponse::has_header(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return iequals(h.first, name); });
}

std::string http_request(std::string_view method, std::string_view target,
                         const std::vector<std::pair<std::string, std::string>>& headers,
                         std::optional<std::string_view> body, std::string_view version) {
  std::string out;
  out.append(method).append(" ").append(target).append(" ").append(version).append("\r\n");
  bool has_host = false, has_length = false;
  for (const auto& [k, v] : headers) {
    has_host |= iequals(k, "Host");
    has_length |= iequals(k, "Content-Length") || iequals(k, "Transfer-Encoding");
    out.append(k).append(": ").append(v).append("\r\n");
  }
  if (!has_host) out.append("Host: localhost\r\n");
  if (body && !has_length) out.append("Content-Length: ").append(std::to_string(body->size())).append("\r\n");
  out.append("\r\n");
  if (body) out.append(*body);
  return out;
}

HttpConnection::HttpConnection(uint16_t port) {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    fd = -1;
  }
}

HttpConnection::HttpConnection(HttpConnection&& other) noexcept
    : fd(std::exchange(other.fd, -1)), buffer(std::move(other.buffer)) {}

HttpConnection& HttpConnection::operator=(HttpConnection&& other) noexcept {
  if (this != &other) {
    close();
    fd = std::exchange(other.fd, -1);
    buffer = std::move(other.buffer);
  }
  return *this;
}

HttpConnection::~HttpConnection() { close(); }

void HttpConnection::close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool HttpConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool HttpConnection::wait_peer_read(Ms timeout) const {
  sockaddr_in local{}, remote{};
  socklen_t len = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return false;
  len = sizeof remote;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &len) != 0) return false;
  // The peer's socket is the one whose local port is our remote port and the other way round;
  // /proc/net/tcp gives its unread bytes as the hexadecimal rx_queue.
  char ports[32];
  std::snprintf(ports, sizeof ports, ":%04X %08X:%04X", ntohs(remote.sin_port), local.sin_addr.s_addr,
                ntohs(local.sin_port));
  const std::string needle = ports;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    // Bytes still on our side (not yet acknowledged) would make an empty queue there mean nothing.
    int unacked = 0;
    if (::ioctl(fd, SIOCOUTQ, &unacked) != 0) return false;
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);) {
      // "... local rem st tx_queue:rx_queue ..."
      const auto at = line.find(needle);
      unsigned unread = 0;
      if (at != std::string::npos && std::sscanf(line.c_str() + at + needle.size(), " %*x %*x:%x", &unread) == 1 &&
          unacked == 0 && unread == 0) {
        return true;
      }
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
}

bool HttpConnection::fill(Clock::time_point deadline) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  const int r = ::poll(&p, 1, remaining_ms(deadline));
  if (r <= 0) return false;
  char buf[65536];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  if (n <= 0) return false;
  buffer.append(buf, static_cast<std::size_t>(n));
  return true;
}

std::optional<HttpResponse> HttpConnection::read_response(Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t head_end;
  while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (!fill(deadline)) return std::nullopt;
  }
  HttpResponse r;
  std::istringstream head(buffer.substr(0, head_end));
  std::string line;
  std::getline(head, line);
  {
    std::istringstream status_line(line);
    status_line >> r.version >> r.status;
    std::getline(status_line, r.reason);
    r.reason = std::string(trim(r.reason));
  }
  while (std::getline(head, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    r.headers.emplace_back(line.substr(0, colon), std::string(trim(std::string_view(line).substr(colon + 1))));
  }
  std::size_t pos = head_end + 4;

  const bool no_body = (r.status >= 100 && r.status < 200) || r.status == 204 || r.status == 304;
  if (no_body) {
    buffer.erase(0, pos);
    return r;
  }
  if (iequals(r.header("Transfer-Encoding"), "chunked")) {
    for (;;) {
      std::size_t eol;
      while ((eol = buffer.find("\r\n", pos)) == std::string::npos) {
        if (!fill(deadline)) return std::nullopt;
      }
      const std::size_t size = std::stoul(buffer.substr(pos, eol - pos), nullptr, 16);
      pos = eol + 2;
      while (buffer.size() < pos + size + 2) {
        if (!fill(deadline)) return std::nullopt;
      }
      r.body.append(buffer, pos, size);
      pos += size + 2;
      if (size == 0) break;
    }
  } else if (r.has_header("Content-Length")) {
    const std::size_t length = std::stoul(r.header("Content-Length"));
    while (buffer.size() < pos + length) {
      if (!fill(deadline)) return std::nullopt;
    }
    r.body = buffer.substr(pos, length);
    pos += length;
  } else {
    // No length: the body runs to the close.
    while (fill(deadline)) {
    }
    r.body = buffer.substr(pos);
    pos = buffer.size();
  }
  buffer.erase(0, pos);
  return r;
}

bool HttpConnection::peer_closed(Ms timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (fd < 0) return true;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, remaining_ms(deadline));
    if (r == 0) return false;
    if (r < 0) return false;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return true;
    buffer.append(buf, static_cast<std::size_t>(n));
  }
}

// ---- Daemon and stand-in engine ---------------------------------------------------------

Daemon::Daemon(Config config) : listen_port(free_tcp_port()) {
  std::vector<std::string> argv = config.wrapper;
  // A tracer around every daemon of a test run (the unit check's system-call census); like
  // config.wrapper it runs the command after its own words and keeps the pid.
  if (const char* tracer = std::getenv("KELTO_DAEMON_WRAPPER"); tracer && *tracer) {
    argv.push_back(tracer);
  }
  const std::vector<std::string> own{config.binary.empty() ? build_path("kelto-rest") : config.binary,
                                     "-l", "127.0.0.1", "-p", std::to_string(listen_port)};
  argv.insert(argv.end(), own.begin(), own.end());
  argv.insert(argv.end(), config.args.begin(), config.args.end());
  std::vector<std::string> env = config.env;
  env.push_back("NOTIFY_SOCKET=" + notify_socket.path());
  std::vector<std::string> unset{"WATCHDOG_USEC", "WATCHDOG_PID", "KELTO_ENGINE_SOCKET"};
  if (!config.engine_socket.empty()) env.push_back("KELTO_ENGINE_SOCKET=" + config.engine_socket);
  proc = Process::start(argv, env, unset, config.stderr_fd);
  if (!config.wait_ready) return;
  const auto deadline = Clock::now() + 30s;
  while (Clock::now() < deadline && proc.running()) {
    const auto message = notify_socket.recv(100ms);
    if (message && message->find("READY=1") != std::string::npos) {
      is_ready = true;
      break;
    }
  }
}

Daemon::~Daemon() {
  if (proc.running()) stop();
}

std::optional<int> Daemon::stop() {
  proc.signal(SIGTERM);
  return proc.wait_exit(20s);
}

TestEngine::TestEngine(std::vector<std::string> args)
    : sock_path(dir.file("engine.sock")), argv{build_path("kelto-testengine"), "--socket", sock_path} {
  argv.insert(argv.end(), args.begin(), args.end());
  start();
}

void TestEngine::start() {
  proc = Process::start(argv);
  if (!wait_for_path(sock_path, 20s)) throw std::runtime_error("test engine did not create " + sock_path);
}

Daemon::Config TestEngine::daemon_config() const {
  Daemon::Config config;
  config.engine_socket = sock_path;
  return config;
}

void TestEngine::restart(Ms away) {
  proc.signal(SIGTERM);
  if (!proc.wait_exit(20s)) throw std::runtime_error("test engine did not stop");
  // The old socket file would pass for the new engine's until that one renames its own over it.
  ::unlink(sock_path.c_str());
  std::this_thread::sleep_for(away);
  start();
}

// ---- /proc ------------------------------------------------------------------------------

int open_fd_count(pid_t pid) {
  const auto entries = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
  return static_cast<int>(std::distance(begin(entries), end(entries)));
}

int thread_count(pid_t pid) {
  // A sanitizer's runtime starts its own threads with every signal blocked, so that they
  // never take the process's; the daemon's threads all leave SIGTERM to the event loop.
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    const std::string blocked = status_field(task.path() / "status", "SigBlk");
    count += !blocked.empty() && !((std::stoull(blocked, nullptr, 16) >> (SIGTERM - 1)) & 1);
  }
  return count;
}

long vm_hwm_kib(pid_t pid) { return proc_status_kib(pid, "VmHWM"); }
long vm_rss_kib(pid_t pid) { return proc_status_kib(pid, "VmRSS"); }

long cpu_ticks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat, skip;
  std::getline(in, stat);
  // After the name in brackets: the state, ten more fields, then user and system time.
  std::istringstream fields(stat.substr(stat.rfind(')') + 1));
  for (int i = 0; i < 11; ++i) fields >> skip;
  long user = 0, system = 0;
  return fields >> user >> system ? user + system : -1;
}

}  // namespace kelto::test
