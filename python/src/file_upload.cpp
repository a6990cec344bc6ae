// The file upload shared by loadImage and readImageFile: the whole run is
// read into a host buffer first, so a short file never reaches the device.
// Only regular files are read (see open_regular_file).
#include "quillon/file_upload.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "kycm.h"
#include "kyme/regular_file.h"

namespace quillon {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
struct HostFree {
  void operator()(void* memory) const { std::free(memory); }  // NOLINT(cppcoreguidelines-no-malloc)
};

// Written to the process's own standard output, not through sys.stdout.
void say(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

void* upload_file(const std::string& path, uint64_t size) {
  const int fd = open_regular_file(path);
  std::unique_ptr<std::FILE, FileCloser> file(fd < 0 ? nullptr : ::fdopen(fd, "rb"));
  if (!file) {
    if (fd >= 0) ::close(fd);
    say("Failed to open image " + path + "\n");
    return nullptr;
  }
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc): a failed allocation must be seen, not thrown
  std::unique_ptr<uint8_t, HostFree> host(static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size)));
  if (!host) {
    file.reset();
    say("Failed to malloc memory for image " + path + " of size " + std::to_string(size) + " bytes. \n");
    return nullptr;
  }
  const std::size_t got = std::fread(host.get(), 1, size, file.get());
  file.reset();
  if (got < size) {
    say("Error: Failed to read file " + path + ", size is not as expected. \n");
    return nullptr;
  }
  void* device = nullptr;
  if (kycmMalloc(size, &device) != 0) {
    if (device != nullptr) kycmFree(device);
    return nullptr;
  }
  if (device == nullptr) return nullptr;
  if (kycmMemcpy(host.get(), device, size, kycmCT_COPY_TO_DEVICE) != 0) {
    kycmFree(device);
    return nullptr;
  }
  return device;
}

}  // namespace quillon
