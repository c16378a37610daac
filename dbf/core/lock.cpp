// Table-level locks: record, append and whole-file locks on top of the byte
// ranges of file4lock, and the DataFile bookkeeping through which Tables of one
// context (which share one file handle, so the system cannot tell them apart)
// see each other's locks.
//
// Positions: the FoxPro scheme (version 0x30 or a production index) locks
// record n at 0x7FFFFFFE - n, the dBASE scheme at 0x40000000 plus the record's
// file position; the append byte is 0x7FFFFFFE and the whole file 0x40000000
// for 0x3FFFFFFF bytes. Other programs lock the same bytes.
#include <cstring>

#include "dbf/core/index_seam.h"
#include "dbf/core/table.h"
#include "dbf/core/table_internal.h"

using namespace dbf;

namespace {

int64_t recordLockPos(const DataFile* d, int32_t n) {
  if (dataFile4foxLocks(d)) return kLockRecordFox - n;
  return kLockBase + dataFile4recordPos(d, n);
}

RecordLock* findRecordLock(const DataFile* d, int32_t n) {
  for (RecordLock* l = d->recordLocks; l != nullptr && l->record <= n; l = l->next)
    if (l->record == n) return l;
  return nullptr;
}

bool ownsRecordLocks(const Table* t) {
  for (RecordLock* l = t->dataFile->recordLocks; l != nullptr; l = l->next)
    if (l->owner == t->lockOwner) return true;
  return false;
}

// A lock another owner of this context holds: note it, 50 or -50.
int conflict(Table* t, Table* holder, int32_t record) {
  EngineContext* ctx = t->ctx;
  ctx->conflictRecord = record;
  std::memcpy(ctx->conflictAlias, holder != nullptr ? holder->alias : "",
              holder != nullptr ? sizeof ctx->conflictAlias : 1);
  if (ctx->lockAttempts != -1) return kLocked;
  return engine4error(ctx, kErrLock, 81523, t->alias);
}

Table* tableOfOwner(const Table* t, int32_t owner) {
  for (Table* g = t->ctx->defaultGroup.first; g != nullptr; g = g->nextInGroup)
    if (g->lockOwner == owner) return g;
  return nullptr;
}

MemoryPool* lockPool(EngineContext* ctx) {
  if (ctx->lockPool == nullptr)
    ctx->lockPool =
        pool4create(ctx, ctx->lockPoolStart > 0 ? ctx->lockPoolStart : 5, sizeof(RecordLock),
                    ctx->lockPoolExpand > 0 ? ctx->lockPoolExpand : 10, false);
  return ctx->lockPool;
}

// Locks that end with the append or file lock: the deferred header, the date
// and the count held in memory.
int afterWholeLockRelease(DataFile* d) {
  int rc = 0;
  if (d->headerNeedsWriting && d->heldCount >= 0) rc = dataFile4writeHeader(d);
  dataFile4refreshDate(d);
  d->heldCount = -1;
  return rc;
}

}  // namespace

bool table4holdsFileLock(const Table* t) {
  const DataFile* d = t->dataFile;
  return dataFile4heldWhole(d) || d->fileLockOwner == t->lockOwner;
}

bool table4holdsAppendLock(const Table* t) {
  return table4holdsFileLock(t) || t->dataFile->appendLockOwner == t->lockOwner;
}

bool table4holdsRecordLock(const Table* t, int32_t n) {
  if (table4holdsFileLock(t)) return true;
  const RecordLock* l = findRecordLock(t->dataFile, n);
  return l != nullptr && l->owner == t->lockOwner;
}

bool table4holdsAnyLock(const Table* t) {
  const DataFile* d = t->dataFile;
  return dataFile4heldWhole(d) || d->fileLockOwner == t->lockOwner ||
         d->appendLockOwner == t->lockOwner || d->memoLockOwner == t->lockOwner ||
         ownsRecordLocks(t) || index4seamHoldsLocks(t);
}

int table4unlockRecord(Table* t, int32_t n) {
  DataFile* d = t->dataFile;
  for (RecordLock** p = &d->recordLocks; *p != nullptr; p = &(*p)->next) {
    RecordLock* l = *p;
    if (l->record == n && l->owner == t->lockOwner) {
      *p = l->next;
      const int64_t position = l->position;
      pool4free(lockPool(t->ctx), l);
      if (t->oldRecordNumber == n) t->oldRecordNumber = -1;
      return file4unlock(&d->data, position, 1);
    }
  }
  return 0;
}

static int table4unlockRecords(Table* t) {
  DataFile* d = t->dataFile;
  int rc = 0;
  for (RecordLock** p = &d->recordLocks; *p != nullptr;) {
    RecordLock* l = *p;
    if (l->owner != t->lockOwner) {
      p = &l->next;
      continue;
    }
    *p = l->next;
    const int64_t position = l->position;
    pool4free(lockPool(t->ctx), l);
    int r = file4unlock(&d->data, position, 1);
    if (r < 0 && rc == 0) rc = r;
  }
  t->oldRecordNumber = -1;
  return rc;
}

int table4unlockAppend(Table* t) {
  DataFile* d = t->dataFile;
  if (d->appendLockOwner != t->lockOwner) return 0;
  int rc = afterWholeLockRelease(d);
  d->appendLockOwner = 0;
  int r = file4unlock(&d->data, kLockAppend, 1);
  return rc < 0 ? rc : r;
}

static int table4unlockFileRange(Table* t) {
  DataFile* d = t->dataFile;
  if (d->fileLockOwner != t->lockOwner) return 0;
  int rc = afterWholeLockRelease(d);
  d->fileLockOwner = 0;
  d->fileLockTable = nullptr;
  file4dropWindow(&d->data);  // others may write again
  int r = file4unlock(&d->data, kLockBase, kLockWholeFileLength);
  return rc < 0 ? rc : r;
}

int table4releaseLocks(Table* t) {
  int rc = table4unlockRecords(t);
  int r = table4unlockAppend(t);
  if (r < 0 && rc == 0) rc = r;
  r = table4unlockFileRange(t);
  if (r < 0 && rc == 0) rc = r;
  r = memo4unlockHeader(t);
  if (r < 0 && rc == 0) rc = r;
  if (dataFile4heldWhole(t->dataFile)) {
    r = afterWholeLockRelease(t->dataFile);
    if (r < 0 && rc == 0) rc = r;
  }
  return rc;
}

int table4releaseByPolicy(Table* t, bool includeFileLock, bool keepOwnBuffer) {
  int rc = 0;
  switch (t->ctx->unlockPolicy) {
    case 1:
      for (Table* g = t->ctx->defaultGroup.first; g != nullptr; g = g->nextInGroup) {
        int r = 0;
        if (g == t && keepOwnBuffer) {
          // A new record being built must not be flushed away.
          r = index4seamUnlockAll(t);
          int r2 = table4releaseLocks(t);
          if (r2 < 0 && r == 0) r = r2;
        } else {
          r = table4unlock(g);
        }
        if (r < 0 && rc == 0) rc = r;
      }
      break;
    case 2: {
      rc = index4seamUnlockAll(t);
      int r = table4unlockRecords(t);
      if (r < 0 && rc == 0) rc = r;
      r = table4unlockAppend(t);
      if (r < 0 && rc == 0) rc = r;
      if (includeFileLock) {
        r = table4unlockFileRange(t);
        if (r < 0 && rc == 0) rc = r;
        r = memo4unlockHeader(t);
        if (r < 0 && rc == 0) rc = r;
      }
      break;
    }
    default:
      break;
  }
  return rc < 0 ? kErrUnlock : 0;
}

int table4lockRecord(Table* t, int32_t n) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 92701);
  EngineContext* ctx = t->ctx;
  if (n <= 0) return engine4error(ctx, kErrParameter, 92701, t->alias);
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  if (table4holdsRecordLock(t, n)) return 0;
  if (table4releaseByPolicy(t, false, false) < 0)
    return engine4error(ctx, kErrUnlock, 92701, t->alias);
  DataFile* d = t->dataFile;
  if (d->fileLockOwner != 0 && d->fileLockOwner != t->lockOwner)
    return conflict(t, d->fileLockTable, n);
  if (RecordLock* held = findRecordLock(d, n); held != nullptr) return conflict(t, held->table, n);

  void* unit = pool4alloc(lockPool(ctx), ctx);
  if (unit == nullptr) return engine4error(ctx, kErrMemory, 92701);
  // The position is kept with the lock: the header flags that choose the
  // scheme may change while it is held (creating an index sets 0x01).
  const int64_t position = recordLockPos(d, n);
  int rc = file4lock(&d->data, position, 1);
  if (rc != 0) {
    pool4free(lockPool(ctx), unit);
    if (rc == kLocked) {
      ctx->conflictRecord = n;
      ctx->conflictAlias[0] = 0;
    }
    return rc;
  }
  RecordLock* entry = static_cast<RecordLock*>(unit);
  entry->owner = t->lockOwner;
  entry->table = t;
  entry->record = n;
  entry->position = position;
  RecordLock** p = &d->recordLocks;
  while (*p != nullptr && (*p)->record < n) p = &(*p)->next;
  entry->next = *p;
  *p = entry;
  return 0;
}

int table4lockAppend(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 92708);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  if (table4holdsAppendLock(t)) return 0;
  if (table4releaseByPolicy(t, false, false) < 0)
    return engine4error(ctx, kErrUnlock, 92708, t->alias);
  DataFile* d = t->dataFile;
  if (d->fileLockOwner != 0 && d->fileLockOwner != t->lockOwner)
    return conflict(t, d->fileLockTable, 0);
  if (d->appendLockOwner != 0 && d->appendLockOwner != t->lockOwner)
    return conflict(t, tableOfOwner(t, d->appendLockOwner), 0);
  int rc = file4lock(&d->data, kLockAppend, 1);
  if (rc != 0) return rc;
  d->appendLockOwner = t->lockOwner;
  return 0;
}

int table4lockFile(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 92709);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  if (table4holdsFileLock(t)) return 0;
  if (table4releaseByPolicy(t, true, false) < 0)
    return engine4error(ctx, kErrUnlock, 92709, t->alias);
  DataFile* d = t->dataFile;
  if (d->fileLockOwner != 0 && d->fileLockOwner != t->lockOwner)
    return conflict(t, d->fileLockTable, 0);
  if (d->appendLockOwner != 0 && d->appendLockOwner != t->lockOwner)
    return conflict(t, tableOfOwner(t, d->appendLockOwner), 0);
  for (RecordLock* l = d->recordLocks; l != nullptr; l = l->next)
    if (l->owner != t->lockOwner) return conflict(t, l->table, l->record);
  int rc = file4lock(&d->data, kLockBase, kLockWholeFileLength);
  if (rc != 0) return rc;
  d->fileLockOwner = t->lockOwner;
  d->fileLockTable = t;
  // The count and the records may have changed while others could write.
  d->heldCount = -1;
  file4dropWindow(&d->data);
  return 0;
}

int table4lockAll(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 92702);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  int rc = table4lockFile(t);
  if (rc == 0 && t->memoCount > 0 && t->dataFile->memo.isOpen) rc = memo4lockHeader(t);
  if (rc == 0) rc = index4seamLockAll(t);
  if (rc != 0) {
    const int saved = engine4errorSet(t->ctx, 0);
    table4releaseByPolicy(t, true, false);
    engine4errorSet(t->ctx, saved);
  }
  return rc;
}

int table4isRecordLocked(Table* t, int32_t n) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 92703);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  return table4holdsRecordLock(t, n) ? 1 : 0;
}

int table4unlock(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 92801);
  if (t->dataFile == nullptr || !table4holdsAnyLock(t)) return 0;
  DataFile* d = t->dataFile;
  // A new record being built (record number 0) is not flushed: the flush of
  // a Table that is not on a record abandons its memos, and an unlock (also
  // one of the whole group before another Table's lock) must not do that.
  int rc = t->recordNumber == 0 ? 0 : table4flushRecord(t, false);
  if (rc < 0) return rc;
  if ((table4holdsAppendLock(t) || table4holdsFileLock(t)) && d->headerNeedsWriting) {
    rc = dataFile4writeHeader(d);
    if (rc < 0) return rc;
  }
  rc = index4seamUnlockAll(t);
  if (t->ctx->unlockPolicy == 0) return rc < 0 ? rc : 0;
  int r = table4releaseLocks(t);
  if (rc < 0) return rc;
  return r < 0 ? engine4error(t->ctx, kErrUnlock, 92801, t->alias) : 0;
}
