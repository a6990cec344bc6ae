/* The preprocess op engine libkyce: image operations on device images. */
#ifndef KYCE_H
#define KYCE_H

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

#endif /* KYCE_H */
