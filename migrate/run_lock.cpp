// RunLock: the lock that keeps a second dbmigrate out of a directory.
#include "migrate/run_lock.h"

#include "dbf/core/os.h"

namespace {

const char* reasonOf(OsStatus status) {
  switch (status) {
    case kOsAccessDenied:
      return "access denied (a read-only file or directory)";
    case kOsSharingViolation:
      return "in use by another program";
    case kOsAmbiguous:
      return "several files match the name when case is ignored";
    case kOsTooManyFiles:
      return "too many open files";
    default:
      return "the system refused";
  }
}

}  // namespace

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
    problem_ = std::string(databasePath) + " cannot be opened for writing: " + reasonOf(opened);
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
             " to keep other dbmigrate runs out of this directory: " + reasonOf(locked);
  return Outcome::CannotLock;
}
