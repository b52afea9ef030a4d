// Peak resident memory (VmHWM) of the daemon for one scan whose engine reply is huge: one
// progress frame of 8 MB listing 4 million empty detections, and 8 findings of 32 MiB each.
// Each case runs on a daemon of its own, beside a plain scan as the baseline.
//
//   build/bench_reply_memory
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/fixtures.hpp"

using namespace kelto::test;

namespace {

struct Case {
  const char* name;
  std::string body;
};

}  // namespace

int main() {
  const std::vector<Case> cases = {
      {"plain scan", "clean data\n"},
      {"4 million empty detections in one 8 MB frame", "#kte detections 4000000\n"},
      {"same, detections listed", "#kte detections 4000000\n"},
      {"8 findings of 32 MiB", "#kte long-records 8 33554432\n"},
  };
  printf("%-48s %7s %12s %14s\n", "reply", "status", "body bytes", "VmHWM KiB");
  for (const Case& c : cases) {
    TestEngine engine;
    Daemon::Config config;
    config.args = {"-C", "1", "-q"};
    config.engine_socket = engine.socket_path();
    Daemon daemon(config);
    if (!daemon.ready()) {
      fprintf(stderr, "bench_reply_memory: the daemon did not start\n%s", daemon.process().err().c_str());
      return 1;
    }
    const std::string query = std::string(c.name).find("listed") != std::string::npos ? "?detections=1" : "";
    HttpConnection conn = daemon.connect();
    const bool sent = conn.send(http_request("POST", "/v1/scan" + query,
                                             {{"Content-Type", "application/octet-stream"}}, c.body));
    auto response = sent ? conn.read_response(600s) : std::nullopt;
    printf("%-48s %7d %12zu %14ld\n", c.name, response ? response->status : 0, response ? response->body.size() : 0,
           vm_hwm_kib(daemon.process().pid()));
    fflush(stdout);
    daemon.stop();
  }
  return 0;
}
