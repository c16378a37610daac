// Positioning in a tag: descending from the root to the first or last key, to
// the first key not below a search key, or to an exact (key, record) pair;
// moving along the leaf level through the sibling chain; descending tags
// served from trees that are always stored ascending.
//
// Every node is checked when it is read (tag4readNode) and every sibling when
// it is entered (it must point back and hold keys). A check that fails means
// that the tree changed under us or is damaged. In a file others may write
// the operation restarts from the root after the clock's second has turned,
// at most kRestarts times, the last time with the index lock byte held; then,
// or at once in a file nobody else can change, the file is reported damaged
// (-310 naming the file). Sibling walks are bounded by the number of nodes in
// the file, so a cyclic chain ends in the same report instead of a hang.
#include <cstring>

#include "dbf/core/context.h"
#include "dbf/core/os.h"
#include "dbf/index/node.h"

using namespace dbf;

namespace {

constexpr int kRestarts = 3;
constexpr int kLocationDamagedOnRead = 81607;
constexpr int kLocationDamagedOnRestart = 81606;
constexpr int kLocationCycle = 81608;
constexpr int kLocationLock = 81609;
constexpr int kLocationNull = 91801;

bool othersMayChange(const IndexFile* f) { return f->file.mode == 0 && f->lockOwner == 0; }

// Waits until the seconds of the system clock change.
void waitForNextSecond() {
  const OsInterface* os = os4get();
  int64_t start = 0, now = 0;
  int32_t ms = 0;
  os->clock(&start, &ms);
  os->sleep(1000 - ms);
  for (os->clock(&now, &ms); now == start; os->clock(&now, &ms)) os->sleep(10);
}

// The bounded restart of one positioning operation. next() is called each
// time an attempt found the tree inconsistent: 0 to try again from the root,
// or the reported -310 when the file cannot be read consistently.
class Restart {
 public:
  explicit Restart(Tag* tag) : tag_(tag) {}
  ~Restart() {
    if (locked_) file4unlock(&tag_->indexFile->file, kLockIndexFile, 1);
  }
  Restart(const Restart&) = delete;
  Restart& operator=(const Restart&) = delete;

  int next() {
    IndexFile* f = tag_->indexFile;
    if (!othersMayChange(f) || locked_)
      return tag4damaged(tag_, round_ == 0 ? kLocationDamagedOnRead : kLocationDamagedOnRestart);
    ++round_;
    waitForNextSecond();
    int rc = tag4dropNodes(tag_);
    if (rc < 0) return rc;
    if (round_ < kRestarts) return 0;
    // The last try under the index lock: nobody can change the tree then.
    rc = file4lock(&f->file, kLockIndexFile, 1);
    if (rc == kLocked) return engine4error(tag_->ctx, kErrLock, kLocationLock, f->file.name);
    if (rc != 0) return rc;
    locked_ = true;
    return 0;
  }

 private:
  Tag* tag_;
  int round_ = 0;
  bool locked_ = false;
};

template <class Attempt>
int withRestart(Restart& restart, Attempt attempt) {
  for (;;) {
    int rc = attempt();
    if (rc != kTreeChanged) return rc;
    rc = restart.next();
    if (rc < 0) return rc;
  }
}

// --- descent ---

int loadRoot(Tag* tag) {
  tag4clearStack(tag);
  tag->hops = 0;
  tag->hopDirection = 0;
  int32_t root = 0;
  int rc = tag4root(tag, &root);
  if (rc != 0) return rc;
  IndexNode* node = nullptr;
  rc = tag4readNode(tag, root, nullptr, &node);
  if (rc != 0) return rc;
  node->current = 0;
  tag4push(tag, node);
  return 0;
}

// From the root down to a leaf, through the entry |choose| picks in each
// interior node.
template <class Choose>
int descend(Tag* tag, Choose choose) {
  int rc = loadRoot(tag);
  while (rc == 0 && !node4isLeaf(tag4leaf(tag)->image)) {
    IndexNode* parent = tag4leaf(tag);
    parent->current = choose(parent);
    if (tag->depth >= kMaxTreeDepth) return kTreeChanged;
    const InteriorEntry e = interior4entry(parent->image, tag4keyLength(tag), parent->current);
    IndexNode* child = nullptr;
    rc = tag4readNode(tag, e.child, parent, &child);
    if (rc == 0) {
      child->current = 0;
      tag4push(tag, child);
    }
  }
  return rc;
}

// First entry whose leading |m| key bytes are not below |s|; the last entry
// when all are below.
int interiorSeek(const IndexNode* node, int klen, const uint8_t* s, int m) {
  int lo = -1;
  int hi = node4count(node->image) - 1;
  while (lo < hi - 1) {
    const int mid = lo + (hi - lo) / 2;
    if (std::memcmp(interior4entry(node->image, klen, mid).key, s, static_cast<size_t>(m)) >= 0)
      hi = mid;
    else
      lo = mid;
  }
  return hi;
}

// The entry for an exact pair: the key's entry, then on over equal keys
// whose record numbers are lower. *passedKey is set when it went past one:
// the key then exists even if the leaf below does not hold it.
int interiorSeekPair(const IndexNode* node, int klen, const uint8_t* key, uint32_t record,
                     bool* passedKey) {
  int i = interiorSeek(node, klen, key, klen);
  const int last = node4count(node->image) - 1;
  while (i < last) {
    const InteriorEntry e = interior4entry(node->image, klen, i);
    if (std::memcmp(e.key, key, static_cast<size_t>(klen)) != 0 || e.record >= record) break;
    *passedKey = true;
    ++i;
  }
  return i;
}

void decode(Tag* tag, IndexNode* leaf, int i) {
  node4decodeTo(leaf, i, tag4keyLength(tag), tag->pad);
}

// Leaf search: the first key whose leading |m| bytes are not below |s|. 0
// when they equal |s|, 2 otherwise (the current index may then be n). The
// duplicate counts spare comparisons: a key sharing more leading bytes with
// its predecessor than the predecessor shared with |s| is below |s| too.
int leafSeek(Tag* tag, IndexNode* leaf, const uint8_t* s, int m) {
  const int n = node4count(leaf->image);
  int matched = 0;
  for (int i = 0; i < n; ++i) {
    decode(tag, leaf, i);
    const int dup = leaf->duplicateCount;
    if (dup > matched) continue;
    const int equal = tag->compare(node4key(leaf) + dup, s + dup, m - dup);
    if (equal < 0) return 2;
    if (dup + equal == m) return 0;
    matched = dup + equal;
  }
  leaf->current = n;
  return 2;
}

// --- the leaf chain ---

int32_t nodesInFile(IndexFile* f) {
  const int64_t length = file4length(&f->file);
  if (length > f->endOfFile && length <= kLargestIndexFile)
    f->endOfFile = static_cast<int32_t>(length);
  return f->endOfFile / kIndexUnit;
}

// Replaces the current leaf by its sibling in |direction| (+1 right, -1
// left). kTreeChanged when the sibling does not hold together with it.
int hop(Tag* tag, int direction) {
  IndexNode* leaf = tag4leaf(tag);
  const int32_t next = direction > 0 ? node4right(leaf->image) : node4left(leaf->image);
  if (direction != tag->hopDirection) {
    tag->hops = 0;
    tag->hopDirection = static_cast<int8_t>(direction);
  }
  if (++tag->hops > tag->indexFile->endOfFile / kIndexUnit &&
      tag->hops > nodesInFile(tag->indexFile))
    return tag4damaged(tag, kLocationCycle);
  IndexNode* sibling = nullptr;
  int rc = tag4readNode(tag, next, nullptr, &sibling);
  if (rc != 0) return rc;
  const uint8_t* image = sibling->image;
  const int32_t back = direction > 0 ? node4left(image) : node4right(image);
  if (!node4isLeaf(image) || node4isRoot(image) || node4count(image) == 0 || back != leaf->offset) {
    tag4cacheNode(tag, sibling);
    return kTreeChanged;
  }
  tag->stack[tag->depth - 1] = sibling;
  tag4cacheNode(tag, leaf);
  tag->pathStale = true;
  return 0;
}

// One key forward: 0, kEof (the leaf then stands at its end), or a failure.
int stepForward(Tag* tag) {
  IndexNode* leaf = tag4leaf(tag);
  const int n = node4count(leaf->image);
  if (leaf->current + 1 < n) {
    decode(tag, leaf, leaf->current + 1);
    return 0;
  }
  if (node4right(leaf->image) == -1) {
    leaf->current = n;
    return kEof;
  }
  int rc = hop(tag, +1);
  if (rc == 0) decode(tag, tag4leaf(tag), 0);
  return rc;
}

// One key back (from a key or from the end position): 0, kBof (no key
// before; the tag stays), or a failure.
int stepBack(Tag* tag) {
  IndexNode* leaf = tag4leaf(tag);
  if (leaf->current > 0) {
    decode(tag, leaf, leaf->current - 1);
    return 0;
  }
  if (node4left(leaf->image) == -1) return kBof;
  int rc = hop(tag, -1);
  if (rc == 0) decode(tag, tag4leaf(tag), node4count(tag4leaf(tag)->image) - 1);
  return rc;
}

// --- attempts (each from the root) ---

int attemptEdge(Tag* tag, bool last) {
  int rc = descend(
      tag, [last](const IndexNode* node) { return last ? node4count(node->image) - 1 : 0; });
  if (rc != 0) return rc;
  IndexNode* leaf = tag4leaf(tag);
  const int n = node4count(leaf->image);
  if (n == 0)
    leaf->current = 0;
  else
    decode(tag, leaf, last ? n - 1 : 0);
  return 0;
}

// The leaf search from the current leaf on; a leaf searched to its end goes
// on in its right sibling (its parent's key was stale), so that 2 stands on
// the next key or at the end of the last leaf.
int seekInLeaves(Tag* tag, const uint8_t* s, int m) {
  for (;;) {
    IndexNode* leaf = tag4leaf(tag);
    int rc = leafSeek(tag, leaf, s, m);
    if (rc == 0 || leaf->current < node4count(leaf->image) || node4right(leaf->image) == -1)
      return rc;
    rc = hop(tag, +1);
    if (rc != 0) return rc;
  }
}

int attemptSeek(Tag* tag, const uint8_t* s, int m) {
  const int klen = tag4keyLength(tag);
  int rc = descend(tag, [&](const IndexNode* node) { return interiorSeek(node, klen, s, m); });
  return rc != 0 ? rc : seekInLeaves(tag, s, m);
}

// Exact pair: 0 found, 1 the key exists with other records, 2 absent; the
// tag then stands where the pair would go.
int attemptPair(Tag* tag, const uint8_t* key, uint32_t record) {
  const int klen = tag4keyLength(tag);
  bool passedKey = false;
  int rc = descend(tag, [&](const IndexNode* node) {
    return interiorSeekPair(node, klen, key, record, &passedKey);
  });
  if (rc != 0) return rc;
  rc = seekInLeaves(tag, key, klen);
  if (rc == 2) return passedKey ? 1 : 2;
  if (rc != 0) return rc;
  // Equal keys are in record order, across sibling leaves if need be.
  for (;;) {
    IndexNode* leaf = tag4leaf(tag);
    if (std::memcmp(node4key(leaf), key, static_cast<size_t>(klen)) != 0) return 1;
    const uint32_t here = node4decodedRecord(leaf);
    if (here >= record) return here == record ? 0 : 1;
    rc = stepForward(tag);
    if (rc == kEof) return 1;
    if (rc != 0) return rc;
  }
}

}  // namespace

namespace {

bool generalText(const Tag* tag) {
  return tag->collation.kind == kCollationGeneral && tag->keyType == 'C';
}

// True when the current key begins with |s| under the tag's comparison (for
// GENERAL text: the primary weights of |s|).
bool beginsWith(const Tag* tag, const IndexNode* leaf, const uint8_t* s, int m) {
  const int n = generalText(tag) ? collation4primaryLength(s, m) : m;
  return std::memcmp(node4key(leaf), s, static_cast<size_t>(n)) == 0;
}

int physicalEdge(Tag* tag, bool last) {
  Restart restart(tag);
  return withRestart(restart, [&] { return attemptEdge(tag, last); });
}

int enter(Tag* tag, int location) {
  if (tag == nullptr) return engine4error(nullptr, kErrNullHandle, location);
  if (tag->ctx->errorCode < 0) return kErrContextHoldsError;
  return 0;
}

// A failed operation leaves the tag unpositioned rather than half way down.
int settle(Tag* tag, int rc) {
  if (rc < 0) tag4clearStack(tag);
  return rc;
}

bool atEnd(Tag* tag) {
  const IndexNode* leaf = tag4leaf(tag);
  return leaf->current >= node4count(leaf->image);
}

// Descending seek: the tree is ascending, so the first key in tag order that
// can begin with |s| is the last key below s+, the smallest text above every
// text beginning with |s| (|s| up to its last byte below 0xFF, that byte
// incremented; for GENERAL text only the primary weights count).
int seekDescending(Tag* tag, Restart& restart, const uint8_t* s, int m) {
  const int limit = generalText(tag) ? collation4primaryLength(s, m) : m;
  uint8_t above[kMaxKeyLength];
  std::memcpy(above, s, static_cast<size_t>(limit));
  int i = limit - 1;
  while (i >= 0 && above[i] == 0xFF) --i;
  if (i < 0) {
    // Nothing is above |s|: only the highest keys can begin with it.
    int rc = withRestart(restart, [&] { return attemptSeek(tag, s, m); });
    if (rc < 0) return rc;
    if (rc == 0) return withRestart(restart, [&] { return attemptEdge(tag, true); });
    rc = withRestart(restart, [&] { return attemptEdge(tag, false); });
    if (rc < 0) return rc;
    tag4leaf(tag)->current = node4count(tag4leaf(tag)->image);
    return kEof;
  }
  ++above[i];
  int rc = withRestart(restart, [&] {
    int r = attemptSeek(tag, above, i + 1);
    return r == kTreeChanged || r < 0 ? r : stepBack(tag);
  });
  if (rc < 0) return rc;
  if (rc == kBof) {
    tag4leaf(tag)->current = node4count(tag4leaf(tag)->image);
    return kEof;
  }
  return beginsWith(tag, tag4leaf(tag), s, m) ? 0 : 2;
}

// Moves |n| keys in physical order; *moved gets the count moved (same sign).
// At the end of the chain the tag stays on the last (first) key.
int skipPhysical(Tag* tag, Restart& restart, int32_t n, int32_t* moved) {
  const int klen = tag4keyLength(tag);
  const int direction = n > 0 ? 1 : -1;
  int32_t done = 0;
  while (done != n) {
    IndexNode* leaf = tag4leaf(tag);
    const int64_t remaining = direction > 0 ? int64_t{n} - done : int64_t{done} - n;
    const int64_t room =
        direction > 0 ? node4count(leaf->image) - 1 - leaf->current : leaf->current;
    const int step = static_cast<int>(room < remaining ? room : remaining);
    if (step > 0) {
      decode(tag, leaf, leaf->current + direction * step);
      done += direction * step;
      continue;
    }
    if ((direction > 0 ? node4right(leaf->image) : node4left(leaf->image)) == -1) break;
    uint8_t key[kMaxKeyLength];
    std::memcpy(key, node4key(leaf), static_cast<size_t>(klen));
    const uint32_t record = node4decodedRecord(leaf);
    int rc = hop(tag, direction);
    if (rc == 0) {
      leaf = tag4leaf(tag);
      decode(tag, leaf, direction > 0 ? 0 : node4count(leaf->image) - 1);
      done += direction;
      continue;
    }
    if (rc != kTreeChanged) return rc;
    // The chain changed under us: find the key we were on again. When it is
    // gone the tag stands on its successor, which is one step forward.
    rc = restart.next();
    if (rc < 0) return rc;
    rc = withRestart(restart, [&] { return attemptPair(tag, key, record); });
    if (rc < 0) return rc;
    if (rc != 0 && direction > 0) {
      if (atEnd(tag)) {
        rc = withRestart(restart, [&] { return attemptEdge(tag, true); });
        if (rc < 0) return rc;
        break;
      }
      done += 1;
    }
  }
  *moved = done;
  return 0;
}

}  // namespace

int order4top(Tag* tag) {
  if (int rc = enter(tag, kLocationNull)) return rc;
  return settle(tag, physicalEdge(tag, tag->header.descending != 0));
}

int order4bottom(Tag* tag) {
  if (int rc = enter(tag, kLocationNull)) return rc;
  return settle(tag, physicalEdge(tag, tag->header.descending == 0));
}

int order4goEof(Tag* tag) {
  int rc = order4bottom(tag);
  if (rc != 0) return rc;
  IndexNode* leaf = tag4leaf(tag);
  leaf->current = node4count(leaf->image);
  return 0;
}

int order4seek(Tag* tag, const char* key, int length) {
  if (int rc = enter(tag, kLocationNull)) return rc;
  if (key == nullptr || length < 0) return engine4error(tag->ctx, kErrParameter, kLocationNull);
  const int m = length < tag4keyLength(tag) ? length : tag4keyLength(tag);
  const auto* s = reinterpret_cast<const uint8_t*>(key);
  Restart restart(tag);
  if (tag->header.descending != 0) return settle(tag, seekDescending(tag, restart, s, m));
  return settle(tag, withRestart(restart, [&] { return attemptSeek(tag, s, m); }));
}

int order4go(Tag* tag, const char* key, int32_t record) {
  if (int rc = enter(tag, kLocationNull)) return rc;
  if (key == nullptr) return engine4error(tag->ctx, kErrParameter, kLocationNull);
  Restart restart(tag);
  return settle(tag, withRestart(restart, [&] {
                  return attemptPair(tag, reinterpret_cast<const uint8_t*>(key),
                                     static_cast<uint32_t>(record));
                }));
}

int32_t order4skip(Tag* tag, int32_t n) {
  if (int rc = enter(tag, kLocationNull)) return rc;
  if (n == 0) return 0;
  if (n < -0x7FFFFFFF) n = -0x7FFFFFFF;  // no tag holds that many keys
  if (tag->depth == 0) {
    int rc = order4top(tag);
    if (rc < 0) return rc;
  }
  int32_t moved = 0;
  if (atEnd(tag)) {
    // From the end only backwards, and the last key is the first step.
    if (n > 0) return 0;
    int rc = order4bottom(tag);
    if (rc < 0) return rc;
    if (atEnd(tag)) return 0;
    moved = -1;
    if (++n == 0) return moved;
  }
  const bool descending = tag->header.descending != 0;
  Restart restart(tag);
  int32_t physical = 0;
  int rc = skipPhysical(tag, restart, descending ? -n : n, &physical);
  if (rc < 0) return settle(tag, rc);
  return moved + (descending ? -physical : physical);
}

int order4eof(Tag* tag) {
  if (tag == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationNull);
  if (tag->depth == 0) return kNotPositioned;
  return atEnd(tag) ? 1 : 0;
}

int32_t order4recNo(Tag* tag) {
  if (tag == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationNull);
  if (tag->depth == 0) return -2;
  const IndexNode* leaf = tag4leaf(tag);
  if (node4count(leaf->image) == 0) return 0;
  if (atEnd(tag)) return -1;
  return static_cast<int32_t>(node4decodedRecord(leaf));
}

const char* order4keyData(Tag* tag) {
  if (tag == nullptr || tag->depth == 0 || atEnd(tag)) return nullptr;
  return tag4leaf(tag)->keyData;
}
