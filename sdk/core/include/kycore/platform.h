// The platform the host SDK presents: cards, their dies (each die is one
// device of the common runtime), memory and codec channels. It comes from a
// JSON file named by QUILLON_PLATFORM, or from the text given to
// kycmInitialize, or from the built-in default of one card with two dies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kycore/export.h"

namespace kycore {

struct DieConfig {
  uint64_t memory_bytes = 4ull << 30;
  uint32_t decode_channels = 32;
  uint32_t encode_channels = 16;
  uint32_t jpeg_decode_channels = 64;
  uint32_t jpeg_encode_channels = 64;
};

struct CardConfig {
  std::string name;  // the card type name, at most 31 bytes
  std::string uuid;  // at most 32 bytes
  std::string serial;
  // PCI location, always consistent with pci_bus_id ("dddd:bb:dd.f").
  std::string pci_bus_id;
  uint32_t pci_domain = 0;
  uint32_t pci_bus = 0;
  uint32_t pci_device = 0;
  uint32_t pci_function = 0;
  uint16_t card_id = 0;
  uint32_t fan_speed = 0;  // percent
  // What the card offers, as the management library reports it.
  uint32_t ai_capability = 128;
  uint32_t video_capability = 64;
  std::vector<DieConfig> dies;
};

struct KY_EXPORT Platform {
  std::string driver_version = "2.1.0";
  // The first of the major numbers of the cards' device nodes.
  uint32_t node_major = 508;
  std::vector<CardConfig> cards;
  // Whether processes on this platform share one card (see shared_state.h),
  // and the group allowed to share it besides its owner (empty: none).
  bool shared_state = true;
  std::string shared_group;

  // Devices are the dies of all cards, numbered card by card.
  std::size_t device_count() const;
  // The card and die of a device index; false when out of range.
  bool locate(std::size_t device, std::size_t* card, std::size_t* die) const;
  const DieConfig* device(std::size_t index) const;
};

struct PlatformResult {
  uint32_t code = 0;    // 0, or one of the KYCM_CONFIG_* codes
  std::string message;  // what was wrong, for logs and tests
  Platform platform;
};

KY_EXPORT Platform default_platform();
KY_EXPORT PlatformResult parse_platform(std::string_view json);
KY_EXPORT PlatformResult load_platform_file(const std::string& path);

// The text given to kycmInitialize: null or empty means QUILLON_PLATFORM or
// the default; text starting with '{' is JSON; anything else is a file path.
// QUILLON_VISIBLE_DIES, when set, then keeps the dies it lists alone.
KY_EXPORT PlatformResult resolve_platform(const char* config);

// The platform in force for the process. Until one is installed it is what
// QUILLON_PLATFORM names (or the default when that is unset or invalid),
// reduced to the visible dies (none when QUILLON_VISIBLE_DIES is malformed).
KY_EXPORT std::shared_ptr<const Platform> current_platform();
KY_EXPORT void install_platform(Platform platform);
// A number that changes whenever a platform is installed: who keeps what
// it derived from the platform in force checks it, without a lock.
KY_EXPORT uint64_t platform_generation();

constexpr const char* kPlatformEnvironmentVariable = "QUILLON_PLATFORM";
// Device indices of the platform (as without it) a process may use, such as
// "1" or "0,2"; they become devices 0, 1, ... of the process.
constexpr const char* kVisibleDiesEnvironmentVariable = "QUILLON_VISIBLE_DIES";

}  // namespace kycore
