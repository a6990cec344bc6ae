// Platform configuration: the JSON schema, its validation and the default.
#include "kycore/platform.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string_view>

#include "kycore/error_codes.h"

namespace kycore {
namespace {

using nlohmann::json;

struct ConfigError {
  uint32_t code;
  std::string message;
};

[[noreturn]] void invalid(const std::string& message) { throw ConfigError{KYCM_CONFIG_INVALID, message}; }

void only_keys(const json& object, const std::set<std::string>& allowed, const std::string& where) {
  if (!object.is_object()) invalid(where + " must be an object");
  for (const auto& item : object.items()) {
    if (allowed.count(item.key()) == 0) invalid("unknown key \"" + item.key() + "\" in " + where);
  }
}

uint64_t unsigned_value(const json& object, const char* key, uint64_t fallback, uint64_t low, uint64_t high,
                        const std::string& where) {
  auto it = object.find(key);
  if (it == object.end()) return fallback;
  if (!it->is_number_unsigned() && !(it->is_number_integer() && it->get<int64_t>() >= 0)) {
    invalid(std::string(key) + " in " + where + " must be a non-negative integer");
  }
  const uint64_t value = it->get<uint64_t>();
  if (value < low || value > high) {
    invalid(std::string(key) + " in " + where + " must lie in [" + std::to_string(low) + ", " + std::to_string(high) +
            "]");
  }
  return value;
}

std::string text_value(const json& object, const char* key, const std::string& fallback, const std::string& where) {
  auto it = object.find(key);
  if (it == object.end()) return fallback;
  if (!it->is_string()) invalid(std::string(key) + " in " + where + " must be a string");
  std::string text = it->get<std::string>();
  // The libraries hand texts on as NUL-terminated C strings: one cut short
  // by a NUL would be reported as another text than the one compared.
  if (text.find('\0') != std::string::npos) invalid(std::string(key) + " in " + where + " must not contain a NUL");
  return text;
}

DieConfig parse_die(const json& node, const DieConfig& defaults, const std::string& where) {
  only_keys(node, {"memory_mib", "decode_channels", "encode_channels", "jpeg_decode_channels", "jpeg_encode_channels"},
            where);
  DieConfig die = defaults;
  die.memory_bytes = unsigned_value(node, "memory_mib", defaults.memory_bytes >> 20, 1, 1u << 20, where) << 20;
  die.decode_channels = unsigned_value(node, "decode_channels", defaults.decode_channels, 0, 1024, where);
  die.encode_channels = unsigned_value(node, "encode_channels", defaults.encode_channels, 0, 1024, where);
  die.jpeg_decode_channels =
      unsigned_value(node, "jpeg_decode_channels", defaults.jpeg_decode_channels, 0, 1024, where);
  die.jpeg_encode_channels =
      unsigned_value(node, "jpeg_encode_channels", defaults.jpeg_encode_channels, 0, 1024, where);
  return die;
}

std::string default_uuid(std::size_t card) {
  char text[40];
  std::snprintf(text, sizeof text, "51a7c0de000040008000%012zx", card + 1);
  return text;
}

std::string format_bus_id(uint32_t domain, uint32_t bus, uint32_t device, uint32_t function) {
  char text[32];
  std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", domain, bus, device, function);
  return text;
}

struct BusIdField {
  const char* name;
  char separator;  // after the field; '\0' for the last
  std::size_t digits;
  uint32_t high;
  const char* rule;
};

constexpr BusIdField kBusIdFields[] = {
    {"domain", ':', 4, 0xffff, "1 to 4 hex digits"},
    {"bus", ':', 2, 0xff, "1 or 2 hex digits"},
    {"device", '.', 2, 0x1f, "1 or 2 hex digits up to 1f"},
    {"function", '\0', 1, 7, "one hex digit up to 7"},
};

// "dddd:bb:dd.f" with hex digits only in each field: no sign, space or
// prefix, which a scanf-style parse would take and turn into another id.
void parse_bus_id(CardConfig& card, const std::string& text, const std::string& where) {
  const std::string shape = "pci_bus_id in " + where + " must look like \"0000:3b:00.0\"";
  uint32_t values[std::size(kBusIdFields)] = {};
  std::string_view rest(text);
  for (std::size_t i = 0; i < std::size(kBusIdFields); ++i) {
    const BusIdField& field = kBusIdFields[i];
    std::string_view digits = rest;
    if (field.separator != '\0') {
      const auto at = rest.find(field.separator);
      if (at == std::string_view::npos) invalid(shape);
      digits = rest.substr(0, at);
      rest.remove_prefix(at + 1);
    }
    const char* end = digits.data() + digits.size();
    const auto parsed = std::from_chars(digits.data(), end, values[i], 16);
    if (digits.empty() || digits.size() > field.digits || parsed.ec != std::errc() || parsed.ptr != end ||
        values[i] > field.high) {
      invalid(shape + ": its " + field.name + " must be " + field.rule);
    }
  }
  card.pci_domain = values[0];
  card.pci_bus = values[1];
  card.pci_device = values[2];
  card.pci_function = values[3];
  card.pci_bus_id = format_bus_id(values[0], values[1], values[2], values[3]);
}

CardConfig make_card(std::size_t index, std::size_t dies, const DieConfig& die) {
  CardConfig card;
  card.name = "QX-220";
  card.uuid = default_uuid(index);
  char serial[24];
  std::snprintf(serial, sizeof serial, "QX%010zu", 2300000001u + index);
  card.serial = serial;
  card.pci_domain = 0;
  card.pci_bus = static_cast<uint32_t>(0x3b + index);
  card.pci_bus_id = format_bus_id(0, card.pci_bus, 0, 0);
  card.card_id = static_cast<uint16_t>(index);
  card.fan_speed = 35;
  card.dies.assign(dies, die);
  return card;
}

Platform parse_document(const json& root) {
  only_keys(root, {"driver_version", "node_major", "cards", "dies_per_card", "die", "shared_state", "shared_group"},
            "the platform");
  Platform platform;
  if (auto shared = root.find("shared_state"); shared != root.end()) {
    if (!shared->is_boolean()) invalid("shared_state must be true or false");
    platform.shared_state = shared->get<bool>();
  }
  platform.shared_group = text_value(root, "shared_group", "", "the platform");
  if (platform.shared_group.size() > 32) invalid("shared_group must be at most 32 bytes");
  platform.driver_version = text_value(root, "driver_version", platform.driver_version, "the platform");
  if (platform.driver_version.empty() || platform.driver_version.size() > 63) {
    invalid("driver_version must be 1 to 63 bytes");
  }
  // The node majors in use are node_major to node_major + 3.
  platform.node_major =
      static_cast<uint32_t>(unsigned_value(root, "node_major", platform.node_major, 1, 4092, "the platform"));
  const DieConfig die_defaults = root.contains("die") ? parse_die(root["die"], DieConfig{}, "die") : DieConfig{};
  const std::size_t dies_per_card = unsigned_value(root, "dies_per_card", 2, 1, 4, "the platform");

  auto cards = root.find("cards");
  if (cards == root.end() || cards->is_number()) {
    const std::size_t count = cards == root.end() ? 1 : unsigned_value(root, "cards", 1, 1, 64, "the platform");
    for (std::size_t i = 0; i < count; ++i) platform.cards.push_back(make_card(i, dies_per_card, die_defaults));
    return platform;
  }
  if (!cards->is_array() || cards->empty() || cards->size() > 64)
    invalid("cards must be a count or a list of 1 to 64 cards");

  std::set<std::string> bus_ids;
  std::set<std::string> uuids;
  std::set<uint32_t> card_ids;
  for (std::size_t i = 0; i < cards->size(); ++i) {
    const json& node = (*cards)[i];
    const std::string where = "card " + std::to_string(i);
    only_keys(
        node,
        {"name", "uuid", "serial", "pci_bus_id", "card_id", "fan_speed", "ai_capability", "video_capability", "dies"},
        where);
    CardConfig card = make_card(i, dies_per_card, die_defaults);
    card.name = text_value(node, "name", card.name, where);
    card.uuid = text_value(node, "uuid", card.uuid, where);
    card.serial = text_value(node, "serial", card.serial, where);
    if (card.name.size() > 31 || card.uuid.empty() || card.uuid.size() > 32 || card.serial.size() > 63) {
      invalid("in " + where + ", name must be at most 31 bytes, uuid 1 to 32 bytes and serial at most 63 bytes");
    }
    parse_bus_id(card, text_value(node, "pci_bus_id", card.pci_bus_id, where), where);
    card.card_id = static_cast<uint16_t>(unsigned_value(node, "card_id", card.card_id, 0, 0xffff, where));
    card.fan_speed = static_cast<uint32_t>(unsigned_value(node, "fan_speed", card.fan_speed, 0, 100, where));
    card.ai_capability =
        static_cast<uint32_t>(unsigned_value(node, "ai_capability", card.ai_capability, 0, 0xffffffffu, where));
    card.video_capability =
        static_cast<uint32_t>(unsigned_value(node, "video_capability", card.video_capability, 0, 0xffffffffu, where));
    if (auto dies = node.find("dies"); dies != node.end()) {
      if (dies->is_number()) {
        card.dies.assign(unsigned_value(node, "dies", 2, 1, 4, where), die_defaults);
      } else if (dies->is_array() && !dies->empty() && dies->size() <= 4) {
        card.dies.clear();
        for (std::size_t d = 0; d < dies->size(); ++d) {
          card.dies.push_back(parse_die((*dies)[d], die_defaults, where + " die " + std::to_string(d)));
        }
      } else {
        invalid("dies in " + where + " must be a count or a list of 1 to 4 dies");
      }
    }
    if (!bus_ids.insert(card.pci_bus_id).second) invalid("pci_bus_id of " + where + " repeats another card's");
    if (!card_ids.insert(card.card_id).second) invalid("card_id of " + where + " repeats another card's");
    if (!uuids.insert(card.uuid).second) invalid("uuid of " + where + " repeats another card's");
    platform.cards.push_back(std::move(card));
  }
  return platform;
}

struct CurrentPlatform {
  std::mutex mutex;
  std::shared_ptr<const Platform> platform;
  std::atomic<uint64_t> generation{0};
};

CurrentPlatform& current() {
  static auto* c = new CurrentPlatform();  // never destroyed: used from static destructors
  return *c;
}

// The device indices QUILLON_VISIBLE_DIES lists ("1" or "0,2"): decimal
// numbers in increasing order, each a device of `platform`.
std::vector<std::size_t> visible_devices(std::string_view text, const Platform& platform) {
  const std::size_t count = platform.device_count();
  const std::string head = std::string(kVisibleDiesEnvironmentVariable) + "=\"" + std::string(text) + "\": ";
  std::vector<std::size_t> devices;
  while (true) {
    const auto comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    std::size_t device = 0;
    const auto parsed = std::from_chars(item.data(), item.data() + item.size(), device);
    if (item.empty() || parsed.ec != std::errc() || parsed.ptr != item.data() + item.size()) {
      invalid(head + "must list die numbers separated by commas, such as \"0\" or \"1,2\"");
    }
    if (device >= count) {
      invalid(head + "die " + std::to_string(device) + " is not one of the platform's " + std::to_string(count) +
              " dies (0 to " + std::to_string(count - 1) + ")");
    }
    if (!devices.empty() && device <= devices.back()) invalid(head + "must list each die once, in increasing order");
    devices.push_back(device);
    if (comma == std::string_view::npos) return devices;
    text.remove_prefix(comma + 1);
  }
}

// Hides the dies QUILLON_VISIBLE_DIES leaves out, so that every library sees
// the visible ones alone, numbered from 0 card by card; a card left without
// dies is hidden too. A malformed value hides every die: a worker pinned to
// some dies must never run on all of them.
void keep_visible_dies(PlatformResult& result) {
  const char* text = std::getenv(kVisibleDiesEnvironmentVariable);
  if (result.code != 0 || text == nullptr || text[0] == '\0') return;
  std::vector<std::size_t> devices;
  try {
    devices = visible_devices(text, result.platform);
  } catch (const ConfigError& e) {
    result.code = e.code;
    result.message = e.message;
    result.platform.cards.clear();
    return;
  }
  std::vector<CardConfig> cards;
  std::size_t first = 0, next = 0;
  for (auto& card : result.platform.cards) {
    std::vector<DieConfig> dies;
    for (std::size_t die = 0; die < card.dies.size(); ++die) {
      if (next < devices.size() && devices[next] == first + die) {
        dies.push_back(card.dies[die]);
        ++next;
      }
    }
    first += card.dies.size();
    if (dies.empty()) continue;
    card.dies = std::move(dies);
    cards.push_back(std::move(card));
  }
  result.platform.cards = std::move(cards);
}

}  // namespace

std::size_t Platform::device_count() const {
  std::size_t count = 0;
  for (const auto& card : cards) count += card.dies.size();
  return count;
}

bool Platform::locate(std::size_t device, std::size_t* card, std::size_t* die) const {
  for (std::size_t c = 0; c < cards.size(); ++c) {
    if (device < cards[c].dies.size()) {
      *card = c;
      *die = device;
      return true;
    }
    device -= cards[c].dies.size();
  }
  return false;
}

const DieConfig* Platform::device(std::size_t index) const {
  std::size_t card = 0, die = 0;
  return locate(index, &card, &die) ? &cards[card].dies[die] : nullptr;
}

Platform default_platform() { return parse_document(json::object()); }

PlatformResult parse_platform(std::string_view text) {
  PlatformResult result;
  try {
    result.platform = parse_document(json::parse(text));
  } catch (const json::parse_error& e) {
    result.code = KYCM_CONFIG_SYNTAX;
    result.message = e.what();
  } catch (const ConfigError& e) {
    result.code = e.code;
    result.message = e.message;
  } catch (const json::exception& e) {
    result.code = KYCM_CONFIG_INVALID;
    result.message = e.what();
  }
  return result;
}

PlatformResult load_platform_file(const std::string& path) {
  std::error_code error;
  std::ifstream file;
  if (std::filesystem::is_regular_file(path, error)) file.open(path, std::ios::binary);
  std::ostringstream text;
  if (file.is_open()) text << file.rdbuf();
  if (!file.is_open() || file.bad()) {
    PlatformResult result;
    result.code = KYCM_CONFIG_UNREADABLE;
    result.message = "cannot read " + path;
    return result;
  }
  PlatformResult result = parse_platform(text.str());
  if (result.code != 0) result.message = path + ": " + result.message;
  return result;
}

namespace {

PlatformResult whole_platform(const char* config) {
  if (config == nullptr || config[0] == '\0') {
    const char* path = std::getenv(kPlatformEnvironmentVariable);
    if (path == nullptr || path[0] == '\0') return PlatformResult{0, {}, default_platform()};
    return load_platform_file(path);
  }
  std::string_view text(config);
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && text[first] == '{') return parse_platform(text);
  return load_platform_file(config);
}

}  // namespace

PlatformResult resolve_platform(const char* config) {
  PlatformResult result = whole_platform(config);
  keep_visible_dies(result);
  return result;
}

std::shared_ptr<const Platform> current_platform() {
  auto& c = current();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (!c.platform) {
    PlatformResult result = resolve_platform(nullptr);
    if (result.code != 0) {
      result = PlatformResult{0, {}, default_platform()};
      keep_visible_dies(result);
    }
    c.platform = std::make_shared<const Platform>(std::move(result.platform));
  }
  return c.platform;
}

void install_platform(Platform platform) {
  auto& c = current();
  auto next = std::make_shared<const Platform>(std::move(platform));
  std::lock_guard<std::mutex> lock(c.mutex);
  c.platform = std::move(next);
  c.generation.fetch_add(1, std::memory_order_release);
}

uint64_t platform_generation() { return current().generation.load(std::memory_order_acquire); }

}  // namespace kycore
