// The registry of every handle the host SDK gives out. A handle is an opaque
// number shaped like a pointer that no host code can dereference (it is a
// non-canonical address); it is checked against this registry whenever it
// comes back, so unknown, destroyed or wrong-kind handles are refused.
#pragma once

#include <cstdint>
#include <memory>
#include <typeindex>

#include "kycore/export.h"

namespace kycore {

enum class HandleKind : uint16_t {
  context = 1,
  data_buffer,
  dataset,
  tensor,
  stream,
  model,
  graph,
  op,
  decoder_channel,
  encoder_channel,
  custom_op_library,
};

constexpr int32_t kNoDevice = -1;

class KY_EXPORT HandleRegistry {
 public:
  static HandleRegistry& instance();

  // Registers an object and returns its new handle. `device` binds the object
  // to a device so that resetting the device releases it.
  template <class T>
  void* add(HandleKind kind, std::shared_ptr<T> object, int32_t device = kNoDevice) {
    return add_erased(kind, std::type_index(typeid(T)), std::move(object), device);
  }

  // The object behind a handle, or null when the handle is not a live handle
  // of this kind.
  template <class T>
  std::shared_ptr<T> find(const void* handle, HandleKind kind) const {
    return std::static_pointer_cast<T>(find_erased(handle, kind, std::type_index(typeid(T))));
  }

  // Unregisters a live handle of this kind; returns the object so the caller
  // can finish tearing it down, or null when the handle was not live.
  template <class T>
  std::shared_ptr<T> remove(const void* handle, HandleKind kind) {
    return std::static_pointer_cast<T>(remove_erased(handle, kind, std::type_index(typeid(T))));
  }

  // Binds a live handle of this kind to another device (kNoDevice: none);
  // false when the handle is not live.
  template <class T>
  bool rebind(const void* handle, HandleKind kind, int32_t device) {
    return rebind_erased(handle, kind, std::type_index(typeid(T)), device);
  }

  // Unregisters every handle bound to a device, or every handle at all when
  // `device` is kNoDevice. Returns how many were released.
  std::size_t remove_device(int32_t device);
  std::size_t clear();

  std::size_t size() const;
  // Live handles of a kind bound to a device (any device with kNoDevice).
  std::size_t count(HandleKind kind, int32_t device = kNoDevice) const;

  // True for values that look like one of our handles (live or not).
  static bool looks_like_handle(const void* handle);

 private:
  HandleRegistry();
  ~HandleRegistry();
  void* add_erased(HandleKind kind, std::type_index type, std::shared_ptr<void> object, int32_t device);
  std::shared_ptr<void> find_erased(const void* handle, HandleKind kind, std::type_index type) const;
  std::shared_ptr<void> remove_erased(const void* handle, HandleKind kind, std::type_index type);
  bool rebind_erased(const void* handle, HandleKind kind, std::type_index type, int32_t device);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kycore
