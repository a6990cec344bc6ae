// kyml: card count, card information, card handle lookups and card queries.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "kyml.h"
#include "kyml/records.h"
#include "quillon/errors.h"
#include "quillon/registration.h"
#include "quillon/text.h"

namespace py = pybind11;

namespace quillon {
namespace {

template <class Lookup, class Key>
uint64_t card_handle(Lookup lookup, Key key, const char* message) {
  uint64_t card = 0;
  check(lookup(key, &card), message);
  return card;
}

}  // namespace

void register_cards(py::module_& m) {
  m.def(
      "getCardCount",
      [] {
        uint32_t count = 0;
        check(kymlGetCardCount(&count), "get card count error, ret: %d.");
        return count;
      },
      "get the count of card.");
  m.def(
      "getCardInfo",
      [](py::list cards) {
        std::vector<kymlCardInfo_struct> records(kListCapacity);  // zero-filled
        uint32_t count = 0;
        check(kymlGetCardInfo(&count, records.data(), kListCapacity), "get card info error, ret: %d.");
        return append_converted<kymlCardInfoPy>(std::move(cards), records.data(), count);
      },
      "get the information of card.");
  m.def(
      "getCardHandleByUUID",
      [](const std::string& uuid) {
        return card_handle(kymlGetHandleByUUID, uuid.c_str(), "get card handle by uuid error, ret: %d.");
      },
      "get the card handle by uuid.");
  m.def(
      "getCardHandleByPciBusId",
      [](const std::string& bus_id) {
        return card_handle(kymlGetHandleByPciBusId, bus_id.c_str(), "get card handle by pci bus id error, ret: %d.");
      },
      "get the card handle by pciBus id.");
  m.def(
      "getCardHandleByIndex",
      [](uint32_t index) {
        return card_handle(kymlGetCardHandleByIndex, index, "get card handle by index error, ret: %d.");
      },
      "get the card handle by index of card.");
  m.def(
      "getCardHandleByCardId",
      [](uint16_t card_id) {
        return card_handle(kymlGetCardHandleByCardId, card_id, "get card handle by card id error, ret: %d.");
      },
      "get the card handle by card id.");
  m.def(
      "getUUID",
      [](uint64_t card) {
        char buffer[64] = {};
        check(kymlGetUUID(card, buffer, sizeof buffer), "get uuid error, ret: %d.");
        return fixed_text(buffer, sizeof buffer);
      },
      "get the uuid by the specified handle of card.");
  m.def(
      "getPciInfo",
      [](uint64_t card) {
        kymlPciInfo_struct record{};
        check(kymlGetPciInfo(card, &record), "get pci info error, ret: %d.");
        return kymlPciInfoPy(record);
      },
      "get the pci information by the specified handle of card.");
  m.def(
      "getCapability",
      [](uint64_t card, kymlCapability_struct* capability) {
        return kymlGetCapability(card, &require_record(capability, "getCapability", "capability"));
      },
      "get the capability by the specified handle of card.");
  m.def(
      "getFanSpeedInfo",
      [](uint64_t card, kymlFanSpeedInfo_struct* fan) {
        return kymlGetFanSpeedInfo(card, &require_record(fan, "getFanSpeedInfo", "fanSpeedInfo"));
      },
      "get the fan speed of card.");
  m.def(
      "getManageNodeAttribute",
      [] {
        kymlNodeBaseInfo_struct record{};
        check(kymlGetManageNodeAttribute(&record), "get manage node attribute error, ret: %d.");
        return kymlNodeBaseInfoPy(record);
      },
      "get the attributes of managed node.");
  m.def(
      "getDriverSWVersion",
      [] {
        char buffer[64] = {};
        check(kymlGetDriverSWVersion(buffer, sizeof buffer), "get driver SW version error, ret: %d.");
        return fixed_text(buffer, sizeof buffer);
      },
      "get the version information of driver.");
}

}  // namespace quillon
