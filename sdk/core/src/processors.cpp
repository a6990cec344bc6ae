// The processors of the calling thread's affinity.
#include "kycore/processors.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace kycore {

int usable_processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace kycore
