/* The common runtime library libkycm: devices, contexts, memory, data
 * buffers, datasets, tensors, float16 and logging. Every function returns 0
 * on success or an error code that kycmGetErrDesc describes. */
#ifndef KYCM_H
#define KYCM_H

#include <stdbool.h>

#include "ky_api.h"

KY_BEGIN_DECLS

typedef uint32_t kycmRet_t;

/* Data types and data buffers */
typedef enum kycmDType {
  kycmDT_UINT8 = 0,
  kycmDT_INT8 = 1,
  kycmDT_UINT16 = 2,
  kycmDT_INT16 = 3,
  kycmDT_UINT32 = 4,
  kycmDT_INT32 = 5,
  kycmDT_FLOAT16 = 6,
  kycmDT_FLOAT32 = 7,
  kycmDT_BFLOAT = 8,
  kycmDT_ANY = 99,
  KY_ENUM_RANGE(kycmDType)
} kycmDType;

typedef enum kycmDeviceType { kycmDE_CPU = 1, kycmDE_KYCC = 14, KY_ENUM_RANGE(kycmDeviceType) } kycmDeviceType;

/* Where a block of memory lives: host (kycmDE_CPU) or one of the devices. */
typedef struct kycmDeviceInfo {
  kycmDeviceType deviceType;
  uint32_t deviceIdx;
} kycmDeviceInfo;

KY_API kycmRet_t kycmCreateDataBuffer(kycmDeviceInfo info, void* address, uint64_t size, void** buffer);
KY_API kycmRet_t kycmCreateDataBufferFromContext(kycmDeviceType type, void* address, uint64_t size, void** buffer);
KY_API kycmRet_t kycmDestroyDataBuffer(void* buffer);
KY_API kycmRet_t kycmGetDataBufferAddr(void* buffer, void** address);
KY_API kycmRet_t kycmGetDataBufferSize(void* buffer, uint64_t* size);
KY_API kycmRet_t kycmGetDataBufferDeviceInfo(void* buffer, kycmDeviceInfo* info);
KY_API kycmRet_t kycmUpdateDataBuffer(void* buffer, kycmDeviceInfo info, void* address, uint64_t size);

/* Datasets */
typedef enum kycmDatasetMode { kycmDM_BUFFER = 0, kycmDM_TENSOR = 1, KY_ENUM_RANGE(kycmDatasetMode) } kycmDatasetMode;

KY_API kycmRet_t kycmCreateDataset(kycmDatasetMode mode, void** dataset);
KY_API kycmRet_t kycmDestroyDataset(void* dataset);
KY_API kycmRet_t kycmAddDatasetBuffer(void* dataset, void* buffer);
KY_API kycmRet_t kycmGetDatasetBufferCount(void* dataset, uint32_t* count);
KY_API kycmRet_t kycmGetDatasetBuffer(void* dataset, int32_t index, void** buffer);
KY_API kycmRet_t kycmAddDatasetTensor(void* dataset, void* tensor);
KY_API kycmRet_t kycmGetDatasetTensorCount(void* dataset, uint32_t* count);
KY_API kycmRet_t kycmGetDatasetTensor(void* dataset, int32_t index, void** tensor);
KY_API kycmRet_t kycmGetDatasetMode(void* dataset, kycmDatasetMode* mode);
KY_API kycmRet_t kycmGetDatasetUserCtx(void* dataset, void** context);
KY_API kycmRet_t kycmSetDatasetUserCtx(void* dataset, void* context);
KY_API kycmRet_t kycmClearDataset(void* dataset);
/* Destroys the dataset and every data buffer or tensor it holds. */
KY_API kycmRet_t kycmDestroyDatasetAll(void* dataset);

/* Tensors */
#define KYCM_MAX_DIMS 6

typedef struct kycmShape {
  uint32_t ndims;
  int64_t dims[KYCM_MAX_DIMS];
} kycmShape;

KY_API kycmRet_t kycmCreateTensor(kycmDeviceInfo info, kycmShape shape, kycmDType type, void** tensor);
/* `takeOwnership`: true hands the data handle to the tensor, which frees it
 * when it is destroyed; false leaves it to the caller. */
KY_API kycmRet_t kycmCreateTensorWithDataHandle(kycmDeviceInfo info, kycmShape shape, kycmDType type, void* data,
                                                bool takeOwnership, void** tensor);
KY_API kycmRet_t kycmDestroyTensor(void* tensor);
KY_API kycmRet_t kycmGetTensorDataHandle(void* tensor, void** data);
KY_API kycmRet_t kycmSetTensorDataHandle(void* tensor, void* data, bool takeOwnership);
KY_API kycmRet_t kycmGetTensorDeviceInfo(void* tensor, kycmDeviceInfo* info);
KY_API kycmRet_t kycmGetTensorShape(void* tensor, kycmShape* shape);
KY_API kycmRet_t kycmSetTensorShape(void* tensor, const kycmShape* shape);
KY_API kycmRet_t kycmGetTensorDataType(void* tensor, kycmDType* type);
KY_API kycmRet_t kycmSetTensorDataType(void* tensor, kycmDType type);
/* The tensor's size in bytes: the product of its dimensions times the
 * element size. */
KY_API kycmRet_t kycmGetTensorSize(void* tensor, uint64_t* size);

/* Devices, initialisation and contexts */
KY_API kycmRet_t kycmSetDevice(uint32_t device);
KY_API kycmRet_t kycmResetDevice(uint32_t device);
KY_API kycmRet_t kycmGetDevice(uint32_t* device);
KY_API kycmRet_t kycmInitialize(const char* config);
KY_API kycmRet_t kycmUninitialize(void);
KY_API kycmRet_t kycmGetVersion(const char** version, int32_t* major, int32_t* minor, int32_t* patch, int32_t* build);
KY_API kycmRet_t kycmGetErrDesc(uint32_t code, char* buffer, uint32_t length);
KY_API kycmRet_t kycmCreateContext(uint32_t device, void** context);
KY_API kycmRet_t kycmDestroyContext(void* context);
KY_API kycmRet_t kycmSetCurrentContext(void* context);
KY_API kycmRet_t kycmGetCurrentContext(void** context);

/* Device memory and copies */
typedef enum {
  kycmCT_COPY_FROM_DEVICE = 0,
  kycmCT_COPY_TO_DEVICE = 1,
  kycmCT_COPY_DEVICE_TO_DEVICE = 2,
  KY_ENUM_RANGE(kycmCopyMemType)
} kycmCopyMemType;
KY_API kycmRet_t kycmMalloc(uint64_t size, void** address);
KY_API kycmRet_t kycmFree(void* address);
KY_API kycmRet_t kycmMallocModelInOut(uint64_t size, void** address);
KY_API kycmRet_t kycmFreeModelInOut(void* address);
KY_API kycmRet_t kycmMemcpy(const void* source, void* destination, uint64_t size, kycmCopyMemType type);
KY_API kycmRet_t kycmMemcpyAsync(const void* source, void* destination, uint64_t size, kycmCopyMemType type,
                                 void* stream);
KY_API kycmRet_t kycmMemcpyDevices(const void* source, uint32_t source_device, void* destination,
                                   uint32_t destination_device, uint64_t size);
KY_API kycmRet_t kycmMemcpyDevicesAsync(const void* source, uint32_t source_device, void* destination,
                                        uint32_t destination_device, uint64_t size, void* stream);
KY_API kycmRet_t kycmMemset(void* address, int32_t value, uint64_t size);
KY_API kycmRet_t kycmMemsetAsync(void* address, int32_t value, uint64_t size, void* stream);

/* Numeric and host utilities */
KY_API kycmRet_t kycmGetDataTypeSize(kycmDType type, uint32_t* size);
/* IEEE 754 binary16 <-> binary32, rounding to nearest even. */
KY_API kycmRet_t kycmFloat16ToFloat32(uint16_t value, float* result);
KY_API kycmRet_t kycmFloat32ToFloat16(float value, uint16_t* result);
KY_API kycmRet_t kycmFloat16ToFloat32Array(const uint16_t* values, uint32_t count, float* results);
KY_API kycmRet_t kycmFloat32ToFloat16Array(const float* values, uint32_t count, uint16_t* results);
/* The card id, the die's index on its card and the card's PCI bus number. */
KY_API kycmRet_t kycmGetDeviceIdInfo(uint32_t device, uint32_t* cardId, uint32_t* dieId, uint32_t* pciBus);
KY_API kycmRet_t kycmMallocHost(uint64_t size, void** address);
KY_API kycmRet_t kycmFreeHost(void* address);

/* Logging */
typedef enum {
  kycmLC_APP = 0,
  kycmLC_CM = 1,
  kycmLC_CE = 2,
  kycmLC_CL = 3,
  kycmLC_ME = 4,
  kycmLC_ML = 5,
  kycmLC_RT = 6,
  kycmLC_NN = 7,
  kycmLC_TM = 8,
  KY_ENUM_RANGE(kycmLogChannel)
} kycmLogChannel;
typedef enum {
  kycmLL_TRACE = 0,
  kycmLL_DEBUG = 1,
  kycmLL_INFO = 2,
  kycmLL_WARN = 3,
  kycmLL_ERROR = 4,
  kycmLL_ALARM = 5,
  kycmLL_FATAL = 6,
  KY_ENUM_RANGE(kycmLogLevel)
} kycmLogLevel;
KY_API kycmRet_t kycmInitLogger(void);
/* `format` and the arguments after it are formatted as by printf. */
KY_API kycmRet_t kycmLogMessage(kycmLogChannel channel, kycmLogLevel level, const char* function, const char* file,
                                int32_t line, const char* format, ...);

KY_END_DECLS

#endif /* KYCM_H */
