// RunLock: one dbmigrate at a time in a directory.
//
// Two runs in one directory would delete and fill the same tables and move
// the same message files under each other. A run therefore holds an
// exclusive byte-range lock on the old database "SMTP.MDB" from before it
// touches anything until the process ends, and a second run that finds the
// lock taken is refused at once.
//
// Why this lock, and where:
//   - It is an operating-system lock (LockFile on Windows, an
//     open-file-description lock on POSIX), taken through the engine's
//     operating-system interface. It ends with the process however the
//     process ends, so a killed run never blocks the next one; there is no
//     lock file whose mere existence could. On POSIX it is an
//     open-file-description lock, so that no other descriptor of the file
//     being closed (libmdb opens and closes Jet files on its own) drops it.
//   - SMTP.MDB is the one file every run needs and nobody deletes. An
//     exclusive lock needs a handle with write access, so the file is opened
//     read-write and shared (SQLite, libmdb and other programs may open it
//     beside us). A file this process may not write cannot carry the lock;
//     DAO does not open such a database read-write either, so that run ends
//     as one whose old database cannot be opened.
//   - The locked byte lies far beyond any real file size, clear of SQLite's
//     own locks (0x40000000 to 0x400001FF), of Jet's, and of the range the
//     POSIX layer uses to emulate share modes. On Windows, where byte locks
//     are mandatory, nobody ever reads or writes there.
//   - The handle stays open until the lock is destroyed, after the old
//     database is closed: on POSIX, closing any descriptor of the file would
//     drop SQLite's own (per-process) locks on it.
#pragma once

#include <cstdint>
#include <string>

class RunLock {
 public:
  enum class Outcome {
    Held,        // this run is alone in the directory
    Busy,        // another run holds the lock: refuse, touch nothing
    NoDatabase,  // there is no file to lock; the open will fail and say so
    CannotOpen,  // the file cannot be opened for writing: see problem()
    CannotLock,  // the system refuses the lock: see problem()
  };

  // The byte of the database file that a run locks.
  static constexpr int64_t kPosition = 0x7FFFFFFF00000000LL;

  RunLock() = default;
  ~RunLock();  // releases the lock
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock on |databasePath|. Held is the only outcome that holds
  // it; after the others nothing is held.
  Outcome acquire(const char* databasePath);
  // Why the last acquire failed, for the administrator.
  const std::string& problem() const { return problem_; }

 private:
  int64_t handle_ = -1;
  std::string problem_;
};
