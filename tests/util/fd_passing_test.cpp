#include "ktu/util/fd_passing.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ktu/log/log.hpp"

namespace ktu::util {
namespace {

// Captures the messages logged while it is alive.
class LogCapture {
 public:
  struct Sink : log::LogSink {
    std::vector<std::string> messages;
    void log(log::EventData& data) override { messages.push_back(data.event.get_description()); }
  };
  LogCapture() { log::get_global_configuration().add_sink(sink, log::Level::DEBUG); }
  ~LogCapture() { log::get_global_configuration().remove_sink(sink); }
  const std::vector<std::string>& messages() const { return sink->messages; }

 private:
  std::shared_ptr<Sink> sink = std::make_shared<Sink>();
};

struct SocketPair {
  fd_holder a, b;
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      a.reset(fds[0]);
      b.reset(fds[1]);
    }
  }
};

int open_descriptor_count() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (dirent* e = ::readdir(dir)) count += e->d_name[0] != '.';
  ::closedir(dir);
  return count;
}

fd_holder memfd_with(const std::string& content) {
  fd_holder fd(::memfd_create("fd-passing-test", MFD_CLOEXEC));
  EXPECT_EQ(::write(fd.get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
  return fd;
}

// Sends `count` descriptors (or none) with one byte, as a misbehaving peer could.
void send_raw(int sock, const std::vector<int>& fds) {
  char byte = 0x7f;
  iovec iov{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (!fds.empty()) {
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(fds.size() * sizeof(int));
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), fds.data(), fds.size() * sizeof(int));
  }
  ASSERT_EQ(::sendmsg(sock, &msg, 0), 1);
}

TEST(FdPassing, MemoryFileCrossesTheSocketAndReadsBack) {
  SocketPair pair;
  ASSERT_TRUE(pair.a && pair.b);
  const std::string content = std::string("request body\0with a NUL", 23) + std::string(70000, 'x');
  fd_holder body = memfd_with(content);

  ASSERT_TRUE(write_fd_to_unix_pipe(pair.a.get(), body.get()));
  const fd_holder received = read_fd_from_unix_pipe(pair.b.get());
  ASSERT_TRUE(received) << std::strerror(errno);
  EXPECT_NE(received.get(), body.get());

  struct stat sent_stat {}, received_stat {};
  ASSERT_EQ(::fstat(body.get(), &sent_stat), 0);
  ASSERT_EQ(::fstat(received.get(), &received_stat), 0);
  EXPECT_EQ(sent_stat.st_ino, received_stat.st_ino);
  EXPECT_EQ(received_stat.st_size, static_cast<off_t>(content.size()));
  std::string back(content.size(), '\0');
  ASSERT_EQ(::pread(received.get(), back.data(), back.size(), 0), static_cast<ssize_t>(back.size()));
  EXPECT_EQ(back, content);
  EXPECT_NE(::fcntl(received.get(), F_GETFD) & FD_CLOEXEC, 0);

  // On the wire: exactly one byte, 0x00, with one descriptor of 20 bytes of ancillary data.
  ASSERT_TRUE(write_fd_to_unix_pipe(pair.a.get(), body.get()));
  char data[8];
  iovec iov{data, sizeof data};
  alignas(cmsghdr) char control[64];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ASSERT_EQ(::recvmsg(pair.b.get(), &msg, MSG_DONTWAIT), 1);
  EXPECT_EQ(data[0], 0);
  cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
  ASSERT_NE(cmsg, nullptr);
  EXPECT_EQ(cmsg->cmsg_level, SOL_SOCKET);
  EXPECT_EQ(cmsg->cmsg_type, SCM_RIGHTS);
  EXPECT_EQ(cmsg->cmsg_len, 20u);
  EXPECT_EQ(CMSG_NXTHDR(&msg, cmsg), nullptr);
  int extra;
  std::memcpy(&extra, CMSG_DATA(cmsg), sizeof extra);
  ::close(extra);
}

TEST(FdPassing, SendToClosedPeerFailsWithEpipeInsteadOfKillingTheProcess) {
  // The default disposition, as in the daemon: a raised SIGPIPE would end this test.
  const auto previous = std::signal(SIGPIPE, SIG_DFL);
  SocketPair pair;
  fd_holder body = memfd_with("x");
  pair.b.reset();
  errno = 0;
  EXPECT_FALSE(write_fd_to_unix_pipe(pair.a.get(), body.get()));
  EXPECT_EQ(errno, EPIPE);
  std::signal(SIGPIPE, previous);

  errno = 0;
  EXPECT_FALSE(write_fd_to_unix_pipe(-1, body.get()));
  EXPECT_EQ(errno, EBADF);
}

TEST(FdPassing, ReceiverRejectsWhatIsNotOneDescriptor) {
  LogCapture log;
  SocketPair pair;

  send_raw(pair.a.get(), {});
  errno = 1234;
  EXPECT_FALSE(read_fd_from_unix_pipe(pair.b.get()));
  EXPECT_EQ(errno, ENOENT);
  ASSERT_EQ(log.messages(), std::vector<std::string>{"recvmsg no header"});

  // Two descriptors in one message: rejected, and neither is left open in this process.
  fd_holder one = memfd_with("1"), two = memfd_with("2");
  const int before = open_descriptor_count();
  send_raw(pair.a.get(), {one.get(), two.get()});
  EXPECT_FALSE(read_fd_from_unix_pipe(pair.b.get()));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(log.messages().back(), "recvmsg wrong length");
  EXPECT_EQ(open_descriptor_count(), before);

  // A receiver that asked for credentials finds them as the first control message.
  const int on = 1;
  ASSERT_EQ(::setsockopt(pair.b.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on), 0);
  send_raw(pair.a.get(), {});
  EXPECT_FALSE(read_fd_from_unix_pipe(pair.b.get()));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(log.messages().back(), "recvmsg type not rights");
  const int off = 0;
  ASSERT_EQ(::setsockopt(pair.b.get(), SOL_SOCKET, SO_PASSCRED, &off, sizeof off), 0);

  // Nothing to read on a non-blocking socket: the system's errno.
  ASSERT_EQ(::fcntl(pair.b.get(), F_SETFL, O_NONBLOCK), 0);
  EXPECT_FALSE(read_fd_from_unix_pipe(pair.b.get()));
  EXPECT_EQ(errno, EAGAIN);

  // End of stream: errno 0 and nothing logged.
  const auto logged = log.messages().size();
  pair.a.reset();
  errno = 1234;
  EXPECT_FALSE(read_fd_from_unix_pipe(pair.b.get()));
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(log.messages().size(), logged);
}

TEST(FdHolder, ResetClosesOnceAndKeepsErrno) {
  fd_holder empty;
  errno = 1234;
  empty.reset(-1);
  EXPECT_EQ(errno, 1234);

  const int raw = ::memfd_create("holder", 0);
  ASSERT_NE(raw, -1);
  {
    fd_holder first(raw);
    fd_holder second(std::move(first));
    EXPECT_EQ(first.get(), -1);
    EXPECT_EQ(second.get(), raw);
    errno = 1234;
    second.reset(-1);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1);
  }

  const int kept = ::memfd_create("holder", 0);
  {
    fd_holder h(kept);
    EXPECT_EQ(h.release(), kept);
  }
  EXPECT_NE(::fcntl(kept, F_GETFD), -1);  // released, so not closed by the destructor
  ::close(kept);
}

}  // namespace
}  // namespace ktu::util
