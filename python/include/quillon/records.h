// Conventions for library records: their byte layout is a wire format shared
// with the libraries, so every size, alignment and field offset is asserted
// where the record is bound.
#pragma once

#include <cstddef>

#define QUILLON_ASSERT_LAYOUT(type, size, align)                           \
  static_assert(sizeof(type) == (size), #type " must be " #size " bytes"); \
  static_assert(alignof(type) == (align), #type " must be aligned to " #align)

#define QUILLON_ASSERT_OFFSET(type, field, offset) \
  static_assert(offsetof(type, field) == (offset), #type "." #field " must be at offset " #offset)
