// A read-only check of the whole structure of a compound index file
// (index4check), for tools that look after tables after a crash.
//
// The check reads the file through a DiskFile and trusts none of its bytes:
// every offset is tested against the file before it is followed, every walk
// is bounded (a node reached twice is a cycle; trees are at most 40 levels
// deep), and a node that cannot be decoded is reported and not followed. It
// writes nothing and takes no lock; a caller that needs a consistent view
// holds the table's file lock while it runs.
//
// What is checked:
// - the file: whole 512-byte units, room for the directory header;
// - the directory header (options, key length, lengths, free-list head) and
//   the directory tree: tag names (printable, upper case, blank padded,
//   unique, ascending) and header offsets (1024 x i for i = 1 ... tags);
// - each tag header: options, signature, collating name, descending flag, key
//   length, the expression lengths and the texts they describe, zero free and
//   version fields;
// - each tree: every node inside the file, outside the header area and in no
//   other tree; attributes (root 1 or 3, others 0 or 2); all leaves at one
//   depth; interior nodes with 1 to floor(500 / (key length + 8)) entries in
//   ascending (key, record) order, each equal to the last key and record of
//   its child; leaves with duplicate and trailing bits equal to the bits of
//   the key length, masks that match the bits, 12 to 32 record bits, whole
//   entry bytes, counts within the key length, key bytes clear of the entry
//   array, the exact free count, no record number 0, no empty leaf but the
//   root;
// - the sibling chains of every level, the key order of the whole tag
//   (ascending bytes, equal keys in ascending record order) and no equal keys
//   in a unique or candidate tag;
// - the free-node list: aligned, inside the file, outside headers and trees,
//   no cycle.
// Not counted as problems: bytes in areas nobody reads, nodes that are in no
// tree and not on the free list (lost space only), and a free list that runs
// past the end of the file (the engine ends it there).
//
// Keys are rebuilt with the pad byte of their tag: a blank for character keys
// in machine order, zero for every other key. Only the table knows a key
// expression's type; the caller tells it through the pad hook, or leaves the
// check to take the pad byte that makes fewer problems.
#pragma once

#include <cstdint>

#include "dbf/index/index.h"

// One tag as the check found it. The directory tag has |directory| set and no
// name; a single-tag file's tag is named after the file, as index4open names
// it.
struct IndexCheckTag {
  char name[11];
  bool directory;
  int32_t headerOffset;
  TagHeader header;         // as stored
  char keyExpression[256];  // "" when the header does not hold a readable one
  char forExpression[256];  // "" when the tag has none
  bool headerSound;         // the header could be read: its tree was walked
  uint8_t pad;              // the pad byte its keys were rebuilt with
  int64_t keys;             // keys of the leaves that could be decoded
  int32_t levels;           // 1 for a root leaf; 0 when the tree was not walked
  int32_t nodes;            // nodes reached
};

// Where the findings go. Only |problem| is required.
struct IndexCheckHooks {
  void* user;
  // One problem: |tag| is null for the file as a whole (its length, the
  // free-node list), |node| the offset of the node concerned or -1.
  void (*problem)(void* user, const IndexCheckTag* tag, int32_t node, const char* text);
  // The pad byte of |tag|'s keys (0x20 or 0), or -1 when it is not known.
  int (*pad)(void* user, const IndexCheckTag* tag);
  // Every key of an ordinary tag in tree order (ascending bytes), with its
  // record number; keys of leaves that could not be decoded are left out.
  void (*key)(void* user, const IndexCheckTag* tag, const uint8_t* key, uint32_t record);
  // An ordinary tag is done (its counts are final); also for a tag whose
  // header could not be read.
  void (*tagDone)(void* user, const IndexCheckTag* tag);
};

struct IndexCheckSummary {
  int32_t tags;  // tags the directory names with a usable header offset
  int64_t keys;  // in the ordinary tags
  int64_t problems;
  int32_t nodes;        // in trees, the directory's included
  int32_t freeNodes;    // on the free-node list
  int32_t unusedNodes;  // neither in a tree nor on the free list
  int64_t fileLength;
};

// Checks the index file open in |f| and reports every problem through
// |hooks|. 0 when the file is sound, 1 when problems were reported; a
// negative code when the file could not be read (the code is stored in the
// context; -1410 when it already held one). |summary| may be null.
int index4check(DiskFile* f, const IndexCheckHooks* hooks, IndexCheckSummary* summary);
