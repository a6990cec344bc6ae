// Waiting with a caller's time-out, as every media channel call does:
// milliseconds, 0 polls, kWaitForever waits without limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kyme {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Waits on `cv` until `done()`, for `timeout` milliseconds. Returns done().
template <class Done>
bool wait_for(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint32_t timeout, Done done) {
  // A poll asks once: waiting out an expired time still sleeps in the
  // kernel, and the decoder's caller polls for its next picture as often as
  // it takes one.
  if (timeout == 0) return done();
  if (timeout == kWaitForever) {
    cv.wait(lock, done);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeout), done);
}

}  // namespace kyme
