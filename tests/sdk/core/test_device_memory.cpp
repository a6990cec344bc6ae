// Device memory and copies through the C interface: the host-side checks a
// C caller meets, queued work on streams, and the fault of host code that
// dereferences a device address.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <string>
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

TEST_F(DeviceMemoryTest, DereferencingDeviceMemoryFromTheHostFaults) {
  void* block = device_block({1, 2, 3});
  EXPECT_DEATH(
      {
        volatile uint8_t byte = *static_cast<volatile uint8_t*>(block);
        (void)byte;
      },
      "");
}

TEST_F(DeviceMemoryTest, CallersOwnHostMemoryMustBeMappedAndAccessible) {
  void* block = device_block({1, 2, 3, 4});
  std::vector<uint8_t> out(4);
  EXPECT_EQ(kycmMemcpy(block, out.data(), 4, kycmCT_COPY_FROM_DEVICE), 0u);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(kycmMemcpy(block, out.data(), 4, static_cast<kycmCopyMemType>(3)), KYCM_INVALID_COPY_TYPE);

  const long page = 4096;
  void* read_only = mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  void* no_access = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(read_only, MAP_FAILED);
  ASSERT_NE(no_access, MAP_FAILED);
  EXPECT_EQ(kycmMemcpy(block, read_only, 4, kycmCT_COPY_FROM_DEVICE), KYCM_INVALID_ADDRESS);
  EXPECT_EQ(kycmMemcpy(read_only, block, 4, kycmCT_COPY_TO_DEVICE), 0u);
  EXPECT_EQ(kycmMemcpy(no_access, block, 4, kycmCT_COPY_TO_DEVICE), KYCM_INVALID_ADDRESS);
  munmap(read_only, page);
  EXPECT_EQ(kycmMemcpy(read_only, block, 4, kycmCT_COPY_TO_DEVICE), KYCM_INVALID_ADDRESS);
  munmap(no_access, page);

  // A range whose first byte is accessible but whose last lies in a page that
  // is mapped without access is refused too.
  auto* pair =
      static_cast<uint8_t*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pair, MAP_FAILED);
  ASSERT_EQ(mprotect(pair + page, page, PROT_NONE), 0);
  EXPECT_EQ(kycmMemcpy(block, pair + page - 2, 4, kycmCT_COPY_FROM_DEVICE), KYCM_INVALID_ADDRESS);
  EXPECT_EQ(kycmMemcpy(pair + page - 2, block, 4, kycmCT_COPY_TO_DEVICE), KYCM_INVALID_ADDRESS);
  EXPECT_EQ(kycmMemcpy(block, pair + page - 4, 4, kycmCT_COPY_FROM_DEVICE), 0u);
  munmap(pair, 2 * page);
}

TEST_F(DeviceMemoryTest, HostRangesAreLocatedAgainstTheRuntimesBlocks) {
  void* host = nullptr;
  ASSERT_EQ(kycmMallocHost(100, &host), 0u);
  auto* bytes = static_cast<uint8_t*>(host);
  auto& memory = HostMemory::instance();
  EXPECT_EQ(memory.locate(bytes + 10, 90), HostRange::inside);
  EXPECT_EQ(memory.locate(bytes + 10, 91), HostRange::overlapping);
  EXPECT_EQ(memory.locate(bytes - 1, 2), HostRange::overlapping);
  EXPECT_EQ(memory.locate(bytes - 1, 1), HostRange::outside);
  // A caller's buffer that runs into a runtime block is refused.
  void* device = device_block({0, 0});
  EXPECT_EQ(kycmMemcpy(device, bytes - 1, 2, kycmCT_COPY_FROM_DEVICE), KYCM_OUT_OF_RANGE);
  EXPECT_EQ(kycmFreeHost(host), 0u);
}

TEST_F(DeviceMemoryTest, AsynchronousWorkWaitsForItsStreamAndKeepsItsBlocks) {
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
  HandleRegistry::instance().remove<Stream>(handle, HandleKind::stream);
  EXPECT_EQ(kycmMemsetAsync(block, 0, 1, handle), KYCM_INVALID_HANDLE);
}

TEST_F(DeviceMemoryTest, QueuedCopiesKeepTheRuntimesHostBlocks) {
  // Blocks this large are unmapped when freed: a copy into or out of one
  // freed too early would fault.
  constexpr uint64_t kSize = 4ull << 20;
  EXPECT_EXIT(
      {
        auto stream = std::make_shared<ManualStream>();
        void* handle = HandleRegistry::instance().add<Stream>(HandleKind::stream, stream);
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
}

TEST(RuntimeLog, MessagesAreFormattedAsByPrintfAndWrittenOnOneLine) {
  const std::string path = ::testing::TempDir() + "runtime_log_test.log";
  std::remove(path.c_str());
  setenv("QUILLON_LOG", path.c_str(), 1);
  ASSERT_EQ(kycmInitLogger(), 0u);
  EXPECT_EQ(kycmLogMessage(kycmLC_CM, kycmLL_WARN, "fn", "file.c", 12, "%d%% of %s", 50, "it"), 0u);
  EXPECT_EQ(kycmLogMessage(static_cast<kycmLogChannel>(9), kycmLL_WARN, "fn", "file.c", 1, "x"), KYCM_INVALID_ARGUMENT);
  unsetenv("QUILLON_LOG");
  ASSERT_EQ(kycmInitLogger(), 0u);
  std::ifstream in(path);
  std::string line, extra;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_FALSE(std::getline(in, extra));
  EXPECT_NE(line.find("[CM] [WARN] file.c:12 fn: 50% of it"), std::string::npos) << line;
}

}  // namespace
