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

/* Numeric and host utilities */
KY_API kycmRet_t kycmMallocHost(uint64_t size, void** address);
KY_API kycmRet_t kycmFreeHost(void* address);

/* Logging */

#ifdef __cplusplus
}
#endif

#endif /* KYCM_H */
