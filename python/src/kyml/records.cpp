// kyml: conversions from the management library's records to their adaptors.
#include "kyml/records.h"

#include <algorithm>

#include "quillon/text.h"

namespace quillon {
namespace {

template <std::size_t N>
std::string field_text(const char (&field)[N]) {
  return std::string(fixed_text(field, N));
}

}  // namespace

kymlNodeBaseInfoPy::kymlNodeBaseInfoPy(const kymlNodeBaseInfo_struct& record)
    : kymlNodeBaseInfo_struct(record), name_text(field_text(record.name)) {}

kymlDieBaseInfoPy::kymlDieBaseInfoPy(const kymlDieBaseInfo_struct& record)
    : kymlDieBaseInfo_struct(record),
      index(kymlDieIndexPy_union::unpack(record.dieIndex)),
      kycc(record.kyccBaseInfo),
      render(record.renderBaseInfo),
      video(record.videoBaseInfo) {}

kymlAiDevInfoPy::kymlAiDevInfoPy(const kymlAiDevInfo_struct& record)
    : kymlAiDevInfo_struct(record), index(kymlDieIndexPy_union::unpack(record.dieIndex)), node(record.aiBaseInfo) {}

kymlCodecDevInfoPy::kymlCodecDevInfoPy(const kymlCodecDevInfo_struct& record)
    : kymlCodecDevInfo_struct(record),
      index(kymlDieIndexPy_union::unpack(record.dieIndex)),
      node(record.videoBaseInfo) {}

kymlPciInfoPy::kymlPciInfoPy(const kymlPciInfo_struct& record)
    : kymlPciInfo_struct(record),
      bus_id(field_text(record.busId)),
      card_node(record.pcieCardBaseInfo),
      version_node(record.pcieCardVersionBaseInfo),
      ctl_node(record.pcieCardCtlBaseInfo) {
  sub_id.word = record.pciSubId;
}

kymlCardInfoPy::kymlCardInfoPy(const kymlCardInfo_struct& record)
    : kymlCardInfo_struct(record),
      uuid_text(field_text(record.uuid)),
      type_name(field_text(record.cardTypeName)),
      pci(record.pciInfo),
      manage_node(record.manNodeBaseInfo) {
  // The record holds four die records whatever dieNum says.
  const uint32_t count = std::min<uint32_t>(record.dieNum, 4);
  dies.reserve(count);
  for (uint32_t i = 0; i < count; ++i) dies.emplace_back(record.dieInfo[i]);
}

void kymlMcuUtilizationRatePy::assign(const kymlMcuUtilizationRate_struct& record) {
  static_cast<kymlMcuUtilizationRate_struct&>(*this) = record;
  vdsp_list.assign(std::begin(record.vdsp), std::end(record.vdsp));
  vemcu_list.assign(std::begin(record.vemcu), std::end(record.vemcu));
  vdmcu_list.assign(std::begin(record.vdmcu), std::end(record.vdmcu));
}

kymlProcessInfoPy::kymlProcessInfoPy(const kymlProcessInfo_struct& record)
    : kymlProcessInfo_struct(record), name_text(field_text(record.name)) {}

}  // namespace quillon
