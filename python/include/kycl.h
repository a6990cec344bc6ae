/* The accelerate language library libkycl: compiled models, op graphs and streams. */
#ifndef KYCL_H
#define KYCL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef KY_API
#define KY_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
}
#endif

#endif /* KYCL_H */
