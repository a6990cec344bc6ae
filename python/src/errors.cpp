// The failure path of value-returning bindings.
#include "quillon/errors.h"

#include <cstdio>
#include <stdexcept>

namespace quillon {

void raise_call_error(const char* message_format, uint32_t code) {
  char message[100];
  std::snprintf(message, sizeof message, message_format, static_cast<int>(code));
  // The binding layer turns std::runtime_error into RuntimeError.
  throw std::runtime_error(message);
}

}  // namespace quillon
