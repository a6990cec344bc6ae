// The package's own native helpers, the module quillon._native.
#include <pybind11/pybind11.h>

namespace py = pybind11;

void register_mux(py::module_& m);
void register_encoder_input(py::module_& m);

PYBIND11_MODULE(_native, m) {
  m.doc() = "Native helpers of the quillon package: container writing and pictures for the encoder.";
  register_mux(m);
  register_encoder_input(m);
}
