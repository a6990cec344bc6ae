// Library control: initialisation, version, error texts and logging into the
// common runtime's log.
#include <cstdarg>
#include <string>

#include "inventory.h"
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/runtime_log.h"
#include "kycore/version.h"
#include "sensors.h"

namespace {

constexpr const char* kVersionText = KY_SDK_VERSION_TEXT;

// The library's levels (trace to fatal, then none) on the runtime's scale,
// which has an alarm level between error and fatal.
kycore::runtime_log::Level runtime_level(kymlLogLevel_enum level) {
  switch (level) {
    case KYML_LOG_TRACE:
      return kycore::runtime_log::trace;
    case KYML_LOG_DEBUG:
      return kycore::runtime_log::debug;
    case KYML_LOG_INFO:
      return kycore::runtime_log::info;
    case KYML_LOG_WARN:
      return kycore::runtime_log::warn;
    case KYML_LOG_ERROR:
      return kycore::runtime_log::error;
    case KYML_LOG_FATAL:
      return kycore::runtime_log::fatal;
    case KYML_LOG_NONE:
    default:  // callers check the level first; anything else silences
      return static_cast<kycore::runtime_log::Level>(kycore::runtime_log::level_count);
  }
}

const char* no_text(uint32_t /*code*/) { return nullptr; }

bool valid_level(kymlLogLevel_enum level) {
  return static_cast<uint32_t>(level) <= static_cast<uint32_t>(KYML_LOG_NONE);
}

}  // namespace

extern "C" {

KY_EXPORT kymlOpStatus_enum kymlInit(void) try {
  KYML_GATE("kymlInit", {});
  if (kycore::current_platform()->cards.empty()) return KYML_ERROR_CARD_EMPTY;
  if (kyml::card_state_refused()) return KYML_ERROR_FETCH_API;
  if (kyml::set_initialized(true)) return KYML_ERROR_INITIALIZED;
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlShutDown(void) try {
  KYML_GATE("kymlShutDown", {});
  if (!kyml::set_initialized(false)) return KYML_ERROR_UNINITIALIZED;
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetVersion(const char** version, uint32_t* major, uint32_t* minor, uint32_t* patch,
                                           uint32_t* build) try {
  KYML_GATE("kymlGetVersion", ::kycore::clear_output(version), version, major, minor, patch, build);
  if (version == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  *version = kVersionText;
  kycore::store_version_numbers(major, minor, patch, build);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlSetLogLevel(kymlLogLevel_enum level) try {
  KYML_GATE("kymlSetLogLevel", {}, level);
  if (!valid_level(level)) return KYML_ERROR_INPUT_PARAMETER_ERROR;
  kycore::runtime_log::set_threshold(runtime_level(level));
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlLogMsg(kymlLogLevel_enum level, const char* module, kymlOpStatus_enum status,
                                       const char* format, ...) try {
  KYML_GATE("kymlLogMsg", {}, level, module, status, format);
  if (!valid_level(level) || level == KYML_LOG_NONE) return KYML_ERROR_INPUT_PARAMETER_ERROR;
  if (format == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  const kycore::runtime_log::Level target = runtime_level(level);
  if (!kycore::runtime_log::admits(target)) return KYML_SUCCESS;

  va_list args;
  va_start(args, format);
  std::string text = kycore::runtime_log::vformat(format, args);
  va_end(args);
  if (status != KYML_SUCCESS) {
    text += " (" + std::to_string(static_cast<uint32_t>(status)) + ": " + kymlErrorString(status) + ")";
  }
  if (kycore::runtime_log::write(kycore::runtime_log::ml, target, "libkyml", 0, module, text) != 0) {
    return KYML_ERROR_INITI_FAIL;  // the log could not be opened or the line written
  }
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT const char* kymlErrorString(kymlOpStatus_enum code) try {
  // Test control can make this return a null text (armed failure or empty).
  KY_GATE_AS(no_text, "kymlErrorString", {}, code);
  const auto value = static_cast<uint32_t>(code);
  const kycore::CodeInfo* info = value == 0 || (value >= 70000 && value <= 79999) ? kycore::find_code(value) : nullptr;
  return info != nullptr ? info->description : "Unknown error code.";
}
KY_CATCH_AS(no_text, 0, 0)

}  // extern "C"
