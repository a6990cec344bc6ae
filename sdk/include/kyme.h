/* The media engine library libkyme: H.264, HEVC and JPEG decoding and encoding. */
#ifndef KYME_H
#define KYME_H

#include "ky_api.h"

KY_BEGIN_DECLS

typedef uint32_t kymeRet_t;

/* Media types */

#define KYME_MAX_VIDEO_PLANE 3

#define kymeER_SUCCESS 0
#define kymeER_RSLT_OK 0
#define kymeER_RSLT_WARN_MORE_DATA 401001
#define kymeER_RSLT_WARN_EOS 401002
#define kymeER_RSLT_WARN_DAMAGED 401003
#define kymeER_RSLT_ERR_START 402000

typedef enum {
  KYME_CODEC_DEC_JPEG = 0,
  KYME_CODEC_DEC_H264 = 1,
  KYME_CODEC_DEC_HEVC = 2,
  KYME_CODEC_ENC_JPEG = 100,
  KYME_CODEC_ENC_H264 = 101,
  KYME_CODEC_ENC_HEVC = 102,
  KY_ENUM_RANGE(kymeCodecType)
} kymeCodecType;

typedef enum { KYME_SRC_FRAME = 0, KY_ENUM_RANGE(kymeSourceMode) } kymeSourceMode;

typedef enum {
  KYME_MEM_DEVICE = 0,
  KYME_MEM_HOST = 1,
  KYME_MEM_FLUSH = 2,
  KY_ENUM_RANGE(kymeMemoryType)
} kymeMemoryType;

typedef enum {
  KYME_PIX_FMT_NONE = -1,
  KYME_PIX_FMT_YUV420P = 0,
  KYME_PIX_FMT_YUV444P = 1,
  KYME_PIX_FMT_YUV422P = 2,
  KYME_PIX_FMT_YUV420P9 = 3,
  KYME_PIX_FMT_YUV422P9 = 4,
  KYME_PIX_FMT_YUV444P9 = 5,
  KYME_PIX_FMT_YUV420P10 = 6,
  KYME_PIX_FMT_YUV422P10 = 7,
  KYME_PIX_FMT_YUV444P10 = 8,
  KYME_PIX_FMT_YUV420P12 = 9,
  KYME_PIX_FMT_YUV422P12 = 10,
  KYME_PIX_FMT_YUV444P12 = 11,
  KYME_PIX_FMT_NV12 = 12,
  KYME_PIX_FMT_NV21 = 13,
  KYME_PIX_FMT_GRAY8 = 14,
  KYME_PIX_FMT_GRAY9 = 15,
  KYME_PIX_FMT_GRAY10 = 16,
  KYME_PIX_FMT_GRAY12 = 17,
  KYME_PIX_FMT_RGB24 = 18,
  KYME_PIX_FMT_BGR24 = 19,
  KYME_PIX_FMT_ARGB = 20,
  KYME_PIX_FMT_RGBA = 21,
  KYME_PIX_FMT_ABGR = 22,
  KYME_PIX_FMT_BGRA = 23,
  KYME_PIX_FMT_YUV420_PLANAR_10BIT_I010 = 24,
  KYME_PIX_FMT_YUV420_PLANAR_10BIT_P010 = 25,
  KY_ENUM_RANGE(kymePixelFormat)
} kymePixelFormat;

typedef enum {
  KYME_ST_NONE = 0,
  KYME_ST_READY = 1,
  KYME_ST_RUNNING = 2,
  KYME_ST_ERROR = 3,
  KYME_ST_STOPPING = 4,
  KYME_ST_STOPPED = 5,
  KY_ENUM_RANGE(kymeState)
} kymeState;

typedef enum { KYME_FLD_FRAME = 0, KY_ENUM_RANGE(kymeVideoField) } kymeVideoField;

typedef enum { KYME_FRM_I = 0, KYME_FRM_P = 1, KYME_FRM_B = 2, KY_ENUM_RANGE(kymeFrameType) } kymeFrameType;

typedef enum {
  KYME_CHROMA_FMT_NONE = -1,
  KYME_CHROMA_FMT_400 = 0,
  KYME_CHROMA_FMT_411 = 1,
  KYME_CHROMA_FMT_420 = 2,
  KYME_CHROMA_FMT_422 = 3,
  KYME_CHROMA_FMT_440 = 4,
  KYME_CHROMA_FMT_444 = 5,
  KY_ENUM_RANGE(kymeChromaFormat)
} kymeChromaFormat;

typedef enum {
  KYME_JPEG_NONE = 0,
  KYME_JPEG_BASELINE = 1,
  KYME_JPEG_PROGRESSIVE = 2,
  KYME_JPEG_NONINTERLEAVED = 3,
  KY_ENUM_RANGE(kymeJpegCodingMode)
} kymeJpegCodingMode;

/* Profiles and levels of different codecs share values. */
typedef enum {
  KYME_VIDEO_PRFL_HEVC_MAIN_STILL_PICTURE = 1,
  KYME_VIDEO_PRFL_HEVC_MAIN = 0,
  KYME_VIDEO_PRFL_HEVC_MAIN_10 = 2,
  KYME_VIDEO_PRFL_HEVC_MAIN_REXT = 3,
  KYME_VIDEO_PRFL_H264_BASELINE = 9,
  KYME_VIDEO_PRFL_H264_MAIN = 10,
  KYME_VIDEO_PRFL_H264_HIGH = 11,
  KYME_VIDEO_PRFL_H264_HIGH_10 = 12,
  KYME_VIDEO_PRFL_AV1_MAIN = 0,
  KYME_VIDEO_PRFL_AV1_HIGH = 1,
  KYME_VIDEO_PRFL_AV1_PROFESSIONAL = 2,
  KY_ENUM_RANGE(kymeVideoProfile)
} kymeVideoProfile;

typedef enum {
  KYME_VIDEO_LVL_HEVC_1 = 30,
  KYME_VIDEO_LVL_HEVC_2 = 60,
  KYME_VIDEO_LVL_HEVC_2_1 = 63,
  KYME_VIDEO_LVL_HEVC_3 = 90,
  KYME_VIDEO_LVL_HEVC_3_1 = 93,
  KYME_VIDEO_LVL_HEVC_4 = 120,
  KYME_VIDEO_LVL_HEVC_4_1 = 123,
  KYME_VIDEO_LVL_HEVC_5 = 150,
  KYME_VIDEO_LVL_HEVC_5_1 = 153,
  KYME_VIDEO_LVL_HEVC_5_2 = 156,
  KYME_VIDEO_LVL_HEVC_6 = 180,
  KYME_VIDEO_LVL_HEVC_6_1 = 183,
  KYME_VIDEO_LVL_HEVC_6_2 = 186,
  KYME_VIDEO_LVL_H264_1 = 10,
  KYME_VIDEO_LVL_H264_1_b = 99,
  KYME_VIDEO_LVL_H264_1_1 = 11,
  KYME_VIDEO_LVL_H264_1_2 = 12,
  KYME_VIDEO_LVL_H264_1_3 = 13,
  KYME_VIDEO_LVL_H264_2 = 20,
  KYME_VIDEO_LVL_H264_2_1 = 21,
  KYME_VIDEO_LVL_H264_2_2 = 22,
  KYME_VIDEO_LVL_H264_3 = 30,
  KYME_VIDEO_LVL_H264_3_1 = 31,
  KYME_VIDEO_LVL_H264_3_2 = 32,
  KYME_VIDEO_LVL_H264_4 = 40,
  KYME_VIDEO_LVL_H264_4_1 = 41,
  KYME_VIDEO_LVL_H264_4_2 = 42,
  KYME_VIDEO_LVL_H264_5 = 50,
  KYME_VIDEO_LVL_H264_5_1 = 51,
  KYME_VIDEO_LVL_H264_5_2 = 52,
  KYME_VIDEO_LVL_H264_6 = 60,
  KYME_VIDEO_LVL_H264_6_1 = 61,
  KYME_VIDEO_LVL_H264_6_2 = 62,
  KY_ENUM_RANGE(kymeVideoLevel)
} kymeVideoLevel;

/* Compressed data handed to a decoder or received from an encoder. */
typedef struct kymeStream {
  uint8_t* data;
  uint32_t length; /* bytes at data */
  uint32_t reserved;
  int64_t pts;
  uint64_t inputBusAddress;
} kymeStream;

/* A picture: per-plane addresses and strides, size, format. */
typedef struct kymeFrame {
  uint8_t* data[KYME_MAX_VIDEO_PLANE];
  uint64_t busAddress[KYME_MAX_VIDEO_PLANE];
  uint32_t stride[KYME_MAX_VIDEO_PLANE];
  uint32_t dataSize;
  uint32_t width;
  uint32_t height;
  int64_t pts; /* presentation time stamp or picture counter */
  kymeMemoryType memoryType;
  kymeVideoField field;
  kymePixelFormat pixelFormat;
  kymeFrameType frameType;
  struct CropInfo {
    uint32_t flag;
    uint32_t width;
    uint32_t height;
    uint32_t xOffset;
    uint32_t yOffset;
  } cropInfo;
  void* privateData;
} kymeFrame;

typedef struct kymeVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t build;
} kymeVersion;

typedef struct kymeHardwareID {
  int32_t dieID;
  int32_t coreID;
} kymeHardwareID;

typedef struct kymeRational {
  uint32_t numerator;
  uint32_t denominator;
} kymeRational;

KY_API kymeRet_t kymeSystemInitialize(void);
KY_API kymeRet_t kymeSystemUninitialize(void);
/* The text is owned by the library; the numbers are major, minor, patch and build. */
KY_API kymeRet_t kymeGetVersion(char** version, uint32_t* major, uint32_t* minor, uint32_t* patch, uint32_t* build);

/* Decoder */

#define KYME_DEC_MAX_PIX_FMT_NUM 23
#define KYME_DEC_MAX_CODING_MODE_NUM 23
#define KYME_DEC_JPEG_MAX_WIDTH 32768
#define KYME_DEC_JPEG_MAX_HEIGHT 32768
#define KYME_DEC_JPEG_MIN_WIDTH 128
#define KYME_DEC_JPEG_MIN_HEIGHT 128
#define KYME_DEC_VIDEO_MAX_WIDTH 4096
#define KYME_DEC_VIDEO_MAX_HEIGHT 4096
#define KYME_DEC_VIDEO_MIN_WIDTH 128
#define KYME_DEC_VIDEO_MIN_HEIGHT 128
#define KYME_DEC_MAX_STREAM_BUFFER_SIZE 0x1000000

typedef enum {
  KYME_DEC_NORMAL = 0,
  KYME_DEC_INTRA_ONLY = 1,
  KYME_DEC_SKIP_NONREF = 2,
  KY_ENUM_RANGE(kymeDecMode)
} kymeDecMode;

typedef struct kymeDecChannelParameters {
  kymeCodecType codecType;
  kymeSourceMode sourceMode;
  kymeDecMode decodeMode;
  kymePixelFormat pixelFormat; /* of the pictures the channel gives out */
  uint32_t extraBufferNumber;  /* pictures the channel may hold beyond its base count */
  uint32_t enProfiling;
  uint32_t enableMC;
} kymeDecChannelParameters;

typedef struct kymeDecStreamInfo {
  uint32_t width;
  uint32_t height;
  uint32_t fps;
  uint32_t pixelSize;
} kymeDecStreamInfo;

typedef struct kymeDecJpegInfo {
  uint32_t width;
  uint32_t height;
  uint32_t x_density;
  uint32_t y_density;
  kymeChromaFormat outputFormat;
  kymeJpegCodingMode codingMode;
} kymeDecJpegInfo;

typedef struct kymeDecStatus {
  kymeState state;
  kymeHardwareID hardwareID;
  uint32_t result;
  uint32_t runningFrames;
  uint32_t reorderedFrames;
  uint32_t bufferedFrames;
  uint32_t droppedFrames;
} kymeDecStatus;

typedef struct kymeDecOutputOptions {
  kymeMemoryType memoryType;
  uint32_t enableCrop;
} kymeDecOutputOptions;

typedef struct kymeDecVideoInfo {
  uint32_t width;
  uint32_t height;
  uint32_t cropFlag;
  uint32_t cropWidth;
  uint32_t cropHeight;
  uint32_t xOffset;
  uint32_t yOffset;
  kymeRational fps;
  kymePixelFormat pixelFormat;
} kymeDecVideoInfo;

typedef struct kymeJpegDecCapability {
  uint32_t maxWidth;
  uint32_t maxHeight;
  uint32_t minWidth;
  uint32_t minHeight;
  kymeJpegCodingMode codingMode[KYME_DEC_MAX_CODING_MODE_NUM];
  kymePixelFormat pixelFormats[KYME_DEC_MAX_PIX_FMT_NUM];
} kymeJpegDecCapability;

typedef struct kymeVideoDecCapability {
  uint32_t bitDepth;
  uint32_t maxWidth;
  uint32_t maxHeight;
  uint16_t minWidth;
  uint16_t minHeight;
  kymeVideoProfile maxProFile;
  kymeVideoLevel maxLevel;
  kymePixelFormat pixelFormats[KYME_DEC_MAX_PIX_FMT_NUM];
} kymeVideoDecCapability;

KY_API kymeRet_t kymeCreateDecoderChannel(kymeDecChannelParameters* parameters, uint32_t channel);
/* The symbol keeps its historical spelling. */
KY_API kymeRet_t kymeDestoryDecoderChannel(uint32_t channel);
KY_API kymeRet_t kymeStartDecoder(uint32_t channel);
KY_API kymeRet_t kymeResetDecoder(uint32_t channel);
KY_API kymeRet_t kymeStopDecoder(uint32_t channel);
/* Time-outs are in milliseconds; 0xFFFFFFFF waits without limit. */
KY_API kymeRet_t kymeSendStreamToDecoder(uint32_t channel, kymeStream* stream, uint32_t timeout);
KY_API kymeRet_t kymeReceiveFrameFromDecoder(uint32_t channel, kymeFrame* output, kymeDecOutputOptions* options,
                                             uint32_t timeout);
KY_API kymeRet_t kymeJpegSyncDecoder(uint32_t channel, kymeStream* stream, kymeFrame* output, uint32_t timeout);
KY_API kymeRet_t kymeTransferFrameFromDecoder(uint32_t channel, kymeFrame* frame, uint32_t flag);
KY_API kymeRet_t kymeDecReleaseFrame(uint32_t channel, kymeFrame* frame, uint32_t timeout);
KY_API kymeRet_t kymeGetJpegInfo(kymeStream* stream, kymeDecJpegInfo* info);
KY_API kymeRet_t kymeGetVideoInfo(kymeStream* stream, kymeCodecType codec, kymeDecVideoInfo* info);
KY_API kymeRet_t kymeGetStreamInfoFromDecoder(uint32_t channel, kymeDecStreamInfo* info);
KY_API kymeRet_t kymeGetDecoderStatus(uint32_t channel, kymeDecStatus* status);
KY_API kymeRet_t kymeJpegDecGetCaps(kymeJpegDecCapability* output);
KY_API kymeRet_t kymeVideoDecGetCaps(kymeCodecType codec, kymeVideoDecCapability* output);
KY_API kymeRet_t kymeGetDecoderAvailableChannels(uint32_t* count);

/* Encoder */

#define KYME_ENC_MAX_STRM_BUF_NUM 2
#define KYME_ENC_MAX_REF_FRAMES 8
#define KYME_ENC_MAX_GOP_SIZE 16
#define KYME_ENC_MAX_LTR_FRAMES 8
#define KYME_ENC_MAX_ROI_NUM 8
#define KYME_ENC_DEFAULT_PAR 0xFFFFFFFFu /* in an unsigned field: the encoder's default */
#define KYME_ENC_VIDEO_MAX_HEIGHT 8192
#define KYME_ENC_VIDEO_MAX_WIDTH 8192
#define KYME_ENC_VIDEO_MIN_HEIGHT 64
#define KYME_ENC_VIDEO_MIN_WIDTH 64
#define KYME_ENC_JPEG_MAX_HEIGHT 16384
#define KYME_ENC_JPEG_MAX_WIDTH 16384
#define KYME_ENC_JPEG_MIN_HEIGHT 32
#define KYME_ENC_JPEG_MIN_WIDTH 32
#define KYME_ENC_MAX_OUTBUF_NUM 32

typedef enum {
  KYME_GOLD_QUALITY = 0,
  KYME_SILVER_QUALITY = 1,
  KYME_SILVER2_QUALITY = 2,
  KYME_BRONZE_QUALITY = 3,
  KY_ENUM_RANGE(kymeEncQualityMode)
} kymeEncQualityMode;

typedef enum {
  KYME_ENC_TUNE_PSNR = 0,
  KYME_ENC_TUNE_SSIM = 1,
  KYME_ENC_TUNE_VISUAL = 2,
  KYME_ENC_TUNE_SHARP_VISUAL = 3,
  KY_ENUM_RANGE(kymeEncTuneType)
} kymeEncTuneType;

typedef enum { KYME_ENC_QP = 0, KYME_ENC_QP_DELTA = 1, KY_ENUM_RANGE(kymeEncQPType) } kymeEncQPType;

/* The HEVC NAL unit types of prefix and suffix SEI. */
typedef enum { KYME_ENC_SEI_PREFIX = 39, KYME_ENC_SEI_SUFFIX = 40, KY_ENUM_RANGE(kymeEncSEINalType) } kymeEncSEINalType;

typedef enum {
  KYME_SEI_BUFFERING_PERIOD = 0,
  KYME_SEI_USER_DATA_UNREGISTERED = 5,
  KY_ENUM_RANGE(kymeSEIPayloadType)
} kymeSEIPayloadType;

typedef struct kymeEncExternalSEI {
  kymeEncSEINalType nalType;
  uint8_t payloadType; /* a kymeSEIPayloadType value */
  uint32_t payloadDataSize;
  uint8_t* payloadData;
} kymeEncExternalSEI;

typedef struct kymeEncPictureArea {
  uint32_t enable;
  uint32_t top;
  uint32_t left;
  uint32_t bottom;
  uint32_t right;
} kymeEncPictureArea;

typedef struct kymeEncPictureROI {
  kymeEncPictureArea area;
  kymeEncQPType qpType;
  int32_t qpValue;
} kymeEncPictureROI;

typedef struct kymeEncROIMap {
  int8_t* roiMapDeltaQp;
  uint32_t roiMapDeltaQpSize;
} kymeEncROIMap;

/* Per-picture parameters; the area holds either ROIs or an ROI map. */
typedef struct kymeEncExtendedParams {
  uint32_t forceIDR;
  union {
    kymeEncPictureROI roi[KYME_ENC_MAX_ROI_NUM];
    kymeEncROIMap roiMap;
  } area;
  uint32_t updateBitRate;
  uint32_t resetStream;
} kymeEncExtendedParams;

typedef struct kymeEncVideoConfiguration {
  kymeVideoProfile profile;
  kymeVideoLevel level;
  uint32_t width;
  uint32_t height;
  kymeRational frameRate;
  uint32_t bitDepthLuma;
  uint32_t bitDepthChroma;
  uint32_t gopSize;
  uint32_t gdrDuration;
  uint32_t lookaheadDepth;
  kymeEncQualityMode qualityMode;
  kymeEncTuneType tune;
  uint32_t keyInt;
  int32_t crf;
  uint32_t cqp;
  uint32_t llRc;
  uint32_t bitRate;
  uint32_t initQp;
  uint32_t vbvBufSize;
  uint32_t vbvMaxRate;
  uint32_t intraQpDelta;
  uint32_t qpMinI;
  uint32_t qpMaxI;
  uint32_t qpMinPB;
  uint32_t qpMaxPB;
  uint32_t vbr;
  float aqStrength;
  uint32_t enableROI;
  uint32_t P2B;
  uint32_t bBPyramid;
  float maxFrameSizeMultiple;
} kymeEncVideoConfiguration;

typedef struct kymeEncJPEGConfiguration {
  uint32_t codingWidth;
  uint32_t codingHeight;
  kymePixelFormat frameType;
  uint32_t userDataLength; /* bytes at userData, the terminating zero included */
  const char* userData;
  uint32_t losslessEn;
} kymeEncJPEGConfiguration;

typedef struct kymeEncChannelParameters {
  kymeCodecType codecType;
  uint32_t outbufNum;
  uint32_t enProfiling;
  union {
    kymeEncVideoConfiguration video; /* H.264 and HEVC */
    kymeEncJPEGConfiguration jpeg;   /* KYME_CODEC_ENC_JPEG */
  } config;
} kymeEncChannelParameters;

typedef struct kymeEncOutputOptions {
  uint32_t reserved;
} kymeEncOutputOptions;

KY_API kymeRet_t kymeCreateEncoderChannel(kymeEncChannelParameters* parameters, uint32_t channel);
/* The symbol keeps its historical spelling. */
KY_API kymeRet_t kymeDestoryEncoderChannel(uint32_t channel);
KY_API kymeRet_t kymeStartEncoder(uint32_t channel);
KY_API kymeRet_t kymeResetEncoder(uint32_t channel);
KY_API kymeRet_t kymeStopEncoder(uint32_t channel);
/* `params` may be null. */
KY_API kymeRet_t kymeSendFrameToEncoder(uint32_t channel, kymeFrame* frame, kymeEncExtendedParams* params,
                                        uint32_t timeout);
/* The bytes stay the library's until kymeEncReleaseStream. */
KY_API kymeRet_t kymeReceiveStreamFromEncoder(uint32_t channel, kymeStream* stream, uint32_t timeout);
KY_API kymeRet_t kymeJpegSyncEncoder(uint32_t channel, kymeFrame* frame, kymeStream* output,
                                     kymeEncExtendedParams* params, uint32_t timeout);
KY_API kymeRet_t kymeEncReleaseStream(uint32_t channel, kymeStream* stream, uint32_t timeout);
KY_API kymeRet_t kymeGetEncoderAvailableChannels(uint32_t* count);

KY_END_DECLS

#endif /* KYME_H */
