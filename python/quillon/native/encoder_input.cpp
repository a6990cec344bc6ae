// Hands a picture that lies in device memory to an encoder channel. The
// module's frame record is read-only from Python (it is filled by readers and
// decoders), so a picture the package made on the die, or a decoded one that
// was converted there, reaches the encoder through this call instead.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <limits>
#include <string>

#include "kyme.h"
#include "quillon/unlocked.h"

namespace py = pybind11;

namespace {

// A device address given as a capsule (as the module hands out handles) or
// as an integer.
uint64_t address_of(const py::object& handle) {
  if (PyCapsule_CheckExact(handle.ptr()) != 0) {
    void* pointer = PyCapsule_GetPointer(handle.ptr(), PyCapsule_GetName(handle.ptr()));
    if (pointer == nullptr) throw py::error_already_set();
    return reinterpret_cast<uintptr_t>(pointer);
  }
  if (PyLong_Check(handle.ptr()) != 0) return handle.cast<uint64_t>();
  throw py::type_error("send_picture: the address must be a capsule or an int, not " +
                       std::string(Py_TYPE(handle.ptr())->tp_name));
}

// The library checks that every plane lies in one live device block, so an
// address that is not the caller's is refused there, never read.
int send_picture(uint32_t channel, const py::object& address, const std::string& layout, uint32_t width,
                 uint32_t height, int64_t pts, uint32_t timeout_ms) {
  const bool nv12 = layout == "nv12";
  if (!nv12 && layout != "rgb24") throw py::value_error("send_picture: layout must be nv12 or rgb24, not " + layout);
  const uint64_t luma = static_cast<uint64_t>(width) * height;
  const uint64_t size = nv12 ? luma + luma / 2 : luma * 3;
  if (width == 0 || height == 0 || size > std::numeric_limits<uint32_t>::max()) {
    throw py::value_error("send_picture: " + std::to_string(width) + "x" + std::to_string(height) +
                          " is no picture size");
  }
  const uint64_t base = address_of(address);
  kymeFrame frame{};
  frame.data[0] = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(base));
  frame.stride[0] = nv12 ? width : width * 3;
  if (nv12) {
    frame.data[1] = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(base + luma));
    frame.stride[1] = width;
  }
  frame.dataSize = static_cast<uint32_t>(size);
  frame.width = width;
  frame.height = height;
  frame.pts = pts;
  frame.memoryType = KYME_MEM_DEVICE;
  frame.pixelFormat = nv12 ? KYME_PIX_FMT_NV12 : KYME_PIX_FMT_RGB24;
  return static_cast<int>(
      quillon::unlocked([&] { return kymeSendFrameToEncoder(channel, &frame, nullptr, timeout_ms); }));
}

}  // namespace

void register_encoder_input(py::module_& m) {
  m.def("send_picture", &send_picture, py::arg("channel"), py::arg("address"), py::arg("layout"), py::arg("width"),
        py::arg("height"), py::arg("pts"), py::arg("timeout_ms"),
        "Sends a picture of packed rows (layout nv12 or rgb24) at a device address to an encoder channel; returns the "
        "library's code (0, or the time-out code when the channel's queue stayed full).");
}
