// Table-level locks: the byte positions other programs see, conflicts between
// Tables of one context (which share one handle, so only the bookkeeping can
// tell them apart), the unlock policies, and files held whole by their mode.
#include <fcntl.h>

#include "tests/table/fixture.h"

using namespace tabletest;

namespace {

const ColumnDescription kColumns[] = {{"V", 'N', 4, 0, 0}, {nullptr, 0, 0, 0, 0}};

// True when some other open file description holds a lock on the byte.
bool byteLockedElsewhere(const char* file, off_t pos, off_t len = 1) {
  int fd = ::open(file, O_RDONLY);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = pos;
  fl.l_len = len;
  const bool locked = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  ::close(fd);
  return locked;
}

class Locks : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    Table* t = table4create(&ctx_, "lk", kColumns, nullptr);
    ASSERT_NE(t, nullptr);
    for (int i = 1; i <= 6; ++i) ASSERT_EQ(appendTexts(t, {std::to_string(i)}), 0);
    ASSERT_EQ(table4close(t), 0);
    a_ = table4open(&ctx_, "lk");
    b_ = table4open(&ctx_, "lk");
    ASSERT_NE(a_, nullptr);
    ASSERT_NE(b_, nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(table4close(a_), 0);
    EXPECT_EQ(table4close(b_), 0);
    TableTest::TearDown();
  }
  Table* a_ = nullptr;
  Table* b_ = nullptr;
};

TEST_F(Locks, FoxProPositions) {
  ASSERT_EQ(table4lockRecord(a_, 5), 0);
  EXPECT_TRUE(byteLockedElsewhere("LK.DBF", 0x7FFFFFF9));
  EXPECT_FALSE(byteLockedElsewhere("LK.DBF", 0x7FFFFFFA));
  ASSERT_EQ(table4lockAppend(a_), 0);
  EXPECT_TRUE(byteLockedElsewhere("LK.DBF", 0x7FFFFFFE));
  ctx_.unlockPolicy = 1;
  ASSERT_EQ(table4unlock(a_), 0);
  EXPECT_FALSE(byteLockedElsewhere("LK.DBF", 0x7FFFFFF9));
  EXPECT_FALSE(byteLockedElsewhere("LK.DBF", 0x7FFFFFFE));
  ASSERT_EQ(table4lockFile(a_), 0);
  EXPECT_TRUE(byteLockedElsewhere("LK.DBF", 0x40000000, 0x3FFFFFFF));
  ASSERT_EQ(table4unlock(a_), 0);
  EXPECT_FALSE(byteLockedElsewhere("LK.DBF", 0x40000000, 0x3FFFFFFF));
}

TEST_F(TableTest, DBaseSchemeLocksAtTheRecordPosition) {
  ctx_.compatibility = 0;
  Table* t = table4create(&ctx_, "dbase", kColumns, nullptr);
  ASSERT_NE(t, nullptr);
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(appendTexts(t, {std::to_string(i)}), 0);
  ASSERT_EQ(table4lockRecord(t, 2), 0);
  // Header 65 bytes, records of 5: record 2 starts at 70.
  EXPECT_TRUE(byteLockedElsewhere("DBASE.DBF", 0x40000000 + 70));
  EXPECT_FALSE(byteLockedElsewhere("DBASE.DBF", 0x7FFFFFFC));
  ASSERT_EQ(table4close(t), 0);
  EXPECT_FALSE(byteLockedElsewhere("DBASE.DBF", 0x40000000 + 70));
}

// A lock is released where it was taken, even when the flags that choose the
// scheme change while it is held (creating an index sets 0x01).
TEST_F(TableTest, RecordLockIsReleasedWhereItWasTaken) {
  ctx_.compatibility = 0;
  Table* t = table4create(&ctx_, "dbase", kColumns, nullptr);
  ASSERT_NE(t, nullptr);
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(appendTexts(t, {std::to_string(i)}), 0);
  ASSERT_EQ(table4lockRecord(t, 2), 0);
  t->dataFile->tableFlags |= 0x01;
  t->dataFile->header[28] |= 0x01;
  ASSERT_EQ(table4unlock(t), 0);
  EXPECT_FALSE(byteLockedElsewhere("DBASE.DBF", 0x40000000 + 70));
  ASSERT_EQ(table4lockRecord(t, 2), 0);  // from now on the FoxPro position
  EXPECT_TRUE(byteLockedElsewhere("DBASE.DBF", 0x7FFFFFFC));
  ASSERT_EQ(table4close(t), 0);
}

TEST_F(Locks, ConflictsInsideTheContext) {
  ctx_.unlockPolicy = 2;
  ASSERT_EQ(table4lockRecord(a_, 3), 0);
  ctx_.lockAttempts = 1;
  EXPECT_EQ(table4lockRecord(b_, 3), 50);
  EXPECT_EQ(ctx_.conflictRecord, 3);
  EXPECT_STREQ(ctx_.conflictAlias, "LK");
  EXPECT_EQ(table4lockFile(b_), 50);
  EXPECT_EQ(table4lockRecord(b_, 4), 0);
  EXPECT_EQ(table4isRecordLocked(a_, 3), 1);
  EXPECT_EQ(table4isRecordLocked(b_, 3), 0);
  EXPECT_EQ(table4isRecordLocked(b_, 4), 1);
  ctx_.lockAttempts = -1;
  EXPECT_EQ(table4lockRecord(b_, 3), -50);  // would wait for itself for ever
  engine4errorSet(&ctx_, 0);
}

TEST_F(Locks, PolicyOneReleasesTheGroupPolicyTwoOnlyThisTable) {
  ctx_.unlockPolicy = 2;
  ASSERT_EQ(table4lockRecord(a_, 1), 0);
  ASSERT_EQ(table4lockRecord(b_, 2), 0);
  EXPECT_EQ(table4isRecordLocked(a_, 1), 1);
  ASSERT_EQ(table4lockRecord(a_, 3), 0);  // policy 2: a's own record 1 goes
  EXPECT_EQ(table4isRecordLocked(a_, 1), 0);
  EXPECT_EQ(table4isRecordLocked(b_, 2), 1);
  ctx_.unlockPolicy = 1;
  ASSERT_EQ(table4lockRecord(a_, 4), 0);  // policy 1: everything of the group
  EXPECT_EQ(table4isRecordLocked(b_, 2), 0);
  EXPECT_EQ(table4isRecordLocked(a_, 3), 0);
  EXPECT_FALSE(byteLockedElsewhere("LK.DBF", 0x7FFFFFFE - 2));
}

TEST_F(Locks, PolicyZeroKeepsLocksUntilClose) {
  ctx_.unlockPolicy = 0;
  ASSERT_EQ(table4lockRecord(a_, 1), 0);
  ASSERT_EQ(table4lockRecord(a_, 2), 0);
  ASSERT_EQ(table4unlock(a_), 0);
  EXPECT_EQ(table4isRecordLocked(a_, 1), 1);
  EXPECT_TRUE(byteLockedElsewhere("LK.DBF", 0x7FFFFFFE - 2));
  ctx_.unlockPolicy = 1;
}

TEST_F(Locks, WriteRecordTakesTheRecordLock) {
  ctx_.unlockPolicy = 2;
  ASSERT_EQ(table4lockRecord(b_, 2), 0);
  ASSERT_EQ(table4go(a_, 2), 0);
  ColumnValue v(table4column(a_, 1));
  ASSERT_EQ(column4assignLong(&v, 99, -1, false), 0);
  ctx_.lockAttempts = 1;
  EXPECT_EQ(table4flushRecord(a_, false), 50);
  EXPECT_TRUE(a_->changed);  // kept for a retry
  ASSERT_EQ(table4unlock(b_), 0);
  EXPECT_EQ(table4flushRecord(a_, true), 0);
  ASSERT_EQ(table4go(b_, 2), 0);
  EXPECT_EQ(columnText(b_, 1), "  99");
}

TEST_F(Locks, ExclusiveFileCountsAsLockedByEveryone) {
  EXPECT_EQ(table4close(a_), 0);
  EXPECT_EQ(table4close(b_), 0);
  ctx_.shareMode = 1;
  a_ = table4open(&ctx_, "lk");
  b_ = table4open(&ctx_, "lk");
  ASSERT_NE(b_, nullptr);
  EXPECT_EQ(table4isRecordLocked(a_, 1), 1);
  EXPECT_EQ(table4isRecordLocked(b_, 1), 1);
  EXPECT_EQ(table4lockFile(a_), 0);
  EXPECT_EQ(table4lockRecord(b_, 1), 0);
  EXPECT_FALSE(byteLockedElsewhere("LK.DBF", 0x7FFFFFFD));
  ctx_.shareMode = 0;
}

}  // namespace
