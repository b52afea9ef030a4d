// The daemon behind a real reverse proxy: nginx on loopback pooling kept-alive connections to
// two daemons, with its default failure accounting (max_fails=1, fail_timeout=10s), so a
// backend that closes without an answer is taken out of the pool for every other client.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "tests/support/fixtures.hpp"

using namespace kelto::test;

namespace {

const std::string octet = "application/octet-stream";

// nginx, with its own prefix, pid file, logs and temporary directories, in front of two daemons
// that share one stand-in engine.
class ReverseProxy {
 public:
  ReverseProxy() : listen_port(free_tcp_port()) {
    // Run by root, the workers are nobody: they must be able to enter the prefix.
    ::chmod(dir.path().c_str(), 0755);
    const std::string p = dir.path();
    const std::string conf = fmt::format(R"(daemon off; worker_processes 1; pid {p}/nginx.pid;
error_log {p}/error.log info;
events {{ worker_connections 256; }}
http {{
  access_log {p}/access.log;
  client_body_temp_path {p}/client_body; proxy_temp_path {p}/proxy; fastcgi_temp_path {p}/fastcgi;
  uwsgi_temp_path {p}/uwsgi; scgi_temp_path {p}/scgi;
  upstream kelto {{ server 127.0.0.1:{first}; server 127.0.0.1:{second}; keepalive 8; }}
  server {{
    listen 127.0.0.1:{port};
    # Uploads of any size, passed on as they arrive.
    client_max_body_size 0;
    location / {{
      proxy_pass http://kelto; proxy_http_version 1.1; proxy_set_header Connection "";
      proxy_request_buffering off;
    }}
  }}
}}
)", fmt::arg("p", p), fmt::arg("first", first.port()), fmt::arg("second", second.port()),
                                         fmt::arg("port", listen_port));
    proc = Process::start({"/usr/sbin/nginx", "-p", p, "-e", p + "/error.log", "-c", dir.write("nginx.conf", conf)});
    started = first.ready() && second.ready() && wait_for_port(listen_port, 10s);
  }
  ~ReverseProxy() {
    // The master stops its workers; killed, it would leave them serving.
    proc.signal(SIGTERM);
    proc.wait_exit(10s);
  }

  bool ready() const { return started; }
  std::string error_log() const { return read_file(dir.file("error.log")); }
  std::string backend_logs() { return first.process().err() + second.process().err(); }

  // One request on a connection of its own, as one more client; 0 when no answer came.
  int status_of(const std::string& request) const {
    HttpConnection conn(listen_port);
    const auto response = conn.send(request) ? conn.read_response(10s) : std::nullopt;
    return response ? response->status : 0;
  }

 private:
  TestEngine engine;
  Daemon first{engine.daemon_config()};
  Daemon second{engine.daemon_config()};
  TempDir dir;
  uint16_t listen_port;
  Process proc;
  bool started = false;
};

}  // namespace

// One malformed request, passed on by nginx and refused by the daemon, then many clients at
// once: scans, and posts answered early whose unread bodies are each a whole request, which
// must never be served. The refusal is answered and no other client's request fails.
TEST(ReverseProxy, RefusedAndEarlyAnsweredRequestsLeaveOtherClientsServed) {
  const std::string get = "GET /v1/scan HTTP/1.1\r\nHost: localhost\r\n";
  const std::string hidden = "GET /v1/smuggled HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const std::pair<std::string, int> mix[] = {
      {http_request("POST", "/v1/scan", {{"Content-Type", octet}}, std::string(1024, 's')), 200},
      {http_request("POST", "/v1/scan", {{"Content-Type", "text/plain"}}, hidden), 400},
      {http_request("POST", "/v1/none", {{"Content-Type", octet}}, hidden), 404},
  };
  const std::pair<std::string, int> refused[] = {
      {get + "X-Note: a\x01z\r\n\r\n", 400},
      {get + "X-One: " + std::string(5000, 'a') + "\r\nX-Two: " + std::string(5000, 'b') + "\r\n\r\n", 431},
  };
  for (const auto& [request, status] : refused) {
    SCOPED_TRACE(status);
    // A proxy of its own: its memory of failed backends starts empty.
    ReverseProxy proxy;
    ASSERT_TRUE(proxy.ready()) << "nginx-light is installed by scripts/setup\n" << proxy.error_log();
    EXPECT_EQ(proxy.status_of(request), status) << proxy.error_log();
    std::atomic<int> failed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
      clients.emplace_back([&, t] {
        for (int i = 0; i < 30; ++i) {
          const auto& [mixed, expected] = mix[(t + i) % 3];
          failed += proxy.status_of(mixed) != expected;
        }
      });
    }
    for (auto& c : clients) c.join();
    EXPECT_EQ(failed, 0) << "requests of other clients answered wrongly, of 240\n" << proxy.error_log();
    const std::string logs = proxy.backend_logs();
    EXPECT_NE(logs.find("Header: POST /v1/none"), std::string::npos) << "served requests are logged";
    EXPECT_EQ(logs.find("/v1/smuggled"), std::string::npos) << logs;
  }
}
