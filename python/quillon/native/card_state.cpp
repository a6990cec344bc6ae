// The card's state shared by the processes using the platform, for the
// status command: who uses each die and which channel numbers are taken,
// and the clearing of a state no live process uses.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "kycore/error_codes.h"
#include "kycore/platform.h"
#include "kycore/shared_state.h"

namespace py = pybind11;

namespace {

kycore::Platform platform_of(const char* config) {
  kycore::PlatformResult result = kycore::resolve_platform(config);
  if (result.code != kycore::OK) throw py::value_error("platform configuration refused: " + result.message);
  return std::move(result.platform);
}

py::object card_state() {
  std::string message;
  if (kycore::shared_state_status(&message) != kycore::OK) throw std::runtime_error(message);
  auto shared = kycore::shared_state();
  if (!shared) return py::none();
  py::list dies;
  const auto platform = kycore::current_platform();
  for (std::size_t device = 0; device < platform->device_count(); ++device) {
    kycore::SharedDie die;
    if (!shared->read_die(static_cast<int32_t>(device), &die)) {
      throw std::runtime_error("shared state " + shared->name() + " refused; see standard error");
    }
    py::list users;
    for (const auto& user : die.users) {
      users.append(py::dict(py::arg("pid") = user.pid, py::arg("name") = user.name, py::arg("memory") = user.memory,
                            py::arg("contexts") = user.contexts, py::arg("start_time") = user.start_time));
    }
    dies.append(py::dict(py::arg("memory_used") = die.memory_used, py::arg("users") = users,
                         py::arg("decoders") = die.decoders, py::arg("jpeg_decoders") = die.jpeg_decoders,
                         py::arg("encoders") = die.encoders, py::arg("jpeg_encoders") = die.jpeg_encoders));
  }
  return py::dict(py::arg("name") = shared->name(), py::arg("dies") = dies);
}

}  // namespace

void register_card_state(py::module_& m) {
  m.def("card_state", &card_state,
        "The platform's state shared by every process (segment name, and per die its users and channel numbers "
        "in use), or None when this process keeps the card to itself.");
  m.def(
      "shared_state_name", [](const char* config) { return kycore::shared_state_name(platform_of(config)); },
      py::arg("config") = nullptr, "The name of the platform's shared-memory segment.");
  m.def(
      "reset_shared_state",
      [](const char* config) {
        std::string message;
        if (kycore::reset_shared_state(platform_of(config), &message) != kycore::OK) {
          throw std::runtime_error(message);
        }
        return message;
      },
      py::arg("config") = nullptr,
      "Removes the platform's shared state; refused (RuntimeError) while a live process uses it.");
}
