// kyce: raw image files to and from device memory, and MD5 digests of files
// and host buffers. Images are plain byte runs here: no header, no format.
//
// Beyond the plain algorithm, these refuse what would silently go wrong:
// saving reports a failed device copy or file write instead of returning
// None (and never writes a file from a copy that failed); files are digested
// whole, in chunks, whatever their size; a digest is never made of a null
// buffer, a size below 1 or a file that cannot be opened.
#include <fcntl.h>
#include <pybind11/pybind11.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "ky_md5.h"
#include "kycm.h"
#include "kyme/regular_file.h"
#include "quillon/file_upload.h"
#include "quillon/handle.h"
#include "quillon/host_read.h"
#include "quillon/registration.h"
#include "quillon/text.h"
#include "quillon/unlocked.h"

namespace py = pybind11;

namespace quillon {
namespace {

// Files are digested in pieces of this size, never loaded whole.
constexpr std::size_t kDigestChunk = 1U << 20;

const char* path_argument(const StrArg& path, const char* function) {
  if (path.utf8.find('\0') != std::string::npos) {
    throw py::value_error(std::string(function) + "(): the path contains a NUL character");
  }
  return path.utf8.c_str();
}

[[noreturn]] void raise_os_error(int error, const std::string& path) {
  errno = error;
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  throw py::error_already_set();
}

struct HostFree {
  void operator()(void* memory) const { std::free(memory); }  // NOLINT(cppcoreguidelines-no-malloc)
};

struct Descriptor {
  int fd;
  ~Descriptor() { ::close(fd); }
};

Handle read_image_file(const StrArg& path, int32_t /*unused*/, int32_t /*unused*/, int32_t size) {
  // The size is widened with its sign: -1 asks for 2^64 - 1 bytes, which no
  // allocation gives, and the message says so.
  const char* name = path_argument(path, "readImageFile");
  void* device = unlocked([&] { return upload_file(name, static_cast<uint64_t>(static_cast<int64_t>(size))); });
  if (device == nullptr) throw py::type_error("kyce readImageFile error.");
  return Handle(device);
}

std::string file_md5(const StrArg& path) {
  const char* name = path_argument(path, "genFileMd5sum");
  const int fd = open_regular_file(name);
  if (fd < 0) {
    const int error = errno;
    std::fprintf(stderr, "failed to open %s\n", name);
    raise_os_error(error, path.utf8);
  }
  Descriptor file{fd};
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);                                        // a larger read-ahead
  std::unique_ptr<uint8_t, HostFree> chunk(static_cast<uint8_t*>(std::malloc(kDigestChunk)));  // NOLINT
  if (!chunk) throw std::bad_alloc();
  md5::Digest digest;
  for (;;) {
    const ssize_t got = ::read(fd, chunk.get(), kDigestChunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      raise_os_error(errno, path.utf8);
    }
    digest.update(chunk.get(), static_cast<std::size_t>(got));
  }
  return digest.finish();
}

std::string buffer_md5(Handle buffer, int32_t size) {
  if (buffer.ptr == nullptr) throw py::type_error("genBufferMd5sum(): the buffer must not be None");
  if (size <= 0) {
    throw py::value_error("genBufferMd5sum(): the size must be at least 1, not " + std::to_string(size));
  }
  require_extent(buffer, static_cast<uint64_t>(size), "genBufferMd5sum");
  require_readable_host_memory(buffer.ptr, static_cast<std::size_t>(size), "genBufferMd5sum");
  return md5::digestString(buffer.ptr, static_cast<uint32_t>(size));
}

// 0 once all `size` bytes are in the file created (or truncated) at `name`,
// else the system's error.
int write_file(const char* name, const uint8_t* data, std::size_t size) {
  const int fd = create_regular_file(name);
  if (fd < 0) return errno;
  int error = 0;
  while (size > 0 && error == 0) {
    const ssize_t done = ::write(fd, data, size);
    if (done > 0) {
      data += done;
      size -= static_cast<std::size_t>(done);
    } else if (done == 0 || errno != EINTR) {
      error = done == 0 ? EIO : errno;
    }
  }
  // A failed close may be the first report of a failed write (on network file systems).
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error;
}

// The device bytes are all on the host before the file is opened: a failed
// copy leaves any existing file as it was. The copy and the file work run
// without the interpreter lock.
void save_handle_to_image(int32_t size, Handle memory, const StrArg& path) {
  const char* name = path_argument(path, "saveHandelToImage");
  if (size < 0)
    throw py::value_error("saveHandelToImage(): the size must not be negative, not " + std::to_string(size));
  const auto bytes = static_cast<std::size_t>(size);
  require_extent(memory, bytes, "saveHandelToImage");
  uint32_t code = 0;
  int error = 0;
  unlocked([&] {
    std::unique_ptr<uint8_t, HostFree> host(static_cast<uint8_t*>(std::malloc(bytes == 0 ? 1 : bytes)));  // NOLINT
    if (!host) throw std::bad_alloc();
    if (bytes != 0) code = kycmMemcpy(memory.ptr, host.get(), bytes, kycmCT_COPY_FROM_DEVICE);
    if (code == 0) error = write_file(name, host.get(), bytes);
  });
  if (code != 0) {
    throw std::runtime_error("saveHandelToImage(): copying " + std::to_string(bytes) +
                             " bytes from device memory failed, ret: " + std::to_string(static_cast<int32_t>(code)) +
                             "; no file was written.");
  }
  if (error != 0) raise_os_error(error, path.utf8);
}

}  // namespace

void register_file_utilities(py::module_& m) {
  m.def("readImageFile", &read_image_file, "read image file");
  m.def("genFileMd5sum", &file_md5, "generate file md5 sum");
  m.def("genBufferMd5sum", &buffer_md5, "generate buffer md5 sum");
  m.def("saveHandelToImage", &save_handle_to_image, "save device handle to image file");
}

}  // namespace quillon
