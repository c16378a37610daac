// Inside the compound index: the codecs of the 512-byte nodes and the node
// cache of a Tag. Shared by the sources of dbf/index (and by the benchmark
// that writes its own index file); nothing else of the engine includes it.
//
// Node layout. Common header: attributes (u16 LE; 0 interior, 1 root
// interior, 2 leaf, 3 root leaf), key count (u16 LE), left and right sibling
// offsets (i32 LE, -1 none). Interior entries from byte 12: key bytes, record
// number (u32 BE), child offset (u32 BE). Leaf header from byte 12: free bytes
// (u16), record mask (u32), duplicate mask, trailing mask, record bits,
// duplicate bits, trailing bits, bytes per entry (one byte each); entries of
// B bytes from byte 24, each a little-endian bit field (record number lowest,
// then the duplicate count, then the trailing count); key bytes packed from
// byte 511 downwards, entry 0's first.
#pragma once

#include <cstdint>

#include "dbf/index/index.h"

namespace dbf {
// Internal outcome of a node read or descent: the tree does not hold together
// (changed under us, or damaged). Never returned out of the index code.
inline constexpr int kTreeChanged = 1001;
// Where entries start in a node: interior entries after the common header,
// leaf entries after the leaf header.
inline constexpr int kNodeHeader = 12;
inline constexpr int kLeafEntries = 24;
// The longest index file: node offsets are signed 32-bit and the lock byte
// sits at the top.
inline constexpr int32_t kLargestIndexFile = 0x7FFFFE00;
// An operation that needs a positioned tag found none.
inline constexpr int kNotPositioned = -950;
}  // namespace dbf

// --- byte order ---
inline uint16_t cdx4get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t cdx4get32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint32_t cdx4get32be(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline void cdx4put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void cdx4put32(uint8_t* p, uint32_t v) {
  cdx4put16(p, v);
  cdx4put16(p + 2, v >> 16);
}
inline void cdx4put32be(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// --- common node header ---
inline uint16_t node4attributes(const uint8_t* n) { return cdx4get16(n); }
inline int node4count(const uint8_t* n) { return cdx4get16(n + 2); }
inline int32_t node4left(const uint8_t* n) { return static_cast<int32_t>(cdx4get32(n + 4)); }
inline int32_t node4right(const uint8_t* n) { return static_cast<int32_t>(cdx4get32(n + 8)); }
inline bool node4isLeaf(const uint8_t* n) { return node4attributes(n) >= dbf::kNodeLeaf; }
inline bool node4isRoot(const uint8_t* n) {
  return node4attributes(n) == dbf::kNodeRootInterior || node4attributes(n) == dbf::kNodeRootLeaf;
}

// --- interior entries ---
struct InteriorEntry {
  const uint8_t* key;  // keyLength bytes
  uint32_t record;
  int32_t child;
};
// Entries an interior node of this key length holds at most.
inline int interior4capacity(int keyLength) { return dbf::kInteriorArea / (keyLength + 8); }
inline InteriorEntry interior4entry(const uint8_t* node, int keyLength, int i) {
  const uint8_t* p = node + 12 + i * (keyLength + 8);
  return {p, cdx4get32be(p + keyLength), static_cast<int32_t>(cdx4get32be(p + keyLength + 4))};
}
void interior4put(uint8_t* node, int keyLength, int i, const uint8_t* key, uint32_t record,
                  int32_t child);

// --- leaves ---
// Who formats a leaf decides its record bits: keys added one by one size it
// for the table's record count plus room to grow; the bottom-up builder sizes
// it for the record count alone (the directory tag: number of tags x 1024).
enum class LeafRule { kIncremental, kBuilder };
// Widths and masks for a key length and record count (free count 488).
LeafLayout leaf4widths(int keyLength, uint32_t recordCount, LeafRule rule);
// Writes |layout| (free count included) into the leaf header of |node|, with
// no entries; attributes, count and siblings are the caller's.
void leaf4formatEmpty(uint8_t* node, const LeafLayout& layout);
// Writes only the header fields of |layout| (bytes 12 to 23); the entries
// stay.
void leaf4putLayout(uint8_t* node, const LeafLayout& layout);
// The leaf header of |node| as stored, nothing checked.
LeafLayout leaf4fields(const uint8_t* node);
// Reads the leaf header of |node|; false when its widths cannot describe
// entries (overlapping fields, masks that do not match the bits, entries that
// do not fit the node).
bool leaf4layout(const uint8_t* node, LeafLayout* out);
// Entry |i|'s fields.
struct LeafEntry {
  uint32_t record;
  int duplicateCount;
  int trailingCount;
};
LeafEntry leaf4entry(const uint8_t* node, const LeafLayout& layout, int i);
// Packs entry |i| (the caller stores its key bytes).
void leaf4putEntry(uint8_t* node, const LeafLayout& layout, int i, uint32_t record,
                   int duplicateCount, int trailingCount);
// True when every entry of a leaf with this layout decodes inside the node:
// counts within the key length, the first key with no duplicate bytes, and
// the key bytes clear of the entry array.
bool leaf4entriesFit(const uint8_t* node, const LeafLayout& layout, int keyLength);

// The in-memory fields of the 512 bytes of a tag header, as stored (nothing
// is checked).
TagHeader header4parse(const uint8_t* header);

// Checks a node just read for a tag with this key length: attributes,
// key counts that fit, leaf widths and entries. False means damaged.
bool node4check(IndexNode* node, int keyLength);

// --- leaf cursor (on a checked leaf) ---
// Decodes entries up to |i| (restarting from entry 0 when |i| lies behind the
// last decoded one) into node->keyData; sets node->current to |i|.
void node4decodeTo(IndexNode* node, int i, int keyLength, uint8_t pad);
inline const uint8_t* node4key(const IndexNode* node) {
  return reinterpret_cast<const uint8_t*>(node->keyData) + 4;
}
uint32_t node4decodedRecord(const IndexNode* node);
// Record number of the node's last key (interior: big-endian field; leaf:
// entry bits), 0 for an empty node.
uint32_t node4lastRecord(const IndexNode* node, int keyLength);

// The byte comparison of every tag (both collations compare bytes): the
// count of equal leading bytes, or -1 as soon as a stored byte is greater.
int key4compareBytes(const uint8_t* stored, const uint8_t* search, int length);

// --- index files ---
// Room for a completed index file name (the engine's limit of 257 bytes and
// its terminating zero).
inline constexpr int kIndexNameCapacity = 258;
// The completed name of the index file |name| (CDX added when it has no
// extension), or with null that of the production index of the data file
// |dataFileName|: its length, or -1 when there is no such name.
int index4fullName(char* out, const char* name, const char* dataFileName);
// Reports the file as damaged: -310 naming it and |detail|, with |location|.
int index4damaged(IndexFile* f, int location, const char* detail);

// --- a Tag's nodes ---
inline int tag4keyLength(const Tag* tag) { return tag->header.keyLength; }
// Reports the tag's tree as damaged: -310 naming the file and the tag, with
// |location|.
int tag4damaged(Tag* tag, int location);
// The node at |offset|: a cached one of the same offset as it is, else read
// and checked. |parent| (null for the root) is the node whose current entry
// points to it: its record number must be the node's last one, and a non-root
// node must have keys. 0 with *out set; kTreeChanged when the read or the
// checks fail; a negative code (memory).
int tag4readNode(Tag* tag, int32_t offset, const IndexNode* parent, IndexNode** out);
// Pushes a node onto the tag's stack.
void tag4push(Tag* tag, IndexNode* node);
// Moves every stack node to the cache.
void tag4clearStack(Tag* tag);
// Clears the stack and drops every cached node (changed nodes are written
// first) and forgets the root offset, so that the tree is read afresh.
int tag4dropNodes(Tag* tag);
// Puts a node that left the stack into the tag's cache.
int tag4cacheNode(Tag* tag, IndexNode* node);
// Writes a changed node's image at its offset.
int node4write(Tag* tag, IndexNode* node);
// The root offset, read again from the tag header when unknown.
int tag4root(Tag* tag, int32_t* root);
// The tag's current node (top of the stack), or null.
inline IndexNode* tag4leaf(Tag* tag) {
  return tag->depth > 0 ? tag->stack[tag->depth - 1] : nullptr;
}
// Frees the nodes of a file's pool.
void index4freePool(IndexFile* f);
// A node object for a node that is new at |offset| (taken from the free list
// or the end of the file): zero image, marked changed, in no stack or cache.
// Null with -920 stored when memory runs out.
IndexNode* tag4newNode(Tag* tag, int32_t offset);
// Gives a node object back to the file's pool without writing it: its image
// is obsolete (a freed node, or one made for an edit that was undone).
void tag4discardNode(Tag* tag, IndexNode* node);
// The node object holding |offset| in the tag's stack or cache, or null.
IndexNode* tag4findNode(Tag* tag, int32_t offset);

// --- key maintenance (maintain.cpp) ---
// The tag whose header carries the free-list head and the version counter:
// the directory tag, or the only tag of a single-tag file.
inline Tag* index4headTag(IndexFile* f) { return f->directory != nullptr ? f->directory : f->tags; }
// True when keys of |tag| may be changed now: its file is locked by this
// process, or nobody else can write it (opened in mode 1 or 2).
inline bool tag4mayChange(const Tag* tag) {
  return tag->indexFile->file.mode != 0 || tag->indexFile->lockOwner != 0;
}
// order4addKey and order4removeKey without the argument and lock checks;
// |isNull| tells that the key is that of a null value (candidate modes
// refuse it).
int tag4addKey(Tag* tag, const uint8_t* key, uint32_t record, int16_t uniqueMode, bool isNull);
int tag4removeKey(Tag* tag, const uint8_t* key, uint32_t record);
