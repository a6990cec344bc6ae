// The store of result blocks: a short list of freed blocks, each a whole
// number of huge pages, reused by the next result of a size it fits.
#include "quillon/result_blocks.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace py = pybind11;

namespace quillon {
namespace {

constexpr std::size_t kHugePage = 2u << 20;

struct Block {
  void* address;
  std::size_t capacity;
};

class BlockStore {
 public:
  // A kept block that holds `bytes` without wasting more than half of
  // itself, else a new one (null when the memory is not there).
  Block take(std::size_t bytes) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = spare_.rbegin(); it != spare_.rend(); ++it) {
        if (it->capacity >= bytes && it->capacity - bytes <= it->capacity / 2) {
          const Block block = *it;
          held_ -= block.capacity;
          spare_.erase(std::next(it).base());
          return block;
        }
      }
    }
    const std::size_t capacity = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* address = std::aligned_alloc(kHugePage, capacity);
    // Huge pages fault in a 512th as often; only advice, so a refusal is fine.
    if (address != nullptr) madvise(address, capacity, MADV_HUGEPAGE);
    return Block{address, capacity};
  }

  void give_back(Block block) {
    std::vector<void*> freed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (block.capacity > kResultBlockBytes) {
        freed.push_back(block.address);
      } else {
        spare_.push_back(block);
        held_ += block.capacity;
        while (held_ > kResultBlockBytes || spare_.size() > kResultBlocks) {
          held_ -= spare_.front().capacity;
          freed.push_back(spare_.front().address);
          spare_.erase(spare_.begin());
        }
      }
    }
    for (void* address : freed) std::free(address);
  }

 private:
  std::mutex mutex_;
  std::vector<Block> spare_;  // oldest first
  std::size_t held_ = 0;
};

// Never destroyed: an array may outlive the module's static objects at exit.
BlockStore& store() {
  static auto* blocks = new BlockStore;
  return *blocks;
}

}  // namespace

void* take_result_block(std::size_t bytes, py::capsule* owner) {
  if (bytes > SIZE_MAX / 2) throw std::bad_alloc();
  auto block = std::make_unique<Block>(store().take(bytes));
  if (block->address == nullptr) throw std::bad_alloc();
  // Until the capsule holds it, the block goes back to the store if anything throws.
  struct Unowned {
    std::unique_ptr<Block>& block;
    ~Unowned() {
      if (block) store().give_back(*block);
    }
  } unowned{block};
  *owner = py::capsule(block.get(), [](void* pointer) {
    std::unique_ptr<Block> kept(static_cast<Block*>(pointer));
    store().give_back(*kept);
  });
  return block.release()->address;
}

}  // namespace quillon
