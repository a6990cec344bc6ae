// kyml: die count, information and handles, sensor readings, utilisation
// and the processes using a die.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <utility>
#include <vector>

#include "kyml.h"
#include "kyml/records.h"
#include "quillon/errors.h"
#include "quillon/registration.h"

namespace py = pybind11;

namespace quillon {
namespace {

// A sensor binding: reads into a record of its own, then sets the adaptor's
// unit and its list to exactly the record's readings; the adaptor is left
// unchanged when the library fails.
template <class Record, std::size_t N>
auto sensor_reader(kymlOpStatus_enum (*read)(uint64_t, Record*), uint32_t (Record::*readings)[N], const char* function,
                   const char* type_name, const char* message) {
  return [=](uint64_t die, SensorPy<Record>* target) {
    SensorPy<Record>& adaptor = require_record(target, function, type_name);
    Record record{};
    check(read(die, &record), message);
    static_cast<Record&>(adaptor) = record;
    adaptor.readings.assign(std::begin(record.*readings), std::end(record.*readings));
    return KYML_SUCCESS;
  };
}

template <class Record, std::size_t N>
void def_sensor(py::module_& m, const char* name, kymlOpStatus_enum (*read)(uint64_t, Record*),
                uint32_t (Record::*readings)[N], const char* type_name, const char* message, const char* doc) {
  m.def(name, sensor_reader(read, readings, name, type_name, message), doc);
}

using ProcessLister = kymlOpStatus_enum (*)(uint64_t, kymlProcessInfo_struct*, uint32_t*, uint32_t);

auto process_lister(ProcessLister list, const char* message) {
  return [=](uint64_t die, py::list processes) {
    std::vector<kymlProcessInfo_struct> records(kListCapacity);  // zero-filled
    uint32_t count = 0;
    check(list(die, records.data(), &count, kListCapacity), message);
    return append_converted<kymlProcessInfoPy>(std::move(processes), records.data(), count);
  };
}

}  // namespace

void register_dies(py::module_& m) {
  m.def(
      "getDieCount",
      [](uint64_t card) {
        uint32_t count = 0;
        check(kymlGetDieCount(card, &count), "get die count error, ret: %d.");
        return count;
      },
      "get the count of die of the specified handle of card.");
  m.def(
      "getDieInfo",
      [](uint64_t card, py::list dies) {
        std::vector<kymlDieBaseInfo_struct> records(kListCapacity);  // zero-filled
        uint32_t count = 0;
        check(kymlGetDieInfo(card, records.data(), &count, kListCapacity), "get die info error, ret: %d.");
        return append_converted<kymlDieBaseInfoPy>(std::move(dies), records.data(), count);
      },
      "get the information of die of the specified handle of card.");
  m.def(
      "getDieHandleByIndex",
      [](uint64_t card, uint32_t index) {
        uint64_t die = 0;
        check(kymlGetDieHandleByIndex(card, index, &die), "get die handle by index error, ret: %d.");
        return die;
      },
      "get the handle of die by card handle and index.");
  m.def(
      "getDieHandleByDieIndex",
      [](kymlDieIndexPy_union* index) {
        const kymlDieIndex word = require_record(index, "getDieHandleByDieIndex", "dieIndex").pack();
        uint64_t die = 0;
        check(kymlGetDieHandleByDieIndex(word, &die), "get die handle by dieIndex error, ret: %d.");
        return die;
      },
      "get the handle of die by its index.");
  def_sensor(m, "getPllClocks", kymlGetPllClocks, &kymlPllClock_struct::clockArray, "pllClock",
             "get pll clocks error, ret: %d.", "get the pll clocks information by the specified handle of die.");
  def_sensor(m, "getTemperature", kymlGetTemperature, &kymlTemperature_struct::temperature, "temperature",
             "get temperature error, ret: %d.", "get the temperature information of its die.");
  def_sensor(m, "getPower", kymlGetPower, &kymlPower_struct::power, "power", "get power error, ret: %d.",
             "get the power information of its die.");
  def_sensor(m, "getPinVolt", kymlGetPinVolt, &kymlPinVolt_struct::pinVolt, "pinVolt",
             "get pin voltage error, ret: %d.", "get the pin voltage information of its die.");
  def_sensor(m, "getPowerCur", kymlGetPowerCur, &kymlPowerCur_struct::powerCur, "powerCur",
             "get power current error, ret: %d.", "get the power current information of its die.");
  def_sensor(m, "getPowerVolt", kymlGetPowerVolt, &kymlPowerVolt_struct::powerVolt, "powerVolt",
             "get power voltage error, ret: %d.", "get the power voltage information of its die.");
  def_sensor(m, "getTempThreshold", kymlGetTempThreshold, &kymlTempThreshold_struct::tempThreshold, "tempThreshold",
             "get temperature threshold error, ret: %d.", "get the temperature threshold of its die.");
  m.def(
      "getMemUtilizationRate",
      [](uint64_t die) {
        kymlMemUtilizationRate_stuct rate{};
        check(kymlGetMemUtilizationRate(die, &rate), "get memory utilization rate error, ret: %d.");
        return rate;
      },
      "get the memory utilization rate of die.");
  m.def(
      "getMcuUtilizationRate",
      [](uint64_t die, kymlMcuUtilizationRatePy* target) {
        kymlMcuUtilizationRatePy& adaptor = require_record(target, "getMcuUtilizationRate", "mcuUtilizationRate");
        kymlMcuUtilizationRate_struct record{};
        check(kymlGetMcuUtilizationRate(die, &record), "get mcu utilization rate error, ret: %d.");
        adaptor.assign(record);
        return KYML_SUCCESS;
      },
      "get the mcu utilization rate of die.");
  m.def(
      "getUtilizationRate",
      [](uint64_t die) {
        kymlUtilizationRate_struct rate{};
        check(kymlGetUtilizationRate(die, &rate), "get utilization rate error, ret: %d.");
        return rate;
      },
      "get the utilization rate of die.");
  m.def("getRunningProcesses", process_lister(kymlGetRunningProcesses, "get running processes error, ret: %d."),
        "get the process information of die.");
  m.def("getNetWorkRunningInfo", process_lister(kymlGetNetWorkRunningInfo, "get network running info error, ret: %d."),
        "get the net process information of die.");
}

}  // namespace quillon
