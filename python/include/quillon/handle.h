// Handle capsules: how the libraries' opaque pointers cross into Python.
//   to Python:   null -> None, otherwise a new unnamed capsule without
//                destructor (the capsule never frees what it points at);
//   from Python: None -> null; any capsule, named or not, yields its pointer;
//                an instance of a registered record class yields the address
//                of its record.
// Bindings take and return `quillon::Handle`; this caster is the one place
// where the conversion happens.
#pragma once

#include <pybind11/pybind11.h>

namespace quillon {

struct Handle {
  void* ptr = nullptr;
  Handle() = default;
  explicit Handle(void* p) : ptr(p) {}
  template <class T>
  T* as() const {
    return static_cast<T*>(ptr);
  }
};

}  // namespace quillon

namespace pybind11 {
namespace detail {

template <>
struct type_caster<quillon::Handle> {
  PYBIND11_TYPE_CASTER(quillon::Handle, const_name("capsule"));

  bool load(handle src, bool convert) {
    // pybind11's own pointer caster already implements the None / capsule /
    // registered-instance rules; reuse it so the rules cannot drift.
    type_caster<void> pointer;
    if (!pointer.load(src, convert)) return false;
    value.ptr = static_cast<void*&>(pointer);
    return true;
  }

  static handle cast(quillon::Handle src, return_value_policy /*policy*/, handle /*parent*/) {
    if (src.ptr == nullptr) return none().release();
    return capsule(static_cast<const void*>(src.ptr)).release();
  }
};

}  // namespace detail
}  // namespace pybind11
