// RunLock: the lock that keeps a second dbmigrate out of a directory.
#include "migrate/run_lock.h"

#include "dbf/core/os.h"
#include "migrate/table_files.h"

RunLock::~RunLock() {
  if (handle_ >= 0) os4get()->close(handle_);
}

RunLock::Outcome RunLock::acquire(const char* databasePath) {
  const OsInterface* os = os4get();
  problem_.clear();
  if (handle_ >= 0) return Outcome::Held;
  // Opened only to carry the lock; the old database is read through its own
  // handles.
  int64_t handle = -1;
  OsStatus opened = os->open(databasePath, true, kOsShareReadWrite, &handle);
  if (opened == kOsNotFound) return Outcome::NoDatabase;
  if (opened != kOsOk) {
    problem_ =
        std::string(databasePath) + " cannot be opened for writing: " + osFailureText(opened);
    return Outcome::CannotOpen;
  }
  OsStatus locked = os->lock(handle, kPosition, 1);
  if (locked == kOsOk) {
    handle_ = handle;
    return Outcome::Held;
  }
  os->close(handle);
  if (locked == kOsLockViolation) {
    problem_ = "another dbmigrate is working in this directory";
    return Outcome::Busy;
  }
  problem_ = std::string("cannot lock ") + databasePath +
             " to keep other dbmigrate runs out of this directory: " + osFailureText(locked);
  return Outcome::CannotLock;
}
