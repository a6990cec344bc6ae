// What the multi-thread stress cases of the C interface share: the time per
// case (QUILLON_STRESS_SECONDS, default 1), a watchdog that ends the process
// when a call never returns, threads stepping until the time is up, and
// checks of a code against those a racing call may meet.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <random>
#include <thread>
#include <vector>

namespace stress {

constexpr int kThreads = 8;

inline double seconds() {
  const char* text = std::getenv("QUILLON_STRESS_SECONDS");
  const double value = text != nullptr ? std::atof(text) : 0;
  return value > 0 ? value : 1.0;
}

// Aborts the process unless destroyed within the stress time and five minutes
// more: a hang fails the run instead of stalling it (and CI) for good.
class Watchdog {
 public:
  Watchdog() {
    std::signal(SIGALRM, [](int) {
      static const char kText[] = "stress: a call never returned\n";
      [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, kText, sizeof kText - 1);
      std::abort();
    });
    alarm(static_cast<unsigned>(seconds()) + 300);
  }
  ~Watchdog() { alarm(0); }
};

// Raised when the stress time is up, for steps that wait on other threads.
inline std::atomic<bool> time_up{false};

// Calls step(thread, its random numbers) on kThreads threads, over and over,
// for the stress time.
inline void run_threads(const std::function<void(int, std::minstd_rand&)>& step) {
  Watchdog watchdog;
  time_up.store(false);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::minstd_rand random(static_cast<unsigned>(t + 1));
      while (!time_up.load()) step(t, random);
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds()));
  time_up.store(true);
  for (auto& thread : threads) thread.join();
}

inline bool one_of(uint32_t code, std::initializer_list<uint32_t> codes) {
  for (uint32_t allowed : codes) {
    if (code == allowed) return true;
  }
  return false;
}

}  // namespace stress

// Expects `call` to return one of the codes listed after it.
#define EXPECT_CODE(call, ...)                                                           \
  do {                                                                                   \
    const uint32_t code_ = (call);                                                       \
    EXPECT_TRUE(stress::one_of(code_, {__VA_ARGS__})) << #call << " returned " << code_; \
  } while (0)
