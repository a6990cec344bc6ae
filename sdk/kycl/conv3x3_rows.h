// The output rows of a 3 x 3 convolution over a few input channels, each
// value computed in the order OpenCV's convolution computes it (see
// conv3x3_rows.cpp), for the die's layers that run such convolutions.
#pragma once

#include <cstddef>
#include <vector>

#include "conv_blobs.h"

namespace kycl {

// One sample's input planes with a zero border of the convolution's padding
// (0 or 1) on every side. A layer keeps one for its runs, which take turns.
class Conv3x3Input {
 public:
  // Takes sample `sample` of `src` (N x conv.inputs x rows x cols values).
  // Without padding the sample is read where it is.
  void load(const float* src, std::size_t sample, std::size_t channels, std::size_t rows, std::size_t cols,
            std::size_t padding);

  std::size_t rows_out() const { return rows_out_; }
  std::size_t cols_out() const { return cols_out_; }

  // Row `y` of output plane `o` of `conv` (cols_out() values) into `out`.
  void output_row(const ConvBlobs& conv, std::size_t o, std::size_t y, float* out) const;

 private:
  const float* planes_ = nullptr;  // channels planes of (rows_out + 2) rows of stride_ values
  std::size_t stride_ = 0;
  std::size_t rows_out_ = 0;
  std::size_t cols_out_ = 0;
  std::size_t channels_ = 0;
  std::vector<float> padded_;
};

}  // namespace kycl
