// Node codecs of the compound index: interior entries, the bit-packed leaf
// entries with their widths, the checks a node passes before anything reads
// it, and the sequential decoding of leaf keys.
#include <cstring>

#include "dbf/index/node.h"

using namespace dbf;

namespace {

int significantBits(uint32_t v) {
  int bits = 0;
  for (; v != 0; v >>= 1) ++bits;
  return bits;
}

uint64_t entryBits(const uint8_t* node, const LeafLayout& layout, int i) {
  const uint8_t* p = node + kLeafEntries + i * layout.entryBytes;
  uint64_t v = 0;
  for (int b = layout.entryBytes - 1; b >= 0; --b) v = (v << 8) | p[b];
  return v;
}

uint32_t lowMask(int bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1; }

}  // namespace

void interior4put(uint8_t* node, int keyLength, int i, const uint8_t* key, uint32_t record,
                  int32_t child) {
  uint8_t* p = node + kNodeHeader + i * (keyLength + 8);
  std::memmove(p, key, static_cast<size_t>(keyLength));
  cdx4put32be(p + keyLength, record);
  cdx4put32be(p + keyLength + 4, static_cast<uint32_t>(child));
}

LeafLayout leaf4widths(int keyLength, uint32_t recordCount, LeafRule rule) {
  const int k = significantBits(static_cast<uint32_t>(keyLength));
  int r = significantBits(recordCount);
  if (rule == LeafRule::kIncremental) r += ((-2 * k) % 8 + 8) % 8;
  if (r < 12) r = 12;
  while ((2 * k + r) % 8 != 0) ++r;
  LeafLayout l{};
  l.freeBytes = kLeafEmptyFree;
  l.recordBits = static_cast<uint8_t>(r);
  l.duplicateBits = l.trailingBits = static_cast<uint8_t>(k);
  l.recordMask = lowMask(r);
  l.duplicateMask = l.trailingMask = static_cast<uint8_t>(lowMask(k));
  l.entryBytes = static_cast<uint8_t>((2 * k + r) / 8);
  return l;
}

void leaf4putLayout(uint8_t* node, const LeafLayout& layout) {
  cdx4put16(node + 12, layout.freeBytes);
  cdx4put32(node + 14, layout.recordMask);
  node[18] = layout.duplicateMask;
  node[19] = layout.trailingMask;
  node[20] = layout.recordBits;
  node[21] = layout.duplicateBits;
  node[22] = layout.trailingBits;
  node[23] = layout.entryBytes;
}

void leaf4formatEmpty(uint8_t* node, const LeafLayout& layout) {
  std::memset(node + kNodeHeader, 0, kIndexUnit - kNodeHeader);
  leaf4putLayout(node, layout);
}

LeafLayout leaf4fields(const uint8_t* node) {
  LeafLayout l{};
  l.freeBytes = cdx4get16(node + 12);
  l.recordMask = cdx4get32(node + 14);
  l.duplicateMask = node[18];
  l.trailingMask = node[19];
  l.recordBits = node[20];
  l.duplicateBits = node[21];
  l.trailingBits = node[22];
  l.entryBytes = node[23];
  return l;
}

bool leaf4layout(const uint8_t* node, LeafLayout* out) {
  const LeafLayout l = leaf4fields(node);
  // Every field needs at least one bit, counts fit a byte, and the three
  // fields lie side by side inside one entry of at most eight bytes.
  if (l.entryBytes < 1 || l.entryBytes > 8) return false;
  if (l.recordBits < 1 || l.duplicateBits < 1 || l.duplicateBits > 8 || l.trailingBits < 1 ||
      l.trailingBits > 8)
    return false;
  if (l.recordBits + l.duplicateBits + l.trailingBits > 8 * l.entryBytes) return false;
  if (l.recordMask != lowMask(l.recordBits) || l.duplicateMask != lowMask(l.duplicateBits) ||
      l.trailingMask != lowMask(l.trailingBits))
    return false;
  *out = l;
  return true;
}

LeafEntry leaf4entry(const uint8_t* node, const LeafLayout& layout, int i) {
  const uint64_t v = entryBits(node, layout, i);
  LeafEntry e;
  e.record = static_cast<uint32_t>(v) & layout.recordMask;
  e.duplicateCount = static_cast<int>((v >> layout.recordBits) & layout.duplicateMask);
  e.trailingCount =
      static_cast<int>((v >> (layout.recordBits + layout.duplicateBits)) & layout.trailingMask);
  return e;
}

void leaf4putEntry(uint8_t* node, const LeafLayout& layout, int i, uint32_t record,
                   int duplicateCount, int trailingCount) {
  uint64_t v = record & layout.recordMask;
  v |= static_cast<uint64_t>(static_cast<uint32_t>(duplicateCount) & layout.duplicateMask)
       << layout.recordBits;
  v |= static_cast<uint64_t>(static_cast<uint32_t>(trailingCount) & layout.trailingMask)
       << (layout.recordBits + layout.duplicateBits);
  uint8_t* p = node + kLeafEntries + i * layout.entryBytes;
  for (int b = 0; b < layout.entryBytes; ++b, v >>= 8) p[b] = static_cast<uint8_t>(v);
}

bool leaf4entriesFit(const uint8_t* node, const LeafLayout& layout, int keyLength) {
  const int n = node4count(node);
  const int entriesEnd = kLeafEntries + n * layout.entryBytes;
  if (n * layout.entryBytes > kLeafEmptyFree) return false;
  int position = kIndexUnit;
  for (int i = 0; i < n; ++i) {
    const LeafEntry e = leaf4entry(node, layout, i);
    if (i == 0 && e.duplicateCount != 0) return false;
    if (e.duplicateCount + e.trailingCount > keyLength) return false;
    position -= keyLength - e.duplicateCount - e.trailingCount;
    if (position < entriesEnd) return false;
  }
  return true;
}

bool node4check(IndexNode* node, int keyLength) {
  const uint8_t* image = node->image;
  if (node4attributes(image) > kNodeRootLeaf) return false;
  const int n = node4count(image);
  if (!node4isLeaf(image)) return n >= 1 && n <= interior4capacity(keyLength);
  return leaf4layout(image, &node->layout) && leaf4entriesFit(image, node->layout, keyLength);
}

void node4decodeTo(IndexNode* node, int i, int keyLength, uint8_t pad) {
  if (node->decoded > i || node->decoded < 0) {
    node->decoded = -1;
    node->keyPosition = kIndexUnit;
  }
  auto* key = reinterpret_cast<uint8_t*>(node->keyData) + 4;
  while (node->decoded < i) {
    const int j = node->decoded + 1;
    const LeafEntry e = leaf4entry(node->image, node->layout, j);
    const int stored = keyLength - e.duplicateCount - e.trailingCount;
    node->keyPosition -= stored;
    std::memcpy(key + e.duplicateCount, node->image + node->keyPosition,
                static_cast<size_t>(stored));
    std::memset(key + keyLength - e.trailingCount, pad, static_cast<size_t>(e.trailingCount));
    std::memcpy(node->keyData, &e.record, 4);
    node->duplicateCount = e.duplicateCount;
    node->trailingCount = e.trailingCount;
    node->decoded = j;
  }
  key[keyLength] = 0;
  node->current = i;
}

uint32_t node4decodedRecord(const IndexNode* node) {
  uint32_t record;
  std::memcpy(&record, node->keyData, 4);
  return record;
}

uint32_t node4lastRecord(const IndexNode* node, int keyLength) {
  const int n = node4count(node->image);
  if (n == 0) return 0;
  if (!node4isLeaf(node->image)) return interior4entry(node->image, keyLength, n - 1).record;
  return leaf4entry(node->image, node->layout, n - 1).record;
}
