// Faults found in review of the table code, one group per fault: a refused
// record lock must never let a move or close drop the caller's change, a new
// record being built keeps its memos through a lock release of its group and
// gets none of the previous record's, no record count in the header may
// make one past it overflow a record number, a stored error stops blanking
// and lock questions, and a move reads the count again and goes on as the
// skip steps say.
#include <string>

#include "tests/file/fault_os.h"
#include "tests/table/fixture.h"

using namespace tabletest;

namespace {

const ColumnDescription kNumbers[] = {{"V", 'N', 4, 0, 0}, {nullptr, 0, 0, 0, 0}};

// Two Tables of one context on a table of six records; unlock policy 2 so
// that a lock one of them holds stays while the other works.
class RefusedFlush : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    Table* t = table4create(&ctx_, "rf", kNumbers, nullptr);
    ASSERT_NE(t, nullptr);
    for (int i = 1; i <= 6; ++i) ASSERT_EQ(appendTexts(t, {std::to_string(i)}), 0);
    ASSERT_EQ(table4close(t), 0);
    a_ = table4open(&ctx_, "rf");
    b_ = table4open(&ctx_, "rf");
    ASSERT_NE(a_, nullptr);
    ASSERT_NE(b_, nullptr);
    ctx_.unlockPolicy = 2;
    ctx_.lockAttempts = 1;
    // b holds record 2; a changes it without a lock of its own.
    ASSERT_EQ(table4lockRecord(b_, 2), 0);
    ASSERT_EQ(table4go(a_, 2), 0);
    ColumnValue v(table4column(a_, 1));
    ASSERT_EQ(column4assignLong(&v, 99, -1, false), 0);
  }
  void TearDown() override {
    if (a_ != nullptr) {
      EXPECT_EQ(table4close(a_), 0);
    }
    if (b_ != nullptr) {
      EXPECT_EQ(table4close(b_), 0);
    }
    TableTest::TearDown();
  }
  // a is still on record 2 with its change; once b lets go it is written.
  void expectChangeKeptThenWritten() {
    EXPECT_EQ(table4recNo(a_), 2);
    EXPECT_TRUE(a_->changed);
    EXPECT_EQ(columnText(a_, 1), "  99");
    ASSERT_EQ(table4unlock(b_), 0);
    EXPECT_EQ(table4flushRecord(a_, true), 0);
    ASSERT_EQ(table4go(b_, 2), 0);
    EXPECT_EQ(columnText(b_, 1), "  99");
  }
  Table* a_ = nullptr;
  Table* b_ = nullptr;
};

TEST_F(RefusedFlush, GoStaysOnTheChangedRecord) {
  EXPECT_EQ(table4go(a_, 3), 50);
  expectChangeKeptThenWritten();
}

TEST_F(RefusedFlush, SkipAndTopStayOnTheChangedRecord) {
  EXPECT_EQ(table4skip(a_, 1), 50);
  EXPECT_EQ(table4top(a_), 50);
  expectChangeKeptThenWritten();
}

TEST_F(RefusedFlush, GoEofStaysOnTheChangedRecord) {
  EXPECT_EQ(table4goEof(a_), 50);
  EXPECT_FALSE(a_->eof);
  expectChangeKeptThenWritten();
}

TEST_F(RefusedFlush, AppendStartDoesNotTurnTheChangeIntoANewRecord) {
  EXPECT_EQ(table4appendStart(a_, false), 50);
  expectChangeKeptThenWritten();
  EXPECT_EQ(table4recCount(b_), 6);
}

TEST_F(RefusedFlush, CloseReportsTheChangeItCouldNotWrite) {
  EXPECT_EQ(table4close(a_), 50);
  a_ = nullptr;
  ASSERT_EQ(table4go(b_, 2), 0);
  EXPECT_EQ(columnText(b_, 1), "2   ");
}

// --- a new record being built and the locks of its group ---

const ColumnDescription kMemoColumns[] = {
    {"ID", 'N', 6, 0, 0}, {"BODY", 'M', 0, 0, 0}, {nullptr, 0, 0, 0, 0}};

class BuildingRecord : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    m_ = table4create(&ctx_, "bm", kMemoColumns, nullptr);
    other_ = table4create(&ctx_, "bo", kNumbers, nullptr);
    ASSERT_NE(m_, nullptr);
    ASSERT_NE(other_, nullptr);
    ASSERT_EQ(appendTexts(other_, {"1"}), 0);
    ASSERT_EQ(table4unlock(other_), 0);
  }
  void TearDown() override {
    EXPECT_EQ(table4close(m_), 0);
    EXPECT_EQ(table4close(other_), 0);
    TableTest::TearDown();
  }
  // Starts a new record of m_ holding the file lock, with a memo assigned.
  void startWithMemo() {
    ASSERT_EQ(table4lockFile(m_), 0);
    ASSERT_EQ(table4appendStart(m_, false), 0);
    ASSERT_EQ(table4blank(m_), 0);
    ColumnValue id(table4column(m_, 1)), body(table4column(m_, 2));
    ASSERT_EQ(column4assignLong(&id, 7, -1, false), 0);
    ASSERT_EQ(column4assign(&body, "kept across the unlock"), 0);
  }
  void expectMemoAppended() {
    ASSERT_EQ(table4append(m_), 0);
    ASSERT_EQ(table4go(m_, 1), 0);
    uint32_t len = 0;
    const char* text = column4memoText(table4column(m_, 2), &len);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, len), "kept across the unlock");
  }
  Table* m_ = nullptr;
  Table* other_ = nullptr;
};

// Unlock policy 1 releases every Table of the group before a new lock: the
// Table building a record loses its locks, not its memos.
TEST_F(BuildingRecord, GroupReleaseKeepsItsMemos) {
  startWithMemo();
  ASSERT_EQ(table4lockRecord(other_, 1), 0);
  EXPECT_EQ(table4isRecordLocked(m_, 1), 0);  // the file lock went
  EXPECT_EQ(table4recNo(m_), 0);
  expectMemoAppended();
}

TEST_F(BuildingRecord, ExplicitUnlockKeepsItsMemos) {
  startWithMemo();
  ASSERT_EQ(table4unlock(m_), 0);
  expectMemoAppended();
}

// --- a record count written by someone else ---

// Another program (or damage) may leave any count in the header; the count
// is re-read whenever no lock holds it. One past it must stay a valid
// record number.
TEST_F(TableTest, LargestCountInTheHeaderIsRefused) {
  Table* t = table4create(&ctx_, "cnt", kNumbers, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(appendTexts(t, {"1"}), 0);
  ASSERT_EQ(table4unlock(t), 0);
  auto bytes = slurp("CNT.DBF");
  const size_t sizeBefore = bytes.size();
  bytes[4] = 0xFF;
  bytes[5] = 0xFF;
  bytes[6] = 0xFF;
  bytes[7] = 0x7F;
  spit("CNT.DBF", bytes);

  EXPECT_EQ(appendTexts(t, {"2"}), -200);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(table4goEof(t), -200);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(table4recCount(t), -200);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(slurp("CNT.DBF").size(), sizeBefore);
  EXPECT_EQ(table4close(t), 0);
  EXPECT_EQ(table4open(&ctx_, "cnt"), nullptr);
  EXPECT_EQ(ctx_.errorCode, -200);
}

// --- memos of a new record ---

// table4appendStart gives the new record no memos. Where the memo references
// of the previous record stay in the buffer (lockBeforeChange on), reading a
// memo column of the new record must not bring the previous memo back, nor
// must the append then store a copy of it.
TEST_F(TableTest, ReadingAMemoOfANewRecordFindsNone) {
  ctx_.lockBeforeChange = 1;
  Table* t = table4create(&ctx_, "nm", kMemoColumns, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(table4appendStart(t, false), 0);
  ASSERT_EQ(table4blank(t), 0);
  ColumnValue body(table4column(t, 2));
  ASSERT_EQ(column4assign(&body, "first"), 0);
  ASSERT_EQ(table4append(t), 0);

  ASSERT_EQ(table4appendStart(t, false), 0);
  EXPECT_EQ(body.length(), 0u);
  uint32_t len = 99;
  ASSERT_NE(column4memoText(table4column(t, 2), &len), nullptr);
  EXPECT_EQ(len, 0u);
  ASSERT_EQ(table4append(t), 0);
  ASSERT_EQ(table4go(t, 2), 0);
  ASSERT_NE(column4memoText(table4column(t, 2), &len), nullptr);
  EXPECT_EQ(len, 0u);
  ASSERT_EQ(table4go(t, 1), 0);
  ASSERT_NE(column4memoText(table4column(t, 2), &len), nullptr);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(table4close(t), 0);
}

// --- operations while an error is stored ---

// They do nothing and say so: no column is blanked, no lock state answered.
TEST_F(TableTest, StoredErrorStopsBlankAndTheLockQuestion) {
  Table* t = table4create(&ctx_, "se", kNumbers, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(appendTexts(t, {"7"}), 0);  // holds the new record's lock
  engine4error(&ctx_, dbf::kErrMemory, 1);
  EXPECT_EQ(column4blank(table4column(t, 1)), dbf::kErrContextHoldsError);
  EXPECT_EQ(table4isRecordLocked(t, 1), dbf::kErrContextHoldsError);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(columnText(t, 1), "7   ");
  EXPECT_EQ(table4isRecordLocked(t, 1), 1);
  EXPECT_EQ(table4close(t), 0);
}

// --- the record count of a move ---

// Another program packed the table to one record and has written record 2 of
// an append it has not published: a go to a record within the count read
// earlier must read the count again and not return that record.
TEST_F(TableTest, GoReadsTheCountAgain) {
  Table* t = table4create(&ctx_, "gc", kNumbers, nullptr);
  ASSERT_NE(t, nullptr);
  for (const char* v : {"1", "2", "3"}) ASSERT_EQ(appendTexts(t, {v}), 0);
  ASSERT_EQ(table4unlock(t), 0);
  ASSERT_EQ(table4go(t, 3), 0);
  auto bytes = slurp("GC.DBF");
  bytes[4] = 1;  // the count; record 2 stands beyond it
  spit("GC.DBF", bytes);
  EXPECT_EQ(table4go(t, 2), dbf::kErrRead);
  EXPECT_EQ(table4recNo(t), -1);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(table4close(t), 0);
}

// A skip whose move to the target fails goes on as a skip does after a move
// that finds nothing; under the stored error the rest does nothing and the
// first error stays stored.
TEST_F(TableTest, SkipGoesOnAfterAFailedMove) {
  Table* t = table4create(&ctx_, "sk", kNumbers, nullptr);
  ASSERT_NE(t, nullptr);
  for (const char* v : {"1", "2", "3"}) ASSERT_EQ(appendTexts(t, {v}), 0);
  ASSERT_EQ(table4close(t), 0);
  ctx_.shareMode = 1;  // the count is held: the move reads only the record
  t = table4open(&ctx_, "sk");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(table4top(t), 0);
  int rc = 0;
  {
    whtest::FaultOs fault;
    fault.failReadAt = 1;
    rc = table4skip(t, 1);
  }
  EXPECT_EQ(rc, dbf::kErrContextHoldsError);
  EXPECT_EQ(ctx_.errorCode, dbf::kErrRead);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(table4close(t), 0);
}

}  // namespace
