// Peak resident memory (VmHWM) of the daemon under slow heads: four connections each send a
// head of up to 4 MiB of short field lines in writes of about 1 KiB, every write ending one
// byte into the next line, and then the blank line that ends the head. Printed per connection:
// the head bytes the daemon took before it answered, and its answer.
//
//   build/bench_head_memory
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixtures.hpp"

using namespace kelto::test;

namespace {

constexpr std::size_t head_size = 4 << 20;
constexpr std::size_t write_size = 1024;

struct Outcome {
  std::size_t sent = 0;
  int status = 0;
};

bool answered(const HttpConnection& conn) {
  pollfd p{conn.native(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

Outcome slow_head(const Daemon& daemon) {
  HttpConnection conn = daemon.connect();
  const int on = 1;
  ::setsockopt(conn.native(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const std::string line = "X-Pad: 123456\r\n";
  std::string head = "GET / HTTP/1.1\r\n";
  while (head.size() < head_size) head += line;
  head += "\r\n";
  Outcome out;
  while (out.sent < head.size() && !answered(conn)) {
    // One byte into the next line, so no write leaves a whole line for the parser's own limit.
    std::size_t n = std::min(write_size, head.size() - out.sent);
    const std::size_t line_end = head.rfind("\r\n", out.sent + n - 1);
    if (line_end != std::string::npos && line_end + 3 > out.sent && line_end + 3 <= head.size()) {
      n = line_end + 3 - out.sent;
    }
    if (!conn.send(std::string_view(head).substr(out.sent, n))) break;
    out.sent += n;
    // Apart, so that the daemon reads the writes one by one, as from a slow client.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const auto response = conn.read_response(60s);
  out.status = response ? response->status : 0;
  return out;
}

}  // namespace

int main() {
  Daemon::Config config;
  config.args = {"-q"};
  Daemon daemon(config);
  if (!daemon.ready()) {
    fprintf(stderr, "bench_head_memory: the daemon did not start\n%s", daemon.process().err().c_str());
    return 1;
  }
  {
    HttpConnection conn = daemon.connect();
    if (!conn.send(http_request("GET", "/warm-up")) || !conn.read_response()) return 1;
  }
  const pid_t pid = daemon.process().pid();
  printf("VmHWM before: %ld KiB\n", vm_hwm_kib(pid));
  std::vector<Outcome> outcomes(4);
  std::vector<std::thread> clients;
  for (auto& outcome : outcomes) clients.emplace_back([&] { outcome = slow_head(daemon); });
  for (auto& t : clients) t.join();
  for (const Outcome& o : outcomes) printf("head bytes sent %9zu  answer %d\n", o.sent, o.status);
  printf("VmHWM after:  %ld KiB\n", vm_hwm_kib(pid));
  daemon.stop();
  return 0;
}
