// The die's layer for 3 x 3 convolutions: each output plane a row at a time,
// in OpenCV's order (conv3x3_rows.cpp).
#include "conv3x3_layer.h"

#include <cstddef>
#include <opencv2/dnn.hpp>

#include "conv3x3_rows.h"
#include "conv_blobs.h"
#include "conv_routing.h"
#include "own_layer.h"

namespace kycl {
namespace {

class Conv3x3Layer final : public OwnLayer {
 public:
  explicit Conv3x3Layer(const cv::dnn::LayerParams& params)
      : OwnLayer(params), padding_(params.get<int>(kConv3x3PaddingParameter, 0)), conv_(conv_blobs(blobs, 3)) {
    CV_Assert(padding_ == 0 || padding_ == 1);
  }

  static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params) { return cv::makePtr<Conv3x3Layer>(params); }

 private:
  cv::dnn::MatShape output_shape(const cv::dnn::MatShape& input) const override {
    return conv3x3_output_shape(input, conv_, padding_);
  }

  void compute(const cv::Mat& src, cv::Mat& dst) override {
    CV_Assert(src.dims == 4 && dst.dims == 4 && src.size[1] == static_cast<int>(conv_.inputs));
    const auto batch = static_cast<std::size_t>(src.size[0]);
    for (std::size_t sample = 0; sample < batch; ++sample) {
      input_.load(src.ptr<float>(), sample, conv_.inputs, static_cast<std::size_t>(src.size[2]),
                  static_cast<std::size_t>(src.size[3]), static_cast<std::size_t>(padding_));
      CV_Assert(static_cast<std::size_t>(dst.size[2]) == input_.rows_out() &&
                static_cast<std::size_t>(dst.size[3]) == input_.cols_out());
      const std::size_t area_out = input_.rows_out() * input_.cols_out();
      for (std::size_t o = 0; o < conv_.outputs; ++o) {
        float* plane = dst.ptr<float>() + (sample * conv_.outputs + o) * area_out;
        for (std::size_t y = 0; y < input_.rows_out(); ++y)
          input_.output_row(conv_, o, y, plane + y * input_.cols_out());
      }
    }
  }

  int padding_;
  ConvBlobs conv_;
  Conv3x3Input input_;  // a model's runs take turns (Model::lock)
};

}  // namespace

cv::dnn::MatShape conv3x3_output_shape(const cv::dnn::MatShape& input, const ConvBlobs& conv, int padding) {
  CV_Assert(input.size() == 4 && input[1] == static_cast<int>(conv.inputs));
  cv::dnn::MatShape shape = input;
  shape[1] = static_cast<int>(conv.outputs);
  shape[2] += 2 * padding - 2;
  shape[3] += 2 * padding - 2;
  CV_Assert(shape[2] > 0 && shape[3] > 0);
  return shape;
}

void register_conv3x3_layer() { register_layer_once<Conv3x3Layer>(kConv3x3LayerType); }

}  // namespace kycl
