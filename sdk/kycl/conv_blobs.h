// The weights and bias OpenCV's importer hands a convolution layer of the
// die's own: the initializers the node names, in its order.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <vector>

namespace kycl {

struct ConvBlobs {
  std::size_t outputs = 0;
  std::size_t inputs = 0;
  const float* weights = nullptr;  // outputs x inputs x kernel x kernel
  const float* bias = nullptr;     // outputs values, or null
};

// Checks the blobs of a convolution with a `kernel` x `kernel` kernel.
inline ConvBlobs conv_blobs(const std::vector<cv::Mat>& blobs, int kernel) {
  CV_Assert(!blobs.empty() && blobs.size() <= 2);
  const cv::Mat& weights = blobs[0];
  CV_Assert(weights.type() == CV_32F && weights.isContinuous() && weights.dims == 4);
  CV_Assert(weights.size[2] == kernel && weights.size[3] == kernel && weights.size[0] > 0 && weights.size[1] > 0);
  ConvBlobs conv;
  conv.outputs = static_cast<std::size_t>(weights.size[0]);
  conv.inputs = static_cast<std::size_t>(weights.size[1]);
  conv.weights = weights.ptr<float>();
  if (blobs.size() == 2) {
    CV_Assert(blobs[1].type() == CV_32F && blobs[1].isContinuous() && blobs[1].total() == conv.outputs);
    conv.bias = blobs[1].ptr<float>();
  }
  return conv;
}

}  // namespace kycl
