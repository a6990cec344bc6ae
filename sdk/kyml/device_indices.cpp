// The runtime's devices as the management library sees them: every die is
// one AI device and one codec device, numbered as the common runtime numbers
// its devices (card by card).
#include <cstring>

#include "inventory.h"
#include "kycore/c_boundary.h"

namespace {

template <class Record>
kymlOpStatus_enum describe_devices(Record* devices, uint32_t count,
                                   void (*fill)(kymlNodeBaseInfo_struct*, const kycore::Platform&, std::size_t),
                                   kymlNodeBaseInfo_struct Record::*node) {
  KYML_REQUIRE_INIT();
  if (count == 0) return KYML_SUCCESS;
  if (devices == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  const auto platform = kycore::current_platform();
  // Entries past the platform's devices are left as the caller gave them.
  for (uint32_t i = 0; i < count; ++i) {
    std::size_t card = 0, die = 0;
    if (!platform->locate(i, &card, &die)) break;
    std::memset(&devices[i], 0, sizeof devices[i]);
    devices[i].dieIndex = kyml::die_index_word(*platform, card, die);
    fill(&(devices[i].*node), *platform, i);
  }
  return KYML_SUCCESS;
}

kymlOpStatus_enum count_devices(uint32_t* count) {
  KYML_REQUIRE_INIT();
  if (count == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  *count = static_cast<uint32_t>(kycore::current_platform()->device_count());
  return KYML_SUCCESS;
}

}  // namespace

extern "C" {

KY_EXPORT kymlOpStatus_enum kymlGetAiDeviceCount(uint32_t* count) try {
  KYML_GATE("kymlGetAiDeviceCount", ::kycore::clear_output(count), count);
  return count_devices(count);
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetCodecDeviceCount(uint32_t* count) try {
  KYML_GATE("kymlGetCodecDeviceCount", ::kycore::clear_output(count), count);
  return count_devices(count);
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetAiDevInfo(kymlAiDevInfo_struct* devices, uint32_t count) try {
  KYML_GATE("kymlGetAiDevInfo", {}, devices, count);
  return describe_devices(devices, count, &kyml::fill_kycc_node, &kymlAiDevInfo_struct::aiBaseInfo);
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetCodecDevInfo(kymlCodecDevInfo_struct* devices, uint32_t count) try {
  KYML_GATE("kymlGetCodecDevInfo", {}, devices, count);
  return describe_devices(devices, count, &kyml::fill_video_node, &kymlCodecDevInfo_struct::videoBaseInfo);
}
KYML_CATCH

KY_EXPORT kymlOpStatus_enum kymlGetDieIndexByDevIndex(uint32_t devIndex, kymlDieIndex* dieIndex) try {
  KYML_GATE("kymlGetDieIndexByDevIndex", ::kycore::clear_output(dieIndex), devIndex, dieIndex);
  KYML_REQUIRE_INIT();
  if (dieIndex == nullptr) return KYML_ERROR_INPUT_PARAMETER_NULL;
  const auto platform = kycore::current_platform();
  std::size_t card = 0, die = 0;
  if (!platform->locate(devIndex, &card, &die)) return KYML_ERROR_CARD_NOTFOUND;
  *dieIndex = kyml::die_index_word(*platform, card, die);
  return KYML_SUCCESS;
}
KYML_CATCH

}  // extern "C"
