// The life cycle every media channel shares: READY, then RUNNING and
// STOPPED as the caller starts, stops and resets it, and closed once it is
// destroyed; and the one worker thread that runs while it is RUNNING.
//
// Control calls (start, stop, reset, close) may race each other from any
// thread. They take turns: a call waits until the one in progress has
// finished, so exactly one of them joins a worker and none starts a worker
// while another is joined. The channel's mutex is released while a worker is
// joined, so the worker can finish its piece of work and the caller's sends
// and receives return.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "kyme.h"

namespace kyme {

class ChannelLifeCycle {
 public:
  ChannelLifeCycle() = default;
  virtual ~ChannelLifeCycle() = default;
  ChannelLifeCycle(const ChannelLifeCycle&) = delete;
  ChannelLifeCycle& operator=(const ChannelLifeCycle&) = delete;

  // 0, KYME_WRONG_STATE, KYME_INVALID_CHANNEL once closed, or the code of
  // what the channel failed to prepare.
  uint32_t start();
  uint32_t stop();
  uint32_t reset();
  // Stops the channel for good, as its destruction does: the worker is
  // joined, waiting callers return, and later control calls answer
  // KYME_INVALID_CHANNEL. A derived channel's destructor calls it first,
  // since the worker uses the derived channel's members.
  void close();

 protected:
  // Guards the state and every member of the derived channel.
  std::mutex mutex_;
  kymeState state_ = KYME_ST_READY;
  bool quit_ = false;  // the worker is asked to end

  // Called with mutex_ held.
  // Before the worker starts: the codec made ready for a new stream.
  virtual uint32_t prepare_start() = 0;
  // On reset, once the worker has ended: the codec back to the start of a stream.
  virtual uint32_t rewind() = 0;
  // Input not yet taken and output not yet received are dropped.
  virtual void discard_undelivered() = 0;
  // Wakes every wait of the callers and the worker: the state or quit_ changed.
  virtual void wake_all() = 0;
  // The worker's body: returns once quit_ is set.
  virtual void run() = 0;

 private:
  // Waits until no other control call is in progress, then marks one.
  // False when the channel is closed.
  bool begin_control(std::unique_lock<std::mutex>& lock);
  void end_control();
  void start_worker();
  void stop_worker(std::unique_lock<std::mutex>& lock);
  // stop and close: RUNNING to STOPPED.
  void halt(std::unique_lock<std::mutex>& lock);

  bool controlling_ = false;
  bool closed_ = false;
  std::condition_variable control_done_;
  std::thread worker_;
};

}  // namespace kyme
