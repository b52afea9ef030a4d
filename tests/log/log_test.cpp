#include "ktu/log/log.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "ktu/log/async_sink.hpp"
#include "ktu/log/formatter.hpp"
#include "ktu/log/log_config.hpp"
#include "ktu/log/sinks.hpp"
#include "tests/support/fixtures.hpp"

namespace ktu::log {
namespace {

// Keeps every event's message, so a test can read what a statement produced.
struct RecordingSink : LogSink {
  std::vector<std::string> messages;
  void log(EventData& data) override { messages.push_back(data.event.get_description()); }
};

TEST(LogLevels, MinimumLevelFollowsTheSinkList) {
  Configuration c;
  EXPECT_FALSE(c.is_enabled(Level::TRACE));
  EXPECT_TRUE(c.is_enabled(Level::DEBUG));

  auto info = std::make_shared<RecordingSink>();
  c.add_sink(info, Level::INFO);
  EXPECT_FALSE(c.is_enabled(Level::DEBUG));
  EXPECT_TRUE(c.is_enabled(Level::INFO));

  auto debug = std::make_shared<RecordingSink>();
  c.add_sink(debug, Level::DEBUG);
  c.add_sink(info, Level::ERROR);  // the same sink twice
  EXPECT_TRUE(c.is_enabled(Level::DEBUG));
  c.log_impl(Event(Level::WARNING, "t", "", 0));
  EXPECT_EQ(info->messages.size(), 1u);
  EXPECT_EQ(debug->messages.size(), 1u);

  c.remove_sink(info);  // both entries go
  EXPECT_TRUE(c.is_enabled(Level::DEBUG));
  c.log_impl(Event(Level::ERROR, "t", "", 0));
  EXPECT_EQ(info->messages.size(), 1u);

  c.clear_sinks();
  EXPECT_FALSE(c.is_enabled(Level::FATAL));
  EXPECT_TRUE(c.is_enabled(Level::DISABLED));
}

TEST(LogLevels, DisabledSinkSeesOnlyDisabledEvents) {
  Configuration c;
  auto sink = std::make_shared<RecordingSink>();
  c.add_sink(sink, Level::DISABLED);
  c.log_impl(Event(Level::FATAL, "t", "", 0));
  c.log_impl(Event(Level::DISABLED, "t", "", 0));
  EXPECT_EQ(sink->messages.size(), 1u);
}

// A sink with a tag, whose hangup runs what the test gives it.
struct TaggedSink : RecordingSink {
  explicit TaggedSink(unsigned long t) { tag = t; }
  std::function<void()> on_hangup;
  int hangups = 0;
  void hangup() override {
    ++hangups;
    if (on_hangup) on_hangup();
  }
};

TEST(LogLevels, TagsPickTheEntriesOfSetLevelAndEraseSinks) {
  Configuration c;
  auto one = std::make_shared<TaggedSink>(1);
  auto two = std::make_shared<TaggedSink>(2);
  auto untagged = std::make_shared<TaggedSink>(0);
  for (const auto& sink : {one, two, untagged}) c.add_sink(sink, Level::DEBUG);
  auto counts = [&] {
    return std::vector<std::size_t>{one->messages.size(), two->messages.size(),
                                    untagged->messages.size()};
  };

  c.set_level(2UL, Level::ERROR);
  c.log_impl(Event(Level::INFO, "t", "", 0));
  EXPECT_EQ(counts(), (std::vector<std::size_t>{1, 0, 1}));

  c.set_level(0UL, Level::WARNING);  // tag 0: every entry
  EXPECT_FALSE(c.is_enabled(Level::INFO));
  EXPECT_TRUE(c.is_enabled(Level::WARNING));
  c.set_level(Level::TRACE);
  EXPECT_TRUE(c.is_enabled(Level::TRACE));

  c.erase_sinks(1);
  c.log_impl(Event(Level::INFO, "t", "", 0));
  EXPECT_EQ(counts(), (std::vector<std::size_t>{1, 1, 2}));

  c.erase_sinks(0);  // tag 0: every entry
  EXPECT_FALSE(c.is_enabled(Level::FATAL));
  c.log_impl(Event(Level::DISABLED, "t", "", 0));
  EXPECT_EQ(counts(), (std::vector<std::size_t>{1, 1, 2}));
}

TEST(LogLevels, FailingHangupStopsTheWalkAndFreesTheLock) {
  Configuration c;
  auto failing = std::make_shared<TaggedSink>(0);
  auto later = std::make_shared<TaggedSink>(0);
  c.add_sink(failing, Level::DEBUG);
  c.add_sink(later, Level::DEBUG);

  failing->on_hangup = [] { throw std::runtime_error("hangup failed"); };
  EXPECT_THROW(c.hangup_sinks(), std::runtime_error);
  EXPECT_EQ(later->hangups, 0);

  // A sink that logs, or changes the list, from inside its hangup already holds the write
  // lock: that call fails instead of releasing the lock under the walk.
  failing->on_hangup = [&] { c.log_impl(Event(Level::INFO, "t", "", 0)); };
  try {
    c.hangup_sinks();
    FAIL() << "logging under the write lock went through";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EDEADLK);
  }
  failing->on_hangup = [&] { c.add_sink(later, Level::DEBUG); };
  try {
    c.hangup_sinks();
    FAIL() << "changing the list under the write lock went through";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EDEADLK);
  }
  EXPECT_EQ(later->hangups, 0);
  EXPECT_TRUE(failing->messages.empty());

  // The lock is whole again: events flow and the list can change.
  failing->on_hangup = nullptr;
  c.log_impl(Event(Level::INFO, "t", "", 0));
  c.remove_sink(later);
  c.hangup_sinks();
  EXPECT_EQ(failing->messages.size(), 1u);
  EXPECT_EQ(later->messages.size(), 1u);
  EXPECT_EQ(later->hangups, 0);
}

TEST(LogEvent, PrintfStyleErrnoAndLength) {
  Event e(Level::INFO, "util", "", 2);
  e.format("open %s: %m", "x");
  EXPECT_EQ(e.get_description(), "open x: (2) No such file or directory");

  Event two(Level::INFO, "util", "", 2);
  two.format("%m then %m");
  EXPECT_EQ(two.get_description().rfind("(2) No such file or directory"),
            two.get_description().size() - std::string("(2) No such file or directory").size());
  EXPECT_EQ(two.get_description().find("(2)"), two.get_description().rfind("(2)"));

  for (std::size_t len : {119u, 120u, 121u, 500u}) {
    Event long_event(Level::INFO, "util", "", 0);
    long_event.format("%s", std::string(len, 'a').c_str());
    EXPECT_EQ(long_event.get_description(), std::string(len, 'a'));
  }
}

TEST(LogEvent, LineEndsAndTrailer) {
  Event e(Level::INFO, "t", "", 0);
  e.setup_message("a\r\nb\r\nc\rd\r\r\n");
  EXPECT_EQ(e.get_description(), "a\nb\nc\rd\r\n");

  const std::pair<const char*, const char*> cases[] = {{"", "X"}, {"abc", "abc\nX"}, {"abc\n", "abc\nX"}};
  for (const auto& [message, expected] : cases) {
    Event t(Level::INFO, "t", "\nX", 0);
    t.setup_message(message);
    EXPECT_EQ(t.get_description(), expected) << message;
  }
}

TEST(LogIdiom, ErrnoPlaceholderStyles) {
  auto& global = get_global_configuration();
  auto sink = std::make_shared<RecordingSink>();
  global.add_sink(sink, Level::DEBUG);
  const std::pair<const char*, const char*> cases[] = {
      {"{m}", "(13) Permission denied"}, {"{m:d}", "13"}, {"{m:s}", "Permission denied"},
      {"{m:sd}", "13"}, {"a {} b {m:d}", "a 7 b 13"}};
  for (const auto& [text, expected] : cases) {
    sink->messages.clear();
    errno = 13;
    KTU_LOG(INFO, "t", text, 7);
    ASSERT_EQ(sink->messages.size(), 1u) << text;
    EXPECT_EQ(sink->messages[0], expected);
  }
  sink->messages.clear();
  errno = 13;
  KTU_LOG(INFO, "t", "{m:x}");
  EXPECT_TRUE(sink->messages.empty());
  global.remove_sink(sink);
}

TEST(LogIdiom, StatementLeavesErrnoAsItFoundIt) {
  auto& global = get_global_configuration();
  auto clobbering = create_callback_sink([](const Event&) { errno = EIO; });
  auto throwing = create_callback_sink([](const Event&) {
    errno = EIO;
    throw std::runtime_error("sink failed");
  });
  for (const auto& sink : {clobbering, throwing}) {
    global.add_sink(sink, Level::INFO);
    errno = EACCES;
    KTU_LOG(ERROR, "t", "failed: {m}");
    EXPECT_EQ(errno, EACCES);
    errno = ENOENT;
    KTU_LOGP(WARNING, "util", "open %s: %m", "x");
    EXPECT_EQ(errno, ENOENT);
    global.remove_sink(sink);
  }
}

TEST(LogCorrelation, IdIsPerThread) {
  set_correlation_id("abc");
  std::string seen = "unset";
  std::thread([&] { seen = get_correlation_id(); }).join();
  EXPECT_EQ(seen, "");
  EXPECT_EQ(get_correlation_id(), "abc");
  clear_correlation_id();
  EXPECT_EQ(get_correlation_id(), "");
  // A scope gives back the id that was set before it, not none.
  CorrelationScope outer("out");
  {
    CorrelationScope inner("in");
    EXPECT_EQ(get_correlation_id(), "in");
  }
  EXPECT_EQ(get_correlation_id(), "out");
}

TEST(LogExceptions, NestedChainBecomesTrailer) {
  std::exception_ptr chain;
  try {
    try {
      throw std::runtime_error("inner");
    } catch (...) {
      std::throw_with_nested(std::runtime_error("outer"));
    }
  } catch (...) {
    chain = std::current_exception();
  }
  EXPECT_EQ(detail::process_exception(chain), "\nouter\ninner");
  EXPECT_EQ(detail::process_exception(std::exception_ptr()), "");
}

// ---- Formatters ---------------------------------------------------------------------------

// 2024-03-05 13:07:09.000123456 UTC, shown at +0100.
const EventMetadata::TimePoint kTime{std::chrono::nanoseconds(1709644029000123456LL)};

void use_fixed_zone() {
  ::setenv("TZ", "XXX-1", 1);
  ::tzset();
}

std::string format_event(const Formatter& f, Level level, const std::string& message,
                         int pid = 4711, unsigned long thread_id = 0x1267) {
  Event event(level, "main", "", 0);
  event.setup_message(message);
  EventData data(event);
  data.metadata.set(kTime, pid, thread_id);
  return f.format(data);
}

TEST(LogFormat, PlainLinesByteForByte) {
  use_fixed_zone();
  const std::string t = "2024-03-05 14:07:09.000123+0100";
  const std::string info = t + " [ 4711:  1267] INFO    main: ";
  const std::string more = t + " [ 4711:  1267] ...     main: ";
  struct Case {
    Level level;
    const char* message;
    std::string expected;
  } cases[] = {
      {Level::INFO, "first\nsecond", info + "first\n" + more + "second\n"},
      {Level::INFO, "", info + "\n"},
      {Level::INFO, "a\n", info + "a\n"},
      {Level::INFO, "a\n\nb", info + "a\n" + more + "\n" + more + "b\n"},
      {Level::WARNING, "w", t + " [ 4711:  1267] WARNING main: w\n"},
      {static_cast<Level>(7), "x", t + " [ 4711:  1267] BAD_LVL main: x\n"},
      {Level::DISABLED, "x\ny",
       t + " [ 4711:  1267] DISABLED main: x\n" + t + " [ 4711:  1267] D...     main: y\n"},
  };
  DefaultFormatter f;
  for (const auto& c : cases) EXPECT_EQ(format_event(f, c.level, c.message), c.expected) << c.message;

  // Wider ids shift the level column: it is measured from the end of the group.
  EXPECT_EQ(format_event(f, Level::ERROR, "a\nb", 1234567, 0x12345678),
            t + " [1234567:12345678] ERROR   main: a\n" + t + " [1234567:12345678] ...     main: b\n");

  set_correlation_id("abc");
  EXPECT_EQ(format_event(f, Level::INFO, "x"), t + " [ 4711:  1267] INFO    [abc] main: x\n");
  clear_correlation_id();
}

TEST(LogFormat, TimeFormats) {
  use_fixed_zone();
  DefaultFormatter f;
  const std::pair<std::string, std::string> cases[] = {
      {"{2}", "1709644029.000123"},
      {"{1}", "123"},
      {"{0:%H:%M}", "14:07"},
      {"T{3}", "T(fmt error: argument not found)"},
  };
  for (const auto& [format, expected] : cases) {
    f.time_format = format;
    std::string out;
    f.format_time(out, kTime);
    EXPECT_EQ(out, expected) << format;
  }
  // An overlong time text keeps its first 200 characters; the group is dropped and the
  // continuation fill still lands 8 characters before the end of the cut text.
  f.time_format = std::string(250, 'x');
  const std::string cut(200, 'x');
  std::string second = cut;
  second.replace(192, 7, "...    ");
  EXPECT_EQ(format_event(f, Level::INFO, "a\nb"), cut + "main: a\n" + second + "main: b\n");

  // A time text just short of the limit: the group is cut at 200 characters in all.
  f.time_format = std::string(195, 'x');
  const std::string first = std::string(195, 'x') + " [ 47";
  second = std::string(192, 'x') + "...    7";
  EXPECT_EQ(format_event(f, Level::INFO, "a\nb"), first + "main: a\n" + second + "main: b\n");
}

TEST(LogFormat, JsonLines) {
  use_fixed_zone();
  JsonFormatter f;
  EXPECT_EQ(format_event(f, Level::INFO, "first\nsecond", 4711, 4711),
            R"({"timestamp":"2024-03-05 14:07:09.000123+0100","process_id":4711,"thread_id":4711,)"
            R"("level":"INFO","component":"main","message":"first\nsecond"})"
            "\n");

  f.level_key = "lvl";
  f.correlation_id_key = "cid";
  f.time_format = "{2}";
  set_correlation_id("r\"1");
  EXPECT_EQ(format_event(f, static_cast<Level>(-2), "m", 1, 4294967296UL),
            R"({"timestamp":"1709644029.000123","process_id":1,"thread_id":4294967296,)"
            R"("lvl":"BAD_LVL","cid":"r\"1","component":"main","message":"m"})"
            "\n");
  clear_correlation_id();

  const std::pair<std::string, std::string> escapes[] = {
      {"a\"b\\c", "a\\\"b\\\\c"},
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      {"\x1f", "\\u001f"},
      {"\x7f", "\\u007f"},
      {std::string("\0", 1), "\\u0000"},
      {"\xc3\xa9", "\\u00c3\\u00a9"},
      {"/ ~", "/ ~"},
  };
  for (const auto& [in, out] : escapes) EXPECT_EQ(JsonFormatter::json_escape(in), out) << in;
}

// Counts how often the event is formatted, to show that sinks share one text.
struct CountingFormatter : DefaultFormatter {
  mutable std::atomic<int> calls{0};
  std::string format(EventData& data) const override {
    ++calls;
    return DefaultFormatter::format(data);
  }
};

TEST(LogFormat, OneTextPerFormatterForEverySink) {
  Configuration c;
  auto formatter = std::make_shared<CountingFormatter>();
  std::ostringstream first, second;
  auto a = create_stream_sink(first);
  auto b = create_stream_sink(second);
  a->set_formatter(formatter);
  b->set_formatter(formatter);
  c.add_sink(a, Level::DEBUG);
  c.add_sink(b, Level::DEBUG);
  c.log_impl(Event(Level::INFO, "t", "", 0));
  EXPECT_EQ(formatter->calls, 1);
  EXPECT_FALSE(first.str().empty());
  EXPECT_EQ(first.str(), second.str());
}

// ---- Sinks --------------------------------------------------------------------------------

struct TempDir {
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/ktu-log-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    path = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Lets a test see only the message, whatever the time and ids.
struct MessageOnly : Formatter {
  std::string format(EventData& data) const override { return data.event.get_description() + "\n"; }
};

void log_to(LogSink& sink, const std::string& message, Level level = Level::INFO) {
  Event event(level, "t", "", 0);
  event.setup_message(message);
  EventData data(event);
  sink.log(data);
}

bool descriptor_open_on(const std::string& path) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == path) return true;
  }
  return false;
}

TEST(LogSinks, FileSinkCreatesPathWithExactModes) {
  TempDir dir;
  const std::string path = dir / "a/b/app.log";
  const mode_t old_umask = ::umask(077);
  auto sink = create_file_sink(path.c_str(), 0640);
  EXPECT_EQ(::umask(old_umask), 077);  // restored after the open
  struct stat st {};
  ASSERT_EQ(::stat((dir / "a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat((dir / "a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  sink->set_formatter(std::make_shared<MessageOnly>());
  log_to(*sink, "one");
  log_to(*sink, "two");
  EXPECT_EQ(read_file(path), "one\ntwo\n");
  EXPECT_TRUE(descriptor_open_on(path));
  sink.reset();
  EXPECT_FALSE(descriptor_open_on(path));  // the file sink closes its own descriptor

  try {
    create_file_sink("", 0600);
    FAIL() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("log FileSink can not open log file"), std::string::npos);
  }
  EXPECT_THROW(create_file_sink(nullptr, 0600), std::logic_error);
}

TEST(LogSinks, FileSinkFollowsRotation) {
  TempDir dir;
  const std::string path = dir / "logs/app.log";
  auto sink = create_file_sink(path.c_str(), 0600);
  sink->set_formatter(std::make_shared<MessageOnly>());
  Configuration c;
  c.add_sink(sink, Level::DEBUG);

  c.log_impl(Event(Level::INFO, "t", "", 0));  // empty message: one "\n"
  log_to(*sink, "one");
  std::filesystem::rename(path, path + ".1");
  c.hangup_sinks();
  log_to(*sink, "two");
  EXPECT_EQ(read_file(path + ".1"), "\none\n");
  EXPECT_EQ(read_file(path), "two\n");

  // The directory is replaced by a plain file: the reopen fails, later events are dropped
  // quietly, and the next hangup that can reopen brings the sink back.
  std::filesystem::rename(dir / "logs", dir / "logs.old");
  std::ofstream(dir / "logs") << "not a directory";
  sink->hangup();
  EXPECT_THROW(log_to(*sink, "lost"), std::system_error);
  EXPECT_NO_THROW(log_to(*sink, "lost too"));
  std::filesystem::remove(dir / "logs");
  sink->hangup();
  log_to(*sink, "three");
  EXPECT_EQ(read_file(path), "three\n");
  EXPECT_EQ(read_file(dir / "logs.old/app.log"), "two\n");
}

TEST(LogSinks, DescriptorStreamCallbackAndSyslog) {
  TempDir dir;
  const std::string path = dir / "fd.log";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_GE(fd, 0);
  auto sink = create_fd_sink(fd);
  sink->set_formatter(std::make_shared<MessageOnly>());
  log_to(*sink, "to fd");
  sink.reset();
  EXPECT_EQ(::fcntl(fd, F_GETFD), 0);  // not closed by the sink
  ::close(fd);
  EXPECT_EQ(read_file(path), "to fd\n");

  // A sink without a descriptor takes every event, formats none, and leaves it to the sinks
  // after it.
  struct CountingFormatter : Formatter {
    mutable int calls = 0;
    std::string format(EventData&) const override {
      ++calls;
      return "x\n";
    }
  };
  auto counting = std::make_shared<CountingFormatter>();
  auto nowhere = create_fd_sink(-1);
  nowhere->set_formatter(counting);
  auto after_nowhere = std::make_shared<RecordingSink>();
  {
    Configuration c;
    c.add_sink(nowhere, Level::DEBUG);
    c.add_sink(after_nowhere, Level::DEBUG);
    Event event(Level::INFO, "t", "", 0);
    event.setup_message("dropped");
    c.log_impl(event);
  }
  EXPECT_EQ(counting->calls, 0);
  EXPECT_EQ(after_nowhere->messages, std::vector<std::string>{"dropped"});

  auto bad = create_fd_sink(fd);  // closed above: writing fails with EBADF
  try {
    log_to(*bad, "x");
    FAIL() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EBADF);
    EXPECT_NE(std::string(e.what()).find("log FileSink write"), std::string::npos);
  }

  // On a socket (standard error under a service manager) a reader that has gone makes the
  // write fail with EPIPE; the process is not ended by SIGPIPE.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  auto to_socket = create_fd_sink(pair[0]);
  to_socket->set_formatter(std::make_shared<MessageOnly>());
  log_to(*to_socket, "to socket");
  char received[32] = {};
  EXPECT_EQ(::read(pair[1], received, sizeof received), 10);
  EXPECT_STREQ(received, "to socket\n");
  ::close(pair[1]);
  try {
    log_to(*to_socket, "x");
    FAIL() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EPIPE);
  }
  ::close(pair[0]);

  std::ostringstream stream;
  auto to_stream = create_stream_sink(stream);
  to_stream->set_formatter(std::make_shared<MessageOnly>());
  log_to(*to_stream, "to stream");
  EXPECT_EQ(stream.str(), "to stream\n");

  // A callback sink with no function fails the event for itself only: the sinks after it
  // still get it, and the failure reaches the caller once all have been tried.
  Configuration c;
  std::vector<std::string> seen;
  c.add_sink(create_callback_sink([&](const Event& e) { seen.push_back(e.get_description()); }),
             Level::DEBUG);
  c.add_sink(create_callback_sink(nullptr), Level::DEBUG);
  c.add_sink(to_stream, Level::DEBUG);
  Event event(Level::INFO, "t", "", 0);
  event.setup_message("hello");
  EXPECT_THROW(c.log_impl(event), std::bad_function_call);
  EXPECT_EQ(seen, std::vector<std::string>{"hello"});
  EXPECT_EQ(stream.str(), "to stream\nhello\n");

  const std::pair<int, int> priorities[] = {{-1, 7}, {0, 7}, {1, 6}, {2, 5}, {3, 4},
                                            {4, 3},  {5, 2}, {6, 2}, {9, 2}, {-5, 2}};
  for (const auto& [level, priority] : priorities) {
    EXPECT_EQ(detail::syslog_priority(static_cast<Level>(level)), priority) << level;
  }
  // '%' in the text is never taken as a format.
  auto syslog = create_syslog_sink("ktu-log-test", SyslogFacility::USER);
  EXPECT_NO_THROW(log_to(*syslog, "%s%s%n%s", Level::ERROR));
}

// A reader slower than the writer: the text of one event is written whole and in order
// through a small pipe, whether the write end is non-blocking (partial writes, EAGAIN) or
// blocking and interrupted by signals (partial writes, EINTR).
TEST(LogSinks, DescriptorWriteOutlastsASlowReader) {
  static std::atomic<int> interruptions{0};
  struct sigaction on_signal {}, previous {};
  on_signal.sa_handler = [](int) { ++interruptions; };
  sigemptyset(&on_signal.sa_mask);
  on_signal.sa_flags = 0;  // no SA_RESTART: a blocked write returns EINTR or a short count
  ASSERT_EQ(::sigaction(SIGUSR1, &on_signal, &previous), 0);

  std::string text;
  for (int i = 0; text.size() < 64 * 1024; ++i) text += "line " + std::to_string(i) + " of the event\n";
  for (const bool blocking : {false, true}) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC | (blocking ? 0 : O_NONBLOCK)), 0);
    ASSERT_GT(::fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096), 0);
    std::atomic<bool> written{false};
    std::string received;
    std::thread reader([&] {
      char chunk[700];
      for (;;) {
        const ssize_t n = ::read(pipe_fds[0], chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
          if (errno != EAGAIN) break;
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          continue;
        }
        received.append(chunk, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // slower than the writer
      }
    });
    const pthread_t writer = ::pthread_self();
    std::thread interrupter([&] {
      while (blocking && !written) {
        ::pthread_kill(writer, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    });
    auto sink = create_fd_sink(pipe_fds[1]);
    EXPECT_NO_THROW(sink->log_formatted(text)) << blocking;
    EXPECT_NO_THROW(sink->log_formatted("last\n")) << blocking;
    written = true;
    interrupter.join();
    sink.reset();
    ::close(pipe_fds[1]);
    reader.join();
    ::close(pipe_fds[0]);
    EXPECT_EQ(received.size(), text.size() + 5) << blocking;
    EXPECT_TRUE(received == text + "last\n") << blocking;
  }
  EXPECT_GT(interruptions, 0);
  ::sigaction(SIGUSR1, &previous, nullptr);
}

// Many threads log into one file while it is rotated under them: every event whole, none
// lost, none mixed with another, and each thread's events in its own order across the files.
TEST(LogSinks, ConcurrentWritersKeepEventsWholeThroughRotation) {
  constexpr int kThreads = 8;
  constexpr int kEvents = 10000;
  constexpr int kRotations = 20;
  TempDir dir;
  const std::string path = dir / "many.log";
  auto& global = get_global_configuration();
  auto sink = create_file_sink(path.c_str(), 0600);
  global.add_sink(sink, Level::DEBUG);
  const std::string padding(100, '.');
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      set_correlation_id("c" + std::to_string(t));
      for (int n = 0; n < kEvents; ++n) {
        KTU_LOG(INFO, "worker", "{} {} {}\ncontinued {} {}", t, n, padding, t, n);
      }
      --running;
    });
  }
  std::vector<std::string> files;
  for (int r = 1; r <= kRotations; ++r) {
    // The new file appears with the first event after the hangup.
    while (running > 0 && !std::filesystem::exists(path)) std::this_thread::yield();
    if (running == 0) break;
    files.push_back(path + "." + std::to_string(r));
    std::filesystem::rename(path, files.back());
    global.hangup_sinks();
  }
  for (auto& th : threads) th.join();
  global.remove_sink(sink);
  files.push_back(path);

  std::string all;
  for (const auto& f : files) all += read_file(f);
  std::istringstream in(all);
  std::vector<int> next(kThreads, 0);
  std::string first, second;
  int events = 0;
  while (std::getline(in, first)) {
    ASSERT_TRUE(std::getline(in, second)) << "cut after: " << first;
    const auto body = first.find("] INFO    [c");
    ASSERT_NE(body, std::string::npos) << first;
    std::istringstream words(first.substr(first.find("worker: ") + 8));
    int t = -1, n = -1;
    std::string pad;
    words >> t >> n >> pad;
    ASSERT_TRUE(t >= 0 && t < kThreads) << first;
    ASSERT_EQ(first.substr(body + 10, 13), "[c" + std::to_string(t) + "] worker: ") << first;
    ASSERT_EQ(pad, padding) << first;
    ASSERT_EQ(n, next[t]) << first;
    ++next[t];
    ASSERT_NE(second.find("] ...     [c" + std::to_string(t) + "] worker: continued " +
                          std::to_string(t) + " " + std::to_string(n)),
              std::string::npos)
        << second;
    ++events;
  }
  EXPECT_EQ(events, kThreads * kEvents);
}

// ---- Asynchronous sink --------------------------------------------------------------------

// Records what reaches it; can hold up its first write, and fail chosen ones.
struct RecordingTextSink : FormattableLogSink {
  std::mutex mutex;
  std::vector<std::string> texts;
  std::shared_future<void> gate;
  std::string fail_on;
  void log(EventData& data) override { log_formatted(data.get_formatted(*formatter)); }
  void log_formatted(std::string_view text) override {
    if (gate.valid()) gate.wait();
    if (text == fail_on) throw std::system_error(EIO, std::system_category(), "log FileSink write");
    std::lock_guard<std::mutex> held(mutex);
    texts.emplace_back(text);
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> held(mutex);
    return texts;
  }
};

TEST(LogAsyncSink, KeepsQueueOrderAcrossThreads) {
  auto inner = std::make_shared<RecordingTextSink>();
  inner->set_formatter(std::make_shared<MessageOnly>());
  auto sink = create_std_thread_async_sink(inner);
  // Each thread logs under a shared lock that hands out the sequence number, so the order in
  // which the texts reach the wrapped sink must be exactly 0, 1, 2, ...
  std::mutex order;
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::lock_guard<std::mutex> held(order);
        log_to(*sink, std::to_string(counter++));
      }
    });
  }
  for (auto& th : threads) th.join();
  sink->sync();
  const auto texts = inner->snapshot();
  ASSERT_EQ(texts.size(), 8000u);
  for (int i = 0; i < 8000; ++i) ASSERT_EQ(texts[i], std::to_string(i) + "\n");
}

TEST(LogAsyncSink, SyncWaitsForEarlierEvents) {
  auto inner = std::make_shared<RecordingTextSink>();
  inner->set_formatter(std::make_shared<MessageOnly>());
  std::promise<void> open_gate;
  inner->gate = open_gate.get_future().share();
  auto sink = create_std_thread_async_sink(inner);
  for (int i = 0; i < 100; ++i) log_to(*sink, "e");
  // The worker is held at the first write; let it go a moment after sync starts waiting.
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    open_gate.set_value();
  });
  sink->sync();
  EXPECT_EQ(inner->snapshot().size(), 100u);
  opener.join();
}

TEST(LogAsyncSink, FailedWriteDoesNotStopTheWorker) {
  auto inner = std::make_shared<RecordingTextSink>();
  inner->set_formatter(std::make_shared<MessageOnly>());
  inner->fail_on = "bad\n";
  auto sink = create_std_thread_async_sink(inner);
  log_to(*sink, "before");
  log_to(*sink, "bad");
  log_to(*sink, "after");
  sink->sync();
  EXPECT_EQ(inner->snapshot(), (std::vector<std::string>{"before\n", "after\n"}));
}

TEST(LogAsyncSink, HangupReopensBetweenEventsAndDestructionDrains) {
  TempDir dir;
  const std::string path = dir / "async.log";
  auto file = create_file_sink(path.c_str(), 0600);
  file->set_formatter(std::make_shared<MessageOnly>());
  auto sink = create_std_thread_async_sink(file);
  log_to(*sink, "one");
  // The file moves before "one" may have been written: it still lands in the moved file,
  // and the queued hangup sends "two" to the new one.
  std::filesystem::rename(path, path + ".1");
  sink->hangup();
  log_to(*sink, "two");
  sink->sync();
  EXPECT_EQ(read_file(path + ".1"), "one\n");
  EXPECT_EQ(read_file(path), "two\n");

  std::string expected = "two\n";
  for (int i = 0; i < 1000; ++i) {
    log_to(*sink, std::to_string(i));
    expected += std::to_string(i) + "\n";
  }
  sink.reset();  // the last owner: the destructor drains the queue
  EXPECT_EQ(read_file(path), expected);
}

// Through the log statement, into a plain and a JSON sink: both lines byte for byte, with this
// process's id, the kernel id of this thread, and one moment shared by both texts of an event.
TEST(LogIdiom, StatementReachesPlainAndJsonSinks) {
  use_fixed_zone();
  std::ostringstream plain, json;
  auto plain_sink = create_stream_sink(plain);
  auto json_sink = create_stream_sink(json);
  json_sink->set_formatter(std::make_shared<JsonFormatter>());
  auto& global = get_global_configuration();
  global.add_sink(plain_sink, Level::INFO);
  global.add_sink(json_sink, Level::INFO);
  KTU_LOG(DEBUG, "main", "hidden");
  errno = 13;
  KTU_LOG(INFO, "main", "shown {} {m:d}", 42);
  errno = 2;
  KTU_LOGP(WARNING, "util", "open %s: %m", "x");
  global.remove_sink(plain_sink);
  global.remove_sink(json_sink);

  const int pid = ::getpid();
  const auto tid = static_cast<unsigned long>(::syscall(SYS_gettid));
  const std::string group = fmt::format(" [{:5}:{:6x}] ", pid, tid);
  const std::string ids = fmt::format("\"process_id\":{},\"thread_id\":{},", pid, tid);
  const std::regex time_text(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\+0100)");
  const std::pair<std::string, std::string> events[] = {
      {"INFO    main: shown 42 13\n",
       "\"level\":\"INFO\",\"component\":\"main\",\"message\":\"shown 42 13\"}\n"},
      {"WARNING util: open x: (2) No such file or directory\n",
       "\"level\":\"WARNING\",\"component\":\"util\","
       "\"message\":\"open x: (2) No such file or directory\"}\n"},
  };
  std::istringstream plain_lines(plain.str()), json_lines(json.str());
  for (const auto& [plain_rest, json_rest] : events) {
    std::string line, object;
    ASSERT_TRUE(std::getline(plain_lines, line));
    ASSERT_TRUE(std::getline(json_lines, object));
    const std::string time = line.substr(0, 31);
    EXPECT_TRUE(std::regex_match(time, time_text)) << line;
    EXPECT_EQ(line + "\n", time + group + plain_rest);
    EXPECT_EQ(object + "\n", "{\"timestamp\":\"" + time + "\"," + ids + json_rest);
  }
  std::string extra;
  EXPECT_FALSE(std::getline(plain_lines, extra)) << extra;
  EXPECT_FALSE(std::getline(json_lines, extra)) << extra;

  // Whatever a sink throws, the statement's caller goes on.
  auto throwing = create_callback_sink([](const Event&) { throw 42; });
  global.add_sink(throwing, Level::INFO);
  KTU_LOG(INFO, "main", "thrown away");
  global.remove_sink(throwing);
}

}  // namespace
}  // namespace ktu::log

namespace ktu::log {
namespace {

// What parse_log_config printed on standard error; the process-wide JSON formatter is put
// back as it was afterwards.
class LogConfigFile : public ::testing::Test {
 protected:
  void SetUp() override { saved = *get_json_formatter(); }
  void TearDown() override { *get_json_formatter() = saved; }

  std::string write(const std::string& name, const std::string& text) {
    return temp.write(name, text);
  }

  std::string run(const std::string& path, bool report_missing) {
    const std::string capture = dir + "/stderr";
    std::fflush(stderr);
    const int saved_fd = ::dup(2);
    const int fd = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
    parse_log_config(path.c_str(), report_missing);
    std::fflush(stderr);
    ::dup2(saved_fd, 2);
    ::close(saved_fd);
    std::ifstream in(capture);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  JsonFormatter saved;
  kelto::test::TempDir temp;
  std::string dir = temp.path();
};

TEST_F(LogConfigFile, EveryKeyUnknownKeysAndSyntaxErrors) {
  const std::string path = write("log.conf",
                                 "top = 1\n"
                                 "[json_log]\n"
                                 "timestamp_format = {2}\n"
                                 "timestamp_key = ts\n"
                                 "process_id_key = pid\n"
                                 "thread_id_key = tid\n"
                                 "level_key = 5\n"
                                 "correlation_id_key = \"c\\\"id\"\n"
                                 "component_key = comp\n"
                                 "message_key = first\n"
                                 "[json_log\n"
                                 "message_key = msg\n"
                                 "Level_Key = x\n"
                                 "[JSON_LOG]\n"
                                 "level_key = y\n");
  EXPECT_EQ(run(path, true),
            path + ": Unknown config option: [] top = 1\n"
            "Error parsing config: " + path +
                ":11:10: parse error matching tao::pegtl::ascii::one<']'>\n[json_log\n         ^\n"
            "Error parsing config: " + path +
                ":11:1: invalid line, expected '[section]' or 'key=value' or a comment\n"
                "[json_log\n^\n" +
            path + ": Unknown config option: [json_log] Level_Key = x\n" +
            path + ": Unknown config option: [JSON_LOG] level_key = y\n");
  const auto f = get_json_formatter();
  EXPECT_EQ(f->time_format, "{2}");
  EXPECT_EQ(f->timestamp_key, "ts");
  EXPECT_EQ(f->process_id_key, "pid");
  EXPECT_EQ(f->thread_id_key, "tid");
  EXPECT_EQ(f->level_key, "5");
  EXPECT_EQ(f->correlation_id_key, "c\\\"id");
  EXPECT_EQ(f->component_key, "comp");
  EXPECT_EQ(f->message_key, "msg");
}

TEST_F(LogConfigFile, MissingEmptyAndCommentOnlyFilesChangeNothing) {
  const std::string missing = dir + "/absent.conf";
  const struct {
    std::string path;
    bool report_missing;
    std::string printed;
  } cases[] = {
      {missing, false, ""},
      {missing, true, "Could not read config file: " + missing + "\n"},
      {write("empty.conf", ""), true, ""},
      {write("comments.conf", "# nothing\n; here\n\n[json_log]\n"), true, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.path, c.report_missing), c.printed) << c.path;
    const auto f = get_json_formatter();
    EXPECT_EQ(f->time_format, saved.time_format);
    EXPECT_EQ(f->level_key, saved.level_key);
    EXPECT_EQ(f->message_key, saved.message_key);
  }
}

}  // namespace
}  // namespace ktu::log
