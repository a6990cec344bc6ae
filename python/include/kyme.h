/* The media engine library libkyme: H.264, HEVC and JPEG decoding and encoding. */
#ifndef KYME_H
#define KYME_H

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

#endif /* KYME_H */
