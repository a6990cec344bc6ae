// The op-object functions of the C interface. kyceSetOpAttr reads its value
// by data type and its index only for array and tensor parameter types (see
// kyce.h), so a caller that passes what the header says is never read past.
#include <cstdarg>

#include "customized_ops.h"
#include "kyce.h"
#include "kycore/c_boundary.h"
#include "kycore/error_codes.h"
#include "kycore/test_control.h"
#include "op_guard.h"
#include "op_object.h"
#include "op_types.h"

namespace {

bool is_op_type(kyceOpType type) {
  switch (type) {
    case kyceOP_MEM_COPY_OP:
    case kyceOP_BERT_EMBEDDING_OP:
    case kyceOP_CUSTOMIZED_OP:
    case kyceOP_FUSION_OP_MAX_NUM:
      return true;
    default:
      return (type >= kyceOP_RESIZE && type <= kyceOP_COPY_MAKE_BORDER) ||
             (type >= kyceOP_FUSION_OP_YUV_NV12_RESIZE_2RGB_NORM_TENSOR &&
              type <= kyceOP_FUSION_OP_RGB_LETTERBOX_CVTCOLOR_NORM_TENSOR);
  }
}

// The value of the variadic list, read as kyce.h says for its data type;
// false for a data type outside 1 to 8 (nothing is read then).
bool read_value(kyceDataType type, va_list* args, kyce::AttrValue* value) {
  value->type = type;
  switch (type) {
    case kyceDT_INT:
    case kyceDT_UINT_8:
    case kyceDT_UINT_16:
      value->integer = va_arg(*args, int);
      return true;
    case kyceDT_UINT_32: {
      const unsigned int bits = va_arg(*args, unsigned int);
      value->integer = bits;
      return true;
    }
    case kyceDT_UINT_64:
    case kyceDT_FLOAT_16:
      value->unsigned64 = va_arg(*args, uint64_t);
      return true;
    case kyceDT_FLOAT:
    case kyceDT_DOUBLE:
      value->real = va_arg(*args, double);
      return true;
    default:
      return false;
  }
}

// The value as the journal records it.
kycore::Arg journal_value(const kyce::AttrValue& value) {
  switch (value.type) {
    case kyceDT_UINT_64:
    case kyceDT_FLOAT_16:
      return kycore::Arg(value.unsigned64);
    case kyceDT_FLOAT:
    case kyceDT_DOUBLE:
      return kycore::Arg(value.real);
    default:
      return kycore::Arg(value.integer);
  }
}

// The code for a handle that is no op object of this library's own: a
// customized op has no attributes, anything else is not an op.
uint32_t not_an_op_object(const void* op) {
  return kyce::is_customized_op(op) ? uint32_t{kyceER_ATTR_NAME} : uint32_t{kycore::KYCM_INVALID_HANDLE};
}

uint32_t get_attr(void* op, const char* name, kyceDataType dtype, int index, void* value) {
  if (kyce::data_type_width(dtype) == 0) return kyceER_INVALID_DATA_TYPE;
  if (op == nullptr || name == nullptr || value == nullptr) return kyceER_NULL_ARGUMENT;
  const std::shared_ptr<kyce::OpObject> target = kyce::find_op(op);
  if (target == nullptr) return not_an_op_object(op);
  return target->get_attr(name, dtype, index, value);
}

}  // namespace

extern "C" {

KY_API uint32_t kyceCreateOp(kyceOpType type, void** op) try {
  KY_GATE("kyceCreateOp", kycore::clear_output(op), type, static_cast<const void*>(op));
  return kyce::guarded([&]() -> uint32_t {
    if (op == nullptr) return kyceER_NULL_ARGUMENT;
    *op = nullptr;
    if (!is_op_type(type)) return kyceER_INVALID_TYPE;
    std::shared_ptr<kyce::OpObject> made = kyce::make_memory_copy_op(type);
    if (made == nullptr) made = kyce::make_image_op(type);
    if (made == nullptr) made = kyce::make_fusion_op(type);
    if (made == nullptr) return kyceER_OP_NOT_SUPPORTED;
    *op = kyce::register_op(std::move(made));
    return kyceER_SUCCESS;
  });
}
KYCE_CATCH

KY_API uint32_t kyceDestroyOp(void* op) try {
  KY_GATE("kyceDestroyOp", {}, op);
  return kyce::guarded([&]() -> uint32_t {
    if (op == nullptr) return kyceER_NULL_ARGUMENT;
    if (kyce::unregister_op(op)) return kyceER_SUCCESS;
    if (kyce::is_customized_op(op)) return kyce::destroy_customized_op(op);
    return kycore::KYCM_INVALID_HANDLE;
  });
}
KYCE_CATCH

KY_API uint32_t kyceSetOpAttr(void* op, const char* name, kyceDataType dtype, kyceParamType ptype, ...) try {
  kyce::AttrValue value;
  int32_t index = 0;
  va_list args;
  va_start(args, ptype);
  const bool known = read_value(dtype, &args, &value);
  if (known && (ptype == kycePARAM_ARRAY || ptype == kycePARAM_TENSOR)) index = va_arg(args, int);
  va_end(args);
  KY_GATE("kyceSetOpAttr", {}, op, name, dtype, ptype, journal_value(value), index);
  return kyce::guarded([&]() -> uint32_t {
    if (!known) return kyceER_INVALID_DATA_TYPE;
    if (op == nullptr || name == nullptr) return kyceER_NULL_ARGUMENT;
    const std::shared_ptr<kyce::OpObject> target = kyce::find_op(op);
    if (target == nullptr) return not_an_op_object(op);
    return target->set_attr(name, ptype, value, index);
  });
}
KYCE_CATCH

KY_API uint32_t kyceGetOpAttrArray(void* op, const char* name, kyceDataType dtype, int index, void* value) try {
  KY_GATE("kyceGetOpAttrArray", {}, op, name, dtype, index, value);
  return kyce::guarded([&]() -> uint32_t { return get_attr(op, name, dtype, index, value); });
}
KYCE_CATCH

KY_API uint32_t kyceGetOpAttr(void* op, const char* name, kyceDataType dtype, void* value) try {
  KY_GATE("kyceGetOpAttr", {}, op, name, dtype, value);
  return kyce::guarded([&]() -> uint32_t { return get_attr(op, name, dtype, 0, value); });
}
KYCE_CATCH

KY_API uint32_t kyceExecuteOp(void* op, void* input, void* output) try {
  KY_GATE("kyceExecuteOp", {}, op, input, output);
  return kyce::guarded([&]() -> uint32_t {
    if (op == nullptr) return kyceER_NULL_ARGUMENT;
    const std::shared_ptr<kyce::OpObject> target = kyce::find_op(op);
    if (target == nullptr) {
      return kyce::is_customized_op(op) ? kyce::execute_customized_op(op, input, output)
                                        : uint32_t{kycore::KYCM_INVALID_HANDLE};
    }
    return target->execute(input, output);
  });
}
KYCE_CATCH

}  // extern "C"
