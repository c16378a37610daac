// Memo columns of a Table: the MemoEntry of each memo column (its text in
// memory, loaded on demand and written back with the record), the memo
// reference stored in the record, and the table code's way into the FPT file
// layer of memo.h.
#include <cstring>

#include "dbf/core/memo.h"
#include "dbf/core/table.h"
#include "dbf/core/table_internal.h"

using namespace dbf;

namespace {

char emptyText[1] = {0};

bool isBinaryReference(const Column* c) {
  return dataFile4isFox30(c->table->dataFile) && c->length == 4;
}

void entryMakeEmpty(MemoEntry* e) {
  e->length = 0;
  if (e->capacity > 0)
    e->text[0] = 0;
  else
    e->text = emptyText;
}

}  // namespace

int memo4openForData(DataFile* d) { return memo4fileOpen(d); }

int memo4create(EngineContext* ctx, DiskFile* memo, const char* dataName, bool temporary) {
  if (!temporary) return memo4fileCreate(memo, ctx, nullptr, dataName);
  int rc = memo4fileCreate(memo, ctx, nullptr, nullptr);
  if (rc == 0) memo->deleteOnClose = true;
  return rc;
}

int memo4lockHeader(Table* t) {
  DataFile* d = t->dataFile;
  if (d->memoLockOwner == t->lockOwner) return 0;
  // Tables of one context share the file handle: the system would grant the
  // lock to both, and the first release would end it for the other.
  if (d->memoLockOwner != 0) return engine4error(t->ctx, kErrLock, 81523, t->alias);
  int rc = memo4fileLock(&d->memo);
  if (rc == 0) d->memoLockOwner = t->lockOwner;
  return rc;
}

int memo4unlockHeader(Table* t) {
  DataFile* d = t->dataFile;
  if (d->memoLockOwner != t->lockOwner) return 0;
  d->memoLockOwner = 0;
  if (!d->memo.isOpen) {
    d->memoLockCount = 0;  // a closed handle holds no lock
    return 0;
  }
  return memo4fileUnlock(&d->memo);
}

uint32_t column4memoBlock(const Column* c) { return column4memoBlockIn(c, c->table->record); }

uint32_t column4memoBlockIn(const Column* c, const char* record) {
  const char* p = record + c->offset;
  if (isBinaryReference(c)) {
    const auto* b = reinterpret_cast<const uint8_t*>(p);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
  }
  uint64_t block = 0;
  for (uint16_t i = 0; i < c->length; ++i) {
    if (p[i] >= '0' && p[i] <= '9') {
      block = block * 10 + static_cast<uint64_t>(p[i] - '0');
      if (block > 0x7FFFFFFF) return 0;  // no file has that many blocks
    } else if (p[i] != ' ' || block != 0) {
      break;
    }
  }
  return static_cast<uint32_t>(block);
}

void column4memoSetBlock(Column* c, uint32_t block) {
  char* p = c->table->record + c->offset;
  if (isBinaryReference(c)) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((block >> (8 * i)) & 0xFF);
    return;
  }
  std::memset(p, ' ', c->length);
  for (int i = c->length - 1; block != 0 && i >= 0; --i) {
    p[i] = static_cast<char>('0' + block % 10);
    block /= 10;
  }
}

bool column4isNull(const Column* c) {
  if (c->nullable == 0) return false;
  const Table* t = c->table;
  const Column* flags = &t->columns[t->columnCount - 1];
  const int byte = c->nullBit / 8;
  if (flags->type != '0' || byte >= flags->length) return false;
  return (static_cast<uint8_t>(t->record[flags->offset + byte]) >> (c->nullBit % 8)) & 1;
}

void table4memoReset(Table* t) {
  for (int i = 0; i < t->memoCount; ++i) {
    MemoEntry* e = &t->memos[i];
    entryMakeEmpty(e);
    e->changed = false;
    e->reloadNeeded = true;
  }
}

void table4memoMarkReload(Table* t) {
  for (int i = 0; i < t->memoCount; ++i)
    if (!t->memos[i].changed) t->memos[i].reloadNeeded = true;
}

void table4memoFree(Table* t) {
  for (int i = 0; i < t->memoCount; ++i) {
    MemoEntry* e = &t->memos[i];
    if (e->capacity > 0) heap4free(t->ctx, e->text);
    e->capacity = 0;
    entryMakeEmpty(e);
  }
}

int memoEntry4load(MemoEntry* e) {
  if (!e->reloadNeeded) return 0;
  Column* c = e->column;
  Table* t = c->table;
  DataFile* d = t->dataFile;
  e->changed = false;
  entryMakeEmpty(e);
  if (t->recordNumber > 0 && t->ctx->readLock != 0 && table4holdsRecordLock(t, t->recordNumber)) {
    int rc = table4readOld(t, t->recordNumber);
    if (rc < 0) return rc;
  }
  // A new record (0) has no memo until one is assigned: the reference in its
  // buffer may still be the previous record's.
  const uint32_t block = t->recordNumber <= 0 ? 0 : column4memoBlock(c);
  if (block > 0 && d->memo.isOpen) {
    if (e->capacity == 0) e->text = nullptr;
    uint32_t length = 0;
    int rc = memo4fileReadAll(&d->memo, static_cast<int32_t>(block), &e->text, &e->capacity,
                              &length, nullptr);
    if (e->capacity == 0 || e->text == nullptr) {
      e->capacity = 0;
      e->text = emptyText;
    }
    if (rc < 0) {
      entryMakeEmpty(e);
      return rc;
    }
    e->length = length;
    if (e->capacity > length) e->text[length] = 0;
  }
  e->reloadNeeded = false;
  return 0;
}

int memoEntry4setLength(MemoEntry* e, uint32_t n) {
  EngineContext* ctx = e->column->table->ctx;
  int rc = memoEntry4load(e);
  if (rc < 0) return rc;
  if (n == 0) {
    entryMakeEmpty(e);
    return 0;
  }
  if (e->capacity < n + 1) {
    char* grown = static_cast<char*>(heap4alloc(ctx, n + 1));
    if (grown == nullptr) return engine4error(ctx, kErrMemory, 60525);
    std::memcpy(grown, e->text, e->length < n ? e->length : n);
    if (e->capacity > 0) heap4free(ctx, e->text);
    e->text = grown;
    e->capacity = n + 1;
  }
  e->length = n;
  e->text[n] = 0;
  return 0;
}

const char* column4memoText(Column* c, uint32_t* len) {
  if (c == nullptr || c->memo == nullptr) {
    if (len != nullptr) *len = 0;
    if (c == nullptr) engine4error(nullptr, kErrNullHandle, 90520);
    return nullptr;
  }
  if (memoEntry4load(c->memo) < 0) {
    if (len != nullptr) *len = 0;
    return nullptr;
  }
  if (len != nullptr) *len = c->memo->length;
  return c->memo->text;
}

// Writes one memo. |stored| is the record as stored (null for a new record):
// the memo is rewritten in place only in the run its stored reference names.
static int memoEntry4write(MemoEntry* e, const char* stored) {
  Column* c = e->column;
  DataFile* d = c->table->dataFile;
  const uint32_t before = stored != nullptr ? column4memoBlockIn(c, stored) : 0;
  int32_t block = static_cast<int32_t>(before);
  if (e->length > 0) {
    if (!d->memo.isOpen) return engine4error(d->ctx, kErrWrite, 95207, d->fullName);
    int rc = memo4fileWrite(&d->memo, &block, e->text, e->length);
    if (rc < 0) return rc;
  } else {
    block = 0;
  }
  // The buffer's own reference may be stale: it always takes the one written.
  if (stored != nullptr && static_cast<uint32_t>(block) == before)
    std::memcpy(c->table->record + c->offset, stored + c->offset, c->length);
  else if (!(block == 0 && dataFile4isFox30(d) && column4isNull(c)))
    column4memoSetBlock(c, static_cast<uint32_t>(block));  // a null column keeps its bytes
  e->changed = false;
  return 0;
}

int table4memoWriteChanged(Table* t, const char* stored) {
  for (int i = 0; i < t->memoCount; ++i) {
    MemoEntry* e = &t->memos[i];
    if (!e->changed) continue;
    int rc = memoEntry4write(e, stored);
    if (rc < 0) return rc;
  }
  return 0;
}

int table4memoWriteNew(Table* t) {
  for (int i = 0; i < t->memoCount; ++i) {
    MemoEntry* e = &t->memos[i];
    if (e->reloadNeeded) entryMakeEmpty(e);  // never loaded: the new record has no memo
    int rc = memoEntry4write(e, nullptr);
    if (rc < 0) return rc;
  }
  return 0;
}
