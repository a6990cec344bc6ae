// The sensors of a die. Utilisation is measured: the busy time of the die's
// engines over the last sampling interval. What has no physical source here
// (voltages, currents, power, temperatures) is modelled from that utilisation
// and the memory in use, plus a small deterministic wobble that depends only
// on the die and the second (seconds since init, or QUILLON_SENSOR_CLOCK when
// set). Readings are consistent with each other: temperatures rise with load
// and stay below the thresholds, and each rail's power is its voltage times
// its current.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "inventory.h"

namespace kyml {

// Units: readings divided by `unit` give degrees Celsius, watts, volts,
// amperes; clocks are in MHz with unit 1.
constexpr uint32_t kMilli = 1000;

struct DieReadings {
  int32_t ai = 0;                                                    // percent
  std::array<int32_t, MAX_DIE_VDSP_NUM> vdsp{};                      // percent per core
  std::array<int32_t, MAX_DIE_VEMCU_NUM> vemcu{};                    // percent per core
  std::array<int32_t, MAX_DIE_VDMCU_NUM> vdmcu{};                    // percent per core
  std::array<uint32_t, MAX_TEMPERATURE_SUBMODULE> temperature{};     // m°C
  std::array<uint32_t, MAX_TEMP_THRESHOLD_SUBMODULE> threshold{};    // m°C
  std::array<uint32_t, MAX_POWER_VOLTAGE_SUMMODULE> rail_voltage{};  // mV
  std::array<uint32_t, MAX_POWER_CURRENT_SUMMODULE> rail_current{};  // mA
  std::array<uint32_t, MAX_POWER_SUMMODULE> power{};                 // mW: total, then per rail
  std::array<uint32_t, MAX_PIN_VOLT_SUMMODULE> pin_voltage{};        // mV
  std::array<uint32_t, MAX_PLL_CLOCK_SUBMODULE> clock{};             // MHz
  uint64_t memory_total = 0;
  uint64_t memory_used = 0;
};

DieReadings read_die(const DieRef& die);

// True when the card's shared state was refused: readings then fail
// instead of showing this process alone.
bool card_state_refused();
// Device memory in use on the die: by every process when the state is
// shared, by this one otherwise.
uint64_t memory_in_use(std::size_t device);
// Whether this process uses the die: device memory or a context on it.
bool process_uses(std::size_t device);
// Whether this process has models loaded on the die.
bool process_runs_models(std::size_t device);

}  // namespace kyml
