// Dies: counting and lookups, sensors, utilisation and the processes that
// use a die.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "inventory.h"
#include "kycore/c_boundary.h"
#include "kycore/device_memory.h"
#include "kycore/shared_state.h"
#include "sensors.h"

using kyml::DieRef;

namespace {

template <class Record, std::size_t N>
void store_readings(Record* record, uint32_t unit, uint32_t (&field)[N], const std::array<uint32_t, N>& values) {
  record->unit = unit;
  std::copy(values.begin(), values.end(), field);
}

// This process, as one entry of a die's process list.
void describe_self(kymlProcessInfo_struct* info, std::size_t device) {
  std::memset(info, 0, sizeof *info);
  info->pid = static_cast<int32_t>(getpid());
  const uint64_t used = kycore::DeviceMemory::instance().used(static_cast<int32_t>(device));
  const uint64_t mebibytes = (used + (1ull << 20) - 1) >> 20;  // a started MiB counts
  info->memused = static_cast<int32_t>(std::min<uint64_t>(mebibytes, INT32_MAX));
  const char* name = program_invocation_short_name;
  std::strncpy(info->name, name != nullptr ? name : "", sizeof info->name - 1);
}

// Every process using the die, from the card's state: one entry per pid
// (a process may hold several attachments), its memory summed.
bool describe_card_users(std::size_t device, std::vector<kymlProcessInfo_struct>* found) {
  kycore::SharedDie die;
  if (!kycore::shared_state()->read_die(static_cast<int32_t>(device), &die)) return false;
  std::vector<uint64_t> bytes;
  for (const auto& user : die.users) {
    auto same = std::find_if(found->begin(), found->end(), [&](const auto& p) { return p.pid == user.pid; });
    if (same == found->end()) {
      kymlProcessInfo_struct info{};
      info.pid = user.pid;
      std::strncpy(info.name, user.name.c_str(), sizeof info.name - 1);
      found->push_back(info);
      bytes.push_back(0);
      same = found->end() - 1;
    }
    bytes[static_cast<std::size_t>(same - found->begin())] += user.memory;
  }
  for (std::size_t i = 0; i < found->size(); ++i) {
    const uint64_t mebibytes = (bytes[i] + (1ull << 20) - 1) >> 20;  // a started MiB counts
    (*found)[i].memused = static_cast<int32_t>(std::min<uint64_t>(mebibytes, INT32_MAX));
  }
  return true;
}

// The die's processes: with `card_wide` and a shared state every process
// on the card, otherwise this one when `listed` says it uses the die.
kymlOpStatus_enum list_processes(uint64_t die, kymlProcessInfo_struct* processes, uint32_t* count, uint32_t capacity,
                                 bool (*listed)(std::size_t), bool card_wide) {
  KYML_REQUIRE_INIT();
  if (count == nullptr || (processes == nullptr && capacity > 0)) return KYML_ERROR_INPUT_PARAMETER_NULL;
  DieRef ref;
  if (const auto status = kyml::find_die(die, &ref); status != KYML_SUCCESS) return status;
  *count = 0;
  if (kyml::card_state_refused()) return KYML_ERROR_FETCH_API;
  std::vector<kymlProcessInfo_struct> found;
  if (card_wide && kycore::shared_state()) {
    if (!describe_card_users(ref.device, &found)) return KYML_ERROR_FETCH_API;
  } else if (listed(ref.device)) {
    found.resize(1);
    describe_self(&found[0], ref.device);
  }
  const std::size_t written = std::min<std::size_t>(found.size(), capacity);
  std::copy(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(written), processes);
  *count = static_cast<uint32_t>(written);
  return written < found.size() ? KYML_USER_BUF_INSUFFICIENT : KYML_SUCCESS;
}

// Looks the die up and reads its sensors; the common opening of the sensor calls.
#define KYML_READ_DIE(die, record, readings)                                                      \
  KYML_REQUIRE_INIT();                                                                            \
  if ((record) == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;                                \
  DieRef ref_;                                                                                    \
  if (const auto status_ = kyml::find_die((die), &ref_); status_ != KYML_SUCCESS) return status_; \
  if (kyml::card_state_refused()) return KYML_ERROR_FETCH_API;                                    \
  const kyml::DieReadings readings = kyml::read_die(ref_)

}  // namespace

extern "C" {

KY_EXPORT kymlOpStatus_enum kymlGetDieCount(uint64_t card, uint32_t* count) try {
  KYML_GATE("kymlGetDieCount", ::kycore::clear_output(count), card, count);
  KYML_REQUIRE_INIT();
  if (count == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  kyml::CardRef ref;
  if (const auto status = kyml::find_card(card, &ref); status != KYML_SUCCESS) return status;
  *count = static_cast<uint32_t>(ref.config().dies.size());
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetDieInfo(uint64_t card, kymlDieBaseInfo_struct* dies, uint32_t* count,
                                           uint32_t capacity) try {
  KYML_GATE("kymlGetDieInfo", ::kycore::clear_output(count), card, dies, count, capacity);
  KYML_REQUIRE_INIT();
  if (count == nullptr || dies == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  kyml::CardRef ref;
  if (const auto status = kyml::find_card(card, &ref); status != KYML_SUCCESS) return status;
  const std::size_t total = ref.config().dies.size();
  const std::size_t filled = std::min<std::size_t>(total, capacity);
  for (std::size_t d = 0; d < filled; ++d) kyml::fill_die_info(&dies[d], *ref.platform, ref.card, d);
  *count = static_cast<uint32_t>(filled);
  return filled < total ? KYML_USER_BUF_INSUFFICIENT : KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetDieHandleByIndex(uint64_t card, uint32_t index, uint64_t* die) try {
  KYML_GATE("kymlGetDieHandleByIndex", ::kycore::clear_output(die), card, index, die);
  KYML_REQUIRE_INIT();
  if (die == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  kyml::CardRef ref;
  if (const auto status = kyml::find_card(card, &ref); status != KYML_SUCCESS) return status;
  if (index >= ref.config().dies.size()) return KYML_ERROR_CARD_NOTFOUND;
  *die = kyml::die_handle(ref.config(), index);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetDieHandleByDieIndex(uint32_t dieIndex, uint64_t* die) try {
  KYML_GATE("kymlGetDieHandleByDieIndex", ::kycore::clear_output(die), dieIndex, die);
  KYML_REQUIRE_INIT();
  if (die == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  const auto platform = kycore::current_platform();
  for (std::size_t c = 0; c < platform->cards.size(); ++c) {
    for (std::size_t d = 0; d < platform->cards[c].dies.size(); ++d) {
      if (kyml::die_index_word(*platform, c, d) == dieIndex) {
        *die = kyml::die_handle(platform->cards[c], d);
        return KYML_SUCCESS;
      }
    }
  }
  return KYML_ERROR_CARD_NOTFOUND;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetPllClocks(uint64_t die, kymlPllClock_struct* clocks) try {
  KYML_GATE("kymlGetPllClocks", ::kycore::clear_output(clocks), die, clocks);
  KYML_READ_DIE(die, clocks, r);
  store_readings(clocks, 1, clocks->clockArray, r.clock);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetTemperature(uint64_t die, kymlTemperature_struct* temperature) try {
  KYML_GATE("kymlGetTemperature", ::kycore::clear_output(temperature), die, temperature);
  KYML_READ_DIE(die, temperature, r);
  store_readings(temperature, kyml::kMilli, temperature->temperature, r.temperature);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetPower(uint64_t die, kymlPower_struct* power) try {
  KYML_GATE("kymlGetPower", ::kycore::clear_output(power), die, power);
  KYML_READ_DIE(die, power, r);
  store_readings(power, kyml::kMilli, power->power, r.power);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetPinVolt(uint64_t die, kymlPinVolt_struct* volt) try {
  KYML_GATE("kymlGetPinVolt", ::kycore::clear_output(volt), die, volt);
  KYML_READ_DIE(die, volt, r);
  store_readings(volt, kyml::kMilli, volt->pinVolt, r.pin_voltage);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetPowerCur(uint64_t die, kymlPowerCur_struct* current) try {
  KYML_GATE("kymlGetPowerCur", ::kycore::clear_output(current), die, current);
  KYML_READ_DIE(die, current, r);
  store_readings(current, kyml::kMilli, current->powerCur, r.rail_current);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetPowerVolt(uint64_t die, kymlPowerVolt_struct* volt) try {
  KYML_GATE("kymlGetPowerVolt", ::kycore::clear_output(volt), die, volt);
  KYML_READ_DIE(die, volt, r);
  store_readings(volt, kyml::kMilli, volt->powerVolt, r.rail_voltage);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetTempThreshold(uint64_t die, kymlTempThreshold_struct* threshold) try {
  KYML_GATE("kymlGetTempThreshold", ::kycore::clear_output(threshold), die, threshold);
  KYML_READ_DIE(die, threshold, r);
  store_readings(threshold, kyml::kMilli, threshold->tempThreshold, r.threshold);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetMemUtilizationRate(uint64_t die, kymlMemUtilizationRate_stuct* rate) try {
  KYML_GATE("kymlGetMemUtilizationRate", ::kycore::clear_output(rate), die, rate);
  KYML_READ_DIE(die, rate, r);
  rate->total = r.memory_total;
  rate->used = r.memory_used;
  rate->free = r.memory_total - r.memory_used;
  rate->utilizationRate = static_cast<int32_t>(r.memory_used * 100 / r.memory_total);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetMcuUtilizationRate(uint64_t die, kymlMcuUtilizationRate_struct* rate) try {
  KYML_GATE("kymlGetMcuUtilizationRate", ::kycore::clear_output(rate), die, rate);
  KYML_READ_DIE(die, rate, r);
  rate->ai = r.ai;
  std::copy(r.vdsp.begin(), r.vdsp.end(), rate->vdsp);
  std::copy(r.vemcu.begin(), r.vemcu.end(), rate->vemcu);
  std::copy(r.vdmcu.begin(), r.vdmcu.end(), rate->vdmcu);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetUtilizationRate(uint64_t die, kymlUtilizationRate_struct* rate) try {
  KYML_GATE("kymlGetUtilizationRate", ::kycore::clear_output(rate), die, rate);
  KYML_READ_DIE(die, rate, r);
  const auto average = [](const auto& cores) {
    int64_t sum = 0;
    for (auto v : cores) sum += v;
    return static_cast<int32_t>(sum / static_cast<int64_t>(cores.size()));
  };
  rate->ai = r.ai;
  rate->vdsp = average(r.vdsp);
  rate->vemcu = average(r.vemcu);
  rate->vdmcu = average(r.vdmcu);
  return KYML_SUCCESS;
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetRunningProcesses(uint64_t die, kymlProcessInfo_struct* processes, uint32_t* count,
                                                    uint32_t capacity) try {
  KYML_GATE("kymlGetRunningProcesses", ::kycore::clear_output(count), die, processes, count, capacity);
  return list_processes(die, processes, count, capacity, &kyml::process_uses, true);
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetNetWorkRunningInfo(uint64_t die, kymlProcessInfo_struct* processes, uint32_t* count,
                                                      uint32_t capacity) try {
  KYML_GATE("kymlGetNetWorkRunningInfo", ::kycore::clear_output(count), die, processes, count, capacity);
  return list_processes(die, processes, count, capacity, &kyml::process_runs_models, false);
}
KYML_CATCH

}  // extern "C"
