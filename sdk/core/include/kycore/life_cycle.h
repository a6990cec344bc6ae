// The lock that orders the creation of library objects against the release
// of the runtime and the reset of devices. Every call that allocates device
// memory or registers an object holds it shared across its check of the
// runtime's state, the allocation and the registration; initialisation,
// release and reset hold it exclusively. A creation thus happens wholly
// before or wholly after a release: it never registers an object on memory
// the release has freed, nor allocates once the runtime is released.
//
// Writers are preferred, so a stream of creations cannot hold a reset off
// for ever; the shared side is therefore not recursive: a thread that holds
// it must not take it again.
#pragma once

#include <pthread.h>

#include <mutex>
#include <shared_mutex>

#include "kycore/export.h"

namespace kycore {

class KY_EXPORT LifeCycleLock {
 public:
  static LifeCycleLock& instance();

  void lock();
  void unlock();
  void lock_shared();
  void unlock_shared();

  LifeCycleLock(const LifeCycleLock&) = delete;
  LifeCycleLock& operator=(const LifeCycleLock&) = delete;

 private:
  LifeCycleLock();
  pthread_rwlock_t lock_;
};

// Held by a call that creates objects or allocates device memory.
inline std::shared_lock<LifeCycleLock> creating() { return std::shared_lock<LifeCycleLock>(LifeCycleLock::instance()); }

// Held by initialisation, release and device reset.
inline std::unique_lock<LifeCycleLock> changing_life_cycle() {
  return std::unique_lock<LifeCycleLock>(LifeCycleLock::instance());
}

}  // namespace kycore
