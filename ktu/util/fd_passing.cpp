#include "ktu/util/fd_passing.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ktu/log/log.hpp"

namespace ktu::util {
namespace {

// Room for exactly one control message carrying one int descriptor.
union ControlBuffer {
  char bytes[CMSG_SPACE(sizeof(int))];
  cmsghdr align;
};
static_assert(sizeof(ControlBuffer) == 24);

// Closes every descriptor a rejected SCM_RIGHTS message brought in, so none leaks.
void close_received(cmsghdr* cmsg) {
  if (cmsg->cmsg_level != SOL_SOCKET || cmsg->cmsg_type != SCM_RIGHTS || cmsg->cmsg_len < CMSG_LEN(0)) return;
  const std::size_t count = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
  for (std::size_t i = 0; i < count; ++i) {
    int fd;
    std::memcpy(&fd, CMSG_DATA(cmsg) + i * sizeof(int), sizeof fd);
    ::close(fd);
  }
}

// What both directions exchange: one data byte and room for one descriptor. The header
// points into the object itself, so it is never copied.
struct OneByteMessage {
  char byte = 0;
  iovec iov{&byte, 1};
  msghdr msg{};
  ControlBuffer control{};  // last: its cmsghdr ends in a flexible array

  OneByteMessage() {
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof control.bytes;
  }
  OneByteMessage(const OneByteMessage&) = delete;
  OneByteMessage& operator=(const OneByteMessage&) = delete;
};

}  // namespace

bool write_fd_to_unix_pipe(int sock, int fd) {
  OneByteMessage one;
  msghdr& msg = one.msg;
  cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
  cmsg->cmsg_level = SOL_SOCKET;
  cmsg->cmsg_type = SCM_RIGHTS;
  cmsg->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(cmsg), &fd, sizeof fd);

  // MSG_NOSIGNAL: a peer that has just closed must fail this call with EPIPE, not raise
  // SIGPIPE and end the process.
  const ssize_t sent = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
  if (sent == 1) return true;
  if (sent == -1) return false;
  if (sent == 0) {
    errno = 0;
    return false;
  }
  KTU_LOGP(ERROR, "util", "sendmsg written %d bytes", static_cast<int>(sent));
  errno = ERANGE;
  return false;
}

fd_holder read_fd_from_unix_pipe(int sock) {
  OneByteMessage one;
  msghdr& msg = one.msg;

  const ssize_t received = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
  if (received == -1) return fd_holder();
  if (received == 0) {
    errno = 0;
    return fd_holder();
  }
  cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
  if (received != 1) {
    if (cmsg) close_received(cmsg);
    KTU_LOGP(ERROR, "util", "recvmsg read %d bytes", static_cast<int>(received));
    errno = ERANGE;
    return fd_holder();
  }
  if (msg.msg_controllen < sizeof(cmsghdr) || cmsg == nullptr) {
    KTU_LOGP(ERROR, "util", "recvmsg no header");
    errno = ENOENT;
    return fd_holder();
  }
  if (cmsg->cmsg_level != SOL_SOCKET) {
    KTU_LOGP(ERROR, "util", "recvmsg level not socket");
    errno = EINVAL;
    return fd_holder();
  }
  if (cmsg->cmsg_type != SCM_RIGHTS) {
    KTU_LOGP(ERROR, "util", "recvmsg type not rights");
    errno = EINVAL;
    return fd_holder();
  }
  if (cmsg->cmsg_len != CMSG_LEN(sizeof(int))) {
    close_received(cmsg);
    KTU_LOGP(ERROR, "util", "recvmsg wrong length");
    errno = EINVAL;
    return fd_holder();
  }
  int fd;
  std::memcpy(&fd, CMSG_DATA(cmsg), sizeof fd);
  return fd_holder(fd);
}

}  // namespace ktu::util
