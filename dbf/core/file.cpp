// DiskFile: opening, creating, closing, positioned reading and writing,
// length, flushing, replacing and the byte-range locks of engine files.
//
// Every call reaches the system through os4get(), so tests can wrap it. The
// block buffering layer of the engine is dormant in this system (the context's
// bufferingInactive stays 1), so reads and writes go straight to the file; the
// one exception is file4readAhead, the read-ahead of sequential record reads
// in a file that nobody else may write meanwhile.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "dbf/core/os.h"

using namespace dbf;

namespace {

bool holdsError(const EngineContext* ctx) { return ctx != nullptr && ctx->errorCode < 0; }

// A DiskFile that was never opened may be all zeros (it often lives in a
// zero-filled pool unit): handle 0 must not be taken for an open file then.
bool isClosed(const DiskFile* f) { return f->handle < 0 || !f->isOpen; }

// lockRetryDelay is in hundredths of a second.
int32_t retryPauseMs(int32_t hundredths) {
  if (hundredths <= 0) return 0;
  return hundredths > INT32_MAX / 10 ? INT32_MAX : hundredths * 10;
}

// The Win32 share mode of the context's shareMode; false for a value outside 0..2.
bool shareOf(uint8_t mode, OsShare* share) {
  switch (mode) {
    case 0:
      *share = kOsShareReadWrite;
      return true;
    case 1:
      *share = kOsShareNone;
      return true;
    case 2:
      *share = kOsShareRead;
      return true;
    default:
      return false;
  }
}

int openCodeOf(OsStatus s) {
  switch (s) {
    case kOsNotFound:
      return kErrOpenNotFound;
    case kOsAccessDenied:
      return kErrOpenAccess;
    case kOsTooManyFiles:
      return kErrOpenTooMany;
    default:
      return kErrOpen;
  }
}

// Points |f| at |name|, copying it when asked. False when memory runs out.
bool keepName(DiskFile* f, const char* name, bool copyName) {
  if (!copyName) {
    f->name = const_cast<char*>(name);
    f->ownsName = false;
    return true;
  }
  size_t n = strlen(name) + 1;
  f->name = static_cast<char*>(malloc(n));
  if (f->name == nullptr) return false;
  memcpy(f->name, name, n);
  f->ownsName = true;
  return true;
}

// Creates |name| for the context's settings: an existing file is refused while
// refuseOverwrite is on, and replaced otherwise only after a trial exclusive
// open shows that nobody has it open.
OsStatus createLow(EngineContext* ctx, const char* name, int64_t* handle) {
  const OsInterface* os = os4get();
  OsShare share;
  if (!shareOf(ctx->shareMode, &share)) return kOsFailure;
  if (os->exists(name)) {
    if (ctx->refuseOverwrite) return kOsExists;
    int64_t trial = -1;
    OsStatus s = os->open(name, true, kOsShareNone, &trial);
    if (s != kOsOk) return s;
    os->close(trial);
  }
  return os->create(name, share, ctx->refuseOverwrite ? kOsCreateNew : kOsCreateReplace, handle);
}

// Takes the handle into |f| after a successful open or create.
int adopt(DiskFile* f, EngineContext* ctx, const char* name, bool copyName, int64_t handle,
          int location) {
  f->handle = handle;
  if (!keepName(f, name, copyName)) {
    os4get()->close(handle);
    *f = DiskFile{};
    return engine4error(ctx, kErrMemory, location, name);
  }
  f->ctx = ctx;
  f->mode = ctx->shareMode;
  f->isOpen = true;
  return kOk;
}

// Copies the whole of |source| over |target| (already cut to length 0).
int copyContents(DiskFile* target, DiskFile* source) {
  EngineContext* ctx = target->ctx;
  uint32_t size = ctx->copyBufferSize > 0 ? static_cast<uint32_t>(ctx->copyBufferSize) : 100;
  char* buffer = nullptr;
  for (;;) {
    buffer = static_cast<char*>(malloc(size));
    if (buffer != nullptr || size <= 100) break;
    size = size > 2048 + 100 ? size - 2048 : 100;
  }
  if (buffer == nullptr) return engine4error(ctx, kErrMemory, 90616);
  int rc = kOk;
  for (int64_t pos = 0;;) {
    uint32_t n = file4read(source, pos, buffer, size);
    if (holdsError(ctx)) {
      rc = -1;
      break;
    }
    if (n == 0) break;
    if (file4write(target, pos, buffer, n) != kOk) {
      rc = -1;
      break;
    }
    pos += n;
  }
  free(buffer);
  return rc;
}

}  // namespace

// The bytes file4readAhead holds: |length| bytes of the file from |pos|
// (length 0: none), and where the last read through it ended, which tells a
// sequential reader from one that jumps about.
struct FileWindow {
  char* bytes = nullptr;  // kReadAheadSize bytes once a read-ahead was needed
  int64_t pos = 0;
  uint32_t length = 0;
  int64_t nextRead = -1;
};

namespace {

// Brings the window's bytes in line with a successful write of |len| bytes at
// |pos| through the same DiskFile.
void windowAfterWrite(FileWindow* w, int64_t pos, const void* buf, uint32_t len) {
  if (w == nullptr || w->length == 0) return;
  const int64_t from = pos > w->pos ? pos : w->pos;
  const int64_t windowEnd = w->pos + w->length;
  const int64_t to = pos + len < windowEnd ? pos + len : windowEnd;
  if (from < to)
    memcpy(w->bytes + (from - w->pos), static_cast<const char*>(buf) + (from - pos),
           static_cast<size_t>(to - from));
}

void windowAfterSetLength(FileWindow* w, int64_t len) {
  if (w == nullptr || w->length == 0) return;
  if (len <= w->pos)
    w->length = 0;
  else if (len < w->pos + w->length)
    w->length = static_cast<uint32_t>(len - w->pos);
}

}  // namespace

bool lock4foxScheme(uint8_t versionByte, uint8_t tableFlags) {
  return versionByte == 0x30 || (tableFlags & 0x01) != 0;
}

int64_t lock4recordPosition(bool foxScheme, uint32_t headerLength, uint32_t recordLength,
                            int32_t n) {
  if (foxScheme) return kLockRecordFox - n;
  return kLockBase + static_cast<int64_t>(headerLength) +
         (static_cast<int64_t>(n) - 1) * static_cast<int64_t>(recordLength);
}

void file4positionText(char* out, int64_t pos, uint32_t len) {
  snprintf(out, 40, "%19lld %19lu", static_cast<long long>(pos), static_cast<unsigned long>(len));
}

int file4open(DiskFile* f, EngineContext* ctx, const char* name, bool copyName) {
  if (f == nullptr || ctx == nullptr || name == nullptr) {
    return engine4error(ctx, kErrParameter, 90615);
  }
  if (holdsError(ctx)) return kErrContextHoldsError;
  *f = DiskFile{};
  ctx->errorCode = 0;
  const OsInterface* os = os4get();
  bool writable = true;
  if (os->isReadOnly(name) || ctx->openReadOnly == 1) writable = false;
  OsShare share;
  OsStatus s = kOsFailure;
  int64_t handle = -1;
  if (shareOf(ctx->shareMode, &share)) s = os->open(name, writable, share, &handle);
  if (s != kOsOk) {
    if (ctx->reportOpenErrors) return engine4error(ctx, openCodeOf(s), 90615, name);
    ctx->errorCode = kOpenFailed;
    return kOpenFailed;
  }
  f->readOnly = !writable;
  return adopt(f, ctx, name, copyName, handle, 90615);
}

int file4create(DiskFile* f, EngineContext* ctx, const char* name, bool copyName) {
  if (f == nullptr || ctx == nullptr) return engine4error(ctx, kErrParameter, 90602);
  if (holdsError(ctx)) return kErrContextHoldsError;
  ctx->errorCode = 0;
  if (name == nullptr) return file4temp(f, ctx, ctx->createTemporary == 1);
  *f = DiskFile{};
  int64_t handle = -1;
  if (createLow(ctx, name, &handle) != kOsOk) {
    if (ctx->reportCreateErrors) return engine4error(ctx, kErrCreate, 90602, name);
    ctx->errorCode = kAlreadyExists;
    return kAlreadyExists;
  }
  int rc = adopt(f, ctx, name, copyName, handle, 90602);
  if (rc == kOk && ctx->createTemporary == 1) f->deleteOnClose = true;
  return rc;
}

int file4temp(DiskFile* f, EngineContext* ctx, bool markForDeletion) {
  if (f == nullptr || ctx == nullptr) return engine4error(ctx, kErrParameter, 90618);
  if (holdsError(ctx)) return kErrContextHoldsError;
  *f = DiskFile{};
  const OsInterface* os = os4get();
  char dir[260];
  if (os->tempDirectory(dir, sizeof dir) < 0) return engine4error(ctx, kErrCreate, 80605);
  std::string base(dir);
  if (!base.empty() && base.back() != kOsSeparator) base += kOsSeparator;

  // Created exclusively and never over an existing file: a file of that name
  // may belong to someone else.
  const uint8_t savedShare = ctx->shareMode;
  const uint8_t savedRefuse = ctx->refuseOverwrite;
  const int32_t savedReport = ctx->reportCreateErrors;
  ctx->shareMode = 1;
  ctx->refuseOverwrite = 1;
  ctx->reportCreateErrors = 0;
  std::string name;
  int64_t handle = -1;
  OsStatus s = kOsFailure;
  for (int attempt = 0; attempt < 100; attempt++) {
    int64_t seconds = 0;
    int32_t ms = 0;
    os->clock(&seconds, &ms);
    char leaf[16];
    snprintf(leaf, sizeof leaf, "TEMP%04d.TMP", static_cast<int>(seconds % 10000));
    name = base + leaf;
    s = createLow(ctx, name.c_str(), &handle);
    // Only a name in use is worth waiting for; a missing or unwritable
    // directory would fail the same way a hundred times.
    if (s != kOsExists && s != kOsSharingViolation) break;
    os->sleep(500);
  }
  ctx->shareMode = savedShare;
  ctx->refuseOverwrite = savedRefuse;
  ctx->reportCreateErrors = savedReport;
  if (s != kOsOk) return engine4error(ctx, kErrCreate, 80605, name.c_str());

  int rc = adopt(f, ctx, name.c_str(), true, handle, 80605);
  if (rc != kOk) {
    os->remove(name.c_str());
    return rc;
  }
  f->mode = 1;
  f->deleteOnClose = markForDeletion;
  return kOk;
}

int file4close(DiskFile* f) {
  if (f == nullptr) return engine4error(nullptr, kErrNullHandle, 90601);
  if (isClosed(f)) return kOk;
  EngineContext* ctx = f->ctx;
  const int savedCode = ctx != nullptr ? ctx->errorCode : 0;
  const int savedLocation = ctx != nullptr ? ctx->errorLocation : 0;
  if (ctx != nullptr) ctx->errorCode = 0;

  const OsInterface* os = os4get();
  if (os->close(f->handle) != kOsOk) engine4error(ctx, kErrClose, 90601, f->name);
  if (f->deleteOnClose && f->isOpen && f->name != nullptr) os->remove(f->name);
  if (f->ownsName) free(f->name);
  file4dropWindow(f);
  *f = DiskFile{};

  if (ctx == nullptr) return kOk;
  if (savedCode != 0) {
    ctx->errorCode = savedCode;
    ctx->errorLocation = savedLocation;
  }
  return ctx->errorCode < 0 ? -1 : kOk;
}

// Reports a failed read of |len| bytes at |pos|; no bytes were delivered.
static uint32_t readFailed(DiskFile* f, int64_t pos, uint32_t len) {
  char where[40];
  file4positionText(where, pos, len);
  engine4error(f->ctx, kErrRead, 90607, f->name, where, "file4readLow");
  return 0;
}

uint32_t file4read(DiskFile* f, int64_t pos, void* buf, uint32_t len) {
  if (f == nullptr || pos < 0 || buf == nullptr) {
    engine4error(f != nullptr ? f->ctx : nullptr, kErrNullHandle, 90607);
    return 0;
  }
  if (holdsError(f->ctx) || len == 0) return 0;
  if (isClosed(f)) {
    engine4error(f->ctx, kErrNotOpen, 90607, f->name);
    return 0;
  }
  int64_t n = os4get()->readAt(f->handle, pos, buf, len);
  if (n < 0) return readFailed(f, pos, len);
  return static_cast<uint32_t>(n);
}

uint32_t file4readAhead(DiskFile* f, int64_t pos, void* buf, uint32_t len) {
  // Anything unusual takes the plain path, which reports it.
  if (f == nullptr || pos < 0 || buf == nullptr || len == 0 || len > kReadAheadSize / 2 ||
      isClosed(f) || holdsError(f->ctx))
    return file4read(f, pos, buf, len);
  if (f->window == nullptr) f->window = new (std::nothrow) FileWindow;
  FileWindow* w = f->window;
  if (w == nullptr) return file4read(f, pos, buf, len);
  if (w->length > 0 && pos >= w->pos && pos + len <= w->pos + w->length) {
    memcpy(buf, w->bytes + (pos - w->pos), len);
    w->nextRead = pos + len;
    return len;
  }
  // One record here and one there is read as it is; reads that go on where
  // the last one ended bring in what follows.
  if (pos != w->nextRead) {
    const uint32_t n = file4read(f, pos, buf, len);
    w->nextRead = pos + n;
    return n;
  }
  if (w->bytes == nullptr) w->bytes = static_cast<char*>(malloc(kReadAheadSize));
  const int64_t n =
      w->bytes == nullptr ? -1 : os4get()->readAt(f->handle, pos, w->bytes, kReadAheadSize);
  if (n < 0 && w->bytes != nullptr) {
    w->length = 0;
    return readFailed(f, pos, len);
  }
  if (n < 0) {  // no memory for the window: read as usual
    const uint32_t plain = file4read(f, pos, buf, len);
    w->nextRead = pos + plain;
    return plain;
  }
  w->pos = pos;
  w->length = static_cast<uint32_t>(n);
  const uint32_t got = static_cast<uint32_t>(n) < len ? static_cast<uint32_t>(n) : len;
  memcpy(buf, w->bytes, got);
  w->nextRead = pos + got;
  return got;
}

void file4dropWindow(DiskFile* f) {
  if (f == nullptr || f->window == nullptr) return;
  free(f->window->bytes);
  delete f->window;
  f->window = nullptr;
}

int file4readAll(DiskFile* f, int64_t pos, void* buf, uint32_t len) {
  if (f == nullptr) return engine4error(nullptr, kErrNullHandle, 90608);
  if (holdsError(f->ctx)) return -1;
  if (len == 0) return kOk;
  if (isClosed(f)) return engine4error(f->ctx, kErrNotOpen, 90607, f->name);
  uint32_t n = file4read(f, pos, buf, len);
  if (n == len) return kOk;
  if (holdsError(f->ctx)) return f->ctx->errorCode;  // file4read has reported it
  char where[40];
  file4positionText(where, pos, len);
  return engine4error(f->ctx, kErrRead, 90608, f->name, where, "file4readAllLow");
}

int file4write(DiskFile* f, int64_t pos, const void* buf, uint32_t len) {
  if (f == nullptr || pos < 0 || (buf == nullptr && len != 0) || isClosed(f)) {
    return engine4error(f != nullptr ? f->ctx : nullptr, kErrParameter, 90619);
  }
  if (holdsError(f->ctx)) return kErrContextHoldsError;
  if (f->readOnly) return engine4error(f->ctx, kErrWrite, 80606, f->name);
  if (len == 0) return kOk;
  int64_t n = os4get()->writeAt(f->handle, pos, buf, len);
  if (n != static_cast<int64_t>(len)) {
    file4dropWindow(f);  // some of the bytes may have reached the file
    return engine4error(f->ctx, kErrWrite, 90615, f->name);
  }
  windowAfterWrite(f->window, pos, buf, len);
  if (f->ctx->flushAfterWrite) return file4flush(f);
  return kOk;
}

int64_t file4length(DiskFile* f) {
  if (f == nullptr) return engine4error(nullptr, kErrNullHandle, 90605);
  if (holdsError(f->ctx)) return kErrContextHoldsError;
  int64_t n = isClosed(f) ? -1 : os4get()->length(f->handle);
  if (n < 0) return engine4error(f->ctx, kErrLength, 90605, f->name);
  return n;
}

int file4setLength(DiskFile* f, int64_t len) {
  if (f == nullptr || len < 0) {
    return engine4error(f != nullptr ? f->ctx : nullptr, kErrNullHandle, 90606);
  }
  const int stored = f->ctx != nullptr ? f->ctx->errorCode : 0;
  if (stored < 0 || (stored > 0 && stored < 200)) return -1;
  if (f->readOnly) return engine4error(f->ctx, kErrParameter, 80607, f->name);
  if (isClosed(f) || os4get()->setLength(f->handle, len) != kOsOk) {
    file4dropWindow(f);
    return engine4error(f->ctx, kErrSetLength, 90606, f->name);
  }
  windowAfterSetLength(f->window, len);
  return kOk;
}

int file4flush(DiskFile* f) {
  if (f == nullptr) return engine4error(nullptr, kErrNullHandle, 90611);
  if (f->readOnly) return kOk;
  if (isClosed(f)) return engine4error(f->ctx, kErrParameter, 90611);
  EngineContext* ctx = f->ctx;
  const int savedCode = ctx->errorCode;
  const int savedLocation = ctx->errorLocation;
  ctx->errorCode = 0;
  int rc = kOk;
  if (os4get()->flush(f->handle) != kOsOk) rc = engine4error(ctx, kErrFlush, 90610, f->name);
  if (savedCode != 0) {
    ctx->errorCode = savedCode;
    ctx->errorLocation = savedLocation;
  }
  return rc;
}

int file4lock(DiskFile* f, int64_t pos, int64_t len) {
  if (f == nullptr) return engine4error(nullptr, kErrNullHandle, 90613);
  if (pos < 0 || len < 0) return engine4error(f->ctx, kErrParameter, 90613);
  if (len == 0 || f->readOnly || f->mode == 1 || f->mode == 2) return kOk;
  if (isClosed(f)) return engine4error(f->ctx, kErrParameter, 80608);
  EngineContext* ctx = f->ctx;
  if (holdsError(ctx)) return kErrContextHoldsError;
  const OsInterface* os = os4get();
  int tries = ctx->lockAttempts == 0 ? 1 : ctx->lockAttempts;
  for (;;) {
    OsStatus s = os->lock(f->handle, pos, len);
    if (s == kOsOk) return kOk;
    if (s != kOsLockViolation) return engine4error(ctx, kErrLock, 90613, f->name);
    if (tries == 1) return kLocked;
    os->sleep(retryPauseMs(ctx->lockRetryDelay));
    if (tries > 1) tries--;
  }
}

int file4unlock(DiskFile* f, int64_t pos, int64_t len) {
  if (f == nullptr) return engine4error(nullptr, kErrNullHandle, 90614);
  if (pos < 0 || len < 0) return engine4error(f->ctx, kErrParameter, 90614);
  if (len == 0 || f->readOnly || f->mode == 1 || f->mode == 2) return kOk;
  if (isClosed(f) || os4get()->unlock(f->handle, pos, len) != kOsOk) {
    return engine4error(f->ctx, kErrUnlock, 90614, f->name);
  }
  return kOk;
}

int file4replace(DiskFile* target, DiskFile* source, bool* sourceInPlace) {
  bool inPlace = false;
  if (sourceInPlace == nullptr) sourceInPlace = &inPlace;
  *sourceInPlace = false;
  if (target == nullptr || source == nullptr || isClosed(target) || isClosed(source)) {
    engine4error(target != nullptr ? target->ctx : nullptr, kErrNullHandle, 90616);
    return -1;
  }
  EngineContext* ctx = target->ctx;
  if (holdsError(ctx)) return -1;
  file4dropWindow(target);
  if (target->mode != 1) {
    if (file4setLength(target, 0) != kOk || copyContents(target, source) != kOk) return -1;
    *sourceInPlace = true;
    return file4close(source) == kOk ? kOk : -1;
  }

  // Nobody else has the target open: put the source's file under its name.
  const std::string targetName(target->name);
  const std::string sourceName(source->name);
  const char* callerName = target->ownsName ? nullptr : target->name;
  const bool deleteTarget = target->deleteOnClose;
  const bool deleteSource = source->deleteOnClose;
  source->deleteOnClose = false;
  target->deleteOnClose = false;
  const int targetClosed = file4close(target);
  const int sourceClosed = file4close(source);
  if (targetClosed != kOk || sourceClosed != kOk) {
    if (deleteSource) os4get()->remove(sourceName.c_str());
    return -1;
  }
  if (os4get()->rename(sourceName.c_str(), targetName.c_str(), true) != kOsOk) {
    engine4error(ctx, kErrWrite, 90616, sourceName.c_str(), targetName.c_str());
    if (deleteSource) os4get()->remove(sourceName.c_str());
    return -1;
  }
  *sourceInPlace = true;
  const uint8_t savedShare = ctx->shareMode;
  ctx->shareMode = 1;
  int rc = callerName != nullptr ? file4open(target, ctx, callerName, false)
                                 : file4open(target, ctx, targetName.c_str(), true);
  ctx->shareMode = savedShare;
  if (rc != kOk) return -1;
  target->deleteOnClose = deleteTarget;
  return kOk;
}

int file4remove(const char* name) {
  if (name == nullptr) return -1;
  return os4get()->remove(name) == kOsOk ? 0 : -1;
}

int file4renameNoReplace(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return -1;
  return os4get()->rename(from, to, false) == kOsOk ? 0 : -1;
}

bool file4exists(const char* name) { return name != nullptr && os4get()->exists(name); }
