#include "ktu/log/log.hpp"

#include <gtest/gtest.h>

#include <thread>

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

TEST(LogCorrelation, IdIsPerThread) {
  set_correlation_id("abc");
  std::string seen = "unset";
  std::thread([&] { seen = get_correlation_id(); }).join();
  EXPECT_EQ(seen, "");
  EXPECT_EQ(get_correlation_id(), "abc");
  clear_correlation_id();
  EXPECT_EQ(get_correlation_id(), "");
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

}  // namespace
}  // namespace ktu::log
