// Helpers shared by the table, record, column, append and lock sources of the
// engine core. Nothing outside dbf/core includes this header.
#pragma once

#include <cstdint>

#include "dbf/core/table.h"
#include "dbf/core/text.h"

// --- layout ---
inline bool dataFile4isFox30(const DataFile* d) { return d->header[0] == 0x30; }
// FoxPro lock scheme: version 0x30 or a production index flag; else dBASE.
inline bool dataFile4foxLocks(const DataFile* d) {
  return d->header[0] == 0x30 || (d->tableFlags & 0x01) != 0;
}
// A DataFile opened so that nobody else writes counts as file-locked by all.
inline bool dataFile4heldWhole(const DataFile* d) { return d->mode == 1 || d->mode == 2; }
inline int64_t dataFile4recordPos(const DataFile* d, int32_t n) {
  return static_cast<int64_t>(d->headerLength) +
         static_cast<int64_t>(n - 1) * static_cast<int64_t>(d->recordLength);
}

// Sets a date marked for refreshing to today, in memory.
void dataFile4refreshDate(DataFile* d);
// Record count from bytes 4-7 of the file, held when some Table of the context
// holds the append or file lock. Negative on failure.
int32_t dataFile4readCount(DataFile* d);

// --- lock bookkeeping ---
bool table4holdsFileLock(const Table* t);
bool table4holdsAppendLock(const Table* t);
bool table4holdsRecordLock(const Table* t, int32_t n);
bool table4holdsAnyLock(const Table* t);
// Releases this Table's record, append and file locks without flushing the
// record buffer (the new record of an append must survive).
int table4releaseLocks(Table* t);
// Release "per unlockPolicy" before a new lock: 1 every Table of the group
// (table4unlock), 2 this Table's locks only. With |keepOwnBuffer| this Table's
// locks go without the flush of table4unlock (its buffer holds a new record).
// Returns 0 or -110.
int table4releaseByPolicy(Table* t, bool includeFileLock, bool keepOwnBuffer);
int table4unlockRecord(Table* t, int32_t n);
int table4unlockAppend(Table* t);

// --- memo files (the FPT layer lives in memo.cpp) ---
int memo4openForData(DataFile* d);  // opens the memo file of |d|: 0 or code
// Creates the memo file of a new table: named after |dataName| with .FPT, or a
// temporary one (deleted when closed). 0, 60 or code.
int memo4create(EngineContext* ctx, DiskFile* memo, const char* dataName, bool temporary);
// The memo header lock of |t|'s memo file, kept in the DataFile's bookkeeping
// per owner like the other locks: taking it waits until obtained (-50 when
// another owner of this context holds it), and only the owner that took it
// releases it (0 when |t| does not hold it).
int memo4lockHeader(Table* t);
int memo4unlockHeader(Table* t);

// --- memo columns ---
void table4memoReset(Table* t);       // length 0, reload needed, not changed
void table4memoMarkReload(Table* t);  // unchanged entries reload on next use
void table4memoFree(Table* t);
int memoEntry4load(MemoEntry* e);  // loads when a reload is needed
int memoEntry4setLength(MemoEntry* e, uint32_t n);
// Writes changed memos of the record buffer. |stored| is the record as it is
// stored now, read under its lock: a memo is rewritten in place only in the
// run its stored reference names (another handle may have compressed the memo
// file since the record buffer was read, so the buffer's reference may name a
// run that now belongs to another record). Null for a record not stored yet.
int table4memoWriteChanged(Table* t, const char* stored);
// Writes every non-empty memo of the new record as a new run (append).
int table4memoWriteNew(Table* t);
uint32_t column4memoBlock(const Column* c);
// The memo reference of |c| in the record image |record|.
uint32_t column4memoBlockIn(const Column* c, const char* record);
void column4memoSetBlock(Column* c, uint32_t block);

// --- records ---
// Makes the old-record buffer hold record n as stored.
int table4readOld(Table* t, int32_t n);
void table4blankBuffer(Table* t);  // template or blanks, no changed flag
// Blanks |c| in its Table's record buffer (zero bytes for binary and memo
// columns of the FoxPro 3.0 layout), without column4blank's checks.
void column4blankBytes(Column* c);
int column4checkLockRule(Column* c, int location);

// A decimal integer at the start of |p| (|n| bytes): leading blanks, a sign,
// digits up to the first other character; saturated to 32 bits.
int32_t text4long(const char* p, uint32_t n);
