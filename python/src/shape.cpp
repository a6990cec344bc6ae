// Conversions between the shape adaptor and the library's shape record.
#include "quillon/shape.h"

#include <pybind11/pybind11.h>

#include <string>

namespace quillon {

kycmShape to_library_shape(const kycmShapePy& adaptor) {
  if (adaptor.shapes.size() > KYCM_MAX_DIMS) {
    throw pybind11::value_error("shape.shapes has " + std::to_string(adaptor.shapes.size()) +
                                " dimensions; at most 6 are supported");
  }
  kycmShape record{};
  record.ndims = adaptor.ndims;
  for (std::size_t i = 0; i < adaptor.shapes.size(); ++i) record.dims[i] = adaptor.shapes[i];
  return record;
}

void from_library_shape(const kycmShape& record, kycmShapePy& adaptor) {
  if (record.ndims > KYCM_MAX_DIMS) {
    throw pybind11::value_error("the library reported a shape of " + std::to_string(record.ndims) +
                                " dimensions; at most 6 are supported");
  }
  adaptor.ndims = record.ndims;
  adaptor.shapes.assign(record.dims, record.dims + record.ndims);
}

}  // namespace quillon
