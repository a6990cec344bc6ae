// Tracking of the runtime's host memory blocks, which are fenced by
// inaccessible pages (guarded_memory).
#include "kycore/host_memory.h"

#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>

#include "kycore/error_codes.h"
#include "kycore/guarded_memory.h"

namespace kycore {

namespace {

struct Block {
  uint64_t size;
  // Also held by work queued on it, so that freeing the block while a copy
  // waits on a stream leaves the memory in place until that copy has run.
  std::shared_ptr<uint8_t> data;
};

}  // namespace

struct HostMemory::Impl {
  mutable std::mutex mutex;
  std::map<uintptr_t, Block> blocks;  // by start address
  uint64_t used = 0;
};

HostMemory::HostMemory() : impl_(std::make_unique<Impl>()) {}
HostMemory::~HostMemory() = default;

HostMemory& HostMemory::instance() {
  static auto* memory = new HostMemory();  // never destroyed: used from static destructors
  return *memory;
}

uint32_t HostMemory::allocate(uint64_t size, void** address) {
  if (address == nullptr || size == 0) return KYCM_INVALID_ARGUMENT;
  // At least 64-byte alignment, which suits vector loads and DMA-style
  // copies; the block ends against an inaccessible page (see the header).
  bool guarded = false;
  auto* block = static_cast<uint8_t*>(allocate_guarded_block(size, &guarded));
  if (block == nullptr) return KYCM_OUT_OF_HOST_MEMORY;
  std::shared_ptr<uint8_t> data(block, [size, guarded](uint8_t* p) { release_guarded_block(p, size, guarded); });
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->blocks.emplace(reinterpret_cast<uintptr_t>(block), Block{size, std::move(data)});
  impl_->used += size;
  *address = block;
  return OK;
}

uint32_t HostMemory::release(const void* address) {
  std::shared_ptr<uint8_t> data;  // freed after the lock is dropped
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->blocks.find(reinterpret_cast<uintptr_t>(address));
  if (it == impl_->blocks.end()) return KYCM_INVALID_ADDRESS;
  impl_->used -= it->second.size;
  data = std::move(it->second.data);
  impl_->blocks.erase(it);
  return OK;
}

bool HostMemory::contains(const void* address, uint64_t size) const {
  const auto value = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->blocks.upper_bound(value);
  if (it == impl_->blocks.begin()) return false;
  --it;
  const uint64_t offset = value - it->first;
  return offset <= it->second.size && size <= it->second.size - offset;
}

HostRange HostMemory::locate(const void* address, uint64_t size, std::shared_ptr<uint8_t>* keep) const {
  const auto value = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto next = impl_->blocks.upper_bound(value);
  if (next != impl_->blocks.begin()) {
    auto it = std::prev(next);
    const uint64_t offset = value - it->first;
    const uint64_t block_size = it->second.size;
    if (offset < block_size || (offset == block_size && size == 0)) {
      if (size > block_size - offset) return HostRange::overlapping;
      if (keep != nullptr) *keep = it->second.data;
      return HostRange::inside;
    }
  }
  if (next != impl_->blocks.end() && size > next->first - value) return HostRange::overlapping;
  return HostRange::outside;
}

bool HostMemory::is_block_start(const void* address) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->blocks.count(reinterpret_cast<uintptr_t>(address)) != 0;
}

uint64_t HostMemory::used() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->used;
}

std::size_t HostMemory::block_count() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->blocks.size();
}

}  // namespace kycore
