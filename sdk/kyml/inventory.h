// What the management library knows about the platform: the library's
// life-cycle state, card and die handles, and how the platform's cards and
// dies are described in the library's records. Every call reads the platform
// in force, the one the common runtime numbers its devices by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kycore/platform.h"
#include "kycore/test_control.h"
#include "kyml.h"

// Opens every exported kyml function (see kycore/test_control.h).
#define KYML_GATE(name, on_empty, ...) KY_GATE_AS(static_cast<kymlOpStatus_enum>, name, on_empty, __VA_ARGS__)

// Refuses the call while the library is not initialised.
#define KYML_REQUIRE_INIT()                                      \
  do {                                                           \
    if (!::kyml::initialized()) return KYML_ERROR_UNINITIALIZED; \
  } while (0)

namespace kyml {

bool initialized();
// Marks the library initialised (true) or not; returns the previous state.
bool set_initialized(bool value);
// Whole seconds since the library was last initialised.
int64_t seconds_since_init();

// A card or die of the platform in force, as a handle names it.
struct CardRef {
  std::shared_ptr<const kycore::Platform> platform;
  std::size_t card = 0;
  const kycore::CardConfig& config() const { return platform->cards[card]; }
};

struct DieRef {
  std::shared_ptr<const kycore::Platform> platform;
  std::size_t card = 0;
  std::size_t die = 0;
  std::size_t device = 0;  // the common runtime's device number
  const kycore::DieConfig& config() const { return platform->cards[card].dies[die]; }
};

// Handles are stable for a card id and die position: a tag in the top 16
// bits, then the card id and, for dies, the die's position on its card.
uint64_t card_handle(const kycore::CardConfig& card);
uint64_t die_handle(const kycore::CardConfig& card, std::size_t die);

// KYML_SUCCESS, KYML_ERROR_INPUT_PARAMETER_ERROR for a value that is not a
// handle of that kind, or KYML_ERROR_CARD_NOTFOUND when it names no card or
// die of the platform in force.
kymlOpStatus_enum find_card(uint64_t handle, CardRef* out);
kymlOpStatus_enum find_die(uint64_t handle, DieRef* out);

std::size_t device_number(const kycore::Platform& platform, std::size_t card, std::size_t die);
uint32_t die_index_word(const kycore::Platform& platform, std::size_t card, std::size_t die);

// Record filling.
void fill_node(kymlNodeBaseInfo_struct* node, const std::string& name, uint32_t major, uint32_t minor);
void fill_kycc_node(kymlNodeBaseInfo_struct* node, const kycore::Platform& platform, std::size_t device);
void fill_video_node(kymlNodeBaseInfo_struct* node, const kycore::Platform& platform, std::size_t device);
void fill_die_info(kymlDieBaseInfo_struct* info, const kycore::Platform& platform, std::size_t card, std::size_t die);
void fill_pci_info(kymlPciInfo_struct* info, const kycore::Platform& platform, std::size_t card);
void fill_card_info(kymlCardInfo_struct* info, const kycore::Platform& platform, std::size_t card);
void fill_manage_node(kymlNodeBaseInfo_struct* node, const kycore::Platform& platform);

// Copies `text` into a caller's buffer of `size` bytes with its NUL;
// KYML_USER_BUF_INSUFFICIENT (and nothing written) when it does not fit.
kymlOpStatus_enum copy_text(const std::string& text, char* buffer, uint32_t size);

}  // namespace kyml
