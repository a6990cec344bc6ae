// Opening the file a reader was given. Readers take only regular files: a
// named pipe without a writer would block open() for ever (with the
// interpreter lock held, every Python thread with it), and a device or
// socket has no end a picture or stream could be cut from. Plain C++ without
// Python, so that fuzz targets link it as is.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace quillon {

// Opens `path` read-only (close-on-exec, blocking reads) if it is a regular
// file and returns the descriptor, with the file's size in `*size` when
// asked. Otherwise returns -1 with errno set: the error of open or fstat,
// EISDIR for a folder, EINVAL for any other kind of file. The file is opened
// without blocking and checked before anything is read from it.
inline int open_regular_file(const std::string& path, uint64_t* size = nullptr) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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

}  // namespace quillon
