// MemoryPool: the engine's allocator of fixed-size units.
//
// Engine objects that come and go often (Tables, DataFiles, record-lock
// entries, index blocks) are taken from pools instead of the heap. Pools are
// process-wide: a pool that is not private is shared by every caller asking
// for the same unit size, across contexts and threads. The registry and every
// pool are guarded by one process-wide critical section
// (engine4criticalSection() in context.h).
//
// A pool grows by chunks: the first holds |startCount| units, later ones
// |expandCount| units. Units are never returned to the system before the pool
// is released by its last user. The operations themselves are declared in
// context.h (pool4create, pool4alloc, pool4free, pool4release).
#pragma once

#include <cstddef>
#include <cstdint>

struct PoolChunk;

struct MemoryPool {
  MemoryPool* next;     // registry list of pools in use, or the descriptor free list
  uint32_t unitSize;    // bytes per unit, at least 8, rounded up to the alignment
  int32_t startCount;   // units of the first chunk
  int32_t expandCount;  // units of each later chunk
  int32_t users;        // pool4create calls not yet released
  bool isPrivate;       // never shared with another caller
  PoolChunk* chunks;    // chunks allocated, newest first
  void* freeUnits;      // units ready to hand out, linked through their first bytes
  int32_t chunkCount;   // for tests and diagnostics
  int32_t unitsInUse;
};

// Alignment of every unit (and of the chunk link in front of the units).
inline constexpr uint32_t kPoolAlignment = alignof(std::max_align_t);

// Number of pools currently in the registry (diagnostics and tests).
int pool4registryCount();
