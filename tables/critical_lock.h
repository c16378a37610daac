// CriticalLock: the critical section that guards the bookkeeping a SharedTable
// shares between threads (its open counter and its pending-compaction flag).
//
// It is recursive, as a Windows critical section is: the thread that holds it
// may enter it again, and must leave it as often as it entered.
#pragma once

#include <mutex>

class CriticalLock {
 public:
  CriticalLock() = default;
  CriticalLock(const CriticalLock&) = delete;
  CriticalLock& operator=(const CriticalLock&) = delete;

  void enter() { mutex_.lock(); }
  void leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a CriticalLock for the lifetime of a scope, so that every way out of
// the scope (return or exception) leaves the lock again.
class CriticalLockGuard {
 public:
  explicit CriticalLockGuard(CriticalLock& lock) : lock_(lock) { lock_.enter(); }
  ~CriticalLockGuard() { lock_.leave(); }
  CriticalLockGuard(const CriticalLockGuard&) = delete;
  CriticalLockGuard& operator=(const CriticalLockGuard&) = delete;

 private:
  CriticalLock& lock_;
};
