/* The common runtime library libkycm: devices, contexts, memory, data
 * buffers, datasets, tensors, float16 and logging. Every function returns 0
 * on success or an error code that kycmGetErrDesc describes. */
#ifndef KYCM_H
#define KYCM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef KY_API
#define KY_API __attribute__((visibility("default")))
#endif

typedef uint32_t kycmRet_t;

/* Data types and data buffers */

/* Datasets */

/* Tensors */

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
} kycmLogChannel;
typedef enum {
  kycmLL_TRACE = 0,
  kycmLL_DEBUG = 1,
  kycmLL_INFO = 2,
  kycmLL_WARN = 3,
  kycmLL_ERROR = 4,
  kycmLL_ALARM = 5,
  kycmLL_FATAL = 6,
} kycmLogLevel;
KY_API kycmRet_t kycmInitLogger(void);
/* `format` and the arguments after it are formatted as by printf. */
KY_API kycmRet_t kycmLogMessage(kycmLogChannel channel, kycmLogLevel level, const char* function, const char* file,
                                int32_t line, const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif /* KYCM_H */
