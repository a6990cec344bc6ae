// Two independent attachments of one process to the same card's state,
// racing each other's allocations, channel numbers and engine work from
// eight threads, as two processes would. Checks that no byte is lost or
// doubled and that no channel number is ever held twice. ctest runs it in the
// release build, scripts/tsan.sh under ThreadSanitizer;
// QUILLON_STRESS_SECONDS sets its time (default 1).
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kycore/error_codes.h"
#include "kycore/shared_state.h"

using namespace kycore;

namespace {

constexpr int kThreads = 8;
constexpr uint32_t kNumbers = 8;  // few numbers, so that claims collide
constexpr uint64_t kBlock = 1 << 20;

Platform small_card() {
  PlatformResult result = parse_platform(R"({"cards": [{"uuid": "stress)" + std::to_string(getpid()) +
                                         R"(", "dies": [{"memory_mib": 16, "decode_channels": 8}]}]})");
  EXPECT_EQ(result.code, 0u) << result.message;
  return result.platform;
}

TEST(SharedStateStress, TwoRuntimesRaceMemoryAndChannelNumbers) {
  const Platform platform = small_card();
  uint32_t code = 0;
  std::string message;
  std::array<std::shared_ptr<SharedState>, 2> runtimes;
  for (auto& runtime : runtimes) {
    runtime = SharedState::attach(platform, &code, &message);
    ASSERT_TRUE(runtime) << message;
  }
  const char* text = std::getenv("QUILLON_STRESS_SECONDS");
  const double seconds = text != nullptr && std::atof(text) > 0 ? std::atof(text) : 1.0;
  std::array<std::atomic<int>, kNumbers> holder;
  for (auto& h : holder) h.store(-1);
  std::atomic<bool> stop{false};
  std::atomic<int> doubled{0}, overdrawn{0};
  std::atomic<uint64_t> held{0};  // counted up after a reservation, down before a return: never above the die
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SharedState& state = *runtimes[t % 2];
      std::minstd_rand random(static_cast<unsigned>(t + 1));
      uint64_t mine = 0;
      while (!stop.load()) {
        if (state.reserve_memory(0, kBlock) == OK) {
          mine += kBlock;
          if (held.fetch_add(kBlock) + kBlock > (16u << 20)) ++overdrawn;
        }
        if (mine > 0 && random() % 2 == 0) {
          held -= kBlock;
          state.return_memory(0, kBlock);
          mine -= kBlock;
        }
        // Numbers are claimed per runtime; the holder array tracks runtimes.
        const uint32_t number = random() % kNumbers;
        if (state.claim_channel(ChannelKind::decoder, 0, number, number % 2 == 0) == OK) {
          int expected = -1;
          if (!holder[number].compare_exchange_strong(expected, t)) ++doubled;
          const uint32_t work = state.begin_busy(0, Engine::decoder, number, 0);
          state.end_busy(work, 1000);
          holder[number].store(-1);
          state.release_channel(ChannelKind::decoder, 0, number);
        }
      }
      held -= mine;
      state.return_memory(0, mine);
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop.store(true);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(doubled.load(), 0);
  EXPECT_EQ(overdrawn.load(), 0);
  SharedDie die;
  ASSERT_TRUE(runtimes[0]->read_die(0, &die));
  EXPECT_EQ(die.memory_used, 0u);
  EXPECT_EQ(die.decoders, 0u);
  const std::string name = runtimes[0]->name();
  runtimes = {};
  EXPECT_NE(access(("/dev/shm" + name).c_str(), F_OK), 0) << "the last attachment leaves no segment behind";
}

}  // namespace
