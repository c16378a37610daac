// The compound index as the table code sees it (dbf/core/index_seam.h):
// opening the production index with its table, keeping the tags in step with
// record writes and appends, the index locks that go with the table's locks,
// closing index files with their Tables and data files, and navigation in the
// order of a tag. Creating index files and rebuilding them live in create.cpp
// and reindex.cpp.
#include <cstring>

#include "dbf/core/index_seam.h"
#include "dbf/core/table.h"
#include "dbf/expr/expression.h"
#include "dbf/index/index.h"

using namespace dbf;

namespace {

constexpr int kLocationKey = 91722;

// Places |tag| on the key of |t|'s current record: 0 on it, 1 when the tag
// does not hold the record (it then stands where the key would be), or code.
int positionOnRecord(Table* t, Tag* tag) {
  if (order4eof(tag) == 0 && order4recNo(tag) == t->recordNumber) return 0;
  Expression* e = tag->keyExpression;
  int rc = expression4bind(e, t);
  if (rc < 0) return rc;
  const char* key = nullptr;
  const int length = expression4key(e, tag, &key);
  if (length < 0) return length;
  if (length != tag->header.keyLength)
    return engine4error(t->ctx, kErrIndex, kLocationKey, tag->indexFile->file.name, tag->name);
  rc = order4go(tag, key, t->recordNumber);
  if (rc < 0) return rc;
  return rc == 0 ? 0 : 1;
}

// The skip's outcome once the tag has moved |moved| of |wanted| keys.
int skipResult(Tag* tag, int32_t wanted, int32_t moved, int32_t* rec) {
  if (tag->ctx->errorCode < 0) return tag->ctx->errorCode;
  if (order4eof(tag) == 1) {
    *rec = 0;
    return wanted < 0 ? kBof : kEof;
  }
  *rec = order4recNo(tag);
  if (moved == wanted) return 0;
  return wanted > 0 ? kEof : kBof;
}

}  // namespace

int index4seamOpenProduction(Table* t) {
  if (index4open(t, nullptr) != nullptr) return 0;
  return t->ctx->errorCode != 0 ? t->ctx->errorCode : kErrIndex;
}

bool index4seamHasTags(const void* tags) {
  // A TagDescription begins with its name.
  return tags != nullptr && *static_cast<const char* const*>(tags) != nullptr;
}

int index4seamUpdateTags(Table* t) { return table4updateTags(t, t->oldRecordNumber); }
int index4seamUndoTags(Table* t) { return table4undoTagUpdate(t, t->oldRecordNumber); }
int index4seamAddRecord(Table* t, int32_t rec) { return table4addRecordKeys(t, rec); }
int index4seamRemoveRecord(Table* t, int32_t rec) { return table4removeRecordKeys(t, rec); }
int index4seamLockAll(Table* t) { return index4lockAll(t); }
int index4seamUnlockAll(Table* t) { return index4unlockAll(t); }
bool index4seamHoldsLocks(const Table* t) { return index4holdsLock(t); }

int index4seamCloseTable(Table* t) {
  int rc = 0;
  while (t->indexes != nullptr) {
    int r = index4close(t->indexes);
    if (r < 0 && rc == 0) rc = r;
  }
  t->order = nullptr;
  DataFile* d = t->dataFile;
  if (d != nullptr && d->currentRecord == t->record) d->currentRecord = nullptr;
  return rc;
}

int index4seamCloseDataFile(DataFile* d) { return index4closeDataFile(d); }

int index4seamBeforeMove(Table* t) {
  if (t->order == nullptr) return 0;
  const int rc = index4checkVersion(t->order->indexFile, false);
  return rc < 0 ? rc : 0;
}

int index4seamTop(Table* t, int32_t* rec) {
  Tag* tag = t->order;
  int rc = order4top(tag);
  if (rc < 0) return rc;
  if (order4eof(tag) != 0) return kEof;
  *rec = order4recNo(tag);
  return 0;
}

int index4seamSkip(Table* t, int32_t n, int32_t* rec) {
  Tag* tag = t->order;
  int rc = t->eof ? order4goEof(tag) : positionOnRecord(t, tag);
  if (rc < 0) return rc;
  if (n == 0) {
    *rec = t->recordNumber;
    return t->eof ? kEof : 0;
  }
  // Between keys (or at the end) the key after the gap is the first step
  // forward; the one before it the first step back.
  int32_t wanted = n;
  if (rc == 1 && n > 0) {
    if (order4eof(tag) == 1) return kEof;
    --wanted;
  }
  const int32_t moved = order4skip(tag, wanted);
  return skipResult(tag, wanted, moved, rec);
}
