// Handles, lookups and the inventory records of cards and dies.
#include "inventory.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

namespace kyml {
namespace {

constexpr uint64_t kTagMask = 0xffffull << 48;
constexpr uint64_t kCardTag = 0xc0a7ull << 48;
constexpr uint64_t kDieTag = 0xd1e5ull << 48;

// The PCI identity the cards present.
constexpr uint16_t kPciRenderId = 0x1f3a;
constexpr uint16_t kPciCardId = 0x0220;
constexpr uint8_t kPciSubRenderId = 0x01;

std::atomic<bool> g_initialized{false};
std::atomic<int64_t> g_init_time{0};  // steady clock, seconds

int64_t steady_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Fixed-size text fields take the text up to their size; a text that fills
// the field exactly has no NUL, as the records allow.
void copy_field(char* field, std::size_t capacity, const std::string& text) {
  const std::size_t length = text.size() < capacity ? text.size() : capacity;
  std::copy_n(text.data(), length, field);
  std::fill(field + length, field + capacity, '\0');
}

std::string numbered(const char* prefix, std::size_t number) { return prefix + std::to_string(number); }

}  // namespace

bool initialized() { return g_initialized.load(); }

bool set_initialized(bool value) {
  if (value) g_init_time.store(steady_seconds());
  return g_initialized.exchange(value);
}

int64_t seconds_since_init() { return steady_seconds() - g_init_time.load(); }

uint64_t card_handle(const kycore::CardConfig& card) { return kCardTag | card.card_id; }

uint64_t die_handle(const kycore::CardConfig& card, std::size_t die) {
  return kDieTag | (static_cast<uint64_t>(card.card_id) << 8) | die;
}

kymlOpStatus_enum find_card(uint64_t handle, CardRef* out) {
  if ((handle & kTagMask) != kCardTag || (handle & ~kTagMask) > 0xffff) return KYML_ERROR_INPUT_PARAMETER_ERROR;
  auto platform = kycore::current_platform();
  for (std::size_t c = 0; c < platform->cards.size(); ++c) {
    if (card_handle(platform->cards[c]) == handle) {
      *out = CardRef{platform, c};
      return KYML_SUCCESS;
    }
  }
  return KYML_ERROR_CARD_NOTFOUND;
}

kymlOpStatus_enum find_die(uint64_t handle, DieRef* out) {
  if ((handle & kTagMask) != kDieTag || (handle & ~kTagMask) > 0xffffff) return KYML_ERROR_INPUT_PARAMETER_ERROR;
  auto platform = kycore::current_platform();
  const std::size_t die = handle & 0xff;
  for (std::size_t c = 0; c < platform->cards.size(); ++c) {
    const auto& card = platform->cards[c];
    if (die < card.dies.size() && die_handle(card, die) == handle) {
      *out = DieRef{platform, c, die, device_number(*platform, c, die)};
      return KYML_SUCCESS;
    }
  }
  return KYML_ERROR_CARD_NOTFOUND;
}

std::size_t device_number(const kycore::Platform& platform, std::size_t card, std::size_t die) {
  std::size_t device = die;
  for (std::size_t c = 0; c < card; ++c) device += platform.cards[c].dies.size();
  return device;
}

uint32_t die_index_word(const kycore::Platform& platform, std::size_t card, std::size_t die) {
  // The sequence number is the runtime's device number (at most 256 devices).
  const uint32_t sequence = static_cast<uint32_t>(device_number(platform, card, die)) & 0xff;
  return (static_cast<uint32_t>(die) & 0xff) | (static_cast<uint32_t>(platform.cards[card].card_id) << 8) |
         (sequence << 24);
}

void fill_node(kymlNodeBaseInfo_struct* node, const std::string& name, uint32_t major, uint32_t minor) {
  copy_field(node->name, sizeof node->name, name);
  node->majorMinor.number.major = static_cast<uint16_t>(major);
  node->majorMinor.number.minor = static_cast<uint16_t>(minor);
}

// Device nodes: per die the compute node (node_major), the render node (the
// system's render major 226) and the video node (node_major + 1); per card
// the PCIe nodes (node_major + 2) and the management node (node_major + 3).
void fill_kycc_node(kymlNodeBaseInfo_struct* node, const kycore::Platform& platform, std::size_t device) {
  fill_node(node, numbered("/dev/kycc", device), platform.node_major, static_cast<uint32_t>(device));
}

void fill_video_node(kymlNodeBaseInfo_struct* node, const kycore::Platform& platform, std::size_t device) {
  fill_node(node, numbered("/dev/kyvideo", device), platform.node_major + 1, static_cast<uint32_t>(device));
}

void fill_die_info(kymlDieBaseInfo_struct* info, const kycore::Platform& platform, std::size_t card, std::size_t die) {
  const std::size_t device = device_number(platform, card, die);
  std::memset(info, 0, sizeof *info);
  info->dieIndex = die_index_word(platform, card, die);
  fill_kycc_node(&info->kyccBaseInfo, platform, device);
  fill_node(&info->renderBaseInfo, numbered("/dev/dri/renderD", 128 + device), 226,
            static_cast<uint32_t>(128 + device));
  fill_video_node(&info->videoBaseInfo, platform, device);
}

void fill_pci_info(kymlPciInfo_struct* info, const kycore::Platform& platform, std::size_t card) {
  const auto& config = platform.cards[card];
  std::memset(info, 0, sizeof *info);
  copy_field(info->busId, sizeof info->busId, config.pci_bus_id);
  info->domain = config.pci_domain;
  info->bus = config.pci_bus;
  info->card = config.pci_device;
  info->pciId.renderId = kPciRenderId;
  info->pciId.cardId = kPciCardId;
  // Sub-system id: byte 0 the sub render id, byte 1 the number of dies.
  info->pciSubId = kPciSubRenderId | (static_cast<uint32_t>(config.dies.size()) << 8);
  const uint32_t major = platform.node_major + 2;
  const auto minor = static_cast<uint32_t>(card);
  fill_node(&info->pcieCardBaseInfo, numbered("/dev/kypcie", card), major, minor);
  fill_node(&info->pcieCardVersionBaseInfo, numbered("/dev/kypcie_ver", card), major, 64 + minor);
  fill_node(&info->pcieCardCtlBaseInfo, numbered("/dev/kypcie_ctl", card), major, 128 + minor);
}

void fill_card_info(kymlCardInfo_struct* info, const kycore::Platform& platform, std::size_t card) {
  const auto& config = platform.cards[card];
  std::memset(info, 0, sizeof *info);
  info->cardId = config.card_id;
  copy_field(info->uuid, sizeof info->uuid, config.uuid);
  copy_field(info->cardTypeName, sizeof info->cardTypeName, config.name);
  fill_pci_info(&info->pciInfo, platform, card);
  info->cardCapability.aiCapability = config.ai_capability;
  info->cardCapability.videoCapability = config.video_capability;
  fill_node(&info->manNodeBaseInfo, numbered("/dev/kyml", card), platform.node_major + 3, static_cast<uint32_t>(card));
  info->dieNum = static_cast<uint32_t>(config.dies.size());
  for (std::size_t d = 0; d < config.dies.size() && d < 4; ++d) fill_die_info(&info->dieInfo[d], platform, card, d);
}

void fill_manage_node(kymlNodeBaseInfo_struct* node, const kycore::Platform& platform) {
  std::memset(node, 0, sizeof *node);
  fill_node(node, "/dev/kyml_ctl", platform.node_major + 3, 255);
}

kymlOpStatus_enum copy_text(const std::string& text, char* buffer, uint32_t size) {
  if (buffer == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  if (text.size() + 1 > size) return KYML_USER_BUF_INSUFFICIENT;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return KYML_SUCCESS;
}

}  // namespace kyml
