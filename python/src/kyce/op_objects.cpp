// kyce: op objects. The setters convert the value by data type before the
// variadic library call (an int overload first, then a float one); the
// getters give the library an 8-byte location whatever their own width, so a
// data type wider than the getter cannot write past it.
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "kyce.h"
#include "quillon/errors.h"
#include "quillon/handle.h"
#include "quillon/registration.h"
#include "quillon/unlocked.h"

namespace py = pybind11;

namespace quillon {
namespace {

constexpr const char* kAttrDoc = "  preprocess op.";

// Truncation toward zero into an integer type. A float outside the type's
// range saturates and NaN gives 0: the plain C conversion would be undefined.
template <class T>
T truncated(float value) {
  if (std::isnan(value)) return 0;
  const double whole = std::trunc(static_cast<double>(value));
  if (whole <= static_cast<double>(std::numeric_limits<T>::lowest())) return std::numeric_limits<T>::lowest();
  if (whole >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(whole);
}

// Every setter passes an index after the value: 0 for the element setters.
// The library reads it for array and tensor parameter types, which the
// element setters may be given, and never past the arguments passed.
uint32_t set_from_int(Handle op, const std::string& name, kyceDataType dtype, kyceParamType ptype, int32_t value,
                      int index) {
  const char* n = name.c_str();
  switch (dtype) {
    case kyceDT_INT:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, value, index);
    case kyceDT_UINT_8:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, static_cast<int>(static_cast<uint8_t>(value)), index);
    case kyceDT_UINT_16:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, static_cast<int>(static_cast<uint16_t>(value)), index);
    case kyceDT_UINT_32:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, static_cast<uint32_t>(value), index);
    case kyceDT_UINT_64:
    case kyceDT_FLOAT_16:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, static_cast<uint64_t>(static_cast<int64_t>(value)), index);
    case kyceDT_FLOAT:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, static_cast<double>(static_cast<float>(value)), index);
    case kyceDT_DOUBLE:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, static_cast<double>(value), index);
    default:
      return kyceER_INVALID_DATA_TYPE;
  }
}

uint32_t set_from_float(Handle op, const std::string& name, kyceDataType dtype, kyceParamType ptype, float value,
                        int index) {
  const char* n = name.c_str();
  switch (dtype) {
    case kyceDT_INT:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, truncated<int32_t>(value), index);
    case kyceDT_UINT_8:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, static_cast<int>(static_cast<uint8_t>(truncated<int32_t>(value))),
                           index);
    case kyceDT_UINT_16:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, static_cast<int>(static_cast<uint16_t>(truncated<int32_t>(value))),
                           index);
    case kyceDT_UINT_32:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, truncated<uint32_t>(value), index);
    case kyceDT_UINT_64:
    case kyceDT_FLOAT_16:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, truncated<uint64_t>(value), index);
    case kyceDT_FLOAT:
    case kyceDT_DOUBLE:
      return kyceSetOpAttr(op.ptr, n, dtype, ptype, static_cast<double>(value), index);
    default:
      return kyceER_INVALID_DATA_TYPE;
  }
}

// Reads the getter's own width from the start of a zeroed 8-byte location.
template <class T>
T read_location(const uint64_t& location) {
  T value;
  std::memcpy(&value, &location, sizeof value);
  return value;
}

template <class T, class Result = T>
Result get_element(Handle op, const std::string& name, kyceDataType dtype) {
  uint64_t location = 0;
  check(kyceGetOpAttr(op.ptr, name.c_str(), dtype, &location), "get op attr error, ret: %d.");
  return static_cast<Result>(read_location<T>(location));
}

template <class T, class Result = T>
Result get_array_element(Handle op, const std::string& name, kyceDataType dtype, int index) {
  uint64_t location = 0;
  check(kyceGetOpAttrArray(op.ptr, name.c_str(), dtype, index, &location), "get op attr array error, ret: %d.");
  return static_cast<Result>(read_location<T>(location));
}

}  // namespace

void register_op_objects(py::module_& m) {
  m.def(
      "createOp",
      [](kyceOpType type) {
        void* op = nullptr;
        check(kyceCreateOp(type, &op), "create op error, ret: %d.");
        return Handle(op);
      },
      "Create one ordal preprocess op.");
  m.def(
      "destroyOp", [](Handle op) { return kyceDestroyOp(op.ptr); }, "Destroy ordal preprocess op.");
  m.def(
      "setKyceOPAttr",
      [](Handle op, const std::string& name, kyceDataType dtype, kyceParamType ptype, int32_t value) {
        return set_from_int(op, name, dtype, ptype, value, 0);
      },
      kAttrDoc);
  m.def(
      "setKyceOPAttr",
      [](Handle op, const std::string& name, kyceDataType dtype, kyceParamType ptype, float value) {
        return set_from_float(op, name, dtype, ptype, value, 0);
      },
      kAttrDoc);
  m.def("setKyceOPAttrArray", &set_from_int, kAttrDoc);
  m.def("setKyceOPAttrArray", &set_from_float, kAttrDoc);

  m.def("getKyceOPAttrInt", &get_element<int32_t>, kAttrDoc);
  m.def("getKyceOPAttrUint8", &get_element<uint8_t, unsigned>, kAttrDoc);
  m.def("getKyceOPAttrUint16", &get_element<uint16_t>, kAttrDoc);
  m.def("getKyceOPAttrUint32", &get_element<uint32_t>, kAttrDoc);
  m.def("getKyceOPAttrUint64", &get_element<uint64_t>, kAttrDoc);
  m.def("getKyceOPAttrFloat", &get_element<float, double>, kAttrDoc);
  m.def("getKyceOPAttrDouble", &get_element<double>, kAttrDoc);
  m.def("getKyceOPAttrArrayInt", &get_array_element<int32_t>, kAttrDoc);
  m.def("getKyceOPAttrArrayUint8", &get_array_element<uint8_t, unsigned>, kAttrDoc);
  m.def("getKyceOPAttrArrayUint16", &get_array_element<uint16_t>, kAttrDoc);
  m.def("getKyceOPAttrArrayUint32", &get_array_element<uint32_t>, kAttrDoc);
  m.def("getKyceOPAttrArrayUint64", &get_array_element<uint64_t>, kAttrDoc);
  m.def("getKyceOPAttrArrayFloat", &get_array_element<float, double>, kAttrDoc);
  m.def("getKyceOPAttrArrayDouble", &get_array_element<double>, kAttrDoc);
  m.def(
      "executeOp",
      [](Handle op, Handle input, Handle output) {
        // a picture's worth of work
        return unlocked([&] { return kyceExecuteOp(op.ptr, input.ptr, output.ptr); });
      },
      " ordal preprocess op.");
}

}  // namespace quillon
