#include "ktu/json/json.hpp"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "ktu/log/log.hpp"
#include "tests/support/fixtures.hpp"

namespace ktu::json {
namespace {

using kelto::test::read_file;
using kelto::test::TempDir;
using nlohmann::json;

struct LogCapture : log::LogSink {
  std::vector<std::string> lines;
  void log(log::EventData& data) override {
    lines.push_back(data.event.get_component() + ": " + data.event.get_description());
  }
};

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(JsonStore, IndentationAndInvalidUtf8) {
  TempDir dir;
  const json doc = {{"a", {1, 2}}};
  const std::pair<int, std::string> cases[] = {
      {4, "{\n    \"a\": [\n        1,\n        2\n    ]\n}\n"},
      {1, "{\n \"a\": [\n  1,\n  2\n ]\n}\n"},
      {9, "{\n\t\"a\": [\n\t\t1,\n\t\t2\n\t]\n}\n"},
      {0, "{\"a\":[1,2]}\n"},
      {-1, "{\"a\":[1,2]}\n"},
  };
  const std::string path = dir.file("doc.json");
  for (const auto& [indent, expected] : cases) {
    ASSERT_TRUE(store_to_file(doc, path.c_str(), indent));
    EXPECT_EQ(read_file(path), expected) << indent;
  }

  // The bad byte becomes U+FFFD, other non-ASCII text stays unescaped, and nothing of the
  // failed first attempt (or of the longer file before it) survives.
  ASSERT_TRUE(store_to_file(json::array({std::string(2000, 'x')}), path.c_str(), 0));
  const json bad = {{"k", std::string("caf\xc3\xa9 \xff!")}, {"n", 1}};
  ASSERT_TRUE(store_to_file(bad, path.c_str(), 9));
  EXPECT_EQ(read_file(path), "{\n\t\"k\": \"caf\xc3\xa9 \xef\xbf\xbd!\",\n\t\"n\": 1\n}\n");
  ASSERT_TRUE(store_to_file(bad, path.c_str(), 0));
  EXPECT_EQ(read_file(path), "{\"k\":\"caf\xc3\xa9 \xef\xbf\xbd!\",\"n\":1}\n");

  EXPECT_FALSE(store_to_file(doc, dir.file("missing/doc.json").c_str(), 0));
  EXPECT_FALSE(store_to_file(doc, "/dev/full", 0));  // a failed flush is a failure
}

TEST(JsonStore, AtomicStoreModesLeftoversAndWarnings) {
  TempDir dir;
  const mode_t old_umask = ::umask(077);
  const std::string path = dir.file("doc.json");
  std::ofstream(path) << "old";
  for (uint32_t mode : {0644u, 0600u, 0444u, 0u, 04755u}) {
    ASSERT_TRUE(store_to_file_atomic({{"m", mode}}, path.c_str(), 2, mode)) << mode;
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);  // exactly, whatever the umask
    ::chmod(path.c_str(), 0600);            // an ordinary user could not read mode 0 back
    EXPECT_EQ(read_file(path), "{\n  \"m\": " + std::to_string(mode) + "\n}\n");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"doc.json"});
  }
  ::umask(old_umask);

  auto capture = std::make_shared<LogCapture>();
  log::get_global_configuration().add_sink(capture, log::Level::DEBUG);
  const std::string missing = dir.file("missing/doc.json");
  EXPECT_FALSE(store_to_file_atomic(json::object(), missing.c_str(), 0, 0644));
  // A directory in the way of the rename.
  const std::string blocked = dir.file("blocked");
  std::filesystem::create_directories(blocked + "/inner");
  EXPECT_FALSE(store_to_file_atomic(json::object(), blocked.c_str(), 0, 0644));
  log::get_global_configuration().remove_sink(capture);

  ASSERT_EQ(capture->lines.size(), 2u);
  EXPECT_EQ(capture->lines[0], "json: store_to_file_atomic: Cannot create tmp file " + missing + ".tmp");
  // The temporary name ends in six generated characters.
  const std::string prefix = "json: store_to_file_atomic: Rename '" + blocked + ".tmp";
  const std::string suffix = "' to '" + blocked + "' failed";
  ASSERT_EQ(capture->lines[1].size(), prefix.size() + 6 + suffix.size()) << capture->lines[1];
  EXPECT_EQ(capture->lines[1].substr(0, prefix.size()), prefix);
  EXPECT_EQ(capture->lines[1].substr(prefix.size() + 6), suffix);
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"blocked", "doc.json"}));
}

TEST(JsonStore, AtomicStoreFailedWriteWarnsAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.write("doc.json", "old");
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The file size limit makes the write of the temporary file fail.
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit {16, 16};
    auto capture = std::make_shared<LogCapture>();
    log::get_global_configuration().add_sink(capture, log::Level::DEBUG);
    const bool stored = ::setrlimit(RLIMIT_FSIZE, &limit) == 0 &&
                        store_to_file_atomic({{"key", std::string(100, 'x')}}, path.c_str(), 0, 0644);
    std::string report = stored ? "stored" : "";
    for (const auto& line : capture->lines) report += line + "\n";
    (void)!::write(p[1], report.data(), report.size());
    ::_exit(0);
  }
  ::close(p[1]);
  std::string report;
  char buf[512];
  for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<size_t>(n));
  ::close(p[0]);
  ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);

  const std::string prefix = "json: store_to_file_atomic: Failed to write file " + path + ".tmp";
  ASSERT_EQ(report.size(), prefix.size() + 6 + 1) << report;
  EXPECT_EQ(report.substr(0, prefix.size()), prefix);
  EXPECT_EQ(report.back(), '\n');
  EXPECT_EQ(read_file(path), "old");
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"doc.json"});
}

TEST(JsonStore, AtomicStoreWithoutOwnerWriteWorksForAnOrdinaryUser) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string path = dir.file("doc.json");
  const pid_t pid = ::fork();
  if (pid == 0) {
    // 2: no ordinary user here (a user namespace without that id, or a private TMPDIR).
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    if (::access(dir.path().c_str(), W_OK | X_OK) != 0) ::_exit(2);
    const bool ok = store_to_file_atomic({{"a", 1}}, path.c_str(), 0, 0444) &&
                    store_to_file_atomic({{"a", 2}}, path.c_str(), 0, 0);
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot run as an ordinary user here";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0u);
  ::chmod(path.c_str(), 0600);
  EXPECT_EQ(read_file(path), "{\"a\":2}\n");
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"doc.json"});
}

TEST(JsonLoad, CommentsErrorsAndMissingFiles) {
  TempDir dir;
  std::string error;
  const json doc = load_from_string("// note\n{\"a\": /* inline */ [1, 2]}\n", &error);
  ASSERT_FALSE(doc.is_discarded()) << error;
  EXPECT_EQ(doc, json({{"a", {1, 2}}}));
  EXPECT_EQ(error, "");

  for (const std::string text : {"{\"a\": [1,", "", "{} x", "{'a': 1}"}) {
    error.clear();
    EXPECT_TRUE(load_from_string(text, &error).is_discarded()) << text;
    EXPECT_EQ(error.rfind("[json.exception.parse_error.", 0), 0u) << error;
    EXPECT_TRUE(load_from_string(text, nullptr).is_discarded()) << text;
  }

  const std::string path = dir.write("doc.json", "# a comment\n[true, null]");
  EXPECT_TRUE(load_from_file(path.c_str(), &error).is_discarded());  // '#' is no comment
  ::truncate(path.c_str(), 0);
  dir.write("doc.json", "/* c */ [true, null]");
  EXPECT_EQ(load_from_file(path.c_str(), &error), json({true, nullptr}));

  const std::string missing = dir.file("missing.json");
  EXPECT_TRUE(load_from_file(missing.c_str(), &error).is_discarded());
  EXPECT_EQ(error, "json: Failed to open file " + missing + ": (2) No such file or directory");
  EXPECT_TRUE(load_from_file(missing.c_str(), nullptr).is_discarded());

  // A directory opens but cannot be read: a failure like any other, not an exception.
  error.clear();
  EXPECT_NO_THROW(EXPECT_TRUE(load_from_file(dir.path().c_str(), &error).is_discarded()));
  EXPECT_EQ(error, "json: Failed to read file " + dir.path() + ": (21) Is a directory");
  EXPECT_NO_THROW(EXPECT_TRUE(load_from_file(dir.path().c_str(), nullptr).is_discarded()));

  EXPECT_TRUE(null_value().is_null());
  EXPECT_EQ(&null_value(), &null_value());
}

TEST(JsonRange, IntegerRangesByKind) {
  struct Case {
    json value;
    bool i32, u32, i64, u64;
  };
  const Case cases[] = {
      {json(0), true, true, true, true},
      {json(2147483647), true, true, true, true},
      {json(2147483648u), false, true, true, true},
      {json(int64_t{2147483648}), false, true, true, true},
      {json(-2147483648LL), true, false, true, false},
      {json(-2147483649LL), false, false, true, false},
      {json(-1), true, false, true, false},
      {json(4294967295u), false, true, true, true},
      {json(int64_t{4294967296}), false, false, true, true},
      {json(9223372036854775807ull), false, false, true, true},
      {json(9223372036854775808ull), false, false, false, true},
      {json(1.0), false, false, false, false},
      {json("1"), false, false, false, false},
      {json(true), false, false, false, false},
      {json(), false, false, false, false},
      {json::parse("18446744073709551615"), false, false, false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_int32(c.value), c.i32) << c.value;
    EXPECT_EQ(is_uint32(c.value), c.u32) << c.value;
    EXPECT_EQ(is_int64(c.value), c.i64) << c.value;
    EXPECT_EQ(is_uint64(c.value), c.u64) << c.value;
  }
}

}  // namespace
}  // namespace ktu::json
