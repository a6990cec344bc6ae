// The refusal of instances whose constructor never ran, and the names the
// module's messages give its classes.
#include "quillon/classes.h"

#include <string>

namespace py = pybind11;

namespace quillon {

std::string class_name(const std::type_info& type) {
  const py::detail::type_info* info = py::detail::get_type_info(type);
  if (info == nullptr) return "object";
  const auto python_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(info->type));
  // "_quillon_pybind11.kyme" -> "kyme": the submodule as users write it.
  std::string module = py::str(python_type.attr("__module__"));
  module.erase(0, module.rfind('.') + 1);
  return module + "." + std::string(py::str(python_type.attr("__qualname__")));
}

namespace detail {

void refuse_unconstructed(const std::type_info& type) {
  throw py::type_error(class_name(type) +
                       " object was never constructed: its __init__ did not run (a subclass must call "
                       "super().__init__() before using the object)");
}

}  // namespace detail
}  // namespace quillon
