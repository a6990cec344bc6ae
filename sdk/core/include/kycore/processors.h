// How many processors the host SDK's own work may spread over.
#pragma once

#include "kycore/export.h"

namespace kycore {

// The processors the calling thread may run on (its CPU affinity, which a
// cluster's worker may have narrowed), at least 1.
KY_EXPORT int usable_processors();

}  // namespace kycore
