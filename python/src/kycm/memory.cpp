// kycm: device memory and copies, and the two helpers that move bytes
// between numpy arrays and host memory handles.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "kycm.h"
#include "quillon/enums.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/host_read.h"
#include "quillon/registration.h"

namespace py = pybind11;
using quillon::check;
using quillon::Handle;
using quillon::require_extent;

namespace {

py::array_t<uint8_t> numpy_from_handle(Handle memory, uint64_t size) {
  if (memory.ptr == nullptr && size != 0) {
    throw py::value_error("getNumpyFromHandle: the memory handle is None, so " + std::to_string(size) +
                          " bytes cannot be read from it");
  }
  if (size > static_cast<uint64_t>(PTRDIFF_MAX)) {
    throw py::value_error("getNumpyFromHandle: size " + std::to_string(size) + " is larger than any array");
  }
  require_extent(memory, size, "getNumpyFromHandle");
  quillon::require_readable_host_memory(memory.ptr, size, "getNumpyFromHandle");
  py::array_t<uint8_t> array(static_cast<py::ssize_t>(size));
  if (size != 0) std::memcpy(array.mutable_data(), memory.ptr, size);
  return array;
}

// The array arrives C-contiguous (numpy copies a strided or reversed view in
// element order first), so its bytes are read within its own buffer; the
// element count is kept at its full 64-bit width.
Handle handle_from_numpy(const py::array_t<uint8_t, py::array::c_style | py::array::forcecast>& array) {
  const auto size = static_cast<uint64_t>(array.size());
  void* block = nullptr;
  check(kycmMallocHost(size, &block), "malloc host error, ret: %d.");
  if (block != nullptr && size != 0) std::memcpy(block, array.data(), size);
  return Handle(block);
}

// Both sides of a copy hold `size` bytes, as far as the module can tell.
void require_extents(const Handle& source, const Handle& destination, uint64_t size, const char* function) {
  require_extent(source, size, function);
  require_extent(destination, size, function);
}

}  // namespace

namespace quillon {

void register_memory(py::module_& m) {
  register_enum<kycmCopyMemType>(m, "copyMemType",
                                 {{"kycmCT_COPY_FROM_DEVICE", kycmCT_COPY_FROM_DEVICE},
                                  {"kycmCT_COPY_TO_DEVICE", kycmCT_COPY_TO_DEVICE},
                                  {"kycmCT_COPY_DEVICE_TO_DEVICE", kycmCT_COPY_DEVICE_TO_DEVICE}});
  static_assert(sizeof(kycmCopyMemType) == 4, "copy types cross the library boundary as 32-bit values");

  m.def(
      "malloc",
      [](uint64_t size) {
        void* address = nullptr;
        check(kycmMalloc(size, &address), "malloc error, ret: %d.");
        return Handle(address);
      },
      "Allocate memory from device.");
  m.def(
      "free", [](Handle memory) { return kycmFree(memory.ptr); }, "Free a memory in device.");
  m.def(
      "mallocModelInOut",
      [](uint64_t size) {
        void* address = nullptr;
        check(kycmMallocModelInOut(size, &address), "malloc model input error, ret: %d.");
        return Handle(address);
      },
      "Allocate memory for model input or output from device.");
  m.def(
      "freeModelInOut", [](Handle memory) { return kycmFreeModelInOut(memory.ptr); },
      "Free a model input or output memory in device.");
  m.def(
      "memcpy",
      [](Handle source, Handle destination, uint64_t size, kycmCopyMemType type) {
        require_extents(source, destination, size, "memcpy");
        return kycmMemcpy(source.ptr, destination.ptr, size, type);
      },
      "Copy a memory between host and device according to copy type. Synchronous interface.");
  m.def("getNumpyFromHandle", &numpy_from_handle, "get the numpy array from data handle");
  m.def("getHandleFromNumpy", &handle_from_numpy, "get the data handle from numpy array");
  m.def(
      "memcpyAsync",
      [](Handle source, Handle destination, uint64_t size, kycmCopyMemType type, Handle stream) {
        require_extents(source, destination, size, "memcpyAsync");
        return kycmMemcpyAsync(source.ptr, destination.ptr, size, type, stream.ptr);
      },
      "Copy a memory between host and device according to copy type. Asynchronous interface.");
  m.def(
      "memcpyDevices",
      [](Handle source, uint32_t source_device, Handle destination, uint32_t destination_device, uint64_t size) {
        require_extents(source, destination, size, "memcpyDevices");
        return kycmMemcpyDevices(source.ptr, source_device, destination.ptr, destination_device, size);
      },
      "Copy a memory between two devices. Synchronous interface.");
  m.def(
      "memcpyDevicesAsync",
      [](Handle source, uint32_t source_device, Handle destination, uint32_t destination_device, uint64_t size,
         Handle stream) {
        require_extents(source, destination, size, "memcpyDevicesAsync");
        return kycmMemcpyDevicesAsync(source.ptr, source_device, destination.ptr, destination_device, size, stream.ptr);
      },
      "Copy a memory between two devices. Asynchronous interface.");
  m.def(
      "memset",
      [](Handle memory, int32_t value, uint64_t size) {
        require_extent(memory, size, "memset");
        return kycmMemset(memory.ptr, value, size);
      },
      "Set a memory block with a specific value. Synchronous interface.");
  m.def(
      "memsetAsync",
      [](Handle memory, int32_t value, uint64_t size, Handle stream) {
        require_extent(memory, size, "memsetAsync");
        return kycmMemsetAsync(memory.ptr, value, size, stream.ptr);
      },
      "Set a memory block with a specific value. Asynchronous interface.");
}

}  // namespace quillon
