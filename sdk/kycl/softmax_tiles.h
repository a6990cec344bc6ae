// The steps of the die's softmax on a tile of positions, shared by the
// layers that compute one: each value exactly as OpenCV's Softmax layer
// computes it (see softmax_layer.cpp). Compiled into each caller's builds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <opencv2/core/hal/hal.hpp>

#include "softmax_layer.h"
#include "wide_exp.h"

namespace kycl {

// Positions of the inner axes taken at once: the tile's values on every
// channel of a small softmax stay in the first-level cache.
constexpr std::size_t kSoftmaxTile = 256;

// The tile kernels are compiled into each build (vector width) of their callers.
#ifndef KYCL_TILE_KERNEL
#define KYCL_TILE_KERNEL inline __attribute__((always_inline))
#endif

// OpenCV's exponential works on runs of 2 x its vector width (at most 16
// floats: its widest build is AVX2's) and on the last values of a run that
// ends short of one with scalar code, whose results may differ in the last
// bit. OpenCV's layer calls it once over the whole tensor, in place; a run
// whose length is a multiple of kExpRun and whose end is not the tensor's
// gets no scalar tail, so runs of such lengths, the last one ending where the
// tensor ends, treat every value as the single call does.
constexpr std::size_t kExpRun = 64;

inline void exp_in_place(float* values, std::size_t count) {
  constexpr std::size_t kChunk = std::size_t{1} << 16;  // a multiple of kExpRun that fits an int
  while (count > 0) {
    const std::size_t n = std::min(count, kChunk);
    cv::hal::exp32f(values, values, static_cast<int>(n));
    values += n;
    count -= n;
  }
}

// The exponential of a run of values that OpenCV's single call would take
// with its vector code (a length that is a multiple of kExpRun).
inline void exp_run(float* values, std::size_t count) {
  if (wide_exp_available()) {
    wide_exp_in_place(values, count);
  } else {
    exp_in_place(values, count);
  }
}

// The running maximum as OpenCV's loop writes it, std::max(best, value):
// a NaN already taken stays, a NaN met later is passed over.
KYCL_TILE_KERNEL void take_max(float* best, const float* values, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) best[i] = std::max(best[i], values[i]);
}

// Maximum, difference and (when `with_exp`) the exponential for positions
// [first, first + n) of one outer index; n is at most kSoftmaxTile.
KYCL_TILE_KERNEL void shift_tile(const float* src, float* dst, const SoftmaxExtent& e, std::size_t first, std::size_t n,
                                 bool with_exp) {
  float best[kSoftmaxTile];
  std::memcpy(best, src + first, n * sizeof(float));
  for (std::size_t c = 1; c < e.channels; ++c) take_max(best, src + c * e.inner + first, n);
  for (std::size_t c = 0; c < e.channels; ++c) {
    const float* in = src + c * e.inner + first;
    float* out = dst + c * e.inner + first;
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] - best[i];
    if (with_exp) exp_run(out, n);
  }
}

KYCL_TILE_KERNEL void normalise_tile(float* dst, const SoftmaxExtent& e, std::size_t first, std::size_t n) {
  float sum[kSoftmaxTile];
  std::fill(sum, sum + n, 0.f);
  for (std::size_t c = 0; c < e.channels; ++c) {
    const float* values = dst + c * e.inner + first;
    for (std::size_t i = 0; i < n; ++i) sum[i] += values[i];
  }
  for (std::size_t c = 0; c < e.channels; ++c) {
    float* values = dst + c * e.inner + first;
    for (std::size_t i = 0; i < n; ++i) values[i] /= sum[i];
  }
}

}  // namespace kycl
