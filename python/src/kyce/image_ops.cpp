// kyce: the eight image operations. Descriptions travel by value (a None
// description is the binding layer's RuntimeError); the crop rectangle and
// the padding edges travel by pointer to the caller's record, and the two
// adaptors are converted into bounded library records on the stack.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <vector>

#include "kyce.h"
#include "kyce/adaptors.h"
#include "quillon/handle.h"
#include "quillon/record_args.h"
#include "quillon/registration.h"

namespace py = pybind11;

namespace quillon {
namespace {

std::vector<void*> to_pointers(const std::vector<Handle>& handles) {
  std::vector<void*> pointers;
  pointers.reserve(handles.size());
  for (const Handle& handle : handles) pointers.push_back(handle.ptr);
  return pointers;
}

uint32_t crop(cropRect* rect, const kyceImageDesc& input, Handle input_image, const kyceImageDesc& output,
              Handle output_image) {
  require_record(rect, "crop", "cropRect");
  return kyceCrop(rect, input, input_image.ptr, output, output_image.ptr);
}

uint32_t warp_affine(const kyceAffineMatrixPy* matrix, kyceWarpAffineMode mode, kycePaddingType padding,
                     const kycePaddingValuesPy* values, const kyceImageDesc& input, Handle input_image,
                     const kyceImageDesc& output, Handle output_image) {
  kyceAffineMatrix matrix_record =
      to_affine_matrix(require_record(matrix, "warpAffine", "affineMatrixPy"), "warpAffine");
  kycePaddingValues values_record =
      to_padding_values(require_record(values, "warpAffine", "paddingValuesPy"), "warpAffine");
  return kyceWarpAffine(&matrix_record, mode, padding, &values_record, input, input_image.ptr, output,
                        output_image.ptr);
}

uint32_t resize_copy_make_border(kyceResizeType type, kycePaddingType padding, const kycePaddingValuesPy* values,
                                 kycePaddingEdges* edges, const kyceImageDesc& input, Handle input_image,
                                 const kyceImageDesc& output, Handle output_image) {
  kycePaddingValues values_record =
      to_padding_values(require_record(values, "resizeCopyMakeBorder", "paddingValuesPy"), "resizeCopyMakeBorder");
  require_record(edges, "resizeCopyMakeBorder", "paddingEdges");
  return kyceResizeCopyMakeBorder(type, padding, &values_record, edges, input, input_image.ptr, output,
                                  output_image.ptr);
}

uint32_t batch_crop_resize(std::vector<cropRect> rects, kyceResizeType type, const kyceImageDesc& input,
                           Handle input_image, const kyceImageDesc& output, const std::vector<Handle>& outputs) {
  if (rects.size() != outputs.size()) {
    throw py::type_error("kyce batchCropResize error. Crop rects size != output handles size.");
  }
  std::vector<void*> pointers = to_pointers(outputs);
  return kyceBatchCropResize(rects.data(), static_cast<uint32_t>(rects.size()), type, input, input_image.ptr, output,
                             pointers.data());
}

uint32_t scale(kyceResizeType type, const kyceImageDesc& input, Handle input_image, std::vector<kyceImageDesc> outputs,
               const std::vector<Handle>& output_images) {
  if (outputs.size() != output_images.size()) {
    throw py::type_error("kyce scale error. Output imageDescs size != output handles size.");
  }
  std::vector<void*> pointers = to_pointers(output_images);
  return kyceScale(type, static_cast<uint32_t>(outputs.size()), input, input_image.ptr, outputs.data(),
                   pointers.data());
}

}  // namespace

void register_image_ops(py::module_& m) {
  m.def(
      "resize",
      [](kyceResizeType type, const kyceImageDesc& input, Handle input_image, const kyceImageDesc& output,
         Handle output_image) { return kyceResize(type, input, input_image.ptr, output, output_image.ptr); },
      "Resize ordal preprocess op.");
  m.def("crop", &crop, "Crop ordal preprocess op.");
  m.def(
      "yuvFlip",
      [](kyceFlipType axis, const kyceImageDesc& input, Handle input_image, const kyceImageDesc& output,
         Handle output_image) { return kyceYuvFlip(axis, input, input_image.ptr, output, output_image.ptr); },
      "YuvFlip ordal preprocess op.");
  m.def("warpAffine", &warp_affine, "WarpAffine ordal preprocess op.");
  m.def(
      "cvtColor",
      [](kyceColorCvtCode code, kyceColorSpace space, const kyceImageDesc& input, Handle input_image,
         const kyceImageDesc& output,
         Handle output_image) { return kyceCvtColor(code, space, input, input_image.ptr, output, output_image.ptr); },
      "cvtColor ordal preprocess op.");
  m.def("resizeCopyMakeBorder", &resize_copy_make_border, "ResizeCopyMakeBorder ordal preprocess op.");
  m.def("batchCropResize", &batch_crop_resize, "BatchCropResize ordal preprocess op.");
  m.def("scale", &scale, "Scale ordal preprocess op.");
}

}  // namespace quillon
