// libkycl's exported C interface. Each function calls its namesake in
// libkycl_engine.so, which holds the library's work (models, graphs and
// streams, with OpenCV's dnn and ONNX) and is opened by the first call;
// until then a program has not paid for loading it.
// When it cannot be opened, every call returns KYCM_INTERNAL_ERROR and the
// runtime's log says why.
#include "kycl.h"
#include "kycore/error_codes.h"
#include "kycore/lazy_library.h"

namespace {

void anchor() {}

kycore::LazyLibrary engine("libkycl_engine.so", reinterpret_cast<const void*>(&anchor), kycore::runtime_log::cl);

}  // namespace

// clang-format off
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetVersion, (const char** text, uint32_t* major, uint32_t* minor, uint32_t* patch, uint32_t* build), (text, major, minor, patch, build))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclCreateOpGraph, (void** graph), (graph))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclDestroyOpGraph, (void* graph), (graph))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclDestroyOpStream, (void* stream), (stream))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclSubscribeStreamReport, (void* stream, kyclStreamReportFn report, void* user), (stream, report, user))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclCreateOpStream, (void* graph, kyclBalanceMode mode, void** stream), (graph, mode, stream))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclBuildStream, (void* stream), (stream))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclRunStream, (void* stream, void* inputs, void* outputs, uint32_t timeout_ms), (stream, inputs, outputs, timeout_ms))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclRunStreamAsync, (void* stream, void* inputs, void* outputs), (stream, inputs, outputs))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclSynchronizeStream, (void* stream, uint32_t timeout_ms), (stream, timeout_ms))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclSynchronizeDevice, (uint32_t device, uint32_t timeout_ms), (device, timeout_ms))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetStreamCacheNumber, (void* stream, uint32_t* count), (stream, count))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclRequestOutputDataset, (void* stream, void** dataset), (stream, dataset))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclCreateGraphInputOp, (void* graph, uint32_t input_index, void** op), (graph, input_index, op))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclConnectOps, (void* from, void* to), (from, to))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclCreateRunModelOp, (void* model, void** op), (model, op))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclRegisterGetOutput, (void* graph, void* op), (graph, op))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclRegisterGetOutputs, (void* graph, void** ops, uint32_t count), (graph, ops, count))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclCreateModel, (const char* path, const char* a, const char* b, const char* c, void** model), (path, a, b, c, model))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclDestroyModel, (void* model), (model))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclCreateDynamicModel, (const char* path, const char* a, void** model), (path, a, model))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclSetDynamicModelInputShape, (void* model, const kycmShape* shapes, uint32_t count), (model, shapes, count))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclSetModelBatchSize, (void* model, const uint32_t* batch), (model, batch))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetModelBatchSize, (void* model, uint32_t* batch), (model, batch))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetModelMaxBatchSize, (void* model, uint32_t* batch), (model, batch))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetDynamicModelMaxBatchSize, (void* model, const kycmShape* shapes, uint32_t count, uint32_t* batch), (model, shapes, count, batch))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetModelInputCount, (void* model, uint32_t* count), (model, count))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetModelOutputDataTypeByIndex, (void* model, int32_t index, kycmDType* type), (model, index, type))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetModelOutputCount, (void* model, uint32_t* count), (model, count))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetModelInputShapeByIndex, (void* model, int32_t index, kycmShape* shape), (model, index, shape))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetModelOutputSizeByIndex, (void* model, int32_t index, uint64_t* size), (model, index, size))
KY_FORWARD(engine, kycore::KYCM_INTERNAL_ERROR, kyclRet_t, kyclGetModelOutputShapeByIndex, (void* model, int32_t index, kycmShape* shape), (model, index, shape))
// clang-format on
