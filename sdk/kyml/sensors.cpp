// The die sensor model.
#include "sensors.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "kycore/busy_time.h"
#include "kycore/device_memory.h"
#include "kycore/handle_registry.h"
#include "kycore/shared_state.h"

namespace kyml {
namespace {

using kycore::HandleKind;
using kycore::HandleRegistry;

int64_t sensor_second() {
  if (const char* frozen = std::getenv("QUILLON_SENSOR_CLOCK"); frozen != nullptr && frozen[0] != '\0') {
    char* end = nullptr;
    const long long value = std::strtoll(frozen, &end, 10);
    if (end != frozen && *end == '\0') return value;
  }
  return seconds_since_init();
}

// A reproducible pseudo-random value for (device, second, channel).
uint64_t mix(uint64_t device, int64_t second, uint64_t channel) {
  uint64_t x = device * 0x9e3779b97f4a7c15ull ^ static_cast<uint64_t>(second) * 0xbf58476d1ce4e5b9ull ^
               channel * 0x94d049bb133111ebull;
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return x;
}

// A value in [-spread, spread].
int32_t wobble(uint64_t device, int64_t second, uint64_t channel, int32_t spread) {
  if (spread <= 0) return 0;
  return static_cast<int32_t>(mix(device, second, channel) % static_cast<uint64_t>(2 * spread + 1)) - spread;
}

int32_t device_id(std::size_t device) { return static_cast<int32_t>(device); }

}  // namespace

bool card_state_refused() {
  uint32_t refused = 0;
  kycore::shared_state(&refused);
  return refused != 0;
}

uint64_t memory_in_use(std::size_t device) {
  if (auto shared = kycore::shared_state()) return shared->memory_used(device_id(device));
  return kycore::DeviceMemory::instance().used(device_id(device));
}

bool process_uses(std::size_t device) {
  return kycore::DeviceMemory::instance().used(device_id(device)) > 0 ||
         HandleRegistry::instance().count(HandleKind::context, device_id(device)) > 0;
}

bool process_runs_models(std::size_t device) {
  return HandleRegistry::instance().count(HandleKind::model, device_id(device)) > 0;
}

DieReadings read_die(const DieRef& die) {
  DieReadings r;
  const std::size_t device = die.device;
  const int64_t s = sensor_second();
  const auto& config = die.config();

  r.memory_total = config.memory_bytes;
  r.memory_used = std::min(memory_in_use(device), r.memory_total);
  const int64_t memory_percent = static_cast<int64_t>(r.memory_used * 100 / r.memory_total);

  // Utilisation is the engines' measured busy time over the sampling
  // interval; each engine core reads its own share.
  using kycore::Engine;
  const int32_t id = device_id(device);
  const auto load = [](Engine engine, auto& cores) {
    return kycore::EngineLoad{engine, static_cast<uint32_t>(cores.size()), cores.data()};
  };
  std::array<int32_t, 1> ai{};
  kycore::EngineLoad loads[] = {load(Engine::ai, ai), load(Engine::vdsp, r.vdsp), load(Engine::decoder, r.vdmcu),
                                load(Engine::encoder, r.vemcu)};
  kycore::busy_percents(id, loads, std::size(loads));
  r.ai = ai[0];
  int64_t codec = 0;
  int64_t vdsp = 0;
  for (auto v : r.vdsp) vdsp += v;
  for (auto v : r.vdmcu) codec += v;
  for (auto v : r.vemcu) codec += v;

  // Rails: core, memory, system-on-chip. Power is voltage times current.
  r.rail_voltage = {static_cast<uint32_t>(800 + wobble(device, s, 40, 4)),
                    static_cast<uint32_t>(1100 + wobble(device, s, 41, 4)),
                    static_cast<uint32_t>(900 + wobble(device, s, 42, 4))};
  r.rail_current = {static_cast<uint32_t>(3000 + 140 * r.ai + wobble(device, s, 43, 40)),
                    static_cast<uint32_t>(1500 + 12 * memory_percent + wobble(device, s, 44, 30)),
                    static_cast<uint32_t>(1800 + 8 * codec + 6 * vdsp + wobble(device, s, 45, 30))};
  r.power[0] = 0;
  for (std::size_t i = 0; i < r.rail_voltage.size(); ++i) {
    r.power[i + 1] = r.rail_voltage[i] * r.rail_current[i] / kMilli;
    r.power[0] += r.power[i + 1];
  }

  // Temperatures follow the power drawn: about 30 °C at rest plus a
  // degree per watt, a little more near the compute cores.
  const int64_t base = 30000 + static_cast<int64_t>(r.power[0]);
  for (std::size_t i = 0; i < r.temperature.size(); ++i) {
    const int64_t offset = static_cast<int64_t>(i % 5) * 700 + (i < 4 ? 2 * r.ai * 10 : 0);
    r.temperature[i] = static_cast<uint32_t>(base + offset + wobble(device, s, 50 + i, 400));
  }
  r.threshold = {85000, 95000, 105000};  // warning, critical, shutdown

  r.pin_voltage = {12000, 3300, 1800, 1200, 900, 750};
  for (std::size_t i = 0; i < r.pin_voltage.size(); ++i) {
    r.pin_voltage[i] += wobble(device, s, 70 + i, static_cast<int32_t>(r.pin_voltage[i] / 400));
  }
  // Compute, vector DSP, encoder, decoder, memory, interconnect, control
  // CPU, peripherals, PCIe reference, bus, image signal, JPEG.
  r.clock = {1000, 800, 600, 600, 2133, 500, 1200, 400, 100, 250, 300, 700};
  return r;
}

}  // namespace kyml
