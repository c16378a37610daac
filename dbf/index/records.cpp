// Keys of records: what a record write or an append changes in the tags of a
// Table, under the index locks of its data file.
//
// A record write compares the keys (and FOR results) of the record as stored
// with those of the new record buffer tag by tag, and touches only the tags
// where they differ; a write that changes no key takes no lock. An append adds
// the new record's key to every tag. Either way a refused duplicate or a
// failure puts back every tag already changed, so that the record is written
// only when all of its keys are in place; a record that could not be written
// then has its keys taken out again. The locks taken here are released (and
// the changes flushed) before the record itself is written.
#include <cstring>
#include <utility>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/expr/expression.h"
#include "dbf/index/node.h"

using namespace dbf;

namespace {

constexpr int kLocationBuild = 95410;
constexpr int kLocationRecord = 95411;

// A record's place in one tag: whether its FOR expression holds, and its key.
struct RecordKey {
  bool in = false;
  bool isNull = false;  // the key of a null value
  uint8_t key[kMaxKeyLength];
};

// True when a nullable column that |e| reads holds null in the record buffer.
bool readsNull(const Expression* e) {
  for (int i = 0; i < e->stepCount; ++i) {
    const ExpressionStep& s = e->steps[i];
    if (s.sameTable && s.column != nullptr && column4isNull(s.column)) return true;
  }
  return false;
}

int buildKey(Tag* tag, Table* t, const char** key) {
  int rc = expression4bind(tag->keyExpression, t);
  if (rc < 0) return rc;
  const int length = expression4key(tag->keyExpression, tag, key);
  if (length >= 0 && length != tag->header.keyLength)
    return engine4error(t->ctx, kErrIndex, kLocationBuild, tag->indexFile->file.name, tag->name);
  return length;
}

int evaluate(Tag* tag, Table* t, RecordKey* out) {
  out->in = true;
  if (tag->forExpression != nullptr) {
    int rc = expression4bind(tag->forExpression, t);
    if (rc == 0) rc = expression4true(tag->forExpression);
    if (rc < 0) return rc;
    out->in = rc == 1;
  }
  if (!out->in) return 0;
  const char* key = nullptr;
  const int length = buildKey(tag, t, &key);
  if (length < 0) return length;
  std::memcpy(out->key, key, static_cast<size_t>(length));
  // Only candidate modes ask; candidate tags carry no null marker: the
  // expression tells.
  if ((tag->header.options & kTagCandidate) != 0)
    out->isNull = readsNull(tag->keyExpression);
  else
    out->isNull = tag->nullMarker && out->key[0] == 0;
  return 0;
}

// The tag's view of |t|'s record buffer, or with |stored| of the old-record
// buffer (the record as stored). Everything that reads "the record" of |t|
// (columns, null flags) reads the old copy meanwhile.
int keyOf(Tag* tag, Table* t, bool stored, RecordKey* out) {
  if (stored) std::swap(t->record, t->oldRecord);
  const int rc = evaluate(tag, t, out);
  if (stored) std::swap(t->record, t->oldRecord);
  t->dataFile->currentRecord = t->record;
  return rc;
}

bool sameKey(const Tag* tag, const RecordKey& a, const RecordKey& b) {
  if (a.in != b.in) return false;
  if (!a.in) return true;
  const int n = tag->header.keyLength;
  if (tag->collation.kind == kCollationGeneral && tag->keyType == 'C')
    return collation4equal(a.key, b.key, n);
  return std::memcmp(a.key, b.key, static_cast<size_t>(n)) == 0;
}

std::vector<TagHandle*> handlesOf(const Table* t) {
  std::vector<TagHandle*> handles;
  for (IndexHandle* h = t->indexes; h != nullptr; h = h->next)
    for (TagHandle* th = h->tags; th != nullptr; th = th->next) handles.push_back(th);
  return handles;
}

// Runs |work| with the context's error cleared, and puts the error back.
template <class Work>
void withErrorSetAside(EngineContext* ctx, Work work) {
  const int saved = engine4errorSet(ctx, 0);
  work();
  engine4errorSet(ctx, saved);
}

// Flushes the changes of the files that others read, then releases every
// index lock of |t|. When the flush fails, |undo| takes the changes out again
// and the flush is repeated, so that the files end as they were.
template <class Undo>
int flushAndRelease(Table* t, Undo undo) {
  int rc = 0;
  for (IndexFile* f = t->dataFile->indexes; f != nullptr; f = f->next) {
    if (f->lockOwner != t->lockOwner || f->file.mode == 1) continue;
    const int r = index4flush(f);
    if (r < 0 && rc == 0) rc = r;
  }
  if (rc == 0) return index4unlockAll(t);
  withErrorSetAside(t->ctx, [&] {
    undo();
    index4unlockAll(t);
  });
  return rc;
}

// Takes the old key of record |record| out of |th|'s tag and puts the new one
// in (or the reverse): 0, 25, 20 or a negative code.
int replaceKey(TagHandle* th, uint32_t record, const RecordKey& out, const RecordKey& in) {
  if (out.in) {
    const int rc = tag4removeKey(th->tag, out.key, record);
    if (rc < 0) return rc;
  }
  if (!in.in) return 0;
  return tag4addKey(th->tag, in.key, record, th->uniqueMode, in.isNull);
}

// Puts the stored record's keys back in the first |count| tags (whatever the
// new record's keys did there). Runs with the context's error set aside.
void restoreStoredKeys(Table* t, const std::vector<TagHandle*>& handles, size_t count,
                       uint32_t record) {
  for (size_t i = 0; i < count; ++i) {
    RecordKey stored, fresh;
    if (keyOf(handles[i]->tag, t, true, &stored) < 0 ||
        keyOf(handles[i]->tag, t, false, &fresh) < 0)
      engine4errorSet(t->ctx, 0);
    else if (!sameKey(handles[i]->tag, stored, fresh))
      replaceKey(handles[i], record, fresh, stored);
    engine4errorSet(t->ctx, 0);
  }
}

int addRecordKey(TagHandle* th, uint32_t record) {
  RecordKey k;
  Table* t = th->index->table;
  const int rc = keyOf(th->tag, t, false, &k);
  if (rc < 0 || !k.in) return rc;
  return tag4addKey(th->tag, k.key, record, th->uniqueMode, k.isNull);
}

int removeRecordKey(TagHandle* th, uint32_t record) {
  RecordKey k;
  Table* t = th->index->table;
  const int rc = keyOf(th->tag, t, false, &k);
  if (rc < 0) return rc;
  if (!k.in) return kNotFound;
  return tag4removeKey(th->tag, k.key, record);
}

void removeRecordKeys(const std::vector<TagHandle*>& handles, size_t count, uint32_t record,
                      EngineContext* ctx) {
  for (size_t i = 0; i < count; ++i) {
    removeRecordKey(handles[i], record);
    engine4errorSet(ctx, 0);
  }
}

// True when the data file holds t->record as record |record|: a write that
// reported a failure got its bytes there all the same (its flush failed), so
// the new keys are the right ones.
bool reachedFile(Table* t, int32_t record) {
  DataFile* d = t->dataFile;
  std::vector<char> stored(d->recordLength);
  const int64_t position =
      d->headerLength + static_cast<int64_t>(record - 1) * static_cast<int64_t>(d->recordLength);
  const bool same = file4readAll(&d->data, position, stored.data(), d->recordLength) == 0 &&
                    std::memcmp(stored.data(), t->record, d->recordLength) == 0;
  engine4errorSet(t->ctx, 0);
  return same;
}

int checkTable(const Table* t, int location) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, location);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  return 0;
}

int checkHandle(const TagHandle* th, int location) {
  if (th == nullptr || th->index == nullptr || th->index->table == nullptr)
    return engine4error(nullptr, kErrNullHandle, location);
  if (int rc = checkTable(th->index->table, location)) return rc;
  if (!tag4mayChange(th->tag))
    return engine4error(th->tag->ctx, kErrLock, location, th->tag->indexFile->file.name,
                        th->tag->name);
  return 0;
}

}  // namespace

int order4buildKey(Tag* tag, Table* t, const char** key) {
  if (tag == nullptr || t == nullptr || key == nullptr || tag->keyExpression == nullptr)
    return engine4error(t != nullptr ? t->ctx : nullptr, kErrNullHandle, kLocationBuild);
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  return buildKey(tag, t, key);
}

int order4addRecord(TagHandle* th, int32_t record) {
  if (int rc = checkHandle(th, kLocationRecord)) return rc;
  return addRecordKey(th, static_cast<uint32_t>(record));
}

int order4removeRecord(TagHandle* th, int32_t record) {
  if (int rc = checkHandle(th, kLocationRecord)) return rc;
  return removeRecordKey(th, static_cast<uint32_t>(record));
}

int table4updateTags(Table* t, int32_t record) {
  if (int rc = checkTable(t, kLocationRecord)) return rc;
  if (t->indexes == nullptr) return 0;
  if (std::memcmp(t->record, t->oldRecord, t->dataFile->recordLength) == 0) return 0;
  const uint32_t rec = static_cast<uint32_t>(record);
  const bool held = index4holdsLock(t);
  bool locked = held;
  const std::vector<TagHandle*> handles = handlesOf(t);
  for (size_t i = 0; i < handles.size(); ++i) {
    Tag* tag = handles[i]->tag;
    RecordKey stored, fresh;
    int rc = keyOf(tag, t, true, &stored);
    if (rc == 0) rc = keyOf(tag, t, false, &fresh);
    if (rc == 0 && sameKey(tag, stored, fresh)) continue;
    if (rc == 0 && !locked) {
      rc = index4lockAll(t);
      if (rc != 0) return rc;  // nothing changed yet
      locked = true;
    }
    if (rc == 0) rc = replaceKey(handles[i], rec, stored, fresh);
    if (rc == kUniqueIgnore) rc = 0;
    if (rc == 0) continue;
    withErrorSetAside(t->ctx, [&] {
      restoreStoredKeys(t, handles, i + 1, rec);
      if (locked && !held) flushAndRelease(t, [] {});
    });
    return rc;
  }
  if (!locked || held) return 0;
  return flushAndRelease(t, [&] { restoreStoredKeys(t, handles, handles.size(), rec); });
}

int table4undoTagUpdate(Table* t, int32_t record) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationRecord);
  if (t->indexes == nullptr) return 0;
  int rc = 0;
  withErrorSetAside(t->ctx, [&] {
    if (reachedFile(t, record)) return;
    const bool held = index4holdsLock(t);
    rc = held ? 0 : index4lockAll(t);
    if (rc != 0) return;
    const std::vector<TagHandle*> handles = handlesOf(t);
    restoreStoredKeys(t, handles, handles.size(), static_cast<uint32_t>(record));
    if (!held) rc = flushAndRelease(t, [] {});
  });
  return rc;
}

int table4addRecordKeys(Table* t, int32_t record) {
  if (int rc = checkTable(t, kLocationRecord)) return rc;
  if (t->indexes == nullptr) return 0;
  const uint32_t rec = static_cast<uint32_t>(record);
  const bool held = index4holdsLock(t);
  if (!held) {
    const int rc = index4lockAll(t);
    if (rc != 0) return rc;
  }
  const std::vector<TagHandle*> handles = handlesOf(t);
  for (size_t i = 0; i < handles.size(); ++i) {
    const int rc = addRecordKey(handles[i], rec);
    if (rc == 0 || rc == kUniqueIgnore) continue;
    withErrorSetAside(t->ctx, [&] {
      removeRecordKeys(handles, i, rec, t->ctx);
      if (!held) flushAndRelease(t, [] {});
    });
    return rc;
  }
  if (held) return 0;
  return flushAndRelease(t, [&] { removeRecordKeys(handles, handles.size(), rec, t->ctx); });
}

int table4removeRecordKeys(Table* t, int32_t record) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationRecord);
  if (t->indexes == nullptr) return 0;
  int rc = 0;
  withErrorSetAside(t->ctx, [&] {
    const bool held = index4holdsLock(t);
    rc = held ? 0 : index4lockAll(t);
    if (rc != 0) return;
    const std::vector<TagHandle*> handles = handlesOf(t);
    removeRecordKeys(handles, handles.size(), static_cast<uint32_t>(record), t->ctx);
    if (!held) rc = flushAndRelease(t, [] {});
  });
  return rc;
}
