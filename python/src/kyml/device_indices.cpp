// kyml: the runtime's AI and codec devices and the die behind a logical
// device index.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "kyml.h"
#include "kyml/records.h"
#include "quillon/errors.h"
#include "quillon/registration.h"

namespace py = pybind11;

namespace quillon {
namespace {

// Exactly `count` records, zero-filled so that entries the library leaves
// alone convert to empty records; the array is released on every path. An
// array of no records is still a valid address, as the library expects an
// array even when the count is 0.
// The most devices any platform can have: a card id is 16 bits and a card
// record describes at most four dies. A larger count cannot be meant, and
// would allocate its records before the library is called (144 GiB for 2^31).
constexpr uint32_t kMostDevices = 65536u * 4u;

template <class Adaptor, class Record>
std::vector<Adaptor> describe(kymlOpStatus_enum (*read)(Record*, uint32_t), uint32_t count, const char* function,
                              const char* message) {
  if (count > kMostDevices) {
    throw py::value_error(std::string(function) + ": a count of " + std::to_string(count) +
                          " is more than any platform holds (at most " + std::to_string(kMostDevices) +
                          " devices: 65536 cards of 4 dies)");
  }
  std::unique_ptr<Record[]> records(new Record[count]());
  check(read(records.get(), count), message);
  std::vector<Adaptor> devices;
  devices.reserve(count);
  for (uint32_t i = 0; i < count; ++i) devices.emplace_back(records[i]);
  return devices;
}

}  // namespace

void register_device_indices(py::module_& m) {
  m.def(
      "getAiDeviceCount",
      [] {
        uint32_t count = 0;
        check(kymlGetAiDeviceCount(&count), "get ai device count error, ret: %d.");
        return count;
      },
      "get the count of ai device.");
  m.def(
      "getCodecDeviceCount",
      [] {
        uint32_t count = 0;
        check(kymlGetCodecDeviceCount(&count), "get codec device count error, ret: %d.");
        return count;
      },
      "get the count of codec device.");
  m.def(
      "getAiDevInfo",
      [](uint32_t count) {
        return describe<kymlAiDevInfoPy>(kymlGetAiDevInfo, count, "getAiDevInfo", "get ai device info error, ret: %d.");
      },
      "get the information of ai device.");
  m.def(
      "getCodecDevInfo",
      [](uint32_t count) {
        return describe<kymlCodecDevInfoPy>(kymlGetCodecDevInfo, count, "getCodecDevInfo",
                                            "get codec device info error, ret: %d.");
      },
      "get the information of codec device.");
  m.def(
      "getDieIndexByDevIndex",
      [](uint32_t device) {
        kymlDieIndex word = 0;
        check(kymlGetDieIndexByDevIndex(device, &word), "get dieIndex by index error, ret: %d.");
        return kymlDieIndexPy_union::unpack(word);
      },
      "get the physical index of die by logical index.");
}

}  // namespace quillon
