// Opening the file a reader was given, or the file a writer creates. Only
// regular files are taken: a named pipe without a writer (or, for a writer,
// without a reader) would block open() for ever (with the interpreter lock
// held, every Python thread with it), and a device or socket has no end a
// picture or stream could be cut from. Plain C++ without Python, so that fuzz
// targets link it as is.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace quillon {
namespace regular_file_detail {

// Keeps a descriptor opened without blocking if it is of a regular file,
// switched back to blocking I/O; closes it otherwise (errno set as below).
inline int keep_if_regular(int fd, uint64_t* size) {
  if (fd < 0) return -1;
  struct stat info {};
  int error = 0;
  if (::fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  } else {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) error = errno;
  }
  if (error != 0) {
    ::close(fd);
    errno = error;
    return -1;
  }
  if (size != nullptr) *size = static_cast<uint64_t>(info.st_size);
  return fd;
}

}  // namespace regular_file_detail

// Opens `path` read-only (close-on-exec, blocking reads) if it is a regular
// file and returns the descriptor, with the file's size in `*size` when
// asked. Otherwise returns -1 with errno set: the error of open or fstat,
// EISDIR for a folder, EINVAL for any other kind of file. The file is opened
// without blocking and checked before anything is read from it.
inline int open_regular_file(const std::string& path, uint64_t* size = nullptr) {
  return regular_file_detail::keep_if_regular(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY), size);
}

// Creates or truncates `path` for writing (close-on-exec, blocking writes)
// under the same rule. A pipe without a reader fails at once with ENXIO; the
// system truncates only regular files, so a file of another kind is opened
// and closed without a byte written to it.
inline int create_regular_file(const std::string& path) {
  constexpr mode_t kMode = 0666;  // less the process's umask, as for any new file
  return regular_file_detail::keep_if_regular(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, kMode), nullptr);
}

}  // namespace quillon
