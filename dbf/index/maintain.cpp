// Adding and removing keys in a tag's tree, one (key, record) pair at a time.
//
// An operation first places the tag on the pair (a descent by key, then by
// record number, through entries that each hold the highest pair of their
// child), then changes the nodes on that path and, when a node is full, splits
// it: the new node takes the upper half and the parent gets an entry for the
// lower one, up to the root, which keeps its file offset when others may read
// the file (the new root and the old one exchange offsets). A node that loses
// its last key goes to the free-node list; nodes are never merged.
//
// Leaves are edited in place: inserting or removing a key rewrites only the
// entry that follows it (its duplicate count against its new predecessor) and
// moves the key bytes behind it, so the stored bytes of every other key stay
// as they were.
//
// Every operation runs inside a TreeEdit that remembers the images of the
// nodes it changes and the header fields it moves. When anything fails part
// way (a read, a write of a node that had to leave the cache, an allocation),
// the edit puts the tree in memory back as it was, so that the caller can undo
// its other tags and flush a consistent index.
#include <cstring>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/index/node.h"

using namespace dbf;

namespace {

constexpr int kLocationUnlocked = 95401;
constexpr int kLocationDuplicate = 95402;
constexpr int kLocationDamaged = 81607;
constexpr int kRetries = 8;   // adds placed again after a split left no room
constexpr int kRetry = 1002;  // internal: the add must place its key again
constexpr int kForMarkOffset = 262;

int damagedTree(Tag* tag) { return tag4damaged(tag, kLocationDamaged); }

int comparePair(const uint8_t* a, uint32_t ra, const uint8_t* b, uint32_t rb, int klen) {
  const int c = std::memcmp(a, b, static_cast<size_t>(klen));
  if (c != 0) return c;
  return ra < rb ? -1 : (ra > rb ? 1 : 0);
}

int commonPrefix(const uint8_t* a, const uint8_t* b, int n) {
  int i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

void setCount(IndexNode* node, int n) { cdx4put16(node->image + 2, static_cast<uint32_t>(n)); }
void setAttributes(IndexNode* node, uint16_t a) { cdx4put16(node->image, a); }
void setLeft(IndexNode* node, int32_t o) { cdx4put32(node->image + 4, static_cast<uint32_t>(o)); }
void setRight(IndexNode* node, int32_t o) { cdx4put32(node->image + 8, static_cast<uint32_t>(o)); }

void setFree(IndexNode* leaf, int freeBytes) {
  leaf->layout.freeBytes = static_cast<uint16_t>(freeBytes);
  cdx4put16(leaf->image + 12, static_cast<uint32_t>(freeBytes));
}

// Writes the widths and masks of |layout| (free count included) into the leaf
// header without touching the entries.
void writeLayout(IndexNode* leaf, const LeafLayout& layout) {
  leaf4putLayout(leaf->image, layout);
  leaf->layout = layout;
}

// First byte below the entry array that holds key bytes (512 when none).
int leafBottom(const IndexNode* leaf) {
  return kLeafEntries + node4count(leaf->image) * leaf->layout.entryBytes + leaf->layout.freeBytes;
}

uint32_t recordCountOf(const Tag* tag) {
  const DataFile* d = tag->indexFile->dataFile;
  const int32_t count = d == nullptr ? 0 : (d->heldCount >= 0 ? d->heldCount : d->lastReadCount);
  return count > 0 ? static_cast<uint32_t>(count) : 0;
}

int padCount(const Tag* tag, const uint8_t* key) {
  const int klen = tag4keyLength(tag);
  int n = klen;
  while (n > 0 && key[n - 1] == tag->pad) --n;
  return klen - n;
}

// Trailing pad is not cut from the keys of a FOR tag on an older-layout table
// under compatibility 26.
int trailingOf(const Tag* tag, const uint8_t* key) {
  const DataFile* d = tag->indexFile->dataFile;
  const bool older = d != nullptr && d->header[0] != 0x30;
  if (older && tag->ctx->compatibility == 26 && (tag->header.options & kTagHasFor) != 0) return 0;
  return padCount(tag, key);
}

// One decoded leaf entry: its fields and where its stored bytes lie.
struct Slot {
  uint32_t record;
  int duplicates;
  int trailing;
  int position;
  int stored;
};

// Decodes entry |i| (its key into leaf->keyData; forward moves are cheap).
Slot slotAt(const Tag* tag, IndexNode* leaf, int i) {
  const int klen = tag4keyLength(tag);
  node4decodeTo(leaf, i, klen, tag->pad);
  Slot s;
  s.record = node4decodedRecord(leaf);
  s.duplicates = leaf->duplicateCount;
  s.trailing = leaf->trailingCount;
  s.position = leaf->keyPosition;
  s.stored = klen - s.duplicates - s.trailing;
  return s;
}

// The highest (key, record) of a node (of at least one key): the key as it
// stands in the node or its decoded copy, valid until the node changes or
// decodes again.
InteriorEntry highestOf(const Tag* tag, IndexNode* node) {
  const int n = node4count(node->image);
  if (!node4isLeaf(node->image)) return interior4entry(node->image, tag4keyLength(tag), n - 1);
  const Slot s = slotAt(tag, node, n - 1);
  return InteriorEntry{node4key(node), s.record, node->offset};
}

// The highest (key, record) of a node, copied out.
struct Last {
  uint8_t key[kMaxKeyLength];
  uint32_t record;
};

Last lastOf(const Tag* tag, IndexNode* node) {
  Last last;
  last.record = 0;
  if (node4count(node->image) == 0) return last;
  const InteriorEntry highest = highestOf(tag, node);
  std::memcpy(last.key, highest.key, static_cast<size_t>(tag4keyLength(tag)));
  last.record = highest.record;
  return last;
}

// The changes of one operation on one tag, so that they can be undone.
class TreeEdit {
 public:
  explicit TreeEdit(Tag* tag) : tag_(tag) {
    IndexFile* f = tag->indexFile;
    const TagHeader& head = index4headTag(f)->header;
    freeHead_ = head.freeHead;
    version_ = head.version;
    endOfFile_ = f->endOfFile;
    root_ = tag->header.root;
    rootChanged_ = tag->rootChanged;
  }
  TreeEdit(const TreeEdit&) = delete;
  TreeEdit& operator=(const TreeEdit&) = delete;

  // Call before the first change of an existing node.
  void touch(const IndexNode* node) {
    for (const IndexNode* c : created_)
      if (c == node) return;
    for (int i = 0; i < savedCount_; ++i)
      if (saved(i).offset == node->offset) return;
    Saved* s = savedCount_ < kInline ? &inline_[savedCount_] : &more_.emplace_back();
    ++savedCount_;
    s->offset = node->offset;
    std::memcpy(s->image, node->image, kIndexUnit);
  }

  // A node for the tag, held by the edit until it ends.
  IndexNode* create(int* rc) {
    const int32_t offset = index4extend(tag_->indexFile);
    if (offset < 0) {
      *rc = offset;
      return nullptr;
    }
    IndexNode* node = tag4newNode(tag_, offset);
    if (node == nullptr) {
      *rc = kErrMemory;
      return nullptr;
    }
    created_.push_back(node);
    return node;
  }

  // The operation succeeded: new nodes join the cache, the tag is left
  // unpositioned. 0, or the code of a node that could not leave the cache.
  int commit() {
    for (IndexNode* node : created_) tag4cacheNode(tag_, node);
    created_.clear();
    tag4clearStack(tag_);
    return tag_->ctx->errorCode < 0 ? tag_->ctx->errorCode : 0;
  }

  // Puts every changed node and header field back. The nodes are marked
  // changed: one of them may have been written meanwhile (leaving the cache,
  // or as a freed node).
  void undo() {
    for (IndexNode* node : created_) tag4discardNode(tag_, node);
    created_.clear();
    const int klen = tag4keyLength(tag_);
    for (int i = 0; i < savedCount_; ++i) {
      const Saved& s = saved(i);
      IndexNode* node = tag4findNode(tag_, s.offset);
      const bool fresh = node == nullptr;
      if (fresh) node = tag4newNode(tag_, s.offset);
      if (node == nullptr) continue;
      std::memcpy(node->image, s.image, kIndexUnit);
      node->changed = true;
      node->decoded = -1;
      node4check(node, klen);
      if (fresh) tag4cacheNode(tag_, node);
    }
    IndexFile* f = tag_->indexFile;
    TagHeader& head = index4headTag(f)->header;
    head.freeHead = freeHead_;
    head.version = version_;
    f->endOfFile = endOfFile_;
    tag_->header.root = root_;
    tag_->rootChanged = rootChanged_;
    tag4clearStack(tag_);
  }

 private:
  struct Saved {
    Saved() {}  // filled by touch(), not zeroed first
    int32_t offset;
    uint8_t image[kIndexUnit];
  };
  const Saved& saved(int i) const { return i < kInline ? inline_[i] : more_[i - kInline]; }

  static constexpr int kInline = 4;  // a leaf and its parents, most of the time
  Tag* tag_;
  Saved inline_[kInline];
  std::vector<Saved> more_;
  int savedCount_ = 0;
  std::vector<IndexNode*> created_;
  int32_t freeHead_, endOfFile_, root_;
  uint32_t version_;
  bool rootChanged_;
};

// --- placing the tag on a pair ---

// Descends to the first pair not below (key, record): interior entries by
// their (key, record), then the leaf entry by entry. The leaf's current
// index is that pair's (n when every pair of the tag is below). 0,
// kTreeChanged or a code.
int seat(Tag* tag, const uint8_t* key, uint32_t record) {
  const int klen = tag4keyLength(tag);
  tag4clearStack(tag);
  int32_t root = 0;
  int rc = tag4root(tag, &root);
  if (rc != 0) return rc;
  IndexNode* node = nullptr;
  rc = tag4readNode(tag, root, nullptr, &node);
  if (rc != 0) return rc;
  tag4push(tag, node);
  // Beyond the last pair of every interior node on the way: beyond every key
  // of the leaf too (appends in key order), which then needs no search.
  bool beyond = false;
  while (!node4isLeaf(node->image)) {
    if (tag->depth >= kMaxTreeDepth) return kTreeChanged;
    const int last = node4count(node->image) - 1;
    int lo = -1, hi = last;
    while (lo < hi - 1) {
      const int mid = lo + (hi - lo) / 2;
      const InteriorEntry e = interior4entry(node->image, klen, mid);
      if (comparePair(e.key, e.record, key, record, klen) >= 0)
        hi = mid;
      else
        lo = mid;
    }
    const InteriorEntry chosen = interior4entry(node->image, klen, hi);
    beyond = hi == last && comparePair(chosen.key, chosen.record, key, record, klen) < 0 &&
             (beyond || tag->depth == 1);
    node->current = hi;
    IndexNode* child = nullptr;
    rc = tag4readNode(tag, chosen.child, node, &child);
    if (rc != 0) return rc;
    tag4push(tag, child);
    node = child;
  }
  const int n = node4count(node->image);
  int i = beyond ? n : 0;
  for (; i < n; ++i) {
    const Slot s = slotAt(tag, node, i);
    if (comparePair(node4key(node), s.record, key, record, klen) >= 0) break;
  }
  node->current = i;
  return 0;
}

// --- leaves ---

// Adds one byte to every entry (8 more record bits); false when the leaf has
// fewer free bytes than keys.
bool widen(IndexNode* leaf) {
  const LeafLayout old = leaf->layout;
  const int n = node4count(leaf->image);
  if (old.freeBytes < n || old.entryBytes >= 8) return false;
  LeafLayout wide = old;
  wide.recordBits = static_cast<uint8_t>(old.recordBits + 8);
  wide.recordMask = wide.recordBits >= 32 ? 0xFFFFFFFFu : (1u << wide.recordBits) - 1;
  wide.entryBytes = static_cast<uint8_t>(old.entryBytes + 1);
  wide.freeBytes = static_cast<uint16_t>(old.freeBytes - n);
  for (int j = n - 1; j >= 0; --j) {
    const LeafEntry e = leaf4entry(leaf->image, old, j);
    leaf4putEntry(leaf->image, wide, j, e.record, e.duplicateCount, e.trailingCount);
  }
  writeLayout(leaf, wide);
  leaf->decoded = -1;
  leaf->changed = true;
  return true;
}

// Inserts (key, record) as entry |i|: 1 done, 0 the leaf has no room.
int leafInsert(const Tag* tag, IndexNode* leaf, int i, const uint8_t* key, uint32_t record) {
  const int klen = tag4keyLength(tag);
  const int n = node4count(leaf->image);
  if (n == 0 && leaf->layout.freeBytes == 0) {
    // A fresh node: formatted for the table as it is now.
    LeafLayout fresh = leaf4widths(klen, recordCountOf(tag), LeafRule::kIncremental);
    leaf4formatEmpty(leaf->image, fresh);
    leaf->layout = fresh;
  }
  while (record > leaf->layout.recordMask)
    if (!widen(leaf)) return 0;
  const int entryBytes = leaf->layout.entryBytes;
  const int trailing = trailingOf(tag, key);
  int duplicates = 0;
  int top = kIndexUnit;  // the new key's bytes end here
  if (i > 0) {
    const Slot before = slotAt(tag, leaf, i - 1);
    duplicates = commonPrefix(node4key(leaf), key, klen);
    if (duplicates > klen - before.trailing) duplicates = klen - before.trailing;
    if (duplicates > klen - trailing) duplicates = klen - trailing;
    top = before.position;
  }
  const int stored = klen - duplicates - trailing;
  // The key that follows now follows the new one: it may share more or less.
  Slot after{};
  uint8_t afterKey[kMaxKeyLength];
  int afterDuplicates = 0, afterStored = 0, added = stored;
  if (i < n) {
    after = slotAt(tag, leaf, i);
    std::memcpy(afterKey, node4key(leaf), static_cast<size_t>(klen));
    afterDuplicates = commonPrefix(key, afterKey, klen);
    if (afterDuplicates > klen - trailing) afterDuplicates = klen - trailing;
    if (afterDuplicates > klen - after.trailing) afterDuplicates = klen - after.trailing;
    afterStored = klen - afterDuplicates - after.trailing;
    added += afterStored - after.stored;
  }
  if (leaf->layout.freeBytes < entryBytes + added) return 0;

  uint8_t* image = leaf->image;
  const int bottom = leafBottom(leaf);
  if (i < n) {
    // The bytes of the keys after the following one move by |added|.
    std::memmove(image + bottom - added, image + bottom,
                 static_cast<size_t>(after.position - bottom));
    std::memcpy(image + top - stored - afterStored, afterKey + afterDuplicates,
                static_cast<size_t>(afterStored));
  }
  std::memcpy(image + top - stored, key + duplicates, static_cast<size_t>(stored));
  uint8_t* entries = image + kLeafEntries;
  std::memmove(entries + (i + 1) * entryBytes, entries + i * entryBytes,
               static_cast<size_t>((n - i) * entryBytes));
  leaf4putEntry(image, leaf->layout, i, record, duplicates, trailing);
  if (i < n)
    leaf4putEntry(image, leaf->layout, i + 1, after.record, afterDuplicates, after.trailing);
  setCount(leaf, n + 1);
  setFree(leaf, leaf->layout.freeBytes - entryBytes - added);
  const int gapStart = kLeafEntries + (n + 1) * entryBytes;
  std::memset(image + gapStart, 0, static_cast<size_t>(bottom - added - gapStart));
  leaf->changed = true;
  if (i < n) {
    leaf->decoded = -1;
    return 1;
  }
  // The cursor stays on the new last key: the next key added after it needs
  // no decoding of the leaf.
  std::memcpy(leaf->keyData, &record, 4);
  std::memcpy(leaf->keyData + 4, key, static_cast<size_t>(klen));
  leaf->keyData[4 + klen] = 0;
  leaf->decoded = leaf->current = n;
  leaf->keyPosition = top - stored;
  leaf->duplicateCount = duplicates;
  leaf->trailingCount = trailing;
  return 1;
}

// Removes entry |i| of a leaf that has at least two.
void leafRemove(const Tag* tag, IndexNode* leaf, int i) {
  const int klen = tag4keyLength(tag);
  const int n = node4count(leaf->image);
  const int entryBytes = leaf->layout.entryBytes;
  uint8_t* image = leaf->image;
  const int bottom = leafBottom(leaf);
  const Slot gone = slotAt(tag, leaf, i);
  const int top = gone.position + gone.stored;
  int removed = gone.stored;
  uint8_t* entries = image + kLeafEntries;
  if (i < n - 1) {
    // The next key takes over what it shared with the removed one.
    const Slot next = slotAt(tag, leaf, i + 1);
    const int duplicates = next.duplicates < gone.duplicates ? next.duplicates : gone.duplicates;
    const int stored = klen - duplicates - next.trailing;
    uint8_t nextKey[kMaxKeyLength];
    std::memcpy(nextKey, node4key(leaf), static_cast<size_t>(klen));
    removed = gone.stored + next.stored - stored;
    std::memmove(image + bottom + removed, image + bottom,
                 static_cast<size_t>(next.position - bottom));
    std::memcpy(image + top - stored, nextKey + duplicates, static_cast<size_t>(stored));
    std::memmove(entries + i * entryBytes, entries + (i + 1) * entryBytes,
                 static_cast<size_t>((n - 1 - i) * entryBytes));
    leaf4putEntry(image, leaf->layout, i, next.record, duplicates, next.trailing);
  }
  setCount(leaf, n - 1);
  setFree(leaf, leaf->layout.freeBytes + entryBytes + removed);
  const int gapStart = kLeafEntries + (n - 1) * entryBytes;
  std::memset(image + gapStart, 0, static_cast<size_t>(bottom + removed - gapStart));
  leaf->decoded = -1;
  leaf->changed = true;
}

// Right-hand node of a split: chained between |node| and its old right
// neighbour.
void chainRight(IndexNode* node, IndexNode* right) {
  setLeft(right, node->offset);
  setRight(right, node4right(node->image));
  setRight(node, right->offset);
}

// Moves the upper part of a full leaf to |right| (a new node) for an
// insertion at |i|: the last n/2 keys, the first of them stored in full.
// *target and *at tell where the insertion goes.
int splitLeaf(const Tag* tag, IndexNode* leaf, IndexNode* right, int i, IndexNode** target,
              int* at) {
  const int klen = tag4keyLength(tag);
  const int n = node4count(leaf->image);
  const LeafLayout layout = leaf->layout;
  const int entryBytes = layout.entryBytes;
  // A single key moves right when the new one goes before it.
  int moved = n == 1 ? (i == 0 ? 1 : 0) : n / 2;
  for (;; --moved) {
    const int keep = n - moved;
    std::memset(right->image, 0, kIndexUnit);
    int position = kIndexUnit, keptBottom = kIndexUnit;
    for (int j = 0; j < n; ++j) {
      const Slot s = slotAt(tag, leaf, j);
      if (j == keep - 1) keptBottom = s.position;
      if (j < keep) continue;
      if (j == keep) {
        const uint8_t* key = node4key(leaf);
        const int trailing = padCount(tag, key);
        position -= klen - trailing;
        std::memcpy(right->image + position, key, static_cast<size_t>(klen - trailing));
        leaf4putEntry(right->image, layout, 0, s.record, 0, trailing);
      } else {
        position -= s.stored;
        std::memcpy(right->image + position, leaf->image + s.position,
                    static_cast<size_t>(s.stored));
        leaf4putEntry(right->image, layout, j - keep, s.record, s.duplicates, s.trailing);
      }
    }
    const int rightFree = kLeafEmptyFree - moved * entryBytes - (kIndexUnit - position);
    if (rightFree < 0 && moved > 1) continue;
    if (rightFree < 0) return kErrIndex;
    setAttributes(right, kNodeLeaf);
    setCount(right, moved);
    LeafLayout rightLayout = layout;
    rightLayout.freeBytes = static_cast<uint16_t>(rightFree);
    writeLayout(right, rightLayout);
    right->decoded = -1;

    const int gapStart = kLeafEntries + keep * entryBytes;
    std::memset(leaf->image + gapStart, 0, static_cast<size_t>(keptBottom - gapStart));
    setAttributes(leaf, kNodeLeaf);
    setCount(leaf, keep);
    setFree(leaf, kLeafEmptyFree - keep * entryBytes - (kIndexUnit - keptBottom));
    leaf->decoded = -1;
    leaf->changed = true;
    chainRight(leaf, right);
    const bool left = i < keep || keep == 0;
    *target = left ? leaf : right;
    *at = left ? i : i - keep;
    return 0;
  }
}

// --- interior nodes ---

void interiorInsert(const Tag* tag, IndexNode* node, int j, const uint8_t* key, uint32_t record,
                    int32_t child) {
  const int size = tag4keyLength(tag) + 8;
  const int n = node4count(node->image);
  uint8_t* entries = node->image + kNodeHeader;
  std::memmove(entries + (j + 1) * size, entries + j * size, static_cast<size_t>((n - j) * size));
  interior4put(node->image, tag4keyLength(tag), j, key, record, child);
  setCount(node, n + 1);
  node->changed = true;
}

void interiorRemove(const Tag* tag, IndexNode* node, int j) {
  const int size = tag4keyLength(tag) + 8;
  const int n = node4count(node->image);
  uint8_t* entries = node->image + kNodeHeader;
  std::memmove(entries + j * size, entries + (j + 1) * size,
               static_cast<size_t>((n - 1 - j) * size));
  std::memset(entries + (n - 1) * size, 0, static_cast<size_t>(size));
  setCount(node, n - 1);
  node->changed = true;
}

// Moves the upper entries of a full interior node to |right|: the last
// (n + 1) / 2, one fewer when the insertion lies beyond that.
void splitInterior(const Tag* tag, IndexNode* node, IndexNode* right, int j, IndexNode** target,
                   int* at) {
  const int size = tag4keyLength(tag) + 8;
  const int n = node4count(node->image);
  int moved = (n + 1) / 2;
  if (j > moved) --moved;
  const int keep = n - moved;
  uint8_t* entries = node->image + kNodeHeader;
  std::memcpy(right->image + kNodeHeader, entries + keep * size, static_cast<size_t>(moved * size));
  std::memset(entries + keep * size, 0, static_cast<size_t>(moved * size));
  setAttributes(right, kNodeInterior);
  setCount(right, moved);
  setAttributes(node, kNodeInterior);
  setCount(node, keep);
  node->changed = true;
  chainRight(node, right);
  *target = j < keep ? node : right;
  *at = j < keep ? j : j - keep;
}

// --- climbing ---

class Climb {
 public:
  Climb(Tag* tag, TreeEdit& edit) : tag_(tag), edit_(edit), klen_(tag4keyLength(tag)) {}

  // Inserts (key, record) at the leaf position the tag stands on: 0, kRetry
  // (a split made room but the key did not fit its half), or a code.
  int insert(const uint8_t* key, uint32_t record) {
    const int level = tag_->depth - 1;
    IndexNode* leaf = tag_->stack[level];
    const int i = leaf->current;
    const int n = node4count(leaf->image);
    edit_.touch(leaf);
    if (leafInsert(tag_, leaf, i, key, record) == 1) {
      if (i == n) propagateLast(level);
      return 0;
    }
    IndexNode* right = nullptr;
    int rc = prepareSplit(leaf, &right);
    if (rc != 0) return rc;
    IndexNode* target = nullptr;
    int at = 0;
    rc = splitLeaf(tag_, leaf, right, i, &target, &at);
    if (rc < 0) return damagedTree(tag_);
    const bool fitted = leafInsert(tag_, target, at, key, record) == 1;
    rc = linkSplit(level, leaf, right);
    if (rc != 0) return rc;
    return fitted ? 0 : kRetry;
  }

  // Removes the entry the node at |level| stands on; an emptied node is
  // freed and its entry removed from the parent in turn.
  int remove(int level) {
    IndexNode* node = tag_->stack[level];
    const int n = node4count(node->image);
    const int i = node->current;
    if (n == 1) {
      if (level == 0) {
        emptyRoot(node);
        return 0;
      }
      int rc = freeNode(level);
      if (rc != 0) return rc;
      return remove(level - 1);
    }
    edit_.touch(node);
    if (node4isLeaf(node->image))
      leafRemove(tag_, node, i);
    else
      interiorRemove(tag_, node, i);
    if (i == n - 1) propagateLast(level);
    return 0;
  }

 private:
  // The parent entries of the node at |level| take its highest pair, up the
  // tree while the entry changed is its node's last.
  void propagateLast(int level) {
    for (int l = level; l > 0; --l) {
      IndexNode* node = tag_->stack[l];
      IndexNode* parent = tag_->stack[l - 1];
      const InteriorEntry last = highestOf(tag_, node);
      const InteriorEntry e = interior4entry(parent->image, klen_, parent->current);
      if (e.record == last.record && std::memcmp(e.key, last.key, static_cast<size_t>(klen_)) == 0)
        return;
      edit_.touch(parent);
      interior4put(parent->image, klen_, parent->current, last.key, last.record, node->offset);
      parent->changed = true;
      if (parent->current != node4count(parent->image) - 1) return;
    }
  }

  // A node read for a change, which must point back at |from| on |side|
  // (4: its left offset, 8: its right one).
  int readNeighbour(int32_t offset, int side, int32_t from, IndexNode** out) {
    int rc = tag4readNode(tag_, offset, nullptr, out);
    if (rc == kTreeChanged) return damagedTree(tag_);
    if (rc != 0) return rc;
    if (static_cast<int32_t>(cdx4get32((*out)->image + side)) != from) {
      tag4cacheNode(tag_, *out);
      return damagedTree(tag_);
    }
    edit_.touch(*out);
    return 0;
  }

  // What a split needs before anything changes: the new node, and the old
  // right neighbour pointing back at it.
  int prepareSplit(IndexNode* node, IndexNode** right) {
    int rc = 0;
    *right = edit_.create(&rc);
    if (*right == nullptr) return rc;
    const int32_t oldRight = node4right(node->image);
    if (oldRight == -1) return 0;
    IndexNode* neighbour = nullptr;
    rc = readNeighbour(oldRight, 4, node->offset, &neighbour);
    if (rc != 0) return rc;
    setLeft(neighbour, (*right)->offset);
    neighbour->changed = true;
    tag4cacheNode(tag_, neighbour);
    return 0;
  }

  // After the node at |level| split into |left| (same object) and |right|.
  int linkSplit(int level, IndexNode* left, IndexNode* right) {
    if (level == 0) return newRoot(left, right);
    IndexNode* parent = tag_->stack[level - 1];
    const int j = parent->current;
    edit_.touch(parent);
    const Last upper = lastOf(tag_, right);
    interior4put(parent->image, klen_, j, upper.key, upper.record, right->offset);
    parent->changed = true;
    if (j == node4count(parent->image) - 1) propagateLast(level - 1);
    const Last lower = lastOf(tag_, left);
    return insertEntry(level - 1, j, lower.key, lower.record, left->offset);
  }

  int insertEntry(int level, int j, const uint8_t* key, uint32_t record, int32_t child) {
    IndexNode* node = tag_->stack[level];
    const int n = node4count(node->image);
    edit_.touch(node);
    if (n < interior4capacity(klen_)) {
      interiorInsert(tag_, node, j, key, record, child);
      if (j == n) propagateLast(level);
      return 0;
    }
    if (n == 2 && level > 0) {
      bool moved = false;
      int rc = passToNeighbour(level, &j, &moved);
      if (rc != 0) return rc;
      if (moved) {
        interiorInsert(tag_, node, j, key, record, child);
        if (j == node4count(node->image) - 1) propagateLast(level);
        return 0;
      }
    }
    IndexNode* right = nullptr;
    int rc = prepareSplit(node, &right);
    if (rc != 0) return rc;
    IndexNode* target = nullptr;
    int at = 0;
    splitInterior(tag_, node, right, j, &target, &at);
    interiorInsert(tag_, target, at, key, record, child);
    return linkSplit(level, node, right);
  }

  // A full node of two entries first tries to give one to a neighbour under
  // the same parent that holds only one: its first entry to the left one
  // (insertion beyond 0), or its last to the right one (insertion at 0).
  int passToNeighbour(int level, int* j, bool* moved) {
    IndexNode* node = tag_->stack[level];
    IndexNode* parent = tag_->stack[level - 1];
    const int p = parent->current;
    const int size = klen_ + 8;
    const bool toLeft = *j > 0;
    if (toLeft ? p == 0 : p == node4count(parent->image) - 1) return 0;
    const int q = toLeft ? p - 1 : p + 1;
    parent->current = q;
    IndexNode* sibling = nullptr;
    int rc = tag4readNode(tag_, interior4entry(parent->image, klen_, q).child, parent, &sibling);
    parent->current = p;
    if (rc == kTreeChanged) return damagedTree(tag_);
    if (rc != 0) return rc;
    if (node4isLeaf(sibling->image) || node4count(sibling->image) >= 2) {
      tag4cacheNode(tag_, sibling);
      return 0;
    }
    edit_.touch(sibling);
    edit_.touch(parent);
    uint8_t* from = node->image + kNodeHeader;
    uint8_t* to = sibling->image + kNodeHeader;
    if (toLeft) {
      std::memcpy(to + size, from, static_cast<size_t>(size));
      std::memmove(from, from + size, static_cast<size_t>(size));
      --*j;
    } else {
      std::memmove(to + size, to, static_cast<size_t>(size));
      std::memcpy(to, from + size, static_cast<size_t>(size));
    }
    std::memset(from + size, 0, static_cast<size_t>(size));
    setCount(sibling, 2);
    setCount(node, 1);
    // The parent entry of the node whose highest pair changed.
    IndexNode* changed = toLeft ? sibling : node;
    const Last last = lastOf(tag_, changed);
    interior4put(parent->image, klen_, toLeft ? q : p, last.key, last.record, changed->offset);
    node->changed = sibling->changed = parent->changed = true;
    tag4cacheNode(tag_, sibling);
    *moved = true;
    return 0;
  }

  // The root split into |left| and |right|: a new root above them. Where
  // others may read the file the root keeps its offset (the tag header is
  // not rewritten): the lower half moves to the new node instead.
  int newRoot(IndexNode* left, IndexNode* right) {
    int rc = 0;
    IndexNode* fresh = edit_.create(&rc);
    if (fresh == nullptr) return rc;
    IndexNode* lower = left;
    IndexNode* root = fresh;
    if (tag_->indexFile->file.mode != 1) {
      std::memcpy(fresh->image, left->image, kIndexUnit);
      fresh->layout = left->layout;
      fresh->decoded = -1;
      setLeft(right, fresh->offset);
      lower = fresh;
      root = left;
    } else {
      tag_->header.root = fresh->offset;
      tag_->rootChanged = true;
    }
    const Last low = lastOf(tag_, lower);
    const Last high = lastOf(tag_, right);
    std::memset(root->image, 0, kIndexUnit);
    setAttributes(root, kNodeRootInterior);
    setCount(root, 2);
    setLeft(root, -1);
    setRight(root, -1);
    interior4put(root->image, klen_, 0, low.key, low.record, lower->offset);
    interior4put(root->image, klen_, 1, high.key, high.record, right->offset);
    root->decoded = -1;
    root->changed = true;
    return 0;
  }

  void emptyRoot(IndexNode* root) {
    edit_.touch(root);
    const LeafLayout layout = leaf4widths(klen_, recordCountOf(tag_), LeafRule::kIncremental);
    std::memset(root->image, 0, kIndexUnit);
    setAttributes(root, kNodeRootLeaf);
    setLeft(root, -1);
    setRight(root, -1);
    leaf4formatEmpty(root->image, layout);
    root->layout = layout;
    root->decoded = -1;
    root->changed = true;
  }

  // The node at |level| (the top of the stack) lost its last entry: its
  // neighbours are chained past it and it heads the free list (its link is
  // written at once; the rest of the node is zero).
  int freeNode(int level) {
    IndexNode* node = tag_->stack[level];
    IndexFile* f = tag_->indexFile;
    const int32_t left = node4left(node->image), right = node4right(node->image);
    edit_.touch(node);
    IndexNode* neighbour = nullptr;
    if (left != -1) {
      int rc = readNeighbour(left, 8, node->offset, &neighbour);
      if (rc != 0) return rc;
      setRight(neighbour, right);
      neighbour->changed = true;
      tag4cacheNode(tag_, neighbour);
    }
    if (right != -1) {
      int rc = readNeighbour(right, 4, node->offset, &neighbour);
      if (rc != 0) return rc;
      setLeft(neighbour, left);
      neighbour->changed = true;
      tag4cacheNode(tag_, neighbour);
    }
    TagHeader& head = index4headTag(f)->header;
    uint8_t link[kIndexUnit] = {};
    cdx4put32(link, static_cast<uint32_t>(head.freeHead));
    int rc = file4write(&f->file, node->offset, link, kIndexUnit);
    if (rc != 0) return rc;
    head.freeHead = node->offset;
    tag_->depth = level;
    tag4discardNode(tag_, node);
    return 0;
  }

  Tag* tag_;
  TreeEdit& edit_;
  const int klen_;
};

int settle(Tag* tag, int rc) {
  tag4clearStack(tag);
  return rc == kTreeChanged ? damagedTree(tag) : rc;
}

// Ends an edit: undone on failure, else the version counter moves on.
int finish(Tag* tag, TreeEdit& edit, int rc) {
  IndexFile* f = tag->indexFile;
  if (rc >= 0 && tag->ctx->errorCode < 0) rc = tag->ctx->errorCode;
  if (rc < 0) {
    edit.undo();
    return rc;
  }
  index4headTag(f)->header.version = f->version + 1;
  f->changed = true;
  const int committed = edit.commit();
  return committed < 0 ? committed : rc;
}

int writeForMark(Tag* tag) {
  if ((tag->header.options & kTagHasFor) == 0 || tag->forMarkWritten) return 0;
  const uint8_t zero = 0;
  int rc = file4write(&tag->indexFile->file, tag->headerOffset + kForMarkOffset, &zero, 1);
  if (rc == 0) tag->forMarkWritten = true;
  return rc;
}

int duplicateKey(Tag* tag) {
  return engine4error(tag->ctx, kErrUniqueKey, kLocationDuplicate, tag->name,
                      tag->indexFile->file.name);
}

// The checks of the public entry points: arguments, the context's error, and
// the index lock of a file that others may write.
int enter(Tag* tag, const char* key) {
  if (tag == nullptr || key == nullptr)
    return engine4error(tag != nullptr ? tag->ctx : nullptr, kErrNullHandle, kLocationUnlocked);
  if (tag->ctx->errorCode < 0) return kErrContextHoldsError;
  if (!tag4mayChange(tag))
    return engine4error(tag->ctx, kErrLock, kLocationUnlocked, tag->indexFile->file.name,
                        tag->name);
  return 0;
}

}  // namespace

int tag4addKey(Tag* tag, const uint8_t* key, uint32_t record, int16_t uniqueMode, bool isNull) {
  if ((tag->header.options & (kTagUnique | kTagCandidate)) == 0) uniqueMode = kUniqueNone;
  if (isNull && uniqueMode == kCandidateError) return duplicateKey(tag);
  if (isNull && uniqueMode == kCandidateReturn) return kDuplicate;
  const bool unique = uniqueMode != kUniqueNone;
  const int klen = tag4keyLength(tag);
  for (int round = 0; round < kRetries; ++round) {
    // A unique tag holds each key once: the first pair of the key tells.
    int rc = seat(tag, key, unique ? 0 : record);
    if (rc != 0) return settle(tag, rc);
    IndexNode* leaf = tag4leaf(tag);
    if (leaf->current < node4count(leaf->image) &&
        std::memcmp(node4key(leaf), key, static_cast<size_t>(klen)) == 0) {
      if (unique) {
        tag4clearStack(tag);
        if (uniqueMode == kUniqueIgnore) return kUniqueIgnore;
        if (uniqueMode == kUniqueReturn || uniqueMode == kCandidateReturn) return kDuplicate;
        return duplicateKey(tag);
      }
      if (node4decodedRecord(leaf) == record) return settle(tag, 0);  // there already
    }
    rc = writeForMark(tag);
    if (rc != 0) return settle(tag, rc);
    TreeEdit edit(tag);
    Climb climb(tag, edit);
    rc = finish(tag, edit, climb.insert(key, record));
    if (rc != kRetry) return rc;
  }
  return damagedTree(tag);
}

int tag4removeKey(Tag* tag, const uint8_t* key, uint32_t record) {
  int rc = seat(tag, key, record);
  if (rc != 0) return settle(tag, rc);
  IndexNode* leaf = tag4leaf(tag);
  if (leaf->current >= node4count(leaf->image) || node4decodedRecord(leaf) != record ||
      std::memcmp(node4key(leaf), key, static_cast<size_t>(tag4keyLength(tag))) != 0)
    return settle(tag, kNotFound);
  TreeEdit edit(tag);
  Climb climb(tag, edit);
  return finish(tag, edit, climb.remove(tag->depth - 1));
}

int order4addKey(Tag* tag, const char* key, int32_t record, int16_t uniqueMode) {
  if (int rc = enter(tag, key)) return rc;
  const auto* bytes = reinterpret_cast<const uint8_t*>(key);
  return tag4addKey(tag, bytes, static_cast<uint32_t>(record), uniqueMode,
                    tag->nullMarker && bytes[0] == 0);
}

int order4removeKey(Tag* tag, const char* key, int32_t record) {
  if (int rc = enter(tag, key)) return rc;
  return tag4removeKey(tag, reinterpret_cast<const uint8_t*>(key), static_cast<uint32_t>(record));
}
