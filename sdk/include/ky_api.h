/* What every SDK header shares: the export marking of library functions and
 * C linkage when included from C++. */
#ifndef KY_API_H
#define KY_API_H

#include <stdint.h>

#define KY_API __attribute__((visibility("default")))

/* Closes every enumeration: its values then span the whole 32-bit signed
 * range, so any value a caller passes is a value of the type (the libraries
 * refuse the ones they do not know) and the type stays 32 bits wide. */
#define KY_ENUM_RANGE(type) type##_RANGE_MIN_ = -0x7FFFFFFF - 1, type##_RANGE_MAX_ = 0x7FFFFFFF

#ifdef __cplusplus
#define KY_BEGIN_DECLS extern "C" {
#define KY_END_DECLS }
#else
#define KY_BEGIN_DECLS
#define KY_END_DECLS
#endif

#endif /* KY_API_H */
