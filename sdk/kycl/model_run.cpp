// Running a model: host copies of the inputs become OpenCV blobs, the
// outputs are asked for by name in the graph's order and converted to the
// types the file declares (OpenCV computes in float32).
#include <cstring>
#include <opencv2/core.hpp>

#include "kycore/error_codes.h"
#include "model.h"

namespace kycl {
namespace {

int cv_depth(kycmDType type) {
  switch (type) {
    case kycmDT_UINT8:
      return CV_8U;
    case kycmDT_INT8:
      return CV_8S;
    case kycmDT_UINT16:
      return CV_16U;
    case kycmDT_INT16:
      return CV_16S;
    case kycmDT_INT32:
      return CV_32S;
    default:
      return CV_32F;
  }
}

// A blob for OpenCV from the caller's bytes: uint8 and float32 as they are
// (OpenCV takes both), everything else through float32.
cv::Mat input_blob(const TensorInfo& info, const uint8_t* data) {
  std::vector<int> sizes(info.current.begin(), info.current.end());
  if (sizes.empty()) sizes.push_back(1);
  if (info.type == kycmDT_FLOAT16) {
    cv::Mat blob(static_cast<int>(sizes.size()), sizes.data(), CV_32F);
    kycmFloat16ToFloat32Array(reinterpret_cast<const uint16_t*>(data), static_cast<uint32_t>(info.element_count()),
                              blob.ptr<float>());
    return blob;
  }
  const int depth = cv_depth(info.type);
  cv::Mat view(static_cast<int>(sizes.size()), sizes.data(), depth, const_cast<uint8_t*>(data));
  if (depth == CV_8U || depth == CV_32F) return view;  // setInput copies it
  cv::Mat blob;
  view.convertTo(blob, CV_32F);
  return blob;
}

// Writes an OpenCV result in the declared type; false when its element
// count is not the declared one.
bool store_output(const TensorInfo& info, const cv::Mat& result, uint8_t* data) {
  if (static_cast<uint64_t>(result.total()) != info.element_count()) return false;
  cv::Mat values = result.isContinuous() ? result : result.clone();
  if (values.depth() == cv_depth(info.type) && info.type != kycmDT_FLOAT16) {
    std::memcpy(data, values.data, info.byte_size());
    return true;
  }
  if (info.type == kycmDT_FLOAT16) {
    cv::Mat floats;
    values.convertTo(floats, CV_32F);
    kycmFloat32ToFloat16Array(floats.ptr<float>(), static_cast<uint32_t>(floats.total()),
                              reinterpret_cast<uint16_t*>(data));
    return true;
  }
  cv::Mat typed;
  values.convertTo(typed, cv_depth(info.type));
  std::memcpy(data, typed.data, info.byte_size());
  return true;
}

}  // namespace

// The common runtime's own table, so the two libraries never disagree on a
// type's size. Model types are only those the file reader maps.
uint64_t element_size(kycmDType type) {
  uint32_t size = 0;
  return kycmGetDataTypeSize(type, &size) == kycore::OK ? size : 0;
}

uint64_t TensorInfo::element_count() const {
  uint64_t count = 1;
  for (int64_t dim : current) count *= static_cast<uint64_t>(dim);
  return count;
}

uint64_t TensorInfo::byte_size() const { return element_count() * element_size(type); }

bool same_tensor_type(const TensorInfo& a, const TensorInfo& b) { return a.type == b.type && a.current == b.current; }

uint32_t Model::max_batch() const {
  if (symbolic_batch) return kMaxDynamicBatch;
  return inputs[0].current.empty() ? 1 : static_cast<uint32_t>(inputs[0].current[0]);
}

uint32_t Model::batch() const { return inputs[0].current.empty() ? 1 : static_cast<uint32_t>(inputs[0].current[0]); }

uint32_t Model::reshape(const std::vector<std::vector<int64_t>>& shapes) {
  std::vector<std::vector<int64_t>> previous;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    previous.push_back(inputs[i].current);
    inputs[i].current = shapes[i];
  }
  // Output shapes are what OpenCV produces for these inputs: one run on zeros.
  std::vector<std::vector<uint8_t>> zeros;
  std::vector<const uint8_t*> in;
  for (const auto& input : inputs) {
    zeros.emplace_back(input.byte_size());
    in.push_back(zeros.back().data());
  }
  std::vector<cv::Mat> results;
  uint32_t code = kycore::OK;
  try {
    for (std::size_t i = 0; i < inputs.size(); ++i) net.setInput(input_blob(inputs[i], in[i]), inputs[i].name);
    output_names.clear();
    for (const auto& output : outputs) output_names.push_back(output.name);
    net.forward(results, output_names);
    if (results.size() != outputs.size()) code = kycore::KYCL_UNSUPPORTED_MODEL;
  } catch (const cv::Exception&) {
    code = kycore::KYCL_UNSUPPORTED_MODEL;
  }
  if (code != kycore::OK) {
    for (std::size_t i = 0; i < inputs.size(); ++i) inputs[i].current = previous[i];
    return code;
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    outputs[i].current.clear();
    for (int d = 0; d < results[i].dims; ++d) outputs[i].current.push_back(results[i].size[d]);
    if (outputs[i].current.size() > 6) return kycore::KYCL_UNSUPPORTED_MODEL;
  }
  return kycore::OK;
}

uint32_t Model::run(const std::vector<const uint8_t*>& in, const std::vector<uint8_t*>& out) {
  try {
    for (std::size_t i = 0; i < inputs.size(); ++i) net.setInput(input_blob(inputs[i], in[i]), inputs[i].name);
    std::vector<cv::Mat> results;
    net.forward(results, output_names);
    if (results.size() != outputs.size()) return kycore::KYCL_UNSUPPORTED_MODEL;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      if (!store_output(outputs[i], results[i], out[i])) return kycore::KYCL_UNSUPPORTED_MODEL;
    }
  } catch (const cv::Exception&) {
    return kycore::KYCL_UNSUPPORTED_MODEL;
  }
  return kycore::OK;
}

}  // namespace kycl
