// A writer-preferring read-write lock: with the default (reader-preferring)
// kind, threads that create objects back to back could starve a reset.
#include "kycore/life_cycle.h"

#include <cstdlib>

namespace kycore {

LifeCycleLock::LifeCycleLock() {
  pthread_rwlockattr_t attributes;
  pthread_rwlockattr_init(&attributes);
  pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  if (pthread_rwlock_init(&lock_, &attributes) != 0) std::abort();
  pthread_rwlockattr_destroy(&attributes);
}

LifeCycleLock& LifeCycleLock::instance() {
  static auto* lock = new LifeCycleLock();  // never destroyed: used from static destructors
  return *lock;
}

// The calls fail only on misuse (a deadlock or an unheld lock), which no
// caller can recover from.
void LifeCycleLock::lock() {
  if (pthread_rwlock_wrlock(&lock_) != 0) std::abort();
}

void LifeCycleLock::unlock() {
  if (pthread_rwlock_unlock(&lock_) != 0) std::abort();
}

void LifeCycleLock::lock_shared() {
  if (pthread_rwlock_rdlock(&lock_) != 0) std::abort();
}

void LifeCycleLock::unlock_shared() {
  if (pthread_rwlock_unlock(&lock_) != 0) std::abort();
}

}  // namespace kycore
