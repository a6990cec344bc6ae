// State of the common runtime shared by its sources: whether it is
// initialised and which device the process uses.
#pragma once

#include <atomic>
#include <cstdint>

namespace kycm {

struct RuntimeState {
  std::atomic<bool> initialized{false};
  std::atomic<uint32_t> device{0};
};

RuntimeState& runtime();

// The number of devices of the platform in force.
uint32_t device_count();

// True when `device` is one of the platform's devices.
bool valid_device(uint32_t device);

// Tells the card's state how many contexts this process has on `device`
// (every device with kNoDevice), so other processes list it as a user.
void publish_contexts(int32_t device);

// The device of the calling thread's current context, or the process's
// device when the thread has none.
uint32_t current_thread_device();

}  // namespace kycm
