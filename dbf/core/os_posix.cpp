// POSIX implementation of the engine's operating-system interface (os.h).
//
// Files are reached with pread/pwrite, flushed with fsync and cut with
// ftruncate. Byte-range locks are open-file-description locks (F_OFD_SETLK):
// like Win32 LockFile they conflict between two handles of the same process and
// stay in place when some other descriptor of the file is closed.
//
// Linux has no share modes, so cooperating processes emulate them with OFD
// locks on a reserved range far above every lock position the file formats use
// (those all lie below 0x80000000):
//   kShareAccess     every open holds a read lock; an exclusive open holds a
//                    write lock instead, so it fails while anyone has the file
//                    open and makes every later open fail;
//   kShareWriter     every open with write access holds a read lock;
//   kShareDenyWrite  an open that lets others only read holds a read lock.
// A writable open first takes kShareWriter and then looks for a holder of
// kShareDenyWrite; a deny-write open takes kShareDenyWrite and then looks for
// another writer. Because each side marks itself before it looks, two racing
// opens cannot both miss each other.
//
// Names are found as Windows finds them, ignoring case (see os.h): when the
// exact name does not exist, the directory's entries are searched for those
// that match it case-blind (through an index kept true by inotify, see
// DirectoryIndex).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "dbf/core/os.h"
#include "dbf/core/text.h"

const char kOsSeparator = '/';

namespace {

constexpr off_t kShareAccess = 0x7FFFFFFFFFF00000LL;
constexpr off_t kShareWriter = kShareAccess + 1;
constexpr off_t kShareDenyWrite = kShareAccess + 2;

OsStatus statusOf(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return kOsNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kOsAccessDenied;
    case EMFILE:
    case ENFILE:
      return kOsTooManyFiles;
    case EEXIST:
      return kOsExists;
    default:
      return kOsFailure;
  }
}

// The key under which a name is found case-blind: its Windows-1252 upper case.
std::string caseKey(const char* name) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(char4upper(static_cast<unsigned char>(c)));
  return key;
}

// True for file systems whose changes by other machines this kernel does not
// report through inotify.
bool isNetworkFileSystem(const char* directory) {
  struct statfs fs;
  if (statfs(directory, &fs) != 0) return true;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969UL:      // NFS
    case 0x517BUL:      // SMB
    case 0xFF534D42UL:  // CIFS
    case 0xFE534D42UL:  // SMB2
    case 0x65735546UL:  // FUSE (sshfs and the like)
    case 0x01021997UL:  // 9P
      return true;
    default:
      return false;
  }
}

// The names of one directory by their case key, for case-blind searches.
//
// Reading the whole directory for every search would make a run that renames
// n message files in one directory read it n times. The names of the
// directory searched last are therefore kept, and kept true by inotify: the
// changes made to the directory since (by this process or any other on this
// machine) are applied before every search, so no search answers from a stale
// listing. Where that cannot be relied on (no inotify, a network file system,
// a queue overflow, a forked child sharing the queue) the directory is read
// again.
class DirectoryIndex {
 public:
  // Every entry of |directory| whose case key is |key|. False when the index
  // cannot serve this directory; the caller reads the directory itself.
  bool find(const std::string& directory, const std::string& key, std::vector<std::string>* out) {
    std::lock_guard<std::mutex> guard(mutex_);
    struct stat st;
    if (stat(directory.c_str(), &st) != 0) return false;
    if (!current(st) && !rebuild(directory, st)) return false;
    if (!applyChanges() && !rebuild(directory, st)) return false;
    auto it = names_.find(key);
    if (it != names_.end()) *out = it->second;
    return true;
  }

 private:
  bool current(const struct stat& st) const {
    return fd_ >= 0 && owner_ == getpid() && st.st_dev == device_ && st.st_ino == inode_;
  }

  void drop() {
    if (fd_ >= 0) close(fd_);  // in a forked child, only the child's copy
    fd_ = -1;
    names_.clear();
  }

  bool rebuild(const std::string& directory, const struct stat& st) {
    drop();
    if (isNetworkFileSystem(directory.c_str())) return false;
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    // Watched before it is read: a change in between is applied again later,
    // which leaves the same names.
    const uint32_t events = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                            IN_MOVE_SELF | IN_ONLYDIR;
    DIR* dir = inotify_add_watch(fd_, directory.c_str(), events) >= 0 ? opendir(directory.c_str())
                                                                      : nullptr;
    if (dir == nullptr) {
      drop();
      return false;
    }
    while (const struct dirent* entry = readdir(dir)) add(entry->d_name);
    closedir(dir);
    owner_ = getpid();
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
  }

  void add(const char* name) {
    std::vector<std::string>& same = names_[caseKey(name)];
    for (const std::string& known : same)
      if (known == name) return;
    same.emplace_back(name);
  }

  void remove(const char* name) {
    auto it = names_.find(caseKey(name));
    if (it == names_.end()) return;
    std::vector<std::string>& same = it->second;
    for (size_t i = 0; i < same.size(); ++i) {
      if (same[i] == name) {
        same.erase(same.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    if (same.empty()) names_.erase(it);
  }

  // Applies the queued changes; false when the index no longer tells the
  // directory's names (the queue overflowed, the directory went away).
  bool applyChanges() {
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno == EAGAIN;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
        if ((event->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0)
          return false;
        if (event->len > 0 && (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) add(event->name);
        if (event->len > 0 && (event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) remove(event->name);
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      }
    }
  }

  std::mutex mutex_;
  int fd_ = -1;
  pid_t owner_ = 0;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::unordered_map<std::string, std::vector<std::string>> names_;
};

DirectoryIndex& directoryIndex() {
  static DirectoryIndex* index = new DirectoryIndex;  // lives as long as the process
  return *index;
}

// The entries of |directory| that match |leaf| case-blind.
std::vector<std::string> caseBlindMatches(const std::string& directory, const char* leaf) {
  std::vector<std::string> matches;
  const std::string key = caseKey(leaf);
  if (directoryIndex().find(directory, key, &matches)) return matches;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return matches;
  while (const struct dirent* entry = readdir(dir)) {
    if (caseKey(entry->d_name) == key) matches.emplace_back(entry->d_name);
  }
  closedir(dir);
  return matches;
}

// Where an existing file called |name| is: its exact name when that exists,
// else the entries of its directory that match the last component
// case-blind. One entry is the file; none or several are not.
struct Lookup {
  OsStatus status = kOsNotFound;     // kOsOk, kOsNotFound, kOsAmbiguous, or why
                                     // the exact name could not be looked at
  std::string name;                  // the file's name (kOsOk)
  std::vector<std::string> matches;  // every case-blind match (kOsAmbiguous)
};

// |name| taken apart: its directory ("." for a bare name), the last
// component, and what stands before that component.
struct NameParts {
  std::string directory;
  const char* leaf;
  std::string prefix;
};

NameParts partsOf(const char* name) {
  const char* slash = strrchr(name, '/');
  NameParts parts;
  parts.directory = slash == nullptr ? std::string(".")
                    : slash == name  ? std::string("/")
                                     : std::string(name, slash);
  parts.leaf = slash == nullptr ? name : slash + 1;
  parts.prefix = slash == nullptr ? std::string() : std::string(name, slash + 1);
  return parts;
}

// The lookup's outcome from the case-blind matches of |parts|' leaf: the
// exact name when it is among them, else the one match; several are
// ambiguous.
Lookup fromMatches(const NameParts& parts, const std::vector<std::string>& matches) {
  Lookup found;
  for (const std::string& match : matches) {
    if (match == parts.leaf) {
      found.status = kOsOk;
      found.name = parts.prefix + match;
      return found;
    }
    found.matches.push_back(parts.prefix + match);
  }
  if (found.matches.size() == 1) {
    found.status = kOsOk;
    found.name = found.matches.front();
  } else if (found.matches.size() > 1) {
    found.status = kOsAmbiguous;
  }
  return found;
}

Lookup lookUp(const char* name) {
  Lookup found;
  struct stat st;
  if (lstat(name, &st) == 0) {
    found.status = kOsOk;
    found.name = name;
    return found;
  }
  if (errno != ENOENT) {
    found.status = statusOf(errno);
    return found;
  }
  const NameParts parts = partsOf(name);
  if (*parts.leaf == '\0') return found;
  return fromMatches(parts, caseBlindMatches(parts.directory, parts.leaf));
}

// lookUp for a name that is usually not there, such as the new name of a
// rename: the directory index, when it serves the directory, tells at once
// whether the name exists in any case, where a miss through lstat would
// search the directory first and the index after.
Lookup lookUpExpectingNone(const char* name) {
  const NameParts parts = partsOf(name);
  std::vector<std::string> matches;
  if (*parts.leaf == '\0' || !directoryIndex().find(parts.directory, caseKey(parts.leaf), &matches))
    return lookUp(name);
  return fromMatches(parts, matches);
}

int setLock(int fd, short type, off_t pos, off_t len) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = pos;
  fl.l_len = len;
  int rc;
  do {
    rc = fcntl(fd, F_OFD_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// True when some other open file description holds a lock on |pos| that
// would conflict with a write lock.
bool someoneElseHolds(int fd, off_t pos) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = pos;
  fl.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;  // cannot tell: refuse
  return fl.l_type != F_UNLCK;
}

// Takes the share-mode marks of a new handle. A handle opened for reading
// only cannot hold a write lock; its exclusive open only checks that nobody
// else has the file open (it cannot keep later opens out).
OsStatus takeShareMode(int fd, bool writable, OsShare share) {
  if (share == kOsShareNone) {
    if (writable) {
      return setLock(fd, F_WRLCK, kShareAccess, 1) == 0 ? kOsOk : kOsSharingViolation;
    }
    if (setLock(fd, F_RDLCK, kShareAccess, 1) != 0) return kOsSharingViolation;
    return someoneElseHolds(fd, kShareAccess) ? kOsSharingViolation : kOsOk;
  }
  if (setLock(fd, F_RDLCK, kShareAccess, 1) != 0) return kOsSharingViolation;
  if (writable) {
    if (setLock(fd, F_RDLCK, kShareWriter, 1) != 0) return kOsSharingViolation;
    if (someoneElseHolds(fd, kShareDenyWrite)) return kOsSharingViolation;
  }
  if (share == kOsShareRead) {
    if (setLock(fd, F_RDLCK, kShareDenyWrite, 1) != 0) return kOsSharingViolation;
    if (someoneElseHolds(fd, kShareWriter)) return kOsSharingViolation;
  }
  return kOsOk;
}

OsStatus finishOpen(int fd, bool writable, OsShare share, int64_t* handle) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return kOsAccessDenied;  // directories and devices are not engine files
  }
  OsStatus s = takeShareMode(fd, writable, share);
  if (s != kOsOk) {
    close(fd);
    return s;
  }
  *handle = fd;
  return kOsOk;
}

// open(2) without access-time updates where this process may ask for that
// (it owns the file). Nothing here reads access times, and a read after a
// write would otherwise dirty the inode: with the record count read under
// the append lock, that is a journal update per appended record.
int openNoAccessTime(const char* path, int flags, mode_t mode = 0) {
  int fd = open(path, flags | O_NOATIME, mode);
  if (fd < 0 && errno == EPERM) fd = open(path, flags, mode);
  return fd;
}

OsStatus posixOpen(const char* name, bool writable, OsShare share, int64_t* handle) {
  Lookup file = lookUp(name);
  if (file.status == kOsAmbiguous) return kOsAmbiguous;
  int fd = openNoAccessTime(file.status == kOsOk ? file.name.c_str() : name,
                            (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return statusOf(errno);
  return finishOpen(fd, writable, share, handle);
}

OsStatus posixCreate(const char* name, OsShare share, OsCreate how, int64_t* handle) {
  // A file found under another case is the file to replace, as on Windows.
  Lookup existing = lookUp(name);
  if (existing.status == kOsAmbiguous) return kOsAmbiguous;
  if (existing.status == kOsOk && how == kOsCreateNew) return kOsExists;
  const char* target = existing.status == kOsOk ? existing.name.c_str() : name;
  int flags = O_RDWR | O_CREAT | O_CLOEXEC | (how == kOsCreateNew ? O_EXCL : 0);
  // No O_TRUNC: an existing file is cut only after the share mode is held, so
  // a file that someone has open exclusively is never emptied.
  int fd = openNoAccessTime(target, flags, 0666);
  if (fd < 0) return statusOf(errno);
  int64_t h = -1;
  OsStatus s = finishOpen(fd, true, share, &h);
  if (s != kOsOk) return s;
  if (how == kOsCreateReplace && ftruncate(fd, 0) != 0) {
    int err = errno;
    close(fd);
    return statusOf(err);
  }
  *handle = h;
  return kOsOk;
}

int64_t posixReadAt(int64_t handle, int64_t pos, void* buf, uint32_t len) {
  char* p = static_cast<char*>(buf);
  int64_t done = 0;
  while (done < len) {
    ssize_t n = pread(static_cast<int>(handle), p + done, len - done, pos + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;  // end of file
    done += n;
  }
  return done;
}

int64_t posixWriteAt(int64_t handle, int64_t pos, const void* buf, uint32_t len) {
  const char* p = static_cast<const char*>(buf);
  int64_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(static_cast<int>(handle), p + done, len - done, pos + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) break;  // short write
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t posixLength(int64_t handle) {
  struct stat st;
  if (fstat(static_cast<int>(handle), &st) != 0) return -1;
  return st.st_size;
}

OsStatus posixSetLength(int64_t handle, int64_t len) {
  int rc;
  do {
    rc = ftruncate(static_cast<int>(handle), len);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? kOsOk : statusOf(errno);
}

OsStatus posixFlush(int64_t handle) {
  return fsync(static_cast<int>(handle)) == 0 ? kOsOk : statusOf(errno);
}

OsStatus posixClose(int64_t handle) {
  // The descriptor is gone after close() even when it reports EINTR.
  return close(static_cast<int>(handle)) == 0 || errno == EINTR ? kOsOk : statusOf(errno);
}

OsStatus posixRemove(const char* name) {
  Lookup file = lookUp(name);
  if (file.status != kOsOk) return file.status;
  return unlink(file.name.c_str()) == 0 ? kOsOk : statusOf(errno);
}

// Renames two names that need no further looking up.
OsStatus renameFound(const char* from, const char* to, bool replace) {
  if (replace) return rename(from, to) == 0 ? kOsOk : statusOf(errno);
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return kOsOk;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return statusOf(errno);
  // The file system cannot rename without replacing: a hard link fails when
  // the new name exists, and the old name goes only once the new one is there.
  if (link(from, to) != 0) return statusOf(errno);
  if (unlink(from) != 0) {
    int err = errno;
    unlink(to);
    return statusOf(err);
  }
  return kOsOk;
}

OsStatus posixRename(const char* fromName, const char* toName, bool replace) {
  Lookup to = lookUpExpectingNone(toName);
  if (to.status == kOsNotFound) {
    // Nothing answers to the new name, so the source needs looking up only
    // when its exact name is not there: a migration renames thousands of
    // files whose names it knows exactly.
    OsStatus renamed = renameFound(fromName, toName, replace);
    if (renamed != kOsNotFound) return renamed;
    Lookup from = lookUp(fromName);
    if (from.status != kOsOk) return from.status;
    if (from.name == fromName) return renamed;  // there after all: the target's directory is not
    return renameFound(from.name.c_str(), toName, replace);
  }
  Lookup from = lookUp(fromName);
  if (from.status != kOsOk) return from.status;
  // A target found under another case is replaced in place, or counts as
  // existing; the source itself found again (a change of case only) is not.
  if (to.status == kOsOk && to.name != from.name) {
    if (!replace) return kOsExists;
    return renameFound(from.name.c_str(), to.name.c_str(), true);
  }
  if (to.status == kOsAmbiguous) return replace ? kOsAmbiguous : kOsExists;
  return renameFound(from.name.c_str(), toName, replace);
}

OsStatus posixLock(int64_t handle, int64_t pos, int64_t len) {
  if (setLock(static_cast<int>(handle), F_WRLCK, pos, len) == 0) return kOsOk;
  return errno == EAGAIN || errno == EACCES ? kOsLockViolation : kOsFailure;
}

OsStatus posixUnlock(int64_t handle, int64_t pos, int64_t len) {
  return setLock(static_cast<int>(handle), F_UNLCK, pos, len) == 0 ? kOsOk : kOsFailure;
}

bool posixIsReadOnly(const char* name) {
  Lookup file = lookUp(name);
  if (file.status != kOsOk) return false;
  return access(file.name.c_str(), W_OK) != 0 && errno != ENOENT;
}

// Several matches count as existing: something is there under that name.
bool posixExists(const char* name) {
  Lookup file = lookUp(name);
  struct stat st;
  return file.status == kOsAmbiguous || (file.status == kOsOk && stat(file.name.c_str(), &st) == 0);
}

int copyOut(const std::string& s, char* out, int capacity) {
  if (capacity <= 0 || s.size() >= static_cast<size_t>(capacity)) return -1;
  memcpy(out, s.c_str(), s.size() + 1);
  return static_cast<int>(s.size());
}

OsStatus posixFindExisting(const char* name, char* out, int capacity) {
  Lookup file = lookUp(name);
  std::string text;
  if (file.status == kOsOk) text = file.name;
  if (file.status == kOsAmbiguous) {
    for (const std::string& match : file.matches) text += (text.empty() ? "" : ", ") + match;
  }
  if (copyOut(text, out, capacity) < 0) return kOsFailure;
  return file.status == kOsOk || file.status == kOsAmbiguous ? file.status : kOsNotFound;
}

std::string currentDir() {
  std::vector<char> buf(4096);
  for (;;) {
    if (getcwd(buf.data(), buf.size()) != nullptr) return std::string(buf.data());
    if (errno != ERANGE || buf.size() > (1u << 20)) return std::string();
    buf.resize(buf.size() * 2);
  }
}

int posixCurrentDirectory(char* out, int capacity) {
  std::string cwd = currentDir();
  return cwd.empty() ? -1 : copyOut(cwd, out, capacity);
}

int posixTempDirectory(char* out, int capacity) {
  for (const char* var : {"TEMP", "TMP", "TMPDIR"}) {
    const char* v = getenv(var);
    if (v != nullptr && *v != '\0') return copyOut(v, out, capacity);
  }
  return posixCurrentDirectory(out, capacity);
}

int posixFullPath(const char* name, char* out, int capacity) {
  if (name == nullptr || *name == '\0') return -1;
  std::string whole = name[0] == '/' ? std::string(name) : currentDir() + "/" + name;
  if (whole[0] != '/') return -1;  // the current directory is unknown
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < whole.size()) {
    size_t j = whole.find('/', i);
    if (j == std::string::npos) j = whole.size();
    std::string step = whole.substr(i, j - i);
    if (step == "..") {
      if (!parts.empty()) parts.pop_back();  // ".." of the root is the root
    } else if (!step.empty() && step != ".") {
      parts.push_back(step);
    }
    i = j + 1;
  }
  std::string result;
  for (const std::string& p : parts) {
    result += '/';
    result += p;
  }
  if (result.empty()) result.push_back('/');
  return copyOut(result, out, capacity);
}

void posixClock(int64_t* seconds, int32_t* milliseconds) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  *seconds = ts.tv_sec;
  *milliseconds = static_cast<int32_t>(ts.tv_nsec / 1000000);
}

void posixSleep(int32_t milliseconds) {
  if (milliseconds <= 0) return;
  struct timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

const OsInterface kPosix = {
    posixOpen,       posixCreate,    posixReadAt,        posixWriteAt,
    posixLength,     posixSetLength, posixFlush,         posixClose,
    posixRemove,     posixRename,    posixLock,          posixUnlock,
    posixIsReadOnly, posixExists,    posixTempDirectory, posixCurrentDirectory,
    posixFullPath,   posixClock,     posixSleep,         posixFindExisting,
};

std::atomic<const OsInterface*> g_current{&kPosix};

}  // namespace

const OsInterface* os4platform() { return &kPosix; }

const OsInterface* os4get() { return g_current.load(std::memory_order_acquire); }

const OsInterface* os4set(const OsInterface* os) {
  return g_current.exchange(os != nullptr ? os : &kPosix, std::memory_order_acq_rel);
}
