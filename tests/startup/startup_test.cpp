#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <regex>
#include <thread>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "ktu/log/log.hpp"
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "service/event_loop.hpp"
#include "service/options.hpp"
#include "tests/support/fixtures.hpp"

namespace {

using namespace std::chrono_literals;
using kelto::test::Daemon;
using kelto::test::NotifySocket;
using kelto::test::Process;
using kelto::test::TempDir;
using kelto::test::build_path;

// Captures log events as "LEVEL component: message".
class CaptureSink : public ktu::log::LogSink {
 public:
  void log(ktu::log::EventData& data) override {
    static const char* names[] = {"TRACE", "DEBUG", "INFO", "NOTICE", "WARNING", "ERROR", "FATAL"};
    const int level = static_cast<int>(data.event.get_level());
    lines.push_back(fmt::format("{} {}: {}", names[level + 1], data.event.get_component(),
                                data.event.get_description()));
  }
  std::vector<std::string> lines;
};

struct Captured {
  Captured() { ktu::log::get_global_configuration().add_sink(sink, ktu::log::Level::DEBUG); }
  ~Captured() { ktu::log::get_global_configuration().remove_sink(sink); }
  std::shared_ptr<CaptureSink> sink = std::make_shared<CaptureSink>();
};

const std::string kUsage =
    "Product: Kelto 4.7.0\n"
    "Usage: kelto-rest (-V | -h)\n"
    "       kelto-rest [-qvsJLP] [-l ADDRESS] [-p PORT] [-c SCANNERS] [-t THREADS] [-c SCANNERS]\n";

// Every field of the record in one line, so that a table can compare whole records.
std::string describe(const Options& o) {
  return fmt::format(
      "listen={} port={} threads={} dont_route={} recv_timeout={} engine_socket={} "
      "conn_pool={} max_queued={} server_side_paths={} full_files={} archives={} pup={} "
      "heuristics={} detections={} verbosity={} quiet={} json_log={} config_path={}",
      o.listen, o.port, o.threads, o.dont_route, o.recv_timeout, o.engine_socket, o.conn_pool,
      o.max_queued, o.server_side_paths, o.full_files, o.archives, o.pup, o.heuristics,
      o.detections, o.verbosity, o.quiet, o.json_log, o.config_path);
}

// The built-in defaults, written out rather than taken from the record itself.
const std::string kDefaults =
    "listen=127.0.0.1 port=8080 threads=8 dont_route=false recv_timeout=300 "
    "engine_socket=/run/kelto/emsg.sock conn_pool=32 max_queued=1024 server_side_paths=false "
    "full_files=false archives=true pup=false heuristics=80 detections=false verbosity=0 "
    "quiet=false json_log=false config_path=/etc/kelto/rest.conf";

// parse_args on `args` (after the program name).
Options parsed(std::vector<std::string> args) {
  args.insert(args.begin(), "kelto-rest");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Options options;
  parse_args(options, static_cast<int>(args.size()), argv.data());
  return options;
}

TEST(Options, DefaultsAreTheDocumentedValues) { EXPECT_EQ(describe(Options{}), kDefaults); }

TEST(ConfigFile, EveryKeyAndEveryWarning) {
  TempDir dir;
  const std::string path = dir.write("rest.conf",
                                     "[server]\n"
                                     "listen = 10.1.2.3\n"
                                     "port = \"9090\"\n"
                                     "port = 9091\n"
                                     "threads = 0\n"
                                     "threads = 3\n"
                                     "dont_route = yes\n"
                                     "recv_timeout = soon\n"
                                     "recv_timeout = 2147483648\n"
                                     "recv_timeout = 0\n"
                                     "recv_timeout = 60\n"
                                     "bogus = 1\n"
                                     "[engine]\n"
                                     "conn_pool = -1\n"
                                     "conn_pool = 0\n"
                                     "conn_pool = 4\n"
                                     "max_queued = 4294967295\n"
                                     "[scanner]\n"
                                     "server_side_paths = nope\n"
                                     "full_files = on\n"
                                     "archives = maybe\n"
                                     "pup = \"\"\n"
                                     "heuristics = 150\n"
                                     "detections = T\n"
                                     "[Server]\n"
                                     "port = 1\n"
                                     "[engine\n"
                                     "port = 70000\n");
  Options options;
  Captured log;
  parse_config(options, path);

  EXPECT_EQ(options.listen, "10.1.2.3");
  EXPECT_EQ(options.port, 9091);
  EXPECT_EQ(options.threads, 3);
  EXPECT_TRUE(options.dont_route);
  EXPECT_EQ(options.recv_timeout, 60);
  EXPECT_EQ(options.conn_pool, 4u);
  EXPECT_EQ(options.max_queued, 4294967295u);
  EXPECT_FALSE(options.server_side_paths);
  EXPECT_TRUE(options.full_files);
  EXPECT_TRUE(options.archives);
  EXPECT_FALSE(options.pup);
  EXPECT_EQ(options.heuristics, 100);
  EXPECT_TRUE(options.detections);
  EXPECT_EQ(log.sink->lines,
            (std::vector<std::string>{
                "INFO options: Loading " + path,
                "WARNING options: Ignoring config option: port = 9090 (requires integer value)",
                "WARNING options: Ignoring config option: threads = 0 (integer out of range)",
                "WARNING options: Ignoring config option: recv_timeout = soon (requires integer value)",
                "WARNING options: Ignoring config option: recv_timeout = 2147483648 (integer out of range)",
                "WARNING options: Ignoring config option: recv_timeout = 0 (integer out of range)",
                "WARNING options: Unknown config option: [server] bogus = 1",
                "WARNING options: Ignoring config option: conn_pool = -1 (integer out of range)",
                "WARNING options: Ignoring config option: conn_pool = 0 (integer out of range)",
                "WARNING options: Ignoring config option: server_side_paths = nope (requires boolean value)",
                "WARNING options: Ignoring config option: archives = maybe (requires boolean value)",
                "WARNING options: Integer out of range: [scanner] heuristics = 150",
                "WARNING options: Unknown config option: [Server] port = 1",
                "ERROR options: Error parsing config: " + path +
                    ":27:8: parse error matching tao::pegtl::ascii::one<']'>\n[engine\n       ^",
                "ERROR options: Error parsing config: " + path +
                    ":27:1: invalid line, expected '[section]' or 'key=value' or a comment\n"
                    "[engine\n^",
                // The bad section line leaves [Server] in force.
                "WARNING options: Unknown config option: [Server] port = 70000",
            }));
}

TEST(ConfigFile, BooleansClampsAndMissingFile) {
  TempDir dir;
  struct Case {
    std::string line;
    bool archives;
    int heuristics;
    bool warned;
  };
  const std::vector<Case> cases = {
      {"archives = off", false, 80, false},   {"archives = 0", false, 80, false},
      {"archives = ", false, 80, false},       {"archives = no", false, 80, false},
      {"archives = off\narchives = word", false, 80, true}, {"archives = 7", true, 80, false},
      {"heuristics = -3", true, 0, true},      {"heuristics = 5\nheuristics = high", true, 5, true},
      {"heuristics = on", true, 80, true},     {"heuristics = 100", true, 100, false},
      {"heuristics = 0", true, 0, false},      {"heuristics = 99999999999999999999", true, 80, true},
  };
  for (const auto& c : cases) {
    Options options;
    Captured log;
    parse_config(options, dir.write("c.conf", "[scanner]\n" + c.line + "\n"));
    EXPECT_EQ(options.archives, c.archives) << c.line;
    EXPECT_EQ(options.heuristics, c.heuristics) << c.line;
    EXPECT_EQ(log.sink->lines.size(), c.warned ? 2u : 1u) << c.line;
  }

  // A missing file: one warning, the earlier values stay.
  Options options;
  options.port = 1234;
  Captured log;
  parse_config(options, dir.file("absent.conf"));
  EXPECT_EQ(options.port, 1234);
  EXPECT_EQ(log.sink->lines,
            (std::vector<std::string>{"INFO options: Loading " + dir.file("absent.conf"),
                                      "WARNING options: Could not read config file."}));
}

TEST(ConfigFile, OverridesTheCommandLine) {
  TempDir dir;
  const std::string path =
      dir.write("rest.conf", "[server]\nport = 9090\nlisten = ::1\n[engine]\nconn_pool = 2\n");
  std::vector<std::string> args{"kelto-rest", "-p", "8081", "-l", "127.0.0.2", "-t", "3",
                                "-C", "5", "-c", path, "-vvs", "-L", "-P"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Options options;
  parse_args(options, static_cast<int>(args.size()), argv.data());
  EXPECT_EQ(options.port, 8081);
  EXPECT_EQ(options.config_path, path);
  Captured log;
  parse_config(options, options.config_path);
  EXPECT_EQ(options.port, 9090);
  EXPECT_EQ(options.listen, "::1");
  EXPECT_EQ(options.conn_pool, 2u);
  EXPECT_EQ(options.threads, 3);
  EXPECT_EQ(options.verbosity, 1);
  EXPECT_TRUE(options.dont_route);
  EXPECT_TRUE(options.server_side_paths);
}

TEST(CommandLine, LongFormsSetWhatTheShortFormsSet) {
  // The engine socket is the fixed path unless the test seam names another.
  ::unsetenv("KELTO_ENGINE_SOCKET");
  TempDir dir;
  const std::string log_conf = dir.write("log.conf", "[json_log]\n");
  struct Case {
    std::vector<std::string> long_form, short_form;
    void (*expect)(Options&);
  };
  const std::vector<Case> cases = {
      {{"--listen", "::1"}, {"-l", "::1"}, [](Options& o) { o.listen = "::1"; }},
      {{"--port=9"}, {"-p9"}, [](Options& o) { o.port = 9; }},
      {{"--threads", "3"}, {"-t", "3"}, [](Options& o) { o.threads = 3; }},
      {{"--dont-route"}, {"-L"}, [](Options& o) { o.dont_route = true; }},
      {{"--scanners", "5"}, {"-C", "5"}, [](Options& o) { o.conn_pool = 5; }},
      {{"--server-side-paths"}, {"-P"}, [](Options& o) { o.server_side_paths = true; }},
      {{"--verbose", "--verbose", "--silent"}, {"-vvs"}, [](Options& o) { o.verbosity = 1; }},
      {{"--silent"}, {"-s"}, [](Options& o) { o.verbosity = -1; }},
      {{"--quiet"}, {"-q"}, [](Options& o) { o.quiet = true; }},
      {{"--json-log=" + log_conf}, {"-J", log_conf}, [](Options& o) { o.json_log = true; }},
      {{"--config", "/x.conf"}, {"-c", "/x.conf"}, [](Options& o) { o.config_path = "/x.conf"; }},
  };
  for (const auto& c : cases) {
    Options expected;
    c.expect(expected);
    const std::string what = fmt::format("{}", fmt::join(c.long_form, " "));
    EXPECT_EQ(describe(parsed(c.long_form)), describe(expected)) << what;
    EXPECT_EQ(describe(parsed(c.short_form)), describe(expected)) << what;
  }
}

struct RunResult {
  std::string out, err;
  int status;
};

RunResult run_binary(const std::vector<std::string>& args) {
  std::vector<std::string> argv{build_path("kelto-rest")};
  argv.insert(argv.end(), args.begin(), args.end());
  Process p = Process::start(argv, {}, {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"});
  const auto status = p.wait_exit(20s);
  return {p.out(), p.err(), status.value_or(-1)};
}

TEST(CommandLine, VersionHelpAndBadInput) {
  const std::string help =
      "\n"
      "Server options:\n"
      "  -l, --listen ADDRESS          listen on this local IP address\n"
      "  -p, --port PORT               listen on this port\n"
      "  -t, --threads THREADS         number of server threads\n"
      "  -L, --dont-route              prevent routing (SO_DONTROUTE)\n"
      "Scanner options:\n"
      "  -C, --scanners SCANNERS       size of concurrent scanner pool\n"
      "  -P, --server-side-paths       allow requests to scan server-side paths\n"
      "General options:\n"
      "  -q, --quiet                   do not log to stderr\n"
      "  -v, --verbose                 increase log level (affects also log file)\n"
      "  -s, --silent                  decrease log level (affects also log file)\n"
      "  -J, --json-log [PATH]         switch stderr log to JSON format, using config at PATH "
      "(default: /etc/kelto/log.conf)\n"
      "  -c, --config PATH             load config file from this path (default: "
      "/etc/kelto/rest.conf\n"
      "  -V, --version                 print product version\n"
      "  -h, --help                    print this help\n";
  // The option scanner's own diagnostics name the program as it was started.
  const std::string ARGV0 = build_path("kelto-rest");
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
    int status;
  };
  const std::vector<Case> cases = {
      {{"-V"}, "4.7.0\n", "", 0},
      {{"--version", "-h"}, "4.7.0\n", "", 0},
      {{"-h"}, kUsage + help, "", 0},
      {{"--help"}, kUsage + help, "", 0},
      {{"-x", "-V"}, "\n" + kUsage, ARGV0 + ": invalid option -- 'x'\n", 1},
      {{"--bogus"}, "\n" + kUsage, ARGV0 + ": unrecognized option '--bogus'\n", 1},
      {{"-p"}, "\n" + kUsage, ARGV0 + ": option requires an argument -- 'p'\n", 1},
      {{"-p", "70000", "-V"}, kUsage, "Error parsing --port: 70000\n", 1},
      {{"--port=-1"}, kUsage, "Error parsing --port: -1\n", 1},
      {{"-p", "80x"}, kUsage, "Error parsing --port: 80x\n", 1},
      {{"-p", ""}, kUsage, "Error parsing --port: \n", 1},
      {{"-p", "0x50"}, kUsage, "Error parsing --port: 0x50\n", 1},
      {{"-p", "+8080", "-V"}, "4.7.0\n", "", 0},
      {{"-p", " 65535", "-V"}, "4.7.0\n", "", 0},
      {{"-t", "2147483648"}, kUsage, "Error parsing --threads: 2147483648\n", 1},
      {{"-t", "0"}, kUsage, "Error parsing --threads: 0\n", 1},
      {{"--threads", "-4"}, kUsage, "Error parsing --threads: -4\n", 1},
      {{"-C", "0"}, kUsage, "Error parsing --scanners: 0\n", 1},
      {{"-C", "-1"}, kUsage, "Error parsing --scanners: -1\n", 1},
      {{"--scanners", "4294967296"}, kUsage, "Error parsing --scanners: 4294967296\n", 1},
      {{"-C", "4294967295", "-t", "1", "-V"}, "4.7.0\n", "", 0},
  };
  for (const auto& c : cases) {
    const RunResult r = run_binary(c.args);
    const std::string what = fmt::format("{}", fmt::join(c.args, " "));
    EXPECT_EQ(r.out, c.out) << what;
    EXPECT_EQ(r.err, c.err) << what;
    EXPECT_EQ(r.status, c.status) << what;
  }
}

TEST(Lifecycle, InvalidListenAddressEndsBeforeReadiness) {
  TempDir dir;
  for (const std::string address : {"localhost", "1.2.3", "::g", ""}) {
    Daemon::Config config;
    config.args = {"-c", dir.file("absent.conf"), "-l", address};
    config.wait_ready = false;
    Daemon daemon(config);
    EXPECT_EQ(daemon.process().wait_exit(20s), 1) << address;
    EXPECT_FALSE(daemon.notify().recv(0ms).has_value()) << address;
    EXPECT_NE(daemon.process().err().find("ERROR   main: Invalid listen address: " + address + "\n"),
              std::string::npos)
        << daemon.process().err();
  }
}

// Collects the notifications of one daemon with their arrival times.
std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> collect(
    NotifySocket& socket, std::size_t count, std::chrono::milliseconds timeout) {
  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    if (auto m = socket.recv(100ms)) got.emplace_back(*m, std::chrono::steady_clock::now());
  }
  return got;
}

TEST(Systemd, ReadyThenKeepAlivesEveryHalfInterval) {
  TempDir dir;
  NotifySocket socket;
  const auto port = kelto::test::free_tcp_port();
  // The shell's pid is the daemon's after exec, so WATCHDOG_PID names the daemon itself.
  const std::string command = fmt::format(
      "WATCHDOG_PID=$$ exec {} -l 127.0.0.1 -p {} -t 2 -c {}", build_path("kelto-rest"), port,
      dir.file("absent.conf"));
  const auto start = std::chrono::steady_clock::now();
  // A period of 600 ms: keep-alives every 300 ms.
  Process p = Process::start({"/bin/sh", "-c", command},
                             {"NOTIFY_SOCKET=" + socket.path(), "WATCHDOG_USEC=600000"},
                             {"WATCHDOG_PID"});
  const auto got = collect(socket, 6, 20s);
  ASSERT_EQ(got.size(), 6u) << p.err();
  EXPECT_EQ(got[0].first, "READY=1\n");
  for (std::size_t i = 1; i < got.size(); ++i) {
    EXPECT_EQ(got[i].first, "WATCHDOG=1\n");
    // Each wait starts when the previous one ends, so the k-th keep-alive can never come
    // before k intervals (of 300 ms) have passed since the start.
    EXPECT_GE(got[i].second - start, i * 300ms) << i;
  }
  // And not much later: half the period, not the whole (600 ms), give or take a loaded
  // machine; the gaps cannot be shorter than the interval, so the average measures the delay.
  const auto average = (got.back().second - got[1].second) / 4;
  EXPECT_LT(average, 450ms);
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait_exit(20s), 0);
}

TEST(Systemd, OnlyReadyWithoutWatchdogOrForAnotherProcess) {
  TempDir dir;
  const std::vector<std::vector<std::string>> envs = {
      {},
      {"WATCHDOG_USEC=200000", "WATCHDOG_PID=1"},  // meant for another process
  };
  for (const auto& env : envs) {
    Daemon::Config config;
    config.args = {"-c", dir.file("absent.conf"), "-t", "1"};
    config.env = env;
    Daemon daemon(config);
    ASSERT_TRUE(daemon.ready());
    EXPECT_FALSE(daemon.notify().recv(1s).has_value());
    EXPECT_EQ(daemon.stop(), 0);
  }
}

}  // namespace

namespace {

// Lines of `text` that contain `needle`.
std::vector<std::string> lines_with(const std::string& text, const std::string& needle) {
  std::vector<std::string> found;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.find(needle) != std::string::npos) found.push_back(line);
    start = end + 1;
  }
  return found;
}

TEST(Lifecycle, SignalsStopWithStatusZero) {
  TempDir dir;
  for (const int sig : {SIGTERM, SIGINT}) {
    Daemon::Config config;
    config.args = {"-c", dir.file("absent.conf"), "-t", "4"};
    Daemon daemon(config);
    ASSERT_TRUE(daemon.ready());
    daemon.process().signal(sig);
    EXPECT_EQ(daemon.process().wait_exit(20s), 0);
    const auto quit = lines_with(daemon.process().err(), "Quit (signal");
    ASSERT_EQ(quit.size(), 1u) << daemon.process().err();
    EXPECT_NE(quit[0].find(fmt::format(" INFO    main: Quit (signal {})", sig)), std::string::npos)
        << quit[0];
  }
}

TEST(Logging, LevelsQuietAndJsonWithItsConfigurationFile) {
  TempDir dir;
  const std::string absent = dir.file("absent.conf");
  const std::string log_conf =
      dir.write("log.conf",
                "[json_log]\n"
                "level_key = lvl\n"
                "message_key = \"m\\\"sg\"\n"
                "component_key = 5\n"
                "Level_Key = x\n"
                "[JSON_LOG]\n"
                "timestamp_key = t\n"
                "[json_log\n");
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> expected_in_err;
    std::vector<std::string> absent_from_err;
  };
  const std::string read_warning = "options: Could not read config file.";
  const std::vector<Case> cases = {
      {{}, {"INFO    options: Loading " + absent, "WARNING " + read_warning}, {}},
      // Two "-s": WARNING and up only.
      {{"-s", "-s"}, {"WARNING " + read_warning}, {"Loading", "Quit"}},
      {{"-s", "-s", "-s"}, {}, {"Could not read", "Quit"}},
      {{"-v", "-s"}, {"INFO    options: Loading"}, {}},
      {{"-q"}, {}, {"Loading", "Could not", "Quit"}},
      {{"-J", log_conf},
       {log_conf + ": Unknown config option: [json_log] Level_Key = x\n",
        log_conf + ": Unknown config option: [JSON_LOG] timestamp_key = t\n",
        "Error parsing config: " + log_conf +
            ":8:10: parse error matching tao::pegtl::ascii::one<']'>\n[json_log\n         ^\n",
        "\"lvl\":\"WARNING\",\"5\":\"options\",\"m\\\"sg\":\"Could not read config file.\"}"},
       {"\"level\"", "\"message\""}},
      {{"--json-log=" + dir.file("missing-log.conf")},
       {"Could not read config file: " + dir.file("missing-log.conf") + "\n",
        "\"level\":\"INFO\",\"component\":\"main\",\"message\":\"Quit (signal 15)\"}"},
       {}},
      // Only JSON when asked; "-q" drops standard error even then.
      {{"-q", "-J", log_conf}, {"Unknown config option: [json_log] Level_Key"}, {"lvl", "Quit"}},
  };
  for (const auto& c : cases) {
    Daemon::Config config;
    config.args = {"-c", absent};
    config.args.insert(config.args.end(), c.args.begin(), c.args.end());
    Daemon daemon(config);
    ASSERT_TRUE(daemon.ready());
    EXPECT_EQ(daemon.stop(), 0);
    const std::string err = daemon.process().err();
    const std::string what = fmt::format("{}", fmt::join(c.args, " "));
    for (const auto& s : c.expected_in_err) EXPECT_NE(err.find(s), std::string::npos) << what << "\n" << err;
    for (const auto& s : c.absent_from_err) EXPECT_EQ(err.find(s), std::string::npos) << what << "\n" << err;
  }
}

// Runs the daemon with its own /dev in a private mount namespace, where /dev/log is the
// socket given as the second word: "$1" is an empty directory for that /dev.
const char* const kPrivateDevLog =
    "set -e\n"
    "dev=$1; log=$2; shift 2\n"
    "mount -t tmpfs -o mode=0755 kelto-test-dev \"$dev\"\n"
    "for node in null zero full random urandom; do\n"
    "  if [ -e /dev/$node ]; then : > \"$dev/$node\"; mount --bind /dev/$node \"$dev/$node\"; fi\n"
    "done\n"
    ": > \"$dev/log\"\n"
    "mount --bind \"$log\" \"$dev/log\"\n"
    "mount --move \"$dev\" /dev\n"
    "exec \"$@\"\n";

TEST(Logging, SyslogGetsEveryLineAtItsPriorityWhateverStandardErrorDoes) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("dev"));
  NotifySocket syslog;  // a datagram socket, as the system logger's
  std::string unshare;
  for (const char* candidate : {"/usr/bin/unshare", "/bin/unshare"}) {
    if (std::filesystem::exists(candidate)) unshare = candidate;
  }
  if (unshare.empty()) GTEST_SKIP() << "no unshare(1): cannot give the daemon a private /dev/log";
  const std::vector<std::string> wrapper{unshare,        "-m", "/bin/sh", "-c", kPrivateDevLog,
                                         "sh",           dir.file("dev"), syslog.path()};
  {
    std::vector<std::string> probe = wrapper;
    probe.push_back("/bin/true");
    Process p = Process::start(probe);
    if (p.wait_exit(20s) != 0) {
      GTEST_SKIP() << "a private mount namespace with its own /dev/log is not permitted here: "
                   << p.err();
    }
  }

  // A line of the file the parser does not know (WARNING) and one it cannot read (ERROR).
  const std::string conf = dir.write("rest.conf", "[server]\nbogus = 1\n[broken\n");
  constexpr int kDebug = 7, kInfo = 6, kWarning = 4, kError = 3;
  struct Line {
    int severity;
    std::string text;  // "component: message"
    bool whole = true;  // or only its start
  };
  const Line loading{kInfo, "options: Loading " + conf};
  const Line unknown{kWarning, "options: Unknown config option: [server] bogus = 1"};
  const Line broken{kError, "options: Error parsing config: " + conf + ":3:8: ", false};
  const Line header{kInfo, "Request: Header: GET /elsewhere (", false};
  const Line header_read{kDebug, "Session: [", false};
  const Line quit{kInfo, "main: Quit (signal 15)"};
  struct Case {
    std::vector<std::string> args;
    std::vector<Line> present;
    std::vector<int> absent_severities;
    bool on_stderr;
    bool stderr_reader_gone = false;  // standard error is a pipe nobody reads any more
  };
  const std::vector<Case> cases = {
      {{}, {loading, unknown, broken, header, quit}, {kDebug}, true},
      {{"-q"}, {loading, unknown, broken, header, quit}, {kDebug}, false},
      {{"-J", dir.file("absent-log.conf")}, {loading, unknown, broken, header, quit}, {kDebug}, true},
      {{"-v"}, {loading, unknown, broken, header, header_read, quit}, {}, true},
      {{"-s"}, {unknown, broken}, {kDebug, kInfo}, true},
      {{"-q", "-s", "-s", "-s"}, {broken}, {kDebug, kInfo, kWarning}, false},
      // Every write to standard error fails: syslog, the sink after it, still gets each line.
      {{}, {loading, unknown, broken, header, quit}, {kDebug}, false, true},
  };
  for (const auto& c : cases) {
    const std::string what = fmt::format("{}", fmt::join(c.args, " "));
    // The socket holds only a few datagrams: read it while the daemon runs, or it would wait.
    std::vector<std::string> received;
    std::atomic<bool> done{false};
    std::thread reader([&] {
      while (!done) {
        if (auto m = syslog.recv(20ms)) received.push_back(*m);
      }
      while (auto m = syslog.recv(0ms)) received.push_back(*m);
    });
    Daemon::Config config;
    config.wrapper = wrapper;
    config.args = {"-c", conf};
    config.args.insert(config.args.end(), c.args.begin(), c.args.end());
    int pipe_fds[2] = {-1, -1};
    if (c.stderr_reader_gone) {
      ASSERT_EQ(::pipe(pipe_fds), 0);
      ::close(pipe_fds[0]);
      config.stderr_fd = pipe_fds[1];
    }
    Daemon daemon(config);
    if (pipe_fds[1] >= 0) ::close(pipe_fds[1]);
    EXPECT_TRUE(daemon.ready()) << what << "\n" << daemon.process().err();
    if (daemon.ready()) {
      auto client = daemon.connect();
      EXPECT_TRUE(client.send(kelto::test::http_request("GET", "/elsewhere")));
      EXPECT_TRUE(client.read_response().has_value()) << what;
    }
    EXPECT_EQ(daemon.stop(), 0) << what;
    done = true;
    reader.join();

    // "<priority>Mmm dd hh:mm:ss kelto-rest[pid]: component: message"
    static const std::regex format(R"(<(\d+)>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d ([^\[]*)\[(\d+)\]: ([^]*))");
    std::vector<Line> lines;
    for (const auto& datagram : received) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(datagram, m, format)) << what << ": " << datagram;
      EXPECT_EQ(m[2], "kelto-rest") << datagram;
      EXPECT_EQ(std::stoi(m[3]), daemon.process().pid()) << datagram;
      const int priority = std::stoi(m[1]);
      EXPECT_EQ(priority >> 3, 1) << "user facility: " << datagram;
      lines.push_back({priority & 7, m[4].str()});
    }
    for (const auto& expected : c.present) {
      const bool found = std::any_of(lines.begin(), lines.end(), [&](const Line& l) {
        return l.severity == expected.severity &&
               (expected.whole ? l.text == expected.text : l.text.rfind(expected.text, 0) == 0);
      });
      EXPECT_TRUE(found) << what << ": no line " << expected.severity << " \"" << expected.text
                         << "\" in\n" << fmt::format("{}", fmt::join(received, "\n"));
    }
    for (const auto& l : lines) {
      for (const int severity : c.absent_severities) {
        EXPECT_NE(l.severity, severity) << what << ": " << l.text;
      }
    }
    const std::string err = daemon.process().err();
    EXPECT_EQ(err.find("Error parsing config: ") != std::string::npos, c.on_stderr)
        << what << "\n" << err;
  }
}

TEST(Logging, DefaultLogConfigurationAndItsWordArgument) {
  // "-J" followed by a word takes it as the path; followed by an option it reads the
  // default file, whose absence is not reported.
  TempDir dir;
  const std::string log_conf = dir.write("log.conf", "[json_log]\nlevel_key = severity\n");
  std::vector<std::string> argv_words{"kelto-rest", "-J", log_conf, "-p", "1"};
  std::vector<char*> argv;
  for (auto& a : argv_words) argv.push_back(a.data());
  argv.push_back(nullptr);
  Options options;
  parse_args(options, static_cast<int>(argv_words.size()), argv.data());
  EXPECT_TRUE(options.json_log);
  EXPECT_EQ(options.port, 1);

  Daemon::Config config;
  config.args = {"-c", dir.file("absent.conf"), "-J", "-v"};
  Daemon daemon(config);
  ASSERT_TRUE(daemon.ready());
  EXPECT_EQ(daemon.stop(), 0);
  const std::string err = daemon.process().err();
  EXPECT_EQ(err.find("Could not read config file: "), std::string::npos) << err;
  EXPECT_EQ(err.rfind("{\"timestamp\":", 0), 0u) << err;
}

TEST(Logging, AStandardErrorReaderThatGoesAwayNeverEndsTheService) {
  // As "kelto-rest 2>&1 | head -1": the reader takes one line and exits. Later log lines
  // are lost, but every request is still answered and the process runs on.
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  kelto::test::TestEngine engine;
  TempDir dir;
  Daemon::Config config;
  config.args = {"-c", dir.write("rest.conf", "")};
  config.engine_socket = engine.socket_path();
  config.stderr_fd = pipe_fds[1];
  Daemon daemon(config);
  ::close(pipe_fds[1]);
  ASSERT_TRUE(daemon.ready());
  std::string first_line;
  char c;
  while (first_line.size() < 4096 && ::read(pipe_fds[0], &c, 1) == 1 && c != '\n') first_line += c;
  ::close(pipe_fds[0]);
  EXPECT_NE(first_line.find("options: Loading "), std::string::npos) << first_line;

  const std::string scan = kelto::test::http_request(
      "POST", "/v1/scan", {{"Content-Type", "application/octet-stream"}}, std::string_view("hello"));
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    kelto::test::HttpConnection conn(daemon.port());  // each connection logs several lines
    ASSERT_TRUE(conn.send(scan));
    const auto response = conn.read_response(20s);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->body.rfind("{\"issues\":[],", 0), 0u) << response->body;
  }
  EXPECT_TRUE(daemon.process().running());
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(Packaging, SampleConfigurationHoldsEveryDefault) {
  // Uncommenting every key of the sample gives exactly the built-in defaults, silently.
  const std::string sample = kelto::test::read_file(kelto::test::source_path("packaging/rest.conf"));
  std::string active;
  std::size_t start = 0, keys = 0;
  while (start < sample.size()) {
    auto end = sample.find('\n', start);
    if (end == std::string::npos) end = sample.size();
    std::string line = sample.substr(start, end - start);
    if (line.size() > 1 && line[0] == '#' && line.find(" = ") != std::string::npos &&
        line[1] != ' ') {
      line.erase(0, 1);
      ++keys;
    }
    active += line + "\n";
    start = end + 1;
  }
  EXPECT_EQ(keys, 13u);
  TempDir dir;
  Options options;
  options.listen = "x";
  options.port = 1;
  options.threads = 2;
  options.dont_route = true;
  options.recv_timeout = 1;
  options.conn_pool = 1;
  options.max_queued = 1;
  options.server_side_paths = true;
  options.full_files = true;
  options.archives = false;
  options.pup = true;
  options.heuristics = 1;
  options.detections = true;
  Captured log;
  parse_config(options, dir.write("rest.conf", active));
  EXPECT_EQ(describe(options), kDefaults);
  EXPECT_EQ(log.sink->lines.size(), 1u) << fmt::format("{}", fmt::join(log.sink->lines, "\n"));

}

// What an operator gets from an install, with the configured prefix or one given when
// installing: the unit names the binary and the configuration where they were put, the log
// configuration lies beside it, and installing again keeps edited files.
void check_install(const std::string& prefix_option) {
  TempDir stage;
  const std::string install =
      fmt::format("DESTDIR={} cmake --install {} {} >/dev/null", stage.path(), KELTO_BUILD_DIR, prefix_option);
  ASSERT_EQ(std::system(install.c_str()), 0);
  std::string unit_path;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(stage.path())) {
    if (entry.path().filename() == "kelto-rest.service") unit_path = entry.path().string();
  }
  ASSERT_FALSE(unit_path.empty());
  const std::string unit = kelto::test::read_file(unit_path);
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nWatchdogSec="), std::string::npos) << unit;
  const auto exec = unit.find("\nExecStart=");
  ASSERT_NE(exec, std::string::npos) << unit;
  std::istringstream command(unit.substr(exec + 11, unit.find('\n', exec + 1) - exec - 11));
  std::string binary, option, config;
  command >> binary >> option >> config;
  EXPECT_TRUE(std::filesystem::exists(stage.path() + binary)) << binary;
  EXPECT_EQ(option, "-c");
  ASSERT_TRUE(std::filesystem::exists(stage.path() + config)) << config;
  EXPECT_EQ(kelto::test::read_file(stage.path() + config),
            kelto::test::read_file(kelto::test::source_path("packaging/rest.conf")));
  const std::string log_config = std::filesystem::path(stage.path() + config).replace_filename("log.conf");
  EXPECT_EQ(kelto::test::read_file(log_config),
            kelto::test::read_file(kelto::test::source_path("packaging/log.conf")));

  {
    std::ofstream edit(stage.path() + config, std::ios::app);
    edit << "[server]\nport = 9000\n";
  }
  std::ofstream(log_config, std::ios::app) << "# edited\n";
  ASSERT_EQ(std::system(install.c_str()), 0);
  EXPECT_NE(kelto::test::read_file(stage.path() + config).find("port = 9000\n"),
            std::string::npos);
  EXPECT_NE(kelto::test::read_file(log_config).find("# edited\n"), std::string::npos);
}

TEST(Packaging, InstalledUnitStartsTheInstalledBinaryWithTheInstalledConfiguration) {
  for (const std::string prefix_option : {"", "--prefix /usr"}) {
    SCOPED_TRACE(prefix_option);
    check_install(prefix_option);
  }
}

}  // namespace

namespace {

TEST(Lifecycle, ExceptionInACompletionIsLoggedAndTheLoopGoesOn) {
  boost::asio::io_context ioc;
  int ran = 0;
  boost::asio::post(ioc, [] { throw std::runtime_error("handler failed"); });
  boost::asio::post(ioc, [] { throw 42; });
  boost::asio::post(ioc, [&ran] { ++ran; });
  Captured log;
  run_event_loop(ioc);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(log.sink->lines,
            (std::vector<std::string>{"ERROR main: Exception in event loop: handler failed",
                                      "ERROR main: Exception in event loop: unknown exception"}));
}

}  // namespace

namespace {

TEST(Lifecycle, PortInUseEndsWithStatusOneAndNoReadiness) {
  // Hold a listening socket on the port; the daemon cannot bind it.
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const uint16_t port = ntohs(address.sin_port);

  TempDir dir;
  NotifySocket socket;
  Process p = Process::start({build_path("kelto-rest"), "-l", "127.0.0.1", "-p",
                              std::to_string(port), "-c", dir.file("absent.conf")},
                             {"NOTIFY_SOCKET=" + socket.path()}, {"WATCHDOG_USEC", "WATCHDOG_PID"});
  EXPECT_EQ(p.wait_exit(20s), 1) << p.err();
  EXPECT_FALSE(socket.recv(0ms).has_value());
  ::close(holder);
}

TEST(Lifecycle, ConfigurationFileAddressAndPortWinAndOneThreadServes) {
  TempDir dir;
  const uint16_t file_port = kelto::test::free_tcp_port();
  const std::string config_path =
      dir.write("rest.conf", fmt::format("[server]\nlisten = ::1\nport = {}\nthreads = 1\n", file_port));
  Daemon::Config config;
  config.args = {"-c", config_path, "-t", "4"};
  Daemon daemon(config);
  ASSERT_TRUE(daemon.ready()) << daemon.process().err();

  // Nothing on the command line's address and port; the file's IPv6 address serves.
  kelto::test::HttpConnection v4(daemon.port());
  EXPECT_FALSE(v4.connected());
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  address.sin6_port = htons(file_port);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string request = kelto::test::http_request("GET", "/elsewhere");
  ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  char buffer[64] = {};
  ASSERT_GT(::recv(fd, buffer, sizeof buffer - 1, 0), 12);
  EXPECT_EQ(std::string(buffer).substr(0, 12), "HTTP/1.1 404");
  ::close(fd);
  EXPECT_EQ(kelto::test::thread_count(daemon.process().pid()), 1);
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(Lifecycle, RunsAsManyThreadsAsAsked) {
  TempDir dir;
  const std::string absent = dir.file("absent.conf");
  struct Case {
    std::vector<std::string> args;
    int threads;
  };
  const std::vector<Case> cases = {
      {{"-c", absent, "-t", "3"}, 3},
      {{"-c", absent}, 8},
      {{"-c", dir.write("rest.conf", "[server]\nthreads = 5\n"), "-t", "2"}, 5},
  };
  for (const auto& c : cases) {
    Daemon::Config config;
    config.args = c.args;
    Daemon daemon(config);
    ASSERT_TRUE(daemon.ready()) << daemon.process().err();
    // The workers start after readiness is reported.
    const pid_t pid = daemon.process().pid();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (kelto::test::thread_count(pid) < c.threads && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(kelto::test::thread_count(pid), c.threads) << fmt::format("{}", fmt::join(c.args, " "));
    EXPECT_EQ(daemon.stop(), 0);
  }
}

}  // namespace

namespace {

TEST(Lifecycle, StopWithRequestsInFlightAndASecondSignal) {
  // Requests whose bodies are still arriving and a scan that the engine holds: the stop does
  // not wait for them, and they get no response.
  TempDir dir;
  kelto::test::TestEngine engine;
  Daemon::Config config;
  config.args = {"-c", dir.file("absent.conf"), "-t", "3"};
  config.engine_socket = engine.socket_path();
  Daemon daemon(config);
  ASSERT_TRUE(daemon.ready());
  std::vector<kelto::test::HttpConnection> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(daemon.connect());
    ASSERT_TRUE(clients.back().send(
        "POST /v1/scan HTTP/1.1\r\nHost: x\r\nContent-Type: application/octet-stream\r\n"
        "Content-Length: 100000\r\n\r\npartial body"));
  }
  clients.push_back(daemon.connect());
  ASSERT_TRUE(clients.back().send(kelto::test::http_request(
      "POST", "/v1/scan", {{"Content-Type", "application/octet-stream"}}, "#kte hang\n")));
  ASSERT_TRUE(engine.process().wait_for_err("hanging as asked", 20s)) << daemon.process().err();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (lines_with(daemon.process().err(), "Header: POST").size() < 4) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << daemon.process().err();
    std::this_thread::sleep_for(10ms);  // polling the captured log, as the fixtures do
  }

  // SIGINT follows SIGTERM at once and again until the process has gone: while the handler
  // runs, while the loop threads return and while main tears down. Whichever of the two the
  // handler gets first, only that one counts. The pause grows a little each time: a daemon
  // slowed down (under a tracer) reads its signals one system call each, and at a fixed pace it
  // may never get to the end of them.
  daemon.process().signal(SIGTERM);
  for (auto pause = 100us; daemon.process().running() && std::chrono::steady_clock::now() < deadline;
       pause = std::min(pause * 11 / 10, std::chrono::microseconds(10ms))) {
    daemon.process().signal(SIGINT);
    std::this_thread::sleep_for(pause);
  }
  EXPECT_EQ(daemon.process().wait_exit(0ms), 0);
  const std::string err = daemon.process().err();
  const auto quit = lines_with(err, "Quit (signal");
  ASSERT_EQ(quit.size(), 1u) << err;
  EXPECT_TRUE(quit[0].find(" INFO    main: Quit (signal 15)") != std::string::npos ||
              quit[0].find(" INFO    main: Quit (signal 2)") != std::string::npos)
      << quit[0];
  for (auto& client : clients) {
    EXPECT_TRUE(client.peer_closed(10s));
    EXPECT_TRUE(client.pending().empty()) << client.pending();
  }
}

}  // namespace
