// Cards: counting, lookups by index, card id, UUID and PCI bus id, and the
// card's information records.
#include <cstdio>
#include <cstring>

#include "inventory.h"
#include "kycore/c_boundary.h"

namespace {

// "dddd:bb:dd.f" or "bb:dd.f" (domain 0), hex digits in either case.
bool parse_bus_id(const char* text, uint32_t* domain, uint32_t* bus, uint32_t* device, uint32_t* function) {
  unsigned d = 0, b = 0, v = 0, f = 0;
  char tail = 0;
  int length = 0;
  if (std::sscanf(text, "%x:%x:%x.%x%n%c", &d, &b, &v, &f, &length, &tail) == 4 &&
      static_cast<std::size_t>(length) == std::strlen(text)) {
  } else if (std::sscanf(text, "%x:%x.%x%n%c", &b, &v, &f, &length, &tail) == 3 &&
             static_cast<std::size_t>(length) == std::strlen(text)) {
    d = 0;
  } else {
    return false;
  }
  if (d > 0xffff || b > 0xff || v > 0x1f || f > 7) return false;
  *domain = d;
  *bus = b;
  *device = v;
  *function = f;
  return true;
}

}  // namespace

using kyml::CardRef;

extern "C" {

KY_EXPORT kymlOpStatus_enum kymlGetCardCount(uint32_t* count) try {
  KYML_GATE("kymlGetCardCount", ::kycore::clear_output(count), count);
  KYML_REQUIRE_INIT();
  if (count == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  *count = static_cast<uint32_t>(kycore::current_platform()->cards.size());
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetCardInfo(uint32_t* count, kymlCardInfo_struct* cards, uint32_t capacity) try {
  KYML_GATE("kymlGetCardInfo", ::kycore::clear_output(count), count, cards, capacity);
  KYML_REQUIRE_INIT();
  if (count == nullptr || cards == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  const auto platform = kycore::current_platform();
  const std::size_t total = platform->cards.size();
  const std::size_t filled = total < capacity ? total : capacity;
  for (std::size_t c = 0; c < filled; ++c) kyml::fill_card_info(&cards[c], *platform, c);
  *count = static_cast<uint32_t>(filled);
  return filled < total ? KYML_USER_BUF_INSUFFICIENT : KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetHandleByUUID(const char* uuid, uint64_t* card) try {
  KYML_GATE("kymlGetHandleByUUID", ::kycore::clear_output(card), uuid, card);
  KYML_REQUIRE_INIT();
  if (uuid == nullptr || card == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  if (uuid[0] == '\0') return KYML_ERROR_INPUT_PARAMETER_ERROR;
  for (const auto& config : kycore::current_platform()->cards) {
    if (config.uuid == uuid) {
      *card = kyml::card_handle(config);
      return KYML_SUCCESS;
    }
  }
  return KYML_ERROR_CARD_NOTFOUND;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetHandleByPciBusId(const char* busId, uint64_t* card) try {
  KYML_GATE("kymlGetHandleByPciBusId", ::kycore::clear_output(card), busId, card);
  KYML_REQUIRE_INIT();
  if (busId == nullptr || card == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  uint32_t domain = 0, bus = 0, device = 0, function = 0;
  if (!parse_bus_id(busId, &domain, &bus, &device, &function)) return KYML_ERROR_INPUT_PARAMETER_ERROR;
  for (const auto& config : kycore::current_platform()->cards) {
    if (config.pci_domain == domain && config.pci_bus == bus && config.pci_device == device &&
        config.pci_function == function) {
      *card = kyml::card_handle(config);
      return KYML_SUCCESS;
    }
  }
  return KYML_ERROR_CARD_NOTFOUND;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetCardHandleByIndex(uint32_t index, uint64_t* card) try {
  KYML_GATE("kymlGetCardHandleByIndex", ::kycore::clear_output(card), index, card);
  KYML_REQUIRE_INIT();
  if (card == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  const auto platform = kycore::current_platform();
  if (index >= platform->cards.size()) return KYML_ERROR_CARD_NOTFOUND;
  *card = kyml::card_handle(platform->cards[index]);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetCardHandleByCardId(uint16_t cardId, uint64_t* card) try {
  KYML_GATE("kymlGetCardHandleByCardId", ::kycore::clear_output(card), cardId, card);
  KYML_REQUIRE_INIT();
  if (card == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  for (const auto& config : kycore::current_platform()->cards) {
    if (config.card_id == cardId) {
      *card = kyml::card_handle(config);
      return KYML_SUCCESS;
    }
  }
  return KYML_ERROR_CARD_NOTFOUND;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetUUID(uint64_t card, char* uuid, uint32_t size) try {
  KYML_GATE("kymlGetUUID", if (uuid && size) uuid[0] = '\0', card, uuid, size);
  KYML_REQUIRE_INIT();
  CardRef ref;
  if (const auto status = kyml::find_card(card, &ref); status != KYML_SUCCESS) return status;
  return kyml::copy_text(ref.config().uuid, uuid, size);
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetPciInfo(uint64_t card, kymlPciInfo_struct* info) try {
  KYML_GATE("kymlGetPciInfo", ::kycore::clear_output(info), card, info);
  KYML_REQUIRE_INIT();
  if (info == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  CardRef ref;
  if (const auto status = kyml::find_card(card, &ref); status != KYML_SUCCESS) return status;
  kyml::fill_pci_info(info, *ref.platform, ref.card);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetCapability(uint64_t card, kymlCapability_struct* capability) try {
  KYML_GATE("kymlGetCapability", ::kycore::clear_output(capability), card, capability);
  KYML_REQUIRE_INIT();
  if (capability == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  CardRef ref;
  if (const auto status = kyml::find_card(card, &ref); status != KYML_SUCCESS) return status;
  capability->aiCapability = ref.config().ai_capability;
  capability->videoCapability = ref.config().video_capability;
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetFanSpeedInfo(uint64_t card, kymlFanSpeedInfo_struct* fan) try {
  KYML_GATE("kymlGetFanSpeedInfo", ::kycore::clear_output(fan), card, fan);
  KYML_REQUIRE_INIT();
  if (fan == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  CardRef ref;
  if (const auto status = kyml::find_card(card, &ref); status != KYML_SUCCESS) return status;
  fan->fanSpeedLevel = static_cast<int32_t>(ref.config().fan_speed);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetManageNodeAttribute(kymlNodeBaseInfo_struct* node) try {
  KYML_GATE("kymlGetManageNodeAttribute", ::kycore::clear_output(node), node);
  KYML_REQUIRE_INIT();
  if (node == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  kyml::fill_manage_node(node, *kycore::current_platform());
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetDriverSWVersion(char* version, uint32_t size) try {
  KYML_GATE("kymlGetDriverSWVersion", if (version && size) version[0] = '\0', version, size);
  KYML_REQUIRE_INIT();
  return kyml::copy_text(kycore::current_platform()->driver_version, version, size);
}
KYML_CATCH

}  // extern "C"
