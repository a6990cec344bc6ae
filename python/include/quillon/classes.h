// Registration of the module's classes. Every class (records, adaptors,
// readers, enumerations) is registered through quillon::class_ or
// register_enum, which add two guards pybind11 lacks:
//   - an instance whose constructor never ran (made by `T.__new__(T)`, or a
//     subclass using itself before `super().__init__()`) is refused with
//     TypeError by every method and property: pybind11 would otherwise hand
//     the method uninitialised memory it allocates on the spot;
//   - the handle conversion learns how many bytes of the instance are its
//     library record, so that a copy through the instance stops there.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "quillon/bound_methods.h"
#include "quillon/handle.h"

namespace quillon {

// The name messages give a registered class: its submodule and class name
// ("kyme.frame"), as users write them.
std::string class_name(const std::type_info& type);

namespace detail {

// Raises TypeError: an instance of `type` whose constructor never ran.
[[noreturn]] void refuse_unconstructed(const std::type_info& type);

// pybind11 calls a class's `operator_new` only to allocate the value of an
// instance that has none, that is one never constructed: constructors
// allocate with `new` themselves.
template <class T>
void* refuse_value_allocation(std::size_t /*size*/) {
  refuse_unconstructed(typeid(T));
}

template <class T, class = void>
struct has_library_record : std::false_type {};
template <class T>
struct has_library_record<T, std::void_t<typename T::library_record>> : std::true_type {};

// The bytes of an instance that are its library record: an adaptor names
// its record (its first and only base, so at offset 0), a plain record is
// all of itself, anything else (readers, enumerations) has none.
template <class T>
constexpr std::size_t record_extent() {
  if constexpr (has_library_record<T>::value) {
    using Record = typename T::library_record;
    static_assert(std::is_base_of_v<Record, T>, "an adaptor derives from its library record");
    return sizeof(Record);
  } else if constexpr (std::is_class_v<T> && std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T>) {
    return sizeof(T);
  } else {
    return 0;
  }
}

}  // namespace detail

// Installs both guards on the registered C++ type T.
template <class T>
void guard_class() {
  pybind11::detail::get_type_info(typeid(T), /*throw_if_missing=*/true)->operator_new =
      &detail::refuse_value_allocation<T>;
  set_record_extent(typeid(T), detail::record_extent<T>());
}

// pybind11::class_ with the guards above; methods given as member-function
// pointers are bound through a reference (bound_methods.h).
template <class T, class... Options>
class class_ : public pybind11::class_<T, Options...> {
  using Base = pybind11::class_<T, Options...>;

 public:
  template <class... Extra>
  class_(pybind11::handle scope, const char* name, const Extra&... extra) : Base(scope, name, extra...) {
    guard_class<T>();
  }

  template <class... Args>
  class_& def(Args&&... args) {
    Base::def(through_reference<T>(std::forward<Args>(args))...);
    return *this;
  }
};

}  // namespace quillon
