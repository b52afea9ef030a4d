// Body ingest of large uploads with the event loop on 8 threads beside the same on 1 thread:
// the real daemon in front of the stand-in engine in null mode (it answers without reading the
// data), so what is timed is how fast one connection's body reaches its memory file. The daemons
// run side by side and take turns upload by upload, so that a busy machine weighs on each alike;
// with --other, two daemons of that executable (another build of the service) take turns too,
// named o1 t8 and o1 t1 (o2 for a second --other, and so on).
//
//   build/bench_ingest [--runs N, default 12] [--mib N, default 512] [--other PATH]...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/fixtures.hpp"

using namespace kelto::test;
using Clock = std::chrono::steady_clock;

namespace {

struct Setup {
  std::string name;
  std::unique_ptr<Daemon> daemon;
  std::vector<double> gb_per_second;  // one per round
};

// One body of `size` bytes in 1 MiB writes on a new connection; GB/s from the first byte sent
// to the answer, 0 when the scan fails.
double upload(uint16_t port, uint64_t size) {
  static const std::string piece(1 << 20, 'i');
  HttpConnection conn(port);
  const std::string head =
      "POST /v1/scan HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n"
      "Content-Length: " + std::to_string(size) + "\r\n\r\n";
  const auto start = Clock::now();
  if (!conn.send(head)) return 0;
  for (uint64_t sent = 0; sent < size; sent += piece.size()) {
    if (!conn.send(std::string_view(piece).substr(0, std::min<uint64_t>(piece.size(), size - sent)))) return 0;
  }
  const auto response = conn.read_response(600s);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!response || response->status != 200) return 0;
  return static_cast<double>(size) / seconds / 1e9;
}

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5)];
}

// The ratio of two setups round by round: its median and the middle half of the rounds.
void print_ratio(const Setup& a, const Setup& b) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < a.gb_per_second.size(); ++i) ratios.push_back(a.gb_per_second[i] / b.gb_per_second[i]);
  printf("%-6s / %-6s %6.3f  (middle half %.3f .. %.3f)\n", a.name.c_str(), b.name.c_str(), quantile(ratios, 0.5),
         quantile(ratios, 0.25), quantile(ratios, 0.75));
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 12;
  uint64_t mib = 512;
  std::vector<std::string> binaries{""};  // this build's first
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--runs") {
      runs = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--mib") {
      mib = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--other") {
      binaries.push_back(argv[i + 1]);
    }
  }
  TestEngine engine({"--null"});
  // Per executable, 8 threads and then 1.
  std::vector<Setup> setups;
  for (std::size_t b = 0; b < binaries.size(); ++b) {
    for (const char* threads : {"8", "1"}) {
      Daemon::Config config{{"-t", threads, "-q"}, {}, engine.socket_path()};
      config.binary = binaries[b];
      setups.push_back({(b == 0 ? "" : "o" + std::to_string(b) + " ") + "t" + threads,
                        std::make_unique<Daemon>(config), {}});
    }
  }
  for (const Setup& s : setups) {
    if (!s.daemon->ready()) {
      fprintf(stderr, "bench_ingest: daemon %s did not start\n%s", s.name.c_str(), s.daemon->process().err().c_str());
      return 1;
    }
    printf("daemon %-6s pid %d\n", s.name.c_str(), s.daemon->process().pid());
    // Opens the engine connection and faults in the daemon's buffers.
    upload(s.daemon->port(), uint64_t{64} << 20);
  }

  const uint64_t size = mib << 20;
  printf("%llu MiB uploads, one at a time, engine in null mode, GB/s\n%-6s", static_cast<unsigned long long>(mib),
         "round");
  for (const Setup& s : setups) printf(" %8s", s.name.c_str());
  printf("\n");
  bool failed = false;
  for (int round = 0; round < runs; ++round) {
    // Each round starts with the next setup, so none always follows the same one.
    for (std::size_t k = 0; k < setups.size(); ++k) {
      Setup& s = setups[(round + k) % setups.size()];
      const double rate = upload(s.daemon->port(), size);
      failed = failed || rate == 0;
      s.gb_per_second.push_back(rate);
    }
    printf("%-6d", round + 1);
    for (const Setup& s : setups) printf(" %8.3f", s.gb_per_second.back());
    printf("\n");
    fflush(stdout);
  }
  printf("%-6s", "median");
  for (const Setup& s : setups) printf(" %8.3f", quantile(s.gb_per_second, 0.5));
  printf("\n\nratios of the rounds\n");
  for (std::size_t b = 0; b < setups.size(); b += 2) print_ratio(setups[b], setups[b + 1]);
  for (std::size_t b = 2; b < setups.size(); ++b) print_ratio(setups[b % 2], setups[b]);
  for (Setup& s : setups) s.daemon->stop();
  return failed ? 1 : 0;
}
