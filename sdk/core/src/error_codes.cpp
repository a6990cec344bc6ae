// The table of return codes and their descriptions.
#include "kycore/error_codes.h"

#include <iterator>

namespace kycore {
namespace {

constexpr CodeInfo kCodes[] = {
    {OK, "OK", "Success."},
    {KYCM_INVALID_ARGUMENT, "KYCM_INVALID_ARGUMENT", "An argument is null or out of its range."},
    {KYCM_NOT_INITIALIZED, "KYCM_NOT_INITIALIZED", "The runtime is not initialized: call initialize first."},
    {KYCM_ALREADY_INITIALIZED, "KYCM_ALREADY_INITIALIZED", "The runtime is already initialized."},
    {KYCM_INVALID_DEVICE, "KYCM_INVALID_DEVICE", "The device index is not one of the platform's devices."},
    {KYCM_INVALID_HANDLE, "KYCM_INVALID_HANDLE", "The handle is unknown, destroyed, or of another kind."},
    {KYCM_NO_CURRENT_DEVICE, "KYCM_NO_CURRENT_DEVICE", "No device is selected for the process."},
    {KYCM_BUFFER_TOO_SMALL, "KYCM_BUFFER_TOO_SMALL", "The caller's buffer is too small for the result."},
    {KYCM_OUT_OF_MEMORY, "KYCM_OUT_OF_MEMORY", "The device has not enough free memory for the allocation."},
    {KYCM_OUT_OF_HOST_MEMORY, "KYCM_OUT_OF_HOST_MEMORY", "The host has not enough free memory for the allocation."},
    {KYCM_CONFIG_UNREADABLE, "KYCM_CONFIG_UNREADABLE", "The platform configuration file cannot be read."},
    {KYCM_CONFIG_SYNTAX, "KYCM_CONFIG_SYNTAX", "The platform configuration is not valid JSON."},
    {KYCM_CONFIG_INVALID, "KYCM_CONFIG_INVALID", "The platform configuration has a missing, mistyped or out-of-range value."},
    {KYCM_INVALID_ADDRESS, "KYCM_INVALID_ADDRESS", "The address is not inside a live allocation."},
    {KYCM_OUT_OF_RANGE, "KYCM_OUT_OF_RANGE", "The range does not lie inside its allocation."},
    {KYCM_WRONG_MEMORY_KIND, "KYCM_WRONG_MEMORY_KIND", "The memory is not of the kind (host or device) the call expects."},
    {KYCM_INDEX_OUT_OF_RANGE, "KYCM_INDEX_OUT_OF_RANGE", "The index is beyond the number of elements."},
    {KYCM_DATASET_MODE, "KYCM_DATASET_MODE", "The dataset holds the other kind of element (buffers or tensors)."},
    {KYCM_INVALID_SHAPE, "KYCM_INVALID_SHAPE", "The shape has too many dimensions or a negative dimension."},
    {KYCM_INVALID_DATA_TYPE, "KYCM_INVALID_DATA_TYPE", "The data type is not one the call accepts."},
    {KYCM_IO_ERROR, "KYCM_IO_ERROR", "A file could not be read or written."},
    {KYME_WARN_MORE_DATA, "KYME_WARN_MORE_DATA", "The decoder needs more input before it can give a picture."},
    {KYME_WARN_EOS, "KYME_WARN_EOS", "The end of the stream was reached."},
    {KYME_INVALID_ARGUMENT, "KYME_INVALID_ARGUMENT", "A media engine argument is null or out of its range."},
    {KYME_NOT_INITIALIZED, "KYME_NOT_INITIALIZED", "The media engine is not initialized: call systemInitialize first."},
    {KYME_ALREADY_INITIALIZED, "KYME_ALREADY_INITIALIZED", "The media engine is already initialized."},
    {KYCM_NOT_IMPLEMENTED, "KYCM_NOT_IMPLEMENTED", "The function is not implemented."},
};

}  // namespace

const CodeInfo* find_code(uint32_t code) {
  for (const auto& info : kCodes) {
    if (info.code == code) return &info;
  }
  return nullptr;
}

const CodeInfo* code_table(std::size_t* count) {
  if (count != nullptr) *count = std::size(kCodes);
  return kCodes;
}

}  // namespace kycore
