// OpenCV's exponential 16 floats at a time, for processors with AVX-512.
// OpenCV 4.6 as Debian builds it computes cv::hal::exp32f 8 floats at a
// time at best (AVX2), gathering from its table; this is the same
// computation, step for step, on 16 lanes with the table in registers, so
// every value is the one OpenCV's vector code gives.
#pragma once

#include <cstddef>

namespace kycl {

// Whether this processor runs wide_exp_in_place.
bool wide_exp_available();

// The exponential of `count` values in place, `count` a multiple of 16: what
// cv::hal::exp32f gives for values it takes with its vector code (all of a
// call's but a tail short of 16 values).
void wide_exp_in_place(float* values, std::size_t count);

}  // namespace kycl
