// Device memory and copies through the C interface: the host-side checks a
// C caller meets, queued work on streams, and address ranges coming back
// once freed. (That device memory cannot be read from the host is checked
// through the module's readability check.)
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "kycm.h"
#include "kycore/error_codes.h"
#include "kycore/handle_registry.h"
#include "kycore/host_memory.h"
#include "kycore/stream.h"

using namespace kycore;

namespace {

class DeviceMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kycmInitialize(nullptr), 0u); }
  void TearDown() override { kycmUninitialize(); }

  void* device_block(std::vector<uint8_t> bytes) {
    void* block = nullptr;
    EXPECT_EQ(kycmMalloc(bytes.size(), &block), 0u);
    EXPECT_EQ(kycmMemcpy(bytes.data(), block, bytes.size(), kycmCT_COPY_TO_DEVICE), 0u);
    return block;
  }
};

// A stream whose work runs only when the test says so.
struct ManualStream : Stream {
  std::deque<std::function<uint32_t()>> queued;
  uint32_t enqueue(std::function<uint32_t()> work) override {
    queued.push_back(std::move(work));
    return OK;
  }
  void run() {
    for (auto& work : queued) EXPECT_EQ(work(), 0u);
    queued.clear();
  }
};

TEST_F(DeviceMemoryTest, CallersOwnHostMemoryMustBeMappedAndAccessible) {
  void* block = device_block({1, 2, 3, 4});
  std::vector<uint8_t> out(4);
  EXPECT_EQ(kycmMemcpy(block, out.data(), 4, kycmCT_COPY_FROM_DEVICE), 0u);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(kycmMemcpy(block, out.data(), 4, static_cast<kycmCopyMemType>(3)), KYCM_INVALID_COPY_TYPE);

  // Three pages: read only, readable and writable, no access. A range whose
  // first byte is accessible but whose last is not is refused too.
  const long page = 4096;
  auto* pages =
      static_cast<uint8_t*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages, page, PROT_READ) | mprotect(pages + 2 * page, page, PROT_NONE), 0);
  uint8_t *read_only = pages, *edge = pages + 2 * page - 2, *no_access = pages + 2 * page;
  EXPECT_EQ(kycmMemcpy(block, read_only, 4, kycmCT_COPY_FROM_DEVICE), KYCM_INVALID_ADDRESS);
  EXPECT_EQ(kycmMemcpy(read_only, block, 4, kycmCT_COPY_TO_DEVICE), 0u);
  EXPECT_EQ(kycmMemcpy(no_access, block, 4, kycmCT_COPY_TO_DEVICE), KYCM_INVALID_ADDRESS);
  EXPECT_EQ(kycmMemcpy(block, edge, 4, kycmCT_COPY_FROM_DEVICE), KYCM_INVALID_ADDRESS);
  EXPECT_EQ(kycmMemcpy(edge, block, 4, kycmCT_COPY_TO_DEVICE), KYCM_INVALID_ADDRESS);
  EXPECT_EQ(kycmMemcpy(block, edge - 2, 4, kycmCT_COPY_FROM_DEVICE), 0u);
  munmap(pages, 3 * page);
  EXPECT_EQ(kycmMemcpy(read_only, block, 4, kycmCT_COPY_TO_DEVICE), KYCM_INVALID_ADDRESS);
}

TEST_F(DeviceMemoryTest, ACallersBufferRunningIntoARuntimeHostBlockIsRefused) {
  void* host = nullptr;
  ASSERT_EQ(kycmMallocHost(100, &host), 0u);
  void* device = device_block({0, 0});
  EXPECT_EQ(kycmMemcpy(device, static_cast<uint8_t*>(host) - 1, 2, kycmCT_COPY_FROM_DEVICE), KYCM_OUT_OF_RANGE);
  EXPECT_EQ(kycmFreeHost(host), 0u);
}

TEST_F(DeviceMemoryTest, QueuedWorkWaitsForItsStreamAndKeepsItsBlocks) {
  auto stream = std::make_shared<ManualStream>();
  void* handle = HandleRegistry::instance().add<Stream>(HandleKind::stream, stream);
  void* block = device_block({1, 2, 3, 4});
  std::vector<uint8_t> out(4, 0);
  EXPECT_EQ(kycmMemsetAsync(block, 0x109, 2, handle), 0u);
  EXPECT_EQ(kycmMemcpyAsync(block, out.data(), 4, kycmCT_COPY_FROM_DEVICE, handle), 0u);
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(kycmFree(block), 0u);  // the queued work still holds the memory
  stream->run();
  EXPECT_EQ(out, (std::vector<uint8_t>{9, 9, 3, 4}));
  // The runtime's host blocks too. Blocks this large are unmapped when freed:
  // a copy into or out of one freed too early would fault.
  constexpr uint64_t kSize = 4ull << 20;
  EXPECT_EXIT(
      {
        const std::size_t blocks_before = HostMemory::instance().block_count();
        void* device = nullptr;
        void* into = nullptr;
        void* from = nullptr;
        if (kycmMalloc(kSize, &device) != 0u || kycmMallocHost(kSize, &into) != 0u ||
            kycmMallocHost(kSize, &from) != 0u) {
          std::exit(1);
        }
        std::memset(from, 7, kSize);
        if (kycmMemcpyAsync(from, device, kSize, kycmCT_COPY_TO_DEVICE, handle) != 0u ||
            kycmMemcpyAsync(device, into, kSize, kycmCT_COPY_FROM_DEVICE, handle) != 0u) {
          std::exit(2);
        }
        if (kycmFreeHost(from) != 0u || kycmFreeHost(into) != 0u) std::exit(3);
        stream->run();
        std::exit(HostMemory::instance().block_count() == blocks_before ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "");
  HandleRegistry::instance().remove<Stream>(handle, HandleKind::stream);
  EXPECT_EQ(kycmMemsetAsync(block, 0, 1, handle), KYCM_INVALID_HANDLE);
}

// One die of 1 TiB, whose whole capacity fits the address range 255 times:
// freed ranges come back to the device, over three sessions of 200 cycles
// (the second used to fail for good), while a freed address is not handed
// out again soon after its free.
TEST_F(DeviceMemoryTest, CyclingWholeDieBlocksNeverRunsOutOfAddresses) {
  std::deque<void*> recent;
  for (int session = 0; session < 3; ++session) {
    kycmUninitialize();
    ASSERT_EQ(kycmInitialize(R"({"cards": 1, "dies_per_card": 1, "die": {"memory_mib": 1048576}})"), 0u);
    for (int cycle = 0; cycle < 200; ++cycle) {
      void* block = nullptr;
      ASSERT_EQ(kycmMalloc(1ull << 40, &block), 0u) << "session " << session << ", cycle " << cycle;
      for (void* previous : recent) ASSERT_NE(block, previous) << "session " << session << ", cycle " << cycle;
      recent.push_back(block);
      if (recent.size() > 32) recent.pop_front();
      ASSERT_EQ(kycmFree(block), 0u);
    }
    if (session == 1) {
      ASSERT_EQ(kycmResetDevice(0), 0u);
    }
  }
}

}  // namespace
