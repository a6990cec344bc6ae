// kycl: the op-graph and stream group, and the report bridge through which
// a stream's worker thread calls Python.
#include <Python.h>
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

#include <functional>

#include "kycl.h"
#include "quillon/classes.h"
#include "quillon/enums.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/records.h"
#include "quillon/registration.h"

namespace py = pybind11;

QUILLON_ASSERT_LAYOUT(kyclCallbackStatus, 8, 4);
QUILLON_ASSERT_OFFSET(kyclCallbackStatus, errorCode, 0);
QUILLON_ASSERT_OFFSET(kyclCallbackStatus, isStreamEnd, 4);
static_assert(sizeof(kyclBalanceMode) == 4, "the balance mode crosses as a 32-bit value");

struct kyclCallbackStatusPy : kyclCallbackStatus {
  using library_record = kyclCallbackStatus;
  kyclCallbackStatusPy() : kyclCallbackStatus{} {}
};

namespace quillon {
namespace {

using ReportCallable = std::function<void(Handle, Handle, Handle, kyclCallbackStatusPy, py::object)>;

// One per subscribeStreamReport call. Never released: the library may report
// to it for as long as the stream lives, and nothing says when that ends.
struct Subscription {
  py::object user;
  ReportCallable callable;
};

// A thread the interpreter does not know gets a Python thread state the
// first time it reports and keeps it until the thread ends. Making and
// dropping one per report costs more than a small model's whole run: the
// interpreter maps and unmaps a frame stack each time, and every unmapping
// interrupts the other cores.
class KeptThreadState {
 public:
  static void ensure() {
    thread_local KeptThreadState kept;
    if (kept.owned_ || PyGILState_GetThisThreadState() != nullptr) return;
    PyGILState_Ensure();  // makes the state, holding it once
    PyEval_SaveThread();  // lets the lock go, keeps the state
    kept.owned_ = true;
  }
  KeptThreadState() = default;
  KeptThreadState(const KeptThreadState&) = delete;
  KeptThreadState& operator=(const KeptThreadState&) = delete;
  ~KeptThreadState() {
    if (!owned_ || _Py_IsFinalizing()) return;  // a finishing interpreter drops it itself
    PyGILState_Ensure();
    PyGILState_Release(PyGILState_LOCKED);    // gives back this Ensure, keeps the lock
    PyGILState_Release(PyGILState_UNLOCKED);  // the last hold: the state goes, with the lock
  }

 private:
  bool owned_ = false;
};

// Runs on the library's thread. Nothing from the callable reaches the library.
void report_bridge(void* a, void* b, void* c, kyclCallbackStatus* status, void* user) {
  kyclCallbackStatusPy value;
  if (status != nullptr) {
    value.errorCode = status->errorCode;
    value.isStreamEnd = status->isStreamEnd != 0 ? 1 : 0;
  }
  if (user == nullptr || _Py_IsFinalizing()) return;
  KeptThreadState::ensure();
  py::gil_scoped_acquire gil;
  auto* subscription = static_cast<Subscription*>(user);
  try {
    subscription->callable(Handle(a), Handle(b), Handle(c), value, subscription->user);
  } catch (py::error_already_set& error) {
    error.discard_as_unraisable("kycl stream report callback");
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    PyErr_WriteUnraisable(nullptr);
  }
}

}  // namespace

void register_op_streams(py::module_& m) {
  register_enum<kyclBalanceMode>(m, "balance_mode", {{"kyclBM_ONCE", kyclBM_ONCE}, {"kyclBM_RUN", kyclBM_RUN}});
  class_<kyclCallbackStatusPy>(m, "callBackStatus")
      .def(py::init<>())
      .def_property(
          "errorCode", [](const kyclCallbackStatusPy& self) { return self.errorCode; },
          [](kyclCallbackStatusPy& self, uint32_t code) { self.errorCode = code; })
      .def_property(
          "isStreamEnd", [](const kyclCallbackStatusPy& self) { return self.isStreamEnd != 0; },
          [](kyclCallbackStatusPy& self, bool end) { self.isStreamEnd = end ? 1 : 0; });

  m.def(
      "createOpGraph",
      [] {
        void* graph = nullptr;
        check(kyclCreateOpGraph(&graph), "create graph error, ret: %d.");
        return Handle(graph);
      },
      "creat the kycl op graph");
  m.def(
      "destroyOpGraph", [](Handle graph) { return kyclDestroyOpGraph(graph.ptr); }, "destroy the kycl op graph");
  m.def(
      "destroyOpStream", [](Handle stream) { return kyclDestroyOpStream(stream.ptr); }, "destroy the kycl op stream");
  m.def(
      "subscribeStreamReport",
      [](Handle stream, ReportCallable callback, py::object user) {
        if (!callback) throw py::type_error("subscribeStreamReport(): the callback must be a callable, not None");
        auto* subscription = new Subscription{std::move(user), std::move(callback)};  // NOLINT: kept for the process
        return kyclSubscribeStreamReport(stream.ptr, &report_bridge, subscription);
      },
      "Subscribe a callback function to the stream to receive the result report when a specific stream operator "
      "execution is completed.");
  m.def(
      "createOpStream",
      [](Handle graph, kyclBalanceMode mode) {
        void* stream = nullptr;
        check(kyclCreateOpStream(graph.ptr, mode, &stream), "create stream error, ret: %d.");
        return Handle(stream);
      },
      "create the kycl stream");
  m.def(
      "buildStream", [](Handle stream) { return kyclBuildStream(stream.ptr); }, "build the kycl stream ");
  m.def(
      "runStream",
      [](Handle stream, Handle inputs, Handle outputs, uint32_t timeout) {
        return kyclRunStream(stream.ptr, inputs.ptr, outputs.ptr, timeout);
      },
      "run the kycl stream ");
  m.def(
      "runStreamAsync",
      [](Handle stream, Handle inputs, Handle outputs) {
        return kyclRunStreamAsync(stream.ptr, inputs.ptr, outputs.ptr);
      },
      "run the kycl stream ");
  m.def(
      "synchronizeStream",
      [](Handle stream, uint32_t timeout) {
        py::gil_scoped_release unlocked;
        return kyclSynchronizeStream(stream.ptr, timeout);
      },
      "Synchronize the running of a stream.");
  m.def(
      "synchronizeDevice",
      [](uint32_t device, uint32_t timeout) {
        py::gil_scoped_release unlocked;
        return kyclSynchronizeDevice(device, timeout);
      },
      "Synchronize the running of all stream of a device.");
  m.def(
      "getStreamCacheNumber",
      [](Handle stream) {
        uint32_t count = 0;
        check(kyclGetStreamCacheNumber(stream.ptr, &count), "get stream cache number error, ret: %d.");
        return count;
      },
      "Get the cache number of a stream.");
  m.def(
      "requestOutputDataset",
      [](Handle stream) {
        void* dataset = nullptr;
        check(kyclRequestOutputDataset(stream.ptr, &dataset), "request output dataset error, ret: %d.");
        return Handle(dataset);
      },
      "request the output dataset");
}

}  // namespace quillon
