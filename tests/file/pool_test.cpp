// MemoryPool registry: sharing by unit size, chunk growth, zero-filled units,
// release by the last user, use from several threads, raw heap memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/pool.h"
#include "tests/file/test_util.h"

using namespace dbf;
using whtest::Context;

namespace {
// Unit sizes that no other test of this program uses, so shared pools of
// other tests cannot join in.
constexpr unsigned kSizeA = 200;
constexpr unsigned kSizeB = 424;
}  // namespace

TEST(MemoryPool, SharedPoolServesBothCallersWithTheLargerStartCount) {
  Context c;
  const int poolsBefore = pool4registryCount();
  MemoryPool* first = pool4create(&c, 5, kSizeA, 5, false);
  MemoryPool* second = pool4create(&c, 10, kSizeA, 3, false);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->users, 2);
  EXPECT_EQ(first->startCount, 10);
  EXPECT_EQ(first->expandCount, 5);
  EXPECT_EQ(pool4registryCount(), poolsBefore + 1);

  // The first chunk holds 10 units, the next one 5.
  std::vector<void*> units;
  for (int i = 0; i < 10; i++) units.push_back(pool4alloc(first, &c));
  EXPECT_EQ(first->chunkCount, 1);
  units.push_back(pool4alloc(first, &c));
  EXPECT_EQ(first->chunkCount, 2);
  for (int i = 0; i < 4; i++) units.push_back(pool4alloc(first, &c));
  EXPECT_EQ(first->chunkCount, 2);
  EXPECT_EQ(std::set<void*>(units.begin(), units.end()).size(), units.size());

  // Releasing one user keeps the pool and its units for the other.
  pool4release(second);
  EXPECT_EQ(first->users, 1);
  EXPECT_EQ(pool4registryCount(), poolsBefore + 1);
  for (void* u : units) pool4free(first, u);
  EXPECT_NE(pool4alloc(first, &c), nullptr);
  pool4release(first);
  EXPECT_EQ(pool4registryCount(), poolsBefore);
}

TEST(MemoryPool, PrivatePoolIsNeverShared) {
  Context c;
  MemoryPool* shared = pool4create(&c, 2, kSizeB, 2, false);
  MemoryPool* mine = pool4create(&c, 2, kSizeB, 2, true);
  MemoryPool* again = pool4create(&c, 2, kSizeB, 2, false);
  EXPECT_NE(mine, shared);
  EXPECT_EQ(again, shared);
  EXPECT_EQ(mine->users, 1);
  pool4release(mine);
  pool4release(again);
  pool4release(shared);
}

TEST(MemoryPool, UnitsAreZeroFilledAlignedAndAtLeastEightBytes) {
  Context c;
  MemoryPool* p = pool4create(&c, 3, 1, 3, true);
  ASSERT_NE(p, nullptr);
  EXPECT_GE(p->unitSize, 8u);
  std::vector<unsigned char*> units;
  for (int i = 0; i < 7; i++) {
    auto* u = static_cast<unsigned char*>(pool4alloc(p, &c));
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(u) % kPoolAlignment, 0u);
    for (unsigned k = 0; k < p->unitSize; k++) ASSERT_EQ(u[k], 0);
    memset(u, 0xEE, p->unitSize);
    units.push_back(u);
  }
  for (auto* u : units) pool4free(p, u);
  // Reused units come back zero-filled again.
  for (int i = 0; i < 7; i++) {
    auto* u = static_cast<unsigned char*>(pool4alloc(p, &c));
    for (unsigned k = 0; k < p->unitSize; k++) ASSERT_EQ(u[k], 0);
  }
  pool4release(p);
}

TEST(MemoryPool, NonPositiveCountsAreRefused) {
  Context c;
  EXPECT_EQ(pool4create(&c, 0, 16, 5, false), nullptr);
  EXPECT_EQ(c.errorCode, kErrParameter);
  EXPECT_EQ(c.errorLocation, 95906);
  engine4errorSet(&c, 0);
  EXPECT_EQ(pool4create(&c, 5, 16, -1, false), nullptr);
  EXPECT_EQ(c.errorCode, kErrParameter);
}

TEST(MemoryPool, ThreadsShareOnePoolWithoutHandingOutAUnitTwice) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t, &failures] {
      Context c;
      MemoryPool* p = pool4create(&c, 4, 48, 4, false);
      std::vector<int*> mine;
      for (int r = 0; r < kRounds; r++) {
        int* u = static_cast<int*>(pool4alloc(p, &c));
        if (u == nullptr || *u != 0) failures[t]++;
        if (u != nullptr) *u = t + 1;
        mine.push_back(u);
        if (r % 3 == 2) {
          for (int* m : mine) {
            if (m != nullptr && *m != t + 1) failures[t]++;
            pool4free(p, m);
          }
          mine.clear();
        }
      }
      for (int* m : mine) pool4free(p, m);
      pool4release(p);
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(failures[t], 0) << t;
}

TEST(MemoryPool, EngineFreeReleasesTheContextsPools) {
  const int before = pool4registryCount();
  EngineContext c;
  ASSERT_EQ(engine4init(&c, nullptr, 6300), 0);
  c.tablePool = pool4create(&c, c.tablePoolStart, 1000, c.tablePoolExpand, false);
  c.lockPool = pool4create(&c, c.lockPoolStart, 1016, c.lockPoolExpand, false);
  c.scratch = static_cast<char*>(heap4alloc(&c, 64));
  c.scratchSize = 64;
  EXPECT_EQ(pool4registryCount(), before + 2);
  engine4free(&c);
  EXPECT_EQ(pool4registryCount(), before);
  EXPECT_EQ(c.tablePool, nullptr);
  EXPECT_EQ(c.scratch, nullptr);
}

TEST(HeapMemory, ZeroFilledAndZeroBytesIsAnError) {
  Context c;
  auto* p = static_cast<unsigned char*>(heap4alloc(&c, 1000));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(p[i], 0);
  heap4free(&c, p);
  heap4free(&c, nullptr);
  EXPECT_EQ(heap4alloc(&c, 0), nullptr);
  EXPECT_EQ(c.errorCode, kErrParameter);
  EXPECT_EQ(c.errorLocation, 85903);
}
