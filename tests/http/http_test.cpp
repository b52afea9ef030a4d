// The HTTP front end to end: the real daemon on loopback, driven over raw TCP sockets.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine.pb.h"
#include "ktu/util/hex.hpp"
#include "ktu/util/uuid.hpp"
#include "msg.pb.h"
#include "tests/support/fixtures.hpp"

using namespace kelto::test;
using Headers = std::vector<std::pair<std::string, std::string>>;

namespace {

const std::string octet = "application/octet-stream";

Daemon::Config with_args(std::vector<std::string> args) {
  Daemon::Config config;
  config.args = std::move(args);
  return config;
}

// The identifiers of the sessions in the order their connections were logged.
std::vector<std::string> session_ids(const std::string& log) {
  static const std::regex re(R"(\[([0-9a-f]+)\] New connection from 127\.0\.0\.1:)");
  std::vector<std::string> ids;
  for (std::sregex_iterator it(log.begin(), log.end(), re), end; it != end; ++it) {
    ids.push_back((*it)[1]);
  }
  return ids;
}

// Waits for the n-th session (0-based) to be logged and returns its identifier.
std::string wait_session_id(Daemon& d, std::size_t n) {
  for (int i = 0; i < 200; ++i) {
    const auto ids = session_ids(d.process().err());
    if (ids.size() > n) return ids[n];
    std::this_thread::sleep_for(10ms);
  }
  return {};
}

// Names of the daemon's open memory files.
std::vector<std::string> memfd_names(pid_t pid) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec && target.rfind("/memfd:", 0) == 0) names.push_back(target);
  }
  return names;
}

std::string get(std::string_view target, const Headers& headers = {}, std::string_view version = "HTTP/1.1") {
  return http_request("GET", target, headers, std::nullopt, version);
}

std::string fmt_chunk(const std::string& data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n";
}

// Everything the peer sends until it has been quiet for `quiet`.
std::string read_until_quiet(int fd, Ms quiet) {
  std::string out;
  char buf[4096];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, static_cast<int>(quiet.count())) > 0) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::set<int> open_descriptors(pid_t pid) {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    fds.insert(std::stoi(entry.path().filename().string()));
  }
  return fds;
}

// The descriptor limit that leaves exactly `free` numbers for new descriptors.
rlim_t limit_leaving(const std::set<int>& open, std::size_t free) {
  int limit = 0;
  for (std::size_t left = free; left > 0; ++limit) {
    if (!open.contains(limit)) --left;
  }
  return static_cast<rlim_t>(limit);
}

// One request as the stand-in engine recorded it (--record): the envelope's bytes and whether
// a descriptor came with it.
struct Received {
  std::string envelope;
  bool descriptor = false;
};

std::vector<Received> received_requests(const std::string& record_path) {
  std::vector<Received> out;
  std::istringstream in(read_file(record_path));
  for (std::string line; std::getline(in, line);) {
    const auto blank = line.find(' ');
    out.push_back({ktu::util::hex_to_bin_str(line.substr(0, blank)),
                   blank != std::string::npos && line.substr(blank + 1) == "descriptor"});
  }
  return out;
}

// The fields present in an engine scan request, by name, so that a failure says what differs.
std::string fields_of(const KtEngineScanRequest& request) {
  std::string out;
  if (request.has_scan_params()) {
    const KtEngineScanParameters& p = request.scan_params();
    out += "scan_params {";
    if (p.has_path()) out += " path=" + p.path();
    if (p.has_fd_index()) out += " fd_index=" + std::to_string(p.fd_index());
    if (p.has_caller_context()) out += " caller_context=" + std::to_string(p.caller_context());
    if (p.has_trigger()) out += " trigger=" + std::to_string(p.trigger());
    if (p.has_provider()) out += " provider=" + std::to_string(p.provider());
    if (p.has_filename()) out += " filename=" + p.filename();
    out += " } ";
  }
  if (request.has_configuration()) {
    const KtEngineScanConfiguration& c = request.configuration();
    out += "configuration {";
    if (c.has_full_files()) out += " full_files=" + std::to_string(c.full_files());
    if (c.has_pup()) out += " pup=" + std::to_string(c.pup());
    if (c.has_heuristics()) out += " heuristics=" + std::to_string(c.heuristics());
    if (c.has_archives()) out += " archives=" + std::to_string(c.archives());
    out += " }";
  }
  return out;
}

// The exact answer to a head that never reaches the handler: it repeats nothing of the
// request and ends the connection.
std::string refusal(int status) {
  const std::string reason = status == 400   ? "Bad Request"
                             : status == 431 ? "Request Header Fields Too Large"
                                             : "Not Implemented";
  const std::string body = reason + "\n";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nServer: kelto-rest/4.7.0\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Ends a connection and waits until the daemon has ended its side: until then its session may
// still open the next request's memory file, after a count of descriptors is taken.
bool end_connection(HttpConnection& c) {
  ::shutdown(c.native(), SHUT_WR);
  return c.peer_closed(5s);
}

// Takes the daemon (one thread) to its descriptor limit with `spare` descriptors free, with
// clients waiting behind it; then one connection ends, then the limit goes.
void serve_at_descriptor_limit(Daemon& d, std::size_t spare) {
  const pid_t pid = d.process().pid();
  {
    // Once a request has been served the start-up's passing descriptors (the readiness
    // notification's socket) are closed; the closed session's memory file goes with it.
    auto first = d.connect();
    ASSERT_TRUE(first.send(get("/first")));
    ASSERT_TRUE(first.read_response());
    ASSERT_TRUE(end_connection(first));
  }
  for (int i = 0; i < 500 && !memfd_names(pid).empty(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(memfd_names(pid).empty());
  const std::size_t log_start = d.process().err().size();
  const auto new_log = [&] { return d.process().err().substr(log_start); };
  const std::set<int> before = open_descriptors(pid);
  // A session awaiting its request holds two descriptors: its socket and its memory file.
  constexpr std::size_t held = 6;
  rlimit old_limit{};
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &old_limit), 0);
  rlimit limit = old_limit;
  limit.rlim_cur = limit_leaving(before, 2 * held + spare);
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);

  std::vector<HttpConnection> conns;
  for (std::size_t i = 0; i < held; ++i) conns.push_back(d.connect());
  const std::size_t full = before.size() + 2 * held;
  for (int i = 0; i < 500 && open_descriptors(pid).size() < full; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(open_descriptors(pid).size(), full);

  // The kernel completes more connections; the daemon cannot serve them yet.
  std::vector<HttpConnection> waiting;
  std::vector<pollfd> answered;
  for (int i = 0; i < 8; ++i) {
    waiting.push_back(d.connect());
    ASSERT_TRUE(waiting.back().send(get("/waiting")));
    answered.push_back({waiting.back().native(), POLLIN, 0});
  }
  const std::string line = "Listener: accept: Too many open files";
  ASSERT_TRUE(d.process().wait_for_err(line, 5s)) << new_log();
  const std::string memfd_line = "] memfd_create: Too many open files";
  EXPECT_TRUE(spare == 0 || d.process().wait_for_err(memfd_line, 5s)) << new_log();
  // A window to count the failures in: accepting again at once would log thousands.
  std::this_thread::sleep_for(500ms);
  EXPECT_LE(occurrences(new_log(), line), 12u);
  EXPECT_EQ(occurrences(new_log(), memfd_line), spare);
  EXPECT_EQ(::poll(answered.data(), answered.size(), 10), 0);

  // One connection ends: a waiting one is served, and served again on the same connection
  // while the process is still at its limit.
  conns.front().close();
  ASSERT_GE(::poll(answered.data(), answered.size(), 5000), 1);
  const auto served = std::ranges::find_if(answered, [](const pollfd& p) { return p.revents; }) - answered.begin();
  auto r = waiting[served].read_response(5s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "The resource '/waiting' was not found.\n");
  ASSERT_TRUE(waiting[served].send(get("/again")));
  r = waiting[served].read_response(5s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "The resource '/again' was not found.\n");

  // Every other one is served once descriptors are free: none was reset.
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &old_limit, nullptr), 0);
  for (auto& c : conns) ASSERT_TRUE(end_connection(c));
  for (std::ptrdiff_t w = 0; w < std::ssize(waiting); ++w) {
    if (w != served) {
      r = waiting[w].read_response(5s);
      ASSERT_TRUE(r) << w;
      EXPECT_EQ(r->status, 404);
    }
    ASSERT_TRUE(end_connection(waiting[w]));
  }
}

}  // namespace

// At the descriptor limit, with no descriptor free or with just the one that an accept takes
// (leaving none for the memory file), clients wait instead of being reset, and all are served
// once descriptors are free again.
TEST(Listener, WaitsAfterRunningOutOfDescriptorsAndServesOnOnceOneIsFree) {
  // One thread, so no other step opens a descriptor while the count below is taken.
  Daemon d(with_args({"-t", "1"}));
  ASSERT_TRUE(d.ready());
  for (const std::size_t spare : {0u, 1u}) {
    SCOPED_TRACE(spare);
    serve_at_descriptor_limit(d, spare);
  }
}

TEST(Listener, LogsItsStepsAndEndsWithStatusOneWhenThePortIsTaken) {
  Daemon d;
  ASSERT_TRUE(d.ready());
  EXPECT_TRUE(d.process().wait_for_err("Listener: Listening on 127.0.0.1:" + std::to_string(d.port()), 5s))
      << d.process().err();

  // A second daemon on the same port: no readiness, status 1, the failed step logged.
  NotifySocket notify;
  Process second = Process::start(
      {build_path("kelto-rest"), "-l", "127.0.0.1", "-p", std::to_string(d.port())},
      {"NOTIFY_SOCKET=" + notify.path()}, {"WATCHDOG_USEC", "WATCHDOG_PID"});
  EXPECT_EQ(second.wait_exit(20s), 1);
  EXPECT_NE(second.err().find("bind: Address already in use"), std::string::npos) << second.err();
  EXPECT_FALSE(notify.recv(100ms).has_value());

  // The first one still serves.
  auto c = d.connect();
  ASSERT_TRUE(c.send(get("/")));
  auto r = c.read_response();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
}

TEST(Listener, ListensOnIPv4AndIPv6AndReportsTheFailingStep) {
  struct Case {
    std::vector<std::string> args;
    std::optional<int> status;  // none: starts and serves
    std::string log;
  };
  const uint16_t port = free_tcp_port();
  const std::string p = std::to_string(port);
  const std::vector<Case> cases{
      {{"-l", "::1", "-p", p}, std::nullopt, "Listening on ::1:" + p},
      {{"-l", "127.0.0.1", "-p", p, "-L"}, std::nullopt, "Listening on 127.0.0.1:" + p},
      {{"-l", "192.0.2.1", "-p", p}, 1, "Listener: bind: Cannot assign requested address"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.args[1]);
    NotifySocket notify;
    std::vector<std::string> argv{build_path("kelto-rest")};
    argv.insert(argv.end(), tc.args.begin(), tc.args.end());
    Process proc = Process::start(argv, {"NOTIFY_SOCKET=" + notify.path()}, {"WATCHDOG_USEC", "WATCHDOG_PID"});
    if (tc.status) {
      EXPECT_EQ(proc.wait_exit(20s), tc.status);
      EXPECT_FALSE(notify.recv(100ms).has_value());
    } else {
      const auto ready = notify.recv(20s);
      ASSERT_TRUE(ready);
      EXPECT_NE(ready->find("READY=1"), std::string::npos);
      proc.signal(SIGTERM);
      EXPECT_EQ(proc.wait_exit(20s), 0);
    }
    EXPECT_NE(proc.err().find(tc.log), std::string::npos) << proc.err();
  }
}

TEST(RequestHandler, AnswersMethodPathParameterAndContentErrorsExactly) {
  Daemon d;
  ASSERT_TRUE(d.ready());
  struct Case {
    std::string method, target;
    Headers headers;
    int status;
    std::string body;  // exact; a prefix when it ends in "..."
  };
  const Headers ct{{"Content-Type", octet}};
  const std::string engine = "Internal server error: ...";  // accepted by the handler, no engine here
  const std::vector<Case> cases{
      {"DELETE", "/v1/scan", {}, 400, "Bad request: Unsupported HTTP-method\n"},
      {"DELETE", "/elsewhere", {}, 400, "Bad request: Unsupported HTTP-method\n"},
      {"PATCH", "/v1/scan", ct, 400, "Bad request: Unsupported HTTP-method\n"},
      {"GET", "/v1/scan/", {}, 404, "The resource '/v1/scan/' was not found.\n"},
      {"GET", "/V1/scan", {}, 404, "The resource '/V1/scan' was not found.\n"},
      {"GET", "/a+b%2Fc?x=1", {}, 404, "The resource '/a b/c' was not found.\n"},
      {"POST", "/nope", ct, 404, "The resource '/nope' was not found.\n"},
      {"GET", "/v1/sca%6e?zzz=1", {}, 400, "Bad request: Unknown parameter: zzz=1\n"},
      {"GET", "/v1/scan?archives=maybe&zzz=1", {}, 400, "Bad request: Expecting bool: archives=maybe\n"},
      {"GET", "/v1/scan?zzz=1&archives=maybe", {}, 400, "Bad request: Expecting bool: archives=maybe\n"},
      {"GET", "/v1/scan?full=1&full=0", {}, 400, "Bad request: Unexpected repeated parameter: full=0\n"},
      {"GET", "/v1/scan?email=0&email=1", {}, 400, "Bad request: Unexpected repeated parameter: email=1\n"},
      {"GET", "/v1/scan?email=maybe", {}, 400, "Bad request: Expecting bool: email=maybe\n"},
      {"GET", "/v1/scan?filename=a&filename=b", {}, 400, "Bad request: Unexpected repeated parameter: filename=b\n"},
      {"GET", "/v1/scan?pup=0&pup=1", {}, 400, "Bad request: Unexpected repeated parameter: pup=1\n"},
      {"GET", "/v1/scan?archives=1&archives=1", {}, 400, "Bad request: Unexpected repeated parameter: archives=1\n"},
      {"GET", "/v1/scan?detections=1&detections=x", {}, 400, "Bad request: Unexpected repeated parameter: detections=x\n"},
      {"GET", "/v1/scan?detections=x", {}, 400, "Bad request: Expecting bool: detections=x\n"},
      {"GET", "/v1/scan?heuristics=5&heuristics=x", {}, 400, "Bad request: Unexpected repeated parameter: heuristics=x\n"},
      {"GET", "/v1/scan?path=/etc", {}, 400, "Bad request: path: Scanning server-side paths not allowed\n"},
      {"GET", "/v1/scan?heuristics=101", {}, 400, "Bad request: Expecting integer (0-100): heuristics=101\n"},
      {"GET", "/v1/scan?heuristics=-1", {}, 400, "Bad request: Expecting integer (0-100): heuristics=-1\n"},
      {"GET", "/v1/scan?heuristics=1e2", {}, 400, "Bad request: Expecting integer (0-100): heuristics=1e2\n"},
      {"GET", "/v1/scan?heuristics=0x10", {}, 400, "Bad request: Expecting integer (0-100): heuristics=0x10\n"},
      {"GET", "/v1/scan?heuristics=", {}, 400, "Bad request: Expecting integer (0-100): heuristics=\n"},
      {"GET", "/v1/scan?FULL=1", {}, 400, "Bad request: Unknown parameter: FULL=1\n"},
      {"GET", "/v1/scan?full=yes", {}, 400, "Bad request: Expecting bool: full=yes\n"},
      {"GET", "/v1/scan?", {}, 400, "Bad request: Unknown parameter: =\n"},
      {"GET", "/v1/scan?full=1&", {}, 400, "Bad request: Unknown parameter: =\n"},
      // Caller text is escaped for HTML where the body repeats it; the fixed texts are not.
      {"GET", "/v1/scan?a%3Db=c%26d", {}, 400, "Bad request: Unknown parameter: a=b=c&amp;d\n"},
      {"GET", "/%3Cscript%3Ealert(1)%3C/script%3E", {}, 404,
       "The resource '/&lt;script&gt;alert(1)&lt;/script&gt;' was not found.\n"},
      {"GET", "/it's%22&%22", {}, 404, "The resource '/it&#39;s&quot;&amp;&quot;' was not found.\n"},
      {"GET", "/v1/scan?%3Cimg%20src=x%20onerror=alert(1)%3E=1", {}, 400,
       "Bad request: Unknown parameter: &lt;img src=x onerror=alert(1)&gt;=1\n"},
      {"GET", "/v1/scan?%22%27%3E=1", {}, 400, "Bad request: Unknown parameter: &quot;&#39;&gt;=1\n"},
      {"GET", "/v1/scan?full=%3Cb%3E", {}, 400, "Bad request: Expecting bool: full=&lt;b&gt;\n"},
      {"GET", "/v1/scan?heuristics=1&heuristics=%3C", {}, 400,
       "Bad request: Unexpected repeated parameter: heuristics=&lt;\n"},
      {"POST", "/v1/scan", {{"Content-Type", "text/html\"><script>&"}}, 400,
       "Bad request: Unsupported Content-Type: text/html&quot;&gt;&lt;script&gt;&amp;\n"},
      // The query is checked before the content type.
      {"POST", "/v1/scan?full=2", {}, 400, "Bad request: Expecting bool: full=2\n"},
      {"POST", "/v1/scan", {}, 400, "Bad request: Missing Content-Type\n"},
      {"PUT", "/v1/scan", {{"Content-Type", ""}}, 400, "Bad request: Missing Content-Type\n"},
      {"POST", "/v1/scan", {{"Content-Type", "text/plain"}}, 400, "Bad request: Unsupported Content-Type: text/plain\n"},
      {"POST", "/v1/scan", {{"Content-Type", "application/octet-stream; charset=x"}}, 400,
       "Bad request: Unsupported Content-Type: application/octet-stream; charset=x\n"},
      // Accepted by the handler: what follows is the engine's business.
      {"GET", "/v1/scan", {}, 500, engine},
      {"GET", "/v1/scan?full=TRUE&archives=0&pup=false&heuristics=100&detections=1&email=1&filename=a.txt", {}, 500, engine},
      {"GET", "/v1/scan?heuristics=0", {}, 500, engine},
      {"POST", "/v1/scan", {{"Content-Type", "Application/Octet-STREAM"}}, 500, engine},
      {"PUT", "/v1/scan", {{"Content-Type", octet}, {"Expect", "something-else"}}, 500, engine},
  };
  // All on one kept-alive connection: none of these answers ends it.
  auto c = d.connect();
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.method + " " + tc.target);
    ASSERT_TRUE(c.send(http_request(tc.method, tc.target, tc.headers)));
    auto r = c.read_response(5s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->version, "HTTP/1.1");
    EXPECT_EQ(r->status, tc.status);
    if (tc.body.size() >= 3 && tc.body.ends_with("...")) {
      EXPECT_EQ(r->body.substr(0, tc.body.size() - 3), tc.body.substr(0, tc.body.size() - 3));
    } else {
      EXPECT_EQ(r->body, tc.body);
    }
    EXPECT_EQ(r->header("Server"), "kelto-rest/4.7.0");
    EXPECT_EQ(r->header("Content-Type"), "text/html");
    EXPECT_FALSE(r->has_header("Connection"));
    EXPECT_FALSE(r->has_header("X-Correlation-Id"));
  }

  // A HEAD is refused like any other method, but its answer carries no body bytes, so the
  // next answer on the connection is not misread.
  ASSERT_TRUE(c.send(http_request("HEAD", "/v1/scan")));
  EXPECT_EQ(read_until_quiet(c.native(), 300ms),
            "HTTP/1.1 400 Bad Request\r\nServer: kelto-rest/4.7.0\r\nContent-Type: text/html\r\n"
            "Content-Length: 37\r\n\r\n");

  // Exact fields and their order, and the request's version kept.
  ASSERT_TRUE(c.send(get("/missing", {}, "HTTP/1.0")));
  auto r = c.read_response();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->version, "HTTP/1.0");
  EXPECT_EQ(r->reason, "Not Found");
  const Headers fields{
      {"Server", "kelto-rest/4.7.0"}, {"Content-Type", "text/html"}, {"Content-Length", "39"}, {"Connection", "close"}};
  EXPECT_EQ(r->headers, fields);
  EXPECT_EQ(r->body, "The resource '/missing' was not found.\n");
  // HTTP/1.0 closes after each response.
  EXPECT_TRUE(c.peer_closed(5s));

  // The header line is logged with the method as received and the decoded path and query.
  EXPECT_TRUE(d.process().wait_for_err(
      R"(Request: Header: PATCH /v1/scan (query:  data: 0))", 2s));
  EXPECT_TRUE(d.process().wait_for_err(
      R"(Request: Header: GET /v1/scan (query: "a=b" = "c&d";  data: 0))", 2s)) << d.process().err();
  EXPECT_TRUE(d.process().wait_for_err(
      R"(Request: Header: GET /<script>alert(1)</script> (query:  data: 0))", 2s)) << d.process().err();
}

// Engine text in the 500 page is escaped like caller text.
TEST(RequestHandler, EscapesEngineTextInTheServerErrorPage) {
  TestEngine engine;
  Daemon d(engine.daemon_config());
  ASSERT_TRUE(d.ready());
  auto c = d.connect();
  ASSERT_TRUE(c.send(http_request("POST", "/v1/scan", {{"Content-Type", octet}}, "#kte error 7 <b>no</b> & 'x'\n")));
  auto r = c.read_response(10s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "Internal server error: &lt;b&gt;no&lt;/b&gt; &amp; &#39;x&#39; (7)\n");
}

TEST(RequestHandler, RepeatedPathIsReportedWhenServerSidePathsAreAllowed) {
  Daemon d(with_args({"-P"}));
  ASSERT_TRUE(d.ready());
  auto c = d.connect();
  ASSERT_TRUE(c.send(get("/v1/scan?path=%2Fa&path=%2Fb")));
  auto r = c.read_response();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "Bad request: Unexpected repeated parameter: path=/b\n");
}

// What the engine receives for an HTTP request: every query parameter and every configured
// default in its own field, the envelope around it, and the body's descriptor. The stand-in
// engine records each envelope before it answers, so the line is there once the answer is.
TEST(RequestHandler, PutsEachParameterAndDefaultIntoItsFieldOfTheEngineRequest) {
  TempDir dir;
  const std::string record = dir.file("received");
  TestEngine engine({"--record", record});
  // A finding whose form in the answer shows whether detections were asked for.
  const std::string data = "#kte record path=x depth=0 virus=V\n";
  const std::string on_disk = dir.write("on-disk", data);
  const std::string plain = R"({"issues":[{"path":["x"],"virus":"V"}],"vps_version":"26120901"})" "\n";
  const std::string detailed = R"({"issues":[{"path":["x"],"detections":[]}],"vps_version":"26120901"})" "\n";

  struct Defaults {
    bool full_files, archives, pup;
    int heuristics;
    bool detections;
  };
  struct Case {
    std::string method, target;
    std::optional<std::string> correlation_id;  // the X-Correlation-Id sent, if any
    // What the query adds to the defaults in the expected request, if anything.
    std::function<void(KtEngineScanRequest&)> query;
    std::optional<bool> detections;  // the query's, if any
  };
  struct Setup {
    std::string name;
    std::vector<std::string> args;
    Defaults defaults;
    std::vector<Case> cases;
  };
  const auto conf = [&](std::string name, std::string scanner) {
    return std::vector<std::string>{"-c", dir.write(name, "[scanner]\n" + scanner)};
  };
  const Defaults built_in{false, true, false, 80, false};
  const auto params = [](KtEngineScanRequest& r) { return r.mutable_scan_params(); };
  const auto config = [](KtEngineScanRequest& r) { return r.mutable_configuration(); };
  // The configured defaults differ from the built-in ones, and every two of them differ in
  // some setup, so a default taken from the wrong setting is caught.
  const std::vector<Setup> setups{
      {"built-in defaults",
       {},
       built_in,
       {
           {"POST", "/v1/scan", "cid-1", {}, std::nullopt},
           {"POST", "/v1/scan", "cid-1", {}, std::nullopt},  // the same id again, another request
           // The envelope always carries a correlation id, also when the client sent none or an
           // empty one.
           {"POST", "/v1/scan", std::nullopt, {}, std::nullopt},
           {"GET", "/v1/scan", "", {}, std::nullopt},
           {"GET", "/v1/scan", std::nullopt, {}, std::nullopt},
           {"GET", "/v1/scan?email=0", "e0", [&](auto& r) { params(r); }, std::nullopt},
           {"POST", "/v1/scan?email=1", "e1",
            [&](auto& r) {
              params(r)->set_caller_context(true);
              params(r)->set_trigger(SCAN_TRIGGER_MAIL);
              params(r)->set_provider(SCAN_PROVIDER_MAILGUARD);
            },
            std::nullopt},
           {"PUT", "/v1/scan?filename=a%20b.txt", "f",
            [&](auto& r) {
              params(r)->set_filename("a b.txt");
              params(r)->set_caller_context(true);
            },
            std::nullopt},
           {"POST", "/v1/scan?full=1", "q1", [&](auto& r) { config(r)->set_full_files(true); }, std::nullopt},
           {"POST", "/v1/scan?archives=0", "q2", [&](auto& r) { config(r)->set_archives(false); }, std::nullopt},
           {"POST", "/v1/scan?pup=1", "q3", [&](auto& r) { config(r)->set_pup(true); }, std::nullopt},
           {"POST", "/v1/scan?heuristics=5", "q4", [&](auto& r) { config(r)->set_heuristics(5); }, std::nullopt},
           {"POST", "/v1/scan?detections=1", "q5", {}, true},
       }},
      {"server-side paths from the command line",
       {"-P"},
       built_in,
       {
           {"GET", "/v1/scan?path=" + on_disk, "p1", [&](auto& r) { params(r)->set_path(on_disk); }, std::nullopt},
       }},
      {"scanner section",
       conf("a.conf",
            "server_side_paths = 1\nfull_files = 1\narchives = 0\npup = 1\nheuristics = 37\ndetections = 1\n"),
       {true, false, true, 37, true},
       {
           {"POST", "/v1/scan", "c1", {}, std::nullopt},
           {"GET", "/v1/scan?path=" + on_disk, "p2", [&](auto& r) { params(r)->set_path(on_disk); }, std::nullopt},
           {"POST", "/v1/scan?full=0", "c2", [&](auto& r) { config(r)->set_full_files(false); }, std::nullopt},
           {"POST", "/v1/scan?archives=1", "c3", [&](auto& r) { config(r)->set_archives(true); }, std::nullopt},
           {"POST", "/v1/scan?pup=0", "c4", [&](auto& r) { config(r)->set_pup(false); }, std::nullopt},
           {"POST", "/v1/scan?heuristics=0", "c5", [&](auto& r) { config(r)->set_heuristics(0); }, std::nullopt},
           {"POST", "/v1/scan?detections=0", "c6", {}, false},
       }},
      {"full files without pup or detections",
       conf("b.conf", "full_files = 1\narchives = 1\npup = 0\nheuristics = 63\ndetections = 0\n"),
       {true, true, false, 63, false},
       {{"POST", "/v1/scan", "b1", {}, std::nullopt}}},
      {"pup without detections",
       conf("c.conf", "full_files = 0\narchives = 0\npup = 1\nheuristics = 12\ndetections = 0\n"),
       {false, false, true, 12, false},
       {{"POST", "/v1/scan", "d1", {}, std::nullopt}}},
  };

  std::size_t seen = 0;
  std::set<std::string> made_ids;
  for (const auto& setup : setups) {
    SCOPED_TRACE(setup.name);
    Daemon::Config daemon_config;
    daemon_config.args = setup.args;
    daemon_config.engine_socket = engine.socket_path();
    Daemon d(daemon_config);
    ASSERT_TRUE(d.ready());
    auto c = d.connect();
    for (const auto& tc : setup.cases) {
      SCOPED_TRACE(tc.method + " " + tc.target + " id " + tc.correlation_id.value_or("(none)"));
      const bool body = tc.method != "GET";
      Headers headers;
      if (body) headers.emplace_back("Content-Type", octet);
      if (tc.correlation_id) headers.emplace_back("X-Correlation-Id", *tc.correlation_id);
      ASSERT_TRUE(c.send(http_request(tc.method, tc.target, headers,
                                      body ? std::optional<std::string_view>(data) : std::nullopt)));
      auto r = c.read_response(10s);
      ASSERT_TRUE(r);

      KtEngineScanRequest expected;
      expected.mutable_configuration()->set_full_files(setup.defaults.full_files);
      expected.mutable_configuration()->set_archives(setup.defaults.archives);
      expected.mutable_configuration()->set_pup(setup.defaults.pup);
      expected.mutable_configuration()->set_heuristics(setup.defaults.heuristics);
      if (tc.query) tc.query(expected);
      if (body) expected.mutable_scan_params()->set_fd_index(0);
      KtMsgBase expected_envelope;
      expected_envelope.set_type(KT_REQUEST);
      expected_envelope.set_opcode(KT_REQ_ENGINE_SCAN);
      expected_envelope.set_payload(expected.SerializeAsString());
      if (body) expected_envelope.set_fd_count(1);

      const auto lines = received_requests(record);
      ASSERT_EQ(lines.size(), seen + 1);
      const Received& got = lines[seen++];
      KtMsgBase envelope;
      ASSERT_TRUE(envelope.ParseFromString(got.envelope));
      EXPECT_EQ(envelope.type(), KT_REQUEST);
      EXPECT_EQ(envelope.opcode(), KT_REQ_ENGINE_SCAN);
      EXPECT_TRUE(envelope.has_correlation_id());
      // The engine gets an id of the request's own: a UUID, behind the client's id and a slash
      // when there is one. The response carries the client's id as it came, or none.
      const std::string client = tc.correlation_id.value_or("");
      EXPECT_EQ(r->header("X-Correlation-Id"), client);
      EXPECT_EQ(r->has_header("X-Correlation-Id"), !client.empty());
      const std::string& id = envelope.correlation_id();
      const std::string prefix = client.empty() ? "" : client + "/";
      ASSERT_EQ(id.substr(0, prefix.size()), prefix);
      EXPECT_TRUE(ktu::util::Uuid().parse(id.substr(prefix.size()))) << id;
      EXPECT_TRUE(made_ids.insert(id).second) << id;
      expected_envelope.set_correlation_id(envelope.correlation_id());
      EXPECT_EQ(envelope.has_fd_count(), body);
      EXPECT_EQ(envelope.fd_count(), body ? 1 : 0);
      EXPECT_EQ(got.descriptor, body);
      KtEngineScanRequest request;
      ASSERT_TRUE(request.ParseFromString(envelope.payload()));
      EXPECT_EQ(fields_of(request), fields_of(expected));
      // Byte for byte: no field beyond those named above.
      EXPECT_EQ(ktu::util::bin_str_to_hex(got.envelope),
                ktu::util::bin_str_to_hex(expected_envelope.SerializeAsString()));

      // Nothing to scan without a body or a path: the engine refuses it.
      if (!body && !expected.scan_params().has_path()) {
        EXPECT_EQ(r->status, 500);
        continue;
      }
      EXPECT_EQ(r->status, 200);
      EXPECT_EQ(r->body, tc.detections.value_or(setup.defaults.detections) ? detailed : plain);
    }
  }
}

TEST(Session, KeepsConnectionsAliveServesPipelinedRequestsAndEchoesTheCorrelationId) {
  Daemon d(with_args({"-v"}));
  ASSERT_TRUE(d.ready());
  auto c = d.connect();
  // Hundreds of requests, one at a time, on one connection.
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(c.send(get("/r" + std::to_string(i), {{"X-Correlation-Id", "id-" + std::to_string(i)}})));
    auto r = c.read_response(5s);
    ASSERT_TRUE(r) << i;
    ASSERT_EQ(r->body, "The resource '/r" + std::to_string(i) + "' was not found.\n");
    ASSERT_EQ(r->header("X-Correlation-Id"), "id-" + std::to_string(i));
  }
  // Pipelined in one write: each request gets its answer, in order, none is dropped.
  std::string batch;
  for (int i = 0; i < 20; ++i) batch += get("/p" + std::to_string(i));
  // A stray line end after a body, as some clients send, is not a request.
  batch += http_request("POST", "/v1/scan", {{"Content-Type", octet}}, "body") + "\r\n";
  batch += get("/last", {{"x-correlation-id", "tail"}});
  ASSERT_TRUE(c.send(batch));
  for (int i = 0; i < 20; ++i) {
    auto r = c.read_response(5s);
    ASSERT_TRUE(r) << i;
    EXPECT_EQ(r->body, "The resource '/p" + std::to_string(i) + "' was not found.\n");
    EXPECT_FALSE(r->has_header("X-Correlation-Id"));
  }
  auto posted = c.read_response(5s);
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 500);
  auto last = c.read_response(5s);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->body, "The resource '/last' was not found.\n");
  EXPECT_EQ(last->header("X-Correlation-Id"), "tail");

  // "Connection: close" on HTTP/1.1 is not copied: the connection stays open for the client.
  ASSERT_TRUE(c.send(get("/x", {{"Connection", "close"}})));
  auto r = c.read_response();
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->has_header("Connection"));
  EXPECT_FALSE(c.peer_closed(300ms));
  ASSERT_TRUE(c.send(get("/y")));
  ASSERT_TRUE(c.read_response());

  // The client's close ends the session quietly.
  const std::string id = wait_session_id(d, 0);
  c.close();
  EXPECT_TRUE(d.process().wait_for_err("[" + id + "] Connection closed.", 5s));
  EXPECT_EQ(d.process().err().find("[" + id + "] read_header"), std::string::npos);
}

TEST(Session, ContinuesBeforeTheBodyAndStreamsBodiesIntoANamedMemoryFile) {
  Daemon d(with_args({"-v"}));
  ASSERT_TRUE(d.ready());
  auto c = d.connect();
  const std::string id = wait_session_id(d, 0);
  ASSERT_FALSE(id.empty());

  // Expect: 100-continue (any case): the interim answer comes first, with the correlation id.
  ASSERT_TRUE(c.send("POST /v1/scan HTTP/1.1\r\nHost: x\r\nContent-Type: " + octet +
                     "\r\nExpect: 100-CONTINUE\r\nX-Correlation-Id: cid-7\r\nContent-Length: 10\r\n\r\n"));
  auto interim = c.read_response(5s);
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->status, 100);
  const Headers interim_fields{{"Server", "kelto-rest/4.7.0"}, {"X-Correlation-Id", "cid-7"}};
  EXPECT_EQ(interim->headers, interim_fields);
  // While the body is awaited its memory file is open, named after the session.
  EXPECT_EQ(memfd_names(d.process().pid()), std::vector<std::string>{"/memfd:" + id + " (deleted)"});
  ASSERT_TRUE(c.send("0123456789"));
  auto final_response = c.read_response(5s);
  ASSERT_TRUE(final_response);
  EXPECT_EQ(final_response->status, 500);
  EXPECT_EQ(final_response->header("X-Correlation-Id"), "cid-7");
  EXPECT_TRUE(d.process().wait_for_err("[" + id + "] Finished reading content 10 B", 2s));

  // A chunked body is read whole; so is a body without any length (empty).
  ASSERT_TRUE(c.send("PUT /v1/scan HTTP/1.1\r\nContent-Type: " + octet +
                     "\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"));
  auto chunked = c.read_response(5s);
  ASSERT_TRUE(chunked);
  EXPECT_EQ(chunked->status, 500);
  ASSERT_TRUE(c.send("POST /v1/scan HTTP/1.1\r\nContent-Type: " + octet + "\r\n\r\n"));
  auto empty = c.read_response(5s);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 500);
  EXPECT_TRUE(d.process().wait_for_err("[" + id + "] Finished reading content 0 B", 2s));
  // HTTP/1.0 knows no interim answer: the expectation is ignored, the body read at once, and
  // the final answer ends the connection.
  ASSERT_TRUE(c.send("POST /v1/scan HTTP/1.0\r\nContent-Type: " + octet +
                     "\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\nabc"));
  auto old = c.read_response(5s);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->status, 500);
  EXPECT_EQ(old->version, "HTTP/1.0");
  EXPECT_TRUE(c.peer_closed(5s));
  EXPECT_TRUE(d.process().wait_for_err("[" + id + "] Connection closed.", 5s));

  // A large body goes to the memory file, not into the daemon's memory.
  const long hwm_before = vm_hwm_kib(d.process().pid());
  auto big = d.connect();
  const std::string chunk(1 << 20, 'x');
  ASSERT_TRUE(big.send("POST /v1/scan HTTP/1.1\r\nContent-Type: " + octet + "\r\nContent-Length: " +
                       std::to_string(64 * chunk.size()) + "\r\n\r\n"));
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(big.send(chunk));
  auto r = big.read_response(10s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 500);
  EXPECT_TRUE(d.process().wait_for_err("Finished reading content 67108864 B", 2s));
  // Held in memory the body alone would raise the peak by 64 MiB.
  EXPECT_LT(vm_hwm_kib(d.process().pid()) - hwm_before, 24 * 1024);
}

// The engine answers on its own thread: the answer is written on the session's strand, in
// request order when requests were pipelined, and logged under the request's correlation id.
TEST(Session, WritesEngineAnswersInOrderUnderTheRequestsCorrelationId) {
  TestEngine engine;
  Daemon::Config config;
  config.engine_socket = engine.socket_path();
  Daemon d(config);
  ASSERT_TRUE(d.ready());
  auto c = d.connect();
  const std::string id = wait_session_id(d, 0);
  std::string batch;
  for (int i = 0; i < 3; ++i) {
    batch += http_request("POST", "/v1/scan", {{"Content-Type", octet}, {"X-Correlation-Id", "post-" + std::to_string(i)}},
                          "clean data " + std::to_string(i));
    // Without a path or a body the engine answers an error, while the header is handled.
    batch += get("/v1/scan", {{"X-Correlation-Id", "get-" + std::to_string(i)}});
  }
  batch += get("/done");
  ASSERT_TRUE(c.send(batch));
  for (int i = 0; i < 3; ++i) {
    const std::string post_id = "post-" + std::to_string(i);
    auto posted = c.read_response(10s);
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->status, 200);
    EXPECT_EQ(posted->header("X-Correlation-Id"), post_id);
    EXPECT_EQ(posted->header("X-Scanned-Bytes"), "12");
    const std::string get_id = "get-" + std::to_string(i);
    auto got = c.read_response(10s);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->status, 500);
    EXPECT_EQ(got->header("X-Correlation-Id"), get_id);
    for (const auto& [cid, status] : {std::pair{post_id, "200 OK"}, std::pair{get_id, "500 Internal Server Error"}}) {
      EXPECT_TRUE(d.process().wait_for_err("[" + cid + "] Session: [" + id + "] Sending " + status, 2s))
          << d.process().err();
    }
  }
  auto done = c.read_response(5s);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 404);
  EXPECT_FALSE(done->has_header("X-Correlation-Id"));
}

TEST(Session, ClosesAfterAnswersThatLeaveABodyUnreadAndSaysSo) {
  // An engine that answers at once: without one, the GET would wait for a connection.
  TestEngine engine;
  Daemon d(engine.daemon_config());
  ASSERT_TRUE(d.ready());
  const std::string smuggled = get("/v1/scan?smuggled=1");
  const std::string chunked = "POST /v1/scan HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Type: " + octet + "\r\n\r\n";
  // A chunk line, or a last chunk with its trailer section, of `size` bytes with line ends.
  const auto long_line = [](std::size_t size) { return "5;a=" + std::string(size - 6, 'x') + "\r\nhello\r\n"; };
  const auto long_trailer = [](std::size_t size) { return "0\r\nX-T: " + std::string(size - 12, 't') + "\r\n\r\n"; };
  struct Case {
    std::string name, request;
    int status;
    std::string body_after{};
  };
  const std::vector<Case> cases{
      {"404 with a length", http_request("POST", "/nope", {{"Content-Type", octet}}, smuggled), 404},
      {"400 with a length", http_request("PUT", "/v1/scan", {{"Content-Type", "text/plain"}}, smuggled), 400},
      {"400 on a bad method", http_request("DELETE", "/v1/scan", {}, smuggled), 400},
      {"400 chunked",
       "POST /v1/scan?x=1 HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Type: " + octet + "\r\n\r\n" +
           fmt_chunk(smuggled) + "0\r\n\r\n",
       400},
      {"GET with a body", http_request("GET", "/v1/scan", {{"Content-Length", std::to_string(smuggled.size())}}) + smuggled, 500},
      // A malformed body is answered at once, like a refused head.
      {"bad chunk size", chunked + "zz\r\nhello\r\n0\r\n\r\n" + smuggled, 400},
      {"bad chunk extension", chunked + "5;=x\r\nhello\r\n0\r\n\r\n" + smuggled, 400},
      {"open quote in a chunk extension", chunked + "5;a=\"x\r\nhello\r\n0\r\n\r\n" + smuggled, 400},
      {"chunk line over the head limit", chunked + "5" + std::string(9000, ' '), 400},
      {"trailer over the head limit", chunked + "0\r\nX-T: " + std::string(9000, 't') + "\r\n", 400},
      // The same limits when the parser takes the whole line or section in one read.
      {"chunk extension over the head limit", chunked + long_line(8193) + "0\r\n\r\n", 400},
      {"chunk size over the head limit", chunked + std::string(8190, '0') + "5\r\nhello\r\n0\r\n\r\n", 400},
      {"trailer section over the head limit", chunked + long_trailer(8193), 400},
      // Still being sent after the answer: read away, not answered with a reset, which would
      // also destroy the answer at a client that reads it only once all is sent.
      {"body larger than the socket buffers", http_request("POST", "/nope", {{"Content-Type", octet}, {"Content-Length", "4194304"}}),
       404, std::string(4 << 20, 'u')},
  };
  std::size_t sessions = 0;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto c = d.connect();
    const std::string memfd = "/memfd:" + wait_session_id(d, sessions++) + " (deleted)";
    ASSERT_TRUE(c.send(tc.request));
    auto r = c.read_response(5s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, tc.status);
    // A keep-alive client learns not to send its next request here.
    EXPECT_EQ(r->header("Connection"), "close");
    EXPECT_TRUE(c.send(tc.body_after));
    // The body is never taken for a request: no second answer, the connection ends.
    EXPECT_TRUE(c.peer_closed(5s));
    EXPECT_FALSE(c.read_response(100ms).has_value());
    // While what the client still sends is read away, the request's memory file is gone.
    const auto held = [&] { return std::ranges::count(memfd_names(d.process().pid()), memfd) > 0; };
    for (int i = 0; i < 200 && held(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(held());
  }
  // Without a body the same answers keep the connection, as does a body at the limits.
  auto c = d.connect();
  ASSERT_TRUE(c.send(http_request("POST", "/nope", {{"Content-Type", octet}, {"Content-Length", "0"}})));
  ASSERT_TRUE(c.read_response());
  ASSERT_TRUE(c.send(chunked + long_line(8192) + long_trailer(8192)));
  auto taken = c.read_response(5s);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->status, 200);
  // So does a body that starts with its last chunk, the rest of it in reads of their own.
  ASSERT_TRUE(c.send(chunked + "0\r\n"));
  for (const char* part : {"\r", "\n"}) ASSERT_TRUE(c.wait_peer_read(5s) && c.send(part));
  taken = c.read_response(5s);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->status, 200);
  ASSERT_TRUE(c.send(get("/again")));
  auto r = c.read_response();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
}

// Malformed heads are answered, so that a proxy in front does not count the server as failed;
// the connection then ends, and nothing written behind the head is served. Among them: a body
// whose end cannot be found, or whose coding is not decoded, which must not be read as the next
// request or reach the engine as content, and a folded line, which hides a field from a front
// end that reads it as a field of its own.
TEST(Session, AnswersRefusedHeadsAndServesNothingAfterThem) {
  Daemon d;
  ASSERT_TRUE(d.ready());
  auto bystander = d.connect();
  ASSERT_FALSE(wait_session_id(d, 0).empty());
  std::size_t sessions = 1;
  const std::string other = get("/other");
  const std::string length = "Content-Length: " + std::to_string(other.size()) + "\r\n";
  const std::string head = "POST /v1/scan HTTP/1.1\r\nHost: x\r\nContent-Type: " + octet + "\r\n";
  struct Case {
    std::string fields, error;
    int status;           // 0: no answer; the client goes away in the middle of the head
    std::string line{};   // instead of the head's first lines
    std::size_t split{};  // sent in two reads, the first this long, with nothing behind the head
  };
  const std::string bad_coding = "bad Transfer-Encoding";
  const std::vector<Case> cases{
      {"Transfer-Encoding: xchunked\r\n", bad_coding, 501},
      {"Transfer-Encoding: gzip\r\n", bad_coding, 501},
      {"Transfer-Encoding: identity\r\n", bad_coding, 501},
      {"Transfer-Encoding: chunked, identity\r\n", bad_coding, 501},
      {"Transfer-Encoding: chunked, chunked\r\n", bad_coding, 501},
      {"Transfer-Encoding: gzip, chunked\r\n", bad_coding, 501},
      {"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", bad_coding, 501},
      {"Transfer-Encoding: chunked abc\r\n", bad_coding, 400},
      {"Transfer-Encoding: chunked\x80\r\n", bad_coding, 400},
      {"Transfer-Encoding: chunked,\r\n", bad_coding, 400},
      {"Transfer-Encoding: gzip\r\n" + length, bad_coding, 400},
      {length + "Transfer-Encoding: gzip\r\n", bad_coding, 400},
      {length + "Transfer-Encoding: chunked\r\n", bad_coding, 400},
      {"Transfer-Encoding: chunked\r\n" + length, "bad Content-Length", 400},
      // The folded Content-Length would make the request behind the head a body.
      {"X-Foo: bar\r\n " + length, "bad obs-fold", 400},
      {"X-Foo: bar\r\n\tbaz\r\n", "bad obs-fold", 400},
      {"X-A: a\x01" "b\r\n", "bad value", 400},
      {"X-A : b\r\n", "bad field", 400},
      {"", "bad method", 400, "GARBAGE\r\n"},
      {"", "bad version", 400, "GET / HTTP/1.x\r\n"},
      {"", "bad target", 400, "GET /\x7f HTTP/1.1\r\n"},
      {"Content-Length: 1\r\nContent-Length: 2\r\n", "multiple Content-Length", 400},
      {"X-A: b\r\n", "partial message", 0},
      {"", "bad line ending", 400, "POST /v1/scan HTTP/1.1\nHost: t\nContent-Length: 0\n\n", 10},
      {"", "bad line ending", 400, "GET /x HTTP/1.1\rHost: t\r\n", 16},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.line + tc.fields);
    auto c = d.connect();
    const std::string id = wait_session_id(d, sessions++);
    const std::string sent = (tc.line.empty() ? head : tc.line) + tc.fields;
    const std::string bytes = tc.split || !tc.status ? sent : sent + "\r\n" + other;
    ASSERT_TRUE(c.send(bytes.substr(0, tc.split ? tc.split : bytes.size())));
    if (tc.split) {
      ASSERT_TRUE(c.wait_peer_read(5s) && c.send(bytes.substr(tc.split)));
    }
    if (!tc.status) ::shutdown(c.native(), SHUT_WR);
    EXPECT_TRUE(c.peer_closed(5s));
    EXPECT_EQ(c.pending(), tc.status ? refusal(tc.status) : "");
    EXPECT_TRUE(d.process().wait_for_err("[" + id + "] read_header: " + tc.error, 2s)) << d.process().err();
  }
  EXPECT_EQ(d.process().err().find("Header: GET /other"), std::string::npos) << d.process().err();

  // chunked alone, in any case and with blanks around it, and a plain length frame the body.
  auto c = d.connect();
  ASSERT_TRUE(c.send(head + "Transfer-Encoding:  CHUNKED \r\n\r\n" + fmt_chunk("hello") + "0\r\n\r\n" +
                     other + head + length + "\r\n" + other + other));
  for (const int status : {500, 404, 500, 404}) {
    auto r = c.read_response(5s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, status);
  }
  ASSERT_TRUE(bystander.send(get("/still-here")));
  auto r = bystander.read_response();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
}

TEST(Session, AnswersAHeadOverTheLimitAndCloses) {
  Daemon d;
  ASSERT_TRUE(d.ready());
  // Just under the limit: served.
  auto ok = d.connect();
  ASSERT_TRUE(ok.send("GET /fits HTTP/1.1\r\nX-Pad: " + std::string(8000, 'a') + "\r\n\r\n"));
  auto r = ok.read_response();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);

  auto c = d.connect();
  const std::string id = wait_session_id(d, 1);
  ASSERT_TRUE(c.send("GET /big HTTP/1.1\r\nX-Pad: " + std::string(9000, 'a') + "\r\n\r\n"));
  EXPECT_TRUE(c.peer_closed(5s));
  const std::string too_large = refusal(431);
  EXPECT_EQ(c.pending(), too_large);
  EXPECT_TRUE(d.process().wait_for_err("[" + id + "] read_header: header limit exceeded", 2s))
      << d.process().err();

  // The limit is one total for the request line, the fields and their line ends, however it
  // is shared between them; bytes pipelined after the head do not count.
  const auto head = [](std::size_t size) {
    const std::string line_end = " HTTP/1.1\r\n";
    const std::string field = "X-Pad: " + std::string(5000, 'p') + "\r\n\r\n";
    return "GET /" + std::string(size - 5 - line_end.size() - field.size(), 'l') + line_end + field;
  };
  ASSERT_EQ(head(8192).size(), 8192u);
  auto exact = d.connect();
  ASSERT_TRUE(exact.send(head(8192) + get("/next")));
  r = exact.read_response();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
  r = exact.read_response();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "The resource '/next' was not found.\n");

  auto over = d.connect();
  const std::string over_id = wait_session_id(d, 3);
  ASSERT_TRUE(over.send(head(8193) + get("/next")));
  EXPECT_TRUE(over.peer_closed(5s));
  EXPECT_EQ(over.pending(), too_large);
  EXPECT_TRUE(d.process().wait_for_err("[" + over_id + "] read_header: header limit exceeded", 2s))
      << d.process().err();

  // The parser's own limit holds for what one read brings, not for the head: each part ends
  // one byte into the next line and is read on its own.
  auto parts = d.connect();
  std::string slow = "GET / HTTP/1.1\r\n";
  while (slow.size() < 10000) slow += "X-Pad: " + std::string(92, 'p') + "\r\n";
  for (std::size_t at = 0, end = 0; at < slow.size(); at = end) {
    end = std::min(slow.find("\r\n", at) + 3, slow.size());
    parts.send(slow.substr(at, end - at));  // once refused, the rest is read away
    ASSERT_TRUE(parts.wait_peer_read(5s));
  }
  EXPECT_TRUE(parts.peer_closed(5s));
  EXPECT_EQ(parts.pending(), too_large);
}

// One slow test for every time limit: idle before the first request and between requests
// (30 s), a body that stops arriving (recv_timeout from the configuration file), and a client
// that stops reading while answers are written (30 s).
TEST(Session, TimesOutIdleConnectionsStalledBodiesAndStuckWrites) {
  TempDir dir;
  const std::string conf = dir.write("rest.conf", "[server]\nrecv_timeout = 1\n");
  Daemon d(with_args({"-c", conf}));
  ASSERT_TRUE(d.ready());
  const auto start = std::chrono::steady_clock::now();
  std::size_t sessions = 0;

  auto idle = d.connect();
  const std::string idle_id = wait_session_id(d, sessions++);
  auto between = d.connect();
  const std::string between_id = wait_session_id(d, sessions++);
  ASSERT_TRUE(between.send(get("/one")));
  ASSERT_TRUE(between.read_response());

  // The body stops after 10 of 100 bytes: cut off after recv_timeout, without an answer.
  auto stalled = d.connect();
  const std::string stalled_id = wait_session_id(d, sessions++);
  ASSERT_TRUE(stalled.send("POST /v1/scan HTTP/1.1\r\nContent-Type: " + octet +
                           "\r\nContent-Length: 100\r\n\r\n0123456789"));
  EXPECT_TRUE(stalled.peer_closed(6s));
  EXPECT_TRUE(stalled.pending().empty()) << stalled.pending();
  EXPECT_TRUE(d.process().wait_for_err(
      "[" + stalled_id + "] read: The socket was closed due to a timeout", 2s))
      << d.process().err();

  // A client that sends requests but never reads: once the socket buffers are full the write
  // of an answer stalls.
  auto stuck = d.connect();
  const std::string stuck_id = wait_session_id(d, sessions++);
  const int fd = stuck.native();
  const int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  const std::string request = get("/" + std::string(7000, 'w'));
  std::size_t sent_in_request = 0;
  auto last_progress = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - last_progress < 1s) {
    const ssize_t n = ::send(fd, request.data() + sent_in_request, request.size() - sent_in_request,
                             MSG_NOSIGNAL);
    if (n > 0) {
      sent_in_request = (sent_in_request + static_cast<std::size_t>(n)) % request.size();
      last_progress = std::chrono::steady_clock::now();
    } else {
      std::this_thread::sleep_for(5ms);
    }
  }

  // Everything above was well inside the 30 s; now wait for them to expire.
  const auto remaining = 45s - (std::chrono::steady_clock::now() - start);
  const Ms budget = std::chrono::duration_cast<Ms>(remaining);
  EXPECT_TRUE(idle.peer_closed(budget));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 29s);
  EXPECT_TRUE(between.peer_closed(5s));
  for (const auto& id : {idle_id, between_id}) {
    EXPECT_TRUE(d.process().wait_for_err(
        "[" + id + "] read_header: The socket was closed due to a timeout", 5s))
        << d.process().err();
  }
  EXPECT_TRUE(d.process().wait_for_err(
      "[" + stuck_id + "] write: The socket was closed due to a timeout", 15s))
      << d.process().err();

  // And the daemon serves on.
  auto fresh = d.connect();
  ASSERT_TRUE(fresh.send(get("/alive")));
  auto r = fresh.read_response();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
}

// Malformed heads and bodies from a seeded generator: every connection ends with an answer
// or a close once the client has stopped sending, and the daemon serves on.
TEST(Session, SurvivesRandomMalformedInput) {
  Daemon d;
  ASSERT_TRUE(d.ready());
  const std::vector<std::string> seeds{
      get("/v1/scan?full=1&heuristics=50", {{"X-Correlation-Id", "c"}}),
      http_request("POST", "/v1/scan", {{"Content-Type", octet}}, "some body"),
      "POST /v1/scan HTTP/1.1\r\nContent-Type: " + octet +
          "\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\nffffffffffffffffff\r\n0\r\n\r\n",
      "PUT /v1/scan HTTP/1.1\r\nContent-Type: " + octet + "\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\nhello",
      "POST /v1/scan HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!",
      "POST /x HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
      "GET /%%%?%=%&&;;== HTTP/1.0\r\n\r\n",
      "G\0T / HTTP/1.1\r\n\r\n",
      "GET / HTTP/1.1\r\nHost:\r\n folded\r\n\r\n",
      "POST /v1/scan HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\nContent-Type: " + octet + "\r\n\r\n0\r\n\r\n",
  };
  std::mt19937 rng(20261209);
  const auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  std::vector<std::string> inputs;
  for (int i = 0; i < 400; ++i) {
    std::string s = seeds[pick(seeds.size())];
    const std::size_t edits = 1 + pick(6);
    for (std::size_t e = 0; e < edits && !s.empty(); ++e) {
      switch (pick(5)) {
        case 0: s[pick(s.size())] = static_cast<char>(pick(256)); break;
        case 1: s.erase(pick(s.size()), 1 + pick(8)); break;
        case 2: s.insert(pick(s.size()), std::string(1 + pick(4), "\r\n:; \t\0%"[pick(8)])); break;
        case 3: s.insert(pick(s.size()), seeds[pick(seeds.size())]); break;
        case 4: s.resize(pick(s.size()) + 1); break;
      }
    }
    inputs.push_back(std::move(s));
  }

  std::atomic<std::size_t> next{0};
  std::atomic<int> hung{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([&] {
      for (std::size_t i = next++; i < inputs.size(); i = next++) {
        auto c = d.connect();
        c.send(inputs[i]);
        ::shutdown(c.native(), SHUT_WR);
        // Answers may come; the connection must end well before any time limit.
        if (!c.peer_closed(10s)) ++hung;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(hung, 0);
  ASSERT_TRUE(d.process().running());
  auto c = d.connect();
  ASSERT_TRUE(c.send(get("/still-here")));
  auto r = c.read_response();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
}
