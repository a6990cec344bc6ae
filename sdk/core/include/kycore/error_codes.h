// Every return code the host SDK gives out, with its description. One table
// serves all five libraries so that codes never collide between them.
#pragma once

#include <cstdint>

#include "kycore/export.h"

namespace kycore {

// Code ranges: kycm 100000s, kyce 200000s (kyceER_ in kyce.h), kycl
// 300000s, kyme 400000s, kyml 70000s. 999991 is the runtime's "not implemented".
enum Code : uint32_t {
  OK = 0,

  // common runtime
  KYCM_INVALID_ARGUMENT = 100001,
  KYCM_NOT_INITIALIZED = 100002,
  KYCM_ALREADY_INITIALIZED = 100003,
  KYCM_INVALID_DEVICE = 100004,
  KYCM_INVALID_HANDLE = 100005,
  KYCM_NO_CURRENT_DEVICE = 100006,
  KYCM_BUFFER_TOO_SMALL = 100007,
  KYCM_OUT_OF_MEMORY = 100008,
  KYCM_OUT_OF_HOST_MEMORY = 100009,
  KYCM_CONFIG_UNREADABLE = 100010,
  KYCM_CONFIG_SYNTAX = 100011,
  KYCM_CONFIG_INVALID = 100012,
  KYCM_INVALID_ADDRESS = 100013,
  KYCM_OUT_OF_RANGE = 100014,
  KYCM_WRONG_MEMORY_KIND = 100015,
  KYCM_INDEX_OUT_OF_RANGE = 100016,
  KYCM_DATASET_MODE = 100017,
  KYCM_INVALID_SHAPE = 100018,
  KYCM_INVALID_DATA_TYPE = 100019,
  KYCM_IO_ERROR = 100020,
  // data buffers, datasets, tensors, utilities
  KYCM_INVALID_DEVICE_TYPE = 100030,
  KYCM_MEMORY_OWNED_BY_TENSOR = 100031,
  // device memory, copies and logging
  KYCM_WRONG_DEVICE = 100050,
  KYCM_WRONG_ALLOCATOR = 100051,
  KYCM_LOG_DESTINATION = 100052,
  KYCM_LOG_CONFIG = 100053,
  KYCM_INVALID_COPY_TYPE = 100054,
  // the state shared with the other processes on the card
  KYCM_SHARED_STATE_REFUSED = 100060,
  // what a C function returns for an exception it caught (also kycl's)
  KYCM_INTERNAL_ERROR = 100090,

  // media engine: warnings 401xxx, errors from 402000
  KYME_WARN_MORE_DATA = 401001,
  KYME_WARN_EOS = 401002,
  // decStatus.result while the picture last handed out was decoded with
  // damage concealed (data that ended early): the picture is whole, its
  // content partly made up
  KYME_WARN_DAMAGED = 401003,
  KYME_INVALID_ARGUMENT = 402001,
  KYME_NOT_INITIALIZED = 402002,
  KYME_ALREADY_INITIALIZED = 402003,
  // decoder channels
  KYME_INVALID_CHANNEL = 402004,
  KYME_CHANNEL_BUSY = 402005,
  KYME_WRONG_STATE = 402006,
  KYME_TIMEOUT = 402007,
  KYME_UNSUPPORTED_STREAM = 402008,
  KYME_CORRUPT_STREAM = 402009,
  KYME_UNKNOWN_FRAME = 402010,
  KYME_OUT_OF_MEMORY = 402011,
  // encoder channels
  KYME_UNSUPPORTED_CONFIG = 402012,
  KYME_UNKNOWN_STREAM = 402013,
  KYME_UNSUPPORTED_FORMAT = 402014,
  KYME_ENCODE_FAILED = 402015,
  KYME_INTERNAL_ERROR = 402016,

  // accelerate language: models, op graphs and streams
  KYCL_WAIT_MORE_INPUT = 301041,
  KYCL_INVALID_GRAPH = 302001,
  KYCL_STREAM_NOT_BUILT = 302002,
  KYCL_STREAM_BUILT = 302003,
  KYCL_UNSUPPORTED_MODEL = 302004,
  KYCL_TIMEOUT = 302005,
  KYCL_BATCH_TOO_LARGE = 302006,

  KYCM_NOT_IMPLEMENTED = 999991,
};

struct CodeInfo {
  uint32_t code;
  const char* name;
  const char* description;
};

// The description of a code, or nullptr when the SDK never returns it.
KY_EXPORT const CodeInfo* find_code(uint32_t code);

// All known codes, for listing and tests.
KY_EXPORT const CodeInfo* code_table(std::size_t* count);

}  // namespace kycore
