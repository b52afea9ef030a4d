#include "ktu/util/file.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "ktu/log/log.hpp"

namespace ktu::util {

namespace {

// Closes a descriptor without disturbing the errno of the failure being reported.
void close_keep_errno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

std::string tmp_template(const char* prefix) {
  // Only the last six X vary; the two before them stay literal.
  return std::string("/tmp/") + (prefix ? prefix : "") + "XXXXXXXX";
}

fd_holder make_temporary(std::string& path, std::string path_template) {
  const int fd = ::mkostemp(path_template.data(), O_CLOEXEC);
  if (fd < 0) return fd_holder(-1);
  path = std::move(path_template);
  return fd_holder(fd);
}

}  // namespace

TmpFileHolder::~TmpFileHolder() {
  if (!path.empty()) ::unlink(path.c_str());
}

TmpFileHolder::TmpFileHolder(TmpFileHolder&& other) noexcept : path(std::move(other.path)) {
  other.path.clear();
}

TmpFileHolder& TmpFileHolder::operator=(TmpFileHolder&& other) noexcept {
  // Self-assignment must not remove the file it still names.
  if (this == &other) return *this;
  release();
  path = std::move(other.path);
  other.path.clear();
  return *this;
}

fd_holder TmpFileHolder::create(const char* prefix) { return make_temporary(path, tmp_template(prefix)); }

fd_holder TmpFileHolder::create_from_template(std::string path_template) {
  return make_temporary(path, std::move(path_template));
}

void TmpFileHolder::release() {
  if (path.empty()) return;
  ::unlink(path.c_str());
  path.clear();
}

TmpDirHolder::~TmpDirHolder() {
  if (path.empty()) return;
  try {
    delete_dir(path.c_str());
  } catch (...) {
    // A destructor cannot report; the directory is left behind.
  }
}

TmpDirHolder::TmpDirHolder(TmpDirHolder&& other) noexcept : path(std::move(other.path)) {
  other.path.clear();
}

TmpDirHolder& TmpDirHolder::operator=(TmpDirHolder&& other) noexcept {
  if (this == &other) return *this;
  TmpDirHolder old(std::move(*this));  // deletes the tree this holder owned
  path = std::move(other.path);
  other.path.clear();
  return *this;
}

bool TmpDirHolder::create(const char* prefix) {
  std::string path_template = tmp_template(prefix);
  if (!::mkdtemp(path_template.data())) return false;
  path = std::move(path_template);
  return true;
}

bool write_all(int fd, const char* data, int32_t len) {
  if (len < 0) {
    errno = EINVAL;
    return false;
  }
  int32_t done = 0;
  while (done < len) {
    const ssize_t n = ::write(fd, data + done, static_cast<size_t>(len - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<int32_t>(n);
  }
  return true;
}

bool write_file_content(const char* path, const std::string& content, int mode) {
  // The length is a signed 32-bit count: refuse rather than write a truncated file.
  if (content.size() > static_cast<size_t>(INT32_MAX)) {
    errno = EFBIG;
    return false;
  }
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  if (!write_all(fd, content.data(), static_cast<int32_t>(content.size()))) {
    close_keep_errno(fd);
    return false;
  }
  // A failed close can be the first report of a lost write (network file systems).
  if (::close(fd) != 0 && errno != EINTR) return false;
  return true;
}

bool copy_file(int src_fd, int dst_fd) {
  char buffer[32768];
  for (;;) {
    const ssize_t n = ::read(src_fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!write_all(dst_fd, buffer, static_cast<int32_t>(n))) return false;
  }
}

bool process_file_content(int fd, const std::function<bool(const char*, unsigned long)>& consumer) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      KTU_LOGP(ERROR, "process_file_content", "read: %m");
      errno = saved;
      return false;
    }
    if (n == 0) return true;
    if (!consumer(buffer, static_cast<unsigned long>(n))) return false;
  }
}

bool read_file_content(std::string& out, const char* path, uint64_t max_size) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool too_large = false;
  const bool ok = process_file_content(fd, [&](const char* data, unsigned long size) {
    out.append(data, size);
    too_large = out.size() > max_size;
    return !too_large;
  });
  // The limit is not a failed call: give the caller an errno that says what happened.
  if (too_large) errno = EFBIG;
  close_keep_errno(fd);
  return ok;
}

bool copy_file_atomic(const char* src_path, const char* dst_path, uint32_t mode) {
  const int src = ::open(src_path, O_RDONLY | O_CLOEXEC);
  if (src < 0) return false;
  std::string tmp_path = std::string(dst_path) + ".XXXXXX";
  const int tmp = ::mkostemp(tmp_path.data(), O_CLOEXEC);
  if (tmp < 0) {
    close_keep_errno(src);
    return false;
  }
  if (mode != 0) {
    struct stat st;
    if (::fstat(src, &st) == 0) ::fchmod(tmp, st.st_mode & mode & 07777);
  }
  // The data reaches the disk before the rename, so a crash cannot leave an empty or partial
  // file under the destination's name.
  if (copy_file(src, tmp) && ::fsync(tmp) == 0 && ::rename(tmp_path.c_str(), dst_path) == 0) {
    close_keep_errno(src);
    close_keep_errno(tmp);
    return true;
  }
  const int saved = errno;
  ::unlink(tmp_path.c_str());
  ::close(src);
  ::close(tmp);
  errno = saved;
  return false;
}

bool delete_dir(const char* path) {
  FileTraverse walk(path, true, -1);
  while (walk.next()) {
    switch (walk.kind()) {
      case FileTraverse::Kind::FILE:
      case FileTraverse::Kind::SYMLINK:
      case FileTraverse::Kind::SYMLINK_DANGLING:
      case FileTraverse::Kind::OTHER:
        if (::unlink(walk.path()) != 0) {
          const int saved = errno;
          KTU_LOGP(DEBUG, "util", "delete_dir failed to unlink %s: %m", walk.path());
          errno = saved;
          return false;
        }
        break;
      case FileTraverse::Kind::DIRECTORY_POST:
        if (::rmdir(walk.path()) != 0) {
          const int saved = errno;
          KTU_LOGP(DEBUG, "util", "delete_dir failed to rmdir %s: %m", walk.path());
          errno = saved;
          return false;
        }
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace ktu::util

FileTraverse::FileTraverse(const char* path, bool same_filesystem, int32_t max_depth)
    : max_depth(max_depth) {
  char* roots[] = {const_cast<char*>(path), nullptr};
  int options = FTS_NOCHDIR | FTS_PHYSICAL;
  if (same_filesystem) options |= FTS_XDEV;
  stream = ::fts_open(roots, options, nullptr);
  if (!stream) throw std::system_error(errno, std::system_category(), "fts_open");
}

FileTraverse::~FileTraverse() {
  if (stream) ::fts_close(stream);
}

bool FileTraverse::next() {
  if (!stream) return false;
  if (!started) {
    started = true;
    current = ::fts_read(stream);
    return examine();
  }
  if (!current) return false;
  if (current->fts_info == FTS_DNR) {
    // The walk itself gives an unreadable directory no post-order visit; give it one.
    current->fts_info = FTS_DP;
    return examine();
  }
  // A cycle entry is never descended into, so the walk simply goes on with its next sibling.
  current = ::fts_read(stream);
  return examine();
}

bool FileTraverse::examine() {
  for (;;) {
    if (!current) return false;
    switch (current->fts_info) {
      case FTS_D:
        if (max_depth >= 0 && current->fts_level >= max_depth) ::fts_set(stream, current, FTS_SKIP);
        return true;
      case FTS_DC:
      case FTS_DEFAULT:
      case FTS_DNR:
      case FTS_DP:
      case FTS_ERR:
      case FTS_F:
      case FTS_NS:
      case FTS_SL:
      case FTS_SLNONE:
        return true;
      default:
        // Dot entries, initialised-only entries, entries without status, whiteouts.
        current = ::fts_read(stream);
        break;
    }
  }
}

int FileTraverse::skip_descendants() {
  if (!current) {
    errno = EINVAL;
    return -1;
  }
  return ::fts_set(stream, current, FTS_SKIP);
}

FileTraverse::Kind FileTraverse::kind() const {
  switch (current->fts_info) {
    case FTS_D: return Kind::DIRECTORY;
    case FTS_DP: return Kind::DIRECTORY_POST;
    case FTS_DC: return Kind::DIRECTORY_CYCLE;
    case FTS_DNR: return Kind::DIRECTORY_UNREADABLE;
    case FTS_F: return Kind::FILE;
    case FTS_SL: return Kind::SYMLINK;
    case FTS_SLNONE: return Kind::SYMLINK_DANGLING;
    case FTS_NS: return Kind::STAT_FAILED;
    case FTS_ERR: return Kind::ERROR;
    default: return Kind::OTHER;
  }
}

const struct stat* FileTraverse::status() const {
  switch (current->fts_info) {
    case FTS_NS:
    case FTS_NSOK:
    case FTS_ERR:
      return nullptr;
    default:
      return current->fts_statp;
  }
}
