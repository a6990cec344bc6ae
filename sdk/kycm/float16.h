// IEEE 754 binary16 <-> binary32 conversion of single values: round to
// nearest, ties to even; subnormals and infinities exact; a NaN stays a NaN
// of the same sign whose payload keeps its top bits (never quieted, never
// turned into an infinity).
#pragma once

#include <cstdint>
#include <cstring>

namespace kycm {

inline uint32_t half_to_float_bits(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t exponent = (h >> 10) & 0x1fu;
  uint32_t mantissa = h & 0x3ffu;
  if (exponent == 0x1f) return sign | 0x7f800000u | (mantissa << 13);
  if (exponent != 0) return sign | ((exponent + 112u) << 23) | (mantissa << 13);
  if (mantissa == 0) return sign;
  // Subnormal: normalise the mantissa, lowering the exponent per shift.
  uint32_t biased = 113;
  while ((mantissa & 0x400u) == 0) {
    mantissa <<= 1;
    --biased;
  }
  return sign | (biased << 23) | ((mantissa & 0x3ffu) << 13);
}

inline uint16_t float_bits_to_half(uint32_t f) {
  const uint16_t sign = static_cast<uint16_t>((f >> 16) & 0x8000u);
  const uint32_t magnitude = f & 0x7fffffffu;
  if (magnitude >= 0x7f800000u) {
    if (magnitude == 0x7f800000u) return sign | 0x7c00u;
    uint16_t nan = static_cast<uint16_t>(0x7c00u | ((magnitude & 0x7fffffu) >> 13));
    if (nan == 0x7c00u) nan = 0x7c01u;  // payload only in the dropped bits
    return sign | nan;
  }
  if (magnitude >= 0x477ff000u) return sign | 0x7c00u;  // 65520 and above round to infinity
  if (magnitude < 0x38800000u) {                        // below the smallest normal half
    if (magnitude <= 0x33000000u) return sign;          // at most half the smallest subnormal
    const uint32_t shift = 126u - (magnitude >> 23);
    const uint32_t mantissa = (magnitude & 0x7fffffu) | 0x800000u;
    uint32_t result = mantissa >> shift;
    const uint32_t rest = mantissa & ((1u << shift) - 1u);
    const uint32_t halfway = 1u << (shift - 1u);
    if (rest > halfway || (rest == halfway && (result & 1u) != 0)) ++result;
    return sign | static_cast<uint16_t>(result);
  }
  uint32_t result = (magnitude - 0x38000000u) >> 13;
  const uint32_t rest = magnitude & 0x1fffu;
  if (rest > 0x1000u || (rest == 0x1000u && (result & 1u) != 0)) ++result;  // may carry into the exponent
  return sign | static_cast<uint16_t>(result);
}

inline float half_to_float(uint16_t h) {
  const uint32_t bits = half_to_float_bits(h);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline uint16_t float_to_half(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return float_bits_to_half(bits);
}

// Whole arrays, vectorised where the CPU allows (chosen once, at first use).
void half_to_float_array(const uint16_t* values, std::size_t count, float* results);
void float_to_half_array(const float* values, std::size_t count, uint16_t* results);

}  // namespace kycm
