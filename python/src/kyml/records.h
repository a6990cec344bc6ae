// kyml: the Python-friendly adaptors of the management library's records
// and their conversions. An adaptor derives from its library record (a copy
// of the record's bytes) and adds texts, lists and unpacked nested records.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kyml.h"
#include "quillon/record_args.h"

namespace quillon {

// The PCI sub-system id word, kept unchanged.
union kymlPciSubSystemIdPy_union {
  uint32_t word;
  struct {
    uint8_t subRenderId;
    uint8_t subcardId;
  } ids;
};

// The die index word unpacked: byte 0 dieId, bytes 1-2 cardId, byte 3 seqNum.
struct kymlDieIndexPy_union {
  uint32_t dieId = 0;
  uint32_t cardId = 0;
  uint32_t seqNum = 0;

  static kymlDieIndexPy_union unpack(kymlDieIndex word) {
    return {word & 0xffu, (word >> 8) & 0xffffu, (word >> 24) & 0xffu};
  }
  // Higher bits of each field are dropped.
  kymlDieIndex pack() const { return (dieId & 0xffu) | ((cardId & 0xffffu) << 8) | ((seqNum & 0xffu) << 24); }
};

struct kymlNodeBaseInfoPy : kymlNodeBaseInfo_struct {
  using library_record = kymlNodeBaseInfo_struct;
  std::string name_text;
  kymlNodeBaseInfoPy() : kymlNodeBaseInfo_struct{} {}
  explicit kymlNodeBaseInfoPy(const kymlNodeBaseInfo_struct& record);
};

struct kymlDieBaseInfoPy : kymlDieBaseInfo_struct {
  using library_record = kymlDieBaseInfo_struct;
  kymlDieIndexPy_union index;
  kymlNodeBaseInfoPy kycc, render, video;
  kymlDieBaseInfoPy() : kymlDieBaseInfo_struct{} {}
  explicit kymlDieBaseInfoPy(const kymlDieBaseInfo_struct& record);
};

struct kymlAiDevInfoPy : kymlAiDevInfo_struct {
  using library_record = kymlAiDevInfo_struct;
  kymlDieIndexPy_union index;
  kymlNodeBaseInfoPy node;
  kymlAiDevInfoPy() : kymlAiDevInfo_struct{} {}
  explicit kymlAiDevInfoPy(const kymlAiDevInfo_struct& record);
};

struct kymlCodecDevInfoPy : kymlCodecDevInfo_struct {
  using library_record = kymlCodecDevInfo_struct;
  kymlDieIndexPy_union index;
  kymlNodeBaseInfoPy node;
  kymlCodecDevInfoPy() : kymlCodecDevInfo_struct{} {}
  explicit kymlCodecDevInfoPy(const kymlCodecDevInfo_struct& record);
};

struct kymlPciInfoPy : kymlPciInfo_struct {
  using library_record = kymlPciInfo_struct;
  std::string bus_id;
  kymlPciSubSystemIdPy_union sub_id{};
  kymlNodeBaseInfoPy card_node, version_node, ctl_node;
  kymlPciInfoPy() : kymlPciInfo_struct{} {}
  explicit kymlPciInfoPy(const kymlPciInfo_struct& record);
};

struct kymlCardInfoPy : kymlCardInfo_struct {
  using library_record = kymlCardInfo_struct;
  std::string uuid_text, type_name;
  kymlPciInfoPy pci;
  kymlNodeBaseInfoPy manage_node;
  std::vector<kymlDieBaseInfoPy> dies;
  kymlCardInfoPy() : kymlCardInfo_struct{} {}
  explicit kymlCardInfoPy(const kymlCardInfo_struct& record);
};

// The sensor records: a unit and a fixed array of readings, as a list.
template <class Record>
struct SensorPy : Record {
  using library_record = Record;
  std::vector<uint32_t> readings;
  SensorPy() : Record{} {}
};

using kymlPllClockPy = SensorPy<kymlPllClock_struct>;
using kymlTemperaturePy = SensorPy<kymlTemperature_struct>;
using kymlTempThresholdPy = SensorPy<kymlTempThreshold_struct>;
using kymlPinVoltPy = SensorPy<kymlPinVolt_struct>;
using kymlPowerPy = SensorPy<kymlPower_struct>;
using kymlPowerCurPy = SensorPy<kymlPowerCur_struct>;
using kymlPowerVoltPy = SensorPy<kymlPowerVolt_struct>;

struct kymlMcuUtilizationRatePy : kymlMcuUtilizationRate_struct {
  using library_record = kymlMcuUtilizationRate_struct;
  std::vector<int32_t> vdsp_list, vemcu_list, vdmcu_list;
  kymlMcuUtilizationRatePy() : kymlMcuUtilizationRate_struct{} {}
  // Copies the record and sets every list to the record's array length.
  void assign(const kymlMcuUtilizationRate_struct& record);
};

struct kymlProcessInfoPy : kymlProcessInfo_struct {
  using library_record = kymlProcessInfo_struct;
  std::string name_text;
  kymlProcessInfoPy() : kymlProcessInfo_struct{} {}
  explicit kymlProcessInfoPy(const kymlProcessInfo_struct& record);
};

// The most records a list-filling call hands the library.
constexpr uint32_t kListCapacity = 64;

// Appends one adaptor per filled record (at most the capacity) to `list`
// and returns it. Every record is converted before the first append, so a
// failed conversion leaves the list as it was.
template <class Adaptor, class Record>
pybind11::list append_converted(pybind11::list list, const Record* records, uint32_t count) {
  if (count > kListCapacity) count = kListCapacity;
  std::vector<pybind11::object> converted;
  converted.reserve(count);
  for (uint32_t i = 0; i < count; ++i) converted.push_back(pybind11::cast(Adaptor(records[i])));
  for (auto& item : converted) list.append(item);
  return list;
}

// The management library's registration, in the order the submodule sets
// itself up: the records and constants, then the control functions.
void register_management_types(pybind11::module_& kyml);
void register_management_control(pybind11::module_& kyml);

}  // namespace quillon
