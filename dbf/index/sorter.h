// KeySorter: the engine's external sort of (key, record number) items.
//
// Index builds put one item per record, then read them back in key order,
// ties broken by record number. Items live in fixed-size chunks of the
// context's sortChunkSize (61440 bytes by default) addressed through one
// pointer array of sortChunkSize / 4 entries, so memory stays bounded however
// many items arrive: when the memory is full, its items are sorted and
// spooled as one run to a temporary file, and reading merges the runs.
//
// Usage: sorter4init, sorter4put for every item, sorter4getInit once, then
// sorter4get until it returns 1 (which frees the sorter and deletes the spool
// file). sorter4free releases a sorter at any point.
#pragma once

#include <cstdint>

#include "dbf/core/file.h"

struct EngineContext;

struct SortRun;

struct KeySorter {
  EngineContext* ctx;
  int32_t keyLength;    // bytes compared
  int32_t extraLength;  // bytes carried behind the record number
  int32_t itemSize;     // keyLength + 4 + extraLength

  // Item memory: chunks, and one pointer per item in them.
  char** chunks;
  int32_t chunkCount;
  int32_t chunkCapacity;  // entries of |chunks|
  char** items;           // pointer array; its unused tail may become item memory
  int32_t pointerCapacity;
  int32_t itemCount;
  int32_t itemCapacity;  // items the current memory can hold
  char* nextFree;        // next unused item slot in the newest memory block
  int32_t freeInBlock;   // items left in that block
  bool mayGrow;

  // Spooled runs: item counts of each run, in spool file order.
  int32_t runCount;
  int32_t runListCapacity;
  int64_t* runItems;
  DiskFile spool;
  FileSeqWriter writer;
  char* writerBuffer;

  // Reading back.
  int32_t handedOut;  // in-memory mode: next index of |items|
  SortRun* runs;      // merge: live runs, sorted by their current item
  int32_t liveRuns;
  char* runMemory;
  int64_t windowBytes;  // read buffer of each run
  bool advancePending;  // the first run's current item was handed out
  bool merging;
  bool reading;
};

// Prepares an empty sorter. 0, or -920 (location 91902) when the first chunk
// cannot be had, -930 for impossible lengths; -1410 while the context holds
// an error.
int sorter4init(KeySorter* s, EngineContext* ctx, int32_t keyLength, int32_t extraLength);
// Adds one item; |extra| may be null when extraLength is 0. 0 or a negative
// code (a failed spool write).
int sorter4put(KeySorter* s, int32_t recordNumber, const void* key, const void* extra);
// Ends the input and prepares reading: 0, -920 (location 91904) when no run
// buffer of at least one item per run can be had, or a spool error.
int sorter4getInit(KeySorter* s);
// The next item in (key, record number) order: 0 with the three outputs set
// (valid until the next call), 1 when all items were handed out (the sorter is
// then freed), or a negative code (-70, location 91908, for a spool read that
// is not a whole number of items). |extra| may be null.
int sorter4get(KeySorter* s, int32_t* recordNumber, const char** key, const char** extra);
// Releases everything the sorter holds and deletes its spool file.
void sorter4free(KeySorter* s);
