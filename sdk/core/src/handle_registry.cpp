// Handles are 0xD1 in the top byte, the kind in the next 16 bits and a serial
// number below: never a canonical x86-64 or AArch64 user address, so a
// dereference faults at once; serial numbers are never reused, so a destroyed
// handle stays invalid for the life of the process.
#include "kycore/handle_registry.h"

#include <mutex>
#include <unordered_map>
#include <vector>

namespace kycore {
namespace {

constexpr uint64_t kTag = 0xD1ull << 56;
constexpr uint64_t kTagMask = 0xFFull << 56;
constexpr int kKindShift = 40;
constexpr uint64_t kSerialMask = (1ull << kKindShift) - 1;

struct Entry {
  HandleKind kind;
  std::type_index type;
  std::shared_ptr<void> object;
  int32_t device;
};

}  // namespace

struct HandleRegistry::Impl {
  mutable std::mutex mutex;
  std::unordered_map<uint64_t, Entry> entries;
  uint64_t next_serial = 1;
};

HandleRegistry::HandleRegistry() : impl_(std::make_unique<Impl>()) {}
HandleRegistry::~HandleRegistry() = default;

HandleRegistry& HandleRegistry::instance() {
  // Never destroyed: library objects may be released from other libraries'
  // static destructors at exit.
  static auto* registry = new HandleRegistry();
  return *registry;
}

bool HandleRegistry::looks_like_handle(const void* handle) {
  return (reinterpret_cast<uint64_t>(handle) & kTagMask) == kTag;
}

void* HandleRegistry::add_erased(HandleKind kind, std::type_index type, std::shared_ptr<void> object, int32_t device) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const uint64_t serial = impl_->next_serial++ & kSerialMask;
  const uint64_t value = kTag | (static_cast<uint64_t>(kind) << kKindShift) | serial;
  impl_->entries.emplace(value, Entry{kind, type, std::move(object), device});
  return reinterpret_cast<void*>(value);
}

std::shared_ptr<void> HandleRegistry::find_erased(const void* handle, HandleKind kind, std::type_index type) const {
  if (!looks_like_handle(handle)) return nullptr;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->entries.find(reinterpret_cast<uint64_t>(handle));
  if (it == impl_->entries.end() || it->second.kind != kind || it->second.type != type) return nullptr;
  return it->second.object;
}

std::shared_ptr<void> HandleRegistry::remove_erased(const void* handle, HandleKind kind, std::type_index type) {
  if (!looks_like_handle(handle)) return nullptr;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->entries.find(reinterpret_cast<uint64_t>(handle));
  if (it == impl_->entries.end() || it->second.kind != kind || it->second.type != type) return nullptr;
  auto object = std::move(it->second.object);
  impl_->entries.erase(it);
  return object;
}

bool HandleRegistry::rebind_erased(const void* handle, HandleKind kind, std::type_index type, int32_t device) {
  if (!looks_like_handle(handle)) return false;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->entries.find(reinterpret_cast<uint64_t>(handle));
  if (it == impl_->entries.end() || it->second.kind != kind || it->second.type != type) return false;
  it->second.device = device;
  return true;
}

std::size_t HandleRegistry::remove_device(int32_t device) {
  std::vector<std::shared_ptr<void>> released;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (auto it = impl_->entries.begin(); it != impl_->entries.end();) {
    if (device == kNoDevice || it->second.device == device) {
      released.push_back(std::move(it->second.object));
      it = impl_->entries.erase(it);
    } else {
      ++it;
    }
  }
  return released.size();
}

std::size_t HandleRegistry::clear() { return remove_device(kNoDevice); }

std::size_t HandleRegistry::size() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->entries.size();
}

std::size_t HandleRegistry::count(HandleKind kind, int32_t device) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::size_t n = 0;
  for (const auto& [value, entry] : impl_->entries) {
    n += (entry.kind == kind && (device == kNoDevice || entry.device == device)) ? 1 : 0;
  }
  return n;
}

}  // namespace kycore
