// One tile of a 1 x 1 convolution's output plane, shared by the layers that
// compute one: each value as OpenCV's convolution computes it (see
// pointwise_conv_layer.cpp). Its includers are compiled without contraction
// of multiplies and adds, and build it into each of their vector widths.
#pragma once

#include <cstddef>

#include "conv_blobs.h"

#ifndef KYCL_TILE_KERNEL
#define KYCL_TILE_KERNEL inline __attribute__((always_inline))
#endif

namespace kycl {

// `n` positions of the output plane with `weights` (one a channel) and
// `bias`, from `channels` input planes `area` values apart starting at `x`.
KYCL_TILE_KERNEL void output_tile(const float* __restrict x, std::size_t channels, std::size_t area, std::size_t n,
                                  const float* __restrict weights, float bias, float* __restrict tile) {
  const float w0 = weights[0];
  for (std::size_t i = 0; i < n; ++i) tile[i] = 0.f + w0 * x[i];
  for (std::size_t c = 1; c < channels; ++c) {
    const float w = weights[c];
    const float* xc = x + c * area;
    for (std::size_t i = 0; i < n; ++i) tile[i] = tile[i] + w * xc[i];
  }
  for (std::size_t i = 0; i < n; ++i) tile[i] = tile[i] + bias;
}

// Positions [first, first + n) of every output plane of `conv` over the
// input planes at `in` (`area` values apart), output plane o written from
// out + o * out_stride.
KYCL_TILE_KERNEL void output_planes_tile(const float* __restrict in, const ConvBlobs& conv, std::size_t area,
                                         std::size_t first, std::size_t n, float* __restrict out,
                                         std::size_t out_stride) {
  for (std::size_t o = 0; o < conv.outputs; ++o) {
    output_tile(in + first, conv.inputs, area, n, conv.weights + o * conv.inputs,
                conv.bias != nullptr ? conv.bias[o] : 0.f, out + o * out_stride);
  }
}

}  // namespace kycl
