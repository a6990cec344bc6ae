// Handles from objects of registered classes: the size of the record such an
// object owns, and the checks that keep calls within it.
#include "quillon/handle.h"

#include <string>
#include <typeindex>
#include <unordered_map>

#include "quillon/classes.h"

namespace py = pybind11;

namespace quillon {
namespace {

struct RecordClass {
  std::size_t extent = 0;
  std::string name;
};

// Filled while the module registers its classes, read afterwards; the
// interpreter lock orders both. Never destroyed, as instances may outlive
// static destruction.
std::unordered_map<std::type_index, RecordClass>& record_classes() {
  static auto* classes = new std::unordered_map<std::type_index, RecordClass>();
  return *classes;
}

}  // namespace

void set_record_extent(const std::type_info& type, std::size_t extent) {
  record_classes()[std::type_index(type)] = RecordClass{extent, class_name(type)};
}

void bound_to_record(py::handle source, Handle& handle) {
  if (source.is_none() || PyCapsule_CheckExact(source.ptr()) != 0) return;
  // The pointer caster accepted the object, so its type maps to exactly one
  // registered C++ type.
  const auto& types = py::detail::all_type_info(Py_TYPE(source.ptr()));
  const py::detail::type_info* type = types.front();
  auto* instance = reinterpret_cast<py::detail::instance*>(source.ptr());
  // A value exists once a constructor ran (or for objects made from C++
  // values, which may have no holder of their own).
  if (instance->get_value_and_holder(type).value_ptr() == nullptr) detail::refuse_unconstructed(*type->cpptype);
  const auto found = record_classes().find(std::type_index(*type->cpptype));
  if (found != record_classes().end()) {
    handle.extent = found->second.extent;
    handle.record_type = found->second.name.c_str();
  } else {
    // Another extension's class: bounded by its C++ object.
    handle.extent = type->type_size;
    handle.record_type = type->type->tp_name;
  }
}

void require_extent(const Handle& memory, uint64_t size, const char* function) {
  if (size <= memory.extent) return;
  throw py::value_error(std::string(function) + ": the handle is a " + memory.record_type +
                        " object, whose record holds " + std::to_string(memory.extent) + " bytes; " +
                        std::to_string(size) + " bytes cannot be read or written there");
}

void refuse_record_object(const Handle& memory, const char* function, const char* role) {
  if (!memory.from_record_object()) return;
  throw py::value_error(std::string(function) + ": a " + memory.record_type + " object cannot be " + role +
                        " (its memory would be used beyond the call, at sizes the module cannot check); pass a "
                        "block from malloc or mallocHost");
}

}  // namespace quillon
