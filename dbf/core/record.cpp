// Records: moving a Table (go, top, skip, end of file), the record count,
// blanking and deleting the record buffer, and writing it back with the
// old-record buffer that the index maintenance compares against.
#include <cstring>

#include "dbf/core/index_seam.h"
#include "dbf/core/table.h"
#include "dbf/core/table_internal.h"

using namespace dbf;

void table4blankBuffer(Table* t) {
  std::memcpy(t->record, t->blankRecord, t->dataFile->recordLength);
  t->record[t->dataFile->recordLength] = 0;
}

// Record count for |t|: re-read unless held; a held count is what a Table
// holding the append or file lock sees, others get the count last read.
static int32_t table4count(Table* t) {
  DataFile* d = t->dataFile;
  if (d->heldCount < 0) return dataFile4readCount(d);
  if (table4holdsAppendLock(t) || table4holdsFileLock(t)) return d->heldCount;
  return d->lastReadCount;
}

int32_t table4recCount(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 93312);
  if (t->dataFile == nullptr) return 0;  // a Table built in memory has no records
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  return table4count(t);
}

int32_t table4recNo(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 93313);
  return t->recordNumber;
}

int table4bof(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 93304);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  return t->bof ? 1 : 0;
}

int table4eof(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 93307);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  return t->eof ? 1 : 0;
}

char* table4record(Table* t) {
  if (t == nullptr) {
    engine4error(nullptr, kErrNullHandle, 93314);
    return nullptr;
  }
  return t->record;
}

// Result of a go beyond the records: 5, or -70 when go errors are reported.
static int table4goMissing(Table* t) {
  t->recordNumber = -1;
  table4blankBuffer(t);
  if (t->ctx->reportGoErrors != 0) return engine4error(t->ctx, kErrRead, 91102, t->alias);
  return kNotFound;
}

int table4go(Table* t, int32_t n) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 91102);
  if (t->dataFile == nullptr) return engine4error(t->ctx, kErrNullHandle, 91102);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  DataFile* d = t->dataFile;
  if (t->changed) {
    // A refused lock (50) leaves the change unwritten: moving on would
    // overwrite it in the buffer.
    int rc = table4flushRecord(t, false);
    if (rc != 0) return rc;
  } else {
    table4memoMarkReload(t);
  }
  // The count is read again unless held: another process may have packed
  // the file since and be writing a record it has not published yet.
  if (n < 1) return table4goMissing(t);
  const int32_t count = table4count(t);
  if (count < 0) return count;
  if (n > count) return table4goMissing(t);
  if (ctx->readLock != 0 && !table4holdsRecordLock(t, n)) {
    int rc = table4lockRecord(t, n);
    if (rc != 0) return rc;
  }
  const uint32_t length = d->recordLength;
  // Nobody else writes the file while this Table holds the file lock (or the
  // file is open so that nobody else may write): a walk then reads ahead.
  // Without the lock each record is read when it is reached, as another
  // process may be changing the ones after it.
  const int64_t pos = dataFile4recordPos(d, n);
  const uint32_t got = table4holdsFileLock(t) ? file4readAhead(&d->data, pos, t->record, length)
                                              : file4read(&d->data, pos, t->record, length);
  if (got != length) {
    if (ctx->errorCode < 0) return ctx->errorCode;
    return table4goMissing(t);
  }
  t->record[length] = 0;
  t->recordNumber = n;
  t->bof = t->eof = false;
  if (table4holdsRecordLock(t, n)) {
    std::memcpy(t->oldRecord, t->record, length);
    t->oldRecordNumber = n;
  }
  return 0;
}

int table4goEof(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 91102);
  if (t->dataFile == nullptr) return engine4error(t->ctx, kErrNullHandle, 91102);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  int rc = table4flushRecord(t, false);
  if (rc != 0) return rc;  // 50 too: the unwritten change stays in the buffer
  const int32_t count = table4count(t);
  if (count < 0) return count;
  t->recordNumber = count + 1;
  t->eof = true;
  if (count == 0) t->bof = true;
  table4blankBuffer(t);
  return kEof;
}

int table4top(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 92301);
  if (t->dataFile == nullptr) return engine4error(t->ctx, kErrNullHandle, 92301);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return -1;
  if (t->order != nullptr) {
    int32_t rec = 0;
    int rc = index4seamBeforeMove(t);
    if (rc == 0) rc = index4seamTop(t, &rec);
    if (rc != 0) {
      if (rc < 0) return rc;
      t->bof = true;
      return table4goEof(t);
    }
    return table4go(t, rec);
  }
  const int32_t count = table4count(t);
  if (count < 0) return count;
  if (count > 0) {
    const int32_t saved = ctx->reportGoErrors;
    ctx->reportGoErrors = 0;
    int rc = table4go(t, 1);
    ctx->reportGoErrors = saved;
    return rc;
  }
  t->bof = true;
  return table4goEof(t);
}

static int table4goQuiet(Table* t, int32_t n) {
  const int32_t saved = t->ctx->reportGoErrors;
  t->ctx->reportGoErrors = 0;
  int rc = table4go(t, n);
  t->ctx->reportGoErrors = saved;
  return rc;
}

// Skip in key order: the Tag gives the record, the results are those of a
// skip in record order. The record is written first, so that the key it is
// found by is the stored one.
static int table4skipByTag(Table* t, int32_t n) {
  int rc = t->changed ? table4flushRecord(t, false) : 0;
  if (rc == 0) rc = index4seamBeforeMove(t);
  if (rc != 0) return rc;
  int32_t rec = 0;
  rc = index4seamSkip(t, n, &rec);
  if (rc < 0) return rc;
  if (rc == kEof) return table4goEof(t);
  if (rc == kBof && rec == 0) {  // an empty tag
    table4goEof(t);
    t->bof = true;
    return kBof;
  }
  int moved = table4goQuiet(t, rec);
  if (moved != 0) return moved;
  if (rc == kBof) t->bof = true;
  return rc;
}

int table4skip(Table* t, int32_t n) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 94802);
  if (t->dataFile == nullptr) return engine4error(t->ctx, kErrNullHandle, 94802);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return ctx->errorCode;
  if (t->recordNumber <= 0) {
    if (ctx->reportSkipErrors != 0) return engine4error(ctx, kErrNoRecord, 84801, t->alias);
    return kErrNoRecord;
  }
  t->bof = false;
  if (t->order != nullptr) return table4skipByTag(t, n);
  const int64_t target = static_cast<int64_t>(t->recordNumber) + n;
  if (target > 0 && target <= 0x7FFFFFFF) {
    int rc = table4goQuiet(t, static_cast<int32_t>(target));
    if (rc >= 0 && rc != kNotFound) return rc;  // 5 and errors go on below
  }
  const int32_t count = table4count(t);
  if (count < 0) return count;
  if (count >= 1 && count >= target) {
    if (target > 0) return table4goQuiet(t, static_cast<int32_t>(target));
    const bool eof = t->eof;
    int rc = table4goQuiet(t, 1);
    if (rc != 0) return rc;
    t->bof = true;
    t->eof = eof;
    return kBof;
  }
  int rc = table4goEof(t);
  if (rc < 0) return rc;
  if (count == 0) t->bof = true;
  if (n < 0) {
    t->bof = true;
    return kBof;
  }
  return kEof;
}

int column4checkLockRule(Column* c, int location) {
  Table* t = c->table;
  if (t->ctx->lockBeforeChange != 0 && t->recordNumber > 0 &&
      !table4holdsRecordLock(t, t->recordNumber))
    return engine4error(t->ctx, kErrLock, location, t->alias);
  return 0;
}

static int table4checkLockRule(Table* t, int location) {
  if (t->ctx->lockBeforeChange != 0 && t->recordNumber > 0 &&
      !table4holdsRecordLock(t, t->recordNumber))
    return engine4error(t->ctx, kErrLock, location, t->alias);
  return 0;
}

int table4blank(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 93303);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  int rc = table4checkLockRule(t, 93303);
  if (rc < 0) return rc;
  table4blankBuffer(t);
  t->changed = true;
  return 0;
}

int table4delete(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 93305);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  if (t->record[0] == '*') return 0;
  int rc = table4checkLockRule(t, 93305);
  if (rc < 0) return rc;
  t->record[0] = '*';
  t->changed = true;
  return 0;
}

int table4deleted(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 93306);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  return t->record[0] != ' ' ? 1 : 0;
}

// Release after a flush or write: policy 1 or 2, unless the file lock is held.
static int table4unlockAfterWrite(Table* t) {
  if (t->ctx->unlockPolicy != 0 && !table4holdsFileLock(t)) return table4unlock(t);
  return 0;
}

int table4flushRecord(Table* t, bool unlockAfter) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 94110);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  if (t->recordNumber <= 0 || t->eof) {
    table4memoReset(t);
    t->changed = false;
    return 0;
  }
  if (t->changed) {
    int rc = table4writeRecord(t, t->recordNumber, unlockAfter);
    if (rc != 0) return rc;
    table4memoReset(t);
    t->oldRecordNumber = -1;
  } else {
    table4memoMarkReload(t);
  }
  if (unlockAfter) return table4unlockAfterWrite(t);
  return 0;
}

int table4readOld(Table* t, int32_t n) {
  if (t->oldRecordNumber == n) return 0;
  DataFile* d = t->dataFile;
  int rc = file4readAll(&d->data, dataFile4recordPos(d, n), t->oldRecord, d->recordLength);
  if (rc < 0) return rc;
  t->oldRecordNumber = n;
  return 0;
}

int table4writeRecord(Table* t, int32_t n, bool unlockAfter) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 92601);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  if (n == -1) n = t->recordNumber;
  if (n <= 0) return engine4error(ctx, kErrParameter, 92601, t->alias);
  if (t->readOnly) return engine4error(ctx, kErrWrite, 80606, t->alias);
  DataFile* d = t->dataFile;

  const bool wasChanged = t->changed;
  t->changed = false;
  int rc = table4lockRecord(t, n);
  if (rc != 0) {
    t->changed = wasChanged;
    return rc;
  }
  const int32_t count = table4count(t);
  if (count < 0) {
    t->changed = wasChanged;
    return count;
  }
  const bool beyondCount = n == count + 1 && table4holdsAppendLock(t);
  if (n > count && !beyondCount) {
    t->changed = wasChanged;
    return engine4error(ctx, kErrWrite, 82601, t->alias);
  }
  if (!beyondCount) {
    rc = table4readOld(t, n);
    if (rc < 0) {
      t->changed = wasChanged;
      return rc;
    }
    // Memo references the caller did not change are those stored now.
    for (int i = 0; i < t->memoCount; ++i) {
      const Column* c = t->memos[i].column;
      if (!t->memos[i].changed)
        std::memcpy(t->record + c->offset, t->oldRecord + c->offset, c->length);
    }
    rc = index4seamUpdateTags(t);
    if (rc != 0) {
      t->changed = wasChanged;
      return rc;
    }
  }
  rc = table4memoWriteChanged(t, beyondCount ? nullptr : t->oldRecord);
  if (rc >= 0) rc = file4write(&d->data, dataFile4recordPos(d, n), t->record, d->recordLength);
  if (rc < 0) {
    if (!beyondCount) index4seamUndoTags(t);
    t->changed = wasChanged;
    return rc;
  }
  std::memcpy(t->oldRecord, t->record, d->recordLength);
  t->oldRecordNumber = n;
  d->headerNeedsWriting = true;
  d->changedSinceHeaderWrite = true;
  if (unlockAfter) return table4unlockAfterWrite(t);
  return 0;
}
