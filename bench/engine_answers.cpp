// What clients are answered when the engine misbehaves under load: the real daemon in front of
// the stand-in engine, counting wrong and failed answers rather than timing them.
//
//   1. Late duplicates: clients scan at once over 1 and 2 engine connections, without
//      X-Correlation-Id, with one of each scan's own, and with one id shared by every scan; one
//      scan in ten makes the engine send its final response again 30 ms later. Each scan's data names a finding of its own: an answer that names another went to
//      the wrong client.
//   2. A restart behind busy connections: 2 connections busy with 4 s scans, 6 scans waiting;
//      3.4 s later the engine stops and is back 0.3 s after that.
//   3. A reset with a full queue: 1 connection, max_queued 1; the engine resets a request while
//      a newer one waits; 3 rounds.
//
//   build/bench_engine_answers [seconds per load, default 3]
//   KELTO_BENCH_DAEMON=PATH runs that daemon binary instead of build/kelto-rest (to compare
//   builds; the stand-in engine is always this build's).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixtures.hpp"

using namespace kelto::test;
using Clock = std::chrono::steady_clock;

namespace {

std::unique_ptr<Daemon> start_daemon(const TestEngine& engine, std::vector<std::string> args) {
  Daemon::Config config{std::move(args), {}, engine.socket_path()};
  if (const char* other = std::getenv("KELTO_BENCH_DAEMON")) config.binary = other;
  auto daemon = std::make_unique<Daemon>(config);
  if (!daemon->ready()) {
    fprintf(stderr, "bench_engine_answers: the daemon did not start\n%s", daemon->process().err().c_str());
    std::exit(1);
  }
  return daemon;
}

std::string scan_request(const std::string& body, const std::string& correlation_id = "") {
  std::vector<std::pair<std::string, std::string>> headers{{"Content-Type", "application/octet-stream"}};
  if (!correlation_id.empty()) headers.emplace_back("X-Correlation-Id", correlation_id);
  return http_request("POST", "/v1/scan", headers, body);
}

struct Tally {
  std::atomic<long> answers{0}, wrong{0}, failed{0};
};

enum class Ids { none, own, shared };

void late_duplicates(int conn_pool, Ids ids, double seconds) {
  TestEngine engine;
  auto daemon = start_daemon(engine, {"-C", std::to_string(conn_pool), "-q"});
  Tally tally;
  std::atomic<long> next{0};
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&] {
      HttpConnection conn(daemon->port());
      while (Clock::now() < end) {
        const long k = next++;
        const std::string finding = "F" + std::to_string(k);
        std::string body = "#kte record virus=" + finding + "\n";
        if (k % 10 == 0) body += "#kte duplicate 30\n";
        const std::string id = ids == Ids::own ? "c" + std::to_string(k) : ids == Ids::shared ? "shared" : "";
        if (!conn.send(scan_request(body, id))) return;
        auto response = conn.read_response(30s);
        if (!response) return;
        ++tally.answers;
        if (response->status != 200) {
          ++tally.failed;
        } else if (response->body.find("\"" + finding + "\"") == std::string::npos) {
          ++tally.wrong;
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  printf("late duplicates, engine connections %d, %-14s %6ld answers, %5ld wrong, %4ld failed\n", conn_pool,
         ids == Ids::own ? "client ids:" : ids == Ids::shared ? "one shared id:" : "no client ids:",
         tally.answers.load(), tally.wrong.load(),
         tally.failed.load());
  fflush(stdout);
}

void restart_behind_busy_connections() {
  TestEngine engine;
  auto daemon = start_daemon(engine, {"-C", "2", "-q"});
  std::vector<HttpConnection> running, waiting;
  for (int i = 0; i < 2; ++i) {
    running.push_back(daemon->connect());
    running.back().send(scan_request("#kte delay 4000\n"));
  }
  std::this_thread::sleep_for(100ms);
  for (int i = 0; i < 6; ++i) {
    waiting.push_back(daemon->connect());
    waiting.back().send(scan_request("waiting " + std::to_string(i)));
  }
  std::this_thread::sleep_for(3400ms);
  engine.restart(300ms);
  int ok = 0;
  std::string failure;
  for (auto& c : waiting) {
    auto response = c.read_response(30s);
    if (response && response->status == 200) {
      ++ok;
    } else if (failure.empty()) {
      failure = response ? response->body : "no answer\n";
    }
  }
  printf("restart behind busy connections: %d of 6 waiting scans answered 200%s%s", ok,
         failure.empty() ? "\n" : "; first failure: ", failure.c_str());
  fflush(stdout);
}

void reset_with_a_full_queue() {
  TempDir dir;
  const std::string conf = dir.write("rest.conf", "[engine]\nmax_queued = 1\n");
  TestEngine engine;
  auto daemon = start_daemon(engine, {"-C", "1", "-q", "-c", conf});
  int refused = 0, both = 0;
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    HttpConnection setup = daemon->connect();
    setup.send(scan_request("#kte reset-next 200\n"));
    setup.read_response(30s);
    // The reset request is on the only connection when the newer one arrives and fills the queue.
    HttpConnection reset = daemon->connect(), newer = daemon->connect();
    reset.send(scan_request("reset " + std::to_string(round)));
    std::this_thread::sleep_for(50ms);
    newer.send(scan_request("newer " + std::to_string(round)));
    auto first = reset.read_response(30s);
    auto second = newer.read_response(30s);
    if (first && first->body.find("full queue") != std::string::npos) ++refused;
    if (first && second && first->status == 200 && second->status == 200) ++both;
  }
  printf("reset with a full queue: the reset request refused \"full queue\" in %d of %d rounds, "
         "both answered 200 in %d\n",
         refused, kRounds, both);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  for (int conn_pool : {1, 2}) {
    for (Ids ids : {Ids::none, Ids::own, Ids::shared}) late_duplicates(conn_pool, ids, seconds);
  }
  restart_behind_busy_connections();
  reset_with_a_full_queue();
  return 0;
}
