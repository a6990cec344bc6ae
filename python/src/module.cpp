// The module's entry point: version check, module attributes, the five
// submodules and the fixed order in which every area registers itself.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <cctype>
#include <cstring>
#include <exception>

#include "quillon/registration.h"

namespace py = pybind11;

namespace {

#define QUILLON_STRINGIFY2(x) #x
#define QUILLON_STRINGIFY(x) QUILLON_STRINGIFY2(x)
// The interpreter version the module is compiled for, as "major.minor".
constexpr const char* kCompiledPythonVersion =
    QUILLON_STRINGIFY(PY_MAJOR_VERSION) "." QUILLON_STRINGIFY(PY_MINOR_VERSION);

constexpr const char* kModuleDoc =
    "\n"
    "        The Ordal SDK\n"
    "        -----------------------\n"
    "        .. currentmodule:: quillon\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "           kycm\n"
    "           kyme\n"
    "           kycl\n"
    "           kyml\n"
    "           kyce\n"
    "    ";

// The interpreter's version text must start with the compiled major.minor
// and not continue with another digit ("3.1" must not accept "3.10").
bool interpreter_matches() {
  const char* running = Py_GetVersion();
  const std::size_t length = std::strlen(kCompiledPythonVersion);
  return std::strncmp(running, kCompiledPythonVersion, length) == 0 &&
         std::isdigit(static_cast<unsigned char>(running[length])) == 0;
}

PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT, "_quillon_pybind11", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

void register_all(py::module_& m) {
  m.attr("__doc__") = kModuleDoc;
  m.attr("__version__") = "2.1.0.2";
  m.attr("__time_compiled__") = std::string(__DATE__) + " " + __TIME__;

  auto kycm = m.def_submodule("kycm", "ordal common library.");
  quillon::register_data_types(kycm);
  quillon::register_data_buffers(kycm);
  quillon::register_datasets(kycm);
  quillon::register_device(kycm);
  quillon::register_memory(kycm);
  quillon::register_tensors(kycm);
  quillon::register_utilities(kycm);
  quillon::register_log(kycm);

  auto kyme = m.def_submodule("kyme", "ordal media engine.");
  quillon::register_media_types(kyme);
  // The decoder routine ends with the stream readers, the encoder routine
  // with the YUV reader.
  quillon::register_decoder(kyme);
  quillon::register_encoder(kyme);

  auto kycl = m.def_submodule("kycl", "ordal Accelerate Language.");
  kycl.attr("kyclER_SUCCESS") = 0;
  kycl.attr("kyclER_WAIT_MORE_INPUT") = 301041;
  quillon::register_kycl_version(kycl);
  quillon::register_op_streams(kycl);
  quillon::register_graph_building(kycl);
  quillon::register_models(kycl);
  quillon::register_load_image(kycl);

  auto kyce = m.def_submodule("kyce", "ordal  preprocess op engine.");
  quillon::register_kyce_types(kyce);
  quillon::register_image_ops(kyce);
  quillon::register_op_objects(kyce);

  auto kyml = m.def_submodule("kyml", "ordal management library.");
  quillon::register_management(kyml);
  quillon::register_device_indices(kyml);
  quillon::register_cards(kyml);
  quillon::register_dies(kyml);
}

}  // namespace

// The interpreter finds the entry point by this exact name.
extern "C" PYBIND11_EXPORT PyObject* PyInit__quillon_pybind11() {  // NOLINT(bugprone-reserved-identifier)
  if (!interpreter_matches()) {
    PyErr_Format(PyExc_ImportError,
                 "Python version mismatch: module was compiled for Python %s, but the interpreter version is "
                 "incompatible: %s.",
                 kCompiledPythonVersion, Py_GetVersion());
    return nullptr;
  }
  py::detail::get_internals();
  PyObject* raw = PyModule_Create2(&g_module_definition, 1013);
  if (raw == nullptr) return nullptr;
  auto m = py::reinterpret_steal<py::module_>(raw);
  try {
    register_all(m);
    return m.release().ptr();
  } catch (py::error_already_set& e) {
    py::raise_from(e, PyExc_ImportError, "initialization failed");
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
}
