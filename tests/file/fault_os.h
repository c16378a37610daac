// Fault injection for the engine's operating-system interface.
//
// A FaultOs wraps the platform's own interface (os.h): every call is counted
// and passed on, except those the test asked to fail. Tests of any engine
// area can include this header to make, say, the third write fail or the disk
// fill up after 3000 bytes, and then check the engine's codes and that nothing
// already stored was lost.
//
//   FaultOs fault;             // installed for the lifetime of the object
//   fault.failWriteAt = 2;     // the second writeAt from now on fails
//   ... engine calls ...
//   EXPECT_EQ(fault.writes, 2);
//
// Only one FaultOs may exist at a time; it is not meant for threads.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "dbf/core/os.h"

namespace whtest {

class FaultOs {
 public:
  // --- what to break (call numbers count from 1; 0 = never) ---
  int failOpenAt = 0;
  OsStatus openStatus = kOsFailure;  // what the failing open reports
  int failReadAt = 0;                // readAt returns -1
  int failWriteAt = 0;               // writeAt returns -1
  int shortWriteAt = 0;              // writeAt writes only half of the bytes
  int64_t diskFree = -1;             // bytes that still fit on the device; -1 = no limit
  int failLengthAt = 0;
  int failSetLengthAt = 0;
  int failFlushAt = 0;
  int failCloseAt = 0;     // the handle is closed all the same
  int failLockAt = 0;      // lock returns kOsFailure
  int lockViolations = 0;  // the next n locks report kOsLockViolation
  int failUnlockAt = 0;
  int failRenameAt = 0;             // rename returns kOsFailure, changing nothing
  bool everythingReadOnly = false;  // isReadOnly is true for every name
  bool realSleep = true;            // false: sleeps are only recorded
  bool realFlush = true;            // false: flushes are only counted (no device wait)
  int64_t fixedSeconds = -1;        // >= 0: the clock shows this second...
  int64_t clockStep = 0;            // ...and moves on by this much after each reading
  const char* tempDir = nullptr;    // overrides the temporary directory

  // --- what happened ---
  int opens = 0, creates = 0, reads = 0, writes = 0, lengths = 0, setLengths = 0;
  int flushes = 0, closes = 0, locks = 0, unlocks = 0, renames = 0;
  std::vector<std::pair<int64_t, uint32_t>> readCalls;   // position, length
  std::vector<std::pair<int64_t, uint32_t>> writeCalls;  // position, length
  std::vector<std::pair<int64_t, int64_t>> lockCalls;    // position, length
  std::vector<int32_t> sleeps;                           // milliseconds

  FaultOs() : real_(os4platform()) {
    instance() = this;
    previous_ = os4set(&table_);
  }
  ~FaultOs() {
    os4set(previous_);
    instance() = nullptr;
  }
  FaultOs(const FaultOs&) = delete;
  FaultOs& operator=(const FaultOs&) = delete;

  const OsInterface* real() const { return real_; }

 private:
  static FaultOs*& instance() {
    static FaultOs* current = nullptr;
    return current;
  }
  static FaultOs& self() { return *instance(); }

  static OsStatus open(const char* name, bool writable, OsShare share, int64_t* handle) {
    FaultOs& f = self();
    if (++f.opens == f.failOpenAt) return f.openStatus;
    return f.real_->open(name, writable, share, handle);
  }
  static OsStatus create(const char* name, OsShare share, OsCreate how, int64_t* handle) {
    FaultOs& f = self();
    f.creates++;
    return f.real_->create(name, share, how, handle);
  }
  static int64_t readAt(int64_t h, int64_t pos, void* buf, uint32_t len) {
    FaultOs& f = self();
    f.readCalls.emplace_back(pos, len);
    if (++f.reads == f.failReadAt) return -1;
    return f.real_->readAt(h, pos, buf, len);
  }
  static int64_t writeAt(int64_t h, int64_t pos, const void* buf, uint32_t len) {
    FaultOs& f = self();
    f.writeCalls.emplace_back(pos, len);
    ++f.writes;
    if (f.writes == f.failWriteAt) return -1;
    uint32_t n = len;
    if (f.writes == f.shortWriteAt) n = len / 2;
    if (f.diskFree >= 0 && n > f.diskFree) n = static_cast<uint32_t>(f.diskFree);
    int64_t done = n == 0 ? 0 : f.real_->writeAt(h, pos, buf, n);
    if (f.diskFree >= 0 && done > 0) f.diskFree -= done;
    return done;
  }
  static int64_t length(int64_t h) {
    FaultOs& f = self();
    if (++f.lengths == f.failLengthAt) return -1;
    return f.real_->length(h);
  }
  static OsStatus setLength(int64_t h, int64_t len) {
    FaultOs& f = self();
    if (++f.setLengths == f.failSetLengthAt) return kOsFailure;
    return f.real_->setLength(h, len);
  }
  static OsStatus flush(int64_t h) {
    FaultOs& f = self();
    if (++f.flushes == f.failFlushAt) return kOsFailure;
    return f.realFlush ? f.real_->flush(h) : kOsOk;
  }
  static OsStatus close(int64_t h) {
    FaultOs& f = self();
    OsStatus s = f.real_->close(h);
    if (++f.closes == f.failCloseAt) return kOsFailure;
    return s;
  }
  static OsStatus remove(const char* name) { return self().real_->remove(name); }
  static OsStatus rename(const char* from, const char* to, bool replace) {
    FaultOs& f = self();
    if (++f.renames == f.failRenameAt) return kOsFailure;
    return f.real_->rename(from, to, replace);
  }
  static OsStatus lock(int64_t h, int64_t pos, int64_t len) {
    FaultOs& f = self();
    f.lockCalls.emplace_back(pos, len);
    if (++f.locks == f.failLockAt) return kOsFailure;
    if (f.lockViolations > 0) {
      f.lockViolations--;
      return kOsLockViolation;
    }
    return f.real_->lock(h, pos, len);
  }
  static OsStatus unlock(int64_t h, int64_t pos, int64_t len) {
    FaultOs& f = self();
    if (++f.unlocks == f.failUnlockAt) return kOsFailure;
    return f.real_->unlock(h, pos, len);
  }
  static bool isReadOnly(const char* name) {
    FaultOs& f = self();
    return f.everythingReadOnly || f.real_->isReadOnly(name);
  }
  static bool exists(const char* name) { return self().real_->exists(name); }
  static int tempDirectory(char* out, int capacity) {
    FaultOs& f = self();
    if (f.tempDir == nullptr) return f.real_->tempDirectory(out, capacity);
    int n = 0;
    while (f.tempDir[n] != '\0') n++;
    if (n >= capacity) return -1;
    for (int i = 0; i <= n; i++) out[i] = f.tempDir[i];
    return n;
  }
  static int currentDirectory(char* out, int capacity) {
    return self().real_->currentDirectory(out, capacity);
  }
  static int fullPath(const char* name, char* out, int capacity) {
    return self().real_->fullPath(name, out, capacity);
  }
  static void clock(int64_t* seconds, int32_t* ms) {
    FaultOs& f = self();
    f.real_->clock(seconds, ms);
    if (f.fixedSeconds >= 0) {
      *seconds = f.fixedSeconds;
      f.fixedSeconds += f.clockStep;
    }
  }
  static OsStatus findExisting(const char* name, char* out, int capacity) {
    return self().real_->findExisting(name, out, capacity);
  }
  static void sleep(int32_t ms) {
    FaultOs& f = self();
    f.sleeps.push_back(ms);
    if (f.realSleep) f.real_->sleep(ms);
  }

  const OsInterface* real_;
  const OsInterface* previous_ = nullptr;
  const OsInterface table_ = {
      open,          create,           readAt,   writeAt, length, setLength,   flush,
      close,         remove,           rename,   lock,    unlock, isReadOnly,  exists,
      tempDirectory, currentDirectory, fullPath, clock,   sleep,  findExisting};
};

}  // namespace whtest
