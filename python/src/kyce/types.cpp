// kyce: the op engine's enumerations, image records, Py adaptors, constants
// and version query, registered before any op that names them.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>

#include "kyce.h"
#include "kyce/adaptors.h"
#include "quillon/classes.h"
#include "quillon/enums.h"
#include "quillon/records.h"
#include "quillon/registration.h"

namespace py = pybind11;

// The byte layouts exchanged with libkyce.
QUILLON_ASSERT_LAYOUT(kyceImageType, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceOpType, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceResizeType, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceColorCvtCode, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceColorSpace, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceFlipType, 4, 4);
QUILLON_ASSERT_LAYOUT(kycePaddingType, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceWarpAffineMode, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceDataType, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceParamType, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceNormType, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceTensorizationType, 4, 4);
QUILLON_ASSERT_LAYOUT(kyceImageDesc, 20, 4);
QUILLON_ASSERT_OFFSET(kyceImageDesc, width, 0);
QUILLON_ASSERT_OFFSET(kyceImageDesc, height, 4);
QUILLON_ASSERT_OFFSET(kyceImageDesc, widthPitch, 8);
QUILLON_ASSERT_OFFSET(kyceImageDesc, heightPitch, 12);
QUILLON_ASSERT_OFFSET(kyceImageDesc, format, 16);
QUILLON_ASSERT_LAYOUT(cropRect, 16, 4);
QUILLON_ASSERT_OFFSET(cropRect, start_x, 0);
QUILLON_ASSERT_OFFSET(cropRect, start_y, 4);
QUILLON_ASSERT_OFFSET(cropRect, width, 8);
QUILLON_ASSERT_OFFSET(cropRect, height, 12);
QUILLON_ASSERT_LAYOUT(kycePaddingEdges, 16, 4);
QUILLON_ASSERT_OFFSET(kycePaddingEdges, top, 0);
QUILLON_ASSERT_OFFSET(kycePaddingEdges, bottom, 4);
QUILLON_ASSERT_OFFSET(kycePaddingEdges, left, 8);
QUILLON_ASSERT_OFFSET(kycePaddingEdges, right, 12);
QUILLON_ASSERT_LAYOUT(kycePaddingValues, 3, 1);
static_assert(sizeof(kyceAffineMatrix) >= 6 * sizeof(double), "an affine matrix holds at least six coefficients");

namespace quillon {
namespace {

// Copies the adaptor's values into the record's slots, refusing more values
// than there are slots; slots past the values stay as they are (zero).
template <std::size_t N, class Item>
void copy_bounded(const std::vector<Item>& items, Item (&slots)[N], const char* function, const char* what) {
  if (items.size() > N) {
    throw py::value_error(std::string(function) + "(): " + what + " holds " + std::to_string(items.size()) +
                          " values, more than the " + std::to_string(N) + " the library record has room for");
  }
  std::copy(items.begin(), items.end(), slots);
}

template <class T>
quillon::class_<T> record(py::module_& m, const char* name) {
  quillon::class_<T> type(m, name);
  type.def(py::init([] { return T{}; }));
  return type;
}

}  // namespace

kycePaddingValues to_padding_values(const kycePaddingValuesPy& values, const char* function) {
  kycePaddingValues record{};
  copy_bounded(values.value, record.value, function, "paddingValuesPy.value");
  return record;
}

kyceAffineMatrix to_affine_matrix(const kyceAffineMatrixPy& matrix, const char* function) {
  kyceAffineMatrix record{};
  copy_bounded(matrix.matrix, record.matrix, function, "affineMatrixPy.matrix");
  return record;
}

void register_kyce_types(py::module_& m) {
  register_enum<kyceImageType>(m, "imageType",
                               {{"kyceIMG_YUV_NV12", kyceIMG_YUV_NV12},
                                {"kyceIMG_YUV_I420", kyceIMG_YUV_I420},
                                {"kyceIMG_RGB_PLANAR", kyceIMG_RGB_PLANAR},
                                {"kyceIMG_RGB888", kyceIMG_RGB888},
                                {"kyceIMG_BGR888", kyceIMG_BGR888},
                                {"kyceIMG_GRAY", kyceIMG_GRAY},
                                {"kyceIMG_FORMAT_BUTT", kyceIMG_FORMAT_BUTT}});
  register_enum<kyceOpType>(
      m, "opType",
      {
          {"kyceOP_MEM_COPY_OP", kyceOP_MEM_COPY_OP},
          {"kyceOP_BERT_EMBEDDING_OP", kyceOP_BERT_EMBEDDING_OP},
          {"kyceOP_CUSTOMIZED_OP", kyceOP_CUSTOMIZED_OP},
          {"kyceOP_RESIZE", kyceOP_RESIZE},
          {"kyceOP_CROP", kyceOP_CROP},
          {"kyceOP_CVT_COLOR", kyceOP_CVT_COLOR},
          {"kyceOP_BATCH_CROP_RESIZE", kyceOP_BATCH_CROP_RESIZE},
          {"kyceOP_WARP_AFFINE", kyceOP_WARP_AFFINE},
          {"kyceOP_FLIP", kyceOP_FLIP},
          {"kyceOP_SCALE", kyceOP_SCALE},
          {"kyceOP_COPY_MAKE_BORDER", kyceOP_COPY_MAKE_BORDER},
          {"kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR", kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR},
          {"kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR",
           kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR},
          {"kyceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR",
           kyceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR},
          {"kyceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR",
           kyceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR},
          {"kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR",
           kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR},
          {"kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR",
           kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR},
          {"kyceOP_FUSION_OP_YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR",
           kyceOP_FUSION_OP_YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR},
          {"kyceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR", kyceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR},
          {"kyceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR", kyceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR},
          {"kyceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR",
           kyceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR},
          {"kyceOP_FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR",
           kyceOP_FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR},
          {"kyceOP_FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR", kyceOP_FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR},
          {"kyceOP_FUSION_OP_MAX_NUM", kyceOP_FUSION_OP_MAX_NUM},
      });
  register_enum<kyceResizeType>(m, "resizeType",
                                {{"kyceRESIZE_NO_RESIZE", kyceRESIZE_NO_RESIZE},
                                 {"kyceRESIZE_BILINEAR", kyceRESIZE_BILINEAR},
                                 {"kyceRESIZE_NEAREST", kyceRESIZE_NEAREST},
                                 {"kyceRESIZE_BICUBIC", kyceRESIZE_BICUBIC},
                                 {"kyceRESIZE_LANCZOS", kyceRESIZE_LANCZOS},
                                 {"kyceRESIZE_BILINEAR_PILLOW", kyceRESIZE_BILINEAR_PILLOW},
                                 {"kyceRESIZE_BILINEAR_CV", kyceRESIZE_BILINEAR_CV},
                                 {"kyceRESIZE_LANCZOS_PILLOW", kyceRESIZE_LANCZOS_PILLOW},
                                 {"kyceRESIZE_LANCZOS_CV", kyceRESIZE_LANCZOS_CV},
                                 {"kyceRESIZE_BOX_PILLOW", kyceRESIZE_BOX_PILLOW},
                                 {"kyceRESIZE_HAMMING_PILLOW", kyceRESIZE_HAMMING_PILLOW},
                                 {"kyceRESIZE_BICUBIC_PILLOW", kyceRESIZE_BICUBIC_PILLOW},
                                 {"kyceRESIZE_NEAREST_CV", kyceRESIZE_NEAREST_CV},
                                 {"kyceRESIZE_BUTT", kyceRESIZE_BUTT}});
  register_enum<kyceColorCvtCode>(m, "colorCvtCode",
                                  {{"kyceCOLOR_YUV2RGB_NV12", kyceCOLOR_YUV2RGB_NV12},
                                   {"kyceCOLOR_YUV2BGR_NV12", kyceCOLOR_YUV2BGR_NV12},
                                   {"kyceCOLOR_NO_CHANGE", kyceCOLOR_NO_CHANGE},
                                   {"kyceCOLOR_BGR2RGB", kyceCOLOR_BGR2RGB},
                                   {"kyceCOLOR_RGB2BGR", kyceCOLOR_RGB2BGR},
                                   {"kyceCOLOR_BGR2RGB_INTERLEAVE2PLANAR", kyceCOLOR_BGR2RGB_INTERLEAVE2PLANAR},
                                   {"kyceCOLOR_RGB2BGR_INTERLEAVE2PLANAR", kyceCOLOR_RGB2BGR_INTERLEAVE2PLANAR},
                                   {"kyceCOLOR_BGR2BGR_INTERLEAVE2PLANAR", kyceCOLOR_BGR2BGR_INTERLEAVE2PLANAR},
                                   {"kyceCOLOR_RGB2RGB_INTERLEAVE2PLANAR", kyceCOLOR_RGB2RGB_INTERLEAVE2PLANAR},
                                   {"kyceCOLOR_YUV2GRAY_NV12", kyceCOLOR_YUV2GRAY_NV12},
                                   {"kyceCOLOR_BGR2GRAY_INTERLEAVE", kyceCOLOR_BGR2GRAY_INTERLEAVE},
                                   {"kyceCOLOR_BGR2GRAY_PLANAR", kyceCOLOR_BGR2GRAY_PLANAR},
                                   {"kyceCOLOR_RGB2GRAY_INTERLEAVE", kyceCOLOR_RGB2GRAY_INTERLEAVE},
                                   {"kyceCOLOR_RGB2GRAY_PLANAR", kyceCOLOR_RGB2GRAY_PLANAR},
                                   {"kyceCOLOR_RGB2YUV_NV12_PLANAR", kyceCOLOR_RGB2YUV_NV12_PLANAR},
                                   {"kyceCOLOR_BGR2YUV_NV12_PLANAR", kyceCOLOR_BGR2YUV_NV12_PLANAR},
                                   {"kyceCOLOR_CVT_CODE_BUTT", kyceCOLOR_CVT_CODE_BUTT}});
  register_enum<kyceColorSpace>(m, "colorSpace",
                                {{"kyceCOLOR_SPACE_BT709", kyceCOLOR_SPACE_BT709},
                                 {"kyceCOLOR_SPACE_BT601", kyceCOLOR_SPACE_BT601},
                                 {"kyceCOLOR_SPACE_BUTT", kyceCOLOR_SPACE_BUTT}});
  register_enum<kyceFlipType>(m, "flipType",
                              {{"kyceFLIP_X_AXIS", kyceFLIP_X_AXIS},
                               {"kyceFLIP_Y_AXIS", kyceFLIP_Y_AXIS},
                               {"kyceFLIP_BOTH_AXES", kyceFLIP_BOTH_AXES}});
  register_enum<kycePaddingType>(m, "paddingType",
                                 {{"kyceEDGE_PADDING_TYPE_CONSTANT", kyceEDGE_PADDING_TYPE_CONSTANT},
                                  {"kyceEDGE_PADDING_REPLICATE", kyceEDGE_PADDING_REPLICATE},
                                  {"kyceEDGE_PADDING_TYPE_REFLECT", kyceEDGE_PADDING_TYPE_REFLECT},
                                  {"kyceEDGE_PADDING_TYPE_BUTT", kyceEDGE_PADDING_TYPE_BUTT}});
  register_enum<kyceWarpAffineMode>(m, "warpAffineMode",
                                    {{"kyceWARP_AFFINE_MODE_NEAREST", kyceWARP_AFFINE_MODE_NEAREST},
                                     {"kyceWARP_AFFINE_MODE_BILINEAR", kyceWARP_AFFINE_MODE_BILINEAR},
                                     {"kyceWARP_AFFINE_MODE_BUTT", kyceWARP_AFFINE_MODE_BUTT}});
  register_enum<kyceDataType>(m, "dataType",
                              {{"kyceDT_INT", kyceDT_INT},
                               {"kyceDT_UINT_8", kyceDT_UINT_8},
                               {"kyceDT_UINT_16", kyceDT_UINT_16},
                               {"kyceDT_UINT_32", kyceDT_UINT_32},
                               {"kyceDT_UINT_64", kyceDT_UINT_64},
                               {"kyceDT_FLOAT", kyceDT_FLOAT},
                               {"kyceDT_FLOAT_16", kyceDT_FLOAT_16},
                               {"kyceDT_DOUBLE", kyceDT_DOUBLE}});
  register_enum<kyceParamType>(m, "paramType",
                               {{"kycePARAM_ELEMENT", kycePARAM_ELEMENT},
                                {"kycePARAM_ARRAY", kycePARAM_ARRAY},
                                {"kycePARAM_TENSOR", kycePARAM_TENSOR}});
  register_enum<kyceNormType>(m, "normType",
                              {{"kyceNORM_NORMALIZATION_NONE", kyceNORM_NORMALIZATION_NONE},
                               {"kyceNORM_EQUAL", kyceNORM_EQUAL},
                               {"kyceNORM_MINUSMEAN", kyceNORM_MINUSMEAN},
                               {"kyceNORM_MINUSMEAN_DIVSTD", kyceNORM_MINUSMEAN_DIVSTD},
                               {"kyceNORM_DIV255_MINUSMEAN_DIVSTD", kyceNORM_DIV255_MINUSMEAN_DIVSTD},
                               {"kyceNORM_DIV1275_MINUSONE", kyceNORM_DIV1275_MINUSONE},
                               {"kyceNORM_DIV255", kyceNORM_DIV255},
                               {"kyceNORM_NORMALIZATION_NONE_BUTT", kyceNORM_NORMALIZATION_NONE_BUTT}});
  register_enum<kyceTensorizationType>(
      m, "tensorizationType",
      {{"kyceTENSORIZATION_NONE", kyceTENSORIZATION_NONE},
       {"kyceTENSORIZATION_UINT8", kyceTENSORIZATION_UINT8},
       {"kyceTENSORIZATION_UINT8_INTERLEAVE", kyceTENSORIZATION_UINT8_INTERLEAVE},
       {"kyceTENSORIZATION_FP16", kyceTENSORIZATION_FP16},
       {"kyceTENSORIZATION_FP16_INTERLEAVE", kyceTENSORIZATION_FP16_INTERLEAVE},
       {"kyceTENSORIZATION_FP16_INTERLEAVE_RGB", kyceTENSORIZATION_FP16_INTERLEAVE_RGB},
       {"kyceTENSORIZATION_TYPE_BUTT", kyceTENSORIZATION_TYPE_BUTT}});

  record<kyceImageDesc>(m, "imageDesc")
      .def_readwrite("width", &kyceImageDesc::width)
      .def_readwrite("height", &kyceImageDesc::height)
      .def_readwrite("widthPitch", &kyceImageDesc::widthPitch)
      .def_readwrite("heightPitch", &kyceImageDesc::heightPitch)
      .def_readwrite("format", &kyceImageDesc::format);
  record<cropRect>(m, "cropRect")
      .def_readwrite("start_x", &cropRect::start_x)
      .def_readwrite("start_y", &cropRect::start_y)
      .def_readwrite("width", &cropRect::width)
      .def_readwrite("height", &cropRect::height);
  record<kycePaddingEdges>(m, "paddingEdges")
      .def_readwrite("top", &kycePaddingEdges::top)
      .def_readwrite("bottom", &kycePaddingEdges::bottom)
      .def_readwrite("left", &kycePaddingEdges::left)
      .def_readwrite("right", &kycePaddingEdges::right);
  // Reading a sequence gives a new list; assigning converts the whole new
  // sequence first, so a bad item leaves the old one in place.
  record<kycePaddingValuesPy>(m, "paddingValuesPy").def_readwrite("value", &kycePaddingValuesPy::value);
  record<kyceAffineMatrixPy>(m, "affineMatrixPy").def_readwrite("matrix", &kyceAffineMatrixPy::matrix);

  m.attr("OPNAME_MAX_LEN") = OPNAME_MAX_LEN;
  m.attr("kyceER_SUCCESS") = kyceER_SUCCESS;
  m.attr("kyceER_BASE") = kyceER_BASE;

  m.def(
      "getVersion",
      [] {
        const char* text = nullptr;
        uint32_t major = 0;
        uint32_t minor = 0;
        uint32_t patch = 0;
        uint32_t build = 0;
        (void)kyceGetVersion(&text, &major, &minor, &patch, &build);
        return build;
      },
      "Get the version of the preprocess op engine.");
}

}  // namespace quillon
