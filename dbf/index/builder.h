// Inside the compound index: the bottom-up writer of one tag's tree from keys
// that arrive in (key, record number) order, and the 1024-byte header images.
// Shared by creation and rebuild (dbf/index/create.cpp, reindex.cpp).
//
// Nodes are written through the caller's sequential writer in the order they
// fill: a leaf when the next key no longer fits, an interior node when it
// holds the most entries a node takes, the nodes still open when the keys
// end, the root last. Each node goes at *nextNode, which then moves on by 512.
// Left siblings and the right siblings of leaves are known as the nodes are
// written; interior nodes get their right sibling in repairSiblings(), which
// reads them back once the writer has been flushed.
#pragma once

#include <cstdint>

#include "dbf/core/file.h"
#include "dbf/index/node.h"

// How the keys of one tree are stored.
struct TreeRules {
  int keyLength;
  uint8_t pad;           // byte that trailing counts stand for
  bool trailing;         // false: trailing counts are not applied (compatibility 26)
  bool unique;           // options 0x01 or 0x04: equal keys are duplicates
  int16_t uniqueMode;    // what a duplicate does (only when unique)
  uint32_t widthCount;   // record count the leaf widths are sized for
  const char* name;      // tag name for reports
  const char* fileName;  // index file name for reports
};

class TagBuilder {
 public:
  TagBuilder(EngineContext* ctx, DiskFile* file, FileSeqWriter* writer, int32_t* nextNode);

  // Starts an empty tree.
  void start(const TreeRules& rules);
  // Appends the next key (keyLength bytes, not below the previous one). 0;
  // 20 for a duplicate under unique modes 15 and 20 (the build must end);
  // -340 reported (location 82103) under -340 and -360; a write error.
  int add(const char* key, uint32_t record);
  // Writes the nodes still open; *root receives the root's offset.
  int finish(int32_t* root);
  // After the writer was flushed: sets the right sibling of every interior
  // node below the root. 0 or a read or write error.
  int repairSiblings();

 private:
  struct Level {
    uint8_t image[dbf::kIndexUnit];
    int count;
    int32_t last;  // the node written last on this level (the next one's left), -1
  };

  void clearLevel(int j);
  void lastKeyOf(int j, const uint8_t** key, uint32_t* record) const;
  int writeNode(int j, uint16_t attributes, int32_t right, int32_t* offset);
  int closeNode(int j);
  int addEntry(int j, const uint8_t* key, uint32_t record, int32_t child);
  int storeKey(const uint8_t* key, uint32_t record);
  int fullAncestors() const;

  EngineContext* ctx_;
  DiskFile* file_;
  FileSeqWriter* writer_;
  int32_t* nextNode_;
  TreeRules rules_{};
  LeafLayout layout_{};
  int capacity_ = 0;  // entries of an interior node
  int top_ = 0;       // highest level that holds entries
  // Leaf being filled: free count, where its next key bytes go, and the key
  // before (with its trailing count and record).
  int free_ = 0;
  int keyPosition_ = 0;
  bool havePrevious_ = false;
  uint8_t previous_[dbf::kMaxKeyLength] = {};
  int previousTrailing_ = 0;
  uint32_t previousRecord_ = 0;
  Level levels_[dbf::kMaxTreeDepth];
};

// The 1024 bytes of a tag header (or the directory header): the first 16
// bytes from |h| (the version big-endian), the collating name, the descending
// flag and the four expression lengths taken from the texts (|forText| null
// when the tag has no FOR expression), then the expression area.
void header4image(uint8_t* out, const TagHeader& h, const char* keyText, const char* forText);
