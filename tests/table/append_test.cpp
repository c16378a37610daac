// Appending and column values: assignment of texts and digits, growth of the
// file per layout, appends without a blank in between, memo columns, and an
// append whose write fails part way.
#include <cstring>

#include "dbf/core/os.h"
#include "tests/table/fixture.h"

using namespace tabletest;

namespace {

const ColumnDescription kColumns[] = {
    {"TXT", 'C', 5, 0, 0},
    {"NUM", 'N', 5, 0, 0},
    {"N4", 'N', 4, 0, 0},
    {nullptr, 0, 0, 0, 0},
};

class Append : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    t_ = table4create(&ctx_, "app", kColumns, nullptr);
    ASSERT_NE(t_, nullptr);
    ASSERT_EQ(table4appendStart(t_, false), 0);
    ASSERT_EQ(table4blank(t_), 0);
  }
  void TearDown() override {
    if (t_ != nullptr) {
      EXPECT_EQ(table4close(t_), 0);
    }
    TableTest::TearDown();
  }
  std::string assignedLong(int column, int32_t value, bool zeroFill = false) {
    ColumnValue v(table4column(t_, column));
    EXPECT_EQ(column4assignLong(&v, value, -1, zeroFill), 0);
    return columnText(t_, column);
  }
  Table* t_ = nullptr;
};

TEST_F(Append, AssignTextPadsOrCuts) {
  ColumnValue v(table4column(t_, 1));
  ASSERT_EQ(column4assign(&v, "abc"), 0);
  EXPECT_EQ(columnText(t_, 1), "abc  ");
  ASSERT_EQ(column4assign(&v, "abcdefg"), 0);
  EXPECT_EQ(columnText(t_, 1), "abcde");
  ASSERT_EQ(column4assignN(&v, "xy\0z", 4), 0);
  EXPECT_EQ(columnText(t_, 1), std::string("xy\0z ", 5));
  ASSERT_EQ(column4assignChar(&v, '#'), 0);
  EXPECT_EQ(columnText(t_, 1), "#####");
  EXPECT_EQ(column4assign(&v, nullptr), -935);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(columnText(t_, 1), "#####");
  ColumnValue unbound;
  EXPECT_EQ(column4assign(&unbound, "a"), -970);
  engine4errorSet(&ctx_, 0);
}

TEST_F(Append, AssignLongExamples) {
  EXPECT_EQ(assignedLong(2, 42), "   42");
  EXPECT_EQ(assignedLong(2, -42), "  -42");
  EXPECT_EQ(assignedLong(2, 123456), "*****");
  EXPECT_EQ(assignedLong(3, -1234), "****");
  EXPECT_EQ(assignedLong(3, -123), "-123");
  EXPECT_EQ(assignedLong(2, 42, true), "00042");
  EXPECT_EQ(assignedLong(2, -42, true), "*****");
  EXPECT_EQ(assignedLong(2, 0), "    0");
  EXPECT_EQ(assignedLong(1, INT32_MIN), "*****");
  ColumnValue v(table4column(t_, 2));
  column4assignLong(&v, -7, -1, false);
  EXPECT_EQ(v.toLong(), -7);
}

TEST_F(Append, LockBeforeChangeRefusesWithoutRecordLock) {
  ASSERT_EQ(appendTexts(t_, {"a", "1"}), 0);
  ctx_.unlockPolicy = 1;
  ASSERT_EQ(table4go(t_, 1), 0);
  ASSERT_EQ(table4unlock(t_), 0);
  ctx_.lockBeforeChange = 1;
  ColumnValue v(table4column(t_, 1));
  EXPECT_EQ(column4assign(&v, "zzz"), -50);
  EXPECT_EQ(columnText(t_, 1), "a    ");
  EXPECT_FALSE(t_->changed);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(table4blank(t_), -50);
  engine4errorSet(&ctx_, 0);
  ASSERT_EQ(table4lockRecord(t_, 1), 0);
  EXPECT_EQ(column4assign(&v, "zzz"), 0);
  ctx_.lockBeforeChange = 0;
}

TEST_F(Append, FoxProFileGrowsByRecordLength) {
  ASSERT_EQ(table4append(t_), 0);
  EXPECT_EQ(fs::file_size("APP.DBF"), 296u + 3 * 32 + 15);
  ASSERT_EQ(appendTexts(t_, {"b"}), 0);
  EXPECT_EQ(fs::file_size("APP.DBF"), 296u + 3 * 32 + 30);
  EXPECT_EQ(table4recNo(t_), 2);
  EXPECT_EQ(le32(slurp("APP.DBF"), 4), 2u);
}

TEST_F(Append, OlderLayoutKeepsEndOfFileByte) {
  EXPECT_EQ(table4close(t_), 0);
  ctx_.compatibility = 0;
  t_ = table4create(&ctx_, "old", kColumns, nullptr);
  ASSERT_NE(t_, nullptr);
  const auto before = fs::file_size("OLD.DBF");
  ASSERT_EQ(appendTexts(t_, {"x", "1", "2"}), 0);
  auto b = slurp("OLD.DBF");
  EXPECT_EQ(b.size(), before + 15);
  EXPECT_EQ(b.back(), 0x1A);
  ASSERT_EQ(appendTexts(t_, {"y", "3", "4"}), 0);
  b = slurp("OLD.DBF");
  EXPECT_EQ(b.size(), before + 30);
  EXPECT_EQ(b.back(), 0x1A);
  EXPECT_EQ(b[0], 0x03);
  EXPECT_EQ(le32(b, 4), 2u);
}

TEST_F(Append, TwoAppendsWithoutBlankRepeatTheRecord) {
  ColumnValue v(table4column(t_, 1));
  ASSERT_EQ(column4assign(&v, "same"), 0);
  ASSERT_EQ(table4append(t_), 0);
  ASSERT_EQ(table4appendStart(t_, false), 0);
  ASSERT_EQ(table4append(t_), 0);
  ASSERT_EQ(table4go(t_, 2), 0);
  EXPECT_EQ(columnText(t_, 1), "same ");
  EXPECT_EQ(table4recCount(t_), 2);
}

TEST_F(Append, MovingAbandonsTheNewRecord) {
  ASSERT_EQ(appendTexts(t_, {"kept"}), 0);
  ASSERT_EQ(table4appendStart(t_, false), 0);
  ColumnValue v(table4column(t_, 1));
  ASSERT_EQ(column4assign(&v, "lost"), 0);
  ASSERT_EQ(table4top(t_), 0);
  EXPECT_EQ(table4recCount(t_), 1);
  EXPECT_EQ(columnText(t_, 1), "kept ");
}

// Makes every data write fail while armed.
struct FailingWrites {
  static inline const OsInterface* real = nullptr;
  static inline int armedAfter = -1;  // writes still allowed; -1 = never fail
  static int64_t writeAt(int64_t h, int64_t pos, const void* buf, uint32_t len) {
    if (armedAfter == 0) return -1;
    if (armedAfter > 0) --armedAfter;
    return real->writeAt(h, pos, buf, len);
  }
  OsInterface table{};
  FailingWrites() {
    real = os4get();
    table = *real;
    table.writeAt = &FailingWrites::writeAt;
    os4set(&table);
  }
  ~FailingWrites() { os4set(real); }
};

TEST_F(Append, FailedWriteLeavesTableAsBeforeAndRetryWorks) {
  ASSERT_EQ(appendTexts(t_, {"one"}), 0);
  const auto before = slurp("APP.DBF");
  ASSERT_EQ(table4appendStart(t_, false), 0);
  ColumnValue v(table4column(t_, 1));
  ASSERT_EQ(column4assign(&v, "two"), 0);
  {
    FailingWrites failing;
    FailingWrites::armedAfter = 0;
    EXPECT_EQ(table4append(t_), -120);
    FailingWrites::armedAfter = -1;
  }
  EXPECT_EQ(table4recNo(t_), 0);
  EXPECT_EQ(slurp("APP.DBF"), before);
  EXPECT_EQ(t_->dataFile->appendLockOwner, 0);
  engine4errorSet(&ctx_, 0);
  ASSERT_EQ(table4append(t_), 0);  // the buffer kept "two"
  ASSERT_EQ(table4go(t_, 2), 0);
  EXPECT_EQ(columnText(t_, 1), "two  ");
}

TEST_F(Append, HeaderWriteFailureReportsAndRecordStaysUnpublished) {
  ASSERT_EQ(table4appendStart(t_, false), 0);
  {
    FailingWrites failing;
    FailingWrites::armedAfter = 1;  // the record goes, the header does not
    EXPECT_LT(table4append(t_), 0);
    FailingWrites::armedAfter = -1;
  }
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(le32(slurp("APP.DBF"), 4), 0u);
  EXPECT_EQ(table4close(t_), 0);
  t_ = table4open(&ctx_, "app");  // one unpublished record is tolerated
  ASSERT_NE(t_, nullptr);
}

TEST_F(Append, ExclusiveAppendsWriteTheHeaderAtClose) {
  EXPECT_EQ(table4close(t_), 0);
  ctx_.shareMode = 1;
  t_ = table4open(&ctx_, "app");
  ASSERT_NE(t_, nullptr);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(appendTexts(t_, {"e"}), 0);
  EXPECT_EQ(le32(slurp("APP.DBF"), 4), 0u);  // deferred
  EXPECT_EQ(table4recCount(t_), 10);
  EXPECT_EQ(table4close(t_), 0);
  t_ = nullptr;
  EXPECT_EQ(le32(slurp("APP.DBF"), 4), 10u);
  ctx_.shareMode = 0;
}

// --- memo columns ---

class MemoAppend : public TableTest {
 protected:
  void make(int compatibility) {
    ctx_.compatibility = static_cast<int16_t>(compatibility);
    const ColumnDescription cols[] = {
        {"ID", 'N', 6, 0, 0}, {"BODY", 'M', 0, 0, 0}, {nullptr, 0, 0, 0, 0}};
    t_ = table4create(&ctx_, "memo", cols, nullptr);
    ASSERT_NE(t_, nullptr);
  }
  void TearDown() override {
    if (t_ != nullptr) {
      EXPECT_EQ(table4close(t_), 0);
    }
    TableTest::TearDown();
  }
  int add(int id, const std::string& body) {
    int rc = table4appendStart(t_, false);
    if (rc != 0) return rc;
    table4blank(t_);
    ColumnValue i(table4column(t_, 1)), b(table4column(t_, 2));
    column4assignLong(&i, id, -1, false);
    if (!body.empty()) column4assign(&b, body.c_str());
    return table4append(t_);
  }
  std::string body(int n) {
    EXPECT_EQ(table4go(t_, n), 0);
    uint32_t len = 0;
    const char* text = column4memoText(table4column(t_, 2), &len);
    return text == nullptr ? "<null>" : std::string(text, len);
  }
  Table* t_ = nullptr;
};

TEST_F(MemoAppend, FoxProMemosRoundTrip) {
  make(30);
  ASSERT_EQ(add(1, "first memo"), 0);
  ASSERT_EQ(add(2, ""), 0);
  ASSERT_EQ(add(3, std::string(1500, 'x')), 0);
  EXPECT_EQ(body(1), "first memo");
  EXPECT_EQ(body(2), "");
  EXPECT_EQ(body(3), std::string(1500, 'x'));
  auto b = slurp("MEMO.DBF");
  const size_t first = le16(b, 8);
  EXPECT_EQ(le32(b, first + 7), 1u);       // block 1
  EXPECT_EQ(le32(b, first + 11 + 7), 0u);  // no memo
  EXPECT_EQ(b[28], 0x02);
  EXPECT_EQ(table4close(t_), 0);
  t_ = table4open(&ctx_, "memo");
  ASSERT_NE(t_, nullptr);
  EXPECT_EQ(body(3), std::string(1500, 'x'));
}

TEST_F(MemoAppend, RewriteAndAppendStartResetsMemos) {
  make(30);
  ASSERT_EQ(add(1, "abc"), 0);
  // The next record starts without a memo, although the buffer still has the
  // first record's reference.
  ASSERT_EQ(table4appendStart(t_, false), 0);
  ASSERT_EQ(table4append(t_), 0);
  EXPECT_EQ(body(2), "");
  // A rewrite in place keeps the block.
  ASSERT_EQ(table4go(t_, 1), 0);
  ColumnValue b(table4column(t_, 2));
  ASSERT_EQ(column4assign(&b, "abcdef"), 0);
  ASSERT_EQ(table4flushRecord(t_, true), 0);
  EXPECT_EQ(body(1), "abcdef");
  EXPECT_EQ(le32(slurp("MEMO.DBF"), le16(slurp("MEMO.DBF"), 8) + 7), 1u);
}

TEST_F(MemoAppend, UseCurrentMemosCopiesThem) {
  make(30);
  ASSERT_EQ(add(1, "carried over"), 0);
  ASSERT_EQ(table4appendStart(t_, true), 0);
  ASSERT_EQ(table4append(t_), 0);
  EXPECT_EQ(body(2), "carried over");
  const auto b = slurp("MEMO.DBF");
  const size_t first = le16(b, 8);
  EXPECT_NE(le32(b, first + 7), le32(b, first + 11 + 7));  // a copy, not the same run
}

TEST_F(MemoAppend, OlderLayoutReferencesAreText) {
  make(0);
  ASSERT_EQ(add(1, "old style"), 0);
  ASSERT_EQ(add(2, ""), 0);
  auto b = slurp("MEMO.DBF");
  EXPECT_EQ(b[0], 0xF5);
  const size_t first = le16(b, 8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[first + 7]), 10), "         1");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[first + 17 + 7]), 10), "          ");
  EXPECT_EQ(body(1), "old style");
}

}  // namespace
