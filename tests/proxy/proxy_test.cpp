// The daemon behind a real reverse proxy: nginx on loopback pooling kept-alive connections to
// two daemons, with its default failure accounting (max_fails=1, fail_timeout=10s), so a
// backend that closes without an answer is taken out of the pool for every other client.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fixtures.hpp"

using namespace kelto::test;

namespace {

const std::string nginx_binary = "/usr/sbin/nginx";
const std::string octet = "application/octet-stream";

// nginx with its own prefix, pid file, logs and temporary directories, in front of `backends`.
class ReverseProxy {
 public:
  explicit ReverseProxy(const std::vector<uint16_t>& backends) : listen_port(free_tcp_port()) {
    // Run by root, the workers are nobody: they must be able to enter the prefix.
    ::chmod(dir.path().c_str(), 0755);
    std::string servers;
    for (uint16_t port : backends) servers += "    server 127.0.0.1:" + std::to_string(port) + ";\n";
    const std::string p = dir.path();
    const std::string conf = dir.write("nginx.conf",
        "daemon off;\n"
        "worker_processes 1;\n"
        "pid " + p + "/nginx.pid;\n"
        "error_log " + p + "/error.log info;\n"
        "events { worker_connections 256; }\n"
        "http {\n"
        "  access_log " + p + "/access.log;\n"
        "  client_body_temp_path " + p + "/client_body;\n"
        "  proxy_temp_path " + p + "/proxy;\n"
        "  fastcgi_temp_path " + p + "/fastcgi;\n"
        "  uwsgi_temp_path " + p + "/uwsgi;\n"
        "  scgi_temp_path " + p + "/scgi;\n"
        "  upstream kelto {\n" + servers + "    keepalive 8;\n  }\n"
        "  server {\n"
        "    listen 127.0.0.1:" + std::to_string(listen_port) + ";\n"
        // Uploads of any size, passed on as they arrive.
        "    client_max_body_size 0;\n"
        "    location / {\n"
        "      proxy_pass http://kelto;\n"
        "      proxy_http_version 1.1;\n"
        "      proxy_set_header Connection \"\";\n"
        "      proxy_request_buffering off;\n"
        "    }\n"
        "  }\n"
        "}\n");
    proc = Process::start({nginx_binary, "-p", p, "-e", p + "/error.log", "-c", conf});
    started = wait_for_port(listen_port, 10s);
  }
  ~ReverseProxy() {
    // The master stops its workers; killed, it would leave them serving.
    proc.signal(SIGTERM);
    proc.wait_exit(10s);
  }

  bool ready() const { return started; }
  uint16_t port() const { return listen_port; }
  std::string error_log() const { return read_file(dir.file("error.log")); }

 private:
  TempDir dir;
  uint16_t listen_port;
  Process proc;
  bool started = false;
};

// One request on a connection of its own, as one more client; 0 when no answer came.
int status_of(uint16_t port, const std::string& request) {
  HttpConnection conn(port);
  if (!conn.send(request)) return 0;
  const auto response = conn.read_response(10s);
  return response ? response->status : 0;
}

const std::string scan = http_request("POST", "/v1/scan", {{"Content-Type", octet}}, std::string(1024, 's'));

Daemon::Config using_engine(const TestEngine& engine) {
  Daemon::Config config;
  config.engine_socket = engine.socket_path();
  return config;
}

// Two daemons in front of one stand-in engine.
struct Backends {
  TestEngine engine;
  Daemon first{using_engine(engine)};
  Daemon second{using_engine(engine)};

  bool ready() const { return first.ready() && second.ready(); }
  std::vector<uint16_t> ports() const { return {first.port(), second.port()}; }
};

}  // namespace

TEST(ReverseProxy, OneMalformedRequestLeavesOtherClientsServed) {
  ASSERT_EQ(::access(nginx_binary.c_str(), X_OK), 0) << "nginx-light is installed by scripts/setup";
  Backends backends;
  ASSERT_TRUE(backends.ready());
  const std::string get = "GET /v1/scan HTTP/1.1\r\nHost: localhost\r\n";
  const struct {
    const char* name;
    std::string request;  // passed on by nginx, refused by the daemon
    std::set<int> answers;
  } cases[] = {
      {"control byte in a value", get + "X-Note: a\x01z\r\n\r\n", {400}},
      {"DEL in a value", get + "X-Note: a\x7fz\r\n\r\n", {400}},
      {"head over 8192 bytes",
       get + "X-One: " + std::string(5000, 'a') + "\r\nX-Two: " + std::string(5000, 'b') + "\r\n\r\n",
       {400, 431}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A proxy of its own: its memory of failed backends starts empty.
    ReverseProxy proxy(backends.ports());
    ASSERT_TRUE(proxy.ready()) << proxy.error_log();
    const int status = status_of(proxy.port(), c.request);
    EXPECT_TRUE(c.answers.contains(status)) << "answered " << status << "\n" << proxy.error_log();
    int failed = 0;
    for (int i = 0; i < 20; ++i) failed += status_of(proxy.port(), scan) != 200;
    EXPECT_EQ(failed, 0) << "valid scans of other clients that failed, of 20\n" << proxy.error_log();
  }
}

// Early answers leave the body unread; each body is a whole request, which must never be served.
TEST(ReverseProxy, EarlyAnsweredPostsNeitherFailOtherScansNorSmuggleTheirBodies) {
  ASSERT_EQ(::access(nginx_binary.c_str(), X_OK), 0) << "nginx-light is installed by scripts/setup";
  Backends backends;
  ASSERT_TRUE(backends.ready());
  ReverseProxy proxy(backends.ports());
  ASSERT_TRUE(proxy.ready()) << proxy.error_log();

  const std::string hidden = "GET /v1/smuggled HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const struct {
    std::string request;
    int status;
  } early[] = {
      {http_request("POST", "/v1/scan", {{"Content-Type", "text/plain"}}, hidden), 400},
      {http_request("POST", "/v1/none", {{"Content-Type", octet}}, hidden), 404},
  };
  constexpr int per_thread = 40;
  std::atomic<int> scans_failed{0}, early_wrong{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < per_thread; ++i) {
        if (t % 2 == 0) {
          scans_failed += status_of(proxy.port(), scan) != 200;
        } else {
          const auto& e = early[(t / 2 + i) % 2];
          early_wrong += status_of(proxy.port(), e.request) != e.status;
        }
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(scans_failed, 0) << "scans that failed, of " << 4 * per_thread << "\n" << proxy.error_log();
  EXPECT_EQ(early_wrong, 0) << "early answers that were not 400/404, of " << 4 * per_thread;
  std::string logs = backends.first.process().err() + backends.second.process().err();
  EXPECT_NE(logs.find("Header: POST /v1/none"), std::string::npos) << "served requests are logged";
  EXPECT_EQ(logs.find("/v1/smuggled"), std::string::npos) << logs;
}
