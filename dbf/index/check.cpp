// The read-only structure check of a compound index file (index4check).
//
// The file is read node by node through a window of 64 KiB, so that a tree
// written bottom-up (node after node) is read in large pieces. Every node is
// tested before anything in it is used: its offset against the file, the
// header area and the nodes already reached (a node reached twice is a cycle
// or a shared child; a node of another tree is a crossed link), its counts
// and bit widths against the node size. A node that fails is reported and not
// followed, and the walk of everything else goes on, so that one check lists
// every damaged place.
//
// Leaves are decoded twice: once to test every entry (counts, where the key
// bytes lie), then, when the leaf holds together, to rebuild its keys one by
// one for the order of the whole tag. Nothing is kept per key, so the memory
// used is that of one key and a few bytes per 512-byte unit of the file.
#include "dbf/index/check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/index/node.h"

using namespace dbf;

namespace {

constexpr int kLocationRead = 81630;
constexpr int64_t kWindow = 64 * 1024;
constexpr int kDeepest = 40;                  // levels below the root a walk follows
constexpr int64_t kAddressable = 0x80000000;  // node offsets are signed 32-bit
constexpr int32_t kNoOwner = -1;
constexpr int32_t kDirectoryOwner = -2;
constexpr uint8_t kBlank = 0x20;

int bitLength(uint32_t v) {
  int bits = 0;
  for (; v != 0; v >>= 1) ++bits;
  return bits;
}

uint64_t lowBits(int bits) { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

// Bits |start| ... |start| + |width| - 1 of a little-endian field of |size|
// bytes; a value that does not fit 32 bits comes back as UINT64_MAX, which
// every limit it is tested against refuses.
uint64_t bitsOf(const uint8_t* p, int size, int start, int width) {
  uint64_t value = 0;
  for (int b = 0; b < width; ++b) {
    const int at = start + b;
    if (at >= 8 * size) break;
    if ((p[at / 8] >> (at % 8)) & 1) {
      if (b >= 32) return ~uint64_t{0};
      value |= uint64_t{1} << b;
    }
  }
  return value;
}

bool anyBitFrom(const uint8_t* p, int size, int start) {
  for (int at = start; at < 8 * size; ++at)
    if ((p[at / 8] >> (at % 8)) & 1) return true;
  return false;
}

// One leaf entry with fields of any width (a damaged leaf may claim any).
struct WideEntry {
  uint64_t record;
  uint64_t duplicates;
  uint64_t trailing;
  bool bitsAbove;  // bits set above the trailing count
};

// The raw leaf header, before anything in it is trusted.
struct LeafFields {
  uint16_t freeBytes;
  uint32_t recordMask;
  uint8_t duplicateMask, trailingMask;
  int recordBits, duplicateBits, trailingBits, entryBytes;
  int sum() const { return recordBits + duplicateBits + trailingBits; }
};

LeafFields leafFields(const uint8_t* node) {
  const LeafLayout raw = leaf4fields(node);
  return {raw.freeBytes,  raw.recordMask,    raw.duplicateMask, raw.trailingMask,
          raw.recordBits, raw.duplicateBits, raw.trailingBits,  raw.entryBytes};
}

// Entry |i| of a leaf whose widths passed the hard limits (1 to 32 record
// bits, entries no narrower than their fields, inside the node). Usual widths
// go through the engine's own decoder; others bit by bit.
WideEntry wideEntry(const uint8_t* node, const LeafFields& l, int i) {
  const int size = l.entryBytes;
  const uint8_t* p = node + kLeafEntries + i * size;
  WideEntry e{};
  if (l.duplicateBits <= 8 && l.trailingBits <= 8 && size <= 8) {
    LeafLayout layout{};
    layout.recordBits = static_cast<uint8_t>(l.recordBits);
    layout.duplicateBits = static_cast<uint8_t>(l.duplicateBits);
    layout.trailingBits = static_cast<uint8_t>(l.trailingBits);
    layout.entryBytes = static_cast<uint8_t>(size);
    layout.recordMask = static_cast<uint32_t>(lowBits(l.recordBits));
    layout.duplicateMask = static_cast<uint8_t>(lowBits(l.duplicateBits));
    layout.trailingMask = static_cast<uint8_t>(lowBits(l.trailingBits));
    const LeafEntry decoded = leaf4entry(node, layout, i);
    e.record = decoded.record;
    e.duplicates = static_cast<uint64_t>(decoded.duplicateCount);
    e.trailing = static_cast<uint64_t>(decoded.trailingCount);
  } else {
    e.record = bitsOf(p, size, 0, l.recordBits);
    e.duplicates = bitsOf(p, size, l.recordBits, l.duplicateBits);
    e.trailing = bitsOf(p, size, l.recordBits + l.duplicateBits, l.trailingBits);
  }
  e.bitsAbove = anyBitFrom(p, size, l.sum());
  return e;
}

bool isGeneral(const TagHeader& h) { return std::memcmp(h.collatingName, "GENERAL", 8) == 0; }
bool isMachine(const TagHeader& h) {
  return std::memcmp(h.collatingName, "\0\0\0\0\0\0\0\0", 8) == 0;
}

// A key for messages: its text when it is printable (trailing blanks cut),
// else its bytes in hexadecimal.
void describeKey(const uint8_t* key, int length, char* out, size_t capacity) {
  int n = length;
  while (n > 0 && key[n - 1] == kBlank) --n;
  bool text = true;
  for (int i = 0; i < n; ++i)
    if (key[i] < 0x20 || key[i] > 0x7E) text = false;
  if (text) {
    std::snprintf(out, capacity, "'%.*s'", n > 60 ? 60 : n, reinterpret_cast<const char*>(key));
    return;
  }
  size_t at = 0;
  for (int i = 0; i < length && i < 32 && at + 3 < capacity; ++i)
    at += static_cast<size_t>(std::snprintf(out + at, capacity - at, "%02X", key[i]));
  if (length > 32 && at + 4 < capacity) std::snprintf(out + at, capacity - at, "...");
}

// The name index4open gives the tag of a single-tag file: the file's name.
void singleTagName(const char* file, char* name) {
  const char* base = file != nullptr ? file : "";
  for (const char* p = base; *p != 0; ++p)
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
  size_t i = 0;
  for (; i < kTagNameLength && base[i] != 0 && base[i] != '.'; ++i) name[i] = base[i];
  name[i] = 0;
}

// An offset for messages: 0x1A00, or the number itself when it is negative.
struct OffsetText {
  char text[24];
};
OffsetText offsetText(int64_t v) {
  OffsetText t;
  if (v < 0)
    std::snprintf(t.text, sizeof t.text, "%lld", static_cast<long long>(v));
  else
    std::snprintf(t.text, sizeof t.text, "0x%llX", static_cast<unsigned long long>(v));
  return t;
}

// Reads nodes through an aligned window; headers are read directly.
class NodeReader {
 public:
  NodeReader(DiskFile* f, int64_t length) : f_(f), length_(length) {}

  // The 512 bytes at |offset| (inside the file), or null after a failed
  // read (the code is then in the context).
  const uint8_t* node(int64_t offset) {
    if (offset < start_ || offset + kIndexUnit > start_ + static_cast<int64_t>(window_.size())) {
      const int64_t start = offset - offset % kWindow;
      const int64_t size = std::min(kWindow, length_ - start);
      window_.resize(static_cast<size_t>(size));
      start_ = start;
      if (!read(start, window_.data(), static_cast<uint32_t>(size))) {
        start_ = -1;
        window_.clear();
        return nullptr;
      }
    }
    return window_.data() + (offset - start_);
  }

  // |n| bytes at |pos|; what lies beyond the end of the file reads as zeros.
  bool readPadded(int64_t pos, uint8_t* out, uint32_t n) {
    std::memset(out, 0, n);
    if (pos >= length_) return true;
    return read(pos, out, static_cast<uint32_t>(std::min<int64_t>(n, length_ - pos)));
  }

 private:
  bool read(int64_t pos, uint8_t* out, uint32_t n) {
    if (file4read(f_, pos, out, n) == n) return true;
    if (f_->ctx->errorCode >= 0)
      engine4error(f_->ctx, kErrRead, kLocationRead, f_->name, "index4check");
    return false;
  }

  DiskFile* f_;
  int64_t length_;
  int64_t start_ = -1;
  std::vector<uint8_t> window_;
};

// The last (highest) key and record of a subtree.
struct LastKey {
  std::vector<uint8_t> key;
  uint32_t record = 0;
};

enum class Subtree {
  kLost,   // the node could not be read or decoded: nothing is known of it
  kEmpty,  // no keys below it
  kKeys,   // keys below it; LastKey holds the last
};

// A leaf entry that passed its checks.
struct LeafSlot {
  uint32_t record;
  int duplicates;
  int trailing;
};

struct LevelNode {
  int32_t offset, left, right;
};

// A directory entry, reduced to what the checks need.
struct DirectoryEntry {
  char name[11];
  bool blankName, leadingBlank, unprintable, lowerCase;
  uint32_t record;
};

class Checker {
 public:
  Checker(DiskFile* f, const IndexCheckHooks* hooks, int64_t length)
      : f_(f), hooks_(hooks), length_(length), reader_(f, length) {
    const int64_t reach = std::min(length, kAddressable);
    units_ = static_cast<size_t>((reach + kIndexUnit - 1) / kIndexUnit);
    owner_.assign(units_, kNoOwner);
    header_.assign(units_, 0);
    stamp_.assign(units_, 0);
  }

  int run(IndexCheckSummary* summary);

 private:
  // --- reporting ---
  void problem(int32_t node, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  bool failed() const { return f_->ctx->errorCode < 0; }

  // --- headers ---
  bool checkDirectoryHeader(IndexCheckTag* d);
  bool checkTagHeader(IndexCheckTag* tag, const uint8_t* h, const uint8_t* area, bool atZero);
  bool readTagHeader(IndexCheckTag* tag);
  void checkExpressions(IndexCheckTag* tag, const uint8_t* area);

  // --- trees ---
  int64_t walkTree(IndexCheckTag* tag, uint8_t pad, bool unique, bool final);
  Subtree walk(int64_t offset, int depth, int32_t parent, int entry, LastKey* last);
  bool nodeUsable(int64_t offset, int32_t parent, int entry);
  Subtree walkInterior(const uint8_t* node, int32_t at, int depth, LastKey* last);
  Subtree walkLeaf(const uint8_t* node, int32_t at, bool root, LastKey* last);
  bool leafWidthsUsable(const LeafFields& l, int32_t at);
  bool readEntries(const uint8_t* node, const LeafFields& l, int n, int32_t at);
  void rebuildKeys(const uint8_t* node, int32_t at);
  int compareTail(const uint8_t* before, const uint8_t* tail, int bytes, int trailing) const;
  bool outOfOrder(int order, uint32_t record) const {
    return havePrevious_ && (order < 0 || (order == 0 && (record <= previousRecord_ || unique_)));
  }
  void nextKey(const uint8_t* key, uint32_t record, int order, int32_t at);
  void checkSiblings();
  uint8_t choosePad(IndexCheckTag* tag, bool unique);
  void claimNodes(int32_t owner);

  // --- the directory and the free list ---
  void collectDirectoryKey(const uint8_t* key, uint32_t record);
  void checkDirectoryEntries(std::vector<IndexCheckTag>* tags);
  void checkFreeList(int32_t head, IndexCheckSummary* summary);

  bool inHeader(int64_t offset) const {
    return offset >= 0 && static_cast<size_t>(offset / kIndexUnit) < units_ &&
           header_[static_cast<size_t>(offset / kIndexUnit)] != 0;
  }

  DiskFile* f_;
  const IndexCheckHooks* hooks_;
  int64_t length_;
  NodeReader reader_;
  size_t units_;
  std::vector<int32_t> owner_;   // per 512-byte unit: the tree that holds it
  std::vector<uint8_t> header_;  // per unit: part of a header
  std::vector<uint32_t> stamp_;  // per unit: the walk that reached it last
  uint32_t pass_ = 0;
  int64_t problems_ = 0;
  int64_t muted_ = 0;  // problems of trial walks, counted only
  bool quiet_ = false;

  // The tree being walked.
  IndexCheckTag* tag_ = nullptr;
  int32_t tagOwner_ = kNoOwner;
  int keyLength_ = 0;
  int capacity_ = 0;
  int keyBits_ = 0;
  uint8_t pad_ = kBlank;
  bool unique_ = false;
  bool final_ = false;
  int leafDepth_ = -1;
  std::vector<std::vector<LevelNode>> levels_;
  std::vector<int32_t> reached_;
  std::vector<uint8_t> current_;   // the key being rebuilt in a leaf
  std::vector<uint8_t> previous_;  // the last key of the leaf before
  std::vector<uint8_t> earlier_;   // the key before one that is out of order
  uint32_t previousRecord_ = 0;
  bool havePrevious_ = false;
  std::vector<LeafSlot> entries_;  // of the leaf being read

  // The directory's entries, at most one per header the file has room for.
  std::vector<DirectoryEntry> directory_;
  bool directoryOverflow_ = false;
};

void Checker::problem(int32_t node, const char* fmt, ...) {
  if (quiet_) {
    ++muted_;
    return;
  }
  ++problems_;
  char text[640];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  hooks_->problem(hooks_->user, tag_, node, text);
}

// --- headers ---

bool Checker::checkDirectoryHeader(IndexCheckTag* d) {
  uint8_t h[kIndexHeaderSize];
  if (!reader_.readPadded(0, h, kIndexHeaderSize)) return false;
  d->header = header4parse(h);
  const TagHeader& t = d->header;
  if (t.signature != 1) problem(-1, "the signature (byte 15) is %u, not 1", t.signature);
  if ((t.options & kTagCompound) == 0) {
    // A single-tag file: the header at 0 is the tag, named after the file.
    d->directory = false;
    singleTagName(f_->name, d->name);
    checkTagHeader(d, h, h + kIndexUnit, true);
    return true;
  }
  if (t.options != (kTagDirectory | kTagCompound | kTagCompact))
    problem(-1, "the options are 0x%02X, not 0xE0", t.options);
  if (t.keyLength != kTagNameLength) problem(-1, "the key length is %u, not 10", t.keyLength);
  if (!isMachine(t)) problem(-1, "it names a collating sequence");
  if (t.descending != 0) problem(-1, "the descending flag is %u, not 0", t.descending);
  if (t.keyExpressionLength504 != 1 || t.forExpressionLength != 1 || t.reserved508 != 0 ||
      t.keyExpressionLength != 1)
    problem(-1, "the lengths at bytes 504 to 511 are %u, %u, %u, %u, not 1, 1, 0, 1",
            t.keyExpressionLength504, t.forExpressionLength, t.reserved508, t.keyExpressionLength);
  if (t.freeHead < 0) problem(-1, "the head of the free-node list is %d", t.freeHead);
  d->headerSound = true;
  return true;
}

void Checker::checkExpressions(IndexCheckTag* tag, const uint8_t* area) {
  const TagHeader& t = tag->header;
  const int keyLength = t.keyExpressionLength;
  if (keyLength < 2 || keyLength > 255) {
    problem(-1, "the key expression length (byte 510) is %d; it must be 2 to 255", keyLength);
    return;
  }
  if (area[keyLength - 1] != 0 || std::memchr(area, 0, static_cast<size_t>(keyLength - 1)))
    problem(-1, "the key expression is not %d characters and a zero byte", keyLength - 1);
  std::snprintf(tag->keyExpression, sizeof tag->keyExpression, "%.*s", keyLength - 1,
                reinterpret_cast<const char*>(area));
  if ((t.options & kTagHasFor) == 0) {
    if (t.forExpressionLength != 1)
      problem(-1, "the FOR expression length (byte 506) is %u without a FOR expression",
              t.forExpressionLength);
    return;
  }
  const int forLength = t.forExpressionLength;
  if (forLength < 2 || forLength > 255) {
    problem(-1, "the options say FOR, but the FOR expression length (byte 506) is %d", forLength);
    return;
  }
  const uint8_t* text = area + keyLength;
  if (keyLength + forLength > kIndexUnit || text[forLength - 1] != 0 ||
      std::memchr(text, 0, static_cast<size_t>(forLength - 1))) {
    problem(-1,
            "the FOR expression is not %d characters and a zero byte after the key "
            "expression",
            forLength - 1);
  }
  const int room = std::min(forLength - 1, kIndexUnit - keyLength);
  std::snprintf(tag->forExpression, sizeof tag->forExpression, "%.*s", room,
                reinterpret_cast<const char*>(text));
}

// The checks of an ordinary tag header; |atZero|: the header of a single-tag
// file, which also carries the free-list head and the version counter.
bool Checker::checkTagHeader(IndexCheckTag* tag, const uint8_t* h, const uint8_t* area,
                             bool atZero) {
  tag->header = header4parse(h);
  const TagHeader& t = tag->header;
  if (!atZero) {
    if (t.signature != 1) problem(-1, "the signature (byte 15) is %u, not 1", t.signature);
    if (t.freeHead != 0) problem(-1, "the free-list field (byte 4) is %d, not 0", t.freeHead);
    if (t.version != 0) problem(-1, "the version field (byte 8) is %u, not 0", t.version);
  }
  const uint8_t allowed =
      static_cast<uint8_t>(kTagUnique | kTagCandidate | kTagHasFor | kTagCompact | kTagCompound |
                           (atZero ? kTagDirectory : 0));
  if ((t.options & ~allowed) != 0)
    problem(-1, "the options 0x%02X have bits that no tag has", t.options);
  if ((t.options & kTagCompact) == 0) problem(-1, "the options 0x%02X lack 0x20", t.options);
  if (!atZero && (t.options & kTagCompound) == 0)
    problem(-1, "the options 0x%02X lack 0x40", t.options);
  if ((t.options & (kTagUnique | kTagCandidate)) == (kTagUnique | kTagCandidate))
    problem(-1, "the options make the tag both unique and candidate");
  if (!isGeneral(t) && !isMachine(t))
    problem(-1, "the collating sequence is neither GENERAL nor machine order");
  if (t.descending > 1) problem(-1, "the descending flag (byte 502) is %u", t.descending);
  if (t.keyLength < 1 || t.keyLength > kMaxKeyLength) {
    problem(-1, "the key length is %u; it must be 1 to %d", t.keyLength, kMaxKeyLength);
    return false;
  }
  if (t.reserved508 != 0) problem(-1, "bytes 508 and 509 hold %u, not 0", t.reserved508);
  if (t.keyExpressionLength504 != t.keyExpressionLength)
    problem(-1, "byte 504 holds %u, but the key expression length (byte 510) is %u",
            t.keyExpressionLength504, t.keyExpressionLength);
  checkExpressions(tag, area);
  tag->headerSound = true;
  return true;
}

bool Checker::readTagHeader(IndexCheckTag* tag) {
  const int64_t at = tag->headerOffset;
  if (at + kIndexHeaderSize > length_)
    problem(-1, "the expression area of the header at 0x%llX lies beyond the end of the file",
            static_cast<unsigned long long>(at));
  uint8_t h[kIndexHeaderSize];
  if (!reader_.readPadded(at, h, kIndexHeaderSize)) return false;
  checkTagHeader(tag, h, h + kIndexUnit, false);
  return true;
}

// --- trees ---

// The checks of an offset before the node there is read: 512-byte units
// inside the file, outside the headers, in no other tree, not reached twice.
bool Checker::nodeUsable(int64_t offset, int32_t parent, int entry) {
  char what[32];
  if (parent < 0)
    std::snprintf(what, sizeof what, "the root offset");
  else
    std::snprintf(what, sizeof what, "entry %d", entry);
  const OffsetText text = offsetText(offset);
  const char* at = text.text;
  if (offset > 0 && offset % kIndexUnit == 0 && offset < kAddressable &&
      offset + kIndexUnit <= length_ && stamp_[static_cast<size_t>(offset / kIndexUnit)] == pass_) {
    problem(parent, "%s leads to node %s a second time (a cycle or a shared child)", what, at);
    return false;
  }
  if (offset <= 0 || offset % kIndexUnit != 0) {
    problem(parent, "%s %s is not a positive multiple of 512", what, at);
    return false;
  }
  if (offset + kIndexUnit > length_) {
    problem(parent, "%s %s lies beyond the end of the file", what, at);
    return false;
  }
  if (inHeader(offset)) {
    problem(parent, "%s %s lies in a header", what, at);
    return false;
  }
  const int32_t holder = owner_[static_cast<size_t>(offset / kIndexUnit)];
  if (holder != kNoOwner && holder != tagOwner_) {
    problem(parent, "%s %s leads into the tree of %s", what, at,
            holder == kDirectoryOwner ? "the directory" : "another tag");
    return false;
  }
  return true;
}

Subtree Checker::walk(int64_t offset, int depth, int32_t parent, int entry, LastKey* last) {
  if (!nodeUsable(offset, parent, entry)) return Subtree::kLost;
  const auto at = static_cast<int32_t>(offset);
  stamp_[static_cast<size_t>(offset / kIndexUnit)] = pass_;
  reached_.push_back(at);
  const uint8_t* node = reader_.node(offset);
  if (node == nullptr) return Subtree::kLost;
  if (levels_.size() <= static_cast<size_t>(depth)) levels_.resize(static_cast<size_t>(depth) + 1);
  levels_[static_cast<size_t>(depth)].push_back({at, node4left(node), node4right(node)});
  const uint16_t attributes = node4attributes(node);
  const bool root = parent < 0;
  if (attributes > kNodeRootLeaf) {
    problem(at, "the attributes are %u, not 0 to 3", attributes);
    return Subtree::kLost;
  }
  if (root && !node4isRoot(node))
    problem(at, "the root node has attributes %u, not 1 or 3", attributes);
  if (!root && node4isRoot(node))
    problem(at, "a node below the root has attributes %u, not 0 or 2", attributes);
  if (depth > kDeepest) {
    problem(at, "the tree is deeper than %d levels", kDeepest);
    return Subtree::kLost;
  }
  if (!node4isLeaf(node)) return walkInterior(node, at, depth, last);
  if (leafDepth_ < 0) {
    leafDepth_ = depth;
  } else if (leafDepth_ != depth) {
    problem(at, "a leaf at depth %d, where the other leaves are at depth %d", depth, leafDepth_);
  }
  return walkLeaf(node, at, root, last);
}

Subtree Checker::walkInterior(const uint8_t* image, int32_t at, int depth, LastKey* last) {
  // The node's bytes stay valid only until the next read: keep a copy.
  const std::vector<uint8_t> node(image, image + kIndexUnit);
  int n = node4count(node.data());
  if (n == 0) {
    problem(at, "an interior node with no entries");
    return Subtree::kLost;
  }
  if (n > capacity_) {
    problem(at, "%d entries, more than an interior node of key length %d holds (%d)", n, keyLength_,
            capacity_);
    n = capacity_;
  }
  char a[160], b[160];
  for (int i = 1; i < n; ++i) {
    const InteriorEntry x = interior4entry(node.data(), keyLength_, i - 1);
    const InteriorEntry y = interior4entry(node.data(), keyLength_, i);
    const int c = std::memcmp(x.key, y.key, static_cast<size_t>(keyLength_));
    if (c > 0 || (c == 0 && y.record <= x.record)) {
      describeKey(x.key, keyLength_, a, sizeof a);
      describeKey(y.key, keyLength_, b, sizeof b);
      problem(at, "entries %d and %d are out of order: %s record %u, then %s record %u", i - 1, i,
              a, x.record, b, y.record);
    }
  }
  Subtree result = Subtree::kEmpty;
  LastKey child;
  for (int i = 0; i < n && !failed(); ++i) {
    const InteriorEntry e = interior4entry(node.data(), keyLength_, i);
    const Subtree below = walk(e.child, depth + 1, at, i, &child);
    if (below == Subtree::kLost) continue;
    if (below == Subtree::kEmpty) {
      problem(at, "entry %d leads to a subtree without keys", i);
      continue;
    }
    if (std::memcmp(child.key.data(), e.key, static_cast<size_t>(keyLength_)) != 0 ||
        child.record != e.record) {
      describeKey(e.key, keyLength_, a, sizeof a);
      describeKey(child.key.data(), keyLength_, b, sizeof b);
      problem(at, "entry %d says %s record %u, but the last key below it is %s record %u", i, a,
              e.record, b, child.record);
    }
    *last = child;
    result = Subtree::kKeys;
  }
  return result;
}

// The hard limits of a leaf's widths, past which its entries cannot be read;
// softer faults are reported and the entries read all the same.
bool Checker::leafWidthsUsable(const LeafFields& l, int32_t at) {
  bool usable = true;
  if (l.duplicateBits != keyBits_ || l.trailingBits != keyBits_)
    problem(at, "%d duplicate and %d trailing bits; key length %d needs %d of each",
            l.duplicateBits, l.trailingBits, keyLength_, keyBits_);
  if (l.duplicateMask != lowBits(l.duplicateBits) || l.trailingMask != lowBits(l.trailingBits))
    problem(at, "the duplicate and trailing masks 0x%X and 0x%X do not match their bits",
            l.duplicateMask, l.trailingMask);
  if (l.recordBits < 12 || l.recordBits > 32) {
    problem(at, "%d record bits, not 12 to 32", l.recordBits);
    if (l.recordBits > 32 || l.recordBits == 0) usable = false;
  }
  if (l.sum() % 8 != 0) problem(at, "the entry fields take %d bits, not whole bytes", l.sum());
  if (l.entryBytes * 8 != l.sum()) {
    problem(at, "%d bytes per entry for fields of %d bits", l.entryBytes, l.sum());
    if (l.entryBytes * 8 < l.sum() || l.entryBytes == 0) usable = false;
  }
  if (l.recordBits <= 32 && l.recordMask != lowBits(l.recordBits))
    problem(at, "the record mask 0x%08X is not the lowest %d bits", l.recordMask, l.recordBits);
  return usable;
}

Subtree Checker::walkLeaf(const uint8_t* node, int32_t at, bool root, LastKey* last) {
  const LeafFields l = leafFields(node);
  const int n = node4count(node);
  bool usable = leafWidthsUsable(l, at);
  if (n * l.entryBytes > kLeafEmptyFree) {
    problem(at, "%d entries of %d bytes do not fit a leaf", n, l.entryBytes);
    usable = false;
  }
  if (n == 0 && !root) problem(at, "a leaf with no keys below the root");
  if (!usable) return Subtree::kLost;
  if (n == 0) {
    if (l.freeBytes != kLeafEmptyFree)
      problem(at, "an empty leaf with a free count of %u, not %d", l.freeBytes, kLeafEmptyFree);
    return Subtree::kEmpty;
  }
  if (!readEntries(node, l, n, at)) return Subtree::kLost;
  rebuildKeys(node, at);
  last->key = current_;
  last->record = entries_.back().record;
  return Subtree::kKeys;
}

// The entries of a leaf into entries_: counts within the key length, key
// bytes clear of the entry array, the free count they leave. False when the
// entries do not hold together (the leaf then gives no keys).
bool Checker::readEntries(const uint8_t* node, const LeafFields& l, int n, int32_t at) {
  const int arrayEnd = kLeafEntries + n * l.entryBytes;
  int position = kIndexUnit;
  int64_t stored = 0;
  entries_.clear();
  for (int i = 0; i < n; ++i) {
    const WideEntry e = wideEntry(node, l, i);
    if (e.bitsAbove) problem(at, "entry %d has bits set above its trailing count", i);
    uint64_t duplicates = e.duplicates;
    if (i == 0 && duplicates != 0) {
      problem(at, "the first entry repeats %llu bytes of a key before it",
              static_cast<unsigned long long>(duplicates));
      duplicates = 0;
    }
    const auto length = static_cast<uint64_t>(keyLength_);
    if (duplicates > length || e.trailing > length || duplicates + e.trailing > length) {
      problem(at, "entry %d repeats %llu and cuts %llu bytes of a %d-byte key", i,
              static_cast<unsigned long long>(duplicates),
              static_cast<unsigned long long>(e.trailing), keyLength_);
      return false;
    }
    const int bytes = keyLength_ - static_cast<int>(duplicates + e.trailing);
    position -= bytes;
    stored += bytes;
    if (position < arrayEnd) {
      problem(at, "the key bytes of entry %d reach into the entry array", i);
      return false;
    }
    if (e.record == 0) problem(at, "entry %d has record number 0", i);
    entries_.push_back({static_cast<uint32_t>(e.record), static_cast<int>(duplicates),
                        static_cast<int>(e.trailing)});
  }
  const int64_t expectedFree = kLeafEmptyFree - int64_t{n} * l.entryBytes - stored;
  if (l.freeBytes != expectedFree)
    problem(at, "the free count is %u; the entries leave %lld", l.freeBytes,
            static_cast<long long>(expectedFree));
  return true;
}

// The keys of entries_, one after the other, each built over the one before
// in current_: its order against that one shows in the bytes that change.
void Checker::rebuildKeys(const uint8_t* node, int32_t at) {
  int position = kIndexUnit;
  uint8_t* key = current_.data();
  for (size_t i = 0; i < entries_.size() && !failed(); ++i) {
    const LeafSlot& e = entries_[i];
    const int bytes = keyLength_ - e.duplicates - e.trailing;
    position -= bytes;
    const uint8_t* part = node + position;
    const uint8_t* before = i > 0 ? key : previous_.data();
    const int order = compareTail(before + e.duplicates, part, bytes, e.trailing);
    if (outOfOrder(order, e.record)) std::memcpy(earlier_.data(), before, previous_.size());
    std::memcpy(key + e.duplicates, part, static_cast<size_t>(bytes));
    std::memset(key + keyLength_ - e.trailing, pad_, static_cast<size_t>(e.trailing));
    nextKey(key, e.record, order, at);
  }
  std::memcpy(previous_.data(), key, previous_.size());
}

// The order of a key against the one before it: -1, 0 or 1 for a key below,
// equal to or above it. |tail| is what follows the bytes both share: |bytes|
// stored bytes, then |trailing| pad bytes.
int Checker::compareTail(const uint8_t* before, const uint8_t* tail, int bytes,
                         int trailing) const {
  const int c = std::memcmp(tail, before, static_cast<size_t>(bytes));
  if (c != 0) return c < 0 ? -1 : 1;
  for (int i = 0; i < trailing; ++i)
    if (before[bytes + i] != pad_) return pad_ < before[bytes + i] ? -1 : 1;
  return 0;
}

// The order of the whole tag: ascending keys, equal keys by ascending record
// number, none equal in a unique tag. |order| is that of |key| against the
// key before it, which the caller kept in earlier_ when the two are out of
// order.
void Checker::nextKey(const uint8_t* key, uint32_t record, int order, int32_t at) {
  if (outOfOrder(order, record)) {
    char a[160], b[160];
    describeKey(earlier_.data(), keyLength_, a, sizeof a);
    describeKey(key, keyLength_, b, sizeof b);
    if (order < 0)
      problem(at, "the keys are out of order: %s record %u, then %s record %u", a, previousRecord_,
              b, record);
    if (order == 0 && record <= previousRecord_)
      problem(at, "equal keys %s are not in record order: record %u, then record %u", b,
              previousRecord_, record);
    if (order == 0 && unique_)
      problem(at, "the key %s is held twice (records %u and %u) in a tag of unique keys", b,
              previousRecord_, record);
  }
  previousRecord_ = record;
  havePrevious_ = true;
  if (!final_) return;
  ++tag_->keys;
  if (tag_->directory)
    collectDirectoryKey(key, record);
  else if (hooks_->key != nullptr)
    hooks_->key(hooks_->user, tag_, key, record);
}

// The chains of every level: each node's left and right siblings are its
// neighbours on that level, in key order.
void Checker::checkSiblings() {
  for (size_t depth = 0; depth < levels_.size(); ++depth) {
    const std::vector<LevelNode>& level = levels_[depth];
    for (size_t i = 0; i < level.size(); ++i) {
      const int32_t left = i > 0 ? level[i - 1].offset : -1;
      const int32_t right = i + 1 < level.size() ? level[i + 1].offset : -1;
      if (level[i].left != left)
        problem(level[i].offset, "the left sibling is %s, not %s", offsetText(level[i].left).text,
                offsetText(left).text);
      if (level[i].right != right)
        problem(level[i].offset, "the right sibling is %s, not %s", offsetText(level[i].right).text,
                offsetText(right).text);
    }
  }
}

// One walk of a tree with a pad byte; the problems it found. Only the final
// walk reports them, counts keys and hands them out.
int64_t Checker::walkTree(IndexCheckTag* tag, uint8_t pad, bool unique, bool final) {
  const int64_t before = problems_ + muted_;
  tag_ = tag;
  keyLength_ = tag->header.keyLength;
  capacity_ = keyLength_ + 8 <= kInteriorArea ? interior4capacity(keyLength_) : 0;
  keyBits_ = bitLength(static_cast<uint32_t>(keyLength_));
  pad_ = pad;
  unique_ = unique;
  final_ = final;
  quiet_ = !final;
  leafDepth_ = -1;
  levels_.clear();
  reached_.clear();
  current_.assign(static_cast<size_t>(keyLength_), pad);
  previous_.assign(static_cast<size_t>(keyLength_), 0);
  earlier_.assign(static_cast<size_t>(keyLength_), 0);
  havePrevious_ = false;
  if (final) tag->keys = 0;
  ++pass_;
  LastKey last;
  walk(tag->header.root, 0, -1, 0, &last);
  checkSiblings();
  if (final) {
    tag->pad = pad;
    tag->levels = static_cast<int32_t>(levels_.size());
    tag->nodes = static_cast<int32_t>(reached_.size());
  }
  quiet_ = false;
  return problems_ + muted_ - before;
}

// The pad byte of a tag: the caller's, zero under GENERAL, else the one
// that makes fewer problems (a blank when both make as many).
uint8_t Checker::choosePad(IndexCheckTag* tag, bool unique) {
  const int told = hooks_->pad != nullptr ? hooks_->pad(hooks_->user, tag) : -1;
  if (told == kBlank || told == 0) return static_cast<uint8_t>(told);
  if (isGeneral(tag->header)) return 0;
  const int64_t blank = walkTree(tag, kBlank, unique, false);
  const int64_t zero = walkTree(tag, 0, unique, false);
  return zero < blank ? 0 : kBlank;
}

void Checker::claimNodes(int32_t owner) {
  for (int32_t at : reached_) {
    int32_t& holder = owner_[static_cast<size_t>(at / kIndexUnit)];
    if (holder == kNoOwner) holder = owner;
  }
}

// --- the directory ---

void Checker::collectDirectoryKey(const uint8_t* key, uint32_t record) {
  // More names than the file has room for headers cannot all be right, and
  // the entries past that room are reported as one problem.
  if (directory_.size() > static_cast<size_t>(length_ / kIndexHeaderSize)) {
    directoryOverflow_ = true;
    return;
  }
  DirectoryEntry e{};
  int n = keyLength_;
  while (n > 0 && key[n - 1] == kBlank) --n;
  e.blankName = n == 0;
  e.leadingBlank = n > 0 && key[0] == kBlank;
  for (int i = 0; i < n; ++i) {
    if (key[i] < 0x21 || key[i] > 0x7E) e.unprintable = true;
    if (key[i] >= 'a' && key[i] <= 'z') e.lowerCase = true;
  }
  for (int i = 0; i < n && i < 10; ++i)
    e.name[i] = static_cast<char>(key[i] >= 0x20 && key[i] <= 0x7E ? key[i] : '?');
  e.record = record;
  directory_.push_back(e);
}

// Turns the directory's entries into the tags to check, reporting names and
// header offsets that cannot be right; marks the headers' units.
void Checker::checkDirectoryEntries(std::vector<IndexCheckTag>* tags) {
  if (directoryOverflow_)
    problem(-1, "the directory names more tags than the file has room for headers");
  std::vector<uint8_t> headerStart(units_, 0);
  for (const DirectoryEntry& e : directory_) {
    if (e.blankName || e.leadingBlank || e.unprintable)
      problem(-1, "the tag name '%s' is not a printable name padded with blanks", e.name);
    if (e.lowerCase) problem(-1, "the tag name '%s' is not in upper case", e.name);
    const int64_t at = e.record;
    if (at % kIndexHeaderSize != 0 || at < kIndexHeaderSize) {
      problem(-1, "tag %s: its header offset 0x%llX is not a positive multiple of 1024", e.name,
              static_cast<long long>(at));
      if (at < kIndexHeaderSize || at % kIndexUnit != 0) continue;
    }
    if (at + kIndexUnit > length_) {
      problem(-1, "tag %s: its header offset 0x%llX lies beyond the end of the file", e.name,
              static_cast<long long>(at));
      continue;
    }
    if (at >= kAddressable) {
      problem(-1, "tag %s: its header offset 0x%llX lies beyond what an index file reaches", e.name,
              static_cast<long long>(at));
      continue;
    }
    uint8_t& taken = headerStart[static_cast<size_t>(at / kIndexUnit)];
    if (taken != 0) {
      problem(-1, "tag %s: another tag has its header at 0x%llX too", e.name,
              static_cast<long long>(at));
      continue;
    }
    taken = 1;
    IndexCheckTag tag{};
    std::memcpy(tag.name, e.name, sizeof tag.name);
    tag.headerOffset = static_cast<int32_t>(at);
    tags->push_back(tag);
  }
  // Distinct offsets, each a multiple of 1024 from 1024 to 1024 x tags: the
  // headers lie one after the other.
  bool expected = true;
  for (const IndexCheckTag& t : *tags) {
    const int64_t i = t.headerOffset / kIndexHeaderSize;
    if (t.headerOffset % kIndexHeaderSize != 0 || i < 1 || i > static_cast<int64_t>(tags->size()))
      expected = false;
  }
  if (!expected)
    problem(-1, "the %lu tag headers do not lie at 1024, 2048, ... one after the other",
            static_cast<unsigned long>(tags->size()));
  for (const IndexCheckTag& t : *tags) {
    for (int64_t u = t.headerOffset / kIndexUnit; u < t.headerOffset / kIndexUnit + 2; ++u)
      if (static_cast<size_t>(u) < units_) header_[static_cast<size_t>(u)] = 1;
  }
}

// --- the free-node list ---

void Checker::checkFreeList(int32_t head, IndexCheckSummary* summary) {
  tag_ = nullptr;
  std::vector<uint8_t> onList(units_, 0);
  int64_t at = head > 0 ? head : 0;
  int64_t after = 0;  // the node before, 0 for the head
  while (at != 0 && !failed()) {
    const OffsetText here = offsetText(at);
    const OffsetText before = offsetText(after);
    if (at > 0 && at % kIndexUnit == 0 && static_cast<size_t>(at / kIndexUnit) < units_ &&
        onList[static_cast<size_t>(at / kIndexUnit)]) {
      problem(-1, "the free-node list runs in a cycle (node %s again after %s)", here.text,
              before.text);
      break;
    }
    if (at < 0 || at % kIndexUnit != 0) {
      problem(-1, "the free-node list leads to %s (after %s), not a multiple of 512", here.text,
              before.text);
      break;
    }
    if (at >= length_) break;  // the engine ends the list there
    if (at + kIndexUnit > length_) {
      problem(-1, "the free node %s is cut off by the end of the file", here.text);
      break;
    }
    const auto unit = static_cast<size_t>(at / kIndexUnit);
    if (inHeader(at)) {
      problem(-1, "the free-node list leads into a header at %s", here.text);
      break;
    }
    if (owner_[unit] != kNoOwner)
      problem(-1, "node %s is on the free-node list and in the tree of %s", here.text,
              owner_[unit] == kDirectoryOwner ? "the directory" : "a tag");
    onList[unit] = 1;
    ++summary->freeNodes;
    const uint8_t* node = reader_.node(at);
    if (node == nullptr) return;
    after = at;
    at = static_cast<int32_t>(cdx4get32(node));
  }
  const auto whole = static_cast<size_t>(std::min(length_, kAddressable) / kIndexUnit);
  for (size_t u = 0; u < whole; ++u) {
    if (owner_[u] != kNoOwner) ++summary->nodes;
    if (!header_[u] && owner_[u] == kNoOwner && !onList[u]) ++summary->unusedNodes;
  }
}

int Checker::run(IndexCheckSummary* summary) {
  summary->fileLength = length_;
  if (length_ % kIndexUnit != 0)
    problem(-1, "the file is %lld bytes long, not a multiple of 512",
            static_cast<long long>(length_));
  if (length_ < kIndexHeaderSize) {
    problem(-1, "the file is %lld bytes long, too short for the directory header",
            static_cast<long long>(length_));
    return failed() ? f_->ctx->errorCode : 0;
  }
  header_[0] = header_[1] = 1;
  IndexCheckTag directory{};
  directory.directory = true;
  tag_ = &directory;
  if (!checkDirectoryHeader(&directory)) return f_->ctx->errorCode;
  std::vector<IndexCheckTag> tags;
  if ((directory.header.options & kTagCompound) != 0) {
    tagOwner_ = kDirectoryOwner;
    walkTree(&directory, kBlank, true, true);
    claimNodes(kDirectoryOwner);
    std::vector<int32_t> directoryNodes = reached_;
    tag_ = &directory;
    checkDirectoryEntries(&tags);
    for (int32_t at : directoryNodes)
      if (at != 0 && at != kIndexUnit && inHeader(at))
        problem(at, "a node of the directory lies in a tag header");
  } else {
    // A single-tag file: the header at 0 is the tag.
    if (!directory.headerSound) {
      summary->problems = problems_;
      return failed() ? f_->ctx->errorCode : (problems_ > 0 ? 1 : 0);
    }
    tags.push_back(directory);
  }
  summary->tags = static_cast<int32_t>(tags.size());
  for (size_t i = 0; i < tags.size() && !failed(); ++i) {
    IndexCheckTag& tag = tags[i];
    tag_ = &tag;
    if (tag.headerOffset != 0 && !readTagHeader(&tag)) break;
    if (tag.headerSound) {
      tagOwner_ = static_cast<int32_t>(i);
      const bool unique = (tag.header.options & (kTagUnique | kTagCandidate)) != 0;
      walkTree(&tag, choosePad(&tag, unique), unique, true);
      claimNodes(tagOwner_);
      summary->keys += tag.keys;
    }
    if (hooks_->tagDone != nullptr && !failed()) hooks_->tagDone(hooks_->user, &tag);
  }
  if (!failed()) checkFreeList(directory.header.freeHead, summary);
  summary->problems = problems_;
  if (failed()) return f_->ctx->errorCode;
  return problems_ > 0 ? 1 : 0;
}

}  // namespace

int index4check(DiskFile* f, const IndexCheckHooks* hooks, IndexCheckSummary* summary) {
  if (f == nullptr || hooks == nullptr || hooks->problem == nullptr || f->ctx == nullptr)
    return engine4error(f != nullptr ? f->ctx : nullptr, kErrNullHandle, kLocationRead);
  if (f->ctx->errorCode < 0) return kErrContextHoldsError;
  IndexCheckSummary local{};
  IndexCheckSummary* out = summary != nullptr ? summary : &local;
  *out = IndexCheckSummary{};
  const int64_t length = file4length(f);
  if (length < 0) return static_cast<int>(length);
  Checker checker(f, hooks, length);
  return checker.run(out);
}
