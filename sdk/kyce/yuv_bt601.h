// OpenCV's NV12 to RGB conversion (BT.601 limited range) in its 20-bit fixed
// point, shared by the ops that convert in the same pass as they store, so
// that each equals cvtColor bit for bit:
//   l = max(0, Y - 16) * kLuma, u = U - 128, v = V - 128
//   R = (l + kHalf + kRedV v) >> 20
//   G = (l + kHalf - kGreenV v - kGreenU u) >> 20
//   B = (l + kHalf + kBlueU u) >> 20
// each clipped to 0..255.
#pragma once

#include <algorithm>
#include <cstdint>

namespace kyce::bt601 {

constexpr int kShift = 20;
constexpr int kHalf = 1 << (kShift - 1);
constexpr int kLuma = 1220542;
constexpr int kRedV = 1673527;
constexpr int kGreenV = 852492;
constexpr int kGreenU = 409993;
constexpr int kBlueU = 2116026;

// A channel's sum as its byte.
inline __attribute__((always_inline)) uint8_t channel(int sum) {
  return static_cast<uint8_t>(std::clamp(sum >> kShift, 0, 255));
}

}  // namespace kyce::bt601
