// libkyme's exported C interface. Each function calls its namesake in
// libkyme_engine.so, which holds the library's work (decoding and encoding,
// with libavcodec, libswscale and libjpeg-turbo) and is opened by the first
// call; until then a program has not paid for loading it.
// When it cannot be opened, every call returns KYME_INTERNAL_ERROR and the
// runtime's log says why.
#include "kycore/error_codes.h"
#include "kycore/lazy_library.h"
#include "kyme.h"

namespace {

void anchor() {}

kycore::LazyLibrary engine("libkyme_engine.so", reinterpret_cast<const void*>(&anchor), kycore::runtime_log::me);

}  // namespace

// clang-format off
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeSystemInitialize, (), ())
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeSystemUninitialize, (), ())
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeGetVersion, (char** version, uint32_t* major, uint32_t* minor, uint32_t* patch, uint32_t* build), (version, major, minor, patch, build))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeCreateDecoderChannel, (kymeDecChannelParameters* parameters, uint32_t channel), (parameters, channel))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeDestoryDecoderChannel, (uint32_t channel), (channel))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeStartDecoder, (uint32_t channel), (channel))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeResetDecoder, (uint32_t channel), (channel))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeStopDecoder, (uint32_t channel), (channel))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeSendStreamToDecoder, (uint32_t channel, kymeStream* stream, uint32_t timeout), (channel, stream, timeout))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeReceiveFrameFromDecoder, (uint32_t channel, kymeFrame* output, kymeDecOutputOptions* options, uint32_t timeout), (channel, output, options, timeout))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeJpegSyncDecoder, (uint32_t channel, kymeStream* stream, kymeFrame* output, uint32_t timeout), (channel, stream, output, timeout))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeTransferFrameFromDecoder, (uint32_t channel, kymeFrame* frame, uint32_t flag), (channel, frame, flag))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeDecReleaseFrame, (uint32_t channel, kymeFrame* frame, uint32_t timeout), (channel, frame, timeout))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeGetJpegInfo, (kymeStream* stream, kymeDecJpegInfo* info), (stream, info))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeGetVideoInfo, (kymeStream* stream, kymeCodecType codec, kymeDecVideoInfo* info), (stream, codec, info))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeGetStreamInfoFromDecoder, (uint32_t channel, kymeDecStreamInfo* info), (channel, info))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeGetDecoderStatus, (uint32_t channel, kymeDecStatus* status), (channel, status))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeJpegDecGetCaps, (kymeJpegDecCapability* output), (output))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeVideoDecGetCaps, (kymeCodecType codec, kymeVideoDecCapability* output), (codec, output))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeGetDecoderAvailableChannels, (uint32_t* count), (count))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeCreateEncoderChannel, (kymeEncChannelParameters* parameters, uint32_t channel), (parameters, channel))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeDestoryEncoderChannel, (uint32_t channel), (channel))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeStartEncoder, (uint32_t channel), (channel))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeResetEncoder, (uint32_t channel), (channel))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeStopEncoder, (uint32_t channel), (channel))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeSendFrameToEncoder, (uint32_t channel, kymeFrame* frame, kymeEncExtendedParams* params, uint32_t timeout), (channel, frame, params, timeout))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeReceiveStreamFromEncoder, (uint32_t channel, kymeStream* stream, uint32_t timeout), (channel, stream, timeout))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeJpegSyncEncoder, (uint32_t channel, kymeFrame* frame, kymeStream* output, kymeEncExtendedParams* params, uint32_t timeout), (channel, frame, output, params, timeout))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeEncReleaseStream, (uint32_t channel, kymeStream* stream, uint32_t timeout), (channel, stream, timeout))
KY_FORWARD(engine, kycore::KYME_INTERNAL_ERROR, kymeRet_t, kymeGetEncoderAvailableChannels, (uint32_t* count), (count))
// clang-format on
