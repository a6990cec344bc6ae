// kycm: element sizes, float16 conversions, reading float16 values from host
// memory, host memory, device identity, and destroyDatasetAll.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kycm.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/host_read.h"
#include "quillon/registration.h"
#include "quillon/result_blocks.h"

namespace py = pybind11;

namespace quillon {
namespace {

template <class T>
using input_array = py::array_t<T, py::array::c_style | py::array::forcecast>;

// The library counts in 32 bits: an array whose count fits goes in one call,
// a longer one in pieces, so that every element is converted. An empty array
// still makes one call with count 0.
template <class In, class Out, class Convert>
py::array_t<Out> convert_array(const input_array<In>& values, Convert convert, const char* message) {
  const auto count = static_cast<std::size_t>(values.size());
  py::array_t<Out> results = result_array<Out>(count);
  const In* in = values.data();
  Out* out = results.mutable_data();
  constexpr std::size_t kPiece = UINT32_MAX;
  std::size_t done = 0;
  do {
    const std::size_t piece = std::min(count - done, kPiece);
    check(convert(in + done, static_cast<uint32_t>(piece), out + done), message);
    done += piece;
  } while (done < count);
  return results;
}

}  // namespace

void register_utilities(py::module_& m) {
  m.def(
      "getDataTypeSize",
      [](kycmDType type) {
        uint32_t size = 0;
        check(kycmGetDataTypeSize(type, &size), "get data type size error, ret: %d.");
        return size;
      },
      " Get the size for a data type");
  m.def(
      "float16ToFloat32",
      [](uint16_t value) {
        float result = 0.0f;
        check(kycmFloat16ToFloat32(value, &result), "float16 to float32 error, ret: %d.");
        return static_cast<double>(result);
      },
      "Convert a float16 number to float32 number");
  m.def(
      "float32ToFloat16",
      [](float value) {
        uint16_t result = 0;
        check(kycmFloat32ToFloat16(value, &result), "float32 to float16 error, ret: %d.");
        return result;
      },
      "Convert a float32 number to float16 number");
  m.def(
      "float16ToFloat32Array",
      [](const input_array<uint16_t>& values) {
        return convert_array<uint16_t, float>(values, kycmFloat16ToFloat32Array,
                                              "float16 to float32 array error, ret: %d.");
      },
      "Convert an array of float16 number to the array of float32 number");
  m.def(
      "float32ToFloat16Array",
      [](const input_array<float>& values) {
        return convert_array<float, uint16_t>(values, kycmFloat32ToFloat16Array,
                                              "float32 to float16 array error, ret: %d.");
      },
      "Convert an array of float32 number to the array of float16 number");
  m.def(
      "getFloat16Array",
      [](Handle memory, uint64_t size) {
        const uint64_t count = size / 2;
        if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX) / 2)
          throw py::value_error("getFloat16Array(): size is too large");
        py::array_t<uint16_t> values = result_array<uint16_t>(static_cast<std::size_t>(count));
        // Without memory there is nothing to read: the values are zeros.
        if (memory.ptr == nullptr) {
          std::memset(values.mutable_data(), 0, count * sizeof(uint16_t));
        } else {
          require_extent(memory, count * sizeof(uint16_t), "getFloat16Array");
          require_readable_host_memory(memory.ptr, count * sizeof(uint16_t), "getFloat16Array");
          std::memcpy(values.mutable_data(), memory.ptr, count * sizeof(uint16_t));
        }
        return values;
      },
      "get the array of float16 number");
  m.def(
      "destroyDatasetAll", [](Handle dataset) { return kycmDestroyDatasetAll(dataset.ptr); },
      "Destroy all data in a dataset including itself.");
  m.def(
      "mallocHost",
      [](uint64_t size) {
        void* address = nullptr;
        check(kycmMallocHost(size, &address), "malloc host error, ret: %d.");
        return Handle(address);
      },
      "Allocate memory from host.");
  m.def(
      "freeHost", [](Handle memory) { return kycmFreeHost(memory.ptr); }, "Free a memory in host.");
  m.def(
      "getDeviceIdInfo",
      [](uint32_t device) {
        uint32_t first = 0, second = 0, third = 0;
        check(kycmGetDeviceIdInfo(device, &first, &second, &third), "get device id info error, ret: %d.");
        py::list result;
        result.append(first);
        result.append(second);
        result.append(third);
        return result;
      },
      "Get device index information.");
}

}  // namespace quillon
