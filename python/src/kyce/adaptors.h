// kyce's Py adaptors: growable sequences on the Python side that the image
// ops convert into the library's fixed records, never past their end.
#pragma once

#include <cstdint>
#include <vector>

#include "kyce.h"

namespace quillon {

struct kycePaddingValuesPy {
  std::vector<uint8_t> value;
};

struct kyceAffineMatrixPy {
  std::vector<double> matrix;
};

// The library records filled from the adaptors; a sequence longer than the
// record raises ValueError naming `function`. Positions a shorter sequence
// leaves are zero.
kycePaddingValues to_padding_values(const kycePaddingValuesPy& values, const char* function);
kyceAffineMatrix to_affine_matrix(const kyceAffineMatrixPy& matrix, const char* function);

}  // namespace quillon
