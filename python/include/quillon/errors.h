// The value-returning bindings' failure path: a library code other than 0
// becomes RuntimeError with the binding's message, formatted into 100 bytes.
#pragma once

#include <cstdint>

namespace quillon {

// Formats `message_format` (one %d for the code) and throws RuntimeError.
[[noreturn]] void raise_call_error(const char* message_format, uint32_t code);

inline void check(uint32_t code, const char* message_format) {
  if (code != 0) raise_call_error(message_format, code);
}

}  // namespace quillon
