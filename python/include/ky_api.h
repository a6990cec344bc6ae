/* What every SDK header shares: the export marking of library functions and
 * C linkage when included from C++. */
#ifndef KY_API_H
#define KY_API_H

#include <stdint.h>

#define KY_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define KY_BEGIN_DECLS extern "C" {
#define KY_END_DECLS }
#else
#define KY_BEGIN_DECLS
#define KY_END_DECLS
#endif

#endif /* KY_API_H */
