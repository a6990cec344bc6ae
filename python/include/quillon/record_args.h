// Record arguments that must not arrive as None (a record the library reads by
// value, or an adaptor the binding fills): the binding takes a pointer and
// refuses null with TypeError, naming the function, before the library is
// called.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace quillon {

template <class T>
const T& require_record(const T* record, const char* function, const char* type_name) {
  if (record == nullptr) {
    throw pybind11::type_error(std::string(function) + "(): the " + type_name + " argument must not be None");
  }
  return *record;
}

template <class T>
T& require_record(T* record, const char* function, const char* type_name) {
  return const_cast<T&>(require_record(static_cast<const T*>(record), function, type_name));
}

}  // namespace quillon
