// kyce: customized ops (plug-in libraries of ops, their listing and the ops
// made from them), and the two example ways of configuring such an op: a
// 36-byte block built from the customCfgExample adaptor, and a fixed table
// of native callbacks that never call into Python.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kyce.h"
#include "kyce_plugin.h"
#include "quillon/classes.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/record_args.h"
#include "quillon/records.h"
#include "quillon/registration.h"
#include "quillon/text.h"
#include "quillon/unlocked.h"

namespace py = pybind11;

QUILLON_ASSERT_LAYOUT(yuvNv12Shape, 16, 4);
QUILLON_ASSERT_OFFSET(yuvNv12Shape, height, 0);
QUILLON_ASSERT_OFFSET(yuvNv12Shape, width, 4);
QUILLON_ASSERT_OFFSET(yuvNv12Shape, h_pitch, 8);
QUILLON_ASSERT_OFFSET(yuvNv12Shape, w_pitch, 12);
QUILLON_ASSERT_LAYOUT(kyceCustomCfgExample, 36, 4);
QUILLON_ASSERT_OFFSET(kyceCustomCfgExample, iimage_shape, 0);
QUILLON_ASSERT_OFFSET(kyceCustomCfgExample, oimage_shape, 16);
QUILLON_ASSERT_OFFSET(kyceCustomCfgExample, scale, 32);

namespace quillon {

struct customCfgExamplePy {
  yuvNv12Shape iimage_shape{};
  std::vector<yuvNv12Shape> oimage_shape;
  float scale = 0.0F;
};

namespace {

// A text argument that names a file or an op: a NUL inside it would make the
// library see a shorter, different text.
const char* without_nul(const StrArg& text, const char* function) {
  if (text.utf8.find('\0') != std::string::npos) {
    throw py::value_error(std::string(function) + "(): the text contains a NUL character");
  }
  return text.utf8.c_str();
}

// The loader reads the file and runs the plug-in's initialisers: other
// Python threads go on meanwhile.
Handle load_customized_op(const StrArg& path) {
  const char* name = without_nul(path, "loadCustomizedOp");
  void* info = nullptr;
  const uint32_t code = unlocked([&] { return kyceLoadCustomizedOps(name, &info); });
  check(code, "load customized op error, ret: %d.");
  return Handle(info);
}

int32_t customized_op_count(Handle info) {
  int32_t count = 0;
  check(kyceGetCustomizedOpCount(info.ptr, &count), "get customized op count error, ret: %d.");
  return count;
}

py::str customized_op_name(Handle info, int32_t index) {
  char name[OPNAME_MAX_LEN] = {};
  check(kyceGetCustomizedOpName(info.ptr, index, name, sizeof name), "get customized op name error, ret: %d.");
  // Up to the first NUL, and never past the buffer if the library left none.
  const void* end = std::memchr(name, '\0', sizeof name);
  const auto length = end != nullptr ? static_cast<const char*>(end) - name : static_cast<std::ptrdiff_t>(sizeof name);
  PyObject* text = PyUnicode_DecodeUTF8(name, length, nullptr);
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

Handle create_customized_op(Handle info, const StrArg& name) {
  void* op = nullptr;
  check(kyceCreateCustomizedOp(info.ptr, without_nul(name, "createCustomizedOp"), &op),
        "create customized op error, ret: %d.");
  return Handle(op);
}

int32_t set_config_example(Handle op, const customCfgExamplePy* config) {
  const customCfgExamplePy& adaptor = require_record(config, "setCustomizedOpConfigExample", "customCfgExample");
  if (adaptor.oimage_shape.size() != 1) throw py::type_error("Op output count not same as define");
  kyceCustomCfgExample block{adaptor.iimage_shape, adaptor.oimage_shape.front(), adaptor.scale};
  if (kyceSetCustomizedOpConfig(op.ptr, &block, sizeof block) != 0) {
    throw py::type_error("kyce setCustomizedOpConfig error.");
  }
  return 0;
}

// The example callbacks: distinct functions with fixed results, and the two
// shape records they hand out (N, C, H, W of a 1280x720 picture).
int64_t g_input_shape[KYCE_EXAMPLE_SHAPE_VALUES] = {4, 1, 3, 720, 1280, 0, 0, 0};
int64_t g_output_shape[KYCE_EXAMPLE_SHAPE_VALUES] = {4, 1, 3, 720, 1280, 0, 0, 0};
static_assert(sizeof g_input_shape == 64, "an example shape record is 64 bytes");

int32_t example_input_count() { return 1; }
const int64_t* example_input_shape(int32_t /*index*/) { return g_input_shape; }
int32_t example_output_count() { return 1; }
const int64_t* example_output_shape(int32_t /*index*/) { return g_output_shape; }
int32_t example_horizontal_factor() { return 100; }
int32_t example_vertical_factor() { return 100; }

template <class Function>
void* slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

uint32_t set_callback_example(Handle op) {
  void* table[KYCE_EXAMPLE_CALLBACK_SLOTS + 1] = {
      slot(&example_input_count),
      slot(&example_input_shape),
      slot(&example_output_count),
      slot(&example_output_shape),
      slot(&example_horizontal_factor),
      slot(&example_vertical_factor),
      nullptr,
  };
  return kyceSetCustomizedOpCfgCallback(op.ptr, table);
}

}  // namespace

void register_customized_ops(py::module_& m) {
  m.def("loadCustomizedOp", &load_customized_op, "ordal preprocess op loadCustomizedOp.");
  m.def(
      "destroyCustomizedOpInfo", [](Handle info) { return kyceDestroyCustomizedOpInfo(info.ptr); },
      "ordal preprocess op destroyCustomizedOpInfo.");
  m.def(
      "unloadCustomizedOps", [](Handle info) { return kyceUnloadCustomizedOps(info.ptr); },
      "ordal preprocess op unloadCustomizedOps.");
  m.def("getCustomizedOpCount", &customized_op_count, "ordal preprocess op getCustomizedOpCount.");
  m.def("getCustomizedOpName", &customized_op_name, "ordal preprocess op getCustomizedOpName.");
  m.def("createCustomizedOp", &create_customized_op, "ordal preprocess op createCustomizedOp.");
}

void register_customized_op_examples(py::module_& m) {
  quillon::class_<yuvNv12Shape>(m, "yuvNv12Shape")
      .def(py::init([] { return yuvNv12Shape{}; }))
      .def_readwrite("height", &yuvNv12Shape::height)
      .def_readwrite("width", &yuvNv12Shape::width)
      .def_readwrite("h_pitch", &yuvNv12Shape::h_pitch)
      .def_readwrite("w_pitch", &yuvNv12Shape::w_pitch);
  // iimage_shape reads as a view into the adaptor; oimage_shape as a new list.
  quillon::class_<customCfgExamplePy>(m, "customCfgExample")
      .def(py::init([] { return customCfgExamplePy{}; }))
      .def_readwrite("iimage_shape", &customCfgExamplePy::iimage_shape)
      // By value: items referring into the vector would dangle once it is replaced.
      .def_property(
          "oimage_shape", [](const customCfgExamplePy& config) { return config.oimage_shape; },
          [](customCfgExamplePy& config, std::vector<yuvNv12Shape> shapes) { config.oimage_shape = std::move(shapes); })
      .def_readwrite("scale", &customCfgExamplePy::scale);
  m.def("setCustomizedOpConfigExample", &set_config_example, "ordal preprocess op setCustomizedOpConfig.");
  m.def("setCustomizedOpCfgCallbackExample", &set_callback_example, "ordal preprocess op setCustomizedOpConfig.");
}

}  // namespace quillon
