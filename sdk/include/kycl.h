/* The accelerate language library libkycl: compiled models, op graphs and streams. */
#ifndef KYCL_H
#define KYCL_H

#include "ky_api.h"

KY_BEGIN_DECLS

KY_END_DECLS

#endif /* KYCL_H */
