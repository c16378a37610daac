// Appending records: table4appendStart prepares the Table for a new record,
// table4append writes it at the end of the data file under the append lock and
// the new record's lock, then publishes it by writing the header's record
// count. Other processes only ever read records within the published count,
// so a record is never seen half written.
#include <cstring>

#include "dbf/core/index_seam.h"
#include "dbf/core/table.h"
#include "dbf/core/table_internal.h"

using namespace dbf;

int table4appendStart(Table* t, bool useCurrentMemos) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 91107);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  // A refused lock (50) leaves the change unwritten; the new record would
  // otherwise start from it and the change would be lost.
  int rc = table4flushRecord(t, true);
  if (rc != 0) return rc;

  table4memoReset(t);
  if (useCurrentMemos && t->recordNumber > 0 && !t->eof) {
    rc = table4lockRecord(t, t->recordNumber);
    if (rc == 0) rc = table4go(t, t->recordNumber);
    if (rc != 0) return rc;
    for (int i = 0; i < t->memoCount; ++i) {
      rc = memoEntry4load(&t->memos[i]);
      if (rc < 0) return rc;
    }
  }
  if (ctx->lockBeforeChange == 0) {
    for (int i = 0; i < t->memoCount; ++i) {
      Column* c = t->memos[i].column;
      if (!(dataFile4isFox30(t->dataFile) && column4isNull(c))) column4memoSetBlock(c, 0);
    }
  }
  t->recordNumber = 0;
  if (!table4holdsFileLock(t)) {
    rc = table4releaseByPolicy(t, false, true);
    if (rc < 0) return engine4error(ctx, kErrUnlock, 91107, t->alias);
  }
  return 0;
}

// The append and record locks of table4append, taken with unlockPolicy 0.
// On success |*count| is the record count the new record follows.
static int table4appendLocks(Table* t, int32_t* count) {
  EngineContext* ctx = t->ctx;
  DataFile* d = t->dataFile;
  if (table4holdsFileLock(t)) {
    *count = table4recCount(t);
    return *count < 0 ? *count : 0;
  }
  // Policy 2 releases this Table's locks, but never its record buffer: that
  // holds the new record.
  if (ctx->unlockPolicy == 2) {
    int rc = table4releaseLocks(t);
    if (rc < 0) return rc;
  }
  const int32_t savedPolicy = ctx->unlockPolicy;
  ctx->unlockPolicy = 0;
  int rc = 0;
  if (!table4holdsAppendLock(t)) {
    rc = table4lockAppend(t);
    if (rc == 0) d->heldCount = -1;
  }
  if (rc == 0) {
    *count = table4recCount(t);
    if (*count < 0) rc = *count;
  }
  if (rc == 0) rc = table4lockRecord(t, *count + 1);
  ctx->unlockPolicy = savedPolicy;
  if (rc != 0) {
    const int saved = engine4errorSet(ctx, 0);
    table4releaseLocks(t);
    engine4errorSet(ctx, saved);
  }
  return rc;
}

// How far a failed append got after its locks.
enum class AppendStage { kNothing, kKeysAdded, kRecordWritten, kHeaderWritten };

// Takes back an append that failed at |stage|: the keys added go, a data file
// the record was written to ends again after the |count| records (in the older
// layout with its 0x1A byte), the count is not advanced (a header written in
// part gets the old count again), the new record's lock and (per unlockPolicy)
// the append lock are released. The record number is 0 again and the buffer
// keeps the new contents for a retry.
static void table4takeBackAppend(Table* t, int32_t count, AppendStage stage) {
  EngineContext* ctx = t->ctx;
  DataFile* d = t->dataFile;
  const int32_t newRecord = count + 1;
  const int saved = engine4errorSet(ctx, 0);
  if (stage >= AppendStage::kKeysAdded) index4seamRemoveRecord(t, newRecord);
  if (stage >= AppendStage::kRecordWritten) {
    // Nobody else extends the file while the append lock is held.
    const int64_t end = dataFile4recordPos(d, newRecord);
    if (dataFile4isFox30(d)) {
      file4setLength(&d->data, end);
    } else {
      const char eof = 0x1A;
      if (file4write(&d->data, end, &eof, 1) == 0) file4setLength(&d->data, end + 1);
    }
  }
  if (d->heldCount >= 0) d->heldCount = count;
  d->lastReadCount = count;
  if (stage == AppendStage::kHeaderWritten) dataFile4writeHeader(d);
  t->recordNumber = 0;
  t->oldRecordNumber = -1;
  t->changed = true;
  table4unlockRecord(t, newRecord);
  if (ctx->unlockPolicy != 0) table4unlockAppend(t);
  engine4errorSet(ctx, saved);
}

int table4append(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 91103);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  DataFile* d = t->dataFile;
  if (t->readOnly) return engine4error(ctx, kErrWrite, 80606, t->alias);

  int32_t count = 0;
  int rc = table4appendLocks(t, &count);
  if (rc != 0) return rc;
  const int32_t newRecord = count + 1;
  t->bof = t->eof = t->changed = false;

  AppendStage stage = AppendStage::kNothing;
  rc = index4seamAddRecord(t, newRecord);
  if (rc == 0) {
    stage = AppendStage::kKeysAdded;
    rc = table4memoWriteNew(t);
  }
  if (rc == 0) {
    stage = AppendStage::kRecordWritten;
    const uint32_t length = d->recordLength;
    const bool older = !dataFile4isFox30(d);
    t->record[length] = 0x1A;
    rc = file4write(&d->data, dataFile4recordPos(d, newRecord), t->record,
                    older ? length + 1 : length);
    t->record[length] = 0;
  }
  if (rc != 0) {
    table4takeBackAppend(t, count, stage);
    return rc;
  }

  d->heldCount = newRecord;
  d->lastReadCount = newRecord;
  d->headerNeedsWriting = true;
  d->changedSinceHeaderWrite = true;
  if (d->mode != 1 && ctx->lockState != 120 && ctx->lockState != 130) {
    // Publishing the count is the append's last step: until it is written,
    // the record is not there for anyone.
    rc = dataFile4writeHeader(d);
    if (rc < 0) {
      table4takeBackAppend(t, count, AppendStage::kHeaderWritten);
      return rc;
    }
  }
  t->recordNumber = newRecord;
  std::memcpy(t->oldRecord, t->record, d->recordLength);
  t->oldRecordNumber = newRecord;
  for (int i = 0; i < t->memoCount; ++i) t->memos[i].changed = false;

  if (ctx->unlockPolicy != 0) {
    rc = table4unlockAppend(t);
    if (rc < 0) return engine4error(ctx, kErrUnlock, 91103, t->alias);
  }
  return 0;
}
