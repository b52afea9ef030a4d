// The engine client (pool, connections, framing, descriptor passing) against the stand-in
// engine over a real unix socket, and the whole road through the real daemon over HTTP.
#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "engine.pb.h"
#include "msg.pb.h"
#include "proto/msg_wire.hpp"
#include "service/client_pool.hpp"
#include "service/client_request.hpp"
#include "service/options.hpp"
#include "tests/support/fixtures.hpp"

namespace kelto::test {
namespace {

// The standard antivirus test string, in two halves so that this file is not flagged itself.
const std::string kTestString = std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") +
                                "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// What the engine client delivered for one request: the envelopes, or the failure text.
class Outcome {
 public:
  explicit Outcome(std::string_view body) : fd(memfd_create("body", MFD_CLOEXEC)) {
    EXPECT_EQ(write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
  }
  ~Outcome() { close(fd); }

  bool on_message(KtMsgBase&& envelope) {
    std::lock_guard lock(mutex);
    bool finished = envelope.type() == KT_RESPONSE;
    messages.push_back(std::move(envelope));
    if (finished) {
      done = true;
      cv.notify_all();
    }
    return finished;
  }

  void on_error(std::string_view text) {
    std::lock_guard lock(mutex);
    error = text;
    ++error_calls;
    done = true;
    cv.notify_all();
  }

  bool wait(Ms timeout = 20s) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, timeout, [&] { return done; });
  }

  int fd;
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::vector<KtMsgBase> messages;
  std::string error;
  int error_calls = 0;
};

// A pool on an event loop run by a few threads, as main runs it.
class Client {
 public:
  Client(std::string socket, uint32_t conn_pool, uint32_t max_queued, int threads = 4)
      : socket_path(std::move(socket)), work(ioc.get_executor()) {
    options.engine_socket = socket_path.c_str();
    options.conn_pool = conn_pool;
    options.max_queued = max_queued;
    pool = std::make_unique<ClientPool>(ioc, options);
    for (int i = 0; i < threads; ++i) runners.emplace_back([this] { ioc.run(); });
  }
  ~Client() {
    ioc.stop();
    for (auto& t : runners) t.join();
    pool.reset();
  }

  std::unique_ptr<ClientRequest> make(const std::shared_ptr<Outcome>& outcome, std::string correlation = "",
                                      bool with_body = true) {
    KtEngineScanRequest scan;
    if (with_body) scan.mutable_scan_params()->set_fd_index(0);
    scan.mutable_configuration()->set_heuristics(80);
    auto request = std::make_unique<ClientRequest>();
    request->envelope.set_type(KT_REQUEST);
    request->envelope.set_opcode(KT_REQ_ENGINE_SCAN);
    request->envelope.set_correlation_id(correlation);
    if (with_body) {
      request->envelope.set_fd_count(1);
      request->fd = outcome->fd;
    }
    EXPECT_TRUE(ktu::msg_wire::msg_store_payload(request->envelope, scan));
    request->on_message = [outcome](KtMsgBase&& m) { return outcome->on_message(std::move(m)); };
    request->on_error = [outcome](std::string_view t) { outcome->on_error(t); };
    return request;
  }

  std::shared_ptr<Outcome> submit(std::string_view body, std::string correlation = "") {
    auto outcome = std::make_shared<Outcome>(body);
    pool->enqueue_request(make(outcome, std::move(correlation)));
    return outcome;
  }

  std::string socket_path;
  Options options;
  boost::asio::io_context ioc;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;
  std::unique_ptr<ClientPool> pool;
  std::vector<std::thread> runners;
};

std::vector<int> types_of(const Outcome& o) {
  std::vector<int> types;
  for (const auto& m : o.messages) types.push_back(m.type());
  return types;
}

std::string lines(std::initializer_list<std::string_view> list) {
  std::string out;
  for (auto l : list) out.append(l).push_back('\n');
  return out;
}

TEST(EngineClient, AnswersOfTheEngineReachTheRequestOrItsErrorHandler) {
  TestEngine engine;
  Client client(engine.socket_path(), 2, 16);
  const int P = KT_PROGRESS, R = KT_RESPONSE;
  struct Case {
    std::string body;
    std::vector<int> types;  // envelopes handed to on_message, in order
    std::string error;       // or the failure text
  };
  const std::vector<Case> cases = {
      {"clean data", {R}, ""},
      {"", {R}, ""},
      {"head " + kTestString + " tail", {P, R}, ""},
      {lines({"#kte records 3"}), {P, P, P, R}, ""},
      {lines({"#kte split", "#kte records 2"}), {P, P, R}, ""},
      {lines({"#kte coalesce", "#kte records 3"}), {P, P, P, R}, ""},
      {lines({"#kte wrong-opcode", "#kte wrong-type", "#kte records 1"}), {P, 5, P, R}, ""},
      {lines({"#kte error 7 scan failed"}), {R}, ""},
      {lines({"#kte records 1", "#kte bad-magic"}), {P}, "engine read: malformed message"},
      {lines({"#kte bad-envelope"}), {}, "engine read: malformed message"},
      {lines({"#kte huge-frame"}), {}, "engine read: malformed message"},
      {lines({"#kte close"}), {}, "engine read: End of file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    auto outcome = client.submit(c.body);
    ASSERT_TRUE(outcome->wait());
    EXPECT_EQ(outcome->error, c.error);
    EXPECT_EQ(outcome->error_calls, c.error.empty() ? 0 : 1);
    EXPECT_EQ(types_of(*outcome), c.types);
  }
  // Every failure above left a usable pool behind.
  auto after = client.submit("clean");
  ASSERT_TRUE(after->wait());
  EXPECT_EQ(after->error, "");
}

TEST(EngineClient, FramesCarryTheCorrelationIdAndTheEngineScansThePassedDescriptor) {
  TestEngine engine({"--version", "v-42"});
  Client client(engine.socket_path(), 1, 4);
  // A large body: the engine reads it from the descriptor in chunks, the test string at its end.
  std::string body(3 * 1024 * 1024 + 17, 'a');
  body += kTestString;
  auto outcome = client.submit(body, "corr-77");
  ASSERT_TRUE(outcome->wait());
  ASSERT_EQ(types_of(*outcome), (std::vector<int>{KT_PROGRESS, KT_RESPONSE}));
  for (const auto& m : outcome->messages) EXPECT_EQ(m.correlation_id(), "corr-77");
  KtEngineScanProgress progress;
  ASSERT_TRUE(progress.ParseFromString(outcome->messages[0].payload()));
  EXPECT_EQ(progress.record().virus(), "Test-String");
  KtEngineScanResponse response;
  ASSERT_TRUE(response.ParseFromString(outcome->messages[1].payload()));
  EXPECT_EQ(response.scan_result().version_info().version(), "v-42");
}

TEST(EngineClient, EveryRequestIsAnsweredWhenTheEngineIsAbsent) {
  TempDir dir;
  Client client(dir.file("missing.sock"), 2, 64);
  std::vector<std::shared_ptr<Outcome>> outcomes;
  for (int i = 0; i < 20; ++i) outcomes.push_back(client.submit("x"));
  for (auto& o : outcomes) {
    ASSERT_TRUE(o->wait());
    EXPECT_EQ(o->error, "engine connect: No such file or directory");
  }
}

TEST(EngineClient, AFullQueueRefusesAtOnceWhileTheOnlyConnectionIsBusy) {
  TestEngine engine;
  Client client(engine.socket_path(), 1, 0);
  // With no room in the queue, the request that starts the connect is refused itself.
  auto first = client.submit("x");
  ASSERT_TRUE(first->wait());
  EXPECT_EQ(first->error, "full queue");
  // Once connected, the idle connection takes a request at once.
  std::shared_ptr<Outcome> ok;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  do {
    ok = client.submit("x");
    ASSERT_TRUE(ok->wait());
  } while (!ok->error.empty() && std::chrono::steady_clock::now() < deadline);
  ASSERT_EQ(ok->error, "");
  // The connection goes idle just after the answer was delivered: retry until it takes the slow one.
  std::shared_ptr<Outcome> slow;
  do {
    slow = client.submit(lines({"#kte delay 300"}));
  } while (slow->done && slow->error == "full queue" && std::chrono::steady_clock::now() < deadline);
  ASSERT_FALSE(slow->done);
  auto refused = client.submit("x");
  EXPECT_TRUE(refused->done);  // refused on the caller's thread, before returning
  EXPECT_EQ(refused->error, "full queue");
  ASSERT_TRUE(slow->wait());
  EXPECT_EQ(slow->error, "");
}

TEST(EngineClient, RequestsStillQueuedWhenThePoolGoesAreReleased) {
  // No connection at all: every request waits in the queue until the pool is destroyed.
  auto outcome = std::make_shared<Outcome>("x");
  {
    TempDir dir;
    Client client(dir.file("unused.sock"), 0, 8);
    for (int i = 0; i < 3; ++i) client.pool->enqueue_request(client.make(outcome));
    EXPECT_EQ(outcome.use_count(), 1 + 2 * 3);  // held by both handlers of each request
  }
  EXPECT_EQ(outcome.use_count(), 1);
  EXPECT_FALSE(outcome->done);
}

TEST(EngineClient, ManyConcurrentRequestsOnAFewConnectionsAllFinish) {
  TestEngine engine;
  Client client(engine.socket_path(), 3, 2048);
  std::vector<std::shared_ptr<Outcome>> outcomes;
  std::mutex m;
  std::vector<std::thread> senders;
  for (int t = 0; t < 8; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        auto o = client.submit(i % 10 == 0 ? kTestString : "data " + std::to_string(t * 1000 + i));
        std::lock_guard lock(m);
        outcomes.push_back(o);
      }
    });
  }
  for (auto& s : senders) s.join();
  for (auto& o : outcomes) {
    ASSERT_TRUE(o->wait());
    EXPECT_EQ(o->error, "");
    EXPECT_EQ(o->messages.back().type(), KT_RESPONSE);
  }
}

}  // namespace
}  // namespace kelto::test
