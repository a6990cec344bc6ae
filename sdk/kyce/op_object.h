// Op objects behind kyceCreateOp: every op (built-in or loaded) is an
// OpObject registered as an op handle. Built-in ops declare their attributes
// in a table; the base class keeps the values, checks names, data types,
// parameter types and indices, and serialises calls on one op.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kyce.h"

namespace kyce {

// One attribute value as it arrives through kyceSetOpAttr, already read from
// the variadic list by its data type.
struct AttrValue {
  kyceDataType type = kyceDT_INT;
  int64_t integer = 0;      // kyceDT_INT, UINT_8, UINT_16 (as int), UINT_32
  uint64_t unsigned64 = 0;  // kyceDT_UINT_64, FLOAT_16
  double real = 0.0;        // kyceDT_FLOAT, DOUBLE
};

// The bytes of one element, laid out as the attribute's C type at offset 0.
union AttrSlot {
  int32_t i32;
  uint8_t u8;
  uint16_t u16;
  uint32_t u32;
  uint64_t u64;
  float f32;
  double f64;
};

// Bytes a getter writes for a data type (0 for a type outside 1 to 8).
std::size_t data_type_width(kyceDataType type);

class OpObject {
 public:
  virtual ~OpObject() = default;
  virtual uint32_t set_attr(const char* name, kyceParamType param, const AttrValue& value, int32_t index) = 0;
  virtual uint32_t get_attr(const char* name, kyceDataType type, int32_t index, void* value) = 0;
  virtual uint32_t execute(void* input, void* output) = 0;
};

// Registers an op and returns its handle; finds a live op by handle (null
// when the handle is not one); unregisters it (false when it was not live).
void* register_op(std::shared_ptr<OpObject> op);
std::shared_ptr<OpObject> find_op(const void* handle);
bool unregister_op(const void* handle);

struct AttrDef {
  const char* name;
  kyceDataType type;
  int32_t count;  // 1: an element (kycePARAM_ELEMENT); more: an array (kycePARAM_ARRAY)
};

// An op whose attributes are a fixed table. Values start at zero unless the
// op sets a default; run() sees them under the op's lock.
class TableOp : public OpObject {
 public:
  uint32_t set_attr(const char* name, kyceParamType param, const AttrValue& value, int32_t index) final;
  uint32_t get_attr(const char* name, kyceDataType type, int32_t index, void* value) final;
  uint32_t execute(void* input, void* output) final;

 protected:
  explicit TableOp(const std::vector<AttrDef>& defs);
  virtual uint32_t run(void* input, void* output) = 0;

  // Typed reads for run() and defaults for constructors; the name must be in
  // the table with that type (a programming error otherwise).
  int32_t i32(const char* name, int32_t index = 0) const;
  uint8_t u8(const char* name, int32_t index = 0) const;
  uint32_t u32(const char* name, int32_t index = 0) const;
  uint64_t u64(const char* name, int32_t index = 0) const;
  float f32(const char* name, int32_t index = 0) const;
  double f64(const char* name, int32_t index = 0) const;
  void set_default(const char* name, int32_t index, AttrSlot value);
  // An image description held as an INT[5] attribute (width, height,
  // widthPitch, heightPitch, format).
  kyceImageDesc image_desc(const char* name, int32_t first = 0) const;
  // The UINT_8[3] attribute "padding_values".
  kycePaddingValues padding_values() const;

 private:
  struct Attribute {
    AttrDef def;
    std::vector<AttrSlot> values;
  };
  const Attribute* find(const char* name) const;
  const AttrSlot& slot(const char* name, kyceDataType type, int32_t index) const;

  std::vector<Attribute> attributes_;
  std::mutex mutex_;
};

}  // namespace kyce
