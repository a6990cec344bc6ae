// The shared channel state machine: control calls take turns, and the one
// in progress owns the worker while it joins it.
#include "channel_life_cycle.h"

#include <utility>

#include "kycore/error_codes.h"

namespace kyme {

using kycore::KYME_INVALID_CHANNEL;
using kycore::KYME_WRONG_STATE;
using kycore::OK;

bool ChannelLifeCycle::begin_control(std::unique_lock<std::mutex>& lock) {
  control_done_.wait(lock, [this] { return !controlling_; });
  if (closed_) return false;
  controlling_ = true;
  return true;
}

void ChannelLifeCycle::end_control() {
  controlling_ = false;
  control_done_.notify_all();
}

void ChannelLifeCycle::start_worker() {
  worker_ = std::thread([this] { run(); });
}

void ChannelLifeCycle::stop_worker(std::unique_lock<std::mutex>& lock) {
  // Moved out under the lock: no other call can see it joinable meanwhile.
  std::thread worker = std::move(worker_);
  if (!worker.joinable()) return;
  quit_ = true;
  wake_all();
  lock.unlock();
  worker.join();
  lock.lock();
  quit_ = false;
}

void ChannelLifeCycle::halt(std::unique_lock<std::mutex>& lock) {
  state_ = KYME_ST_STOPPING;
  wake_all();
  stop_worker(lock);
  discard_undelivered();
  state_ = KYME_ST_STOPPED;
  wake_all();
}

uint32_t ChannelLifeCycle::start() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!begin_control(lock)) return KYME_INVALID_CHANNEL;
  uint32_t code = KYME_WRONG_STATE;
  if (state_ == KYME_ST_READY || state_ == KYME_ST_STOPPED) {
    code = prepare_start();
    if (code == OK) {
      discard_undelivered();
      state_ = KYME_ST_RUNNING;
      start_worker();
    }
  }
  end_control();
  return code;
}

uint32_t ChannelLifeCycle::stop() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!begin_control(lock)) return KYME_INVALID_CHANNEL;
  const bool running = state_ == KYME_ST_RUNNING;
  if (running) halt(lock);
  end_control();
  return running ? OK : KYME_WRONG_STATE;
}

uint32_t ChannelLifeCycle::reset() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!begin_control(lock)) return KYME_INVALID_CHANNEL;
  stop_worker(lock);
  discard_undelivered();
  const uint32_t code = rewind();
  if (state_ == KYME_ST_RUNNING) {
    if (code == OK) {
      start_worker();
    } else {
      // A running channel always has its worker: without a codec it stops.
      state_ = KYME_ST_STOPPED;
      wake_all();
    }
  }
  end_control();
  return code;
}

void ChannelLifeCycle::close() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!begin_control(lock)) return;
  if (state_ == KYME_ST_RUNNING) halt(lock);
  closed_ = true;
  end_control();
}

}  // namespace kyme
