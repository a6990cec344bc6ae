// Long float16 arrays are converted on several threads inside the call;
// several callers doing so at once each get their own exact result.
// ctest runs it in the release build, scripts/tsan.sh under ThreadSanitizer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "kycm.h"

namespace {

// A result of 12 MiB: several pieces, and a tail shorter than a piece.
constexpr uint32_t kCount = (3u << 20) + 5;

TEST(Float16Threads, CallersConvertingAtOnceGetExactResults) {
  std::vector<uint16_t> halves(kCount);
  for (uint32_t i = 0; i < kCount; ++i) halves[i] = static_cast<uint16_t>(i * 7919u);
  std::vector<float> expected(kCount);
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(kycmFloat16ToFloat32(halves[i], &expected[i]), 0u);
  std::vector<std::vector<float>> results(3, std::vector<float>(kCount));
  std::vector<std::vector<uint16_t>> back(3, std::vector<uint16_t>(kCount));
  std::vector<std::thread> callers;
  for (std::size_t t = 0; t < results.size(); ++t) {
    callers.emplace_back([&, t] {
      EXPECT_EQ(kycmFloat16ToFloat32Array(halves.data(), kCount, results[t].data()), 0u);
      EXPECT_EQ(kycmFloat32ToFloat16Array(results[t].data(), kCount, back[t].data()), 0u);
    });
  }
  for (auto& caller : callers) caller.join();
  for (std::size_t t = 0; t < results.size(); ++t) {
    EXPECT_EQ(std::memcmp(results[t].data(), expected.data(), kCount * sizeof(float)), 0);
    EXPECT_EQ(back[t], halves);  // every half, NaNs with their payloads, comes back as it was
  }
}

}  // namespace
