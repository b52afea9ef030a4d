// File-system helpers: temporary files and directories that remove themselves, complete writes
// and copies that survive interrupted calls, chunked reading, an atomic copy by rename, a
// recursive delete and a depth-limited directory walk.
//
// Every helper reports failure by false (or a descriptor of -1) and leaves the failing call's
// errno in place; closes on the way out never overwrite it. Only FileTraverse's constructor throws.
#pragma once

#include <fts.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "ktu/util/fd_holder.hpp"

namespace ktu::util {

// Owns the path of a temporary file and unlinks it when it goes.
class TmpFileHolder {
 public:
  TmpFileHolder() = default;
  ~TmpFileHolder();
  TmpFileHolder(TmpFileHolder&& other) noexcept;
  TmpFileHolder& operator=(TmpFileHolder&& other) noexcept;
  TmpFileHolder(const TmpFileHolder&) = delete;
  TmpFileHolder& operator=(const TmpFileHolder&) = delete;

  // A new empty owner-only file "/tmp/<prefix>XX??????". On success the holder takes its path,
  // forgetting (not removing) a file it held before; on failure the holder is unchanged.
  fd_holder create(const char* prefix);
  // The same on a caller's template, which must end in six X.
  fd_holder create_from_template(std::string path_template);

  const std::string& get_path() const { return path; }
  // Forgets the path; the file stays (e.g. after it was renamed into place).
  void dismiss() { path.clear(); }
  // Removes the file now and forgets the path.
  void release();

 private:
  std::string path;
};

// Owns the path of a temporary directory and deletes the whole tree when it goes.
class TmpDirHolder {
 public:
  TmpDirHolder() = default;
  ~TmpDirHolder();
  TmpDirHolder(TmpDirHolder&& other) noexcept;
  TmpDirHolder& operator=(TmpDirHolder&& other) noexcept;
  TmpDirHolder(const TmpDirHolder&) = delete;
  TmpDirHolder& operator=(const TmpDirHolder&) = delete;

  // A new owner-only directory "/tmp/<prefix>XX??????"; the same holding rules as TmpFileHolder.
  bool create(const char* prefix);
  const std::string& get_path() const { return path; }
  void dismiss() { path.clear(); }

 private:
  std::string path;
};

// Writes all `len` bytes; EINTR is retried, a write that makes no progress is a failure.
bool write_all(int fd, const char* data, int32_t len);
// Creates or truncates `path` with creation mode `mode` and writes all of `content`.
bool write_file_content(const char* path, const std::string& content, int mode);
// Copies from the current offset of `src_fd` to its end into `dst_fd`; neither is closed.
bool copy_file(int src_fd, int dst_fd);
// Hands the content to `consumer` in chunks of up to 4096 bytes; stops with false as soon as the
// consumer returns false or a read fails.
bool process_file_content(int fd, const std::function<bool(const char*, unsigned long)>& consumer);
// Appends the file to `out`; false (errno EFBIG) once `out` grows past `max_size`, with the
// chunks read so far left in `out`.
bool read_file_content(std::string& out, const char* path, uint64_t max_size);
// Copies into a temporary file beside `dst_path`, flushes it to disk and renames it into place.
// `mode` masks the source's permission bits; 0 leaves the copy owner read-write only.
// On failure the destination is untouched and no temporary file remains.
bool copy_file_atomic(const char* src_path, const char* dst_path, uint32_t mode);
// Removes a tree without following symbolic links or leaving the root's file system.
// A missing root is success; the first failing unlink or rmdir stops it with false.
bool delete_dir(const char* path);

}  // namespace ktu::util

// A physical walk (symbolic links are reported, not followed) that visits each directory
// twice: in pre-order (DIRECTORY) and post-order (DIRECTORY_POST).
class FileTraverse {
 public:
  enum class Kind {
    DIRECTORY,             // pre-order visit
    DIRECTORY_POST,        // post-order visit
    DIRECTORY_CYCLE,       // a directory that is one of its own ancestors; never entered
    DIRECTORY_UNREADABLE,  // could not be listed; a post-order visit follows
    FILE,
    SYMLINK,
    SYMLINK_DANGLING,
    STAT_FAILED,
    ERROR,
    OTHER,  // devices, fifos, sockets
  };

  // max_depth: directories at this level (the root is 0) or deeper are not entered; negative
  // means no limit. Throws std::system_error ("fts_open") when the walk cannot start.
  FileTraverse(const char* path, bool same_filesystem, int32_t max_depth);
  ~FileTraverse();
  FileTraverse(const FileTraverse&) = delete;
  FileTraverse& operator=(const FileTraverse&) = delete;

  // Moves to the next entry; false at the end of the walk.
  bool next();
  // Leaves out the contents of the current pre-order directory; 0 on success.
  int skip_descendants();

  // Reads of the current entry; valid after next() returned true.
  Kind kind() const;
  const char* path() const { return current->fts_path; }
  const char* name() const { return current->fts_name; }
  int level() const { return current->fts_level; }
  // The errno of a failed stat, unreadable directory or error entry.
  int error() const { return current->fts_errno; }
  // Null where the walk has no status for the entry.
  const struct stat* status() const;

 private:
  bool examine();

  FTS* stream = nullptr;
  FTSENT* current = nullptr;
  bool started = false;
  int32_t max_depth;
};
