// A 1 x 1 convolution over three channels of a 112 x 112 picture took
// OpenCV's layer 136 us, for 340 thousand multiply-adds. This layer computes
// each output value the way OpenCV's does, which is what makes the results
// the same to the bit: from 0.f, the products of the input channels added in
// their order, each product rounded before it is added (no fused
// multiply-add: this file is compiled without contraction), the bias added
// last. A tile of positions that stays in the first-level cache is read
// for every output plane, one pass per input channel, before the next.
#include "pointwise_conv_layer.h"

#include <algorithm>
#include <cstddef>
#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <vector>

#include "conv_blobs.h"
#include "conv_routing.h"
#include "own_layer.h"
#include "pointwise_tile.h"

namespace kycl {
namespace {

// Positions of an output plane taken at once.
constexpr std::size_t kTile = 1024;

// Below this many output values a request stays on the calling thread.
constexpr std::size_t kParallelFrom = std::size_t{1} << 20;

// Tiles [first_tile, end_tile) of every output plane of one sample: each
// tile of the input is read from the first-level cache for all the outputs.
// Built for the widest vectors the processor has.
__attribute__((target_clones("avx512f", "avx2", "default"))) void output_tiles(const float* __restrict in,
                                                                               const ConvBlobs& conv, std::size_t area,
                                                                               std::size_t first_tile,
                                                                               std::size_t end_tile,
                                                                               float* __restrict out) {
  for (std::size_t t = first_tile; t < end_tile; ++t) {
    const std::size_t first = t * kTile;
    const std::size_t n = std::min(kTile, area - first);
    output_planes_tile(in, conv, area, first, n, out + first, area);
  }
}

class PointwiseConvLayer final : public OwnLayer {
 public:
  explicit PointwiseConvLayer(const cv::dnn::LayerParams& params) : OwnLayer(params), conv_(conv_blobs(blobs, 1)) {}

  static cv::Ptr<cv::dnn::Layer> create(cv::dnn::LayerParams& params) {
    return cv::makePtr<PointwiseConvLayer>(params);
  }

 private:
  cv::dnn::MatShape output_shape(const cv::dnn::MatShape& input) const override {
    CV_Assert(input.size() == 4 && input[1] == static_cast<int>(conv_.inputs));
    cv::dnn::MatShape shape = input;
    shape[1] = static_cast<int>(conv_.outputs);
    return shape;
  }

  void compute(const cv::Mat& src, cv::Mat& dst) override {
    CV_Assert(src.dims == 4 && dst.dims == 4 && src.size[1] == static_cast<int>(conv_.inputs));
    const std::size_t batch = static_cast<std::size_t>(src.size[0]);
    const std::size_t area = src.total(2);
    CV_Assert(dst.total() == batch * conv_.outputs * area);
    const float* in = src.ptr<float>();
    float* out = dst.ptr<float>();
    // One tile of positions of one sample, every output plane, a piece of work.
    const std::size_t tiles = (area + kTile - 1) / kTile;
    const auto pieces = [&](const cv::Range& range) {
      for (int p = range.start; p < range.end;) {
        const std::size_t sample = static_cast<std::size_t>(p) / tiles;
        const std::size_t first = static_cast<std::size_t>(p) % tiles;
        const std::size_t end = std::min(tiles, first + static_cast<std::size_t>(range.end - p));
        output_tiles(in + sample * conv_.inputs * area, conv_, area, first, end, out + sample * conv_.outputs * area);
        p += static_cast<int>(end - first);
      }
    };
    const cv::Range all(0, static_cast<int>(batch * tiles));
    if (dst.total() < kParallelFrom) {
      pieces(all);
    } else {
      cv::parallel_for_(all, pieces);
    }
  }

  ConvBlobs conv_;
};

}  // namespace

void register_pointwise_conv_layer() { register_layer_once<PointwiseConvLayer>(kPointwiseConvLayerType); }

}  // namespace kycl
