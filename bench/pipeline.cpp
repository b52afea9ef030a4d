// Pipelined requests on a kept-alive connection that has been open a while: two requests sent
// in one write, and how long the second answer takes to arrive after them. The first answer is
// written while the second request is already waiting, so the second is a small write behind
// an unacknowledged one: what a connection that holds small writes back would make it wait.
// Real daemon, stand-in engine in null mode, through the end-to-end fixtures.
//
//   build/bench_pipeline [pairs per load, default 100]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/fixtures.hpp"

using namespace kelto::test;
using Clock = std::chrono::steady_clock;

namespace {

struct PairResult {
  double first_p50_us = 0;
  double second_p50_us = 0;
  double second_p99_us = 0;
  long failures = 0;
};

double percentile(std::vector<double> values, std::size_t pct) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, values.size() * pct / 100)];
}

PairResult run_pairs(uint16_t port, const std::string& request, int expected_status, int pairs) {
  PairResult r;
  HttpConnection conn(port);
  // Past the start of a connection, where the client still acknowledges every segment at once.
  for (int i = 0; i < 64; ++i) {
    if (!conn.send(request) || !conn.read_response(10s)) {
      r.failures = pairs;
      return r;
    }
  }
  std::vector<double> first, second;
  const std::string pair = request + request;
  for (int i = 0; i < pairs; ++i) {
    const auto start = Clock::now();
    if (!conn.send(pair)) {
      r.failures += pairs - i;
      break;
    }
    auto a = conn.read_response(10s);
    const auto first_at = Clock::now();
    auto b = a ? conn.read_response(10s) : std::nullopt;
    const auto second_at = Clock::now();
    if (!a || !b || a->status != expected_status || b->status != expected_status) {
      ++r.failures;
      conn = HttpConnection(port);
      continue;
    }
    first.push_back(std::chrono::duration<double, std::micro>(first_at - start).count());
    second.push_back(std::chrono::duration<double, std::micro>(second_at - start).count());
  }
  r.first_p50_us = percentile(first, 50);
  r.second_p50_us = percentile(second, 50);
  r.second_p99_us = percentile(second, 99);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  TestEngine engine({"--null"});
  Daemon daemon(Daemon::Config{{"-q"}, {}, engine.socket_path()});
  if (!daemon.ready()) {
    fprintf(stderr, "bench_pipeline: the daemon did not start\n%s", daemon.process().err().c_str());
    return 1;
  }
  const std::string scan = http_request("POST", "/v1/scan", {{"Content-Type", "application/octet-stream"}},
                                        std::string(1024, 'p'));
  const std::string not_found = http_request("GET", "/v1/none");

  printf("%d pipelined pairs on a warmed kept-alive connection, engine in null mode\n", pairs);
  printf("%-10s %16s %16s %16s %8s\n", "answer", "1st p50 us", "2nd p50 us", "2nd p99 us", "errors");
  long failures = 0;
  struct Load {
    const char* name;
    const std::string& request;
    int status;
  };
  for (const Load& load : {Load{"404 GET", not_found, 404}, Load{"scan 200", scan, 200}}) {
    const PairResult r = run_pairs(daemon.port(), load.request, load.status, pairs);
    printf("%-10s %16.1f %16.1f %16.1f %8ld\n", load.name, r.first_p50_us, r.second_p50_us, r.second_p99_us,
           r.failures);
    fflush(stdout);
    failures += r.failures;
  }
  daemon.stop();
  return failures == 0 ? 0 : 1;
}
