// Handle capsules: how the libraries' opaque pointers cross into Python.
//   to Python:   null -> None, otherwise a new unnamed capsule without
//                destructor (the capsule never frees what it points at);
//   from Python: None -> null; any capsule, named or not, yields its pointer;
//                an instance of a registered class yields the address of its
//                record, and the handle remembers how many bytes that record
//                holds, so that a call cannot read or write past it.
// Bindings take and return `quillon::Handle`; this caster is the one place
// where the conversion happens, and require_extent the one place where a
// handle's size is checked.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <typeinfo>

namespace quillon {

struct Handle {
  // A capsule's memory may end anywhere: the module cannot bound it.
  static constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

  void* ptr = nullptr;
  // Bytes that may be read or written at `ptr`: kUnbounded for None and
  // capsules, the record's size for an object of a registered class.
  std::size_t extent = kUnbounded;
  // The object's class ("kyme.frame") when the handle came from one.
  const char* record_type = nullptr;

  Handle() = default;
  explicit Handle(void* p) : ptr(p) {}
  template <class T>
  T* as() const {
    return static_cast<T*>(ptr);
  }
  bool from_record_object() const { return record_type != nullptr; }
};

// Throws ValueError, naming `function`, when `size` bytes at `memory` would
// run past the record of the object the handle came from. Every binding that
// reads or writes memory through a handle, or hands a handle and a size to
// a library, calls this before the library.
void require_extent(const Handle& memory, uint64_t size, const char* function);

// Throws ValueError, naming `function`, when the handle came from an object
// of a registered class: for memory that a library object keeps after the
// call and may later use at a size the module never sees (a tensor's data).
void refuse_record_object(const Handle& memory, const char* function, const char* role);

// How many bytes an instance of `type` owns as its record (0: none that may
// be read or written, such as a reader's internals). Classes not registered
// here (those of other extensions) are bounded by their C++ size.
void set_record_extent(const std::type_info& type, std::size_t extent);

// Completes a handle loaded from `source`: for an object of a registered
// class, its record's extent and class name; an object whose constructor
// never ran raises TypeError.
void bound_to_record(pybind11::handle source, Handle& handle);

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
    value = quillon::Handle(static_cast<void*&>(pointer));
    quillon::bound_to_record(src, value);
    return true;
  }

  static handle cast(quillon::Handle src, return_value_policy /*policy*/, handle /*parent*/) {
    if (src.ptr == nullptr) return none().release();
    return capsule(static_cast<const void*>(src.ptr)).release();
  }
};

}  // namespace detail
}  // namespace pybind11
