// Byte-range locks and share modes between two processes (a forked child)
// and between two DiskFiles of one process: refusal, retries with their
// delay, waiting until released, and locks ending with their holder.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "tests/file/fault_os.h"
#include "tests/file/test_util.h"

using namespace dbf;
using whtest::Child;
using whtest::Context;

namespace {

constexpr int64_t kRecord5Fox = 0x7FFFFFFE - 5;

class LockTest : public ::testing::Test {
 protected:
  whtest::ScratchDir dir;
  Context c;
  DiskFile f;

  void SetUp() override {
    whtest::writeWhole("SHARED.DBF", std::string(1000, 'r'));
    c.lockRetryDelay = 2;  // 20 ms keeps the tests fast
  }
  void TearDown() override { file4close(&f); }
};

// Child body: opens SHARED.DBF in |mode|, locks |pos|/|len| when |len| > 0,
// says ready and holds everything until told to go.
auto holder(uint8_t mode, int64_t pos, int64_t len) {
  return [=](Child& self) {
    Context c;
    c.shareMode = mode;
    DiskFile g;
    if (file4open(&g, &c, "SHARED.DBF", false) != 0) return 1;
    if (len > 0 && file4lock(&g, pos, len) != 0) return 2;
    self.ready();
    self.waitGo();
    return file4close(&g) == 0 ? 0 : 3;
  };
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

TEST(LockPositions, FollowTheFileFormats) {
  EXPECT_EQ(lock4recordPosition(true, 296, 50, 5), 0x7FFFFFF9);
  EXPECT_EQ(lock4recordPosition(true, 296, 50, 1), 0x7FFFFFFD);
  EXPECT_EQ(lock4recordPosition(false, 296, 50, 1), 0x40000000 + 296);
  EXPECT_EQ(lock4recordPosition(false, 296, 50, 3), 0x40000000 + 296 + 100);
  EXPECT_EQ(kLockAppend, 0x7FFFFFFE);
  EXPECT_EQ(kLockWholeFile, 0x40000000);
  EXPECT_EQ(kLockWholeFileLength, 0x3FFFFFFF);
  EXPECT_EQ(kLockMemoHeader, 0x40000000);
  EXPECT_TRUE(lock4foxScheme(0x30, 0));
  EXPECT_TRUE(lock4foxScheme(0x03, 0x01));
  EXPECT_FALSE(lock4foxScheme(0x03, 0x02));
  EXPECT_FALSE(lock4foxScheme(0xF5, 0));
}

TEST_F(LockTest, RecordLockedByAnotherProcessIsRefusedAfterLockAttemptsTries) {
  Child child(holder(0, kRecord5Fox, 1));
  ASSERT_TRUE(child.waitReady());
  ASSERT_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
  c.lockAttempts = 3;
  whtest::FaultOs os;  // counts the tries and the pauses, passes everything on
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(file4lock(&f, kRecord5Fox, 1), kLocked);
  EXPECT_GE(millisecondsSince(start), 40.0) << "two pauses of lockRetryDelay";
  EXPECT_EQ(os.locks, 3);
  EXPECT_EQ(os.sleeps, (std::vector<int32_t>{20, 20}));
  EXPECT_EQ(c.errorCode, 0);

  // Other records are free; the whole-file range covers the locked byte.
  EXPECT_EQ(file4lock(&f, kRecord5Fox - 1, 1), 0);
  c.lockAttempts = 1;
  EXPECT_EQ(file4lock(&f, kLockWholeFile, kLockWholeFileLength), kLocked);
  EXPECT_EQ(file4lock(&f, kLockAppend, 1), 0);

  child.go();
  EXPECT_EQ(child.join(), 0);
  EXPECT_EQ(file4lock(&f, kRecord5Fox, 1), 0) << "released by the holder's close";
}

TEST_F(LockTest, LockAttemptsMinusOneWaitsUntilTheHolderReleases) {
  Child child([](Child& self) {
    Context c;
    DiskFile g;
    if (file4open(&g, &c, "SHARED.DBF", false) != 0) return 1;
    if (file4lock(&g, kRecord5Fox, 1) != 0) return 2;
    self.ready();
    self.waitGo();
    usleep(200 * 1000);
    if (file4unlock(&g, kRecord5Fox, 1) != 0) return 3;
    self.waitGo();
    return 0;
  });
  ASSERT_TRUE(child.waitReady());
  ASSERT_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
  c.lockAttempts = -1;
  auto start = std::chrono::steady_clock::now();
  child.go();
  EXPECT_EQ(file4lock(&f, kRecord5Fox, 1), 0);
  EXPECT_GE(millisecondsSince(start), 150.0);
  child.go();
  EXPECT_EQ(child.join(), 0);
}

TEST_F(LockTest, LocksVanishWhenTheHolderDies) {
  Child child(holder(0, kLockWholeFile, kLockWholeFileLength));
  ASSERT_TRUE(child.waitReady());
  ASSERT_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
  c.lockAttempts = 1;
  const int64_t dBaseRecord3 = lock4recordPosition(false, 296, 50, 3);
  EXPECT_EQ(file4lock(&f, dBaseRecord3, 1), kLocked);
  child.killNow();
  EXPECT_EQ(file4lock(&f, dBaseRecord3, 1), 0);
  EXPECT_EQ(file4lock(&f, kLockWholeFile, kLockWholeFileLength), 0);
}

TEST_F(LockTest, TwoDiskFilesOfOneProcessExcludeEachOther) {
  DiskFile other;
  ASSERT_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
  ASSERT_EQ(file4open(&other, &c, "SHARED.DBF", false), 0);
  c.lockAttempts = 2;
  ASSERT_EQ(file4lock(&f, kLockAppend, 1), 0);
  EXPECT_EQ(file4lock(&other, kLockAppend, 1), kLocked);
  ASSERT_EQ(file4unlock(&f, kLockAppend, 1), 0);
  EXPECT_EQ(file4lock(&other, kLockAppend, 1), 0);
  EXPECT_EQ(file4lock(&f, kLockAppend, 1), kLocked);
  // Closing the holder ends its locks, and closing a third handle on the same
  // file does not drop anybody else's.
  DiskFile third;
  ASSERT_EQ(file4open(&third, &c, "SHARED.DBF", false), 0);
  file4close(&third);
  EXPECT_EQ(file4lock(&f, kLockAppend, 1), kLocked);
  file4close(&other);
  EXPECT_EQ(file4lock(&f, kLockAppend, 1), 0);
}

TEST_F(LockTest, ExclusiveOpenKeepsOtherProcessesOut) {
  Child child(holder(1, 0, 0));
  ASSERT_TRUE(child.waitReady());
  EXPECT_EQ(file4open(&f, &c, "SHARED.DBF", false), kErrOpen);
  engine4errorSet(&c, 0);
  c.openReadOnly = 1;
  EXPECT_EQ(file4open(&f, &c, "SHARED.DBF", false), kErrOpen) << "readers are kept out too";
  engine4errorSet(&c, 0);
  c.openReadOnly = 0;

  // Nor may the file be replaced while the child has it.
  c.refuseOverwrite = 0;
  EXPECT_EQ(file4create(&f, &c, "SHARED.DBF", false), kErrCreate);
  EXPECT_EQ(c.errorLocation, 90602);
  engine4errorSet(&c, 0);
  EXPECT_EQ(whtest::readWhole("SHARED.DBF"), std::string(1000, 'r'));

  child.go();
  EXPECT_EQ(child.join(), 0);
  EXPECT_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
}

TEST_F(LockTest, ExclusiveOpenFailsWhileAnotherProcessHasTheFileOpen) {
  Child child(holder(0, 0, 0));
  ASSERT_TRUE(child.waitReady());
  c.shareMode = 1;
  EXPECT_EQ(file4open(&f, &c, "SHARED.DBF", false), kErrOpen);
  engine4errorSet(&c, 0);
  c.refuseOverwrite = 0;
  c.reportCreateErrors = 0;
  EXPECT_EQ(file4create(&f, &c, "SHARED.DBF", false), kAlreadyExists);
  EXPECT_EQ(whtest::readWhole("SHARED.DBF"), std::string(1000, 'r'));
  engine4errorSet(&c, 0);
  child.go();
  EXPECT_EQ(child.join(), 0);
  EXPECT_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
  EXPECT_EQ(f.mode, 1);
}

TEST_F(LockTest, OthersMayOnlyReadAFileOpenedInModeTwo) {
  c.shareMode = 2;
  ASSERT_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
  Child child([](Child&) {
    Context c;
    DiskFile g;
    if (file4open(&g, &c, "SHARED.DBF", false) != kErrOpen) return 1;  // read-write refused
    engine4errorSet(&c, 0);
    c.openReadOnly = 1;
    if (file4open(&g, &c, "SHARED.DBF", false) != 0) return 2;  // reading is fine
    file4close(&g);
    return 0;
  });
  EXPECT_EQ(child.join(), 0);
  // A mode 2 open is refused while someone else can write the file.
  DiskFile second;
  c.shareMode = 0;
  file4close(&f);
  ASSERT_EQ(file4open(&f, &c, "SHARED.DBF", false), 0);
  c.shareMode = 2;
  EXPECT_EQ(file4open(&second, &c, "SHARED.DBF", false), kErrOpen);
  engine4errorSet(&c, 0);
}
