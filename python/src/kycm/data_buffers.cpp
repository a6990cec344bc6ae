// kycm: device type, the device description record and the data-buffer
// functions.
#include <pybind11/pybind11.h>

#include "kycm.h"
#include "quillon/classes.h"
#include "quillon/enums.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/record_args.h"
#include "quillon/records.h"
#include "quillon/registration.h"

namespace py = pybind11;

QUILLON_ASSERT_LAYOUT(kycmDeviceInfo, 8, 4);
QUILLON_ASSERT_OFFSET(kycmDeviceInfo, deviceType, 0);
QUILLON_ASSERT_OFFSET(kycmDeviceInfo, deviceIdx, 4);
static_assert(sizeof(kycmDeviceType) == 4, "kycmDeviceType is 32 bits");
static_assert(sizeof(kycmDType) == 4, "kycmDType is 32 bits");

namespace quillon {

void register_data_buffers(py::module_& m) {
  register_enum<kycmDeviceType>(m, "deviceType", {{"kycmDE_CPU", kycmDE_CPU}, {"kycmDE_KYCC", kycmDE_KYCC}});

  class_<kycmDeviceInfo>(m, "deviceInfo")
      .def(py::init([] { return kycmDeviceInfo{}; }))
      .def_readwrite("deviceType", &kycmDeviceInfo::deviceType)
      .def_readwrite("deviceIdx", &kycmDeviceInfo::deviceIdx);

  m.def(
      "createDataBuffer",
      [](const kycmDeviceInfo* info, Handle address, uint64_t size) {
        const kycmDeviceInfo& device = require_record(info, "createDataBuffer", "deviceInfo");
        require_extent(address, size, "createDataBuffer");
        void* buffer = nullptr;
        check(kycmCreateDataBuffer(device, address.ptr, size, &buffer), "create data buffer error, ret: %d.");
        return Handle(buffer);
      },
      "Create a data buffer.");
  m.def(
      "createDataBufferFromContext",
      [](kycmDeviceType type, Handle address, uint64_t size) {
        require_extent(address, size, "createDataBufferFromContext");
        void* buffer = nullptr;
        check(kycmCreateDataBufferFromContext(type, address.ptr, size, &buffer),
              "create data buffer from context error, ret: %d.");
        return Handle(buffer);
      },
      "Create a data buffer from device context.");
  m.def(
      "destroyDataBuffer", [](Handle buffer) { return kycmDestroyDataBuffer(buffer.ptr); }, "Destroy a data buffer.");
  m.def(
      "getDataBufferAddr",
      [](Handle buffer) {
        void* address = nullptr;
        check(kycmGetDataBufferAddr(buffer.ptr, &address), "get data buffer addr error, ret: %d.");
        return Handle(address);
      },
      "Get the buffer address for a data buffer.");
  m.def(
      "getDataBufferSize",
      [](Handle buffer) {
        uint64_t size = 0;
        check(kycmGetDataBufferSize(buffer.ptr, &size), "get data buffer size error, ret: %d.");
        return size;
      },
      "Get the buffer size for a data buffer.");
  m.def(
      "getDataBufferDeviceInfo",
      [](Handle buffer, kycmDeviceInfo* info) { return kycmGetDataBufferDeviceInfo(buffer.ptr, info); },
      "Get the device information for a data buffer.");
  m.def(
      "updateDataBuffer",
      [](Handle buffer, const kycmDeviceInfo* info, Handle address, uint64_t size) {
        const kycmDeviceInfo& device = require_record(info, "updateDataBuffer", "deviceInfo");
        require_extent(address, size, "updateDataBuffer");
        return kycmUpdateDataBuffer(buffer.ptr, device, address.ptr, size);
      },
      "Update a data buffer.");
}

}  // namespace quillon
