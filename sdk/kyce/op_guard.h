// The C boundary of every op: a failure inside the image code (OpenCV's own
// checks, memory exhaustion) becomes a code instead of an exception crossing
// into the caller. The op's time is charged to the vector DSP of the device
// whose memory it opened first.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>

#include "kyce.h"
#include "kycore/busy_time.h"

namespace kyce {

// The device of the first image the running op opened on this thread (set by
// DeviceImage::open), or -1.
inline thread_local int32_t t_op_device = -1;

// Ops of one thread run on one of the DSP cores; threads take them in turn.
inline uint32_t op_core() {
  static std::atomic<uint32_t> next{0};
  thread_local const uint32_t core = next.fetch_add(1, std::memory_order_relaxed);
  return core;
}

template <class Body>
uint32_t guarded(Body&& body) noexcept {
  const auto start = kycore::BusyClock::now();
  t_op_device = -1;
  uint32_t code = kyceER_OPERATION_FAILED;
  try {
    code = body();
  } catch (...) {
    code = kyceER_OPERATION_FAILED;
  }
  kycore::add_busy(t_op_device, kycore::Engine::vdsp, op_core(), start);
  return code;
}

}  // namespace kyce
