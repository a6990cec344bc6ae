/* The preprocess op engine libkyce: image operations on device images.
 * Every function returns kyceER_SUCCESS (0) or one of the kyceER_ codes below. */
#ifndef KYCE_H
#define KYCE_H

#include "ky_api.h"

KY_BEGIN_DECLS

typedef enum kyceImageType {
  kyceIMG_YUV_NV12 = 0,
  kyceIMG_YUV_I420 = 1,
  kyceIMG_RGB_PLANAR = 5000,
  kyceIMG_RGB888 = 5002,
  kyceIMG_BGR888 = 5003,
  kyceIMG_GRAY = 5004,
  kyceIMG_FORMAT_BUTT = 5005,
  KY_ENUM_RANGE(kyceImageType)
} kyceImageType;

typedef enum kyceOpType {
  kyceOP_MEM_COPY_OP = 10,
  kyceOP_BERT_EMBEDDING_OP = 11,
  kyceOP_CUSTOMIZED_OP = 20,
  kyceOP_RESIZE = 30,
  kyceOP_CROP = 31,
  kyceOP_CVT_COLOR = 32,
  kyceOP_BATCH_CROP_RESIZE = 33,
  kyceOP_WARP_AFFINE = 34,
  kyceOP_FLIP = 35,
  kyceOP_SCALE = 36,
  kyceOP_COPY_MAKE_BORDER = 37,
  kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR = 100,
  kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR = 101,
  kyceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR = 102,
  kyceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR = 103,
  kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR = 104,
  kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR = 105,
  kyceOP_FUSION_OP_YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR = 106,
  kyceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR = 107,
  kyceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR = 108,
  kyceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR = 109,
  kyceOP_FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR = 110,
  kyceOP_FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR = 111,
  kyceOP_FUSION_OP_MAX_NUM = 255,
  KY_ENUM_RANGE(kyceOpType)
} kyceOpType;

typedef enum kyceResizeType {
  kyceRESIZE_NO_RESIZE = 0,
  kyceRESIZE_BILINEAR = 1,
  kyceRESIZE_NEAREST = 2,
  kyceRESIZE_BICUBIC = 3,
  kyceRESIZE_LANCZOS = 4,
  kyceRESIZE_BILINEAR_PILLOW = 5,
  kyceRESIZE_BILINEAR_CV = 6,
  kyceRESIZE_LANCZOS_PILLOW = 7,
  kyceRESIZE_LANCZOS_CV = 8,
  kyceRESIZE_BOX_PILLOW = 9,
  kyceRESIZE_HAMMING_PILLOW = 10,
  kyceRESIZE_BICUBIC_PILLOW = 11,
  kyceRESIZE_NEAREST_CV = 12,
  kyceRESIZE_BUTT = 13,
  KY_ENUM_RANGE(kyceResizeType)
} kyceResizeType;

typedef enum kyceColorCvtCode {
  kyceCOLOR_YUV2RGB_NV12 = 0,
  kyceCOLOR_YUV2BGR_NV12 = 1,
  kyceCOLOR_NO_CHANGE = 2,
  kyceCOLOR_BGR2RGB = 3,
  kyceCOLOR_RGB2BGR = 3,
  kyceCOLOR_BGR2RGB_INTERLEAVE2PLANAR = 4,
  kyceCOLOR_RGB2BGR_INTERLEAVE2PLANAR = 5,
  kyceCOLOR_BGR2BGR_INTERLEAVE2PLANAR = 6,
  kyceCOLOR_RGB2RGB_INTERLEAVE2PLANAR = 7,
  kyceCOLOR_YUV2GRAY_NV12 = 8,
  kyceCOLOR_BGR2GRAY_INTERLEAVE = 9,
  kyceCOLOR_BGR2GRAY_PLANAR = 10,
  kyceCOLOR_RGB2GRAY_INTERLEAVE = 11,
  kyceCOLOR_RGB2GRAY_PLANAR = 12,
  kyceCOLOR_RGB2YUV_NV12_PLANAR = 13,
  kyceCOLOR_BGR2YUV_NV12_PLANAR = 14,
  kyceCOLOR_CVT_CODE_BUTT = 15,
  KY_ENUM_RANGE(kyceColorCvtCode)
} kyceColorCvtCode;

typedef enum kyceColorSpace {
  kyceCOLOR_SPACE_BT709 = 0,
  kyceCOLOR_SPACE_BT601 = 1,
  kyceCOLOR_SPACE_BUTT = 2,
  KY_ENUM_RANGE(kyceColorSpace)
} kyceColorSpace;

typedef enum kyceFlipType {
  kyceFLIP_X_AXIS = 0,
  kyceFLIP_Y_AXIS = 1,
  kyceFLIP_BOTH_AXES = 2,
  KY_ENUM_RANGE(kyceFlipType)
} kyceFlipType;

typedef enum kycePaddingType {
  kyceEDGE_PADDING_TYPE_CONSTANT = 0,
  kyceEDGE_PADDING_REPLICATE = 1,
  kyceEDGE_PADDING_TYPE_REFLECT = 2,
  kyceEDGE_PADDING_TYPE_BUTT = 3,
  KY_ENUM_RANGE(kycePaddingType)
} kycePaddingType;

typedef enum kyceWarpAffineMode {
  kyceWARP_AFFINE_MODE_NEAREST = 0,
  kyceWARP_AFFINE_MODE_BILINEAR = 1,
  kyceWARP_AFFINE_MODE_BUTT = 2,
  KY_ENUM_RANGE(kyceWarpAffineMode)
} kyceWarpAffineMode;

typedef enum kyceDataType {
  kyceDT_INT = 1,
  kyceDT_UINT_8 = 2,
  kyceDT_UINT_16 = 3,
  kyceDT_UINT_32 = 4,
  kyceDT_UINT_64 = 5,
  kyceDT_FLOAT = 6,
  kyceDT_FLOAT_16 = 7,
  kyceDT_DOUBLE = 8,
  KY_ENUM_RANGE(kyceDataType)
} kyceDataType;

typedef enum kyceParamType {
  kycePARAM_ELEMENT = 1,
  kycePARAM_ARRAY = 2,
  kycePARAM_TENSOR = 3,
  KY_ENUM_RANGE(kyceParamType)
} kyceParamType;

typedef enum kyceNormType {
  kyceNORM_NORMALIZATION_NONE = 0,
  kyceNORM_EQUAL = 1,
  kyceNORM_MINUSMEAN = 2,
  kyceNORM_MINUSMEAN_DIVSTD = 3,
  kyceNORM_DIV255_MINUSMEAN_DIVSTD = 4,
  kyceNORM_DIV1275_MINUSONE = 5,
  kyceNORM_DIV255 = 6,
  kyceNORM_NORMALIZATION_NONE_BUTT = 7,
  KY_ENUM_RANGE(kyceNormType)
} kyceNormType;

typedef enum kyceTensorizationType {
  kyceTENSORIZATION_NONE = 0,
  kyceTENSORIZATION_UINT8 = 1,
  kyceTENSORIZATION_UINT8_INTERLEAVE = 2,
  kyceTENSORIZATION_FP16 = 3,
  kyceTENSORIZATION_FP16_INTERLEAVE = 4,
  kyceTENSORIZATION_FP16_INTERLEAVE_RGB = 5,
  kyceTENSORIZATION_TYPE_BUTT = 6,
  KY_ENUM_RANGE(kyceTensorizationType)
} kyceTensorizationType;

/* An image in device memory: its size, the pitches its planes are laid out
 * with (in pixels) and its format. docs/kyce.md gives each format's layout. */
typedef struct kyceImageDesc {
  int32_t width;
  int32_t height;
  int32_t widthPitch;
  int32_t heightPitch;
  kyceImageType format;
} kyceImageDesc;

typedef struct cropRect {
  int32_t start_x;
  int32_t start_y;
  int32_t width;
  int32_t height;
} cropRect;

typedef struct kycePaddingEdges {
  uint32_t top;
  uint32_t bottom;
  uint32_t left;
  uint32_t right;
} kycePaddingEdges;

/* The constant padding value of each channel, in the image's channel order. */
typedef struct kycePaddingValues {
  uint8_t value[3];
} kycePaddingValues;

#define KYCE_AFFINE_MATRIX_CAPACITY 6
/* A 2x3 affine matrix in row order: [a b c; d e f]. */
typedef struct kyceAffineMatrix {
  double matrix[KYCE_AFFINE_MATRIX_CAPACITY];
} kyceAffineMatrix;

#define OPNAME_MAX_LEN 256

/* Return codes. */
#define kyceER_SUCCESS 0
#define kyceER_BASE 200000
#define kyceER_NULL_ARGUMENT (kyceER_BASE + 1)     /* a null handle, record or array */
#define kyceER_INVALID_FORMAT (kyceER_BASE + 2)    /* a format the op does not take for that image */
#define kyceER_INVALID_DATA_TYPE (kyceER_BASE + 3) /* a data type outside 1 to 8 */
#define kyceER_INVALID_SIZE (kyceER_BASE + 4)      /* sizes: not positive, odd for YUV, out of the source, mismatched */
#define kyceER_INVALID_PITCH (kyceER_BASE + 5)     /* a pitch smaller than its size, or odd for YUV */
#define kyceER_INVALID_MEMORY (kyceER_BASE + 6)    /* not device memory, or a buffer too small for its description */
#define kyceER_INVALID_TYPE (kyceER_BASE + 7)      /* an enumeration value the op does not know */
#define kyceER_INVALID_PARAMETER (kyceER_BASE + 8) /* other parameters: a count of 0, a singular matrix */
#define kyceER_OPERATION_FAILED (kyceER_BASE + 9)  /* the operation could not run (host memory exhausted) */
/* Op objects. */
#define kyceER_OP_NOT_SUPPORTED (kyceER_BASE + 20) /* an op type the library does not implement */
#define kyceER_ATTR_NAME (kyceER_BASE + 21)        /* no attribute of that name on the op */
#define kyceER_ATTR_TYPE (kyceER_BASE + 22)        /* a data or parameter type other than the attribute's */
#define kyceER_ATTR_INDEX (kyceER_BASE + 23)       /* an index outside the attribute's elements */

KY_API uint32_t kyceGetVersion(const char** text, uint32_t* major, uint32_t* minor, uint32_t* patch, uint32_t* build);

KY_API uint32_t kyceResize(kyceResizeType type, kyceImageDesc input, void* input_image, kyceImageDesc output,
                           void* output_image);
KY_API uint32_t kyceCrop(cropRect* rect, kyceImageDesc input, void* input_image, kyceImageDesc output,
                         void* output_image);
KY_API uint32_t kyceYuvFlip(kyceFlipType axis, kyceImageDesc input, void* input_image, kyceImageDesc output,
                            void* output_image);
KY_API uint32_t kyceWarpAffine(kyceAffineMatrix* matrix, kyceWarpAffineMode mode, kycePaddingType padding,
                               kycePaddingValues* values, kyceImageDesc input, void* input_image, kyceImageDesc output,
                               void* output_image);
KY_API uint32_t kyceCvtColor(kyceColorCvtCode code, kyceColorSpace space, kyceImageDesc input, void* input_image,
                             kyceImageDesc output, void* output_image);
KY_API uint32_t kyceResizeCopyMakeBorder(kyceResizeType type, kycePaddingType padding, kycePaddingValues* values,
                                         kycePaddingEdges* edges, kyceImageDesc input, void* input_image,
                                         kyceImageDesc output, void* output_image);
KY_API uint32_t kyceBatchCropResize(cropRect* rects, uint32_t count, kyceResizeType type, kyceImageDesc input,
                                    void* input_image, kyceImageDesc output, void** output_images);
KY_API uint32_t kyceScale(kyceResizeType type, uint32_t count, kyceImageDesc input, void* input_image,
                          kyceImageDesc* outputs, void** output_images);

/* Op objects: an op of a type is created, given its attributes by name,
 * executed on an input and an output handle, and destroyed. docs/kyce.md gives
 * each op type's attributes and what its two handles are.
 *
 * kyceSetOpAttr takes the value after the parameter type, promoted as a
 * variadic argument: int for kyceDT_INT, kyceDT_UINT_8 and kyceDT_UINT_16,
 * unsigned int for kyceDT_UINT_32, uint64_t for kyceDT_UINT_64 and
 * kyceDT_FLOAT_16 (the binary16 bits in its low 16 bits), double for
 * kyceDT_FLOAT and kyceDT_DOUBLE. An int index follows the value when the
 * parameter type is kycePARAM_ARRAY or kycePARAM_TENSOR; it is not read for
 * kycePARAM_ELEMENT. The getters write the attribute's own width at `value`
 * (1, 2, 4 or 8 bytes, by data type). */
KY_API uint32_t kyceCreateOp(kyceOpType type, void** op);
KY_API uint32_t kyceDestroyOp(void* op);
KY_API uint32_t kyceSetOpAttr(void* op, const char* name, kyceDataType dtype, kyceParamType ptype, ...);
KY_API uint32_t kyceGetOpAttr(void* op, const char* name, kyceDataType dtype, void* value);
KY_API uint32_t kyceGetOpAttrArray(void* op, const char* name, kyceDataType dtype, int index, void* value);
KY_API uint32_t kyceExecuteOp(void* op, void* input, void* output);
/* Customized ops: plug-in libraries of user-supplied ops (kyce_plugin.h gives
 * their interface). An info is the loaded set; release it with both
 * kyceUnloadCustomizedOps (the plug-in library) and kyceDestroyCustomizedOpInfo
 * (the info), in either order. An op created from an info keeps the plug-in
 * loaded until the op itself is destroyed. */
#define kyceER_INVALID_HANDLE (kyceER_BASE + 30)     /* not a live info or op handle */
#define kyceER_PLUGIN_LOAD (kyceER_BASE + 31)        /* the plug-in library could not be loaded */
#define kyceER_PLUGIN_INVALID (kyceER_BASE + 32)     /* no entry point, another interface version, bad table */
#define kyceER_PLUGIN_RELEASED (kyceER_BASE + 33)    /* the info was already unloaded or destroyed */
#define kyceER_UNKNOWN_OP_NAME (kyceER_BASE + 34)    /* no op of that name in the plug-in */
#define kyceER_PLUGIN_UNSUPPORTED (kyceER_BASE + 35) /* the op takes no configuration of that kind */
#define kyceER_PLUGIN_FAILED (kyceER_BASE + 36)      /* the plug-in reported a failure (see the runtime log) */

/* The most slots a configuration callback table may have before its null. */
#define KYCE_MAX_CFG_CALLBACKS 16

KY_API uint32_t kyceLoadCustomizedOps(const char* path, void** info);
KY_API uint32_t kyceDestroyCustomizedOpInfo(void* info);
KY_API uint32_t kyceUnloadCustomizedOps(void* info);
KY_API uint32_t kyceGetCustomizedOpCount(void* info, int32_t* count);
KY_API uint32_t kyceGetCustomizedOpName(void* info, int32_t index, char* name, uint32_t size);
KY_API uint32_t kyceCreateCustomizedOp(void* info, const char* name, void** op);
/* The op copies what it keeps of the block or the table before returning. */
KY_API uint32_t kyceSetCustomizedOpConfig(void* op, const void* config, uint32_t size);
KY_API uint32_t kyceSetCustomizedOpCfgCallback(void* op, void* const* callbacks);

KY_END_DECLS

#endif /* KYCE_H */
