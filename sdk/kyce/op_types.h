// The op types the library implements: each family's maker returns null for
// a type that is not its own.
#pragma once

#include <memory>

#include "kyce.h"
#include "op_object.h"

namespace kyce {

std::shared_ptr<OpObject> make_memory_copy_op(kyceOpType type);
std::shared_ptr<OpObject> make_image_op(kyceOpType type);
std::shared_ptr<OpObject> make_fusion_op(kyceOpType type);

}  // namespace kyce
