// The C boundary of every op: a failure inside the image code (OpenCV's own
// checks, memory exhaustion) becomes a code instead of an exception crossing
// into the caller.
#pragma once

#include <cstdint>
#include <exception>

#include "kyce.h"

namespace kyce {

template <class Body>
uint32_t guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception&) {
    return kyceER_OPERATION_FAILED;
  } catch (...) {
    return kyceER_OPERATION_FAILED;
  }
}

}  // namespace kyce
