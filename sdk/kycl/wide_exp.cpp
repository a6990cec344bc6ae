// OpenCV's exp32f, vector part: the argument clamped, scaled by 64 / ln 2 and
// rounded to an integer k; the table holds 2^(j/64) * A0 for j = k mod 64, an
// exponent field gives 2^(k/64 rounded down); a polynomial of the remainder in
// fused multiply-adds. The constants are OpenCV's, written as the formulas
// OpenCV derives them from. This file is compiled without contraction, so
// that the separate multiplies and adds stay separate, as OpenCV's are.
#include "wide_exp.h"

#include <immintrin.h>

// GCC 12 warns of the undefined vectors its own AVX-512 intrinsics start from.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <cmath>

namespace kycl {
namespace {

constexpr double kA0 = .9670371139572337719125840413672004409288e-2;
constexpr double kPrescale = 1.4426950408889634073599246810019 * 64;  // 64 / ln 2
constexpr float kLimit = static_cast<float>(3000. * 64 / kPrescale);

// 2^(j/64) * A0, rounded to float as OpenCV's table is.
struct Table {
  alignas(64) float values[64];
  Table() {
    for (int j = 0; j < 64; ++j) values[j] = static_cast<float>(std::exp2(j / 64.0) * kA0);
  }
};

}  // namespace

bool wide_exp_available() {
  static const bool available = __builtin_cpu_supports("avx512f") != 0;
  return available;
}

__attribute__((target("avx512f"))) void wide_exp_in_place(float* values, std::size_t count) {
  static const Table table;
  const __m512 t0 = _mm512_load_ps(table.values);
  const __m512 t1 = _mm512_load_ps(table.values + 16);
  const __m512 t2 = _mm512_load_ps(table.values + 32);
  const __m512 t3 = _mm512_load_ps(table.values + 48);
  const __m512 low = _mm512_set1_ps(-kLimit);
  const __m512 high = _mm512_set1_ps(kLimit);
  const __m512 prescale = _mm512_set1_ps(static_cast<float>(kPrescale));
  const __m512 postscale = _mm512_set1_ps(1.f / 64);
  const __m512 a1 = _mm512_set1_ps(static_cast<float>(.5550339366753125211915322047004666939128e-1 / kA0));
  const __m512 a2 = _mm512_set1_ps(static_cast<float>(.2402265109513301490103372422686535526573 / kA0));
  const __m512 a3 = _mm512_set1_ps(static_cast<float>(.6931471805521448196800669615864773144641 / kA0));
  const __m512 a4 = _mm512_set1_ps(static_cast<float>(1.000000000000002438532970795181890933776 / kA0));
  const __m512i mask = _mm512_set1_epi32(63);
  const __m512i upper_half = _mm512_set1_epi32(32);
  const __m512i bias = _mm512_set1_epi32(127);
  const __m512i zero = _mm512_setzero_si512();
  const __m512i top = _mm512_set1_epi32(255);
  for (std::size_t i = 0; i < count; i += 16) {
    // max before min, the argument first: a NaN becomes the lower limit.
    __m512 x = _mm512_min_ps(_mm512_max_ps(_mm512_loadu_ps(values + i), low), high);
    x = _mm512_mul_ps(x, prescale);
    const __m512i k = _mm512_cvtps_epi32(x);  // to nearest, ties to even
    const __m512 remainder = _mm512_mul_ps(_mm512_sub_ps(x, _mm512_cvtepi32_ps(k)), postscale);
    const __m512i j = _mm512_and_si512(k, mask);
    const __m512 entry = _mm512_mask_blend_ps(_mm512_test_epi32_mask(j, upper_half), _mm512_permutex2var_ps(t0, j, t1),
                                              _mm512_permutex2var_ps(t2, j, t3));
    const __m512i exponent =
        _mm512_min_epi32(_mm512_max_epi32(_mm512_add_epi32(_mm512_srai_epi32(k, 6), bias), zero), top);
    const __m512 scale = _mm512_mul_ps(entry, _mm512_castsi512_ps(_mm512_slli_epi32(exponent, 23)));
    __m512 poly = _mm512_add_ps(remainder, a1);
    poly = _mm512_fmadd_ps(poly, remainder, a2);
    poly = _mm512_fmadd_ps(poly, remainder, a3);
    poly = _mm512_fmadd_ps(poly, remainder, a4);
    _mm512_storeu_ps(values + i, _mm512_mul_ps(scale, poly));
  }
}

}  // namespace kycl
