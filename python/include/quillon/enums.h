// Registration of the libraries' enumerations, the same way everywhere:
// constructible from int, `value`, `__int__`, `__index__`, pickled by their
// integer, not arithmetic, and members reached through their class only;
// guarded as every class of the module (classes.h).
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

#include "quillon/classes.h"

namespace quillon {

template <class E>
pybind11::enum_<E> register_enum(pybind11::handle scope, const char* name,
                                 std::initializer_list<std::pair<const char*, E>> members, const char* doc = nullptr) {
  pybind11::enum_<E> type = doc != nullptr ? pybind11::enum_<E>(scope, name, doc) : pybind11::enum_<E>(scope, name);
  guard_class<E>();
  for (const auto& [member, value] : members) type.value(member, value);
  // Members are deliberately not exported into the enclosing module; when two
  // members share a value, lookups by value give the first registered name.
  return type;
}

}  // namespace quillon
