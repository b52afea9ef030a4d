// Passing one file descriptor over a connected unix stream socket: one data byte, 0x00,
// with the descriptor attached as SCM_RIGHTS ancillary data.
#pragma once

#include "ktu/util/fd_holder.hpp"

namespace ktu::util {

// Sends the byte with `fd` attached, once, without retry. True only when the byte went out.
// On false errno tells why: the system's errno (EPIPE when the peer has closed; no SIGPIPE
// is raised), 0 when nothing was sent, ERANGE for any other count.
bool write_fd_to_unix_pipe(int sock, int fd);

// Receives one such message. The descriptor comes with close-on-exec set. On failure the
// holder is empty and errno is: the system's errno, 0 at end of stream, ERANGE for a wrong
// byte count, ENOENT when no descriptor came with the byte, EINVAL for ancillary data of
// another level, type or length (descriptors that came with it are closed, not leaked).
fd_holder read_fd_from_unix_pipe(int sock);

}  // namespace ktu::util
