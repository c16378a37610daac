// Many threads on one SharedTable, each through its own engine context:
// appends and deletions at the same time, compaction exactly once by the last
// user, and every surviving row present exactly once afterwards, also for an
// independent reader.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tables/context.h"
#include "tables/text.h"
#include "tests/tables/support.h"

namespace tables_test {
namespace {

const ColumnDescription kStressColumns[] = {
    {"TID", 'N', 4, 0, 0},  {"SEQ", 'N', 6, 0, 0}, {"NAME", 'C', 16, 0, 0},
    {"NOTE", 'M', 4, 0, 0}, {nullptr, 0, 0, 0, 0},
};
constexpr int kTid = 0;
constexpr int kSeq = 1;
constexpr int kRowName = 2;
constexpr int kRowNote = 3;

constexpr int kThreads = 6;
constexpr int kRowsPerThread = 90;
constexpr int kDeleteEvery = 15;

std::string rowName(int tid, int seq) {
  return "t" + std::to_string(tid) + "-s" + std::to_string(seq);
}

// Memo texts of varying length, so that memo blocks of different sizes are
// written from several threads at once.
std::string rowNote(int tid, int seq) {
  return "memo " + rowName(tid, seq) + " " +
         std::string(static_cast<size_t>((seq * 37 + tid * 11) % 700), 'x') + ".";
}

// Collects failures from the worker threads, where gtest assertions would not
// stop the thread.
class Failures {
 public:
  void add(const std::string& what) {
    std::lock_guard<std::mutex> guard(mutex_);
    list_.push_back(what);
  }
  std::vector<std::string> list() {
    std::lock_guard<std::mutex> guard(mutex_);
    return list_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> list_;
};

class ThreadedTableTest : public ScratchDirectoryTest {
 protected:
  // Deletes the odd-numbered rows of |tid| through a second, short-lived handle
  // of this thread (its release is never the last one).
  void deleteOwnOddRows(int tid) {
    TableHandle* scan = table_.openHandle();
    if (scan == nullptr) {
      failures_.add("second handle did not open");
      return;
    }
    int result = scan->firstRecord(nullptr);
    for (; result == 0; result = scan->nextRecord(nullptr)) {
      int32_t rowTid = -1;
      int32_t seq = -1;
      scan->readLong(kTid, &rowTid);
      scan->readLong(kSeq, &seq);
      if (rowTid == tid && seq % 2 == 1) scan->deleteCurrent();
    }
    if (result < 0) failures_.add("walk failed with " + std::to_string(result));
    table_.releaseHandle(scan);
  }

  void appendRow(TableHandle* handle, int tid, int seq) {
    handle->beginRecord();
    handle->assignLong(kTid, tid);
    handle->assignLong(kSeq, seq);
    handle->assignText(kRowName, rowName(tid, seq).c_str());
    handle->assignText(kRowNote, rowNote(tid, seq).c_str());
    int result = handle->appendRecord();
    if (result != 0) failures_.add("append returned " + std::to_string(result));
  }

  void worker(int tid, std::barrier<>& allOpen) {
    EngineContext* ctx = currentContext();
    // Threads of one process wait for each other's locks here; a short pause
    // between tries keeps the test quick.
    ctx->lockRetryDelay = 1;
    TableHandle* handle = table_.openHandle();
    // Nobody can be the last user before every thread holds its handle.
    allOpen.arrive_and_wait();
    if (handle == nullptr) {
      failures_.add("thread " + std::to_string(tid) + ": handle did not open");
      return;
    }
    try {
      for (int seq = 0; seq < kRowsPerThread; ++seq) {
        appendRow(handle, tid, seq);
        if (seq % kDeleteEvery == kDeleteEvery - 1) deleteOwnOddRows(tid);
      }
      deleteOwnOddRows(tid);
    } catch (GDatabaseException* e) {
      failures_.add("thread " + std::to_string(tid) + ": engine error " + std::to_string(e->code));
      delete e;
    }
    table_.releaseHandle(handle);
  }

  ListTable table_{"Stress", kStressColumns};
  Failures failures_;
};

TEST_F(ThreadedTableTest, ConcurrentAppendsAndDeletesKeepEveryRowOnceAndCompactOnce) {
  ASSERT_EQ(table_.createTable(), 0);
  std::barrier<> allOpen(kThreads);
  std::vector<std::thread> threads;
  for (int tid = 1; tid <= kThreads; ++tid) {
    threads.emplace_back([this, tid, &allOpen] { worker(tid, allOpen); });
  }
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(failures_.list(), std::vector<std::string>{});
  EXPECT_EQ(table_.openCount, 0);
  EXPECT_EQ(table_.packPending, 0);
  EXPECT_EQ(table_.compactions, 1);

  // Every even-numbered row of every thread, exactly once.
  std::set<std::pair<int, int>> expected;
  for (int tid = 1; tid <= kThreads; ++tid) {
    for (int seq = 0; seq < kRowsPerThread; seq += 2) expected.insert({tid, seq});
  }

  // Read back through the layer on this thread.
  TableHandle* handle = table_.openHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(table4recCount(handle->table), static_cast<int32_t>(expected.size()));
  std::multiset<std::pair<int, int>> seen;
  for (int r = handle->firstRecord(nullptr); r == 0; r = handle->nextRecord(nullptr)) {
    int32_t tid = 0;
    int32_t seq = 0;
    handle->readLong(kTid, &tid);
    handle->readLong(kSeq, &seq);
    seen.insert({tid, seq});
    char* note = nullptr;
    handle->readText(kRowNote, &note);
    EXPECT_EQ(note != nullptr ? std::string(note) : "", rowNote(tid, seq));
    freeText(note);
  }
  table_.releaseHandle(handle);
  EXPECT_EQ(seen, (std::multiset<std::pair<int, int>>(expected.begin(), expected.end())));

  // And with an independent reader.
  DbfContents contents = readWithDbfread("STRESS.DBF");
  ASSERT_TRUE(contents.ok) << contents.error;
  EXPECT_EQ(contents.headerCount, static_cast<long>(expected.size()));
  EXPECT_EQ(contents.deletedCount, 0);
  std::multiset<std::pair<int, int>> independent;
  for (const std::vector<std::string>& row : contents.rows) {
    ASSERT_EQ(row.size(), 4u);
    int tid = std::stoi(row[0]);
    int seq = std::stoi(row[1]);
    independent.insert({tid, seq});
    EXPECT_EQ(row[2], rowName(tid, seq));
    EXPECT_EQ(row[3], rowNote(tid, seq));
  }
  EXPECT_EQ(independent, (std::multiset<std::pair<int, int>>(expected.begin(), expected.end())));
}

// The layer's own bookkeeping under contention, without opening any table:
// contexts made on many threads at once, handles counted on and off.
TEST_F(ThreadedTableTest, CountingHandlesFromManyThreadsStaysBalanced) {
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  std::atomic<int> distinctContexts{0};
  std::mutex contextsMutex;
  std::set<EngineContext*> contexts;
  testing::internal::CaptureStdout();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      EngineContext* ctx = currentContext();
      {
        std::lock_guard<std::mutex> guard(contextsMutex);
        if (contexts.insert(ctx).second) ++distinctContexts;
      }
      for (int round = 0; round < kRounds; ++round) {
        TableHandle* first = table_.acquireHandle();
        TableHandle* second = table_.acquireHandle();
        table_.releaseHandle(second);
        table_.releaseHandle(first);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(distinctContexts.load(), kThreads);
  EXPECT_EQ(contexts.count(nullptr), 0u);
  EXPECT_EQ(table_.openCount, 0);
}

}  // namespace
}  // namespace tables_test
