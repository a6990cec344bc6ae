// What the die's own OpenCV layers share: one float32 input and one output,
// each contiguous (as OpenCV's CPU backend gives them), on OpenCV's backend.
#pragma once

#include <mutex>
#include <opencv2/dnn.hpp>
#include <opencv2/dnn/layer.details.hpp>
#include <opencv2/dnn/shape_utils.hpp>
#include <vector>

namespace kycl {

class OwnLayer : public cv::dnn::Layer {
 public:
  explicit OwnLayer(const cv::dnn::LayerParams& params) { setParamsFrom(params); }

  bool supportBackend(int backend) override { return backend == cv::dnn::DNN_BACKEND_OPENCV; }

  // The output has output_shape(input); a layer that computes in place may
  // be given its input's tensor as its output (OpenCV does so when no other
  // layer reads the input).
  bool getMemoryShapes(const std::vector<cv::dnn::MatShape>& inputs, const int /*required_outputs*/,
                       std::vector<cv::dnn::MatShape>& outputs,
                       std::vector<cv::dnn::MatShape>& /*internals*/) const override {
    CV_Assert(inputs.size() == 1);
    outputs.assign(1, output_shape(inputs[0]));
    return in_place();
  }

  void forward(cv::InputArrayOfArrays inputs_arr, cv::OutputArrayOfArrays outputs_arr,
               cv::OutputArrayOfArrays /*internals*/) final {
    std::vector<cv::Mat> inputs;
    std::vector<cv::Mat> outputs;
    inputs_arr.getMatVector(inputs);
    outputs_arr.getMatVector(outputs);
    CV_Assert(inputs.size() == 1 && outputs.size() == 1);
    const cv::Mat& src = inputs[0];
    cv::Mat& dst = outputs[0];
    CV_Assert(src.type() == CV_32F && dst.type() == CV_32F && src.isContinuous() && dst.isContinuous());
    compute(src, dst);
  }

 protected:
  // The output's shape for an input of `input`'s (the same, unless a layer says
  // otherwise); raises cv::Exception for an input the layer cannot take.
  virtual cv::dnn::MatShape output_shape(const cv::dnn::MatShape& input) const { return input; }

  // Whether compute() works with dst the same tensor as src.
  virtual bool in_place() const { return false; }

  virtual void compute(const cv::Mat& src, cv::Mat& dst) = 0;
};

// Registers `Layer` with OpenCV's layer factory under `type`, once a process
// (the factory is the process's, cv2's included: hence types of our own).
template <class Layer>
void register_layer_once(const char* type) {
  static std::once_flag once;
  std::call_once(once, [type] { cv::dnn::LayerFactory::registerLayer(type, Layer::create); });
}

}  // namespace kycl
