// kycm: the runtime's log. Python code opens it and writes messages into it
// under a channel and a level (the module has no log of its own and never
// writes one by itself).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "kycm.h"
#include "quillon/enums.h"
#include "quillon/registration.h"
#include "quillon/text.h"

namespace py = pybind11;

namespace {

// The origin every message records: this file, the function name
// "operator()" and line 37, whatever the layout of this file.
constexpr int kOriginLine = 37;

kycmRet_t log_message(kycmLogChannel channel, kycmLogLevel level, const std::optional<quillon::StrArg>& message) {
  const std::optional<std::string> format =
      message ? std::optional<std::string>(quillon::printf_literal(message->utf8)) : std::nullopt;
  return kycmLogMessage(channel, level, "operator()", __FILE__, kOriginLine, format ? format->c_str() : nullptr);
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
