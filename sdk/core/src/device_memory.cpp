// Device memory blocks, their addresses and per-device accounting.
#include "kycore/device_memory.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "address_range.h"
#include "kycore/error_codes.h"
#include "kycore/page_memory.h"
#include "kycore/platform.h"
#include "kycore/shared_state.h"

namespace kycore {
namespace {

constexpr uint64_t kTag = 0xDEull << 56;
constexpr uint64_t kTagMask = 0xFFull << 56;
constexpr int kDeviceShift = 48;
constexpr uint64_t kRangeBytes = 1ull << kDeviceShift;
// Blocks are placed on 4 KiB boundaries of the device's address range, each
// span a guard gap followed by the block, so that an overrun never lands in
// the next block.
constexpr uint64_t kPlacement = 4096;

uint64_t round_up(uint64_t value, uint64_t step) { return (value + step - 1) / step * step; }

// The span of address range a block of `size` bytes takes.
uint64_t span_of(uint64_t size) { return round_up(size, kPlacement) + kPlacement; }

}  // namespace

DeferredFill::~DeferredFill() = default;

struct DeviceMemory::Pending {
  std::once_flag once;
  std::shared_ptr<DeferredFill> fill;
};

struct DeviceMemory::Block {
  std::shared_ptr<uint8_t> data;
  uint64_t size;
  int32_t device;
  BlockOwner owner;
  std::shared_ptr<SharedState> shared;  // the card's state the block is charged to, if any
  std::shared_ptr<Pending> pending;     // bytes not written yet
};

namespace {

// Gives a released block's bytes back to the card's state.
void uncharge(const DeviceMemory::Block& block) {
  if (block.shared) block.shared->return_memory(block.device, block.size);
}

}  // namespace

struct DeviceMemory::Impl {
  mutable std::mutex mutex;
  std::map<uint64_t, Block> blocks;  // by start address
  std::map<int32_t, uint64_t> used;
  std::map<int32_t, AddressRange> ranges;

  AddressRange& range(int32_t device) { return ranges.try_emplace(device, kRangeBytes).first->second; }
  void give_back(uint64_t start, const Block& block) {
    range(block.device).give_back((start & (kRangeBytes - 1)) - kPlacement, span_of(block.size));
  }
};

DeviceMemory::DeviceMemory() : impl_(std::make_unique<Impl>()) {}
DeviceMemory::~DeviceMemory() = default;

DeviceMemory& DeviceMemory::instance() {
  static auto* memory = new DeviceMemory();  // never destroyed, see HandleRegistry
  return *memory;
}

bool DeviceMemory::is_device_address(const void* address) {
  return (reinterpret_cast<uint64_t>(address) & kTagMask) == kTag;
}

uint32_t DeviceMemory::allocate(int32_t device, uint64_t size, BlockOwner owner, void** address) {
  if (address == nullptr) return KYCM_INVALID_ARGUMENT;
  const auto platform = current_platform();
  const DieConfig* die = device >= 0 ? platform->device(static_cast<std::size_t>(device)) : nullptr;
  if (die == nullptr || device > 0xff) return KYCM_INVALID_DEVICE;
  if (size == 0) return KYCM_INVALID_ARGUMENT;
  if (size > die->memory_bytes) return KYCM_OUT_OF_MEMORY;

  // The die's memory is the card's: what every process holds counts.
  uint32_t refused = OK;
  Block block{nullptr, size, device, owner, shared_state(&refused), nullptr};
  if (refused != OK) return refused;
  if (block.shared) {
    if (const uint32_t code = block.shared->reserve_memory(device, size); code != OK) return code;
  }
  const uint32_t code = place(block, die->memory_bytes, address);
  if (code != OK) uncharge(block);
  return code;
}

uint32_t DeviceMemory::place(Block& block, uint64_t capacity, void** address) {
  const uint64_t size = block.size;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  uint64_t& used = impl_->used[block.device];
  if (size > capacity - std::min(used, capacity)) return KYCM_OUT_OF_MEMORY;
  AddressRange& range = impl_->range(block.device);
  uint64_t offset = 0;
  if (!range.take(span_of(size), &offset)) return KYCM_OUT_OF_MEMORY;  // address range exhausted

  // Not zero-filled, as device memory is not: a fresh block reads as whatever
  // the host gives (zero pages for large blocks).
  auto* raw = static_cast<uint8_t*>(allocate_block(size));
  if (raw == nullptr) {
    range.give_back(offset, span_of(size));
    return KYCM_OUT_OF_HOST_MEMORY;
  }
  const uint64_t start = kTag | (static_cast<uint64_t>(block.device) << kDeviceShift) | (offset + kPlacement);
  used += size;
  block.data = std::shared_ptr<uint8_t>(raw, [size](uint8_t* p) { release_block(p, size); });
  impl_->blocks.emplace(start, std::move(block));
  *address = reinterpret_cast<void*>(start);
  return OK;
}

uint32_t DeviceMemory::release(const void* address, BlockOwner owner) { return release(address, owner, nullptr); }

uint32_t DeviceMemory::release(const void* address, BlockOwner owner, const std::shared_ptr<uint8_t>& backing) {
  Block gone{};  // freed and uncharged after the lock is dropped
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->blocks.find(reinterpret_cast<uint64_t>(address));
    if (it == impl_->blocks.end() || (backing && it->second.data != backing)) return KYCM_INVALID_ADDRESS;
    if (it->second.owner != owner) return KYCM_WRONG_ALLOCATOR;
    impl_->used[it->second.device] -= it->second.size;
    impl_->give_back(it->first, it->second);
    gone = std::move(it->second);
    impl_->blocks.erase(it);
  }
  uncharge(gone);
  return OK;
}

DeviceSpan DeviceMemory::resolve(const void* address, uint64_t size) const {
  const uint64_t value = reinterpret_cast<uint64_t>(address);
  if ((value & kTagMask) != kTag) return {};
  std::shared_ptr<Pending> pending;
  uint64_t start = 0;
  DeviceSpan span;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->blocks.upper_bound(value);
    if (it == impl_->blocks.begin()) return {};
    --it;
    const uint64_t offset = value - it->first;
    if (offset > it->second.size || size > it->second.size - offset) return {};
    span = DeviceSpan{it->second.data, it->second.data.get() + offset, it->second.device, it->second.size - offset};
    pending = it->second.pending;
    start = it->first;
  }
  if (pending) complete(start, pending, span.keep.get());
  return span;
}

void DeviceMemory::complete(uint64_t start, const std::shared_ptr<Pending>& pending, uint8_t* block) const {
  // Whoever comes second waits until the bytes are there.
  std::call_once(pending->once, [&] { pending->fill->fill(block); });
  std::shared_ptr<Pending> done;  // dropped after the lock: it may free the fill's source
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->blocks.find(start);
  if (it != impl_->blocks.end() && it->second.pending == pending) done = std::move(it->second.pending);
}

bool DeviceMemory::defer_fill(const void* address, const std::shared_ptr<uint8_t>& backing,
                              std::shared_ptr<DeferredFill> fill) {
  std::shared_ptr<Pending> pending;
  if (fill) {
    try {
      pending = std::make_shared<Pending>();
    } catch (const std::bad_alloc&) {
      return false;
    }
    pending->fill = std::move(fill);
  }
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->blocks.find(reinterpret_cast<uint64_t>(address));
  if (it == impl_->blocks.end() || it->second.data != backing) return false;
  // The one replaced, and a fill refused, go when `pending` does, after the lock.
  std::swap(it->second.pending, pending);
  return true;
}

std::shared_ptr<const DeferredFill> DeviceMemory::pending_fill(const void* address, int32_t* device) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->blocks.find(reinterpret_cast<uint64_t>(address));
  if (it == impl_->blocks.end() || !it->second.pending) return nullptr;
  *device = it->second.device;
  return it->second.pending->fill;
}

bool DeviceMemory::holds(const void* address, const std::shared_ptr<uint8_t>& backing) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->blocks.find(reinterpret_cast<uint64_t>(address));
  return it != impl_->blocks.end() && it->second.data == backing;
}

bool DeviceMemory::is_block_start(const void* address, BlockOwner owner) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->blocks.find(reinterpret_cast<uint64_t>(address));
  return it != impl_->blocks.end() && it->second.owner == owner;
}

uint64_t DeviceMemory::used(int32_t device) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->used.find(device);
  return it == impl_->used.end() ? 0 : it->second;
}

std::size_t DeviceMemory::block_count(int32_t device) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::size_t count = 0;
  for (const auto& [start, block] : impl_->blocks) count += (device < 0 || block.device == device) ? 1 : 0;
  return count;
}

void DeviceMemory::release_device(int32_t device) {
  std::vector<Block> released;  // freed and uncharged after the lock is dropped
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto it = impl_->blocks.begin(); it != impl_->blocks.end();) {
      if (device < 0 || it->second.device == device) {
        impl_->used[it->second.device] -= it->second.size;
        released.push_back(std::move(it->second));
        it = impl_->blocks.erase(it);
      } else {
        ++it;
      }
    }
    // The device starts afresh: its whole address range is free again.
    for (auto& [id, range] : impl_->ranges) {
      if (device < 0 || id == device) range.reset();
    }
  }
  for (const Block& block : released) uncharge(block);
}

}  // namespace kycore
