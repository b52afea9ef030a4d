// The engine client (pool, connections, framing, descriptor passing) against the stand-in
// engine over a real unix socket, and the whole road through the real daemon over HTTP.
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include "engine.pb.h"
#include "ktu/util/fd_passing.hpp"
#include "msg.pb.h"
#include "proto/msg_wire.hpp"
#include "service/client_pool.hpp"
#include "service/client_request.hpp"
#include "service/event_loop.hpp"
#include "service/options.hpp"
#include "service/request_handler.hpp"
#include "tests/support/fixtures.hpp"

namespace {
// Allocations above this size fail, as they do under an address-space limit.
std::atomic<std::size_t> allocation_limit{SIZE_MAX};
}  // namespace

void* operator new(std::size_t size) {
  if (size > allocation_limit.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Out of line, so that the compiler does not see free() meet a pointer from new.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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

std::unique_ptr<ClientRequest> make_request(const std::shared_ptr<Outcome>& outcome, std::string correlation = "",
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

// A pool on an event loop run by a few threads, as main runs it.
class Client {
 public:
  Client(std::string socket, uint32_t conn_pool, uint32_t max_queued, int threads = 4)
      : socket_path(std::move(socket)), work(ioc.get_executor()) {
    options.engine_socket = socket_path.c_str();
    options.conn_pool = conn_pool;
    options.max_queued = max_queued;
    pool = std::make_unique<ClientPool>(ioc, options);
    for (int i = 0; i < threads; ++i) runners.emplace_back([this] { run_event_loop(ioc); });
  }
  ~Client() {
    ioc.stop();
    for (auto& t : runners) t.join();
    pool.reset();
  }

  std::unique_ptr<ClientRequest> make(const std::shared_ptr<Outcome>& outcome, std::string correlation = "",
                                      bool with_body = true) {
    return make_request(outcome, std::move(correlation), with_body);
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
      {lines({"#kte huge-frame"}), {}, "engine read: reply too large"},
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

int listen_unix(const std::string& path, int flags, int backlog = 16) {
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(listen(listener, backlog), 0);
  return listener;
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
  // A path that does not fit a socket address fails the same way.
  Client too_long(dir.path() + "/" + std::string(120, 'p'), 1, 4);
  auto o = too_long.submit("x");
  ASSERT_TRUE(o->wait());
  EXPECT_EQ(o->error, "engine connect: File name too long");
  // So does a listener that never accepts, its backlog full: a non-blocking connect to it
  // returns EAGAIN and leaves the socket unconnected.
  const std::string full = dir.file("full.sock");
  const int listener = listen_unix(full, 0, 0);
  sockaddr_un addr{};
  socklen_t length = sizeof addr;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  std::vector<int> queued;
  do queued.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  while (connect(queued.back(), reinterpret_cast<sockaddr*>(&addr), length) == 0 && queued.size() < 16);
  ASSERT_EQ(errno, EAGAIN);
  Client unaccepted(full, 1, 4);
  o = unaccepted.submit("x");
  ASSERT_TRUE(o->wait());
  EXPECT_EQ(o->error, "engine connect: Resource temporarily unavailable");
  for (int c : queued) close(c);
  close(listener);
}

// Reads one request as the engine does, its frame and then, unless told not to, its
// descriptor; false when the connection is closed or breaks first.
bool read_request(int fd, KtMsgBase& request, bool descriptor = true) {
  unsigned char header[ktu::msg_wire::kHeaderSize];
  if (recv(fd, header, sizeof header, MSG_WAITALL) != static_cast<ssize_t>(sizeof header)) return false;
  const std::size_t length = std::size_t{header[4]} << 24 | header[5] << 16 | header[6] << 8 | header[7];
  std::string body(length, '\0');
  if (recv(fd, body.data(), length, MSG_WAITALL) != static_cast<ssize_t>(length)) return false;
  if (!request.ParseFromString(body)) return false;
  return !descriptor || !request.has_fd_count() || ktu::util::read_fd_from_unix_pipe(fd);
}

// A final response that names the request it answers; `padding` bytes of payload make it long.
std::string final_frame(const std::string& correlation, std::size_t padding = 0) {
  KtMsgBase response;
  response.set_type(KT_RESPONSE);
  response.set_opcode(KT_REQ_ENGINE_SCAN);
  response.set_correlation_id(correlation);
  if (padding > 0) response.set_payload(std::string(padding, 'p'));
  std::string frame(ktu::msg_wire::msg_wire_size(response), '\0');
  EXPECT_EQ(ktu::msg_wire::msg_wire_write(response, frame.data()), frame.size());
  return frame;
}

void send_all(int fd, std::string_view bytes) {
  ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Plays the engine for one request on `fd`: reads its frame and descriptor, answers it finished.
void answer_one_request(int fd) {
  KtMsgBase request;
  ASSERT_TRUE(read_request(fd, request));
  send_all(fd, final_frame(""));
}

// An engine played by the test itself, which writes whatever a case needs, whenever it needs it.
class RawEngine {
 public:
  RawEngine() : path(dir.file("raw.sock")), listener(listen_unix(path, 0)) {}
  ~RawEngine() {
    close(conn);
    close(listener);
  }

  // Reads the next request, which must be the one with this correlation id, on the connection
  // in use or, once the client has closed that, on a new one; false when none comes in time.
  bool take(const std::string& correlation) {
    KtMsgBase request;
    if (conn < 0 || !read_request(conn, request)) {
      close(conn);
      pollfd waiting{listener, POLLIN, 0};
      conn = poll(&waiting, 1, 10000) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
      const timeval limit{10, 0};
      for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) setsockopt(conn, SOL_SOCKET, option, &limit, sizeof limit);
      if (conn < 0 || !read_request(conn, request)) return false;
    }
    EXPECT_EQ(request.correlation_id(), correlation);
    return true;
  }

  // Answers the request of this correlation id, whichever connection it comes on; that answer,
  // and nothing else, must reach it.
  void serve(Outcome& outcome, const std::string& correlation) {
    ASSERT_TRUE(take(correlation));
    send_all(conn, final_frame(correlation));
    ASSERT_TRUE(outcome.wait(10s));
    EXPECT_EQ(outcome.error, "");
    ASSERT_EQ(types_of(outcome), std::vector<int>{KT_RESPONSE});
    EXPECT_EQ(outcome.messages[0].correlation_id(), correlation);
  }

  TempDir dir;
  std::string path;
  int listener;
  int conn = -1;  // the client's connection
};

TEST(EngineClient, AnEngineThatDropsEveryConnectionEndsTheRequestAfterThreeAttempts) {
  // Each connection is closed by the engine before the client writes on it, so every attempt
  // meets a broken pipe. The loop is run by hand so that the drop always comes first.
  TempDir dir;
  const std::string path = dir.file("drop.sock");
  int listener = listen_unix(path, SOCK_NONBLOCK);
  ASSERT_GE(listener, 0);
  Options options;
  options.engine_socket = path.c_str();
  options.conn_pool = 1;
  options.max_queued = 4;
  boost::asio::io_context ioc;
  // Sends one request while the engine closes every connection it is offered.
  const auto expect_three_dropped_attempts = [&](ClientPool& pool) {
    auto outcome = std::make_shared<Outcome>("x");
    pool.enqueue_request(make_request(outcome));
    int dropped = 0;
    for (int step = 0; step < 20000 && !outcome->done; ++step) {
      for (int c; (c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        close(c);
        ++dropped;
      }
      ioc.poll_one();
    }
    ASSERT_TRUE(outcome->done) << "still sent again after " << dropped << " attempts";
    EXPECT_EQ(outcome->error, "engine write: Broken pipe");
    EXPECT_EQ(outcome->error_calls, 1);
    EXPECT_EQ(dropped, 3);
  };
  {
    ClientPool pool(ioc, options);
    expect_three_dropped_attempts(pool);
  }
  // A connection that the engine closed while it sat idle (as a restart does) costs the next
  // request no attempt: it still gets three on connections opened for it.
  {
    ClientPool pool(ioc, options);
    auto served = std::make_shared<Outcome>("x");
    pool.enqueue_request(make_request(served));
    int engine_side = -1;
    for (int step = 0; step < 20000 && engine_side < 0; ++step) {
      engine_side = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      ioc.poll_one();
    }
    ASSERT_GE(engine_side, 0);
    pollfd readable{engine_side, POLLIN, 0};
    for (int step = 0; step < 20000 && poll(&readable, 1, 0) == 0; ++step) ioc.poll_one();
    answer_one_request(engine_side);
    for (int step = 0; step < 20000 && !served->done; ++step) ioc.poll_one();
    ASSERT_TRUE(served->done);
    ASSERT_EQ(served->error, "");
    close(engine_side);
    expect_three_dropped_attempts(pool);
  }
  close(listener);
}

TEST(EngineClient, WhateverEndedTheRequestBeforeTheNextGetsItsOwnAnswer) {
  // One connection: the next request would go on the same one if it were kept.
  RawEngine engine;
  Client client(engine.path, 1, 4);
  struct Case {
    std::string tag;          // the requests' correlation ids are tag-1 and tag-2
    std::string answer;       // written for the first request
    std::string error = "";   // the first request's failure
    bool closes = false;      // the client closes the first request's connection
    std::string later = "";   // written once the first request has its outcome
    std::function<bool(KtMsgBase&&)> on_message = nullptr;  // the first request's, if not the usual
    bool error_handler_throws = false;
    std::size_t allocation_limit = SIZE_MAX;  // while the first request is answered
  };
  const std::vector<Case> cases = {
      // Long enough for the duplicate to be only partly read with the answer.
      {.tag = "dup", .answer = final_frame("dup-1", 3000) + final_frame("dup-1", 3000), .closes = true},
      {.tag = "idle", .answer = final_frame("idle-1"), .later = final_frame("idle-1")},
      {.tag = "magic", .answer = std::string("\xdd\xcc\xbb\xaa\0\0\0\0", 8), .error = "engine read: malformed message",
       .closes = true, .later = final_frame("magic-1"), .error_handler_throws = true},
      {.tag = "throws", .answer = final_frame(""), .error = "internal read: std::bad_alloc",
       .on_message = [](KtMsgBase&&) -> bool { throw std::bad_alloc(); }},
      {.tag = "throws-7", .answer = final_frame(""), .error = "internal read: unknown exception",
       .on_message = [](KtMsgBase&&) -> bool { throw 7; }},
      // The buffer that gathers the frame can no longer grow.
      {.tag = "memory", .answer = final_frame("", 20 << 20), .error = "internal read: std::bad_alloc",
       .allocation_limit = 16 << 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tag);
    auto first = std::make_shared<Outcome>("x");
    auto request = client.make(first, c.tag + "-1");
    if (c.on_message) request->on_message = c.on_message;
    if (c.error_handler_throws) {
      request->on_error = [first](std::string_view text) {
        first->on_error(text);
        throw std::runtime_error("error handler");
      };
    }
    client.pool->enqueue_request(std::move(request));
    ASSERT_TRUE(engine.take(c.tag + "-1"));
    allocation_limit = c.allocation_limit;
    // The client may stop reading and close before the whole answer is written.
    send(engine.conn, c.answer.data(), c.answer.size(), MSG_NOSIGNAL);
    const bool done = first->wait(10s);
    allocation_limit = SIZE_MAX;
    ASSERT_TRUE(done);
    EXPECT_EQ(first->error, c.error);
    if (c.closes) {
      // Closed with bytes of the engine's unread, it is reset rather than ended.
      pollfd closed{engine.conn, POLLIN, 0};
      char byte;
      EXPECT_TRUE(poll(&closed, 1, 10000) == 1 && recv(engine.conn, &byte, 1, MSG_PEEK) <= 0);
    }
    // The client may have closed the connection already.
    if (!c.later.empty()) send(engine.conn, c.later.data(), c.later.size(), MSG_NOSIGNAL);
    auto second = client.submit("x", c.tag + "-2");
    engine.serve(*second, c.tag + "-2");
  }
}

TEST(EngineClient, ARequestTheEngineClosedUnreadIsSentAgainFirst) {
  // The engine answers, and closes the connection (a restart) just after the next request has
  // been written on it, without taking that request: it never saw it, so it is sent again,
  // before the request that arrived after it, though that one fills the queue.
  RawEngine engine;
  Client client(engine.path, 1, 1);
  auto first = client.submit("x", "first");
  engine.serve(*first, "first");
  auto second = client.submit("x", "second");
  // Its frame is read and the byte that carries its descriptor left unread once it is there: a
  // close before the descriptor is sent fails that send instead of the read.
  KtMsgBase unread;
  ASSERT_TRUE(read_request(engine.conn, unread, false));
  pollfd descriptor{engine.conn, POLLIN, 0};
  ASSERT_EQ(poll(&descriptor, 1, 10000), 1);
  auto third = client.submit("x", "third");
  close(engine.conn);
  engine.conn = -1;
  // In this order the engine must see them.
  engine.serve(*second, "second");
  engine.serve(*third, "third");
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

// ---- The whole road: HTTP client, daemon, engine ----------------------------------------

const std::string kVersion = "vps-e2e-1";

std::string scan_post(std::string_view body, std::string_view query = "",
                      std::vector<std::pair<std::string, std::string>> extra = {}) {
  extra.emplace_back("Content-Type", "application/octet-stream");
  return http_request("POST", "/v1/scan" + std::string(query), extra, body);
}

std::string result(std::string_view issues, std::string_view version = kVersion) {
  return "{\"issues\":[" + std::string(issues) + "],\"vps_version\":\"" + std::string(version) + "\"}\n";
}

std::string server_error_body(std::string_view text) {
  return "Internal server error: " + std::string(text) + "\n";
}

class Service {
 public:
  explicit Service(std::vector<std::string> args = {}, std::vector<std::string> env = {},
                   std::vector<std::string> engine_args = {"--version", kVersion})
      : engine(engine_args), daemon(Daemon::Config{args, env, engine.socket_path()}) {
    if (!daemon.ready()) throw std::runtime_error("daemon not ready: " + daemon.process().err());
  }

  // Waits as long as the daemon goes on working: a reply of tens of MiB takes what it takes on
  // a busy machine or under a tracer. A wait of 20 s in which it used no processor time fails.
  std::optional<HttpResponse> ask(const std::string& raw) {
    if (!conn || !conn->connected()) conn.emplace(daemon.port());
    if (!conn->send(raw)) return std::nullopt;
    for (long used = -1, now; (now = cpu_ticks(daemon.process().pid())) != used; used = now) {
      if (auto response = conn->read_response(20s)) return response;
    }
    return std::nullopt;
  }

  TestEngine engine;
  Daemon daemon;
  std::optional<HttpConnection> conn;
};

TEST(ScanEndToEnd, ResultsOfCleanAndInfectedDataAndEveryKindOfFinding) {
  TempDir dir;
  std::string taxonomy = dir.write("taxonomy.data",
                                   "3|sev3|Severity three|severity text\n"
                                   "3.7|type7|Type seven|type text\n"
                                   "4|sev4|Severity four|only severity\n"
                                   "5|caf\xe9|S\xff five|cut \xc3\n");  // not UTF-8
  Service service({}, {"KELTO_TAXONOMY_FILE=" + taxonomy});
  struct Case {
    std::string name;
    std::string request;
    int status;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"clean", scan_post("hello"), 200, result("")},
      {"test string", scan_post("a " + kTestString + " b", "?filename=x.com"), 200,
       result(R"({"path":["x.com"],"virus":"Test-String"})")},
      {"test string, detections", scan_post(kTestString, "?filename=x.com&detections=1"), 200,
       result(R"({"path":["x.com"],"detections":[{"virus":"Test-String","algo":"pattern","aux":""}]})")},
      {"container path", scan_post(lines({"#kte record path=a|>b|>c depth=2 virus=V alert=A1"})), 200,
       result(R"({"path":["a","b","c"],"virus":"V","alert_id":"A1"})")},
      {"empty members kept", scan_post(lines({"#kte record path=|>b| depth=1 virus=V"})), 200,
       result(R"({"path":["","b|"],"virus":"V"})")},
      {"depth disagrees", scan_post(lines({"#kte record path=a|>b depth=0 virus=V"})), 500,
       server_error_body("unexpected path a|&gt;b depth 0")},
      {"depth absent", scan_post(lines({"#kte record path=a|>b virus=V"})), 500,
       server_error_body("unexpected path a|&gt;b depth 0")},
      {"names not in UTF-8", scan_post(lines({"#kte record path=caf\xc3\xa9|>x\xff\xc3y depth=1 virus=\xe9t\xe9"})),
       200, result("{\"path\":[\"caf\xc3\xa9\",\"x\xef\xbf\xbd\xef\xbf\xbdy\"],\"virus\":\"\xef\xbf\xbdt\xef\xbf\xbd\"}")},
      {"no path", scan_post(lines({"#kte record virus=V"})), 200, result(R"({"path":[],"virus":"V"})")},
      {"warning", scan_post(lines({"#kte record path=w depth=0 warning_id=5 warning_str=old"})), 200,
       result(R"({"path":["w"],"warning_id":5,"warning_str":"old"})")},
      {"alert only is no issue", scan_post(lines({"#kte record path=q depth=0 alert=A", "#kte empty-progress"})),
       200, result("")},
      {"detections enriched",
       scan_post(lines({"#kte record path=f depth=0 virus=V detection=V,al,ax,3,7 detection=W,,,4,1 "
                        "detection=Z,,,9,9"}),
                 "?detections=true"),
       200,
       result(R"({"path":["f"],"detections":[)"
              R"({"virus":"V","algo":"al","aux":"ax","type":"type7","type_full":"Type seven","desc":"type text",)"
              R"("severity":"sev3","severity_full":"Severity three"},)"
              R"({"virus":"W","algo":"","aux":"","severity":"sev4","severity_full":"Severity four","desc":"only severity"},)"
              R"({"virus":"Z","algo":"","aux":""}]})")},
      {"taxonomy not UTF-8", scan_post(lines({"#kte record virus=V detection=V,,,5,0"}), "?detections=1"), 200,
       result("{\"path\":[],\"detections\":[{\"virus\":\"V\",\"algo\":\"\",\"aux\":\"\","
              "\"severity\":\"caf\xef\xbf\xbd\",\"severity_full\":\"S\xef\xbf\xbd five\","
              "\"desc\":\"cut \xef\xbf\xbd\"}]}")},
      {"findings repeat", scan_post(lines({"#kte record virus=V", "#kte record virus=V"})), 200,
       result(R"({"path":[],"virus":"V"},{"path":[],"virus":"V"})")},
      {"skipped frames", scan_post(lines({"#kte wrong-opcode", "#kte wrong-type", "#kte record virus=V"})), 200,
       result(R"({"path":[],"virus":"V"})")},
      // Its finding is lost: the scan must not pass for clean.
      {"finding does not parse", scan_post(lines({"#kte bad-progress", "#kte records 1"})), 500,
       server_error_body("failed to parse payload")},
      {"split frames", scan_post(lines({"#kte split", "#kte records 2"})), 200,
       result(R"({"path":["item0"],"virus":"Rec.0"},{"path":["item1"],"virus":"Rec.1"})")},
      {"coalesced frames", scan_post(lines({"#kte coalesce", "#kte records 2"})), 200,
       result(R"({"path":["item0"],"virus":"Rec.0"},{"path":["item1"],"virus":"Rec.1"})")},
      {"no version", scan_post(lines({"#kte no-version"})), 200, result("", "")},
      {"engine error", scan_post(lines({"#kte error 7 scan failed"})), 500, server_error_body("scan failed (7)")},
      {"engine error empty", scan_post(lines({"#kte error-empty"})), 500, server_error_body(" (0)")},
      {"response does not parse", scan_post(lines({"#kte bad-response"})), 500,
       server_error_body("failed to parse payload")},
      // After cases that keep their connection, so that the engine drops one used before.
      {"engine closes", scan_post(lines({"#kte close"})), 500, server_error_body("engine read: End of file")},
      {"bad magic", scan_post(lines({"#kte bad-magic"})), 500, server_error_body("engine read: malformed message")},
      {"bad envelope", scan_post(lines({"#kte bad-envelope"})), 500,
       server_error_body("engine read: malformed message")},
      {"frame too long", scan_post(lines({"#kte huge-frame"})), 500,
       server_error_body("engine read: reply too large")},
      // Each attempt meets a reply for another request; the third ends it.
      {"replies for another request", scan_post(lines({"#kte other-id"})), 500,
       server_error_body("engine read: reply for another request")},
      // Each just over its bound. The rest of the reply, held back a little so that it comes
      // after the next request has been sent, must never be taken for that request's answer.
      {"reply bytes over the bound", scan_post(lines({"#kte long-records 2 34000000"})), 500,
       server_error_body("engine read: reply too large")},
      {"findings over the bound", scan_post(lines({"#kte records 100001", "#kte delay 100"})), 500,
       server_error_body("engine read: reply too large")},
      {"detections over the bound", scan_post(lines({"#kte detections 400001", "#kte delay 100"})), 500,
       server_error_body("engine read: reply too large")},
      // A client that sends one id with several requests: the late duplicate of the first
      // answer comes while the second is scanned, on the same connection.
      {"one client id, a late duplicate", scan_post(lines({"#kte duplicate 200"}), "", {{"X-Correlation-Id", "same"}}),
       200, result("")},
      {"one client id, the next scan", scan_post(lines({"#kte delay 400"}) + kTestString, "?filename=x.com",
                                                 {{"X-Correlation-Id", "same"}}),
       200, result(R"({"path":["x.com"],"virus":"Test-String"})")},
      {"after all that", scan_post("a " + kTestString, "?filename=x.com"), 200,
       result(R"({"path":["x.com"],"virus":"Test-String"})")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto response = service.ask(c.request);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->body, c.body);
    EXPECT_EQ(response->header("Content-Type"), c.status == 200 ? "application/json" : "text/html");
    // A parser that insists on UTF-8, as JSON clients do.
    if (c.status == 200) {
      EXPECT_NO_THROW(boost::json::parse(response->body));
    }
  }
  // Every malformed frame above, the refused long one included, is logged with the same text.
  const std::string log = service.daemon.process().err();
  EXPECT_EQ(occurrences(log, "ClientSession: malformed message\n"), 2u) << log;
  // A file that makes the engine drop the connection is not sent to it again.
  const std::string engine_log = service.engine.process().err();
  EXPECT_EQ(occurrences(engine_log, "dropping the connection as asked"), 1u) << engine_log;
}

TEST(ScanEndToEnd, ScannedBytesCorrelationIdAndServerSidePaths) {
  TempDir dir;
  std::string file = dir.write("sample.bin", "xx" + kTestString);
  Service service({"-P", "-v"});

  // It opens the first engine connection.
  auto clean = service.ask(scan_post("12345", "", {{"X-Correlation-Id", "first"}}));
  ASSERT_TRUE(clean);
  EXPECT_EQ(clean->header("X-Scanned-Bytes"), "5");
  EXPECT_EQ(clean->header("Server"), "kelto-rest/4.7.0");
  auto empty = service.ask(scan_post(""));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 200);
  EXPECT_EQ(empty->header("X-Scanned-Bytes"), "0");
  auto put = service.ask(http_request("PUT", "/v1/scan", {{"Content-Type", "application/octet-stream"}},
                                      std::string(70000, 'z')));
  ASSERT_TRUE(put);
  EXPECT_EQ(put->header("X-Scanned-Bytes"), "70000");

  auto get = service.ask(http_request("GET", "/v1/scan?path=" + file));
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 200);
  EXPECT_EQ(get->body, result(R"({"path":[")" + file + R"("],"virus":"Test-String"})"));
  EXPECT_FALSE(get->has_header("X-Scanned-Bytes"));
  auto missing = service.ask(http_request("GET", "/v1/scan?path=" + dir.file("nope")));
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 500);
  EXPECT_EQ(missing->body, server_error_body(dir.file("nope") + ": No such file or directory (2)"));

  // The engine's envelope carries the client's id and a UUID of this request's own: this
  // engine answers it back as the version. The client gets its own id back as it sent it.
  auto traced = service.ask(scan_post(lines({"#kte echo-correlation"}), "", {{"X-Correlation-Id", "trace-42"}}));
  ASSERT_TRUE(traced);
  EXPECT_EQ(traced->body.rfind(R"({"issues":[],"vps_version":"trace-42/)", 0), 0u) << traced->body;
  EXPECT_EQ(traced->header("X-Correlation-Id"), "trace-42");
  // Three frames handled in one read: the lines logged after the reply handler has seen the
  // first still carry the engine request's id.
  auto coalesced = service.ask(scan_post(lines({"#kte coalesce", "#kte records 2"}), "", {{"X-Correlation-Id", "trace-43"}}));
  ASSERT_TRUE(coalesced);
  std::istringstream log(service.daemon.process().err());
  int processed = 0, sent = 0, connects = 0;
  for (std::string line; std::getline(log, line);) {
    const bool traced = line.find("[trace-43/") != std::string::npos;
    processed += traced && line.find("] ClientSession: [") != std::string::npos && line.find("] Processed ") != std::string::npos;
    // The pool's line for the request it sends carries that request's engine id.
    sent += traced && line.find("] ClientPool: Send via idle client") != std::string::npos;
    // A connect serves no request in particular: its lines carry no request's id.
    if (line.find("Reconnecting scan client") != std::string::npos || line.find("] Connecting to ") != std::string::npos) {
      ++connects;
      EXPECT_TRUE(line.find("DEBUG   ClientPool: ") != std::string::npos ||
                  line.find("DEBUG   ClientSession: ") != std::string::npos) << line;
    }
  }
  EXPECT_EQ(processed, 3);
  EXPECT_EQ(sent, 1);
  EXPECT_GE(connects, 2);

  Service strict;
  auto refused = strict.ask(http_request("GET", "/v1/scan?path=" + file));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400);
}

TEST(ScanEndToEnd, ARequestMeetingAClosedEngineConnectionIsSentAgain) {
  Service service({"-C", "1"});
  auto first = service.ask(scan_post(lines({"#kte close-after"})));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 200);
  ASSERT_TRUE(service.engine.process().wait_for_err("connection closed as asked", 20s));
  // The idle connection's peer is gone: the request is not written on it but goes on a fresh
  // connection and succeeds.
  auto second = service.ask(scan_post("again"));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 200);
  EXPECT_EQ(second->body, result(""));
}

TEST(ScanEndToEnd, StopsCleanlyWithAScanInFlightAndOthersQueued) {
  Service service({"-C", "1"});
  std::vector<HttpConnection> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.push_back(service.daemon.connect());
    ASSERT_TRUE(waiting.back().send(scan_post(lines({"#kte hang"}))));
  }
  ASSERT_TRUE(service.engine.process().wait_for_err("hanging as asked", 20s));
  // The one in flight and the two queued are dropped without an answer, and nothing leaks.
  EXPECT_EQ(service.daemon.stop(), 0);
  for (auto& c : waiting) EXPECT_TRUE(c.peer_closed(10s));
}

TEST(ScanEndToEnd, AShortEngineOutageCostsNoWaitingScan) {
  // Two scans hold both engine connections and twenty wait behind them, longer than a request
  // may wait for an engine that cannot be reached. The engine's socket goes away while the two
  // run and the engine closes both connections once it has answered, as a restarting engine
  // does; it is back once a connect has failed. None of the scans fails for the outage.
  TempDir dir;
  const std::string requests = dir.file("requests");
  Service service({"-C", "2"}, {}, {"--version", kVersion, "--record", requests});
  std::vector<HttpConnection> clients;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (int i = 0; i < 22; ++i) {
    // The twenty come once the engine has both running scans.
    while (i == 2 && occurrences(read_file(requests), "\n") < 2) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the engine did not get both scans";
      std::this_thread::sleep_for(10ms);
    }
    clients.push_back(service.daemon.connect());
    ASSERT_TRUE(clients.back().send(scan_post(i < 2 ? lines({"#kte delay 3300", "#kte close-after"}) : "waiting")));
  }
  const std::string socket = service.engine.socket_path();
  ASSERT_EQ(::rename(socket.c_str(), (socket + ".away").c_str()), 0);
  ASSERT_TRUE(service.daemon.process().wait_for_err("ClientSession: connect: No such file or directory", 20s));
  ASSERT_EQ(::rename((socket + ".away").c_str(), socket.c_str()), 0);
  for (auto& c : clients) {
    auto response = c.read_response(20s);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200) << response->body;
  }
}

// An outage ends in one of two ways, each checked with a daemon of its own. With two
// connections, a connect fails while the other is busy; that one then serves the request the
// connect was for, and the connect fails once more with nobody waiting. With one, a scan waits
// while the engine is away, and the connect that succeeds once it is back serves it. Later a
// scan of over 3 s meets a reset while the engine is away for a moment: it waits for the engine
// like any scan instead of failing for the earlier outage.
void end_an_outage_then_reset_a_long_scan(const std::string& pool) {
  TempDir dir;
  const std::string requests = dir.file("requests");
  Service service({"-C", pool}, {}, {"--version", kVersion, "--record", requests});
  const std::string socket = service.engine.socket_path(), away = socket + ".away";
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  auto eventually = [&](auto condition) {
    while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return condition();
  };
  auto failed_connects = [&] { return occurrences(service.daemon.process().err(), "ClientSession: connect: "); };
  // Once a connect has failed after `failures` of them, the engine's socket comes back.
  auto back_after_failed_connect = [&](std::size_t failures) {
    ASSERT_TRUE(eventually([&] { return failed_connects() > failures; }));
    ASSERT_EQ(::rename(away.c_str(), socket.c_str()), 0);
  };
  auto received = [&](std::size_t n) { return eventually([&] { return occurrences(read_file(requests), "\n") == n; }); };
  if (pool == "2") {
    HttpConnection busy = service.daemon.connect(), served_later = service.daemon.connect();
    ASSERT_TRUE(busy.send(scan_post(lines({"#kte delay 600"}))));
    ASSERT_TRUE(received(1));
    ASSERT_EQ(::rename(socket.c_str(), away.c_str()), 0);
    ASSERT_TRUE(served_later.send(scan_post(lines({"#kte delay 800", "#kte reset-next 3100"}))));
    ASSERT_TRUE(received(2));
    back_after_failed_connect(failed_connects());
    for (auto* c : {&busy, &served_later}) {
      auto response = c->read_response(20s);
      ASSERT_TRUE(response && response->status == 200);
    }
  } else {
    ASSERT_EQ(::rename(socket.c_str(), away.c_str()), 0);
    HttpConnection waiting = service.daemon.connect();
    ASSERT_TRUE(waiting.send(scan_post(lines({"#kte reset-next 3100"}))));
    back_after_failed_connect(0);
    auto served = waiting.read_response(20s);
    ASSERT_TRUE(served && served->status == 200);
  }
  // The connection that served last is the most recently idle: the next scan goes on it, and
  // the engine resets it 3.1 s later, while away.
  HttpConnection late = service.daemon.connect();
  ASSERT_TRUE(late.send(scan_post("late")));
  ASSERT_EQ(::rename(socket.c_str(), away.c_str()), 0);
  const std::size_t before_reset = failed_connects();
  ASSERT_TRUE(service.engine.process().wait_for_err("request unread as asked", 20s));
  back_after_failed_connect(before_reset);
  auto response = late.read_response(20s);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200) << response->body;
}

TEST(ScanEndToEnd, AnOutageThatHasEndedIsNoOutageLater) {
  for (const std::string pool : {"2", "1"}) {
    SCOPED_TRACE("connections: " + pool);
    end_an_outage_then_reset_a_long_scan(pool);
  }
}

TEST(ScanEndToEnd, EngineAbsentAndFullQueue) {
  TempDir dir;
  Daemon absent(Daemon::Config{{"-C", "2"}, {}, dir.file("no-engine.sock")});
  ASSERT_TRUE(absent.ready());
  // Twenty scans at once on two engine connections that cannot connect: each waits a bounded
  // time for the engine, then fails; meanwhile the connections try again now and then.
  std::vector<HttpConnection> conns;
  for (int i = 0; i < 20; ++i) {
    conns.push_back(absent.connect());
    ASSERT_TRUE(conns.back().send(scan_post("x")));
  }
  for (auto& conn : conns) {
    auto response = conn.read_response(8s);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 500);
    EXPECT_EQ(response->body, server_error_body("engine connect: No such file or directory"));
  }
  EXPECT_LE(occurrences(absent.process().err(), "ClientSession: connect: "), 100u) << "connects in a tight loop";

  std::string conf = dir.write("rest.conf", "[engine]\nmax_queued = 0\n");
  Service service({"-C", "1", "-c", conf});
  // The request that starts the first connect finds no room in the queue; wait for the connect.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::optional<HttpResponse> warm;
  do {
    warm = service.ask(scan_post("x"));
    ASSERT_TRUE(warm);
  } while (warm->status != 200 && std::chrono::steady_clock::now() < deadline);
  ASSERT_EQ(warm->status, 200);

  // A slow scan holds the only connection: another request is refused at once. The connection
  // goes idle a moment after its answer, so the slow scan itself may be refused: try again.
  for (;;) {
    HttpConnection slow = service.daemon.connect();
    ASSERT_TRUE(slow.send(scan_post(lines({"#kte delay 500"}))));
    auto refused = service.ask(scan_post("x"));
    auto slow_response = slow.read_response(20s);
    ASSERT_TRUE(refused && slow_response);
    if (slow_response->status == 200 && refused->status == 500) {
      EXPECT_EQ(refused->body, server_error_body("full queue"));
      break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
  }
}

// What a process holds open, by kind: leaked requests would keep body files (memory files)
// and HTTP connections (TCP sockets) open.
struct FdCensus {
  int memfd = 0, tcp = 0, unix_stream = 0, other = 0;
};

std::set<std::string> socket_inodes(pid_t pid, const std::string& table, int inode_column,
                                    const std::string& type_filter = "") {
  std::set<std::string> inodes;
  std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    if (static_cast<int>(f.size()) <= inode_column) continue;
    if (!type_filter.empty() && f[4] != type_filter) continue;
    inodes.insert(f[inode_column]);
  }
  return inodes;
}

FdCensus census(pid_t pid) {
  auto tcp = socket_inodes(pid, "tcp", 9);
  auto tcp6 = socket_inodes(pid, "tcp6", 9);
  tcp.insert(tcp6.begin(), tcp6.end());
  auto unix_stream = socket_inodes(pid, "unix", 6, "0001");
  FdCensus c;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::error_code ec;
    std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (target.rfind("/memfd:", 0) == 0) {
      ++c.memfd;
    } else if (target.rfind("socket:[", 0) == 0) {
      std::string inode = target.substr(8, target.size() - 9);
      if (tcp.count(inode)) ++c.tcp;
      else if (unix_stream.count(inode)) ++c.unix_stream;
      // Datagram sockets (the log's) come and go on their own.
    } else {
      ++c.other;
    }
  }
  return c;
}

TEST(ScanEndToEnd, AThousandScansOverThirtyTwoConnectionsLeakNoDescriptor) {
  Service service({"-C", "4"});
  const pid_t pid = service.daemon.process().pid();
  // At rest the daemon holds its listener, no body file, no engine connection.
  const FdCensus before = census(pid);
  ASSERT_EQ(before.memfd, 0);
  ASSERT_EQ(before.tcp, 1);
  ASSERT_EQ(before.unix_stream, 0);
  constexpr int kConnections = 32;
  constexpr int kScans = 1000;
  std::atomic<int> next{0}, ok{0}, infected{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kConnections; ++c) {
    clients.emplace_back([&] {
      HttpConnection conn = service.daemon.connect();
      for (int i = next++; i < kScans; i = next++) {
        std::string body = i % 7 == 0 ? "data " + kTestString : "data " + std::to_string(i);
        if (!conn.send(scan_post(body))) return;
        auto response = conn.read_response(30s);
        if (!response || response->status != 200 ||
            response->header("X-Scanned-Bytes") != std::to_string(body.size())) {
          return;
        }
        ++ok;
        if (response->body.find("Test-String") != std::string::npos) ++infected;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(ok.load(), kScans);
  EXPECT_EQ(infected.load(), (kScans + 6) / 7);
  // Once the clients have gone the daemon holds what it held before, plus its engine connections.
  auto settled = [&](const FdCensus& c) {
    return c.memfd == 0 && c.tcp == 1 && c.unix_stream <= 4 && c.other == before.other;
  };
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  FdCensus after = census(pid);
  while (!settled(after) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
    after = census(pid);
  }
  EXPECT_EQ(after.memfd, 0);
  EXPECT_EQ(after.tcp, 1);
  EXPECT_LE(after.unix_stream, 4);
  EXPECT_EQ(after.other, before.other);
  EXPECT_EQ(service.daemon.stop(), 0);
}

TEST(ScanEndToEnd, AnEngineRestartCostsNoScan) {
  // Every engine connection is open and idle when the engine restarts; the scans that then
  // arrive together meet those stale connections first. None of them may fail for it.
  constexpr int kPool = 8;
  constexpr int kRounds = 25;
  Service service({"-C", std::to_string(kPool)});
  const pid_t pid = service.daemon.process().pid();
  std::vector<HttpConnection> clients;
  for (int i = 0; i < kPool; ++i) clients.push_back(service.daemon.connect());
  // Sends one scan on every connection before reading any answer, so that they arrive together.
  auto scan_all = [&](std::string_view body) {
    std::vector<int> statuses;
    for (auto& c : clients) EXPECT_TRUE(c.send(scan_post(body)));
    for (auto& c : clients) {
      auto response = c.read_response(20s);
      statuses.push_back(response ? response->status : 0);
      if (response && response->status != 200) ADD_FAILURE() << response->body;
    }
    return statuses;
  };
  const std::vector<int> all_ok(kPool, 200);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Slow scans, all at once, take every engine connection and leave it open to this engine.
    for (int attempt = 0; attempt < 5; ++attempt) {
      ASSERT_EQ(scan_all(lines({"#kte delay 50"})), all_ok);
      if (census(pid).unix_stream == kPool) break;
    }
    ASSERT_EQ(census(pid).unix_stream, kPool);
    service.engine.restart();
    ASSERT_EQ(scan_all("after restart " + std::to_string(round)), all_ok);
  }
}

// A request sent again after a time-out or a broken pipe must not list a finding twice.
TEST(ScanResult, ARetriedRequestForgetsTheFindingsOfTheFailedAttempt) {
  std::optional<std::string> body;
  ScanRequestPayload payload;
  auto request = forward_scanner_request(payload, 11, ReplyCallback([&](::HttpResponse&& r) { body = r.body(); }));
  ASSERT_TRUE(request);
  ASSERT_TRUE(request->on_retry);
  auto progress = [](std::string virus) {
    KtMsgBase envelope;
    envelope.set_type(KT_PROGRESS);
    envelope.set_opcode(KT_REQ_ENGINE_SCAN);
    KtEngineScanProgress p;
    p.mutable_record()->set_virus(virus);
    ktu::msg_wire::msg_store_payload(envelope, p);
    return envelope;
  };
  EXPECT_FALSE(request->on_message(progress("First")));
  request->on_retry();
  EXPECT_FALSE(request->on_message(progress("Again")));
  KtMsgBase final_envelope;
  final_envelope.set_type(KT_RESPONSE);
  final_envelope.set_opcode(KT_REQ_ENGINE_SCAN);
  EXPECT_TRUE(request->on_message(std::move(final_envelope)));
  EXPECT_EQ(body, result(R"({"path":[],"virus":"Again"})", ""));
}

}  // namespace
}  // namespace kelto::test
