/* The management library libkyml: cards, dies, sensors, utilisation and processes. */
#ifndef KYML_H
#define KYML_H

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

#endif /* KYML_H */
