// The index lock, flushing changed nodes and the version counter of an index
// file, and node allocation.
//
// Other processes that share a .CDX learn of changes only through the version
// counter in the directory header: a writer raises it (in memory) with every
// change and writes it, with the free-list head, when it flushes; whoever
// takes the index lock next reads it and drops every node it had cached when
// it moved. Nodes are written at flush, which runs before the lock byte is
// released, so the lock's holder always finds the tree whole.
#include <cstring>

#include "dbf/core/context.h"
#include "dbf/core/os.h"
#include "dbf/core/table.h"
#include "dbf/index/node.h"

using namespace dbf;

namespace {

constexpr int kLocationLock = 91730;
constexpr int kLocationFlush = 91731;
constexpr int kLocationExtend = 91732;
constexpr int kLocationRefresh = 91711;

template <class Each>
int forEachTag(IndexFile* f, Each each) {
  int rc = 0;
  if (f->directory != nullptr) rc = each(f->directory);
  for (Tag* tag = f->tags; tag != nullptr; tag = tag->next) {
    const int r = each(tag);
    if (r < 0 && rc >= 0) rc = r;
  }
  return rc;
}

// Forgets every node without writing: what is cached is either on disk
// already or could not be written and must not reach the file later.
void discardChanges(IndexFile* f) {
  forEachTag(f, [](Tag* tag) {
    for (int i = 0; i < tag->depth; ++i) tag->stack[i]->changed = false;
    for (IndexNode* node = tag->cache; node != nullptr; node = node->next) node->changed = false;
    tag->rootChanged = false;
    tag4dropNodes(tag);
    return 0;
  });
  TagHeader& head = index4headTag(f)->header;
  head.version = f->version;
  f->changed = false;
}

// Where |tag| stood before its nodes were dropped: on a key, at end of file,
// or nowhere.
struct Place {
  enum { kNowhere, kKey, kEnd } kind = kNowhere;
  int32_t record = 0;
  char key[kMaxKeyLength];
};

Place placeOf(Tag* tag) {
  Place p;
  if (tag == nullptr || tag->depth == 0) return p;
  if (order4eof(tag) == 1) {
    p.kind = Place::kEnd;
    return p;
  }
  const char* data = order4keyData(tag);
  if (data == nullptr) return p;
  p.kind = Place::kKey;
  std::memcpy(&p.record, data, 4);
  std::memcpy(p.key, data + 4, tag->header.keyLength);
  return p;
}

int placeAgain(Tag* tag, const Place& p) {
  int rc = 0;
  if (p.kind == Place::kKey) rc = order4go(tag, p.key, p.record);
  if (p.kind == Place::kEnd) rc = order4goEof(tag);
  if (rc >= 0) return 0;
  engine4errorSet(tag->ctx, 0);
  return engine4error(tag->ctx, kNotPositioned, kLocationRefresh, tag->indexFile->file.name,
                      tag->name);
}

// The end of the file as it is now (rounded up to whole nodes), or more when
// this process has taken nodes there that are not written yet.
int takeFileEnd(IndexFile* f) {
  const int64_t length = file4length(&f->file);
  if (length < 0) return static_cast<int>(length);
  if (length > kLargestIndexFile) return index4damaged(f, kLocationLock, "length");
  const int32_t end = static_cast<int32_t>((length + kIndexUnit - 1) / kIndexUnit * kIndexUnit);
  if (end > f->endOfFile) f->endOfFile = end;
  return 0;
}

// Just after the lock byte was taken: the free-list head and the version
// counter as they are now. When the counter moved, every cached node goes,
// the end of the file is read again and |t|'s selected tag of this file is
// placed again. (The file only grows while the counter stands still: the end
// is read when a node is taken there.)
int refreshLocked(IndexFile* f, Table* t) {
  uint8_t head[16];
  if (file4read(&f->file, 0, head, sizeof head) != sizeof head)
    return f->ctx->errorCode < 0 ? f->ctx->errorCode : index4damaged(f, kLocationLock, "version");
  TagHeader& h = index4headTag(f)->header;
  h.freeHead = static_cast<int32_t>(cdx4get32(head + 4));
  const uint32_t version = cdx4get32be(head + 8);
  if (version == f->version) return 0;
  Tag* selected = t->order != nullptr && t->order->indexFile == f ? t->order : nullptr;
  const Place place = placeOf(selected);
  int rc = forEachTag(f, tag4dropNodes);
  f->version = h.version = version;
  f->endOfFile = 0;
  if (rc == 0) rc = takeFileEnd(f);
  if (rc < 0) return rc;
  return selected != nullptr ? placeAgain(selected, place) : 0;
}

}  // namespace

int32_t index4extend(IndexFile* f) {
  if (f == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationExtend);
  EngineContext* ctx = f->ctx;
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  TagHeader& head = index4headTag(f)->header;
  if (head.freeHead != 0) {
    const int32_t node = head.freeHead;
    if (node < 2 * kIndexUnit || node % kIndexUnit != 0 || node > kLargestIndexFile - kIndexUnit)
      return index4damaged(f, kLocationExtend, "free list");
    uint8_t link[4];
    const uint32_t got = file4read(&f->file, node, link, sizeof link);
    if (ctx->errorCode < 0) return ctx->errorCode;
    if (got == sizeof link) {
      const int32_t next = static_cast<int32_t>(cdx4get32(link));
      if (next == node || next < 0 || next % kIndexUnit != 0)
        return index4damaged(f, kLocationExtend, "free list");
      head.freeHead = next;
      return node;
    }
    if (got != 0) {
      char text[40];
      file4positionText(text, node, sizeof link);
      return engine4error(ctx, kErrRead, kLocationExtend, f->file.name, text, "index4extend");
    }
    head.freeHead = 0;  // the free node lies beyond the end of the file
  }
  if (f->file.mode == 0) {
    // Others may have grown the file since this process last looked.
    const int rc = takeFileEnd(f);
    if (rc < 0) return rc;
  }
  if (f->endOfFile > kLargestIndexFile - kIndexUnit)
    return index4damaged(f, kLocationExtend, "length");
  const int32_t node = f->endOfFile;
  f->endOfFile += kIndexUnit;
  return node;
}

int order4flush(Tag* tag) {
  if (tag == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationFlush);
  int rc = 0;
  auto write = [&rc, tag](IndexNode* node) {
    if (!node->changed) return;
    const int r = node4write(tag, node);
    if (r < 0 && rc == 0) rc = r;
  };
  for (int i = 0; i < tag->depth; ++i) write(tag->stack[i]);
  for (IndexNode* node = tag->cache; node != nullptr; node = node->next) write(node);
  if (tag->rootChanged && rc == 0) {
    uint8_t root[4];
    cdx4put32(root, static_cast<uint32_t>(tag->header.root));
    rc = file4write(&tag->indexFile->file, tag->headerOffset, root, sizeof root);
    if (rc == 0) tag->rootChanged = false;
  }
  return rc;
}

int index4flush(IndexFile* f) {
  if (f == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationFlush);
  if ((f->file.mode == 0 && f->lockOwner == 0) || f->file.readOnly) return 0;
  Tag* head = index4headTag(f);
  if (head == nullptr) return 0;  // a file that failed to open
  TagHeader& h = head->header;
  int rc = 0;
  if (h.version != f->version) {
    // The version goes first: whoever reads it afterwards drops what it
    // cached, also while the nodes below are still being written.
    int32_t root = 0;
    rc = tag4root(head, &root);
    if (rc > 0) rc = index4damaged(f, kLocationFlush, head->name);
    if (rc == 0) {
      uint8_t bytes[16];
      cdx4put32(bytes, static_cast<uint32_t>(root));
      cdx4put32(bytes + 4, static_cast<uint32_t>(h.freeHead));
      cdx4put32be(bytes + 8, h.version);
      cdx4put16(bytes + 12, h.keyLength);
      bytes[14] = h.options;
      bytes[15] = h.signature;
      rc = file4write(&f->file, 0, bytes, sizeof bytes);
      if (rc == 0) f->version = h.version;
    }
  }
  const int r = forEachTag(f, order4flush);
  if (r < 0 && rc == 0) rc = r;
  // The root offsets stay known: a root moves only in a file opened
  // exclusively, or with a rebuild, which moves the version counter (and
  // whoever locks next reads the roots again).
  if (rc == 0) f->changed = false;
  return rc;
}

int index4lock(IndexFile* f, Table* t) {
  if (f == nullptr || t == nullptr)
    return engine4error(f != nullptr ? f->ctx : nullptr, kErrNullHandle, kLocationLock);
  EngineContext* ctx = f->ctx;
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  if (f->lockOwner == t->lockOwner) return 0;
  if (f->lockOwner != 0) {
    if (ctx->lockAttempts != -1) return kLocked;
    return engine4error(ctx, kErrLock, kLocationLock, f->file.name);
  }
  if (f->file.mode == 0) {
    int rc = file4lock(&f->file, kLockIndexFile, 1);
    if (rc != 0) return rc;
    f->lockOwner = t->lockOwner;  // from here on nobody else changes the file
    rc = refreshLocked(f, t);
    if (rc < 0) {
      const int saved = engine4errorSet(ctx, 0);
      file4unlock(&f->file, kLockIndexFile, 1);
      f->lockOwner = 0;
      engine4errorSet(ctx, saved);
      return rc;
    }
    return 0;
  }
  f->lockOwner = t->lockOwner;
  return 0;
}

int index4unlock(IndexFile* f) {
  if (f == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationLock);
  if (f->lockOwner == 0) return 0;
  int rc = 0;
  if (f->file.mode != 1) {
    const int saved = engine4errorSet(f->ctx, 0);
    rc = index4flush(f);
    if (rc < 0) discardChanges(f);
    if (saved != 0) engine4errorSet(f->ctx, saved);
  }
  const int r = f->file.mode == 0 ? file4unlock(&f->file, kLockIndexFile, 1) : 0;
  f->lockOwner = 0;
  return rc < 0 ? rc : r;
}

int index4unlockAll(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationLock);
  if (t->dataFile == nullptr) return 0;
  int rc = 0;
  for (IndexFile* f = t->dataFile->indexes; f != nullptr; f = f->next) {
    if (f->lockOwner != t->lockOwner) continue;
    const int r = index4unlock(f);
    if (r < 0 && rc == 0) rc = r;
  }
  return rc;
}

bool index4holdsLock(const Table* t) {
  if (t == nullptr || t->dataFile == nullptr) return false;
  for (const IndexFile* f = t->dataFile->indexes; f != nullptr; f = f->next)
    if (f->lockOwner == t->lockOwner) return true;
  return false;
}

int index4lockAll(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationLock);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  if (t->dataFile == nullptr) return 0;
  int tries = ctx->lockAttempts == 0 ? 1 : ctx->lockAttempts;
  for (;;) {
    // One try per byte in each round; the rounds do the waiting.
    const int32_t savedAttempts = ctx->lockAttempts;
    ctx->lockAttempts = 1;
    int rc = 0;
    for (IndexFile* f = t->dataFile->indexes; f != nullptr && rc == 0; f = f->next)
      rc = index4lock(f, t);
    ctx->lockAttempts = savedAttempts;
    if (rc == kLocked && savedAttempts == -1 && ctx->errorCode == 0) {
      // A Table of this process holds one: waiting would never end.
      for (IndexFile* f = t->dataFile->indexes; f != nullptr; f = f->next)
        if (f->lockOwner != 0 && f->lockOwner != t->lockOwner) {
          index4unlockAll(t);
          return engine4error(ctx, kErrLock, kLocationLock, f->file.name);
        }
    }
    if (rc == 0) return 0;
    const int saved = engine4errorSet(ctx, 0);
    index4unlockAll(t);
    engine4errorSet(ctx, saved);
    if (rc != kLocked || tries == 1) return rc;
    if (tries > 1) --tries;
    os4get()->sleep(ctx->lockRetryDelay > 0 ? ctx->lockRetryDelay * 10 : 0);
  }
}
