// The op-object side of customized ops, for the generic op functions.
//
// kyceCreateCustomizedOp registers each op it makes as a HandleKind::op
// handle whose object is a kyce::CustomizedOp (a type private to
// customized_ops.cpp), so the registry's type check keeps these handles
// apart from the ops of kyceCreateOp: a lookup of another op type finds
// nothing for them. The generic functions reach them through these calls
// when a handle is not one of their own:
//
//   kyceDestroyOp(op)          -> destroy_customized_op(op)
//   kyceExecuteOp(op, in, out) -> execute_customized_op(op, in, out)
//   kyceSetOpAttr / kyceGetOpAttr / kyceGetOpAttrArray on such an op: a
//     customized op has no attributes, so these answer as for an unknown
//     attribute name.
//
// Each returns kyceER_INVALID_HANDLE when `op` is not a live customized op.
// The calls are exported only so that the SDK's own tests can reach them;
// they are not part of the C interface.
#pragma once

#include <cstdint>

#include "kycore/export.h"

namespace kyce {

KY_EXPORT bool is_customized_op(const void* op);

// Unregisters the op and releases its instance; the plug-in library is
// closed once neither its info nor any other op holds it.
KY_EXPORT uint32_t destroy_customized_op(const void* op);

// Runs the op from the device memory at `input` to the device memory at
// `output` (each up to the end of its block). kyceER_NULL_ARGUMENT for a
// null address, kyceER_INVALID_MEMORY for one that is not live device
// memory, kyceER_PLUGIN_FAILED when the plug-in refuses or fails.
KY_EXPORT uint32_t execute_customized_op(const void* op, void* input, void* output);

}  // namespace kyce
