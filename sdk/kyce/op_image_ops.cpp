// The memory copy op and the image ops as op objects. Each image op object
// calls the library's own image function with the descriptions and settings
// held in its attributes; the input and output handles of kyceExecuteOp are
// the two images. Ops with several outputs (scale, batch crop-resize) write
// them one after another in the output block, each taking the bytes its
// description covers.
#include <cstring>
#include <vector>

#include "device_image.h"
#include "kycore/device_memory.h"
#include "op_types.h"

namespace kyce {
namespace {

constexpr int32_t kMaxOutputs = 16;
constexpr uint64_t kLargestOffset = uint64_t{1} << 48;
const AttrDef kInputDesc{"input_desc", kyceDT_INT, 5};
const AttrDef kOutputDesc{"output_desc", kyceDT_INT, 5};

AttrSlot int_slot(int32_t value) {
  AttrSlot slot{};
  slot.u64 = 0;
  slot.i32 = value;
  return slot;
}

class MemoryCopyOp : public TableOp {
 public:
  MemoryCopyOp() : TableOp({{"size", kyceDT_UINT_64, 1}}) {}

 private:
  uint32_t run(void* input, void* output) override {
    const uint64_t size = u64("size");
    if (size == 0) return kyceER_INVALID_SIZE;
    if (input == nullptr || output == nullptr) return kyceER_NULL_ARGUMENT;
    if (!kycore::DeviceMemory::is_device_address(input) || !kycore::DeviceMemory::is_device_address(output)) {
      return kyceER_INVALID_MEMORY;
    }
    const kycore::DeviceSpan from = kycore::DeviceMemory::instance().resolve(input, size);
    const kycore::DeviceSpan to = kycore::DeviceMemory::instance().resolve(output, size);
    if (from.data == nullptr || to.data == nullptr) return kyceER_INVALID_MEMORY;
    std::memmove(to.data, from.data, size);
    return kyceER_SUCCESS;
  }
};

class ResizeOp : public TableOp {
 public:
  ResizeOp() : TableOp({{"resize_type", kyceDT_INT, 1}, kInputDesc, kOutputDesc}) {
    set_default("resize_type", 0, int_slot(kyceRESIZE_BILINEAR));
  }

 private:
  uint32_t run(void* input, void* output) override {
    return kyceResize(static_cast<kyceResizeType>(i32("resize_type")), image_desc("input_desc"), input,
                      image_desc("output_desc"), output);
  }
};

class CropOp : public TableOp {
 public:
  CropOp() : TableOp({{"crop_rect", kyceDT_INT, 4}, kInputDesc, kOutputDesc}) {}

 private:
  uint32_t run(void* input, void* output) override {
    cropRect rect{i32("crop_rect", 0), i32("crop_rect", 1), i32("crop_rect", 2), i32("crop_rect", 3)};
    return kyceCrop(&rect, image_desc("input_desc"), input, image_desc("output_desc"), output);
  }
};

class CvtColorOp : public TableOp {
 public:
  CvtColorOp() : TableOp({{"cvt_code", kyceDT_INT, 1}, {"color_space", kyceDT_INT, 1}, kInputDesc, kOutputDesc}) {
    set_default("color_space", 0, int_slot(kyceCOLOR_SPACE_BT601));
  }

 private:
  uint32_t run(void* input, void* output) override {
    return kyceCvtColor(static_cast<kyceColorCvtCode>(i32("cvt_code")), static_cast<kyceColorSpace>(i32("color_space")),
                        image_desc("input_desc"), input, image_desc("output_desc"), output);
  }
};

class FlipOp : public TableOp {
 public:
  FlipOp() : TableOp({{"flip_type", kyceDT_INT, 1}, kInputDesc, kOutputDesc}) {}

 private:
  uint32_t run(void* input, void* output) override {
    return kyceYuvFlip(static_cast<kyceFlipType>(i32("flip_type")), image_desc("input_desc"), input,
                       image_desc("output_desc"), output);
  }
};

class WarpAffineOp : public TableOp {
 public:
  WarpAffineOp()
      : TableOp({{"matrix", kyceDT_DOUBLE, 6},
                 {"mode", kyceDT_INT, 1},
                 {"padding_type", kyceDT_INT, 1},
                 {"padding_values", kyceDT_UINT_8, 3},
                 kInputDesc,
                 kOutputDesc}) {
    set_default("mode", 0, int_slot(kyceWARP_AFFINE_MODE_BILINEAR));
  }

 private:
  uint32_t run(void* input, void* output) override {
    kyceAffineMatrix matrix{};
    for (int32_t i = 0; i < 6; ++i) matrix.matrix[i] = f64("matrix", i);
    kycePaddingValues values = padding_values();
    return kyceWarpAffine(&matrix, static_cast<kyceWarpAffineMode>(i32("mode")),
                          static_cast<kycePaddingType>(i32("padding_type")), &values, image_desc("input_desc"), input,
                          image_desc("output_desc"), output);
  }
};

class CopyMakeBorderOp : public TableOp {
 public:
  CopyMakeBorderOp()
      : TableOp({{"resize_type", kyceDT_INT, 1},
                 {"padding_type", kyceDT_INT, 1},
                 {"padding_values", kyceDT_UINT_8, 3},
                 {"edges", kyceDT_UINT_32, 4},
                 kInputDesc,
                 kOutputDesc}) {
    set_default("resize_type", 0, int_slot(kyceRESIZE_BILINEAR));
  }

 private:
  uint32_t run(void* input, void* output) override {
    kycePaddingValues values = padding_values();
    kycePaddingEdges edges{u32("edges", 0), u32("edges", 1), u32("edges", 2), u32("edges", 3)};
    return kyceResizeCopyMakeBorder(static_cast<kyceResizeType>(i32("resize_type")),
                                    static_cast<kycePaddingType>(i32("padding_type")), &values, &edges,
                                    image_desc("input_desc"), input, image_desc("output_desc"), output);
  }
};

// The addresses of `count` outputs laid one after another from `output`.
uint32_t packed_outputs(void* output, const std::vector<kyceImageDesc>& descs, std::vector<void*>* addresses) {
  if (output == nullptr) return kyceER_NULL_ARGUMENT;
  uint64_t offset = 0;
  for (const kyceImageDesc& desc : descs) {
    std::vector<PlaneGeometry> planes;
    uint64_t bytes = 0;
    const uint32_t code = describe(desc, &planes, &bytes);
    if (code != kyceER_SUCCESS) return code;
    // No block is this large: refuse before the sum could wrap.
    if (bytes > kLargestOffset || offset > kLargestOffset) return kyceER_INVALID_MEMORY;
    // The library resolves each address against its block, so an address
    // past the block's end is refused there; only the arithmetic is ours.
    addresses->push_back(reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(output) + offset));
    offset += bytes;
  }
  return kyceER_SUCCESS;
}

uint32_t output_count(int32_t count) {
  return count < 1 || count > kMaxOutputs ? kyceER_INVALID_PARAMETER : kyceER_SUCCESS;
}

class ScaleOp : public TableOp {
 public:
  ScaleOp()
      : TableOp({{"resize_type", kyceDT_INT, 1},
                 {"count", kyceDT_INT, 1},
                 kInputDesc,
                 {"output_descs", kyceDT_INT, 5 * kMaxOutputs}}) {
    set_default("resize_type", 0, int_slot(kyceRESIZE_BILINEAR));
  }

 private:
  uint32_t run(void* input, void* output) override {
    const int32_t count = i32("count");
    uint32_t code = output_count(count);
    if (code != kyceER_SUCCESS) return code;
    std::vector<kyceImageDesc> descs;
    descs.reserve(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) descs.push_back(image_desc("output_descs", 5 * i));
    std::vector<void*> addresses;
    code = packed_outputs(output, descs, &addresses);
    if (code != kyceER_SUCCESS) return code;
    return kyceScale(static_cast<kyceResizeType>(i32("resize_type")), static_cast<uint32_t>(count),
                     image_desc("input_desc"), input, descs.data(), addresses.data());
  }
};

class BatchCropResizeOp : public TableOp {
 public:
  BatchCropResizeOp()
      : TableOp({{"resize_type", kyceDT_INT, 1},
                 {"count", kyceDT_INT, 1},
                 {"crop_rects", kyceDT_INT, 4 * kMaxOutputs},
                 kInputDesc,
                 kOutputDesc}) {
    set_default("resize_type", 0, int_slot(kyceRESIZE_BILINEAR));
  }

 private:
  uint32_t run(void* input, void* output) override {
    const int32_t count = i32("count");
    uint32_t code = output_count(count);
    if (code != kyceER_SUCCESS) return code;
    std::vector<cropRect> rects;
    rects.reserve(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      rects.push_back({i32("crop_rects", 4 * i), i32("crop_rects", 4 * i + 1), i32("crop_rects", 4 * i + 2),
                       i32("crop_rects", 4 * i + 3)});
    }
    const kyceImageDesc out = image_desc("output_desc");
    std::vector<void*> addresses;
    code = packed_outputs(output, std::vector<kyceImageDesc>(static_cast<std::size_t>(count), out), &addresses);
    if (code != kyceER_SUCCESS) return code;
    return kyceBatchCropResize(rects.data(), static_cast<uint32_t>(count),
                               static_cast<kyceResizeType>(i32("resize_type")), image_desc("input_desc"), input, out,
                               addresses.data());
  }
};

}  // namespace

std::shared_ptr<OpObject> make_memory_copy_op(kyceOpType type) {
  return type == kyceOP_MEM_COPY_OP ? std::make_shared<MemoryCopyOp>() : nullptr;
}

std::shared_ptr<OpObject> make_image_op(kyceOpType type) {
  switch (type) {
    case kyceOP_RESIZE:
      return std::make_shared<ResizeOp>();
    case kyceOP_CROP:
      return std::make_shared<CropOp>();
    case kyceOP_CVT_COLOR:
      return std::make_shared<CvtColorOp>();
    case kyceOP_BATCH_CROP_RESIZE:
      return std::make_shared<BatchCropResizeOp>();
    case kyceOP_WARP_AFFINE:
      return std::make_shared<WarpAffineOp>();
    case kyceOP_FLIP:
      return std::make_shared<FlipOp>();
    case kyceOP_SCALE:
      return std::make_shared<ScaleOp>();
    case kyceOP_COPY_MAKE_BORDER:
      return std::make_shared<CopyMakeBorderOp>();
    default:
      return nullptr;
  }
}

}  // namespace kyce
