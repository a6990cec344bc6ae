// Methods given to pybind11 as member-function pointers are bound through a
// reference to the instance: pybind11 binds them through a pointer, which
// lets `Class.method(None)` call on a null object. Shared by the module's
// classes and the package's native helper.
#pragma once

#include <utility>

namespace quillon {

template <class T, class R, class C, class... Args>
auto through_reference(R (C::*method)(Args...)) {
  return [method](T& self, Args... args) -> R { return (self.*method)(std::forward<Args>(args)...); };
}
template <class T, class R, class C, class... Args>
auto through_reference(R (C::*method)(Args...) const) {
  return [method](const T& self, Args... args) -> R { return (self.*method)(std::forward<Args>(args)...); };
}
template <class T, class X>
X&& through_reference(X&& anything) {
  return std::forward<X>(anything);
}

}  // namespace quillon
