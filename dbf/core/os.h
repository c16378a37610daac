// The engine's one interface to the operating system.
//
// Everything the engine asks of the system (files, byte-range locks, file
// attributes, the temporary and current directories, the clock and sleeping)
// goes through the table of function pointers below, in the manner of an
// SQLite VFS. Exactly one platform file (os_posix.cpp, os_win32.cpp) fills the
// table; no other engine file includes a system header for files or locks.
//
// Tests replace the table with os4set() to wrap the real calls, e.g. to make
// the n-th write fail, and put the original back afterwards. os4set() is not
// synchronised: swap tables only while no engine call is running.
#pragma once

#include <cstdint>

// Outcome of an operating-system call.
enum OsStatus : int {
  kOsOk = 0,
  kOsNotFound = 1,          // no such file or directory
  kOsAccessDenied = 2,      // permissions forbid the access
  kOsTooManyFiles = 3,      // the process or the system is out of handles
  kOsExists = 4,            // create refused: the name already exists
  kOsSharingViolation = 5,  // someone holds the file in a conflicting share mode
  kOsLockViolation = 6,     // the byte range is locked by someone else
  kOsFailure = 7,           // anything else
  kOsAmbiguous = 8,         // several files match the name when case is ignored
};

// How an open file may be shared with other opens (Win32 share modes).
enum OsShare : int {
  kOsShareReadWrite = 0,  // others may read and write
  kOsShareNone = 1,       // exclusive: nobody else may open the file
  kOsShareRead = 2,       // others may only read
};

// How a create treats an existing file of the same name.
enum OsCreate : int {
  kOsCreateNew = 0,      // fail with kOsExists when the name exists
  kOsCreateReplace = 1,  // truncate an existing file (after taking the share mode)
};

// Finding existing files. Windows file names ignore case, and the files of the
// old server and of other programs may carry their names in any case. On
// POSIX every operation below that reaches an existing file by name (open,
// create, remove, rename, isReadOnly, exists, findExisting) therefore uses the
// exact name when it exists, and otherwise the one entry of its directory
// that matches the last component case-blind (Windows-1252 case mapping);
// several such entries fail with kOsAmbiguous and nothing is touched. New
// files are created under the name as given (the engine's names are
// upper-case). A create or a no-replace rename counts a case-blind match as
// an existing file.
struct OsInterface {
  // Opens an existing file. |writable| asks for write access besides read.
  // Stores the handle (>= 0) through |handle| on success.
  OsStatus (*open)(const char* name, bool writable, OsShare share, int64_t* handle);
  // Creates a file for reading and writing with the given share mode.
  OsStatus (*create)(const char* name, OsShare share, OsCreate how, int64_t* handle);
  // Reads up to |len| bytes at |pos|; the count read (short only at the end of
  // the file), or -1 on failure.
  int64_t (*readAt)(int64_t handle, int64_t pos, void* buf, uint32_t len);
  // Writes |len| bytes at |pos|; the count written (short when the device is
  // full), or -1 on failure.
  int64_t (*writeAt)(int64_t handle, int64_t pos, const void* buf, uint32_t len);
  // File size in bytes, or -1.
  int64_t (*length)(int64_t handle);
  OsStatus (*setLength)(int64_t handle, int64_t len);
  // Pushes the system's buffers of the file to the device.
  OsStatus (*flush)(int64_t handle);
  // Closes the handle; its locks and share mode end with it.
  OsStatus (*close)(int64_t handle);
  OsStatus (*remove)(const char* name);
  // Renames |from| to |to|; with |replace| false it fails with kOsExists, and
  // changes nothing, when |to| exists.
  OsStatus (*rename)(const char* from, const char* to, bool replace);
  // Exclusive byte-range lock without waiting: kOsOk, kOsLockViolation when
  // another handle (of any process, this one included) holds an overlapping
  // lock, kOsFailure otherwise. Positions beyond the end of the file are fine.
  OsStatus (*lock)(int64_t handle, int64_t pos, int64_t len);
  OsStatus (*unlock)(int64_t handle, int64_t pos, int64_t len);
  // True when this process may not write the file.
  bool (*isReadOnly)(const char* name);
  bool (*exists)(const char* name);
  // Directory for temporary files: TEMP, else TMP, else (POSIX only) TMPDIR,
  // else the current directory. Returns the length or -1 when it does not fit.
  int (*tempDirectory)(char* out, int capacity);
  // The current directory; the length or -1 when it does not fit.
  int (*currentDirectory)(char* out, int capacity);
  // |name| made absolute by the platform's rules ("." and ".." steps
  // resolved, separators normalised; on Windows, whose names ignore case,
  // also upper-cased as a whole). The length, or -1 when the name is empty or
  // the result does not fit.
  int (*fullPath)(const char* name, char* out, int capacity);
  // Wall-clock time as seconds since 1970 and milliseconds within the second.
  void (*clock)(int64_t* seconds, int32_t* milliseconds);
  void (*sleep)(int32_t milliseconds);
  // The name under which the operations above reach the existing file
  // |name|: kOsOk with it in |out|; kOsNotFound; kOsAmbiguous with every
  // matching name in |out|, separated by ", " (for the error that names
  // them); kOsFailure when the result does not fit in |capacity|.
  OsStatus (*findExisting)(const char* name, char* out, int capacity);
};

// The interface in use (the platform's own unless a test replaced it).
const OsInterface* os4get();
// Installs |os| (null puts the platform's own back); returns the previous one.
// The table must outlive its use.
const OsInterface* os4set(const OsInterface* os);
// The platform's own implementation.
const OsInterface* os4platform();

// Directory separator of the platform's full paths (as fullPath gives them).
extern const char kOsSeparator;
