// The op handle registry and the attribute table of the built-in ops.
#include "op_object.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "kycore/handle_registry.h"

namespace kyce {

using kycore::HandleKind;
using kycore::HandleRegistry;

std::size_t data_type_width(kyceDataType type) {
  switch (type) {
    case kyceDT_UINT_8:
      return 1;
    case kyceDT_UINT_16:
    case kyceDT_FLOAT_16:
      return 2;
    case kyceDT_INT:
    case kyceDT_UINT_32:
    case kyceDT_FLOAT:
      return 4;
    case kyceDT_UINT_64:
    case kyceDT_DOUBLE:
      return 8;
    default:
      return 0;
  }
}

void* register_op(std::shared_ptr<OpObject> op) {
  return HandleRegistry::instance().add(HandleKind::op, std::move(op));
}

std::shared_ptr<OpObject> find_op(const void* handle) {
  return HandleRegistry::instance().find<OpObject>(handle, HandleKind::op);
}

bool unregister_op(const void* handle) {
  return HandleRegistry::instance().remove<OpObject>(handle, HandleKind::op) != nullptr;
}

namespace {

// The element a value becomes for an attribute of `type`. The value arrived
// with the same data type (checked by the caller).
AttrSlot to_slot(kyceDataType type, const AttrValue& value) {
  AttrSlot slot{};
  slot.u64 = 0;
  switch (type) {
    case kyceDT_INT:
      slot.i32 = static_cast<int32_t>(value.integer);
      break;
    case kyceDT_UINT_8:
      slot.u8 = static_cast<uint8_t>(value.integer);
      break;
    case kyceDT_UINT_16:
      slot.u16 = static_cast<uint16_t>(value.integer);
      break;
    case kyceDT_UINT_32:
      slot.u32 = static_cast<uint32_t>(value.integer);
      break;
    case kyceDT_UINT_64:
      slot.u64 = value.unsigned64;
      break;
    case kyceDT_FLOAT_16:
      slot.u16 = static_cast<uint16_t>(value.unsigned64);
      break;
    case kyceDT_FLOAT: {
      // A double beyond float's range becomes an infinity, as the hardware
      // conversion gives, rather than an undefined conversion.
      const double real = value.real;
      const double largest = static_cast<double>(std::numeric_limits<float>::max());
      slot.f32 = real > largest    ? std::numeric_limits<float>::infinity()
                 : real < -largest ? -std::numeric_limits<float>::infinity()
                                   : static_cast<float>(real);
      break;
    }
    default:
      slot.f64 = value.real;
      break;
  }
  return slot;
}

}  // namespace

TableOp::TableOp(const std::vector<AttrDef>& defs) {
  attributes_.reserve(defs.size());
  for (const AttrDef& def : defs) {
    AttrSlot zero{};
    zero.u64 = 0;
    attributes_.push_back({def, std::vector<AttrSlot>(static_cast<std::size_t>(def.count), zero)});
  }
}

const TableOp::Attribute* TableOp::find(const char* name) const {
  for (const Attribute& attribute : attributes_) {
    if (std::strcmp(attribute.def.name, name) == 0) return &attribute;
  }
  return nullptr;
}

uint32_t TableOp::set_attr(const char* name, kyceParamType param, const AttrValue& value, int32_t index) {
  const std::lock_guard<std::mutex> lock(mutex_);
  auto* attribute = const_cast<Attribute*>(find(name));
  if (attribute == nullptr) return kyceER_ATTR_NAME;
  const kyceParamType expected = attribute->def.count == 1 ? kycePARAM_ELEMENT : kycePARAM_ARRAY;
  if (value.type != attribute->def.type || param != expected) return kyceER_ATTR_TYPE;
  if (index < 0 || index >= attribute->def.count) return kyceER_ATTR_INDEX;
  attribute->values[static_cast<std::size_t>(index)] = to_slot(attribute->def.type, value);
  return kyceER_SUCCESS;
}

uint32_t TableOp::get_attr(const char* name, kyceDataType type, int32_t index, void* value) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const Attribute* attribute = find(name);
  if (attribute == nullptr) return kyceER_ATTR_NAME;
  if (type != attribute->def.type) return kyceER_ATTR_TYPE;
  if (index < 0 || index >= attribute->def.count) return kyceER_ATTR_INDEX;
  std::memcpy(value, &attribute->values[static_cast<std::size_t>(index)], data_type_width(type));
  return kyceER_SUCCESS;
}

uint32_t TableOp::execute(void* input, void* output) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return run(input, output);
}

const AttrSlot& TableOp::slot(const char* name, kyceDataType type, int32_t index) const {
  const Attribute* attribute = find(name);
  if (attribute == nullptr || attribute->def.type != type || index < 0 || index >= attribute->def.count) {
    throw std::logic_error(std::string("op attribute read as another kind: ") + name);
  }
  return attribute->values[static_cast<std::size_t>(index)];
}

int32_t TableOp::i32(const char* name, int32_t index) const { return slot(name, kyceDT_INT, index).i32; }
uint8_t TableOp::u8(const char* name, int32_t index) const { return slot(name, kyceDT_UINT_8, index).u8; }
uint32_t TableOp::u32(const char* name, int32_t index) const { return slot(name, kyceDT_UINT_32, index).u32; }
uint64_t TableOp::u64(const char* name, int32_t index) const { return slot(name, kyceDT_UINT_64, index).u64; }
float TableOp::f32(const char* name, int32_t index) const { return slot(name, kyceDT_FLOAT, index).f32; }
double TableOp::f64(const char* name, int32_t index) const { return slot(name, kyceDT_DOUBLE, index).f64; }

void TableOp::set_default(const char* name, int32_t index, AttrSlot value) {
  const Attribute* attribute = find(name);
  if (attribute == nullptr || index < 0 || index >= attribute->def.count) {
    throw std::logic_error(std::string("default for an attribute the op lacks: ") + name);
  }
  const_cast<Attribute*>(attribute)->values[static_cast<std::size_t>(index)] = value;
}

kyceImageDesc TableOp::image_desc(const char* name, int32_t first) const {
  kyceImageDesc desc{};
  desc.width = i32(name, first);
  desc.height = i32(name, first + 1);
  desc.widthPitch = i32(name, first + 2);
  desc.heightPitch = i32(name, first + 3);
  desc.format = static_cast<kyceImageType>(i32(name, first + 4));
  return desc;
}

kycePaddingValues TableOp::padding_values() const {
  kycePaddingValues values{};
  for (int32_t i = 0; i < 3; ++i) values.value[i] = u8("padding_values", i);
  return values;
}

}  // namespace kyce
