#include "ktu/util/file.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "ktu/log/log.hpp"
#include "tests/support/fixtures.hpp"

namespace ktu::util {
namespace {

using kelto::test::read_file;
using kelto::test::TempDir;
namespace fs = std::filesystem;

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

unsigned mode_of(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xffffffff;
}

std::string pattern_bytes(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return s;
}

// Keeps the log lines written while it lives.
struct LogCapture : log::LogSink {
  std::vector<std::string> lines;
  void log(log::EventData& data) override {
    lines.push_back(data.event.get_component() + ": " + data.event.get_description());
  }
};

// Runs `body` in a forked child (to drop privileges or change mounts without touching the test
// process); its returned text comes back, "" meaning success.
std::string in_child(const std::function<std::string()>& body) {
  int p[2];
  if (::pipe(p) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(p[0]);
    std::string result;
    try {
      result = body();
    } catch (const std::exception& e) {
      result = std::string("exception: ") + e.what();
    }
    write_all(p[1], result.data(), static_cast<int32_t>(result.size()));
    ::_exit(0);
  }
  ::close(p[1]);
  std::string result;
  char buf[512];
  ssize_t n;
  while ((n = ::read(p[0], buf, sizeof buf)) > 0) result.append(buf, static_cast<size_t>(n));
  ::close(p[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return result;
}

// Permission checks only bite an unprivileged user. False when the privileges cannot be dropped
// (a user namespace without that id) or the user cannot reach `dir` (a private TMPDIR).
bool become_nobody(const std::string& dir) {
  if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return false;
  return ::access(dir.c_str(), W_OK | X_OK) == 0;
}

TEST(TmpFileHolder, CreatesOwnsDismissesAndReleases) {
  std::string first, second;
  {
    TmpFileHolder holder;
    fd_holder fd = holder.create("job");
    ASSERT_GE(fd.get(), 0);
    first = holder.get_path();
    ASSERT_EQ(first.size(), std::string("/tmp/jobXX").size() + 6) << first;
    EXPECT_EQ(first.substr(0, 10), "/tmp/jobXX");
    EXPECT_NE(first.substr(10), "XXXXXX");
    EXPECT_EQ(mode_of(first), 0600u);
    EXPECT_NE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0);  // no leak into spawned processes
    EXPECT_TRUE(write_all(fd.get(), "abc", 3));
    EXPECT_EQ(read_file(first), "abc");

    // A second create forgets the first file without removing it.
    fd_holder fd2 = holder.create("job");
    ASSERT_GE(fd2.get(), 0);
    second = holder.get_path();
    EXPECT_NE(first, second);

    // A failed create leaves the holder as it was.
    errno = 0;
    EXPECT_EQ(holder.create_from_template("/tmp/no-x-at-the-end").get(), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(holder.get_path(), second);
  }
  EXPECT_TRUE(exists(first));
  EXPECT_FALSE(exists(second));
  ::unlink(first.c_str());

  TmpFileHolder kept;
  ASSERT_GE(kept.create("job").get(), 0);
  const std::string kept_path = kept.get_path();
  kept.dismiss();
  EXPECT_EQ(kept.get_path(), "");
  EXPECT_TRUE(exists(kept_path));

  TmpFileHolder gone;
  ASSERT_GE(gone.create_from_template(kept_path + "-XXXXXX").get(), 0);
  const std::string gone_path = gone.get_path();
  gone.release();
  EXPECT_FALSE(exists(gone_path));
  EXPECT_EQ(gone.get_path(), "");
  ::unlink(kept_path.c_str());
}

TEST(TmpFileHolder, MovesTransferOwnership) {
  TmpFileHolder a, b;
  ASSERT_GE(a.create("mv").get(), 0);
  ASSERT_GE(b.create("mv").get(), 0);
  const std::string pa = a.get_path(), pb = b.get_path();
  b = std::move(a);  // b's own file goes first
  EXPECT_FALSE(exists(pb));
  EXPECT_EQ(b.get_path(), pa);
  EXPECT_EQ(a.get_path(), "");
  auto& self = b;
  b = std::move(self);  // self-assignment keeps the file
  EXPECT_TRUE(exists(pa));
  {
    TmpFileHolder c(std::move(b));
    EXPECT_EQ(b.get_path(), "");
  }
  EXPECT_FALSE(exists(pa));
}

TEST(TmpDirHolder, RemovesTheWholeTreeButNotWhatLinksPointTo) {
  TempDir outside;
  const std::string target = outside.write("target", "keep");
  std::string path;
  {
    TmpDirHolder holder;
    ASSERT_TRUE(holder.create("dir"));
    path = holder.get_path();
    EXPECT_EQ(path.substr(0, 10), "/tmp/dirXX");
    EXPECT_EQ(mode_of(path), 0700u);
    fs::create_directories(path + "/a/b/c");
    std::ofstream(path + "/a/b/file") << "x";
    fs::create_symlink(target, path + "/a/link");
    fs::create_directory_symlink(outside.path(), path + "/a/dirlink");
    fs::create_symlink(path + "/missing", path + "/dangling");
    ASSERT_EQ(::mkfifo((path + "/fifo").c_str(), 0600), 0);
  }
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(read_file(target), "keep");

  TmpDirHolder kept;
  ASSERT_TRUE(kept.create("dir"));
  path = kept.get_path();
  kept.dismiss();
  EXPECT_TRUE(exists(path));
  EXPECT_TRUE(delete_dir(path.c_str()));
  EXPECT_FALSE(exists(path));
}

TEST(WriteAndCopy, CompleteDespiteSignalsAndPartialTransfers) {
  // A handler without SA_RESTART makes blocked pipe reads and writes return early.
  struct sigaction sa {}, old {};
  sa.sa_handler = [](int) {};
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

  const std::string data = pattern_bytes(1 << 20);
  int in[2], out[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::pipe(out), 0);
  std::atomic<bool> writer_done{false}, copier_done{false};
  bool wrote = false, copied = false;
  std::thread writer([&] {
    wrote = write_all(in[1], data.data(), static_cast<int32_t>(data.size()));
    ::close(in[1]);
    writer_done = true;
  });
  std::thread copier([&] {
    copied = copy_file(in[0], out[1]);
    ::close(out[1]);
    copier_done = true;
  });
  std::string received;
  char buf[1000];
  for (;;) {
    if (!writer_done) ::pthread_kill(writer.native_handle(), SIGUSR1);
    if (!copier_done) ::pthread_kill(copier.native_handle(), SIGUSR1);
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0);
    received.append(buf, static_cast<size_t>(n));
  }
  writer.join();
  copier.join();
  ::close(in[0]);
  ::close(out[0]);
  ::sigaction(SIGUSR1, &old, nullptr);
  EXPECT_TRUE(wrote);
  EXPECT_TRUE(copied);
  EXPECT_TRUE(received == data) << received.size() << " of " << data.size() << " bytes";
}

TEST(WriteAndCopy, FailuresKeepTheirErrno) {
  TempDir dir;
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  errno = 0;
  EXPECT_FALSE(write_all(full, "x", 1));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_TRUE(write_all(full, "", 0));  // nothing to write, nothing tried
  EXPECT_FALSE(write_all(full, "x", -1));
  EXPECT_EQ(errno, EINVAL);

  const int src = ::open(dir.write("src", "abc").c_str(), O_RDONLY);
  EXPECT_FALSE(copy_file(src, full));
  EXPECT_EQ(errno, ENOSPC);
  ::close(full);
  const int dir_fd = ::open(dir.path().c_str(), O_RDONLY);
  EXPECT_FALSE(copy_file(dir_fd, src));
  EXPECT_EQ(errno, EISDIR);
  ::close(dir_fd);

  // From the current offset to the end; neither descriptor is moved back or closed.
  ASSERT_EQ(::lseek(src, 1, SEEK_SET), 1);
  const int dst = ::open(dir.file("dst").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_TRUE(write_all(dst, "<", 1));
  EXPECT_TRUE(copy_file(src, dst));
  EXPECT_EQ(::lseek(src, 0, SEEK_CUR), 3);
  EXPECT_TRUE(write_all(dst, ">", 1));
  EXPECT_EQ(read_file(dir.file("dst")), "<bc>");
  ::close(src);
  ::close(dst);

  EXPECT_FALSE(write_file_content("/dev/full", "x", 0600));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(write_file_content(dir.file("no/such").c_str(), "x", 0600));
  EXPECT_EQ(errno, ENOENT);
}

TEST(WriteAndCopy, WriteFileContentCreatesAndTruncates) {
  TempDir dir;
  const mode_t old_umask = ::umask(022);
  const std::string path = dir.file("f");
  EXPECT_TRUE(write_file_content(path.c_str(), "long content", 0664));
  EXPECT_EQ(mode_of(path), 0644u);
  EXPECT_TRUE(write_file_content(path.c_str(), std::string("s\0t", 3), 0600));
  EXPECT_EQ(read_file(path), std::string("s\0t", 3));
  EXPECT_EQ(mode_of(path), 0644u);  // an existing file keeps its mode
  const std::string big = pattern_bytes(300000);
  EXPECT_TRUE(write_file_content(path.c_str(), big, 0600));
  EXPECT_TRUE(read_file(path) == big);
  ::umask(old_umask);
}

TEST(ReadFileContent, LimitAndAppendRules) {
  TempDir dir;
  struct Case {
    std::string before;
    size_t file_size;
    uint64_t max;
    bool ok;
    size_t size_after;
  };
  const Case cases[] = {
      {"", 10, 10, true, 10},   {"", 11, 10, false, 11},       {"", 0, 0, true, 0},
      {"abc", 8, 10, false, 11}, {"abc", 7, 10, true, 10},      {"", 10000, 5000, false, 8192},
      {"", 10000, 10000, true, 10000},
  };
  for (const auto& c : cases) {
    const std::string content = pattern_bytes(c.file_size);
    const std::string path = dir.write("f", content);
    std::string out = c.before;
    errno = 0;
    EXPECT_EQ(read_file_content(out, path.c_str(), c.max), c.ok) << c.file_size << "/" << c.max;
    EXPECT_EQ(out.size(), c.size_after);
    EXPECT_TRUE(out == (c.before + content).substr(0, c.size_after));
    if (!c.ok) {
      EXPECT_EQ(errno, EFBIG);
    }
  }
  std::string out = "keep";
  EXPECT_FALSE(read_file_content(out, dir.file("missing").c_str(), 100));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(out, "keep");
}

TEST(ProcessFileContent, ChunksStopAndReadFailure) {
  TempDir dir;
  const std::string content = pattern_bytes(10000);
  const int fd = ::open(dir.write("f", content).c_str(), O_RDONLY);
  std::vector<unsigned long> sizes;
  std::string seen;
  EXPECT_TRUE(process_file_content(fd, [&](const char* p, unsigned long n) {
    sizes.push_back(n);
    seen.append(p, n);
    return true;
  }));
  EXPECT_EQ(sizes, (std::vector<unsigned long>{4096, 4096, 1808}));
  EXPECT_TRUE(seen == content);

  ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  int calls = 0;
  EXPECT_FALSE(process_file_content(fd, [&](const char*, unsigned long) { return ++calls > 5; }));
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  EXPECT_THROW(process_file_content(fd, {}), std::bad_function_call);
  ::close(fd);

  auto capture = std::make_shared<LogCapture>();
  log::get_global_configuration().add_sink(capture, log::Level::DEBUG);
  const int dir_fd = ::open(dir.path().c_str(), O_RDONLY);
  EXPECT_FALSE(process_file_content(dir_fd, [](const char*, unsigned long) { return true; }));
  EXPECT_EQ(errno, EISDIR);
  ::close(dir_fd);
  log::get_global_configuration().remove_sink(capture);
  EXPECT_EQ(capture->lines,
            std::vector<std::string>{"process_file_content: read: (21) Is a directory"});
}

TEST(CopyFileAtomic, ModesContentAndCleanFailure) {
  TempDir dir;
  const std::string content = pattern_bytes(100000);
  const std::string src = dir.write("src", content);
  ASSERT_EQ(::chmod(src.c_str(), 0755), 0);
  const std::string dst = dir.file("dst");
  const std::pair<uint32_t, unsigned> modes[] = {{0644, 0644}, {0, 0600}, {07777, 0755}, {0700, 0700}};
  for (const auto& [mode, expected] : modes) {
    std::ofstream(dst) << "old";
    EXPECT_TRUE(copy_file_atomic(src.c_str(), dst.c_str(), mode));
    EXPECT_EQ(mode_of(dst), expected) << std::oct << mode;
    EXPECT_TRUE(read_file(dst) == content);
  }

  // Failures: missing source, unreadable source (a directory), missing destination directory,
  // a destination the rename cannot replace. Each leaves the destination and no temporary file.
  const std::string sub = dir.file("sub");
  fs::create_directory(sub);
  std::ofstream(dst) << "old";
  const std::tuple<std::string, std::string, int> failures[] = {
      {dir.file("missing"), dst, ENOENT},
      {sub, dst, EISDIR},
      {src, dir.file("nodir/dst"), ENOENT},
      {src, sub, EISDIR},
  };
  for (const auto& [from, to, err] : failures) {
    errno = 0;
    EXPECT_FALSE(copy_file_atomic(from.c_str(), to.c_str(), 0644)) << from << " -> " << to;
    EXPECT_EQ(errno, err) << from << " -> " << to;
    EXPECT_EQ(read_file(dst), "old");
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) {
      (void)e;
      ++entries;
    }
    EXPECT_EQ(entries, 3u) << "a temporary file was left behind";
  }

  // A write that fails part-way (the file size limit) is cleaned up the same way.
  const std::string limited = in_child([&]() -> std::string {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit {4096, 4096};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return "setrlimit failed";
    errno = 0;
    if (copy_file_atomic(src.c_str(), dst.c_str(), 0644)) return "copy succeeded";
    return errno == EFBIG ? "" : "errno " + std::to_string(errno);
  });
  EXPECT_EQ(limited, "");
  EXPECT_EQ(read_file(dst), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
}

struct Visit {
  FileTraverse::Kind kind;
  std::string path;  // relative to the root
  int level;
  bool operator==(const Visit&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Visit& v) {
  return o << static_cast<int>(v.kind) << ":" << v.path << "@" << v.level;
}

std::vector<Visit> walk(const std::string& root, int32_t depth, const char* skip = nullptr) {
  std::vector<Visit> visits;
  FileTraverse t(root.c_str(), true, depth);
  while (t.next()) {
    const std::string path = std::string(t.path()).substr(root.size());
    visits.push_back({t.kind(), path, t.level()});
    if (skip && path == skip && t.kind() == FileTraverse::Kind::DIRECTORY) {
      EXPECT_EQ(t.skip_descendants(), 0);
    }
  }
  EXPECT_FALSE(t.next());  // stays at the end
  return visits;
}

TEST(FileTraverse, DepthLimitsSkipAndKinds) {
  using K = FileTraverse::Kind;
  TempDir dir;
  const std::string root = dir.file("r");
  fs::create_directories(root + "/a/b");
  std::ofstream(root + "/a/b/y") << "y";
  fs::create_symlink("a", root + "/link");

  EXPECT_EQ(walk(root, 0), (std::vector<Visit>{{K::DIRECTORY, "", 0}, {K::DIRECTORY_POST, "", 0}}));
  const std::vector<Visit> depth1{{K::DIRECTORY, "", 0},
                                  {K::DIRECTORY, "/a", 1},
                                  {K::DIRECTORY_POST, "/a", 1},
                                  {K::DIRECTORY_POST, "", 0}};
  auto one = walk(root, 1);
  ASSERT_EQ(one.size(), 5u);
  EXPECT_EQ(std::count(one.begin(), one.end(), Visit{K::SYMLINK, "/link", 1}), 1);
  one.erase(std::remove(one.begin(), one.end(), Visit{K::SYMLINK, "/link", 1}), one.end());
  EXPECT_EQ(one, depth1);
  EXPECT_EQ(walk(root, -1, "/a").size(), 5u);  // skipping /a hides b and y

  const auto all = walk(root, -1);
  ASSERT_EQ(all.size(), 8u);
  const std::vector<Visit> inner{{K::DIRECTORY, "/a/b", 2}, {K::FILE, "/a/b/y", 3}, {K::DIRECTORY_POST, "/a/b", 2}};
  EXPECT_NE(std::search(all.begin(), all.end(), inner.begin(), inner.end()), all.end());

  EXPECT_EQ(walk(dir.file("missing"), -1), (std::vector<Visit>{{K::STAT_FAILED, "", 0}}));
  try {
    FileTraverse bad("", true, -1);
    ADD_FAILURE() << "an empty root must not open";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
    EXPECT_NE(std::string(e.what()).find("fts_open"), std::string::npos);
  }
}

TEST(FileTraverse, CycleEntryDoesNotHideItsSiblings) {
  using K = FileTraverse::Kind;
  TempDir dir;
  const std::string root = dir.file("r");
  fs::create_directories(root + "/sub/loop");
  for (int i = 0; i < 8; ++i) std::ofstream(root + "/sub/f" + std::to_string(i)) << i;
  const std::string result = in_child([&]() -> std::string {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(root.c_str(), (root + "/sub/loop").c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return "skip";
    }
    const auto visits = walk(root, -1);
    int files = 0, cycles = 0, sub_post = 0;
    for (const auto& v : visits) {
      files += v.kind == K::FILE;
      cycles += v.kind == K::DIRECTORY_CYCLE && v.path == "/sub/loop";
      sub_post += v.kind == K::DIRECTORY_POST && v.path == "/sub";
    }
    if (files != 8 || cycles != 1 || sub_post != 1 || visits.back() != Visit{K::DIRECTORY_POST, "", 0}) {
      return "files " + std::to_string(files) + " cycles " + std::to_string(cycles) + " sub post " +
             std::to_string(sub_post) + " entries " + std::to_string(visits.size());
    }
    return "";
  });
  if (result == "skip") GTEST_SKIP() << "bind mounts are not available here";
  EXPECT_EQ(result, "");
}

TEST(DeleteDir, LeavesAnotherFileSystemMountedInsideAlone) {
  TempDir dir;
  const std::string root = dir.file("r");
  fs::create_directories(root + "/mnt");
  const std::string result = in_child([&]() -> std::string {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", (root + "/mnt").c_str(), "tmpfs", 0, "size=64k") != 0) {
      return "skip";
    }
    std::ofstream(root + "/mnt/precious") << "p";
    auto capture = std::make_shared<LogCapture>();
    log::get_global_configuration().add_sink(capture, log::Level::DEBUG);
    errno = 0;
    const bool deleted = delete_dir(root.c_str());
    const int error = errno;
    log::get_global_configuration().remove_sink(capture);
    if (deleted) return "delete_dir succeeded";
    if (error != EBUSY) return "errno " + std::to_string(error);
    if (!exists(root + "/mnt/precious")) return "a file on the mounted file system went";
    const std::string expected = "util: delete_dir failed to rmdir " + root + "/mnt: (16) Device or resource busy";
    if (capture->lines != std::vector<std::string>{expected}) {
      return "log: " + (capture->lines.empty() ? std::string("none") : capture->lines[0]);
    }
    return "";
  });
  if (result == "skip") GTEST_SKIP() << "mounts are not available here";
  EXPECT_EQ(result, "");
}

TEST(DeleteDir, StopsAtWhatCannotBeRemovedAndReportsIt) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  EXPECT_TRUE(delete_dir(dir.file("missing").c_str()));
  const std::string result = in_child([&]() -> std::string {
    if (!become_nobody(dir.path())) return "skip";
    const std::string root = dir.file("r");
    fs::create_directories(root + "/locked");
    fs::create_directories(root + "/unreadable");
    std::ofstream(root + "/locked/f") << "f";
    ::chmod((root + "/locked").c_str(), 0555);
    ::chmod((root + "/unreadable").c_str(), 0);

    // An unreadable directory is visited three times: pre-order, unreadable, post-order.
    std::vector<FileTraverse::Kind> kinds;
    for (FileTraverse t((root + "/unreadable").c_str(), true, -1); t.next();) kinds.push_back(t.kind());
    using K = FileTraverse::Kind;
    if (kinds != std::vector<K>{K::DIRECTORY, K::DIRECTORY_UNREADABLE, K::DIRECTORY_POST}) {
      return "unreadable directory visits: " + std::to_string(kinds.size());
    }

    auto capture = std::make_shared<LogCapture>();
    log::get_global_configuration().add_sink(capture, log::Level::DEBUG);
    errno = 0;
    if (delete_dir(root.c_str())) return "delete_dir succeeded";
    if (errno != EACCES) return "errno " + std::to_string(errno);
    if (!exists(root + "/locked/f")) return "the locked file went";
    const std::string expected = "util: delete_dir failed to unlink " + root + "/locked/f: (13) Permission denied";
    if (capture->lines != std::vector<std::string>{expected}) {
      return "log: " + (capture->lines.empty() ? std::string("none") : capture->lines[0]);
    }
    ::chmod((root + "/locked").c_str(), 0755);
    if (!delete_dir(root.c_str()) || exists(root)) return "second delete_dir failed";
    return "";
  });
  if (result == "skip") GTEST_SKIP() << "cannot run as an ordinary user here";
  EXPECT_EQ(result, "");
}

}  // namespace
}  // namespace ktu::util
