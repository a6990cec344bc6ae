// Blocks whose bytes are written when first needed: the fill runs once,
// whoever resolves first, and never for a block released or re-filled
// before anyone looked; readers racing each other, new fills and device
// resets see whole contents or no block (the stress also runs under
// ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "kycm.h"
#include "kycore/device_memory.h"
#include "stress.h"

using namespace kycore;

namespace {

constexpr uint64_t kBlockBytes = 64 << 10;

// Writes one byte value everywhere; counts its runs. Its "source" is a
// plane of that value, for readers that take it as it is.
class ValueFill final : public DeferredFill {
 public:
  explicit ValueFill(uint8_t value, std::atomic<int>* alive = nullptr)
      : value_(value), source_(kBlockBytes, value), alive_(alive) {
    if (alive_ != nullptr) alive_->fetch_add(1);
  }
  ~ValueFill() override {
    EXPECT_LE(runs_.load(), 1);
    if (alive_ != nullptr) alive_->fetch_sub(1);
  }
  ValueFill(const ValueFill&) = delete;
  ValueFill& operator=(const ValueFill&) = delete;

  void fill(uint8_t* block) noexcept override {
    runs_.fetch_add(1);
    std::memset(block, value_, kBlockBytes);
  }
  bool nv12_source(PlanarPicture* source) const override {
    source->planes[0] = source_.data();
    source->width = 2;
    return true;
  }
  int runs() const { return runs_.load(); }

 private:
  uint8_t value_;
  std::vector<uint8_t> source_;
  std::atomic<int>* alive_;
  std::atomic<int> runs_{0};
};

struct Block {
  void* address = nullptr;
  std::shared_ptr<uint8_t> backing;
};

Block new_block() {
  Block block;
  EXPECT_EQ(DeviceMemory::instance().allocate(0, kBlockBytes, BlockOwner::runtime, &block.address), 0u);
  block.backing = DeviceMemory::instance().resolve(block.address, kBlockBytes).keep;
  return block;
}

bool all_equal(const uint8_t* data, uint8_t value) {
  for (uint64_t i = 0; i < kBlockBytes; ++i) {
    if (data[i] != value) return false;
  }
  return true;
}

class DeferredFillTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kycmInitialize(nullptr), 0u); }
  void TearDown() override { kycmUninitialize(); }
};

TEST_F(DeferredFillTest, RunsOnceAtTheFirstResolveAndNeverWhenDroppedOrReplaced) {
  DeviceMemory& memory = DeviceMemory::instance();
  const Block block = new_block();
  auto first = std::make_shared<ValueFill>(7);
  ASSERT_TRUE(memory.defer_fill(block.address, block.backing, first));
  int32_t device = -1;
  EXPECT_EQ(memory.pending_fill(block.address, &device), first);
  EXPECT_EQ(device, 0);
  EXPECT_EQ(first->runs(), 0) << "looking at the pending fill runs it";

  // Any part of the block resolved writes all of it, once.
  const uint8_t* data = memory.resolve(static_cast<uint8_t*>(block.address) + 100, 1).data - 100;
  EXPECT_EQ(first->runs(), 1);
  EXPECT_TRUE(all_equal(data, 7));
  memory.resolve(block.address, kBlockBytes);
  EXPECT_EQ(first->runs(), 1);
  EXPECT_EQ(memory.pending_fill(block.address, &device), nullptr);

  // Replaced, then dropped: neither runs, both are freed.
  std::atomic<int> alive{0};
  ASSERT_TRUE(memory.defer_fill(block.address, block.backing, std::make_shared<ValueFill>(8, &alive)));
  ASSERT_TRUE(memory.defer_fill(block.address, block.backing, std::make_shared<ValueFill>(9, &alive)));
  EXPECT_EQ(alive.load(), 1);
  ASSERT_TRUE(memory.defer_fill(block.address, block.backing, nullptr));
  EXPECT_EQ(alive.load(), 0);
  EXPECT_TRUE(all_equal(memory.resolve(block.address, kBlockBytes).data, 7));

  // Only the block's own start, only while it is the same block.
  auto late = std::make_shared<ValueFill>(10, &alive);
  EXPECT_FALSE(memory.defer_fill(static_cast<uint8_t*>(block.address) + 64, block.backing, late));
  EXPECT_FALSE(memory.defer_fill(block.address, std::make_shared<uint8_t>(0), late));
  EXPECT_EQ(memory.pending_fill(static_cast<uint8_t*>(block.address) + 64, &device), nullptr);
  ASSERT_EQ(memory.release(block.address, BlockOwner::runtime), 0u);
  EXPECT_FALSE(memory.defer_fill(block.address, block.backing, late));
  late.reset();
  EXPECT_EQ(alive.load(), 0);

  // A reset of the device frees a pending fill unrun.
  const Block other = new_block();
  ASSERT_TRUE(memory.defer_fill(other.address, other.backing, std::make_shared<ValueFill>(11, &alive)));
  memory.release_device(0);
  EXPECT_EQ(alive.load(), 0);
}

TEST_F(DeferredFillTest, StressReadersRacingNewFillsAndResetsSeeWholeBlocks) {
  DeviceMemory& memory = DeviceMemory::instance();
  std::mutex lock;
  std::vector<std::pair<Block, uint8_t>> published;  // blocks given their fill, with its value
  std::atomic<uint64_t> whole{0};
  std::atomic<int> alive{0};
  uint8_t next = 1;
  const auto pick = [&](std::minstd_rand& random, std::pair<Block, uint8_t>* chosen) {
    std::lock_guard<std::mutex> hold(lock);
    if (published.empty()) return false;
    *chosen = published[random() % published.size()];
    return true;
  };
  stress::run_threads([&](int t, std::minstd_rand& random) {
    if (t == 0) {
      // New blocks with new fills; the oldest released. A fill is never
      // replaced under a reader: blocks are re-filled only once given back.
      Block block = new_block();
      if (block.address == nullptr) return;
      std::lock_guard<std::mutex> hold(lock);
      if (++next == 0) next = 1;  // a fill of zeros would look like a fresh block
      const uint8_t value = next;
      if (memory.defer_fill(block.address, block.backing, std::make_shared<ValueFill>(value, &alive))) {
        published.emplace_back(block, value);
      }
      if (published.size() > 16) {
        memory.release(published.front().first.address, BlockOwner::runtime, published.front().first.backing);
        published.erase(published.begin());
      }
      return;
    }
    if (t == 1) {
      if (random() % 256 == 0) memory.release_device(0);
      return;
    }
    std::pair<Block, uint8_t> chosen;
    if (!pick(random, &chosen)) return;
    if (t < 5) {
      const DeviceSpan span = memory.resolve(chosen.first.address, kBlockBytes);
      if (span.data == nullptr) return;  // released or reset meanwhile
      EXPECT_TRUE(span.keep != chosen.first.backing || all_equal(span.data, chosen.second));
      whole.fetch_add(1);
      return;
    }
    int32_t device = -1;
    const std::shared_ptr<const DeferredFill> fill = memory.pending_fill(chosen.first.address, &device);
    PlanarPicture source;
    if (fill && fill->nv12_source(&source)) EXPECT_EQ(source.planes[0][kBlockBytes - 1], chosen.second);
  });
  {
    std::lock_guard<std::mutex> hold(lock);
    for (const auto& [block, value] : published) memory.release(block.address, BlockOwner::runtime, block.backing);
    published.clear();
  }
  EXPECT_GT(whole.load(), 0u);
  EXPECT_EQ(alive.load(), 0) << "a fill outlived its block";
}

}  // namespace
