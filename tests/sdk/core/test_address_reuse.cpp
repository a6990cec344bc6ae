// Device address ranges come back to their device once freed: cycling large
// blocks never exhausts a device's address range, while a freed address is
// not handed out again for many allocations after its free.
#include <gtest/gtest.h>

#include <deque>

#include "kycm.h"
#include "kycore/error_codes.h"

namespace {

// One die of 1 TiB: its whole capacity fits the address range 255 times.
constexpr const char* kTebibyteDie = R"({"cards": 1, "dies_per_card": 1, "die": {"memory_mib": 1048576}})";
constexpr uint64_t kTebibyte = 1ull << 40;

class DeviceAddressReuse : public ::testing::Test {
 protected:
  void TearDown() override { kycmUninitialize(); }
};

TEST_F(DeviceAddressReuse, CyclingWholeDieBlocksNeverRunsOutOfAddresses) {
  // Three sessions of 200 cycles each: the second one used to fail for good.
  std::deque<void*> recent;
  for (int session = 0; session < 3; ++session) {
    ASSERT_EQ(kycmInitialize(kTebibyteDie), 0u);
    for (int cycle = 0; cycle < 200; ++cycle) {
      void* block = nullptr;
      ASSERT_EQ(kycmMalloc(kTebibyte, &block), 0u) << "session " << session << ", cycle " << cycle;
      // A freed address is not handed out again soon after.
      for (void* previous : recent) ASSERT_NE(block, previous) << "session " << session << ", cycle " << cycle;
      recent.push_back(block);
      if (recent.size() > 32) recent.pop_front();
      ASSERT_EQ(kycmFree(block), 0u);
    }
    if (session == 1) {
      ASSERT_EQ(kycmResetDevice(0), 0u);
    }
    ASSERT_EQ(kycmUninitialize(), 0u);
  }
}

}  // namespace
