// kycm: the plain error-code constants and the element data type.
#include <pybind11/pybind11.h>

#include "kycm.h"
#include "quillon/enums.h"
#include "quillon/registration.h"

namespace py = pybind11;

namespace quillon {

void register_data_types(py::module_& m) {
  m.attr("ER_SUCCESS") = 0;
  m.attr("ER_NOT_IMPLEMENT") = 999991;
  register_enum<kycmDType>(m, "dType",
                           {{"kycmDT_UINT8", kycmDT_UINT8},
                            {"kycmDT_INT8", kycmDT_INT8},
                            {"kycmDT_UINT16", kycmDT_UINT16},
                            {"kycmDT_INT16", kycmDT_INT16},
                            {"kycmDT_UINT32", kycmDT_UINT32},
                            {"kycmDT_INT32", kycmDT_INT32},
                            {"kycmDT_FLOAT16", kycmDT_FLOAT16},
                            {"kycmDT_FLOAT32", kycmDT_FLOAT32},
                            {"kycmDT_BFLOAT", kycmDT_BFLOAT},
                            {"kycmDT_ANY", kycmDT_ANY}});
}

}  // namespace quillon
