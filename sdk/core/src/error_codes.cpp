// The table of return codes and their descriptions.
#include "kycore/error_codes.h"

#include <iterator>

#include "kyce.h"

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
    {KYCM_CONFIG_INVALID, "KYCM_CONFIG_INVALID",
     "The platform configuration has a missing, mistyped or out-of-range value."},
    {KYCM_INVALID_ADDRESS, "KYCM_INVALID_ADDRESS", "The address is not inside a live allocation."},
    {KYCM_OUT_OF_RANGE, "KYCM_OUT_OF_RANGE", "The range does not lie inside its allocation."},
    {KYCM_WRONG_MEMORY_KIND, "KYCM_WRONG_MEMORY_KIND",
     "The memory is not of the kind (host or device) the call expects."},
    {KYCM_INDEX_OUT_OF_RANGE, "KYCM_INDEX_OUT_OF_RANGE", "The index is beyond the number of elements."},
    {KYCM_DATASET_MODE, "KYCM_DATASET_MODE", "The dataset holds the other kind of element (buffers or tensors)."},
    {KYCM_INVALID_SHAPE, "KYCM_INVALID_SHAPE", "The shape has too many dimensions or a negative dimension."},
    {KYCM_INVALID_DATA_TYPE, "KYCM_INVALID_DATA_TYPE", "The data type is not one the call accepts."},
    {KYCM_IO_ERROR, "KYCM_IO_ERROR", "A file could not be read or written."},
    {KYCM_WRONG_DEVICE, "KYCM_WRONG_DEVICE", "The memory does not belong to the device given."},
    {KYCM_WRONG_ALLOCATOR, "KYCM_WRONG_ALLOCATOR",
     "The memory comes from the other allocator: free what malloc gave, freeModelInOut what mallocModelInOut gave."},
    {KYCM_LOG_DESTINATION, "KYCM_LOG_DESTINATION", "The log destination (QUILLON_LOG) cannot be opened for writing."},
    {KYCM_LOG_CONFIG, "KYCM_LOG_CONFIG", "QUILLON_LOG_LEVEL is not a level name (trace ... fatal) or number (0 to 6)."},
    {KYCM_INVALID_COPY_TYPE, "KYCM_INVALID_COPY_TYPE", "The copy type is not one of the copy directions."},
    {KYCM_SHARED_STATE_REFUSED, "KYCM_SHARED_STATE_REFUSED",
     "The state shared by the processes using the card was refused (another layout version, size or owner, or "
     "values out of range); the log says why."},
    {KYCM_INTERNAL_ERROR, "KYCM_INTERNAL_ERROR", "The library failed unexpectedly; the call did not complete."},
    {KYCM_INVALID_DEVICE_TYPE, "KYCM_INVALID_DEVICE_TYPE", "The device type is neither kycmDE_CPU nor kycmDE_KYCC."},
    {KYCM_MEMORY_OWNED_BY_TENSOR, "KYCM_MEMORY_OWNED_BY_TENSOR",
     "The memory belongs to a tensor that took ownership of it: destroy the tensor to release it."},
    {KYME_WARN_MORE_DATA, "KYME_WARN_MORE_DATA", "The decoder needs more input before it can give a picture."},
    {KYME_WARN_EOS, "KYME_WARN_EOS", "The end of the stream was reached."},
    {KYME_WARN_DAMAGED, "KYME_WARN_DAMAGED",
     "The picture handed out last was decoded with damage concealed (its data ended early)."},
    {KYME_INVALID_ARGUMENT, "KYME_INVALID_ARGUMENT", "A media engine argument is null or out of its range."},
    {KYME_NOT_INITIALIZED, "KYME_NOT_INITIALIZED", "The media engine is not initialized: call systemInitialize first."},
    {KYME_ALREADY_INITIALIZED, "KYME_ALREADY_INITIALIZED", "The media engine is already initialized."},
    {KYME_INVALID_CHANNEL, "KYME_INVALID_CHANNEL",
     "The channel number is not one of the platform's decoder channels for this codec, or no channel is created "
     "there."},
    {KYME_CHANNEL_BUSY, "KYME_CHANNEL_BUSY", "A channel is already created on this channel number."},
    {KYME_WRONG_STATE, "KYME_WRONG_STATE", "The channel is not in a state that allows the call."},
    {KYME_TIMEOUT, "KYME_TIMEOUT", "The time-out passed before the channel could take the input or give an output."},
    {KYME_UNSUPPORTED_STREAM, "KYME_UNSUPPORTED_STREAM",
     "The stream uses a coding the decoder does not support (lossless JPEG, or a size or format beyond its limits)."},
    {KYME_CORRUPT_STREAM, "KYME_CORRUPT_STREAM", "The stream is corrupt and gave no picture."},
    {KYME_UNKNOWN_FRAME, "KYME_UNKNOWN_FRAME",
     "The frame is not a picture this channel gave out, or it was already released."},
    {KYME_OUT_OF_MEMORY, "KYME_OUT_OF_MEMORY", "The device has not enough free memory for the decoder's pictures."},
    {KYME_UNSUPPORTED_CONFIG, "KYME_UNSUPPORTED_CONFIG",
     "The encoder cannot work with this configuration or per-picture request (see the encoder's table in docs/kyme.md)."},
    {KYME_UNKNOWN_STREAM, "KYME_UNKNOWN_STREAM",
     "The stream is not one this encoder channel gave out, or it was already released."},
    {KYME_UNSUPPORTED_FORMAT, "KYME_UNSUPPORTED_FORMAT",
     "The picture's pixel format, size or strides do not suit the encoder channel."},
    {KYME_ENCODE_FAILED, "KYME_ENCODE_FAILED", "The codec refused the picture."},
    {KYME_INTERNAL_ERROR, "KYME_INTERNAL_ERROR", "The media engine failed unexpectedly; the call did not complete."},
    // preprocess op engine (its codes are kyce.h's kyceER_ macros)
    {kyceER_NULL_ARGUMENT, "kyceER_NULL_ARGUMENT", "A handle, record or array is null."},
    {kyceER_INVALID_FORMAT, "kyceER_INVALID_FORMAT", "The image format is not one the op takes for that image."},
    {kyceER_INVALID_DATA_TYPE, "kyceER_INVALID_DATA_TYPE", "The data type is outside 1 to 8."},
    {kyceER_INVALID_SIZE, "kyceER_INVALID_SIZE",
     "A size is not positive, odd for YUV, outside the source, or does not match the others."},
    {kyceER_INVALID_PITCH, "kyceER_INVALID_PITCH", "A pitch is smaller than its size, or odd for YUV."},
    {kyceER_INVALID_MEMORY, "kyceER_INVALID_MEMORY",
     "The memory is not device memory, or the buffer is smaller than its description."},
    {kyceER_INVALID_TYPE, "kyceER_INVALID_TYPE", "The enumeration value is not one the op knows."},
    {kyceER_INVALID_PARAMETER, "kyceER_INVALID_PARAMETER",
     "A parameter is out of its range (a count of 0, a singular matrix, an index beyond the list)."},
    {kyceER_OPERATION_FAILED, "kyceER_OPERATION_FAILED", "The operation could not run (host memory exhausted)."},
    {kyceER_OP_NOT_SUPPORTED, "kyceER_OP_NOT_SUPPORTED", "The op type is not one the library implements."},
    {kyceER_ATTR_NAME, "kyceER_ATTR_NAME", "The op has no attribute of that name."},
    {kyceER_ATTR_TYPE, "kyceER_ATTR_TYPE", "The data or parameter type is not the attribute's."},
    {kyceER_ATTR_INDEX, "kyceER_ATTR_INDEX", "The index is outside the attribute's elements."},
    {kyceER_INVALID_HANDLE, "kyceER_INVALID_HANDLE", "The handle is not a live customized-op info or op."},
    {kyceER_PLUGIN_LOAD, "kyceER_PLUGIN_LOAD", "The plug-in library could not be loaded (see the runtime log)."},
    {kyceER_PLUGIN_INVALID, "kyceER_PLUGIN_INVALID",
     "The library is not a plug-in of customized ops (no entry point, another interface version, a bad table)."},
    {kyceER_PLUGIN_RELEASED, "kyceER_PLUGIN_RELEASED", "The customized-op info was already unloaded or destroyed."},
    {kyceER_UNKNOWN_OP_NAME, "kyceER_UNKNOWN_OP_NAME", "The plug-in has no op of that name."},
    {kyceER_PLUGIN_UNSUPPORTED, "kyceER_PLUGIN_UNSUPPORTED", "The op takes no configuration of that kind."},
    {kyceER_PLUGIN_FAILED, "kyceER_PLUGIN_FAILED", "The plug-in reported a failure (see the runtime log)."},
    {KYCL_WAIT_MORE_INPUT, "KYCL_WAIT_MORE_INPUT", "The request was queued; its result comes with a later one."},
    {KYCL_INVALID_GRAPH, "KYCL_INVALID_GRAPH",
     "The op graph has an unfed op, a cycle, no registered output, or mismatched shapes."},
    {KYCL_STREAM_NOT_BUILT, "KYCL_STREAM_NOT_BUILT", "The stream is not built: call buildStream first."},
    {KYCL_STREAM_BUILT, "KYCL_STREAM_BUILT", "The stream is already built."},
    {KYCL_UNSUPPORTED_MODEL, "KYCL_UNSUPPORTED_MODEL", "The model file cannot be read or run by the inference engine."},
    {KYCL_TIMEOUT, "KYCL_TIMEOUT", "The stream's queued requests did not all complete within the time-out."},
    {KYCL_BATCH_TOO_LARGE, "KYCL_BATCH_TOO_LARGE", "The batch size is zero or above the model's maximum."},
    {KYCM_NOT_IMPLEMENTED, "KYCM_NOT_IMPLEMENTED", "The function is not implemented."},

    // management library (its codes are those of its kymlOpStatus_enum)
    {70001, "KYML_ERROR_UNINITIALIZED", "The management library is not initialized: call init first."},
    {70002, "KYML_ERROR_INITIALIZED", "The management library is already initialized."},
    {70003, "KYML_ERROR_FETCH_API", "A driver interface of the management library could not be reached."},
    {70004, "KYML_ERROR_CARD_EMPTY", "No card is present."},
    {70005, "KYML_ERROR_INITI_FAIL", "The management library failed to initialize."},
    {70006, "KYML_ERROR_CARD_NOTFOUND", "No card, die or device matches the given handle, index or identifier."},
    {70007, "KYML_ERROR_INPUT_PARAMETER_NULL", "A required pointer or text argument is null."},
    {70008, "KYML_ERROR_INPUT_PARAMETER_ERROR", "An argument is malformed or out of its range."},
    {70009, "KYML_ERROR_PCIE_MAJOR_ERROR", "The PCIe management node has an unexpected major number."},
    {70010, "KYML_USER_BUF_INSUFFICIENT", "The caller's buffer is too small for the result."},
    {70011, "KYML_ERROR_CALLBACK_INITIALIZED", "The callback is already registered."},
    {70012, "KYML_ERROR_CALLBACK_UNINITIALIZED", "No callback is registered."},
    {70013, "KYML_ERROR_PROFILER_ALREADY_RUNNING", "The profiler is already running."},
    {70014, "KYML_ERROR_PROFILER_ALREADY_STOP", "The profiler is already stopped, or its export file type is invalid."},
    {70016, "KYML_ERROR_PROFILER_EXPORT_FOLDER_PATH_INVALID", "The profiler's export folder is not a usable path."},
    {70017, "KYML_ERROR_AI_SCRIPT_PATH_INVALID", "The AI script path is not valid."},
    {70018, "KYML_ERROR_AI_SCRIPT_ROOT_PERMISSION", "The AI script needs root permission."},
    {79999, "KYML_ERROR_MAX", "The upper bound of the management library's codes."},
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
