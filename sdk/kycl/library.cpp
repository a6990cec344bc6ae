// The kycl library's sources live in this folder, one concern per file.
#include "kycl.h"
