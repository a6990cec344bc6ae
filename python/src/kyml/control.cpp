// kyml: library control, version, logging and error texts.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "kyml.h"
#include "kyml/records.h"
#include "quillon/errors.h"
#include "quillon/text.h"

namespace py = pybind11;

namespace quillon {

void register_management_control(py::module_& m) {
  m.def(
      "init", [] { return kymlInit(); }, "initialize the environment for kyml api.");
  m.def(
      "shutDown", [] { return kymlShutDown(); }, "release the environment for kyml api.");
  m.def(
      "getVersion",
      []() -> std::optional<py::str> {
        const char* text = nullptr;
        uint32_t major = 0, minor = 0, patch = 0, build = 0;
        check(kymlGetVersion(&text, &major, &minor, &patch, &build), "get version error, ret: %d.");
        return text_or_none(text);
      },
      "get the kyml api version information.");
  m.def(
      "setLogLevel", [](kymlLogLevel_enum level) { return kymlSetLogLevel(level); },
      "set logger system for message logging.");
  m.def(
      "logMsg",
      [](kymlLogLevel_enum level, const std::string& module, kymlOpStatus_enum status, const std::string& message) {
        return kymlLogMsg(level, module.c_str(), status, printf_literal(message).c_str());
      },
      "write a message to the console or file.");
  m.def(
      "errorString",
      [](kymlOpStatus_enum code) {
        const char* text = kymlErrorString(code);
        return text != nullptr ? text_to_str(text) : py::str("");
      },
      "convert the description of an error code from error code.");
}

}  // namespace quillon
