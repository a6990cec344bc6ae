/* The preprocess op engine libkyce: image operations on device images. */
#ifndef KYCE_H
#define KYCE_H

#include "ky_api.h"

KY_BEGIN_DECLS

KY_END_DECLS

#endif /* KYCE_H */
