// The Py adaptor of the library's shape record: the record's fixed array of
// six dimensions seen from Python as the list `shapes`, next to `ndims`.
// Shared by the tensor bindings and the model bindings.
#pragma once

#include <cstdint>
#include <vector>

#include "kycm.h"

struct kycmShapePy : kycmShape {
  using library_record = kycmShape;
  std::vector<int64_t> shapes;

  kycmShapePy() : kycmShape{} {}
};

namespace quillon {

// A library record from the adaptor: `ndims` as set, one slot per entry of
// `shapes`, the other slots zero. More than six entries raise ValueError.
kycmShape to_library_shape(const kycmShapePy& adaptor);

// The adaptor from a library record: `ndims` and exactly that many entries.
// A record claiming more than six dimensions raises ValueError.
void from_library_shape(const kycmShape& record, kycmShapePy& adaptor);

}  // namespace quillon
