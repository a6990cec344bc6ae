// The common runtime's life cycle under concurrent callers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kycm.h"

namespace {

TEST(KycmRuntime, OfConcurrentInitializationsExactlyOneSucceeds) {
  for (int round = 0; round < 200; ++round) {
    std::atomic<bool> go{false};
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    threads.reserve(3);
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        if (kycmInitialize(nullptr) == 0u) ++succeeded;
      });
    }
    go.store(true);
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(succeeded.load(), 1) << "round " << round;
    ASSERT_EQ(kycmUninitialize(), 0u);
  }
}

}  // namespace
