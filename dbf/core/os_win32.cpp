// Win32 implementation of the engine's operating-system interface (os.h).
//
// Files are opened with CreateFileA in the share mode the engine asks for, so
// the system itself keeps an exclusive open (mode 1) or a deny-write open
// (mode 2) apart from every other open, in this process or another. Reads and
// writes carry their position in an OVERLAPPED block: a synchronous handle
// then moves to the position and transfers in one call, and no shared file
// pointer has to be set first. Byte-range locks are LockFile locks, which
// conflict between two handles of the same process as well as between
// processes; ERROR_LOCK_VIOLATION is the one failure that means "held by
// someone else". Unlike POSIX locks they never merge: a handle cannot lock a
// range overlapping one it already holds (that too is ERROR_LOCK_VIOLATION),
// and an unlock must name exactly a range that was locked.
//
// Full names follow Windows' own rules (GetFullPathNameA: drive letters, UNC
// names, the current directory of each drive, "." and ".." steps, "/" taken as
// "\") and are upper-cased as a whole: the file systems ignore case, so the
// upper-cased full name is what tells two spellings of one file apart from two
// files. A trailing dot, which GetFullPathNameA drops, is kept: "NAME." is the
// user's way to say "no extension" and must not get the default one.
//
// Waiting (lock retries, temporary names, the memo header lock) keeps the
// thread's message queue empty as the engine always has: paint messages are
// dispatched, everything else is dropped, so that a window of the calling
// thread is repainted while it waits.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "dbf/core/os.h"

const char kOsSeparator = '\\';

namespace {

// 1970-01-01 as a FILETIME (100-nanosecond steps since 1601-01-01).
constexpr uint64_t kFileTimeTo1970 = 116444736000000000ULL;

HANDLE handleOf(int64_t handle) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)); }

DWORD low32(int64_t v) { return static_cast<DWORD>(static_cast<uint64_t>(v) & 0xFFFFFFFFu); }
DWORD high32(int64_t v) { return static_cast<DWORD>(static_cast<uint64_t>(v) >> 32); }

OsStatus statusOf(DWORD err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return kOsNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return kOsAccessDenied;
    case ERROR_TOO_MANY_OPEN_FILES:
      return kOsTooManyFiles;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return kOsExists;
    case ERROR_SHARING_VIOLATION:
      return kOsSharingViolation;
    case ERROR_LOCK_VIOLATION:
      return kOsLockViolation;
    default:
      return kOsFailure;
  }
}

DWORD shareFlagsOf(OsShare share) {
  switch (share) {
    case kOsShareNone:
      return 0;
    case kOsShareRead:
      return FILE_SHARE_READ;
    default:
      return FILE_SHARE_READ | FILE_SHARE_WRITE;
  }
}

// Takes a handle from CreateFileA into |handle|. Devices ("CON", "NUL",
// pipes) are not engine files: they are refused as a directory is.
OsStatus finishOpen(HANDLE h, int64_t* handle) {
  if (h == INVALID_HANDLE_VALUE) return statusOf(GetLastError());
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return kOsAccessDenied;
  }
  *handle = static_cast<int64_t>(reinterpret_cast<intptr_t>(h));
  return kOsOk;
}

OsStatus winOpen(const char* name, bool writable, OsShare share, int64_t* handle) {
  DWORD access = GENERIC_READ | (writable ? GENERIC_WRITE : 0);
  HANDLE h = CreateFileA(name, access, shareFlagsOf(share), nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return finishOpen(h, handle);
}

OsStatus winCreate(const char* name, OsShare share, OsCreate how, int64_t* handle) {
  // CREATE_ALWAYS checks the share modes of every other open before it
  // empties the file, so a file that someone holds is never cut.
  HANDLE h =
      CreateFileA(name, GENERIC_READ | GENERIC_WRITE, shareFlagsOf(share), nullptr,
                  how == kOsCreateNew ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return finishOpen(h, handle);
}

OVERLAPPED at(int64_t pos) {
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  ov.Offset = low32(pos);
  ov.OffsetHigh = high32(pos);
  return ov;
}

int64_t winReadAt(int64_t handle, int64_t pos, void* buf, uint32_t len) {
  char* p = static_cast<char*>(buf);
  int64_t done = 0;
  while (done < len) {
    OVERLAPPED ov = at(pos + done);
    DWORD got = 0;
    if (!ReadFile(handleOf(handle), p + done, static_cast<DWORD>(len - done), &got, &ov)) {
      // A positioned read at or past the end reports ERROR_HANDLE_EOF.
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

int64_t winWriteAt(int64_t handle, int64_t pos, const void* buf, uint32_t len) {
  const char* p = static_cast<const char*>(buf);
  int64_t done = 0;
  while (done < len) {
    OVERLAPPED ov = at(pos + done);
    DWORD put = 0;
    if (!WriteFile(handleOf(handle), p + done, static_cast<DWORD>(len - done), &put, &ov)) {
      DWORD err = GetLastError();
      if (err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL) break;  // short write
      return -1;
    }
    if (put == 0) break;
    done += put;
  }
  return done;
}

int64_t winLength(int64_t handle) {
  DWORD high = 0;
  SetLastError(NO_ERROR);  // a size whose low half is 0xFFFFFFFF is no failure
  DWORD low = GetFileSize(handleOf(handle), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

OsStatus winSetLength(int64_t handle, int64_t len) {
  HANDLE h = handleOf(handle);
  LONG high = static_cast<LONG>(high32(len));
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(h, static_cast<LONG>(low32(len)), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    return statusOf(GetLastError());
  }
  return SetEndOfFile(h) ? kOsOk : statusOf(GetLastError());
}

OsStatus winFlush(int64_t handle) {
  return FlushFileBuffers(handleOf(handle)) ? kOsOk : statusOf(GetLastError());
}

OsStatus winClose(int64_t handle) {
  return CloseHandle(handleOf(handle)) ? kOsOk : statusOf(GetLastError());
}

OsStatus winRemove(const char* name) {
  return DeleteFileA(name) ? kOsOk : statusOf(GetLastError());
}

OsStatus winRename(const char* from, const char* to, bool replace) {
  // MoveFileA refuses an existing target and moves between volumes (a rebuilt
  // file may come from the temporary directory on another drive).
  BOOL ok = replace ? MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)
                    : MoveFileA(from, to);
  return ok ? kOsOk : statusOf(GetLastError());
}

OsStatus winLock(int64_t handle, int64_t pos, int64_t len) {
  if (LockFile(handleOf(handle), low32(pos), high32(pos), low32(len), high32(len))) return kOsOk;
  return GetLastError() == ERROR_LOCK_VIOLATION ? kOsLockViolation : kOsFailure;
}

OsStatus winUnlock(int64_t handle, int64_t pos, int64_t len) {
  return UnlockFile(handleOf(handle), low32(pos), high32(pos), low32(len), high32(len))
             ? kOsOk
             : kOsFailure;
}

bool winIsReadOnly(const char* name) {
  DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool winExists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

// Windows itself finds a file under any case of its name, so the name as
// given is the one to use; there is never more than one match.
OsStatus winFindExisting(const char* name, char* out, int capacity) {
  if (name == nullptr || out == nullptr || capacity <= 0) return kOsFailure;
  out[0] = '\0';
  if (!winExists(name)) return kOsNotFound;
  if (strlen(name) >= static_cast<size_t>(capacity)) return kOsFailure;
  strcpy(out, name);
  return kOsOk;
}

// The Win32 "string of |n| characters, or the size needed" convention turned
// into the interface's "length, or -1".
int fitted(DWORD n, int capacity) {
  return n == 0 || n >= static_cast<DWORD>(capacity) ? -1 : static_cast<int>(n);
}

int winCurrentDirectory(char* out, int capacity) {
  if (out == nullptr || capacity <= 0) return -1;
  return fitted(GetCurrentDirectoryA(static_cast<DWORD>(capacity), out), capacity);
}

int winTempDirectory(char* out, int capacity) {
  if (out == nullptr || capacity <= 0) return -1;
  // An empty variable counts as unset. A value beginning with a drive letter
  // and colon needs no splitting here: the path is used as it stands.
  for (const char* var : {"TEMP", "TMP"}) {
    DWORD n = GetEnvironmentVariableA(var, out, static_cast<DWORD>(capacity));
    if (n == 0) continue;
    return fitted(n, capacity);
  }
  return winCurrentDirectory(out, capacity);
}

// True when the last component of |name| ends in a dot and is not made of
// dots only ("." and ".." are steps, not names).
bool endsInNameDot(const char* name) {
  size_t n = strlen(name);
  if (n == 0 || name[n - 1] != '.') return false;
  for (size_t i = n; i > 0; i--) {
    char c = name[i - 1];
    if (c == '\\' || c == '/' || c == ':') return false;
    if (c != '.') return true;
  }
  return false;
}

int winFullPath(const char* name, char* out, int capacity) {
  if (name == nullptr || *name == '\0' || out == nullptr || capacity <= 0) return -1;
  int n = fitted(GetFullPathNameA(name, static_cast<DWORD>(capacity), out, nullptr), capacity);
  if (n < 0) return -1;
  if (endsInNameDot(name) && out[n - 1] != '.') {
    if (n + 1 >= capacity) return -1;
    out[n++] = '.';
    out[n] = '\0';
  }
  CharUpperBuffA(out, static_cast<DWORD>(n));
  return n;
}

void winClock(int64_t* seconds, int32_t* milliseconds) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  t -= kFileTimeTo1970;
  *seconds = static_cast<int64_t>(t / 10000000u);
  *milliseconds = static_cast<int32_t>((t / 10000u) % 1000u);
}

// Waits |milliseconds|, removing the thread's window messages meanwhile and
// dispatching the paint messages among them.
void winSleep(int32_t milliseconds) {
  if (milliseconds <= 0) return;
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
  for (;;) {
    // A window that never validates itself keeps a WM_PAINT pending for ever,
    // so the queue is emptied only while the time lasts.
    MSG msg;
    while (GetTickCount64() < end && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_PAINT) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return;
    // Wakes early when a message arrives, so that it is handled at once.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

const OsInterface kWin32 = {
    winOpen,       winCreate,    winReadAt,        winWriteAt,
    winLength,     winSetLength, winFlush,         winClose,
    winRemove,     winRename,    winLock,          winUnlock,
    winIsReadOnly, winExists,    winTempDirectory, winCurrentDirectory,
    winFullPath,   winClock,     winSleep,         winFindExisting,
};

std::atomic<const OsInterface*> g_current{&kWin32};

}  // namespace

const OsInterface* os4platform() { return &kWin32; }

const OsInterface* os4get() { return g_current.load(std::memory_order_acquire); }

const OsInterface* os4set(const OsInterface* os) {
  return g_current.exchange(os != nullptr ? os : &kWin32, std::memory_order_acq_rel);
}
