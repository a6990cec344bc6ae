// Numeric utilities of the common runtime: element sizes, float16
// conversions, and the identity of a device on the platform.
#include "float16.h"
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/platform.h"
#include "kycore/test_control.h"
#include "objects.h"
#include "runtime_state.h"

using namespace kycore;

extern "C" {

KY_EXPORT kycmRet_t kycmGetDataTypeSize(kycmDType type, uint32_t* size) try {
  KY_GATE("kycmGetDataTypeSize", ::kycore::clear_output(size), type, size);
  if (size == nullptr) return KYCM_INVALID_ARGUMENT;
  const uint32_t bytes = kycm::element_size(type);
  if (bytes == 0) return KYCM_INVALID_DATA_TYPE;
  *size = bytes;
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmFloat16ToFloat32(uint16_t value, float* result) try {
  KY_GATE("kycmFloat16ToFloat32", ::kycore::clear_output(result), value, result);
  if (result == nullptr) return KYCM_INVALID_ARGUMENT;
  *result = kycm::half_to_float(value);
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmFloat32ToFloat16(float value, uint16_t* result) try {
  KY_GATE("kycmFloat32ToFloat16", ::kycore::clear_output(result), static_cast<double>(value), result);
  if (result == nullptr) return KYCM_INVALID_ARGUMENT;
  *result = kycm::float_to_half(value);
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmFloat16ToFloat32Array(const uint16_t* values, uint32_t count, float* results) try {
  KY_GATE("kycmFloat16ToFloat32Array", {}, values, count, results);
  if (count == 0) return OK;
  if (values == nullptr || results == nullptr) return KYCM_INVALID_ARGUMENT;
  kycm::half_to_float_array(values, count, results);
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmFloat32ToFloat16Array(const float* values, uint32_t count, uint16_t* results) try {
  KY_GATE("kycmFloat32ToFloat16Array", {}, values, count, results);
  if (count == 0) return OK;
  if (values == nullptr || results == nullptr) return KYCM_INVALID_ARGUMENT;
  kycm::float_to_half_array(values, count, results);
  return OK;
}
KYCM_CATCH

KY_EXPORT kycmRet_t kycmGetDeviceIdInfo(uint32_t device, uint32_t* cardId, uint32_t* dieId, uint32_t* pciBus) try {
  KY_GATE("kycmGetDeviceIdInfo", {}, device, cardId, dieId, pciBus);
  if (cardId == nullptr || dieId == nullptr || pciBus == nullptr) return KYCM_INVALID_ARGUMENT;
  if (!kycm::runtime().initialized.load()) return KYCM_NOT_INITIALIZED;
  const auto platform = current_platform();
  std::size_t card = 0, die = 0;
  if (!platform->locate(device, &card, &die)) return KYCM_INVALID_DEVICE;
  *cardId = platform->cards[card].card_id;
  *dieId = static_cast<uint32_t>(die);
  *pciBus = platform->cards[card].pci_bus;
  return OK;
}
KYCM_CATCH

}  // extern "C"
