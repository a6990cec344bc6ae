// _quillon_testctl: the tests' handle on the host SDK's test control (arming
// failures and empty results, reading the call journal) plus a few probes of
// library state. Built for the tests only; never installed.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>

#include "kycore/device_memory.h"
#include "kycore/handle_registry.h"
#include "kycore/test_control.h"
#include "quillon/enums.h"
#include "quillon/errors.h"
#include "quillon/handle.h"

namespace py = pybind11;

namespace {

// Stand-ins that exercise the module's shared conventions in isolation.
enum SampleEnum : uint32_t { SAMPLE_ZERO = 0, SAMPLE_ONE = 1, SAMPLE_ALIAS = 1, SAMPLE_BIG = 0xffffffffu };

struct SampleRecord {
  uint32_t a;
  uint64_t b;
};

py::object arg_to_python(const kycore::Arg& arg) {
  using Kind = kycore::Arg::Kind;
  switch (arg.kind) {
    case Kind::text:
      return arg.is_null ? py::object(py::none()) : py::object(py::str(arg.text));
    case Kind::signed_integer:
      return py::int_(static_cast<int64_t>(arg.bits));
    case Kind::unsigned_integer:
      return py::int_(arg.bits);
    case Kind::real:
      return py::float_(arg.real);
    case Kind::pointer:
      return arg.is_null ? py::object(py::none()) : py::object(py::bool_(true));
  }
  return py::none();
}

}  // namespace

PYBIND11_MODULE(_quillon_testctl, m) {
  m.doc() = "Test control of the host SDK (tests only).";
  m.def("arm_failure", &kycore::arm_failure, py::arg("function"), py::arg("code"), py::arg("count") = 1,
        py::arg("after") = 0,
        "Make `count` calls of `function` (-1: until reset), after the next `after` ones, return `code` and do "
        "nothing else.");
  m.def("arm_empty", &kycore::arm_empty, py::arg("function"), py::arg("count") = 1,
        "Make the next `count` calls of `function` succeed with null or empty outputs.");
  m.def("arm_exception", &kycore::arm_exception, py::arg("function"), py::arg("out_of_memory") = true,
        py::arg("count") = 1,
        "Make the next `count` calls of `function` throw std::bad_alloc (or another exception) from inside it.");
  m.def("record", [] { kycore::set_journal(true); });
  m.def(
      "journal",
      [] {
        py::list calls;
        for (const auto& call : kycore::journal()) {
          py::tuple args(call.args.size());
          for (std::size_t i = 0; i < call.args.size(); ++i) args[i] = arg_to_python(call.args[i]);
          calls.append(py::make_tuple(call.function, args));
        }
        return calls;
      },
      "The recorded calls as (function name, argument tuple); pointers read True when present, None when null.");
  m.def("clear_journal", &kycore::clear_journal);
  m.def("reset", &kycore::reset_control, "Disarm everything and stop and clear the journal.");

  m.def(
      "named_capsule",
      [](uintptr_t address, const std::string& name) {
        // The name must outlive the capsule: keep every name ever asked for.
        static std::vector<std::unique_ptr<std::string>> names;
        names.push_back(std::make_unique<std::string>(name));
        return py::capsule(reinterpret_cast<void*>(address), names.back()->c_str());
      },
      "A capsule with a name, as another extension would make it.");
  m.def("capsule_address",
        [](const py::capsule& capsule) { return reinterpret_cast<uintptr_t>(capsule.get_pointer()); });
  m.def("device_memory_used", [](int32_t device) { return kycore::DeviceMemory::instance().used(device); });
  quillon::register_enum<SampleEnum>(m, "SampleEnum",
                                     {{"SAMPLE_ZERO", SAMPLE_ZERO},
                                      {"SAMPLE_ONE", SAMPLE_ONE},
                                      {"SAMPLE_ALIAS", SAMPLE_ALIAS},
                                      {"SAMPLE_BIG", SAMPLE_BIG}});
  py::class_<SampleRecord>(m, "SampleRecord").def(py::init<>()).def_readwrite("a", &SampleRecord::a);
  m.def("record_address", [](SampleRecord& r) { return reinterpret_cast<uintptr_t>(&r); });
  m.def("echo_handle", [](quillon::Handle h) { return h; });
  m.def("handle_address", [](quillon::Handle h) { return reinterpret_cast<uintptr_t>(h.ptr); });
  m.def(
      "raise_call_error",
      [](const std::string& format, uint32_t code) { quillon::raise_call_error(format.c_str(), code); },
      "The value-returning bindings' failure path.");
  m.def(
      "device_memory_blocks", [](int32_t device) { return kycore::DeviceMemory::instance().block_count(device); },
      "Live device memory blocks of a device (-1: all devices).");
  m.def(
      "peek",
      [](quillon::Handle target, std::size_t offset, std::size_t size) {
        return py::bytes(static_cast<const char*>(target.ptr) + offset, size);
      },
      "Bytes of a record (a registered instance or a capsule) at an offset, to check layouts.");
  m.def(
      "poke",
      [](quillon::Handle target, std::size_t offset, const py::bytes& data) {
        const std::string bytes = data;
        std::memcpy(static_cast<char*>(target.ptr) + offset, bytes.data(), bytes.size());
      },
      "Writes bytes into a record at an offset, to build states Python cannot reach.");
  // The baseline of the call-overhead benchmark.
  m.def("noop", [] { return 0u; });
}
