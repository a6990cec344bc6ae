// The fusion ops: an NV12 or interleaved RGB image becomes a normalised
// tensor through crop, resize, letterbox and colour conversion steps in the
// order the op type names them. Geometry steps work on the picture as it is
// at that step (NV12 planes, or 3 channels) with the image ops' own resize
// and conversion code, so each step equals the matching image op; resizes
// compute only the output pixels, crops are views, and the channel swap of
// RGB sources costs nothing (the last pass reads channels in swapped order).
// The last pass normalises and stores the tensor (tensorize.h). A bilinear
// resize of NV12 followed by the BT.601 conversion (and perhaps a crop) is
// instead one pass that computes only the tensor's pixels
// (yuv_resize_tensor.h), with the same results.
#include <algorithm>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "crop_region.h"
#include "device_image.h"
#include "kycore/device_memory.h"
#include "op_guard.h"
#include "op_types.h"
#include "plane_resize.h"
#include "tensorize.h"
#include "yuv_bt709.h"
#include "yuv_resize_tensor.h"

namespace kyce {
namespace {

enum class Step { crop, resize, cvt, letterbox };

constexpr int kLargestResize = 8192;

struct Recipe {
  kyceOpType type;
  bool nv12;
  std::vector<Step> steps;
};

const std::vector<Recipe>& recipes() {
  using S = Step;
  static const std::vector<Recipe> all = {
      {kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR, true, {S::resize, S::cvt}},
      {kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_NORM_TENSOR, true, {S::cvt, S::resize}},
      {kyceOP_FUSION_OP_YUV_NV12_RESIZE_CVTCOLOR_CROP_NORM_TENSOR, true, {S::resize, S::cvt, S::crop}},
      {kyceOP_FUSION_OP_YUV_NV12_CROP_CVTCOLOR_RESIZE_NORM_TENSOR, true, {S::crop, S::cvt, S::resize}},
      {kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_RESIZE_CROP_NORM_TENSOR, true, {S::cvt, S::resize, S::crop}},
      {kyceOP_FUSION_OP_YUV_NV12_CVTCOLOR_LETTERBOX_NORM_TENSOR, true, {S::cvt, S::letterbox}},
      {kyceOP_FUSION_OP_YUV_NV12_LETTERBOX_2RGB_NORM_TENSOR, true, {S::letterbox, S::cvt}},
      {kyceOP_FUSION_OP_RGB_CVTCOLOR_NORM_TENSOR, false, {S::cvt}},
      {kyceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_NORM_TENSOR, false, {S::resize, S::cvt}},
      {kyceOP_FUSION_OP_RGB_RESIZE_CVTCOLOR_CROP_NORM_TENSOR, false, {S::resize, S::cvt, S::crop}},
      {kyceOP_FUSION_OP_RGB_CROP_RESIZE_CVTCOLOR_NORM_TENSOR, false, {S::crop, S::resize, S::cvt}},
      {kyceOP_FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR, false, {S::letterbox, S::cvt}},
  };
  return all;
}

bool has(const Recipe& recipe, Step step) {
  return std::find(recipe.steps.begin(), recipe.steps.end(), step) != recipe.steps.end();
}

// A resize whose size is not the tensor's: the crop after it cuts the tensor.
bool resize_then_crop(const Recipe& recipe) {
  const auto resize = std::find(recipe.steps.begin(), recipe.steps.end(), Step::resize);
  const auto crop = std::find(recipe.steps.begin(), recipe.steps.end(), Step::crop);
  return resize != recipe.steps.end() && crop != recipe.steps.end() && crop > resize;
}

std::vector<AttrDef> attributes_of(const Recipe& recipe) {
  std::vector<AttrDef> defs = {{"input_desc", kyceDT_INT, 5}, {"output_size", kyceDT_INT, 2}};
  if (has(recipe, Step::resize) || has(recipe, Step::letterbox)) defs.push_back({"resize_type", kyceDT_INT, 1});
  if (resize_then_crop(recipe)) defs.push_back({"resize_size", kyceDT_INT, 2});
  if (has(recipe, Step::crop)) defs.push_back({"crop_rect", kyceDT_INT, 4});
  if (has(recipe, Step::letterbox)) defs.push_back({"padding_values", kyceDT_UINT_8, 3});
  defs.push_back({"cvt_code", kyceDT_INT, 1});
  if (recipe.nv12) defs.push_back({"color_space", kyceDT_INT, 1});
  defs.push_back({"norm_type", kyceDT_INT, 1});
  defs.push_back({"mean", kyceDT_FLOAT, 3});
  defs.push_back({"std", kyceDT_FLOAT, 3});
  defs.push_back({"tensorization_type", kyceDT_INT, 1});
  return defs;
}

// The picture between steps: NV12 planes until the conversion, then 3
// interleaved channels. Mats may be views of the source.
struct Picture {
  bool yuv = true;
  cv::Mat y, uv;         // NV12
  cv::Mat u, v;          // a decoder's I420 planes in place of uv (one-pass only)
  cv::Mat rgb;           // CV_8UC3
  bool swapped = false;  // RGB sources: channels 0 and 2 exchanged by the conversion

  int width() const { return yuv ? y.cols : rgb.cols; }
  int height() const { return yuv ? y.rows : rgb.rows; }
};

// Where a letterboxed picture lands in a width x height canvas: scaled to
// fit, aspect ratio kept (rounded to nearest), centred (rounded down). NV12
// keeps every size and offset even.
cv::Rect letterbox_area(int source_width, int source_height, int width, int height, bool yuv) {
  const int64_t sw = source_width;
  const int64_t sh = source_height;
  int64_t w = width;
  int64_t h = height;
  if (int64_t{width} * sh <= int64_t{height} * sw) {
    h = (sh * width * 2 + sw) / (2 * sw);
  } else {
    w = (sw * height * 2 + sh) / (2 * sh);
  }
  const int64_t least = yuv ? 2 : 1;
  if (yuv) {
    w &= ~int64_t{1};
    h &= ~int64_t{1};
  }
  w = std::clamp(w, least, int64_t{width});
  h = std::clamp(h, least, int64_t{height});
  int64_t left = (width - w) / 2;
  int64_t top = (height - h) / 2;
  if (yuv) {
    left &= ~int64_t{1};
    top &= ~int64_t{1};
  }
  return {static_cast<int>(left), static_cast<int>(top), static_cast<int>(w), static_cast<int>(h)};
}

cv::Rect half(const cv::Rect& r) { return {r.x / 2, r.y / 2, r.width / 2, r.height / 2}; }

class FusionOp : public TableOp {
 public:
  explicit FusionOp(const Recipe& recipe) : TableOp(attributes_of(recipe)), recipe_(recipe) {
    if (has(recipe, Step::resize) || has(recipe, Step::letterbox)) {
      set_default("resize_type", 0, int_slot(kyceRESIZE_BILINEAR));
    }
    set_default("cvt_code", 0, int_slot(recipe.nv12 ? kyceCOLOR_YUV2RGB_NV12 : kyceCOLOR_NO_CHANGE));
    if (recipe.nv12) set_default("color_space", 0, int_slot(kyceCOLOR_SPACE_BT601));
    for (int32_t c = 0; c < 3; ++c) {
      AttrSlot one{};
      one.u64 = 0;
      one.f32 = 1.0F;
      set_default("std", c, one);
    }
  }

 private:
  static AttrSlot int_slot(int32_t value) {
    AttrSlot slot{};
    slot.u64 = 0;
    slot.i32 = value;
    return slot;
  }

  struct Settings {
    int width = 0;
    int height = 0;
    kyceResizeType resize = kyceRESIZE_BILINEAR;
    int resize_width = 0;
    int resize_height = 0;
    cropRect crop{};
    uint8_t padding[3] = {0, 0, 0};
    kyceColorCvtCode cvt = kyceCOLOR_NO_CHANGE;
    kyceColorSpace space = kyceCOLOR_SPACE_BT601;
    Normalisation norm;
    kyceTensorizationType tensor = kyceTENSORIZATION_NONE;
  };

  // The settings, with every enumeration and size checked before any pixel is read.
  uint32_t read_settings(Settings* s) const {
    s->width = i32("output_size", 0);
    s->height = i32("output_size", 1);
    if (s->width <= 0 || s->height <= 0) return kyceER_INVALID_SIZE;
    if (has(recipe_, Step::resize) || has(recipe_, Step::letterbox)) {
      s->resize = static_cast<kyceResizeType>(i32("resize_type"));
      if (!is_known_resize(s->resize)) return kyceER_INVALID_TYPE;
    }
    s->resize_width = s->width;
    s->resize_height = s->height;
    if (resize_then_crop(recipe_)) {
      s->resize_width = i32("resize_size", 0);
      s->resize_height = i32("resize_size", 1);
      // The one size the input and output blocks do not bound.
      if (s->resize_width <= 0 || s->resize_height <= 0 || s->resize_width > kLargestResize ||
          s->resize_height > kLargestResize) {
        return kyceER_INVALID_SIZE;
      }
    }
    if (has(recipe_, Step::crop)) {
      s->crop = {i32("crop_rect", 0), i32("crop_rect", 1), i32("crop_rect", 2), i32("crop_rect", 3)};
    }
    if (has(recipe_, Step::letterbox)) {
      const kycePaddingValues values = padding_values();
      for (int32_t c = 0; c < 3; ++c) s->padding[c] = values.value[c];
    }
    s->cvt = static_cast<kyceColorCvtCode>(i32("cvt_code"));
    bool swap = false;
    if (!conversion(s->cvt, &swap)) return kyceER_INVALID_TYPE;
    if (recipe_.nv12) {
      s->space = static_cast<kyceColorSpace>(i32("color_space"));
      if (s->space != kyceCOLOR_SPACE_BT601 && s->space != kyceCOLOR_SPACE_BT709) return kyceER_INVALID_TYPE;
    }
    s->norm.type = static_cast<kyceNormType>(i32("norm_type"));
    s->tensor = static_cast<kyceTensorizationType>(i32("tensorization_type"));
    if (!is_known_norm(s->norm.type) || !is_known_tensorization(s->tensor)) return kyceER_INVALID_TYPE;
    for (int32_t c = 0; c < 3; ++c) {
      s->norm.mean[c] = f32("mean", c);
      s->norm.std[c] = f32("std", c);
    }
    return check_normalisation(s->norm);
  }

  // Whether a conversion code fits the source, and for RGB sources whether it
  // exchanges the first and third channels.
  bool conversion(kyceColorCvtCode code, bool* swap) const {
    if (recipe_.nv12) {
      *swap = code == kyceCOLOR_YUV2BGR_NV12;
      return code == kyceCOLOR_YUV2RGB_NV12 || code == kyceCOLOR_YUV2BGR_NV12;
    }
    switch (code) {
      case kyceCOLOR_NO_CHANGE:
      case kyceCOLOR_RGB2RGB_INTERLEAVE2PLANAR:
      case kyceCOLOR_BGR2BGR_INTERLEAVE2PLANAR:
        *swap = false;
        return true;
      case kyceCOLOR_BGR2RGB:
      case kyceCOLOR_BGR2RGB_INTERLEAVE2PLANAR:
      case kyceCOLOR_RGB2BGR_INTERLEAVE2PLANAR:
        *swap = true;
        return true;
      default:
        return false;
    }
  }

  uint32_t crop(Picture& p, const Settings& s) const {
    kyceImageDesc extent{p.width(), p.height(), p.width(), p.height(), p.yuv ? kyceIMG_YUV_NV12 : kyceIMG_RGB888};
    const uint32_t code = check_rect(s.crop, extent);
    if (code != kyceER_SUCCESS) return code;
    const cv::Rect area(s.crop.start_x, s.crop.start_y, s.crop.width, s.crop.height);
    if (p.yuv) {
      p.y = p.y(area);
      p.uv = p.uv(half(area));
    } else {
      p.rgb = p.rgb(area);
    }
    return kyceER_SUCCESS;
  }

  static uint32_t resize(Picture& p, kyceResizeType type, int width, int height) {
    if (p.yuv && (width % 2 != 0 || height % 2 != 0)) return kyceER_INVALID_SIZE;
    if (type == kyceRESIZE_NO_RESIZE && (width != p.width() || height != p.height())) return kyceER_INVALID_SIZE;
    if (p.yuv) {
      cv::Mat y(height, width, CV_8UC1);
      cv::Mat uv(height / 2, width / 2, CV_8UC2);
      resize_plane(type, p.y, y);
      resize_plane(type, p.uv, uv);
      p.y = y;
      p.uv = uv;
    } else {
      cv::Mat rgb(height, width, CV_8UC3);
      resize_plane(type, p.rgb, rgb);
      p.rgb = rgb;
    }
    return kyceER_SUCCESS;
  }

  static uint32_t letterbox(Picture& p, const Settings& s) {
    if (p.yuv && (s.width % 2 != 0 || s.height % 2 != 0)) return kyceER_INVALID_SIZE;
    const cv::Rect area = letterbox_area(p.width(), p.height(), s.width, s.height, p.yuv);
    if (s.resize == kyceRESIZE_NO_RESIZE && (area.width != p.width() || area.height != p.height())) {
      return kyceER_INVALID_SIZE;
    }
    if (p.yuv) {
      cv::Mat y(s.height, s.width, CV_8UC1, cv::Scalar(s.padding[0]));
      cv::Mat uv(s.height / 2, s.width / 2, CV_8UC2, cv::Scalar(s.padding[1], s.padding[2]));
      cv::Mat y_inner = y(area);
      cv::Mat uv_inner = uv(half(area));
      resize_plane(s.resize, p.y, y_inner);
      resize_plane(s.resize, p.uv, uv_inner);
      p.y = y;
      p.uv = uv;
    } else {
      cv::Mat rgb(s.height, s.width, CV_8UC3, cv::Scalar(s.padding[0], s.padding[1], s.padding[2]));
      cv::Mat inner = rgb(area);
      resize_plane(s.resize, p.rgb, inner);
      p.rgb = rgb;
    }
    return kyceER_SUCCESS;
  }

  static void convert(Picture& p, const Settings& s, bool swap) {
    if (!p.yuv) {
      p.swapped = swap;
      return;
    }
    cv::Mat rgb(p.height(), p.width(), CV_8UC3);
    if (s.space == kyceCOLOR_SPACE_BT709) {
      nv12_to_rgb_bt709(p.y, p.uv, rgb, swap);
    } else {
      cv::Mat result = rgb;
      cv::cvtColorTwoPlane(p.y, p.uv, result, swap ? cv::COLOR_YUV2BGR_NV12 : cv::COLOR_YUV2RGB_NV12);
      if (result.data != rgb.data) store(result, rgb);
    }
    p.yuv = false;
    p.rgb = rgb;
  }

  // Resize, convert and perhaps crop, all at once: for NV12 resized with
  // OpenCV's bilinear weights and converted with BT.601. Refuses what the
  // steps refuse, in the same order.
  bool fits_one_pass(const Settings& s) const {
    const bool bilinear = s.resize == kyceRESIZE_BILINEAR || s.resize == kyceRESIZE_BILINEAR_CV;
    const std::size_t n = recipe_.steps.size();
    return recipe_.nv12 && bilinear && s.space == kyceCOLOR_SPACE_BT601 && n >= 2 && recipe_.steps[0] == Step::resize &&
           recipe_.steps[1] == Step::cvt && (n == 2 || (n == 3 && recipe_.steps[2] == Step::crop));
  }

  uint32_t run_one_pass(const Picture& p, const Settings& s, bool swap, uint8_t* out) const {
    if (s.resize_width % 2 != 0 || s.resize_height % 2 != 0) return kyceER_INVALID_SIZE;
    cv::Rect window(0, 0, s.resize_width, s.resize_height);
    if (has(recipe_, Step::crop)) {
      const kyceImageDesc extent{s.resize_width, s.resize_height, s.resize_width, s.resize_height, kyceIMG_YUV_NV12};
      const uint32_t code = check_rect(s.crop, extent);
      if (code != kyceER_SUCCESS) return code;
      window = cv::Rect(s.crop.start_x, s.crop.start_y, s.crop.width, s.crop.height);
    }
    if (window.width != s.width || window.height != s.height) return kyceER_INVALID_SIZE;
    if (!p.u.empty()) {
      return write_tensor_i420_linear(p.y, p.u, p.v, s.resize_width, s.resize_height, window, swap, s.norm, s.tensor,
                                      out);
    }
    return write_tensor_nv12_linear(p.y, p.uv, s.resize_width, s.resize_height, window, swap, s.norm, s.tensor, out);
  }

  // A decoder's picture whose copy out of its codec still waits, when the
  // description is exactly the picture's layout: its planes where the codec
  // left them, kept by `kept` (null otherwise). The copy is never made if
  // nothing else reads the picture.
  static std::shared_ptr<const kycore::DeferredFill> codec_planes(const kyceImageDesc& desc, void* input, Picture* p) {
    if (desc.format != kyceIMG_YUV_NV12 || !kycore::DeviceMemory::is_device_address(input)) return nullptr;
    int32_t device = -1;
    std::shared_ptr<const kycore::DeferredFill> kept = kycore::DeviceMemory::instance().pending_fill(input, &device);
    kycore::PlanarPicture planes;
    if (!kept || !kept->nv12_source(&planes)) return nullptr;
    const auto pitch = static_cast<uint64_t>(desc.widthPitch);
    if (planes.width != desc.width || planes.height != desc.height || desc.width <= 0 || desc.height <= 0 ||
        desc.width % 2 != 0 || desc.height % 2 != 0 || planes.luma_stride != pitch ||
        planes.chroma_offset != pitch * static_cast<uint64_t>(desc.heightPitch)) {
      return nullptr;
    }
    if (t_op_device < 0) t_op_device = device;
    const auto stride = [&](int i) { return static_cast<size_t>(planes.strides[i]); };
    auto* y = const_cast<uint8_t*>(planes.planes[0]);
    auto* u = const_cast<uint8_t*>(planes.planes[1]);
    auto* v = const_cast<uint8_t*>(planes.planes[2]);
    p->yuv = true;
    p->y = cv::Mat(desc.height, desc.width, CV_8UC1, y, stride(0));
    p->u = cv::Mat(desc.height / 2, desc.width / 2, CV_8UC1, u, stride(1));
    p->v = cv::Mat(desc.height / 2, desc.width / 2, CV_8UC1, v, stride(2));
    return kept;
  }

  uint32_t run(void* input, void* output) override {
    Settings s;
    uint32_t code = read_settings(&s);
    if (code != kyceER_SUCCESS) return code;
    bool swap = false;
    conversion(s.cvt, &swap);

    const kyceImageDesc desc = image_desc("input_desc");
    Picture p;
    std::shared_ptr<const kycore::DeferredFill> codec_picture;
    if (fits_one_pass(s)) codec_picture = codec_planes(desc, input, &p);
    kycore::DeviceSpan tensor;
    uint64_t tensor_bytes = 0;
    if (codec_picture) {
      // Resolving the tensor writes the picture's block first if the two are
      // one: the op still reads the picture from the codec's planes.
      code = tensor_memory(s, output, &tensor, &tensor_bytes);
      return code != kyceER_SUCCESS ? code : run_one_pass(p, s, swap, tensor.data);
    }
    DeviceImage source;
    code = source.open(desc, input);
    if (code != kyceER_SUCCESS) return code;
    const bool nv12_source = desc.format == kyceIMG_YUV_NV12;
    if (recipe_.nv12 != nv12_source ||
        (!nv12_source && desc.format != kyceIMG_RGB888 && desc.format != kyceIMG_BGR888)) {
      return kyceER_INVALID_FORMAT;
    }

    code = tensor_memory(s, output, &tensor, &tensor_bytes);
    if (code != kyceER_SUCCESS) return code;
    detach_if_shared(source, tensor.data, tensor_bytes);

    p.yuv = nv12_source;
    if (p.yuv) {
      p.y = source.planes()[0];
      p.uv = source.planes()[1];
    } else {
      p.rgb = source.planes()[0];
    }
    if (fits_one_pass(s)) return run_one_pass(p, s, swap, tensor.data);
    // A conversion of NV12 that ends the steps is done in the tensor's pass.
    const bool convert_in_last_pass = recipe_.steps.back() == Step::cvt && s.space == kyceCOLOR_SPACE_BT601;
    for (const Step step : recipe_.steps) {
      if (step == Step::cvt && convert_in_last_pass && p.yuv) break;
      switch (step) {
        case Step::crop:
          code = crop(p, s);
          break;
        case Step::resize:
          code = resize(p, s.resize, s.resize_width, s.resize_height);
          break;
        case Step::letterbox:
          code = letterbox(p, s);
          break;
        case Step::cvt:
          convert(p, s, swap);
          break;
      }
      if (code != kyceER_SUCCESS) return code;
    }
    if (p.width() != s.width || p.height() != s.height) return kyceER_INVALID_SIZE;
    if (p.yuv) return write_tensor_nv12_bt601(p.y, p.uv, swap, s.norm, s.tensor, tensor.data);
    const int order[3] = {p.swapped ? 2 : 0, 1, p.swapped ? 0 : 2};
    return write_tensor(p.rgb, order, s.norm, s.tensor, tensor.data);
  }

  static uint32_t tensor_memory(const Settings& s, void* output, kycore::DeviceSpan* tensor, uint64_t* bytes) {
    *bytes =
        uint64_t{3} * static_cast<uint64_t>(s.width) * static_cast<uint64_t>(s.height) * tensor_element_size(s.tensor);
    if (output == nullptr) return kyceER_NULL_ARGUMENT;
    if (!kycore::DeviceMemory::is_device_address(output)) return kyceER_INVALID_MEMORY;
    *tensor = kycore::DeviceMemory::instance().resolve(output, *bytes);
    return tensor->data == nullptr ? kyceER_INVALID_MEMORY : kyceER_SUCCESS;
  }

  // The source is read as it was when the tensor shares its bytes.
  static void detach_if_shared(DeviceImage& source, const uint8_t* tensor, uint64_t tensor_bytes) {
    const cv::Mat& first = source.planes().front();
    const cv::Mat& last = source.planes().back();
    const uint8_t* begin = first.data;
    const uint8_t* end = last.data + last.step[0] * static_cast<std::size_t>(last.rows);
    if (begin < tensor + tensor_bytes && tensor < end) {
      for (cv::Mat& plane : source.planes()) plane = plane.clone();
    }
  }

  const Recipe& recipe_;
};

}  // namespace

std::shared_ptr<OpObject> make_fusion_op(kyceOpType type) {
  for (const Recipe& recipe : recipes()) {
    if (recipe.type == type) return std::make_shared<FusionOp>(recipe);
  }
  return nullptr;
}

}  // namespace kyce
