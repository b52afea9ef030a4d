// An owned file descriptor: closed when the holder is reset or destroyed.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace ktu::util {

class fd_holder {
 public:
  fd_holder() = default;
  explicit fd_holder(int fd) : fd_(fd) {}
  ~fd_holder() { reset(-1); }

  fd_holder(fd_holder&& other) noexcept : fd_(other.release()) {}
  fd_holder& operator=(fd_holder&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  fd_holder(const fd_holder&) = delete;
  fd_holder& operator=(const fd_holder&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ != -1; }

  // Gives up ownership without closing; the holder is left empty.
  int release() { return std::exchange(fd_, -1); }

  // Closes the held descriptor, if any, keeping errno as it was (callers reset on error
  // paths and still report the error that brought them there); then holds `fd`.
  void reset(int fd = -1) {
    if (fd_ != -1) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace ktu::util
