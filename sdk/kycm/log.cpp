// The common runtime's log functions, over the log shared by the libraries.
#include <cstdarg>
#include <string>

#include "kycm.h"
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/runtime_log.h"
#include "kycore/test_control.h"

extern "C" {

KY_EXPORT kycmRet_t kycmInitLogger(void) try {
  KY_GATE("kycmInitLogger", {});
  return kycore::runtime_log::open();
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmLogMessage(kycmLogChannel channel, kycmLogLevel level, const char* function, const char* file,
                                   int32_t line, const char* format, ...) try {
  KY_GATE("kycmLogMessage", {}, channel, level, function, file, line, format);
  const auto channel_value = static_cast<uint32_t>(channel);
  const auto level_value = static_cast<uint32_t>(level);
  if (kycore::runtime_log::channel_name(channel_value) == nullptr ||
      kycore::runtime_log::level_name(level_value) == nullptr) {
    return kycore::KYCM_INVALID_ARGUMENT;
  }
  if (!kycore::runtime_log::admits(level_value)) return kycore::OK;
  // A null message is logged as an empty text: the origin alone still says
  // something happened there.
  std::string text;
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    text = kycore::runtime_log::vformat(format, args);
    va_end(args);
  }
  return kycore::runtime_log::write(channel_value, level_value, file, line, function, text);
}
KYCM_CATCH

}  // extern "C"
