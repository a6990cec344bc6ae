// kyml: result codes, log levels, the information records with their
// adaptors, and the submodule's constants.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "kyml.h"
#include "kyml/records.h"
#include "quillon/classes.h"
#include "quillon/enums.h"
#include "quillon/records.h"
#include "quillon/registration.h"

namespace py = pybind11;

// The byte layouts exchanged with libkyml.
QUILLON_ASSERT_LAYOUT(kymlOpStatus_enum, 4, 4);
QUILLON_ASSERT_LAYOUT(kymlLogLevel_enum, 4, 4);
QUILLON_ASSERT_LAYOUT(kymlPciCardId_struct, 4, 2);
QUILLON_ASSERT_OFFSET(kymlPciCardId_struct, renderId, 0);
QUILLON_ASSERT_OFFSET(kymlPciCardId_struct, cardId, 2);
QUILLON_ASSERT_LAYOUT(quillon::kymlPciSubSystemIdPy_union, 4, 4);
QUILLON_ASSERT_OFFSET(quillon::kymlPciSubSystemIdPy_union, ids.subRenderId, 0);
QUILLON_ASSERT_OFFSET(quillon::kymlPciSubSystemIdPy_union, ids.subcardId, 1);
QUILLON_ASSERT_LAYOUT(kymlNodeMajorMinor_union, 4, 4);
QUILLON_ASSERT_OFFSET(kymlNodeMajorMinor_union, number.minor, 0);
QUILLON_ASSERT_OFFSET(kymlNodeMajorMinor_union, number.major, 2);
QUILLON_ASSERT_LAYOUT(kymlDieIndex, 4, 4);
QUILLON_ASSERT_LAYOUT(kymlNodeBaseInfo_struct, 68, 4);
QUILLON_ASSERT_OFFSET(kymlNodeBaseInfo_struct, name, 0);
QUILLON_ASSERT_OFFSET(kymlNodeBaseInfo_struct, majorMinor, 64);
QUILLON_ASSERT_LAYOUT(kymlDieBaseInfo_struct, 208, 4);
QUILLON_ASSERT_OFFSET(kymlDieBaseInfo_struct, dieIndex, 0);
QUILLON_ASSERT_OFFSET(kymlDieBaseInfo_struct, kyccBaseInfo, 4);
QUILLON_ASSERT_OFFSET(kymlDieBaseInfo_struct, renderBaseInfo, 72);
QUILLON_ASSERT_OFFSET(kymlDieBaseInfo_struct, videoBaseInfo, 140);
QUILLON_ASSERT_LAYOUT(kymlAiDevInfo_struct, 72, 4);
QUILLON_ASSERT_OFFSET(kymlAiDevInfo_struct, dieIndex, 0);
QUILLON_ASSERT_OFFSET(kymlAiDevInfo_struct, aiBaseInfo, 4);
QUILLON_ASSERT_LAYOUT(kymlCodecDevInfo_struct, 72, 4);
QUILLON_ASSERT_OFFSET(kymlCodecDevInfo_struct, dieIndex, 0);
QUILLON_ASSERT_OFFSET(kymlCodecDevInfo_struct, videoBaseInfo, 4);
QUILLON_ASSERT_LAYOUT(kymlPciInfo_struct, 240, 4);
QUILLON_ASSERT_OFFSET(kymlPciInfo_struct, busId, 0);
QUILLON_ASSERT_OFFSET(kymlPciInfo_struct, domain, 16);
QUILLON_ASSERT_OFFSET(kymlPciInfo_struct, bus, 20);
QUILLON_ASSERT_OFFSET(kymlPciInfo_struct, card, 24);
QUILLON_ASSERT_OFFSET(kymlPciInfo_struct, pciId, 28);
QUILLON_ASSERT_OFFSET(kymlPciInfo_struct, pciSubId, 32);
QUILLON_ASSERT_OFFSET(kymlPciInfo_struct, pcieCardBaseInfo, 36);
QUILLON_ASSERT_OFFSET(kymlPciInfo_struct, pcieCardVersionBaseInfo, 104);
QUILLON_ASSERT_OFFSET(kymlPciInfo_struct, pcieCardCtlBaseInfo, 172);
QUILLON_ASSERT_LAYOUT(kymlCapability_struct, 8, 4);
QUILLON_ASSERT_OFFSET(kymlCapability_struct, aiCapability, 0);
QUILLON_ASSERT_OFFSET(kymlCapability_struct, videoCapability, 4);
QUILLON_ASSERT_LAYOUT(kymlCardInfo_struct, 1220, 4);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, cardId, 0);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, uuid, 2);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, cardTypeName, 34);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, pciInfo, 68);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, pciInfo.pciSubId, 100);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, pciInfo.pcieCardBaseInfo, 104);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, pciInfo.pcieCardVersionBaseInfo, 172);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, pciInfo.pcieCardCtlBaseInfo, 240);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, cardCapability, 308);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, manNodeBaseInfo, 316);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, dieNum, 384);
QUILLON_ASSERT_OFFSET(kymlCardInfo_struct, dieInfo, 388);
QUILLON_ASSERT_LAYOUT(kymlFanSpeedInfo_struct, 4, 4);
QUILLON_ASSERT_OFFSET(kymlFanSpeedInfo_struct, fanSpeedLevel, 0);
QUILLON_ASSERT_LAYOUT(kymlPllClock_struct, 52, 4);
QUILLON_ASSERT_OFFSET(kymlPllClock_struct, clockArray, 4);
QUILLON_ASSERT_LAYOUT(kymlTemperature_struct, 64, 4);
QUILLON_ASSERT_OFFSET(kymlTemperature_struct, temperature, 4);
QUILLON_ASSERT_LAYOUT(kymlTempThreshold_struct, 16, 4);
QUILLON_ASSERT_OFFSET(kymlTempThreshold_struct, tempThreshold, 4);
QUILLON_ASSERT_LAYOUT(kymlPinVolt_struct, 28, 4);
QUILLON_ASSERT_OFFSET(kymlPinVolt_struct, pinVolt, 4);
QUILLON_ASSERT_LAYOUT(kymlPower_struct, 20, 4);
QUILLON_ASSERT_OFFSET(kymlPower_struct, power, 4);
QUILLON_ASSERT_LAYOUT(kymlPowerCur_struct, 16, 4);
QUILLON_ASSERT_OFFSET(kymlPowerCur_struct, powerCur, 4);
QUILLON_ASSERT_LAYOUT(kymlPowerVolt_struct, 16, 4);
QUILLON_ASSERT_OFFSET(kymlPowerVolt_struct, powerVolt, 4);
QUILLON_ASSERT_LAYOUT(kymlMemUtilizationRate_stuct, 32, 8);
QUILLON_ASSERT_OFFSET(kymlMemUtilizationRate_stuct, total, 0);
QUILLON_ASSERT_OFFSET(kymlMemUtilizationRate_stuct, free, 8);
QUILLON_ASSERT_OFFSET(kymlMemUtilizationRate_stuct, used, 16);
QUILLON_ASSERT_OFFSET(kymlMemUtilizationRate_stuct, utilizationRate, 24);
QUILLON_ASSERT_LAYOUT(kymlUtilizationRate_struct, 16, 4);
QUILLON_ASSERT_OFFSET(kymlUtilizationRate_struct, ai, 0);
QUILLON_ASSERT_OFFSET(kymlUtilizationRate_struct, vdsp, 4);
QUILLON_ASSERT_OFFSET(kymlUtilizationRate_struct, vemcu, 8);
QUILLON_ASSERT_OFFSET(kymlUtilizationRate_struct, vdmcu, 12);
QUILLON_ASSERT_LAYOUT(kymlMcuUtilizationRate_struct, 48, 4);
QUILLON_ASSERT_OFFSET(kymlMcuUtilizationRate_struct, ai, 0);
QUILLON_ASSERT_OFFSET(kymlMcuUtilizationRate_struct, vdsp, 4);
QUILLON_ASSERT_OFFSET(kymlMcuUtilizationRate_struct, vemcu, 20);
QUILLON_ASSERT_OFFSET(kymlMcuUtilizationRate_struct, vdmcu, 36);
QUILLON_ASSERT_LAYOUT(kymlProcessInfo_struct, 136, 4);
QUILLON_ASSERT_OFFSET(kymlProcessInfo_struct, pid, 0);
QUILLON_ASSERT_OFFSET(kymlProcessInfo_struct, memused, 4);
QUILLON_ASSERT_OFFSET(kymlProcessInfo_struct, name, 8);

namespace quillon {
namespace {

template <class T>
class_<T> record(py::module_& m, const char* name) {
  class_<T> type(m, name);
  type.def(py::init<>());
  return type;
}

template <class Record, std::size_t N>
void register_sensor(py::module_& m, const char* name, const char* list_name) {
  record<SensorPy<Record>>(m, name)
      .def_readonly("unit", &Record::unit)
      .def_readonly(list_name, &SensorPy<Record>::readings);
  static_assert(sizeof(Record) == 4 + 4 * N, "a sensor record is its unit and N readings");
}

}  // namespace

void register_management_types(py::module_& m) {
  register_enum<kymlOpStatus_enum>(
      m, "opStatus",
      {
          {"KYML_SUCCESS", KYML_SUCCESS},
          {"KYML_ERROR_UNINITIALIZED", KYML_ERROR_UNINITIALIZED},
          {"KYML_ERROR_INITIALIZED", KYML_ERROR_INITIALIZED},
          {"KYML_ERROR_FETCH_API", KYML_ERROR_FETCH_API},
          {"KYML_ERROR_CARD_EMPTY", KYML_ERROR_CARD_EMPTY},
          {"KYML_ERROR_INITI_FAIL", KYML_ERROR_INITI_FAIL},
          {"KYML_ERROR_CARD_NOTFOUND", KYML_ERROR_CARD_NOTFOUND},
          {"KYML_ERROR_INPUT_PARAMETER_NULL", KYML_ERROR_INPUT_PARAMETER_NULL},
          {"KYML_ERROR_INPUT_PARAMETER_ERROR", KYML_ERROR_INPUT_PARAMETER_ERROR},
          {"KYML_ERROR_PCIE_MAJOR_ERROR", KYML_ERROR_PCIE_MAJOR_ERROR},
          {"KYML_USER_BUF_INSUFFICIENT", KYML_USER_BUF_INSUFFICIENT},
          {"KYML_ERROR_CALLBACK_INITIALIZED", KYML_ERROR_CALLBACK_INITIALIZED},
          {"KYML_ERROR_CALLBACK_UNINITIALIZED", KYML_ERROR_CALLBACK_UNINITIALIZED},
          {"KYML_ERROR_PROFILER_ALREADY_RUNNING", KYML_ERROR_PROFILER_ALREADY_RUNNING},
          {"KYML_ERROR_PROFILER_ALREADY_STOP", KYML_ERROR_PROFILER_ALREADY_STOP},
          {"KYML_ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID", KYML_ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID},
          {"KYML_ERROR_PROFILER_EXPORT_FOLDER_PATH_INVALID", KYML_ERROR_PROFILER_EXPORT_FOLDER_PATH_INVALID},
          {"KYML_ERROR_AI_SCRIPT_PATH_INVALID", KYML_ERROR_AI_SCRIPT_PATH_INVALID},
          {"KYML_ERROR_AI_SCRIPT_ROOT_PERMISSION", KYML_ERROR_AI_SCRIPT_ROOT_PERMISSION},
          {"KYML_ERROR_MAX", KYML_ERROR_MAX},
      });
  register_enum<kymlLogLevel_enum>(m, "logLevel",
                                   {
                                       {"KYML_LOG_TRACE", KYML_LOG_TRACE},
                                       {"KYML_LOG_DEBUG", KYML_LOG_DEBUG},
                                       {"KYML_LOG_INFO", KYML_LOG_INFO},
                                       {"KYML_LOG_WARN", KYML_LOG_WARN},
                                       {"KYML_LOG_ERROR", KYML_LOG_ERROR},
                                       {"KYML_LOG_FATAL", KYML_LOG_FATAL},
                                       {"KYML_LOG_NONE", KYML_LOG_NONE},
                                   });

  record<kymlPciCardId_struct>(m, "pciCardId")
      .def_readonly("renderId", &kymlPciCardId_struct::renderId)
      .def_readonly("cardId", &kymlPciCardId_struct::cardId);
  record<kymlPciSubSystemIdPy_union>(m, "pciSubSystemId")
      .def_property_readonly("subRenderId", [](const kymlPciSubSystemIdPy_union& u) { return u.ids.subRenderId; })
      .def_property_readonly("subcardId", [](const kymlPciSubSystemIdPy_union& u) { return u.ids.subcardId; });
  record<kymlNodeMajorMinor_union>(m, "nodeMajorMinor")
      .def_property_readonly("minor", [](const kymlNodeMajorMinor_union& u) { return u.number.minor; })
      .def_property_readonly("major", [](const kymlNodeMajorMinor_union& u) { return u.number.major; });
  record<kymlDieIndexPy_union>(m, "dieIndex")
      .def_readonly("dieId", &kymlDieIndexPy_union::dieId)
      .def_readonly("cardId", &kymlDieIndexPy_union::cardId)
      .def_readonly("seqNum", &kymlDieIndexPy_union::seqNum);
  record<kymlNodeBaseInfoPy>(m, "nodeBaseInfo")
      .def_readonly("majorMinor", &kymlNodeBaseInfo_struct::majorMinor)
      .def_readonly("name", &kymlNodeBaseInfoPy::name_text);
  record<kymlDieBaseInfoPy>(m, "dieBaseInfo")
      .def_readonly("dieIndex", &kymlDieBaseInfoPy::index)
      .def_readonly("kyccBaseInfo", &kymlDieBaseInfoPy::kycc)
      .def_readonly("renderBaseInfo", &kymlDieBaseInfoPy::render)
      .def_readonly("videoBaseInfo", &kymlDieBaseInfoPy::video);
  record<kymlAiDevInfoPy>(m, "aiDevInfo")
      .def_readonly("dieIndex", &kymlAiDevInfoPy::index)
      .def_readonly("aiBaseInfo", &kymlAiDevInfoPy::node);
  record<kymlCodecDevInfoPy>(m, "codecDevInfo")
      .def_readonly("dieIndex", &kymlCodecDevInfoPy::index)
      .def_readonly("videoBaseInfo", &kymlCodecDevInfoPy::node);
  record<kymlPciInfoPy>(m, "pciInfo")
      .def_readonly("busId", &kymlPciInfoPy::bus_id)
      .def_readonly("domain", &kymlPciInfo_struct::domain)
      .def_readonly("bus", &kymlPciInfo_struct::bus)
      .def_readonly("card", &kymlPciInfo_struct::card)
      .def_readonly("pciId", &kymlPciInfo_struct::pciId)
      .def_readonly("pciSubId", &kymlPciInfoPy::sub_id)
      .def_readonly("pcieCardBaseInfo", &kymlPciInfoPy::card_node)
      .def_readonly("pcieCardVersionBaseInfo", &kymlPciInfoPy::version_node)
      .def_readonly("pcieCardCtlBaseInfo", &kymlPciInfoPy::ctl_node);
  record<kymlCapability_struct>(m, "capability")
      .def_readonly("aiCapability", &kymlCapability_struct::aiCapability)
      .def_readonly("videoCapability", &kymlCapability_struct::videoCapability);
  record<kymlCardInfoPy>(m, "cardInfo")
      .def_readonly("cardId", &kymlCardInfo_struct::cardId)
      .def_readonly("uuid", &kymlCardInfoPy::uuid_text)
      .def_readonly("cardTypeName", &kymlCardInfoPy::type_name)
      .def_readonly("pciInfo", &kymlCardInfoPy::pci)
      .def_readonly("cardCapability", &kymlCardInfo_struct::cardCapability)
      .def_readonly("manNodeBaseInfo", &kymlCardInfoPy::manage_node)
      .def_readonly("dieNum", &kymlCardInfo_struct::dieNum)
      .def_readonly("dieInfo", &kymlCardInfoPy::dies);
  record<kymlFanSpeedInfo_struct>(m, "fanSpeedInfo")
      .def_readonly("fanSpeedLevel", &kymlFanSpeedInfo_struct::fanSpeedLevel);

  register_sensor<kymlPllClock_struct, MAX_PLL_CLOCK_SUBMODULE>(m, "pllClock", "clockArray");
  register_sensor<kymlTemperature_struct, MAX_TEMPERATURE_SUBMODULE>(m, "temperature", "temperature");
  register_sensor<kymlTempThreshold_struct, MAX_TEMP_THRESHOLD_SUBMODULE>(m, "tempThreshold", "tempThreshold");
  register_sensor<kymlPinVolt_struct, MAX_PIN_VOLT_SUMMODULE>(m, "pinVolt", "pinVolt");
  register_sensor<kymlPower_struct, MAX_POWER_SUMMODULE>(m, "power", "power");
  register_sensor<kymlPowerCur_struct, MAX_POWER_CURRENT_SUMMODULE>(m, "powerCur", "powerCur");
  register_sensor<kymlPowerVolt_struct, MAX_POWER_VOLTAGE_SUMMODULE>(m, "powerVolt", "powerVolt");

  record<kymlMemUtilizationRate_stuct>(m, "memUtilizationRate")
      .def_readonly("total", &kymlMemUtilizationRate_stuct::total)
      .def_readonly("free", &kymlMemUtilizationRate_stuct::free)
      .def_readonly("used", &kymlMemUtilizationRate_stuct::used)
      .def_readonly("utilizationRate", &kymlMemUtilizationRate_stuct::utilizationRate);
  record<kymlUtilizationRate_struct>(m, "utilizationRate")
      .def_readonly("ai", &kymlUtilizationRate_struct::ai)
      .def_readonly("vdsp", &kymlUtilizationRate_struct::vdsp)
      .def_readonly("vemcu", &kymlUtilizationRate_struct::vemcu)
      .def_readonly("vdmcu", &kymlUtilizationRate_struct::vdmcu);
  record<kymlMcuUtilizationRatePy>(m, "mcuUtilizationRate")
      .def_readonly("ai", &kymlMcuUtilizationRate_struct::ai)
      .def_readonly("vdsp", &kymlMcuUtilizationRatePy::vdsp_list)
      .def_readonly("vemcu", &kymlMcuUtilizationRatePy::vemcu_list)
      .def_readonly("vdmcu", &kymlMcuUtilizationRatePy::vdmcu_list);
  record<kymlProcessInfoPy>(m, "processInfo")
      .def_readonly("pid", &kymlProcessInfo_struct::pid)
      .def_readonly("memused", &kymlProcessInfo_struct::memused)
      .def_readonly("name", &kymlProcessInfoPy::name_text);

  m.attr("kymlER_SUCCESS") = 0;
  m.attr("MAX_PLL_CLOCK_SUBMODULE") = MAX_PLL_CLOCK_SUBMODULE;
  m.attr("MAX_TEMPERATURE_SUBMODULE") = MAX_TEMPERATURE_SUBMODULE;
  m.attr("MAX_TEMP_THRESHOLD_SUBMODULE") = MAX_TEMP_THRESHOLD_SUBMODULE;
  m.attr("MAX_POWER_SUMMODULE") = MAX_POWER_SUMMODULE;
  m.attr("MAX_POWER_CURRENT_SUMMODULE") = MAX_POWER_CURRENT_SUMMODULE;
  m.attr("MAX_POWER_VOLTAGE_SUMMODULE") = MAX_POWER_VOLTAGE_SUMMODULE;
  m.attr("MAX_PIN_VOLT_SUMMODULE") = MAX_PIN_VOLT_SUMMODULE;
  m.attr("MAX_PVT_VOLT_SUMMODULE") = MAX_PVT_VOLT_SUMMODULE;
  m.attr("MAX_DIE_CMCU_NUM") = MAX_DIE_CMCU_NUM;
  m.attr("MAX_DIE_VDSP_NUM") = MAX_DIE_VDSP_NUM;
  m.attr("MAX_DIE_VDMCU_NUM") = MAX_DIE_VDMCU_NUM;
  m.attr("MAX_DIE_VEMCU_NUM") = MAX_DIE_VEMCU_NUM;
}

void register_management(py::module_& m) {
  register_management_types(m);
  register_management_control(m);
}

}  // namespace quillon
