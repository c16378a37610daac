// MemoryPool registry and raw engine memory.
//
// The registry is a list of the pools in use plus a free list of pool
// descriptors, refilled ten descriptors at a time. Everything here runs under
// the process-wide critical section, because pools are shared by every context
// and thread of the process.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#include "dbf/core/context.h"
#include "dbf/core/pool.h"

// A block of units; the link sits in front of the first unit, padded to the
// unit alignment so that every unit is suitably aligned.
struct PoolChunk {
  PoolChunk* next;
};

using namespace dbf;

namespace {

constexpr size_t kChunkHeader = kPoolAlignment;
static_assert(sizeof(PoolChunk) <= kChunkHeader);
constexpr int kDescriptorBatch = 10;

struct DescriptorBlock {
  DescriptorBlock* next;
  MemoryPool pools[kDescriptorBatch];
};

MemoryPool* g_inUse = nullptr;  // pools with users
MemoryPool* g_freeDescriptors = nullptr;
DescriptorBlock* g_blocks = nullptr;  // kept for the life of the process

uint32_t roundUnit(unsigned unitSize) {
  uint32_t size = unitSize < 8 ? 8 : unitSize;
  return (size + kPoolAlignment - 1) / kPoolAlignment * kPoolAlignment;
}

MemoryPool* takeDescriptor() {
  if (g_freeDescriptors == nullptr) {
    auto* block = static_cast<DescriptorBlock*>(calloc(1, sizeof(DescriptorBlock)));
    if (block == nullptr) return nullptr;
    block->next = g_blocks;
    g_blocks = block;
    for (MemoryPool& p : block->pools) {
      p.next = g_freeDescriptors;
      g_freeDescriptors = &p;
    }
  }
  MemoryPool* pool = g_freeDescriptors;
  g_freeDescriptors = pool->next;
  *pool = MemoryPool{};
  return pool;
}

MemoryPool* findShared(uint32_t unitSize) {
  for (MemoryPool* p = g_inUse; p != nullptr; p = p->next) {
    if (!p->isPrivate && p->unitSize == unitSize && p->users > 0) return p;
  }
  return nullptr;
}

void unlinkInUse(MemoryPool* pool) {
  for (MemoryPool** link = &g_inUse; *link != nullptr; link = &(*link)->next) {
    if (*link == pool) {
      *link = pool->next;
      return;
    }
  }
}

// Adds one chunk of units to the free list; false when memory runs out.
bool grow(MemoryPool* pool) {
  size_t count =
      static_cast<size_t>(pool->chunks == nullptr ? pool->startCount : pool->expandCount);
  const size_t limit = std::numeric_limits<size_t>::max() - kChunkHeader;
  void* memory = nullptr;
  while (count >= 1) {
    if (count <= limit / pool->unitSize) {
      memory = malloc(kChunkHeader + count * pool->unitSize);
      if (memory != nullptr) break;
    }
    if (count < 2) return false;
    count /= 2;  // too large or not available: try with fewer units
  }
  if (memory == nullptr) return false;
  auto* chunk = static_cast<PoolChunk*>(memory);
  chunk->next = pool->chunks;
  pool->chunks = chunk;
  pool->chunkCount++;
  char* units = static_cast<char*>(memory) + kChunkHeader;
  for (size_t i = count; i-- > 0;) {
    void* unit = units + i * pool->unitSize;
    *static_cast<void**>(unit) = pool->freeUnits;
    pool->freeUnits = unit;
  }
  return true;
}

void freeChunks(MemoryPool* pool) {
  while (pool->chunks != nullptr) {
    PoolChunk* next = pool->chunks->next;
    free(pool->chunks);
    pool->chunks = next;
  }
}

}  // namespace

MemoryPool* pool4create(EngineContext* ctx, int startCount, unsigned unitSize, int expandCount,
                        bool isPrivate) {
  if (startCount <= 0 || expandCount <= 0) {
    engine4error(ctx, kErrParameter, 95906);
    return nullptr;
  }
  const uint32_t size = roundUnit(unitSize);
  std::lock_guard<std::recursive_mutex> guard(engine4criticalSection());
  if (!isPrivate) {
    if (MemoryPool* shared = findShared(size)) {
      if (startCount > shared->startCount) shared->startCount = startCount;
      if (expandCount > shared->expandCount) shared->expandCount = expandCount;
      shared->users++;
      return shared;
    }
  }
  MemoryPool* pool = takeDescriptor();
  if (pool == nullptr) {
    engine4error(ctx, kErrMemory, 95906);
    return nullptr;
  }
  pool->unitSize = size;
  pool->startCount = startCount;
  pool->expandCount = expandCount;
  pool->users = 1;
  pool->isPrivate = isPrivate;
  pool->next = g_inUse;
  g_inUse = pool;
  return pool;
}

void* pool4alloc(MemoryPool* pool, EngineContext* ctx) {
  if (pool == nullptr) {
    engine4error(ctx, kErrNullHandle, 95907);
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> guard(engine4criticalSection());
  if (pool->freeUnits == nullptr && !grow(pool)) {
    if (ctx != nullptr) engine4error(ctx, kErrMemory, 95907);
    return nullptr;
  }
  void* unit = pool->freeUnits;
  pool->freeUnits = *static_cast<void**>(unit);
  pool->unitsInUse++;
  memset(unit, 0, pool->unitSize);
  return unit;
}

void pool4free(MemoryPool* pool, void* unit) {
  if (pool == nullptr || unit == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(engine4criticalSection());
  *static_cast<void**>(unit) = pool->freeUnits;
  pool->freeUnits = unit;
  pool->unitsInUse--;
}

void pool4release(MemoryPool* pool) {
  if (pool == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(engine4criticalSection());
  if (pool->users <= 0) return;  // released too often: nothing left to drop
  if (--pool->users > 0) return;
  unlinkInUse(pool);
  freeChunks(pool);
  *pool = MemoryPool{};
  pool->next = g_freeDescriptors;
  g_freeDescriptors = pool;
}

int pool4registryCount() {
  std::lock_guard<std::recursive_mutex> guard(engine4criticalSection());
  int n = 0;
  for (MemoryPool* p = g_inUse; p != nullptr; p = p->next) n++;
  return n;
}

void* heap4alloc(EngineContext* ctx, unsigned size) {
  if (size == 0) {
    engine4error(ctx, kErrParameter, 85903);
    return nullptr;
  }
  return calloc(1, size);
}

void heap4free(EngineContext*, void* block) { free(block); }
