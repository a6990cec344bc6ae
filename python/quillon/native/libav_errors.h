// libav's error codes as text, for the messages of the package's own
// exceptions.
#pragma once

extern "C" {
#include <libavutil/error.h>
}

#include <string>

namespace quillon_native {

inline std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace quillon_native
