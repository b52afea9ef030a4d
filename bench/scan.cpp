// The cost of a scan through the service: the real daemon in front of the stand-in engine in
// null mode (it answers at once without reading the data), so what is measured is the
// service's own work: HTTP, the memory file, the frame, the descriptor, the pool and the JSON.
// Each load runs beside the same load answered by the request handler alone (a 404).
//
//   build/bench_scan [seconds per load, default 2]
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixtures.hpp"

using namespace kelto::test;
using Clock = std::chrono::steady_clock;

namespace {

struct LoadResult {
  double per_second = 0;
  double p50_us = 0;
  double p99_us = 0;
  long failures = 0;
};

LoadResult run_load(uint16_t port, const std::string& target, int connections, double seconds) {
  // A body that is not read ends the connection after the 404, so the handler-only load is a
  // GET: the same request line, header parsing, routing and response write, without the body.
  const std::string body(1024, 'b');
  const std::string request =
      target == "/v1/scan" ? http_request("POST", target, {{"Content-Type", "application/octet-stream"}}, body)
                           : http_request("GET", target);
  std::vector<std::vector<double>> latencies(connections);
  std::atomic<long> failures{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < connections; ++c) {
    threads.emplace_back([&, c] {
      HttpConnection conn(port);
      auto& mine = latencies[c];
      mine.reserve(200000);
      while (!stop.load(std::memory_order_relaxed)) {
        auto start = Clock::now();
        if (!conn.send(request)) {
          ++failures;
          return;
        }
        auto response = conn.read_response(30s);
        if (!response || (response->status != 200 && response->status != 404)) {
          ++failures;
          return;
        }
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      }
    });
  }
  auto started = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  LoadResult r;
  r.failures = failures;
  if (all.empty()) return r;
  r.per_second = static_cast<double>(all.size()) / elapsed;
  r.p50_us = all[all.size() / 2];
  r.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  return r;
}

struct BigResult {
  double mb_per_second = 0;
  int status = 0;
  std::string scanned;
};

// One body of `size` bytes sent in 1 MiB pieces; the response is read while sending, since a
// 404 comes back before the body is read.
BigResult run_big(uint16_t port, const std::string& target, uint64_t size) {
  HttpConnection conn(port);
  std::string head = "POST " + target +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n"
                     "Content-Length: " +
                     std::to_string(size) + "\r\n\r\n";
  const std::string piece(1 << 20, 'g');
  auto start = Clock::now();
  std::thread sender([&] {
    if (!conn.send(head)) return;
    for (uint64_t sent = 0; sent < size; sent += piece.size()) {
      if (!conn.send(std::string_view(piece).substr(0, std::min<uint64_t>(piece.size(), size - sent)))) return;
    }
  });
  auto response = conn.read_response(600s);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (response) {
    // A 404 leaves the body unread: end the upload rather than wait for it.
    if (response->status != 200) shutdown(conn.native(), SHUT_RDWR);
  }
  sender.join();
  BigResult r;
  if (!response) return r;
  r.status = response->status;
  r.scanned = response->header("X-Scanned-Bytes");
  r.mb_per_second = static_cast<double>(size) / (1024.0 * 1024.0) / elapsed;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  TestEngine engine({"--null"});
  Daemon daemon(Daemon::Config{{"-C", "32", "-q"}, {}, engine.socket_path()});
  if (!daemon.ready()) {
    fprintf(stderr, "bench_scan: the daemon did not start\n%s", daemon.process().err().c_str());
    return 1;
  }
  // Warm up: open the engine connections and fault in the daemon's memory.
  run_load(daemon.port(), "/v1/scan", 64, 0.5);

  printf("1 KiB bodies, kept-alive connections, conn_pool 32, engine in null mode\n");
  printf("%-12s %-10s %12s %10s %10s %8s\n", "connections", "answer", "requests/s", "p50 us", "p99 us", "errors");
  for (int connections : {1, 16, 64}) {
    for (const char* target : {"/v1/scan", "/v1/none"}) {
      LoadResult r = run_load(daemon.port(), target, connections, seconds);
      printf("%-12d %-10s %12.0f %10.1f %10.1f %8ld\n", connections,
             std::string(target) == "/v1/scan" ? "scan 200" : "404 GET", r.per_second, r.p50_us, r.p99_us,
             r.failures);
      fflush(stdout);
    }
  }

  const uint64_t gib = uint64_t{1} << 30;
  const pid_t pid = daemon.process().pid();
  long rss_before = vm_rss_kib(pid);
  BigResult scan = run_big(daemon.port(), "/v1/scan", gib);
  long rss_after = vm_rss_kib(pid);
  BigResult handler_only = run_big(daemon.port(), "/v1/none", gib);
  printf("\none 1 GiB body\n");
  printf("scan:         %8.1f MB/s  status %d  X-Scanned-Bytes %s\n", scan.mb_per_second, scan.status,
         scan.scanned.c_str());
  printf("404:          %8.1f MB/s  status %d  (answered before the body is read)\n", handler_only.mb_per_second,
         handler_only.status);
  printf("resident memory: %ld KiB before, %ld KiB after the 1 GiB scan (%+ld KiB)\n", rss_before, rss_after,
         rss_after - rss_before);
  bool memory_ok = rss_after - rss_before <= 16 * 1024;
  printf("resident memory within 16 MiB of its level before: %s\n", memory_ok ? "yes" : "NO");
  daemon.stop();
  return scan.status == 200 && memory_ok ? 0 : 1;
}
