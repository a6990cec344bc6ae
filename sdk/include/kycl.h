/* The accelerate language library libkycl: compiled models, op graphs and streams.
 * Every function returns kyclER_SUCCESS (0) or an error code of the SDK. */
#ifndef KYCL_H
#define KYCL_H

#include "ky_api.h"
#include "kycm.h"

KY_BEGIN_DECLS

typedef uint32_t kyclRet_t;

#define kyclER_SUCCESS 0
/* A request was taken but no result is due yet (see docs/kycl.md). */
#define kyclER_WAIT_MORE_INPUT 301041

typedef enum kyclBalanceMode { kyclBM_ONCE = 0, kyclBM_RUN = 1, KY_ENUM_RANGE(kyclBalanceMode) } kyclBalanceMode;

typedef struct kyclCallbackStatus {
  uint32_t errorCode;
  int32_t isStreamEnd; /* non-zero: the last report of the request */
} kyclCallbackStatus;

/* Called on the stream's worker thread for every completed request. */
typedef void (*kyclStreamReportFn)(void* a, void* b, void* c, kyclCallbackStatus* status, void* user);

KY_API kyclRet_t kyclGetVersion(const char** text, uint32_t* major, uint32_t* minor, uint32_t* patch, uint32_t* build);

/* op graphs and streams */
KY_API kyclRet_t kyclCreateOpGraph(void** graph);
KY_API kyclRet_t kyclDestroyOpGraph(void* graph);
KY_API kyclRet_t kyclDestroyOpStream(void* stream);
KY_API kyclRet_t kyclSubscribeStreamReport(void* stream, kyclStreamReportFn report, void* user);
KY_API kyclRet_t kyclCreateOpStream(void* graph, kyclBalanceMode mode, void** stream);
KY_API kyclRet_t kyclBuildStream(void* stream);
KY_API kyclRet_t kyclRunStream(void* stream, void* inputs, void* outputs, uint32_t timeout_ms);
KY_API kyclRet_t kyclRunStreamAsync(void* stream, void* inputs, void* outputs);
KY_API kyclRet_t kyclSynchronizeStream(void* stream, uint32_t timeout_ms);
KY_API kyclRet_t kyclSynchronizeDevice(uint32_t device, uint32_t timeout_ms);
KY_API kyclRet_t kyclGetStreamCacheNumber(void* stream, uint32_t* count);
KY_API kyclRet_t kyclRequestOutputDataset(void* stream, void** dataset);

/* graph building */
KY_API kyclRet_t kyclCreateGraphInputOp(void* graph, uint32_t input_index, void** op);
KY_API kyclRet_t kyclConnectOps(void* from, void* to);
KY_API kyclRet_t kyclCreateRunModelOp(void* model, void** op);
KY_API kyclRet_t kyclRegisterGetOutput(void* graph, void* op);
KY_API kyclRet_t kyclRegisterGetOutputs(void* graph, void** ops, uint32_t count);

/* models */
KY_API kyclRet_t kyclCreateModel(const char* path, const char* a, const char* b, const char* c, void** model);
KY_API kyclRet_t kyclDestroyModel(void* model);
KY_API kyclRet_t kyclCreateDynamicModel(const char* path, const char* a, void** model);
KY_API kyclRet_t kyclSetDynamicModelInputShape(void* model, const kycmShape* shapes, uint32_t count);
KY_API kyclRet_t kyclSetModelBatchSize(void* model, const uint32_t* batch);
KY_API kyclRet_t kyclGetModelBatchSize(void* model, uint32_t* batch);
KY_API kyclRet_t kyclGetModelMaxBatchSize(void* model, uint32_t* batch);
KY_API kyclRet_t kyclGetDynamicModelMaxBatchSize(void* model, const kycmShape* shapes, uint32_t count, uint32_t* batch);
KY_API kyclRet_t kyclGetModelInputCount(void* model, uint32_t* count);
KY_API kyclRet_t kyclGetModelOutputDataTypeByIndex(void* model, int32_t index, kycmDType* type);
KY_API kyclRet_t kyclGetModelOutputCount(void* model, uint32_t* count);
KY_API kyclRet_t kyclGetModelInputShapeByIndex(void* model, int32_t index, kycmShape* shape);
KY_API kyclRet_t kyclGetModelOutputSizeByIndex(void* model, int32_t index, uint64_t* size);
KY_API kyclRet_t kyclGetModelOutputShapeByIndex(void* model, int32_t index, kycmShape* shape);

KY_END_DECLS

#endif /* KYCL_H */
