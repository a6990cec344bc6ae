// kycm: the runtime's log. Python code opens it and writes messages into it
// under a channel and a level; the origin recorded for every message is this
// file, the fixed function name "operator()" and the line of the library call
// below (the module has no log of its own and never writes one by itself).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "kycm.h"
#include "quillon/enums.h"
#include "quillon/registration.h"

namespace py = pybind11;

namespace {

// The library formats the message as printf does; doubling every per-cent
// sign makes that formatting give the text back unchanged.
std::string literal_format(const std::string& message) {
  std::string format;
  format.reserve(message.size());
  for (char c : message) {
    format += c;
    if (c == '%') format += '%';
  }
  return format;
}

// The library call stays on the line the static_assert names: that line
// number is part of what every message records.
kycmRet_t log_message(kycmLogChannel channel, kycmLogLevel level, const std::optional<py::str>& message) {
  const std::optional<std::string> format =
      message ? std::optional<std::string>(literal_format(std::string(*message))) : std::nullopt;
  const char* text = format ? format->c_str() : nullptr;
  return kycmLogMessage(channel, level, "operator()", __FILE__, __LINE__, text);
  static_assert(__LINE__ == 38, "the library call above must stay on line 37");
}

}  // namespace

namespace quillon {

void register_log(py::module_& m) {
  register_enum<kycmLogChannel>(m, "logChannel",
                                {{"kycmLC_APP", kycmLC_APP},
                                 {"kycmLC_CM", kycmLC_CM},
                                 {"kycmLC_CE", kycmLC_CE},
                                 {"kycmLC_CL", kycmLC_CL},
                                 {"kycmLC_ME", kycmLC_ME},
                                 {"kycmLC_ML", kycmLC_ML},
                                 {"kycmLC_RT", kycmLC_RT},
                                 {"kycmLC_NN", kycmLC_NN},
                                 {"kycmLC_TM", kycmLC_TM}});
  register_enum<kycmLogLevel>(m, "logLevel",
                              {{"kycmLL_TRACE", kycmLL_TRACE},
                               {"kycmLL_DEBUG", kycmLL_DEBUG},
                               {"kycmLL_INFO", kycmLL_INFO},
                               {"kycmLL_WARN", kycmLL_WARN},
                               {"kycmLL_ERROR", kycmLL_ERROR},
                               {"kycmLL_ALARM", kycmLL_ALARM},
                               {"kycmLL_FATAL", kycmLL_FATAL}});
  static_assert(sizeof(kycmLogChannel) == 4 && sizeof(kycmLogLevel) == 4, "log enumerations are 32-bit values");
  m.def("initLogger", &kycmInitLogger, "Initialize logger system for message logging.");
  m.def("logMessage", &log_message, "Write a message to the log file.");
}

}  // namespace quillon
