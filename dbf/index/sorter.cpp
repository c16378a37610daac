// The engine's external sort (KeySorter): fixed-size chunks of items addressed
// through one pointer array, sorted runs spooled to one temporary file, and a
// merge of the runs through one read buffer per run.
//
// Memory never exceeds the chunks that fit the pointer array (plus the run
// buffers carved from the same amount while merging), so an index build over
// millions of records runs in the few hundred kilobytes the context's chunk
// setting allows; the spool file takes the rest.
#include "dbf/index/sorter.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "dbf/core/context.h"

using namespace dbf;

// One spooled run while merging: its window in the read buffer and where the
// rest of it lies in the spool file.
struct SortRun {
  char* buffer;
  int32_t position;   // items of the window already handed out
  int32_t inBuffer;   // items in the window
  int64_t filePos;    // next byte of the run in the spool file
  int64_t remaining;  // items of the run not yet read into the window
};

namespace {

constexpr int kChunkOverhead = 8;  // a chunk is the setting less 8 bytes

bool holdsError(const KeySorter* s) { return s->ctx->errorCode < 0; }

int32_t recordOf(const char* item, int32_t keyLength) {
  int32_t rec;
  memcpy(&rec, item + keyLength, sizeof rec);
  return rec;
}

uint64_t leadingBytes(const char* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

// Key bytes first, then the record number: the order of every tag. Most
// keys differ in their first eight bytes, which compare as one number.
bool itemLess(const char* a, const char* b, int32_t keyLength) {
  int c;
  if (keyLength >= 8) {
    const uint64_t x = leadingBytes(a), y = leadingBytes(b);
    if (x != y) return x < y;
    c = memcmp(a + 8, b + 8, static_cast<size_t>(keyLength - 8));
  } else {
    c = memcmp(a, b, static_cast<size_t>(keyLength));
  }
  if (c != 0) return c < 0;
  return recordOf(a, keyLength) < recordOf(b, keyLength);
}

int32_t itemsPerChunk(const KeySorter* s) {
  return (s->ctx->sortChunkSize - kChunkOverhead) / s->itemSize;
}

// The slot for the next item, taking memory as needed: the next block left
// from an earlier run, a new chunk while the pointer array has room, or,
// when no chunk can be had, the unused tail of the pointer array itself.
// Null when the memory is full and must be spooled.
char* nextSlot(KeySorter* s) {
  if (s->itemCount >= s->pointerCapacity) return nullptr;
  if (s->freeInBlock > 0) return s->nextFree;
  if (!s->mayGrow) return nullptr;
  if (s->chunkCount == s->chunkCapacity) {
    s->mayGrow = false;
    return nullptr;
  }
  const int32_t perChunk = itemsPerChunk(s);
  char* chunk =
      static_cast<char*>(heap4alloc(s->ctx, static_cast<unsigned>(perChunk * s->itemSize)));
  if (chunk != nullptr) {
    s->chunks[s->chunkCount++] = chunk;
    s->nextFree = chunk;
    s->freeInBlock = perChunk;
    s->itemCapacity += perChunk;
    return chunk;
  }
  // n more items need n pointers and n item slots out of the unused pointers.
  s->mayGrow = false;
  const int64_t unusedBytes =
      static_cast<int64_t>(s->pointerCapacity - s->itemCount) * sizeof(char*);
  const int32_t n =
      static_cast<int32_t>(unusedBytes / (s->itemSize + static_cast<int64_t>(sizeof(char*))));
  if (n == 0) return nullptr;
  s->pointerCapacity = s->itemCount + n;
  s->nextFree = reinterpret_cast<char*>(s->items + s->pointerCapacity);
  s->freeInBlock = n;
  s->itemCapacity += n;
  return s->nextFree;
}

// Starts the memory afresh after a spool: the blocks already taken are reused
// in the order they were taken.
void rewindMemory(KeySorter* s) {
  s->itemCount = 0;
  s->nextFree = s->chunks[0];
  s->freeInBlock = itemsPerChunk(s);
}

// After the first chunk fills, items continue in the next existing block.
void advanceBlock(KeySorter* s) {
  const int32_t perChunk = itemsPerChunk(s);
  int32_t used = s->itemCount;
  for (int32_t i = 0; i < s->chunkCount; i++) {
    if (used < perChunk) {
      s->nextFree = s->chunks[i] + static_cast<int64_t>(used) * s->itemSize;
      s->freeInBlock = perChunk - used;
      return;
    }
    used -= perChunk;
  }
  // The rest lies in the converted tail of the pointer array, if any.
  const int32_t tailItems = s->itemCapacity - s->chunkCount * perChunk;
  if (tailItems > used) {
    s->nextFree = reinterpret_cast<char*>(s->items + s->pointerCapacity) +
                  static_cast<int64_t>(used) * s->itemSize;
    s->freeInBlock = tailItems - used;
    return;
  }
  s->freeInBlock = 0;
}

void sortMemory(KeySorter* s) {
  const int32_t keyLength = s->keyLength;
  std::sort(s->items, s->items + s->itemCount,
            [keyLength](const char* a, const char* b) { return itemLess(a, b, keyLength); });
}

int rememberRun(KeySorter* s, int64_t items) {
  if (s->runCount == s->runListCapacity) {
    const int32_t grown = s->runListCapacity == 0 ? 16 : s->runListCapacity * 2;
    auto* list =
        static_cast<int64_t*>(heap4alloc(s->ctx, static_cast<unsigned>(grown * sizeof(int64_t))));
    if (list == nullptr) return engine4error(s->ctx, kErrMemory, 91902);
    if (s->runItems != nullptr) {
      memcpy(list, s->runItems, static_cast<size_t>(s->runCount) * sizeof(int64_t));
      heap4free(s->ctx, s->runItems);
    }
    s->runItems = list;
    s->runListCapacity = grown;
  }
  s->runItems[s->runCount++] = items;
  return kOk;
}

// Sorts the items in memory and appends them to the spool file as one run.
int spool(KeySorter* s) {
  if (s->runCount == 0) {
    int rc = file4temp(&s->spool, s->ctx, true);
    if (rc != kOk) return rc;
    const uint32_t size = static_cast<uint32_t>(std::max(1024, s->ctx->sortSpoolBufferSize));
    s->writerBuffer = static_cast<char*>(heap4alloc(s->ctx, size));
    if (s->writerBuffer == nullptr) return engine4error(s->ctx, kErrMemory, 91902);
    file4seqWriteInit(&s->writer, &s->spool, 0, s->writerBuffer, size);
  }
  sortMemory(s);
  for (int32_t i = 0; i < s->itemCount; i++) {
    int rc = file4seqWrite(&s->writer, s->items[i], static_cast<uint32_t>(s->itemSize));
    if (rc != kOk) return rc;
  }
  int rc = rememberRun(s, s->itemCount);
  if (rc != kOk) return rc;
  rewindMemory(s);
  return kOk;
}

void freeItemMemory(KeySorter* s) {
  for (int32_t i = 0; i < s->chunkCount; i++) heap4free(s->ctx, s->chunks[i]);
  heap4free(s->ctx, s->chunks);
  heap4free(s->ctx, s->items);
  s->chunks = nullptr;
  s->items = nullptr;
  s->chunkCount = 0;
  s->itemCount = 0;
}

// Refills a run's window from the spool file.
int fillRun(KeySorter* s, SortRun* run, int32_t windowItems) {
  const int64_t n = std::min<int64_t>(windowItems, run->remaining);
  const uint32_t bytes = static_cast<uint32_t>(n * s->itemSize);
  const uint32_t got = file4read(&s->spool, run->filePos, run->buffer, bytes);
  if (holdsError(s)) return s->ctx->errorCode;
  if (got != bytes) return engine4error(s->ctx, kErrRead, 91908, s->spool.name);
  run->filePos += bytes;
  run->remaining -= n;
  run->position = 0;
  run->inBuffer = static_cast<int32_t>(n);
  return kOk;
}

const char* currentItem(const KeySorter* s, const SortRun& run) {
  return run.buffer + static_cast<int64_t>(run.position) * s->itemSize;
}

bool runLess(const KeySorter* s, const SortRun& a, const SortRun& b) {
  return itemLess(currentItem(s, a), currentItem(s, b), s->keyLength);
}

int32_t windowItems(const KeySorter* s) {
  return s->runCount == 0 ? 0 : static_cast<int32_t>(s->windowBytes / s->itemSize);
}

// Sets up the merge: one window per run, carved from one block as large as the
// item memory that was just given back.
int startMerge(KeySorter* s, int64_t memoryBytes) {
  const int64_t perRun = memoryBytes / s->runCount / s->itemSize;
  if (perRun < 1) return engine4error(s->ctx, kErrMemory, 91904);
  s->windowBytes = perRun * s->itemSize;
  s->runs = static_cast<SortRun*>(
      heap4alloc(s->ctx, static_cast<unsigned>(s->runCount * sizeof(SortRun))));
  s->runMemory =
      static_cast<char*>(heap4alloc(s->ctx, static_cast<unsigned>(s->windowBytes * s->runCount)));
  if (s->runs == nullptr || s->runMemory == nullptr) return engine4error(s->ctx, kErrMemory, 91904);
  int64_t filePos = 0;
  s->liveRuns = 0;
  for (int32_t i = 0; i < s->runCount; i++) {
    SortRun& run = s->runs[s->liveRuns];
    run.buffer = s->runMemory + static_cast<int64_t>(i) * s->windowBytes;
    run.filePos = filePos;
    run.remaining = s->runItems[i];
    filePos += s->runItems[i] * s->itemSize;
    if (run.remaining == 0) continue;
    int rc = fillRun(s, &run, windowItems(s));
    if (rc != kOk) return rc;
    s->liveRuns++;
  }
  std::sort(s->runs, s->runs + s->liveRuns,
            [s](const SortRun& a, const SortRun& b) { return runLess(s, a, b); });
  s->merging = true;
  return kOk;
}

// Moves past the first run's current item and puts the run back in order.
int advanceFirstRun(KeySorter* s) {
  SortRun& first = s->runs[0];
  if (++first.position == first.inBuffer) {
    if (first.remaining == 0) {
      s->liveRuns--;
      memmove(s->runs, s->runs + 1, static_cast<size_t>(s->liveRuns) * sizeof(SortRun));
      return kOk;
    }
    int rc = fillRun(s, &first, windowItems(s));
    if (rc != kOk) return rc;
  }
  // Binary search among the others for the first run not below this one.
  int32_t lo = 1, hi = s->liveRuns;
  while (lo < hi) {
    const int32_t mid = (lo + hi) / 2;
    if (runLess(s, s->runs[mid], first)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo > 1) {
    const SortRun moved = first;
    memmove(s->runs, s->runs + 1, static_cast<size_t>(lo - 1) * sizeof(SortRun));
    s->runs[lo - 1] = moved;
  }
  return kOk;
}

void handOut(const KeySorter* s, const char* item, int32_t* rec, const char** key,
             const char** extra) {
  *rec = recordOf(item, s->keyLength);
  *key = item;
  if (extra != nullptr) *extra = item + s->keyLength + 4;
}

}  // namespace

int sorter4init(KeySorter* s, EngineContext* ctx, int32_t keyLength, int32_t extraLength) {
  if (s == nullptr || ctx == nullptr) return engine4error(ctx, kErrNullHandle, 91901);
  *s = KeySorter{};
  s->ctx = ctx;
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  s->keyLength = keyLength;
  s->extraLength = extraLength;
  s->itemSize = keyLength + 4 + extraLength;
  const int32_t chunkSize = ctx->sortChunkSize;
  if (keyLength < 0 || extraLength < 0 || chunkSize <= kChunkOverhead + s->itemSize) {
    return engine4error(ctx, kErrParameter, 91901);
  }
  s->pointerCapacity = chunkSize / 4;
  s->chunkCapacity = s->pointerCapacity / itemsPerChunk(s) + 1;
  s->items = static_cast<char**>(
      heap4alloc(ctx, static_cast<unsigned>(s->pointerCapacity * sizeof(char*))));
  s->chunks =
      static_cast<char**>(heap4alloc(ctx, static_cast<unsigned>(s->chunkCapacity * sizeof(char*))));
  s->mayGrow = true;
  if (s->items == nullptr || s->chunks == nullptr || nextSlot(s) == nullptr) {
    sorter4free(s);
    return engine4error(ctx, kErrMemory, 91902);
  }
  return kOk;
}

int sorter4put(KeySorter* s, int32_t recordNumber, const void* key, const void* extra) {
  if (holdsError(s)) return kErrContextHoldsError;
  char* slot = nextSlot(s);
  if (slot == nullptr) {
    int rc = spool(s);
    if (rc != kOk) return rc;
    slot = s->nextFree;
  }
  memcpy(slot, key, static_cast<size_t>(s->keyLength));
  memcpy(slot + s->keyLength, &recordNumber, sizeof recordNumber);
  if (s->extraLength > 0)
    memcpy(slot + s->keyLength + 4, extra, static_cast<size_t>(s->extraLength));
  s->items[s->itemCount++] = slot;
  s->nextFree += s->itemSize;
  if (--s->freeInBlock == 0) advanceBlock(s);
  return kOk;
}

int sorter4getInit(KeySorter* s) {
  if (holdsError(s)) return kErrContextHoldsError;
  s->reading = true;
  if (s->runCount == 0) {
    sortMemory(s);
    s->handedOut = 0;
    return kOk;
  }
  if (s->itemCount > 0) {
    int rc = spool(s);
    if (rc != kOk) return rc;
  }
  int rc = file4seqWriteFlush(&s->writer);
  if (rc != kOk) return rc;
  const int64_t memoryBytes = static_cast<int64_t>(s->chunkCount) * itemsPerChunk(s) * s->itemSize +
                              static_cast<int64_t>(s->pointerCapacity) * sizeof(char*);
  freeItemMemory(s);
  heap4free(s->ctx, s->writerBuffer);
  s->writerBuffer = nullptr;
  return startMerge(s, memoryBytes);
}

int sorter4get(KeySorter* s, int32_t* recordNumber, const char** key, const char** extra) {
  if (holdsError(s)) return kErrContextHoldsError;
  if (!s->reading) return engine4error(s->ctx, kErrParameter, 91906);
  if (!s->merging) {
    if (s->handedOut == s->itemCount) {
      sorter4free(s);
      return 1;
    }
    handOut(s, s->items[s->handedOut++], recordNumber, key, extra);
    return kOk;
  }
  // The item handed out last stays valid until now: only then is its run
  // moved on, which may refill the window it lies in.
  if (s->advancePending) {
    s->advancePending = false;
    int rc = advanceFirstRun(s);
    if (rc != kOk) return rc;
  }
  if (s->liveRuns == 0) {
    sorter4free(s);
    return 1;
  }
  handOut(s, currentItem(s, s->runs[0]), recordNumber, key, extra);
  s->advancePending = true;
  return kOk;
}

void sorter4free(KeySorter* s) {
  if (s == nullptr || s->ctx == nullptr) return;
  EngineContext* ctx = s->ctx;
  freeItemMemory(s);
  heap4free(ctx, s->runItems);
  heap4free(ctx, s->runs);
  heap4free(ctx, s->runMemory);
  heap4free(ctx, s->writerBuffer);
  if (s->spool.isOpen) file4close(&s->spool);
  *s = KeySorter{};
}
