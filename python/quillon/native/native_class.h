// Registration of the package's native classes, with the guards the module's
// own classes have (python/include/quillon/classes.h):
//   - methods and property getters given as member-function pointers are
//     bound through a reference to the instance (bound_methods.h);
//   - an instance whose constructor never ran (`T.__new__(T)`) is refused
//     with TypeError: pybind11 would hand its methods memory it allocates
//     on the spot, uninitialised.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <typeinfo>
#include <utility>

#include "quillon/bound_methods.h"

namespace quillon_native {

template <class T>
void* refuse_value_allocation(std::size_t /*size*/) {
  // pybind11 allocates a value here only for an instance that has none.
  throw pybind11::type_error(std::string("the ") + pybind11::type_id<T>() + " was not made by its constructor");
}

template <class T, class... Options>
class native_class : public pybind11::class_<T, Options...> {
  using Base = pybind11::class_<T, Options...>;

 public:
  template <class... Extra>
  native_class(pybind11::handle scope, const char* name, const Extra&... extra) : Base(scope, name, extra...) {
    pybind11::detail::get_type_info(typeid(T), /*throw_if_missing=*/true)->operator_new = &refuse_value_allocation<T>;
  }

  template <class... Args>
  native_class& def(Args&&... args) {
    Base::def(quillon::through_reference<T>(std::forward<Args>(args))...);
    return *this;
  }

  template <class Getter, class... Extra>
  native_class& def_property_readonly(const char* name, Getter&& getter, const Extra&... extra) {
    Base::def_property_readonly(name, quillon::through_reference<T>(std::forward<Getter>(getter)), extra...);
    return *this;
  }
};

}  // namespace quillon_native
