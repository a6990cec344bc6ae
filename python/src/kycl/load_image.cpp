// kycl: loadImage, which uploads a raw 4:2:0 frame file into device memory.
// Failures are reported only by a message on the process's standard output
// and a None result, and leave no memory behind.
#include <pybind11/pybind11.h>

#include <string>

#include "quillon/file_upload.h"
#include "quillon/handle.h"
#include "quillon/registration.h"
#include "quillon/unlocked.h"

namespace py = pybind11;

namespace quillon {

void register_load_image(py::module_& m) {
  m.def(
      "loadImage",
      [](const std::string& path, int32_t width, int32_t height) {
        const uint64_t size =
            static_cast<uint64_t>(static_cast<uint32_t>(width)) * static_cast<uint32_t>(height) * 3 / 2;
        return Handle(unlocked([&] { return upload_file(path, size); }));  // None after a failure
      },
      "load test image");
}

}  // namespace quillon
