// A std::mutex the thread-safety analysis knows (libstdc++'s own carries no
// annotations), and its two locks: LockGuard for a scope, UniqueLock for a
// condition variable's wait (it converts to the std::unique_lock the wait
// takes). A condition variable's predicate runs with the mutex held but is
// analysed on its own: it starts with mutex.AssertHeld().
#pragma once

#include <mutex>

#include "sync/thread_safety.h"

namespace ostrel {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the caller holds the mutex (a predicate run by
  // a condition variable's wait). Checks nothing at run time.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class UniqueLock;
  std::mutex mutex_;
};

class SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~LockGuard() RELEASE() { mutex_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Mutex& mutex_;
};

class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~UniqueLock() RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }
  // What std::condition_variable's waits take; the mutex is held again
  // whenever a wait returns.
  operator std::unique_lock<std::mutex>&() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace ostrel
