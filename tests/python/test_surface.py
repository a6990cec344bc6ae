"""Every name of the five submodules as users see them, in
registration order, and what each function does when its library call fails."""
import os
import re

import pytest

import _quillon_testctl as testctl
from conftest import least_argument, quillon

# One line per name, continued on indented lines. A function or method shows its
# signature and, after "::", its docstring; the submodule's own type names drop
# "_quillon_pybind11.<submodule>." and parameters their "argN: " labels. A record
# or class shows its constructor's parameters, then its fields ("=": writable) and
# methods. An enumeration shows its members after their shared prefix, a value
# only where it is not the one before plus one, as C counts; a "const" line the
# plain integers registered in a row. A function ending in "! text" raises "text
# error, ret: <code>." when its library call fails (the code printed signed, as
# the library's unsigned code reads in C); a bare "!" stands for its name's words
# ("getDataBufferAddr": "get data buffer addr"); one ending in "!=" returns the
# library's code.
SURFACE = {
    "kycm": """
const ER_SUCCESS=0, ER_NOT_IMPLEMENT=999991
enum dType kycmDT_*: UINT8=0, INT8, UINT16, INT16, UINT32, INT32, FLOAT16, FLOAT32, BFLOAT, ANY=99
enum deviceType kycmDE_*: CPU=1, KYCC=14
class deviceInfo(): deviceType=, deviceIdx=
createDataBuffer(deviceInfo, capsule, int) -> capsule :: Create a data buffer. !
createDataBufferFromContext(deviceType, capsule, int) -> capsule :: Create a data buffer from device context. !
destroyDataBuffer(capsule) -> int :: Destroy a data buffer. !=
getDataBufferAddr(capsule) -> capsule :: Get the buffer address for a data buffer. !
getDataBufferSize(capsule) -> int :: Get the buffer size for a data buffer. !
getDataBufferDeviceInfo(capsule, deviceInfo) -> int :: Get the device information for a data buffer. !=
updateDataBuffer(capsule, deviceInfo, capsule, int) -> int :: Update a data buffer. !=
enum datasetMode kycmDM_*: BUFFER=0, TENSOR
createDataset(datasetMode) -> capsule :: Create a dataset. !
destroyDataset(capsule) -> int :: Destroy a dataset. !=
addDatasetBuffer(capsule, capsule) -> int :: Add a dataset buffer. !=
getDatasetBufferCount(capsule) -> int :: Get the data buffer count for a dataset. !
getDatasetBuffer(capsule, int) -> capsule :: Get the data buffer by index for a dataset. !
addDatasetTensor(capsule, capsule) -> int :: Add a tensor into a dataset. !=
getDatasetTensorCount(capsule) -> int :: Get the tensor count for a dataset. !
getDatasetTensor(capsule, int) -> capsule :: Get the tensor by index for a dataset. !
getDatasetMode(capsule) -> datasetMode :: Get the mode for a dataset. !
getDatasetUserCtx(capsule) -> capsule :: Get the user context data for a dataset. !
setDatasetUserCtx(capsule, capsule) -> int :: Set the user context data for a dataset. !=
clearDataset(capsule) -> int :: Clear a dataset. !=
setDevice(int) -> int :: Set the device to be used in the process. !=
resetDevice(int) -> int :: Reset the device used in the process. All resources bound to this device will be released.
    !=
getDevice() -> int :: Get current device index !
const kycmER_SUCCESS=0
initialize(config: str = None) -> int :: Initialize the environment for KYCM API. !=
uninitialize() -> int :: Release the environment for KYCM API. !=
getVersion() -> Optional[str] :: Get the version of the common runtime library. !
getErrDesc(int) -> str :: Get the description for an error code. ! get error description
createContext(int) -> capsule :: Create a context in assigned device !
destroyContext(capsule) -> int :: Destroy a context in the device !=
setCurrentContext(capsule) -> int :: Set the current context for the calling thread !=
getCurrentContext() -> capsule :: Get the current context for the calling thread !
enum copyMemType kycmCT_COPY_*: FROM_DEVICE=0, TO_DEVICE, DEVICE_TO_DEVICE
malloc(int) -> capsule :: Allocate memory from device. !
free(capsule) -> int :: Free a memory in device. !=
mallocModelInOut(int) -> capsule :: Allocate memory for model input or output from device. ! malloc model input
freeModelInOut(capsule) -> int :: Free a model input or output memory in device. !=
memcpy(capsule, capsule, int, copyMemType) -> int :: Copy a memory between host and device according to copy type.
    Synchronous interface. !=
getNumpyFromHandle(capsule, int) -> numpy.ndarray[numpy.uint8] :: get the numpy array from data handle
getHandleFromNumpy(numpy.ndarray[numpy.uint8]) -> capsule :: get the data handle from numpy array ! malloc host
memcpyAsync(capsule, capsule, int, copyMemType, capsule) -> int :: Copy a memory between host and device according to
    copy type. Asynchronous interface. !=
memcpyDevices(capsule, int, capsule, int, int) -> int :: Copy a memory between two devices. Synchronous interface. !=
memcpyDevicesAsync(capsule, int, capsule, int, int, capsule) -> int :: Copy a memory between two devices. Asynchronous
    interface. !=
memset(capsule, int, int) -> int :: Set a memory block with a specific value. Synchronous interface. !=
memsetAsync(capsule, int, int, capsule) -> int :: Set a memory block with a specific value. Asynchronous interface. !=
class shape(): ndims=, shapes=
createTensor(deviceInfo, shape, dType) -> capsule :: Create a tensor for a device with specific shapes and data type.
    !
createTensorWithDataHandle(deviceInfo, shape, dType, capsule, bool) -> capsule :: Create a tensor with data handle for
    a device with specific shapes and data type. !
destroyTensor(capsule) -> int :: Destroy a tensor. !=
getTensorDataHandle(capsule) -> capsule :: Get the data handle of a tensor. !
setTensorDataHandle(capsule, capsule, bool) -> int :: Set the data handle for a tensor. !=
getTensorDeviceInfo(capsule, deviceInfo) -> int :: Get the device information of a tensor. !=
getTensorShape(capsule, shape) -> int :: Get the data shape of a tensor. !=
setTensorShape(capsule, shape) -> int :: Set the data shape of a tensor. !=
getTensorDataType(capsule) -> dType :: Get the data type of a tensor. !
setTensorDataType(capsule, dType) -> int :: Set the data type of a tensor. !=
getTensorSize(capsule) -> int :: Get the size of a tensor. !
getDataTypeSize(dType) -> int ::  Get the size for a data type !
float16ToFloat32(int) -> float :: Convert a float16 number to float32 number !
float32ToFloat16(float) -> int :: Convert a float32 number to float16 number !
float16ToFloat32Array(numpy.ndarray[numpy.uint16]) -> numpy.ndarray[numpy.float32] :: Convert an array of float16
    number to the array of float32 number !
float32ToFloat16Array(numpy.ndarray[numpy.float32]) -> numpy.ndarray[numpy.uint16] :: Convert an array of float32
    number to the array of float16 number !
getFloat16Array(capsule, int) -> numpy.ndarray[numpy.uint16] :: get the array of float16 number
destroyDatasetAll(capsule) -> int :: Destroy all data in a dataset including itself. !=
mallocHost(int) -> capsule :: Allocate memory from host. !
freeHost(capsule) -> int :: Free a memory in host. !=
getDeviceIdInfo(int) -> list :: Get device index information. !
enum logChannel kycmLC_*: APP=0, CM, CE, CL, ME, ML, RT, NN, TM
enum logLevel kycmLL_*: TRACE=0, DEBUG, INFO, WARN, ERROR, ALARM, FATAL
initLogger() -> int :: Initialize logger system for message logging. !=
logMessage(logChannel, logLevel, Optional[str]) -> int :: Write a message to the log file. !=
""",
    "kyme": """
enum codecType KYME_CODEC_*: DEC_JPEG=0, DEC_H264, DEC_HEVC, ENC_JPEG=100, ENC_H264, ENC_HEVC
enum sourceMode KYME_SRC_*: FRAME=0
enum memoryType KYME_MEM_*: DEVICE=0, HOST, FLUSH
enum pixelFormat KYME_PIX_FMT_*: NONE=-1, YUV420P, YUV444P, YUV422P, YUV420P9, YUV422P9, YUV444P9, YUV420P10,
    YUV422P10, YUV444P10, YUV420P12, YUV422P12, YUV444P12, NV12, NV21, GRAY8, GRAY9, GRAY10, GRAY12, RGB24, BGR24,
    ARGB, RGBA, ABGR, BGRA, YUV420_PLANAR_10BIT_I010, YUV420_PLANAR_10BIT_P010
enum state KYME_ST_*: NONE=0, READY, RUNNING, ERROR, STOPPING, STOPPED
enum videoField KYME_FLD_*: FRAME=0
enum frameType KYME_FRM_*: I=0, P, B
enum chromaFormat KYME_CHROMA_FMT_*: NONE=-1, 400, 411, 420, 422, 440, 444
enum jpegCodingMode KYME_JPEG_*: NONE=0, BASELINE, PROGRESSIVE, NONINTERLEAVED
enum videoProfile KYME_VIDEO_PRFL_*: HEVC_MAIN_STILL_PICTURE=1, HEVC_MAIN=0, HEVC_MAIN_10=2, HEVC_MAIN_REXT,
    H264_BASELINE=9, H264_MAIN, H264_HIGH, H264_HIGH_10, AV1_MAIN=0, AV1_HIGH, AV1_PROFESSIONAL
enum videoLevel KYME_VIDEO_LVL_*: HEVC_1=30, HEVC_2=60, HEVC_2_1=63, HEVC_3=90, HEVC_3_1=93, HEVC_4=120, HEVC_4_1=123,
    HEVC_5=150, HEVC_5_1=153, HEVC_5_2=156, HEVC_6=180, HEVC_6_1=183, HEVC_6_2=186, H264_1=10, H264_1_b=99,
    H264_1_1=11, H264_1_2, H264_1_3, H264_2=20, H264_2_1, H264_2_2, H264_3=30, H264_3_1, H264_3_2, H264_4=40,
    H264_4_1, H264_4_2, H264_5=50, H264_5_1, H264_5_2, H264_6=60, H264_6_1, H264_6_2
class stream(): stream, pts=, inputBusAddress
class frame(): dataSize, width, height, memoryType, field, pixelFormat, frameType, cropInfo, privateData, data,
    busAddress, stride
class cropInfo(): flag, width, height, xOffset, yOffset
class version(): major, minor, build
class hardwareID(): dieID, coreID
class rational(): numerator=, denominator=
const kymeER_SUCCESS=0, kymeER_RSLT_OK=0, kymeER_RSLT_ERR_START=402000, KYME_MAX_VIDEO_PLANE=3,
    kymeER_RSLT_WARN_MORE_DATA=401001, kymeER_RSLT_WARN_EOS=401002
systemInitialize() -> int :: Initialize the kyme system. !=
systemUninitialize() -> int :: Uninitialize the kyme system. !=
getVersion() -> Optional[str] :: Get the KYME API version information. !
enum decodeMode KYME_DEC_*: NORMAL=0, INTRA_ONLY, SKIP_NONREF
class decChannelParamters(): codecType=, sourceMode=, decodeMode=, pixelFormat=, extraBufferNumber=, enProfiling=,
    enableMC=
class decStreamInfo(): width, height, fps, pixelSize
class decJpegInfo(): width, height, x_density, y_density, outputFormat, codingMode
class decStatus(): state, hardwareID, result, runningFrames, reorderedFrames, bufferedFrames, droppedFrames
class decOutputOptions(): memoryType=, enableCrop=
class decVideoInfo(): width, height, cropFlag, cropWidth, cropHeight, xOffset, yOffset, fps, pixelFormat
class jpegDecCapability(): maxWidth, maxHeight, minWidth, minHeight, codingMode, pixelFormats
class videoDecCapability(): bitDepth, maxWidth, maxHeight, minWidth, minHeight, maxProFile, maxLevel, pixelFormats
const KYME_DEC_MAX_PIX_FMT_NUM=23, KYME_DEC_MAX_CODING_MODE_NUM=23, KYME_DEC_JPEG_MAX_WIDTH=32768,
    KYME_DEC_JPEG_MAX_HEIGHT=32768, KYME_DEC_JPEG_MIN_WIDTH=128, KYME_DEC_JPEG_MIN_HEIGHT=128,
    KYME_DEC_VIDEO_MAX_WIDTH=4096, KYME_DEC_VIDEO_MAX_HEIGHT=4096, KYME_DEC_VIDEO_MIN_WIDTH=128,
    KYME_DEC_VIDEO_MIN_HEIGHT=128, KYME_DEC_MAX_STREAM_BUFFER_SIZE=16777216
createDecoderChannel(decChannelParamters, int) -> int :: Create an decoder channel. !=
destroyDecoderChannel(int) -> int :: Destroy an decoder channel.
startDecoder(int) -> int :: Start the decoder. !=
resetDecoder(int) -> int :: Restart the decoder. !=
stopDecoder(int) -> int :: Stop the decoder. !=
sendStreamToDecoder(int, stream, int) -> int :: Send a stream to decoder to decode. !=
receiveFrameFromDecoder(int, frame, decOutputOptions, int) -> int :: Receive a frame from Decoder. !=
jpegSyncDecoder(int, str, frame, int) -> int :: Send Jepg stream to decoder to decode, a sync api.
transferFrameFromDecoder(int, frame, bool) -> int :: Tranfer frame data from device to host. !=
decReleaseFrame(int, frame, int) -> int :: Release the kyme frame whose content filled by kymeReceiveFrameFromDecoder.
    !=
getJpegInfo(str, decJpegInfo) -> int :: Get input jpeg information.
getVideoInfo(stream, codecType, decVideoInfo) -> int :: Get input video information. !=
getStreamInfoFromDecoder(int, decStreamInfo) -> int :: Get the Stream information by Decoder. !=
getDecoderStatus(int, decStatus) -> int :: Get the Decoder status information. !=
jpegDecGetCaps(jpegDecCapability) -> int :: Get the ability of the jpeg decoder on the device. !=
videoDecGetCaps(codecType, videoDecCapability) -> int :: Get the ability of the video decoder on the device. !=
getDecoderAvailableChannels() -> int :: Get the Decoder available channels. ! get decoder avaliable channels
setStreamData(stream, numpy.ndarray[numpy.uint8]) -> None
class H264Reader(str): init() -> None, release() -> None, getStream(stream) -> int
class JpegReader(str): init() -> None, release() -> None, getStream(stream) -> int
enum encQualityMode KYME_*: GOLD_QUALITY=0, SILVER_QUALITY, SILVER2_QUALITY, BRONZE_QUALITY
enum encTuneType KYME_ENC_TUNE_*: PSNR=0, SSIM, VISUAL, SHARP_VISUAL
enum encQPType KYME_ENC_*: QP=0, QP_DELTA
enum encSEINalType KYME_ENC_SEI_*: PREFIX=39, SUFFIX
enum encSEIPayloadType KYME_SEI_*: BUFFERING_PERIOD=0, USER_DATA_UNREGISTERED=5
class encExternalSEI(): nalType=, payloadDataSize=
class encPictureArea(): enable=, top=, left=, bottom=, right=
class encPictureROI(): area=, qpType=, qpValue=
class encROIMap(): roiMapDeltaQpSize=
class encExtendedParams(): forceIDR=, roi=, roiMap=, updateBitRate=, resetStream=
class encVideoConfiguration(): profile=, level=, width=, height=, frameRate=, bitDepthLuma=, bitDepthChroma=, gopSize=,
    gdrDuration=, lookaheadDepth=, qualityMode=, tune=, keyInt=, crf=, cqp=, llRc=, bitRate=, initQp=, vbvBufSize=,
    vbvMaxRate=, intraQpDelta=, qpMinI=, qpMaxI=, qpMinPB=, qpMaxPB=, vbr=, aqStrength=, enableROI=, P2B=, bBPyramid=,
    maxFrameSizeMultiple=
class encJPEGConfiguration(): codingWidth=, codingHeight=, frameType=, losslessEn=, userData=
class encChannelParamters(): codecType=, outbufNum=, enProfiling=, jpegConfig=, videoConfig=
class encOutputOptions(): reserved
const KYME_ENC_MAX_STRM_BUF_NUM=2, KYME_ENC_MAX_REF_FRAMES=8, KYME_ENC_MAX_GOP_SIZE=16, KYME_ENC_MAX_LTR_FRAMES=8,
    KYME_ENC_MAX_ROI_NUM=8, KYME_ENC_DEFAULT_PAR=4294967295, KYME_ENC_VIDEO_MAX_HEIGHT=8192,
    KYME_ENC_VIDEO_MAX_WIDTH=8192, KYME_ENC_VIDEO_MIN_HEIGHT=64, KYME_ENC_VIDEO_MIN_WIDTH=64,
    KYME_ENC_JPEG_MAX_HEIGHT=16384, KYME_ENC_JPEG_MAX_WIDTH=16384, KYME_ENC_JPEG_MIN_HEIGHT=32,
    KYME_ENC_JPEG_MIN_WIDTH=32, KYME_ENC_MAX_OUTBUF_NUM=32
createEncoderChannel(encChannelParamters, int) -> int :: Create an encoder channel. !=
destroyEncoderChannel(int) -> int :: Destroy an encoder channel.
startEncoder(int) -> int :: Start the encoder. !=
resetEncoder(int) -> int :: Restart the encoder. !=
stopEncoder(int) -> int :: Stop the encoder. !=
sendFrameToEncoder(int, frame, encExtendedParams, int) -> int :: Send a frame to Encoder to encode. !=
receiveStreamFromEncoder(int, stream, int) -> int :: Receive a stream from Encoder. !=
jpegSyncEncoder(int, frame, stream, encExtendedParams, int) -> int :: Jpeg Encode Sync api. !=
encReleaseStream(int, stream, int) -> int :: Release the kyme stream whose content filled by
    kymeReceiveStreamFromEncoder. !=
getEncoderAvailableChannels() -> int :: Get the Encoder available channels.
class YUVReader(str, pixelFormat, int, int, int): init() -> None, release() -> None, getFrame(frame) -> int,
    seek_to_start() -> None
""",
    "kycl": """
const kyclER_SUCCESS=0, kyclER_WAIT_MORE_INPUT=301041
getVersion() -> str :: get the kycl version.
enum balance_mode kyclBM_*: ONCE=0, RUN
class callBackStatus(): errorCode=, isStreamEnd=
createOpGraph() -> capsule :: creat the kycl op graph ! create graph
destroyOpGraph(capsule) -> int :: destroy the kycl op graph !=
destroyOpStream(capsule) -> int :: destroy the kycl op stream !=
subscribeStreamReport(capsule, Callable[[capsule, capsule, capsule, callBackStatus, object], None], object) -> int ::
    Subscribe a callback function to the stream to receive the result report when a specific stream operator execution
    is completed.
createOpStream(capsule, balance_mode) -> capsule :: create the kycl stream ! create stream
buildStream(capsule) -> int :: build the kycl stream  !=
runStream(capsule, capsule, capsule, int) -> int :: run the kycl stream  !=
runStreamAsync(capsule, capsule, capsule) -> int :: run the kycl stream  !=
synchronizeStream(capsule, int) -> int :: Synchronize the running of a stream. !=
synchronizeDevice(int, int) -> int :: Synchronize the running of all stream of a device. !=
getStreamCacheNumber(capsule) -> int :: Get the cache number of a stream. !
requestOutputDataset(capsule) -> capsule :: request the output dataset !
createGraphInputOp(capsule, int) -> capsule :: creat the kycl graph input op !
connectOps(capsule, capsule) -> int :: connect the kycl op !=
createRunModelOp(capsule) -> capsule :: create the kycl op that runs a model ! create graph run model op
registerGetOutput(capsule, capsule) -> int :: regist get the kycl out put !=
registerGetOutputs(capsule, List[capsule]) -> int :: regist get the kycl out put !=
createModel(str, str, str, str) -> capsule :: create the kycl model !
destroyModel(capsule) -> int :: destroy the kycl model !=
createDynamicModel(str, str) -> capsule :: create the kycl model !
setDynamicModelInputShape(capsule, List[_quillon_pybind11.kycm.shape]) -> int :: set the kycl model batch size !=
setModelBatchSize(capsule, int) -> int :: set the kycl model batch size !=
getModelBatchSize(capsule) -> int :: get the kycl model batch size !
getModelMaxBatchSize(capsule) -> int :: get the kycl model max batch size !
getDynamicModelMaxBatchSize(capsule, List[_quillon_pybind11.kycm.shape]) -> int :: get the kycl model max batch size !
getModelInputCount(capsule) -> int :: Get the input count for a model. !
getModelOutputDataTypeByIndex(capsule, int) -> _quillon_pybind11.kycm.dType :: Get the data type of a model's output by
    index. !
getModelOutputCount(capsule) -> int :: Get the output count for a model. !
getModelInputShapeByIndex(capsule, int, _quillon_pybind11.kycm.shape) -> int :: Get the input shape by index for a
    model.
getModelOutputSizeByIndex(capsule, int) -> int :: Get the output data size by index for a model. !
getModelOutputShapeByIndex(capsule, int, _quillon_pybind11.kycm.shape) -> int :: Get the output shape by index for a
    model.
loadImage(str, int, int) -> capsule :: load test image
""",
    "kyce": """
enum imageType kyceIMG_*: YUV_NV12=0, YUV_I420, RGB_PLANAR=5000, RGB888=5002, BGR888, GRAY, FORMAT_BUTT
enum opType kyceOP_*: MEM_COPY_OP=10, BERT_EMBEDDING_OP, CUSTOMIZED_OP=20, RESIZE=30, CROP, CVT_COLOR,
    BATCH_CROP_RESIZE, WARP_AFFINE, FLIP, SCALE, COPY_MAKE_BORDER, FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR=100,
    FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR, FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR,
    FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR, FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR,
    FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR, FUSION_OP_YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR,
    FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR, FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR,
    FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR, FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR,
    FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR, FUSION_OP_MAX_NUM=255
enum resizeType kyceRESIZE_*: NO_RESIZE=0, BILINEAR, NEAREST, BICUBIC, LANCZOS, BILINEAR_PILLOW, BILINEAR_CV,
    LANCZOS_PILLOW, LANCZOS_CV, BOX_PILLOW, HAMMING_PILLOW, BICUBIC_PILLOW, NEAREST_CV, BUTT
enum colorCvtCode kyceCOLOR_*: YUV2RGB_NV12=0, YUV2BGR_NV12, NO_CHANGE, BGR2RGB, RGB2BGR=3, BGR2RGB_INTERLEAVE2PLANAR,
    RGB2BGR_INTERLEAVE2PLANAR, BGR2BGR_INTERLEAVE2PLANAR, RGB2RGB_INTERLEAVE2PLANAR, YUV2GRAY_NV12, BGR2GRAY_INTERLEAVE,
    BGR2GRAY_PLANAR, RGB2GRAY_INTERLEAVE, RGB2GRAY_PLANAR, RGB2YUV_NV12_PLANAR, BGR2YUV_NV12_PLANAR, CVT_CODE_BUTT
enum colorSpace kyceCOLOR_SPACE_*: BT709=0, BT601, BUTT
enum flipType kyceFLIP_*: X_AXIS=0, Y_AXIS, BOTH_AXES
enum paddingType kyceEDGE_PADDING_*: TYPE_CONSTANT=0, REPLICATE, TYPE_REFLECT, TYPE_BUTT
enum warpAffineMode kyceWARP_AFFINE_MODE_*: NEAREST=0, BILINEAR, BUTT
enum dataType kyceDT_*: INT=1, UINT_8, UINT_16, UINT_32, UINT_64, FLOAT, FLOAT_16, DOUBLE
enum paramType kycePARAM_*: ELEMENT=1, ARRAY, TENSOR
enum normType kyceNORM_*: NORMALIZATION_NONE=0, EQUAL, MINUSMEAN, MINUSMEAN_DIVSTD, DIV255_MINUSMEAN_DIVSTD,
    DIV1275_MINUSONE, DIV255, NORMALIZATION_NONE_BUTT
enum tensorizationType kyceTENSORIZATION_*: NONE=0, UINT8, UINT8_INTERLEAVE, FP16, FP16_INTERLEAVE, FP16_INTERLEAVE_RGB,
    TYPE_BUTT
class imageDesc(): width=, height=, widthPitch=, heightPitch=, format=
class cropRect(): start_x=, start_y=, width=, height=
class paddingEdges(): top=, bottom=, left=, right=
class paddingValuesPy(): value=
class affineMatrixPy(): matrix=
const OPNAME_MAX_LEN=256, kyceER_SUCCESS=0, kyceER_BASE=200000
getVersion() -> int :: Get the version of the preprocess op engine.
loadCustomizedOp(str) -> capsule :: ordal preprocess op loadCustomizedOp. !
destroyCustomizedOpInfo(capsule) -> int :: ordal preprocess op destroyCustomizedOpInfo. !=
unloadCustomizedOps(capsule) -> int :: ordal preprocess op unloadCustomizedOps. !=
getCustomizedOpCount(capsule) -> int :: ordal preprocess op getCustomizedOpCount. !
getCustomizedOpName(capsule, int) -> str :: ordal preprocess op getCustomizedOpName. !
createCustomizedOp(capsule, str) -> capsule :: ordal preprocess op createCustomizedOp. !
resize(resizeType, imageDesc, capsule, imageDesc, capsule) -> int :: Resize ordal preprocess op. !=
crop(cropRect, imageDesc, capsule, imageDesc, capsule) -> int :: Crop ordal preprocess op. !=
yuvFlip(flipType, imageDesc, capsule, imageDesc, capsule) -> int :: YuvFlip ordal preprocess op. !=
warpAffine(affineMatrixPy, warpAffineMode, paddingType, paddingValuesPy, imageDesc, capsule, imageDesc, capsule) -> int
    :: WarpAffine ordal preprocess op. !=
cvtColor(colorCvtCode, colorSpace, imageDesc, capsule, imageDesc, capsule) -> int :: cvtColor ordal preprocess op. !=
resizeCopyMakeBorder(resizeType, paddingType, paddingValuesPy, paddingEdges, imageDesc, capsule, imageDesc, capsule) ->
    int :: ResizeCopyMakeBorder ordal preprocess op. !=
batchCropResize(List[cropRect], resizeType, imageDesc, capsule, imageDesc, List[capsule]) -> int :: BatchCropResize
    ordal preprocess op. !=
scale(resizeType, imageDesc, capsule, List[imageDesc], List[capsule]) -> int :: Scale ordal preprocess op. !=
createOp(opType) -> capsule :: Create one ordal preprocess op. !
destroyOp(capsule) -> int :: Destroy ordal preprocess op. !=
setKyceOPAttr(capsule, str, dataType, paramType, int) -> int | (capsule, str, dataType, paramType,
    float) -> int ::   preprocess op. !=
setKyceOPAttrArray(capsule, str, dataType, paramType, int, int) -> int | (capsule, str, dataType, paramType, float, int)
    -> int ::   preprocess op. !=
getKyceOPAttrInt(capsule, str, dataType) -> int ::   preprocess op. ! get op attr
getKyceOPAttrUint8(capsule, str, dataType) -> int ::   preprocess op. ! get op attr
getKyceOPAttrUint16(capsule, str, dataType) -> int ::   preprocess op. ! get op attr
getKyceOPAttrUint32(capsule, str, dataType) -> int ::   preprocess op. ! get op attr
getKyceOPAttrUint64(capsule, str, dataType) -> int ::   preprocess op. ! get op attr
getKyceOPAttrFloat(capsule, str, dataType) -> float ::   preprocess op. ! get op attr
getKyceOPAttrDouble(capsule, str, dataType) -> float ::   preprocess op. ! get op attr
getKyceOPAttrArrayInt(capsule, str, dataType, int) -> int ::   preprocess op. ! get op attr array
getKyceOPAttrArrayUint8(capsule, str, dataType, int) -> int ::   preprocess op. ! get op attr array
getKyceOPAttrArrayUint16(capsule, str, dataType, int) -> int ::   preprocess op. ! get op attr array
getKyceOPAttrArrayUint32(capsule, str, dataType, int) -> int ::   preprocess op. ! get op attr array
getKyceOPAttrArrayUint64(capsule, str, dataType, int) -> int ::   preprocess op. ! get op attr array
getKyceOPAttrArrayFloat(capsule, str, dataType, int) -> float ::   preprocess op. ! get op attr array
getKyceOPAttrArrayDouble(capsule, str, dataType, int) -> float ::   preprocess op. ! get op attr array
executeOp(capsule, capsule, capsule) -> int ::  ordal preprocess op. !=
readImageFile(str, int, int, int) -> capsule :: read image file
genFileMd5sum(str) -> str :: generate file md5 sum
genBufferMd5sum(capsule, int) -> str :: generate buffer md5 sum
saveHandelToImage(int, capsule, str) -> None :: save device handle to image file
class yuvNv12Shape(): height=, width=, h_pitch=, w_pitch=
class customCfgExample(): iimage_shape=, oimage_shape=, scale=
setCustomizedOpConfigExample(capsule, customCfgExample) -> int :: ordal preprocess op setCustomizedOpConfig.
setCustomizedOpCfgCallbackExample(capsule) -> int :: ordal preprocess op setCustomizedOpConfig. !=
""",
    "kyml": """
enum opStatus KYML_*: SUCCESS=0, ERROR_UNINITIALIZED=70001, ERROR_INITIALIZED, ERROR_FETCH_API, ERROR_CARD_EMPTY,
    ERROR_INITI_FAIL, ERROR_CARD_NOTFOUND, ERROR_INPUT_PARAMETER_NULL, ERROR_INPUT_PARAMETER_ERROR,
    ERROR_PCIE_MAJOR_ERROR, USER_BUF_INSUFFICIENT, ERROR_CALLBACK_INITIALIZED, ERROR_CALLBACK_UNINITIALIZED,
    ERROR_PROFILER_ALREADY_RUNNING, ERROR_PROFILER_ALREADY_STOP, ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID=70014,
    ERROR_PROFILER_EXPORT_FOLDER_PATH_INVALID=70016, ERROR_AI_SCRIPT_PATH_INVALID, ERROR_AI_SCRIPT_ROOT_PERMISSION,
    ERROR_MAX=79999
enum logLevel KYML_LOG_*: TRACE=0, DEBUG, INFO, WARN, ERROR, FATAL, NONE
class pciCardId(): renderId, cardId
class pciSubSystemId(): subRenderId, subcardId
class nodeMajorMinor(): minor, major
class dieIndex(): dieId, cardId, seqNum
class nodeBaseInfo(): majorMinor, name
class dieBaseInfo(): dieIndex, kyccBaseInfo, renderBaseInfo, videoBaseInfo
class aiDevInfo(): dieIndex, aiBaseInfo
class codecDevInfo(): dieIndex, videoBaseInfo
class pciInfo(): busId, domain, bus, card, pciId, pciSubId, pcieCardBaseInfo, pcieCardVersionBaseInfo,
    pcieCardCtlBaseInfo
class capability(): aiCapability, videoCapability
class cardInfo(): cardId, uuid, cardTypeName, pciInfo, cardCapability, manNodeBaseInfo, dieNum, dieInfo
class fanSpeedInfo(): fanSpeedLevel
class pllClock(): unit, clockArray
class temperature(): unit, temperature
class tempThreshold(): unit, tempThreshold
class pinVolt(): unit, pinVolt
class power(): unit, power
class powerCur(): unit, powerCur
class powerVolt(): unit, powerVolt
class memUtilizationRate(): total, free, used, utilizationRate
class utilizationRate(): ai, vdsp, vemcu, vdmcu
class mcuUtilizationRate(): ai, vdsp, vemcu, vdmcu
class processInfo(): pid, memused, name
const kymlER_SUCCESS=0, MAX_PLL_CLOCK_SUBMODULE=12, MAX_TEMPERATURE_SUBMODULE=15, MAX_TEMP_THRESHOLD_SUBMODULE=3,
    MAX_POWER_SUMMODULE=4, MAX_POWER_CURRENT_SUMMODULE=3, MAX_POWER_VOLTAGE_SUMMODULE=3, MAX_PIN_VOLT_SUMMODULE=6,
    MAX_PVT_VOLT_SUMMODULE=7, MAX_DIE_CMCU_NUM=1, MAX_DIE_VDSP_NUM=4, MAX_DIE_VDMCU_NUM=3, MAX_DIE_VEMCU_NUM=4
init() -> opStatus :: initialize the environment for kyml api. !=
shutDown() -> opStatus :: release the environment for kyml api. !=
getVersion() -> Optional[str] :: get the kyml api version information. !
setLogLevel(logLevel) -> opStatus :: set logger system for message logging. !=
logMsg(logLevel, str, opStatus, str) -> opStatus :: write a message to the console or file.
errorString(opStatus) -> str :: convert the description of an error code from error code.
getAiDeviceCount() -> int :: get the count of ai device. !
getCodecDeviceCount() -> int :: get the count of codec device. !
getAiDevInfo(int) -> List[aiDevInfo] :: get the information of ai device. ! get ai device info
getCodecDevInfo(int) -> List[codecDevInfo] :: get the information of codec device. ! get codec device info
getDieIndexByDevIndex(int) -> dieIndex :: get the physical index of die by logical index. ! get dieIndex by index
getCardCount() -> int :: get the count of card. !
getCardInfo(list) -> list :: get the information of card. !
getCardHandleByUUID(str) -> int :: get the card handle by uuid. !
getCardHandleByPciBusId(str) -> int :: get the card handle by pciBus id. !
getCardHandleByIndex(int) -> int :: get the card handle by index of card. !
getCardHandleByCardId(int) -> int :: get the card handle by card id. !
getUUID(int) -> str :: get the uuid by the specified handle of card. !
getPciInfo(int) -> pciInfo :: get the pci information by the specified handle of card. !
getCapability(int, capability) -> opStatus :: get the capability by the specified handle of card. !=
getFanSpeedInfo(int, fanSpeedInfo) -> opStatus :: get the fan speed of card. !=
getManageNodeAttribute() -> nodeBaseInfo :: get the attributes of managed node. !
getDriverSWVersion() -> str :: get the version information of driver. ! get driver SW version
getDieCount(int) -> int :: get the count of die of the specified handle of card. !
getDieInfo(int, list) -> list :: get the information of die of the specified handle of card. !
getDieHandleByIndex(int, int) -> int :: get the handle of die by card handle and index. !
getDieHandleByDieIndex(dieIndex) -> int :: get the handle of die by its index. ! get die handle by dieIndex
getPllClocks(int, pllClock) -> opStatus :: get the pll clocks information by the specified handle of die. !
getTemperature(int, temperature) -> opStatus :: get the temperature information of its die. !
getPower(int, power) -> opStatus :: get the power information of its die. !
getPinVolt(int, pinVolt) -> opStatus :: get the pin voltage information of its die. ! get pin voltage
getPowerCur(int, powerCur) -> opStatus :: get the power current information of its die. ! get power current
getPowerVolt(int, powerVolt) -> opStatus :: get the power voltage information of its die. ! get power voltage
getTempThreshold(int, tempThreshold) -> opStatus :: get the temperature threshold of its die. ! get temperature
    threshold
getMemUtilizationRate(int) -> memUtilizationRate :: get the memory utilization rate of die. ! get memory utilization
    rate
getMcuUtilizationRate(int, mcuUtilizationRate) -> opStatus :: get the mcu utilization rate of die. !
getUtilizationRate(int) -> utilizationRate :: get the utilization rate of die. !
getRunningProcesses(int, list) -> list :: get the process information of die. !
getNetWorkRunningInfo(int, list) -> list :: get the net process information of die. ! get network running info
""",
}

# Library functions not named after their binding.
LIBRARY = {"getHandleFromNumpy": "kycmMallocHost", "getCardHandleByUUID": "kymlGetHandleByUUID",
           "getCardHandleByPciBusId": "kymlGetHandleByPciBusId", "setKyceOPAttr": "kyceSetOpAttr",
           "loadCustomizedOp": "kyceLoadCustomizedOps",
           "setCustomizedOpCfgCallbackExample": "kyceSetCustomizedOpCfgCallback",
           "setKyceOPAttrArray": "kyceSetOpAttr",
           **{f"getKyceOPAttr{kind}": "kyceGetOpAttr" for kind in ("Int", "Uint8", "Uint16", "Uint32", "Uint64",
                                                                  "Float", "Double")},
           **{f"getKyceOPAttrArray{kind}": "kyceGetOpAttrArray" for kind in ("Int", "Uint8", "Uint16", "Uint32",
                                                                            "Uint64", "Float", "Double")}}


def table(sub):
    """(surface line, failure mark or None) per name."""
    lines = [line.partition(" !") for line in re.sub(r"\n +", " ", SURFACE[sub].strip()).splitlines()]
    return [(line, mark.strip() if bang else None) for line, bang, mark in lines]


def signature(doc, name, own):
    """A rendered docstring as "(params) -> result[ :: text]", overloads joined by " | "; anything else as it
    stands."""
    text = re.sub(r"\barg\d+: ", "", doc.replace(own, "")).replace(f"self: {name}, ", "").replace(f"self: {name})", ")")
    overloads = re.findall(rf"^\d+\. {name}(\(.*\) -> \S+)\n(?:\n(.+)\n)?", text, re.M)
    if text.startswith(f"{name}(*args, **kwargs)\nOverloaded function.") and overloads:
        docs = {d for _, d in overloads}
        return " | ".join(s for s, _ in overloads) + (f" :: {docs.pop()}" if len(docs) == 1 and "" not in docs else "")
    match = re.fullmatch(r"\w+(\(.*\)(?: -> \S+)?)\n(?:\n(.+)\n)?", text)
    return text if match is None else match[1] + (f" :: {match[2]}" if match[2] is not None else "")


def render(sub):
    module, own = getattr(quillon, sub), f"_quillon_pybind11.{sub}."
    lines = []
    for name, value in vars(module).items():
        if name.startswith("__"):
            continue
        if type(value) is int:
            if lines and lines[-1].startswith("const "):
                lines[-1] += f", {name}={value}"
            else:
                lines.append(f"const {name}={value}")
        elif type(value).__name__ == "builtin_function_or_method":
            lines.append(name + signature(value.__doc__, name, own))
        elif hasattr(value, "__members__"):
            members = [(member, item.value) for member, item in value.__members__.items()]
            prefix = os.path.commonprefix([m for m, _ in members])
            prefix = prefix[:prefix.rfind("_") + 1]
            shown = [m[len(prefix):] + ("" if i and v == members[i - 1][1] + 1 else f"={v}")
                     for i, (m, v) in enumerate(members)]
            lines.append(f"enum {name} {prefix}*: " + ", ".join(shown))
        elif isinstance(value, type):
            parts = [attr + ("=" if item.fset else "") if isinstance(item, property) else
                     attr + signature(item.__doc__, name, own) for attr, item in vars(value).items()
                     if not attr.startswith("_")]
            init = signature(value.__init__.__doc__, name, own).removesuffix(" -> None")
            lines.append(f"class {name}{init}: " + ", ".join(parts))
        else:
            lines.append(f"{name}: {type(value).__name__}")
    return lines


@pytest.mark.parametrize("sub", SURFACE)
def test_every_name_in_order_with_its_signature_and_docstring(sub):
    assert render(sub) == [line for line, _ in table(sub)]


FAILING = [pytest.param(sub, line, mark, id=line.partition("(")[0]) for sub in SURFACE
           for line, mark in table(sub) if mark is not None]


@pytest.mark.parametrize("sub, line, mark", FAILING)
def test_library_failure_of_each_binding(journal, sub, line, mark):
    module, (name, params) = getattr(quillon, sub), re.match(r"(\w+)\((.*?)\)", line).groups()
    library = LIBRARY.get(name, sub + name[0].upper() + name[1:])
    args = [least_argument(module, kind) for kind in params.split(", ") if kind and "=" not in kind]
    testctl.arm_failure(library, 2**32 - 2)
    if mark == "=":
        result = getattr(module, name)(*args)
        # kyml's status enumeration is signed, as its C type is.
        assert int(result) % 2**32 == 2**32 - 2 and type(result) in (int, getattr(module, "opStatus", int))
    else:
        raised = pytest.raises(RuntimeError, getattr(module, name), *args)
        text = mark or " ".join(word.lower() for word in re.findall(r"[A-Z]+(?![a-z])|[A-Z]?[a-z0-9]+", name))
        assert str(raised.value) == f"{text} error, ret: -2."
    assert [call for call, _ in journal()] == [library]
