// Creating compound index files and rebuilding them from their table.
//
// Tags are never built key by key here: every tag is rebuilt from scratch.
// All records of the table are read in file order (deleted ones included),
// each record's key (when it passes the tag's FOR expression) goes with its
// record number into the external sort (sorter.h), and the sorted stream is
// written bottom-up: full leaves and interior levels, each node written once,
// in the order it fills, straight after the one before.
//
// Contracts:
//   index4create (t, name, tags)  creates |name| (extension CDX) or, with no
//                                 name, the production index of |t| (the data
//                                 file's name with extension CDX; the data file
//                                 must be open exclusively, else -20 at 81306),
//                                 with one tag per TagDescription up to the
//                                 first null name, builds every tag and gives
//                                 |t| a handle on the file. A name already open
//                                 for the data file is -1420 (81703); a data
//                                 file lock that cannot be had is -50 (85309);
//                                 an existing file is the create's refusal
//                                 (-20, or the silent 60). Descriptions are
//                                 checked before anything is written: -350 at
//                                 85301 (unique mode), 85302 (descending flag),
//                                 85303 (no key expression), 85304 (expression
//                                 or filter of 255 characters or more), 85305
//                                 (a tag name that is empty or not printable),
//                                 85306 (a key longer than a node can hold, or
//                                 a filter that is not logical); the compiler's
//                                 codes for expressions that do not compile.
//                                 A duplicate key under unique mode 15 or 20
//                                 leaves 20 in the context. On any failure the
//                                 new file is removed again and null returned.
//                                 The production index sets bit 0x01 of byte 28
//                                 of the data file's header.
//   index4reindex (h)             rebuilds every tag of the file under the
//                                 data file lock, the memo lock and the index
//                                 locks (they stay held, as after a pack), with
//                                 the unique mode of each of the Table's tag
//                                 handles: 0; 20 when a unique or candidate tag
//                                 met a duplicate under mode 15 or 20; -340
//                                 (82103, the tag name) under modes -340 and
//                                 -360; other modes keep the lowest record of
//                                 each key. Rebuilding the same records twice
//                                 gives the same node area byte for byte. The
//                                 Table is left without a current record. A
//                                 rebuild that stops part way (a failure, 20,
//                                 or the process killed) leaves the headers and
//                                 the directory readable but trees that a
//                                 further rebuild must repair.
#pragma once

#include <cstdint>

#include "dbf/index/index.h"

namespace dbf {
inline constexpr int kErrTagDescription = -350;  // a TagDescription that makes no tag
inline constexpr int16_t kTagDescending = 10;    // TagDescription::descending
}  // namespace dbf

// One tag of an index to create; a list ends with an entry whose name is null.
struct TagDescription {
  const char* name;        // at most 10 characters (longer names are cut), any case
  const char* expression;  // key expression, at most 254 characters
  const char* filter;      // FOR expression, or null (an empty text counts as none)
  int16_t unique;          // 0, 15, 20, 25, -340 or -360 (unique modes)
  int16_t descending;      // 0 ascending, 10 descending
};

IndexHandle* index4create(Table* t, const char* name, const TagDescription* tags);
int index4reindex(IndexHandle* h);
