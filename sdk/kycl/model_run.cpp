// Running a model: host copies of the inputs become OpenCV blobs, the
// outputs are asked for by name in the graph's order and converted to the
// types the file declares (OpenCV computes in float32).
#include <cstring>
#include <opencv2/core.hpp>

#include "kycore/error_codes.h"
#include "kycore/platform.h"
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

// Tensor sizes taken from the die's memory until it runs out.
class DieBudget {
 public:
  DieBudget() : left_(die_memory()) {}
  bool take(uint64_t bytes) {
    if (bytes > left_) return false;
    left_ -= bytes;
    return true;
  }

 private:
  uint64_t left_;
};

// Whether the weights and every blob OpenCV would allocate for inputs of
// these shapes fit the die; worked out from the shapes alone. A network
// whose layers cannot tell their shapes before running (some importers'
// layers only work them out from data) is given the benefit of the doubt:
// its declared inputs and outputs have already been checked.
bool network_fits_die(cv::dnn::Net& net, const std::vector<std::vector<int64_t>>& shapes) {
  std::vector<cv::dnn::MatShape> sizes;
  sizes.reserve(shapes.size());
  for (const auto& shape : shapes) {
    sizes.emplace_back(shape.begin(), shape.end());
    if (sizes.back().empty()) sizes.back().push_back(1);  // a scalar, as input_blob passes it
  }
  std::size_t weights = 0;
  std::size_t blobs = 0;
  try {
    net.getMemoryConsumption(sizes, weights, blobs);
  } catch (const cv::Exception&) {
    return true;
  }
  DieBudget budget;
  return budget.take(weights) && budget.take(blobs);
}

}  // namespace

uint64_t tensor_bytes(const std::vector<int64_t>& dims, kycmDType type) {
  uint64_t bytes = element_size(type);
  for (const int64_t dim : dims) {
    const uint64_t size = dim > 0 ? static_cast<uint64_t>(dim) : 1;
    if (bytes != 0 && size > UINT64_MAX / bytes) return UINT64_MAX;
    bytes *= size;
  }
  return bytes;
}

uint64_t die_memory() {
  uint32_t device = 0;
  if (kycmGetDevice(&device) != kycore::OK) device = 0;
  const auto platform = kycore::current_platform();
  const kycore::DieConfig* die = platform->device(device);
  return die != nullptr ? die->memory_bytes : 0;
}

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

bool Model::fits_die(const std::vector<std::vector<int64_t>>& shapes) const {
  DieBudget budget;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    // OpenCV takes dimensions as int.
    for (const int64_t dim : shapes[i]) {
      if (dim > INT32_MAX) return false;
    }
    if (!budget.take(tensor_bytes(shapes[i], inputs[i].type))) return false;
  }
  for (const auto& output : outputs) {
    if (!budget.take(tensor_bytes(output.dims, output.type))) return false;
  }
  return true;
}

uint32_t Model::forward_zeros(std::vector<cv::Mat>* results) {
  std::vector<std::vector<uint8_t>> zeros;
  for (const auto& input : inputs) zeros.emplace_back(input.byte_size());
  for (std::size_t i = 0; i < inputs.size(); ++i) net.setInput(input_blob(inputs[i], zeros[i].data()), inputs[i].name);
  output_names.clear();
  for (const auto& output : outputs) output_names.push_back(output.name);
  net.forward(*results, output_names);
  return results->size() == outputs.size() ? kycore::OK : kycore::KYCL_UNSUPPORTED_MODEL;
}

uint32_t Model::reshape(const std::vector<std::vector<int64_t>>& shapes) {
  // Nothing is allocated for inputs the die could not hold.
  if (!fits_die(shapes)) return kycore::KYCM_OUT_OF_MEMORY;
  std::vector<std::vector<int64_t>> previous;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    previous.push_back(inputs[i].current);
    inputs[i].current = shapes[i];
  }
  // Output shapes are what OpenCV produces for these inputs: one run on
  // zeros, once OpenCV's own account of what it would allocate fits the die.
  std::vector<cv::Mat> results;
  uint32_t code = kycore::KYCM_OUT_OF_MEMORY;
  try {
    if (network_fits_die(net, shapes)) code = forward_zeros(&results);
  } catch (const cv::Exception&) {
    code = kycore::KYCL_UNSUPPORTED_MODEL;
  } catch (const std::bad_alloc&) {
    code = kycore::KYCM_OUT_OF_HOST_MEMORY;
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
  } catch (const std::bad_alloc&) {
    return kycore::KYCM_OUT_OF_HOST_MEMORY;  // the run happens on a stream's threads as well as the caller's
  }
  return kycore::OK;
}

}  // namespace kycl
