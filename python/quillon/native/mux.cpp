// Muxing of encoded streams; filled in by the encoding side of the package.
#include <pybind11/pybind11.h>

namespace py = pybind11;

void register_mux(py::module_& /*m*/) {}
