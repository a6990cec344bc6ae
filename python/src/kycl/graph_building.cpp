// kycl: the version query and the functions that assemble an op graph.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "kycl.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/registration.h"

namespace py = pybind11;

namespace quillon {

void register_kycl_version(py::module_& m) {
  m.def(
      "getVersion",
      [] {
        const char* text = nullptr;
        uint32_t major = 0, minor = 0, patch = 0, build = 0;
        kyclGetVersion(&text, &major, &minor, &patch, &build);
        // A library that names no version gives an empty text.
        return std::string(text != nullptr ? text : "");
      },
      "get the kycl version.");
}

void register_graph_building(py::module_& m) {
  m.def(
      "createGraphInputOp",
      [](Handle graph, uint32_t index) {
        void* op = nullptr;
        check(kyclCreateGraphInputOp(graph.ptr, index, &op), "create graph input op error, ret: %d.");
        return Handle(op);
      },
      "creat the kycl graph input op");
  m.def(
      "connectOps", [](Handle from, Handle to) { return kyclConnectOps(from.ptr, to.ptr); }, "connect the kycl op");
  m.def(
      "createRunModelOp",
      [](Handle model) {
        void* op = nullptr;
        check(kyclCreateRunModelOp(model.ptr, &op), "create graph run model op error, ret: %d.");
        return Handle(op);
      },
      "create the kycl op that runs a model");
  m.def(
      "registerGetOutput", [](Handle graph, Handle op) { return kyclRegisterGetOutput(graph.ptr, op.ptr); },
      "regist get the kycl out put");
  m.def(
      "registerGetOutputs",
      [](Handle graph, const std::vector<Handle>& ops) {
        std::vector<void*> pointers;
        pointers.reserve(ops.size());
        for (const Handle& op : ops) pointers.push_back(op.ptr);
        return kyclRegisterGetOutputs(graph.ptr, pointers.data(), static_cast<uint32_t>(pointers.size()));
      },
      "regist get the kycl out put");
}

}  // namespace quillon
