// kycl: the op-graph and stream group, and the report bridge through which
// a stream's worker thread calls Python.
#include <Python.h>
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kycl.h"
#include "quillon/classes.h"
#include "quillon/enums.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/records.h"
#include "quillon/registration.h"
#include "quillon/unlocked.h"

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

// One per subscribeStreamReport call, kept until its stream is destroyed
// (and for as long as a report to it is in progress).
struct Subscription {
  py::object user;
  ReportCallable callable;
};

// Where the library's reporting threads enter the interpreter. It is open
// from import until the interpreter begins to exit: then an atexit hook
// closes it and waits for the calls in progress, so that no thread is left
// inside Python, or waiting for it, while the interpreter finishes; reports
// that come later are dropped. The calls in progress, the closed flag and
// the subscriptions share one lock, so a call either starts before the
// close and is waited for, or does not start.
class ReportGate {
 public:
  // Never destroyed: reporting threads may outlive the module.
  static ReportGate& instance() {
    static auto* gate = new ReportGate();  // NOLINT: lives for the process
    return *gate;
  }

  // Counts a call in; false once closed.
  bool enter() {
    std::lock_guard<std::mutex> hold(lock_);
    if (closed_) return false;
    ++calls_;
    return true;
  }
  // Counts a report to `user` of `stream` in and keeps its subscription
  // alive for the call; null once closed or when the stream is gone.
  std::shared_ptr<Subscription> enter(const void* stream, const void* user) {
    std::lock_guard<std::mutex> hold(lock_);
    if (closed_) return nullptr;
    auto found = subscriptions_.find(stream);
    if (found == subscriptions_.end()) return nullptr;
    for (const auto& subscription : found->second) {
      if (subscription.get() == user) {
        ++calls_;
        return subscription;
      }
    }
    return nullptr;
  }
  void leave() {
    std::lock_guard<std::mutex> hold(lock_);
    if (--calls_ == 0) quiet_.notify_all();
  }
  // Called without the interpreter's lock, which the calls waited for need.
  void close() {
    std::unique_lock<std::mutex> hold(lock_);
    closed_ = true;
    quiet_.wait(hold, [this] { return calls_ == 0; });
  }

  void add(const void* stream, std::shared_ptr<Subscription> subscription) {
    std::lock_guard<std::mutex> hold(lock_);
    subscriptions_[stream].push_back(std::move(subscription));
  }
  // The stream's subscriptions, for the caller to release holding the
  // interpreter's lock (they hold Python objects).
  std::vector<std::shared_ptr<Subscription>> forget(const void* stream) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = subscriptions_.find(stream);
    if (found == subscriptions_.end()) return {};
    auto taken = std::move(found->second);
    subscriptions_.erase(found);
    return taken;
  }
  std::shared_ptr<Subscription> forget(const void* stream, const Subscription* subscription) {
    std::lock_guard<std::mutex> hold(lock_);
    auto& list = subscriptions_[stream];
    std::shared_ptr<Subscription> taken;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->get() == subscription) {
        taken = std::move(*it);
        list.erase(it);
        break;
      }
    }
    if (list.empty()) subscriptions_.erase(stream);
    return taken;
  }

 private:
  ReportGate() = default;
  std::mutex lock_;
  std::condition_variable quiet_;  // the last call in progress left
  bool closed_ = false;
  uint32_t calls_ = 0;
  std::unordered_map<const void*, std::vector<std::shared_ptr<Subscription>>> subscriptions_;
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
  // Once the gate is closed the interpreter is finishing and drops the
  // state itself; taking its lock then could end this thread inside Python.
  ~KeptThreadState() {
    if (!owned_ || !ReportGate::instance().enter()) return;
    PyGILState_Ensure();
    PyGILState_Release(PyGILState_LOCKED);    // gives back this Ensure, keeps the lock
    PyGILState_Release(PyGILState_UNLOCKED);  // the last hold: the state goes, with the lock
    ReportGate::instance().leave();
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
  auto subscription = ReportGate::instance().enter(a, user);
  if (!subscription) return;
  KeptThreadState::ensure();
  {
    py::gil_scoped_acquire gil;
    try {
      subscription->callable(Handle(a), Handle(b), Handle(c), value, subscription->user);
    } catch (py::error_already_set& error) {
      error.discard_as_unraisable("kycl stream report callback");
    } catch (const std::exception& error) {
      PyErr_SetString(PyExc_RuntimeError, error.what());
      PyErr_WriteUnraisable(nullptr);
    }
    subscription.reset();  // may hold the last reference to Python objects
  }
  ReportGate::instance().leave();
}

}  // namespace

void register_op_streams(py::module_& m) {
  py::module_::import("atexit").attr("register")(
      py::cpp_function([] { unlocked([] { ReportGate::instance().close(); }); }));
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
      "destroyOpStream",
      [](Handle stream) {
        // Joins the reporter, which may be waiting for the interpreter.
        const uint32_t code = unlocked([&] { return kyclDestroyOpStream(stream.ptr); });
        if (code == kyclER_SUCCESS) ReportGate::instance().forget(stream.ptr);
        return code;
      },
      "destroy the kycl op stream");
  m.def(
      "subscribeStreamReport",
      [](Handle stream, ReportCallable callback, py::object user) {
        if (!callback) throw py::type_error("subscribeStreamReport(): the callback must be a callable, not None");
        auto subscription = std::make_shared<Subscription>(Subscription{std::move(user), std::move(callback)});
        auto& gate = ReportGate::instance();
        gate.add(stream.ptr, subscription);  // before the library may report to it
        const uint32_t code = kyclSubscribeStreamReport(stream.ptr, &report_bridge, subscription.get());
        if (code != kyclER_SUCCESS) gate.forget(stream.ptr, subscription.get());
        return code;
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
        // A run takes as long as the model: other threads go on meanwhile.
        return unlocked([&] { return kyclRunStream(stream.ptr, inputs.ptr, outputs.ptr, timeout); });
      },
      "run the kycl stream ");
  m.def(
      "runStreamAsync",
      [](Handle stream, Handle inputs, Handle outputs) {
        // May wait for room in the stream's queue.
        return unlocked([&] { return kyclRunStreamAsync(stream.ptr, inputs.ptr, outputs.ptr); });
      },
      "run the kycl stream ");
  m.def(
      "synchronizeStream",
      [](Handle stream, uint32_t timeout) {
        return unlocked([&] { return kyclSynchronizeStream(stream.ptr, timeout); });
      },
      "Synchronize the running of a stream.");
  m.def(
      "synchronizeDevice",
      [](uint32_t device, uint32_t timeout) {
        return unlocked([&] { return kyclSynchronizeDevice(device, timeout); });
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
