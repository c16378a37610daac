// The bottom-up writer of a tag's tree (TagBuilder) and the header images.
//
// Keys arrive sorted. Each leaf is filled until the next key no longer fits,
// then written; its highest key goes up as an entry of the level above, and
// an interior node is written the moment it holds the most entries a node
// takes. Every node is thus written once, at the next free unit, and nothing
// is read back except the interior nodes whose right sibling was not known
// when they were written.
//
// Leaf entries follow the builder's rule: the duplicate count is the prefix
// shared with the key before, never reaching into that key's trailing pad;
// the trailing count is the key's own pad count, except for a key that
// repeats the one before completely (and under the compatibility exception,
// where no trailing counts are applied); the duplicate count never reaches
// into the key's own pad either. The first key of every leaf is stored whole.
#include "dbf/index/builder.h"

#include <cstring>

#include "dbf/core/context.h"

using namespace dbf;

namespace {

constexpr int kLocationDuplicate = 82103;
constexpr int kLocationRecordBits = 92105;
constexpr int kLocationFileSize = 92104;
constexpr int kLocationRepair = 92106;
constexpr int kLeafHeaderFree = 12;
constexpr int32_t kLargestNode = kLargestIndexFile - kIndexUnit;

int padCount(const uint8_t* key, int length, uint8_t pad) {
  int n = 0;
  while (n < length && key[length - 1 - n] == pad) ++n;
  return n;
}

int sharedPrefix(const uint8_t* a, const uint8_t* b, int limit) {
  int n = 0;
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

}  // namespace

TagBuilder::TagBuilder(EngineContext* ctx, DiskFile* file, FileSeqWriter* writer, int32_t* nextNode)
    : ctx_(ctx), file_(file), writer_(writer), nextNode_(nextNode) {}

void TagBuilder::start(const TreeRules& rules) {
  rules_ = rules;
  layout_ = leaf4widths(rules.keyLength, rules.widthCount, LeafRule::kBuilder);
  capacity_ = interior4capacity(rules.keyLength);
  top_ = 0;
  for (int j = 0; j < kMaxTreeDepth; ++j) {
    clearLevel(j);
    levels_[j].last = -1;
  }
  havePrevious_ = false;
  std::memset(previous_, rules.pad, sizeof previous_);
  previousTrailing_ = rules.keyLength;  // nothing is shared with the all-pad start
  previousRecord_ = 0;
}

void TagBuilder::clearLevel(int j) {
  Level& level = levels_[j];
  std::memset(level.image, 0, sizeof level.image);
  level.count = 0;
  if (j != 0) return;
  leaf4formatEmpty(level.image, layout_);
  free_ = kLeafEmptyFree;
  keyPosition_ = kIndexUnit;
}

void TagBuilder::lastKeyOf(int j, const uint8_t** key, uint32_t* record) const {
  if (j == 0) {
    *key = previous_;
    *record = previousRecord_;
    return;
  }
  const InteriorEntry e = interior4entry(levels_[j].image, rules_.keyLength, levels_[j].count - 1);
  *key = e.key;
  *record = e.record;
}

int TagBuilder::writeNode(int j, uint16_t attributes, int32_t right, int32_t* offset) {
  Level& level = levels_[j];
  if (*nextNode_ > kLargestNode)
    return engine4error(ctx_, kErrIndex, kLocationFileSize, rules_.fileName, rules_.name);
  *offset = *nextNode_;
  cdx4put16(level.image, attributes);
  cdx4put16(level.image + 2, static_cast<uint32_t>(level.count));
  cdx4put32(level.image + 4, static_cast<uint32_t>(level.last));
  cdx4put32(level.image + 8, static_cast<uint32_t>(right));
  if (j == 0) cdx4put16(level.image + kLeafHeaderFree, static_cast<uint32_t>(free_));
  int rc = file4seqWrite(writer_, level.image, kIndexUnit);
  if (rc != 0) return rc;
  *nextNode_ += kIndexUnit;
  level.last = *offset;
  return 0;
}

// Interior nodes that fill up, and are written, as soon as the leaf being
// closed adds its entry: they come between that leaf and the next one.
int TagBuilder::fullAncestors() const {
  int n = 0;
  for (int j = 1; j < kMaxTreeDepth && levels_[j].count == capacity_ - 1; ++j) ++n;
  return n;
}

int TagBuilder::closeNode(int j) {
  // A leaf's right sibling is the next leaf, written right after the interior
  // nodes its entry fills up. An interior node's right sibling comes after
  // many more leaves; until repairSiblings() it points at the next unit.
  const int32_t right = *nextNode_ + kIndexUnit * (1 + (j == 0 ? fullAncestors() : 0));
  const uint8_t* lastKey = nullptr;
  uint32_t lastRecord = 0;
  lastKeyOf(j, &lastKey, &lastRecord);
  uint8_t key[kMaxKeyLength];
  std::memcpy(key, lastKey, static_cast<size_t>(rules_.keyLength));
  int32_t offset = 0;
  int rc = writeNode(j, j == 0 ? kNodeLeaf : kNodeInterior, right, &offset);
  if (rc != 0) return rc;
  clearLevel(j);
  return addEntry(j + 1, key, lastRecord, offset);
}

int TagBuilder::addEntry(int j, const uint8_t* key, uint32_t record, int32_t child) {
  if (j >= kMaxTreeDepth)
    return engine4error(ctx_, kErrIndex, kLocationFileSize, rules_.fileName, rules_.name);
  Level& level = levels_[j];
  interior4put(level.image, rules_.keyLength, level.count++, key, record, child);
  if (j > top_) top_ = j;
  return level.count == capacity_ ? closeNode(j) : 0;
}

int TagBuilder::add(const char* key, uint32_t record) {
  const auto* k = reinterpret_cast<const uint8_t*>(key);
  if (rules_.unique && havePrevious_ &&
      std::memcmp(k, previous_, static_cast<size_t>(rules_.keyLength)) == 0) {
    switch (rules_.uniqueMode) {
      case kCandidateReturn:
      case kUniqueReturn:
        return kDuplicate;
      case kUniqueError:
      case kCandidateError:
        return engine4error(ctx_, kErrUniqueKey, kLocationDuplicate, rules_.name, rules_.fileName);
      default:
        return 0;  // the lowest record keeps the key
    }
  }
  return storeKey(k, record);
}

int TagBuilder::storeKey(const uint8_t* key, uint32_t record) {
  const int length = rules_.keyLength;
  if (record > layout_.recordMask)
    return engine4error(ctx_, kErrIndex, kLocationRecordBits, rules_.fileName, rules_.name);
  int trailing = rules_.trailing ? padCount(key, length, rules_.pad) : 0;
  int duplicate = sharedPrefix(previous_, key, length - previousTrailing_);
  if (duplicate == length) trailing = 0;
  if (duplicate > length - trailing) duplicate = length - trailing;
  int stored = length - duplicate - trailing;
  Level& leaf = levels_[0];
  if (leaf.count > 0 && free_ < stored + layout_.entryBytes) {
    int rc = closeNode(0);
    if (rc != 0) return rc;
    duplicate = 0;
    stored = length - trailing;
  }
  keyPosition_ -= stored;
  std::memcpy(leaf.image + keyPosition_, key + duplicate, static_cast<size_t>(stored));
  leaf4putEntry(leaf.image, layout_, leaf.count++, record, duplicate, trailing);
  free_ -= stored + layout_.entryBytes;
  std::memcpy(previous_, key, static_cast<size_t>(length));
  previousTrailing_ = trailing;
  previousRecord_ = record;
  havePrevious_ = true;
  return 0;
}

int TagBuilder::finish(int32_t* root) {
  int32_t below = -1;
  if (top_ == 0) return writeNode(0, kNodeRootLeaf, -1, root);
  int rc = writeNode(0, kNodeLeaf, -1, &below);
  // The highest key of the tree names the last node of every level.
  for (int j = 1; rc == 0 && j <= top_; ++j) {
    interior4put(levels_[j].image, rules_.keyLength, levels_[j].count++, previous_, previousRecord_,
                 below);
    rc = writeNode(j, j == top_ ? kNodeRootInterior : kNodeInterior, -1, &below);
  }
  if (rc == 0) *root = below;
  return rc;
}

int TagBuilder::repairSiblings() {
  const int32_t nodes = *nextNode_ / kIndexUnit;
  for (int j = 1; j < top_; ++j) {
    int32_t right = -1;  // the last node of a level has none
    int32_t offset = levels_[j].last;
    for (int32_t walked = 0; offset != -1; ++walked) {
      uint8_t head[12];
      if (walked > nodes || file4read(file_, offset, head, sizeof head) != sizeof head) {
        if (ctx_->errorCode < 0) return ctx_->errorCode;
        return engine4error(ctx_, kErrIndex, kLocationRepair, rules_.fileName, rules_.name);
      }
      if (node4right(head) != right) {
        uint8_t bytes[4];
        cdx4put32(bytes, static_cast<uint32_t>(right));
        int rc = file4write(file_, offset + 8, bytes, sizeof bytes);
        if (rc != 0) return rc;
      }
      right = offset;
      offset = node4left(head);
    }
  }
  return 0;
}

void header4image(uint8_t* out, const TagHeader& h, const char* keyText, const char* forText) {
  std::memset(out, 0, kIndexHeaderSize);
  cdx4put32(out, static_cast<uint32_t>(h.root));
  cdx4put32(out + 4, static_cast<uint32_t>(h.freeHead));
  cdx4put32be(out + 8, h.version);
  cdx4put16(out + 12, h.keyLength);
  out[14] = h.options;
  out[15] = h.signature;
  std::memcpy(out + 494, h.collatingName, sizeof h.collatingName);
  cdx4put16(out + 502, h.descending);
  const size_t keyLength = std::strlen(keyText) + 1;
  const size_t forLength = forText != nullptr ? std::strlen(forText) + 1 : 1;
  cdx4put16(out + 504, static_cast<uint32_t>(keyLength));
  cdx4put16(out + 506, static_cast<uint32_t>(forLength));
  cdx4put16(out + 510, static_cast<uint32_t>(keyLength));
  std::memcpy(out + kIndexUnit, keyText, keyLength);
  if (forText != nullptr) std::memcpy(out + kIndexUnit + keyLength, forText, forLength);
}
