// kycm: device selection and reset, initialisation, version and error texts,
// contexts.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>

#include "kycm.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/registration.h"
#include "quillon/text.h"

namespace py = pybind11;
using quillon::check;
using quillon::Handle;

namespace quillon {

void register_device(py::module_& m) {
  m.def("setDevice", &kycmSetDevice, "Set the device to be used in the process.");
  m.def("resetDevice", &kycmResetDevice,
        "Reset the device used in the process. All resources bound to this device will be released.");
  m.def(
      "getDevice",
      [] {
        uint32_t device = 0;
        check(kycmGetDevice(&device), "get device error, ret: %d.");
        return device;
      },
      "Get current device index");
  m.attr("kycmER_SUCCESS") = 0;
  m.def("initialize", &kycmInitialize, "Initialize the environment for KYCM API.", py::arg("config") = py::none());
  m.def("uninitialize", &kycmUninitialize, "Release the environment for KYCM API.");
  m.def(
      "getVersion",
      []() -> std::optional<py::str> {
        const char* text = nullptr;
        int32_t major = 0, minor = 0, patch = 0, build = 0;
        check(kycmGetVersion(&text, &major, &minor, &patch, &build), "get version error, ret: %d.");
        return text_or_none(text);
      },
      "Get the version of the common runtime library.");
  m.def(
      "getErrDesc",
      [](uint32_t code) {
        char buffer[256] = {};
        check(kycmGetErrDesc(code, buffer, sizeof buffer), "get error description error, ret: %d.");
        return fixed_text(buffer, sizeof buffer);
      },
      "Get the description for an error code.");
  m.def(
      "createContext",
      [](uint32_t device) {
        void* context = nullptr;
        check(kycmCreateContext(device, &context), "create context error, ret: %d.");
        return Handle(context);
      },
      "Create a context in assigned device");
  m.def(
      "destroyContext", [](Handle context) { return kycmDestroyContext(context.ptr); },
      "Destroy a context in the device");
  m.def(
      "setCurrentContext", [](Handle context) { return kycmSetCurrentContext(context.ptr); },
      "Set the current context for the calling thread");
  m.def(
      "getCurrentContext",
      [] {
        void* context = nullptr;
        check(kycmGetCurrentContext(&context), "get current context error, ret: %d.");
        return Handle(context);
      },
      "Get the current context for the calling thread");
}

}  // namespace quillon
