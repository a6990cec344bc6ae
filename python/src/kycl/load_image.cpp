// kycl: loadImage, which uploads a raw 4:2:0 frame file into device memory.
// Failures are reported only by a message on the process's standard output
// and a None result, and leave no memory behind.
#include <pybind11/pybind11.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "kycm.h"
#include "quillon/handle.h"
#include "quillon/registration.h"

namespace py = pybind11;

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

py::object load_image(const std::string& path, int32_t width, int32_t height) {
  const uint64_t size = static_cast<uint64_t>(static_cast<uint32_t>(width)) * static_cast<uint32_t>(height) * 3 / 2;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    say("Failed to open image " + path + "\n");
    return py::none();
  }
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc): a failed allocation must be seen, not thrown
  std::unique_ptr<uint8_t, HostFree> host(static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size)));
  if (!host) {
    file.reset();
    say("Failed to malloc memory for image " + path + " of size " + std::to_string(size) + " bytes. \n");
    return py::none();
  }
  const std::size_t got = std::fread(host.get(), 1, size, file.get());
  file.reset();
  if (got < size) {
    say("Error: Failed to read file " + path + ", size is not as expected. \n");
    return py::none();
  }
  void* device = nullptr;
  if (kycmMalloc(size, &device) != 0) {
    if (device != nullptr) kycmFree(device);
    return py::none();
  }
  if (device == nullptr) return py::none();
  if (kycmMemcpy(host.get(), device, size, kycmCT_COPY_TO_DEVICE) != 0) {
    kycmFree(device);
    return py::none();
  }
  return py::cast(Handle(device));
}

}  // namespace

void register_load_image(py::module_& m) {
  m.def(
      "loadImage",
      [](const std::string& path, int32_t width, int32_t height) { return load_image(path, width, height); },
      "load test image");
}

}  // namespace quillon
