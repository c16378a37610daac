// Failures injected at the operating-system interface: every one gives its
// code and location, stays in the context until cleared, and leaves what was
// stored before intact.
#include <gtest/gtest.h>

#include <string>

#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "tests/file/fault_os.h"
#include "tests/file/test_util.h"

using namespace dbf;
using whtest::Context;
using whtest::readWhole;

namespace {

class FaultTest : public ::testing::Test {
 protected:
  whtest::ScratchDir dir;
  Context c;
  DiskFile f;

  void SetUp() override {
    whtest::writeWhole("F.DBF", "stored data");
    ASSERT_EQ(file4open(&f, &c, "F.DBF", false), 0);
  }
  void TearDown() override {
    engine4errorSet(&c, 0);
    file4close(&f);
  }
};

}  // namespace

TEST_F(FaultTest, FailedWriteIsMinus120AndStaysUntilCleared) {
  whtest::FaultOs os;
  os.failWriteAt = 1;
  EXPECT_EQ(file4write(&f, 0, "XXXXXX", 6), kErrWrite);
  EXPECT_EQ(c.errorCode, kErrWrite);
  EXPECT_EQ(c.errorLocation, 90615);
  EXPECT_EQ(file4write(&f, 0, "YYYYYY", 6), kErrContextHoldsError);
  EXPECT_EQ(os.writes, 1) << "nothing reaches the file while the error is stored";
  EXPECT_EQ(readWhole("F.DBF"), "stored data");
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4write(&f, 0, "ZZ", 2), 0);
  EXPECT_EQ(readWhole("F.DBF"), "ZZored data");
}

TEST_F(FaultTest, ShortWriteIsAFailure) {
  whtest::FaultOs os;
  os.shortWriteAt = 1;
  EXPECT_EQ(file4write(&f, 11, "0123456789", 10), kErrWrite);
  EXPECT_EQ(c.errorLocation, 90615);
  EXPECT_EQ(readWhole("F.DBF").substr(0, 11), "stored data");
}

TEST_F(FaultTest, FullDiskIsAFailedWrite) {
  whtest::FaultOs os;
  os.diskFree = 0;
  EXPECT_EQ(file4write(&f, 11, "more", 4), kErrWrite);
  EXPECT_EQ(readWhole("F.DBF"), "stored data");
}

TEST_F(FaultTest, FailedFlushIsMinus630) {
  whtest::FaultOs os;
  os.failFlushAt = 1;
  EXPECT_EQ(file4flush(&f), kErrFlush);
  EXPECT_EQ(c.errorCode, kErrFlush);
  EXPECT_EQ(c.errorLocation, 90610);
  EXPECT_EQ(file4write(&f, 0, "x", 1), kErrContextHoldsError);
  engine4errorSet(&c, 0);
  // With flush-after-write the write itself reports the failed flush.
  c.flushAfterWrite = 1;
  os.failFlushAt = 3;
  EXPECT_EQ(file4write(&f, 0, "a", 1), 0);
  EXPECT_EQ(file4write(&f, 0, "b", 1), kErrFlush);
}

TEST_F(FaultTest, FailedFlushKeepsAnEarlierError) {
  whtest::FaultOs os;
  os.failFlushAt = 1;
  engine4error(&c, kErrMemory, 11111);
  EXPECT_EQ(file4flush(&f), kErrFlush);
  EXPECT_EQ(c.errorCode, kErrMemory);
  EXPECT_EQ(c.errorLocation, 11111);
}

TEST_F(FaultTest, FailedLengthAndSetLength) {
  whtest::FaultOs os;
  os.failLengthAt = 1;
  EXPECT_EQ(file4length(&f), kErrLength);
  EXPECT_EQ(c.errorLocation, 90605);
  engine4errorSet(&c, 0);
  os.failSetLengthAt = 1;
  EXPECT_EQ(file4setLength(&f, 3), kErrSetLength);
  EXPECT_EQ(c.errorLocation, 90606);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4length(&f), 11) << "nothing was cut";
}

TEST_F(FaultTest, FailedReadIsMinus70WithNothingDelivered) {
  whtest::FaultOs os;
  os.failReadAt = 1;
  char buf[6] = {};
  EXPECT_EQ(file4read(&f, 0, buf, 6), 0u);
  EXPECT_EQ(c.errorCode, kErrRead);
  EXPECT_EQ(c.errorLocation, 90607);
  engine4errorSet(&c, 0);
  os.failReadAt = 2;
  EXPECT_EQ(file4readAll(&f, 0, buf, 6), kErrRead);
  EXPECT_EQ(c.errorCode, kErrRead);
  engine4errorSet(&c, 0);
  EXPECT_EQ(file4readAll(&f, 0, buf, 6), 0);
  EXPECT_EQ(std::string(buf, 6), "stored");
}

TEST_F(FaultTest, FailedCloseIsMinus10ButTheFileIsClosed) {
  whtest::FaultOs os;
  os.failCloseAt = 1;
  EXPECT_EQ(file4close(&f), -1);
  EXPECT_EQ(c.errorCode, kErrClose);
  EXPECT_EQ(c.errorLocation, 90601);
  EXPECT_EQ(f.handle, -1);
  // An error stored before the close wins over the close's own failure.
  engine4errorSet(&c, 0);
  ASSERT_EQ(file4open(&f, &c, "F.DBF", false), 0);
  os.failCloseAt = 2;
  engine4error(&c, kErrMemory, 22222);
  EXPECT_EQ(file4close(&f), -1);
  EXPECT_EQ(c.errorCode, kErrMemory);
  EXPECT_EQ(c.errorLocation, 22222);
}

TEST_F(FaultTest, OpenFailuresMapToTheirCodes) {
  whtest::FaultOs os;
  struct {
    OsStatus status;
    int code;
  } cases[] = {{kOsNotFound, kErrOpenNotFound},
               {kOsAccessDenied, kErrOpenAccess},
               {kOsTooManyFiles, kErrOpenTooMany},
               {kOsSharingViolation, kErrOpen},
               {kOsFailure, kErrOpen}};
  int n = 0;
  for (auto& k : cases) {
    os.failOpenAt = ++n;
    os.openStatus = k.status;
    DiskFile g;
    EXPECT_EQ(file4open(&g, &c, "F.DBF", false), k.code) << k.status;
    EXPECT_EQ(g.handle, -1);
    engine4errorSet(&c, 0);
  }
}

TEST_F(FaultTest, LockFailureOtherThanAViolationIsMinus50AtOnce) {
  whtest::FaultOs os;
  os.failLockAt = 1;
  os.realSleep = false;
  EXPECT_EQ(file4lock(&f, 0x7FFFFFF9, 1), kErrLock);
  EXPECT_EQ(c.errorLocation, 90613);
  EXPECT_EQ(os.locks, 1) << "no retries for a failure";
  EXPECT_TRUE(os.sleeps.empty());
}

TEST_F(FaultTest, LockViolationIsRetriedLockAttemptsTimes) {
  whtest::FaultOs os;
  os.realSleep = false;
  os.lockViolations = 1000;
  c.lockAttempts = 3;
  c.lockRetryDelay = 7;
  EXPECT_EQ(file4lock(&f, 0x7FFFFFF9, 1), kLocked);
  EXPECT_EQ(c.errorCode, 0) << "50 is an outcome, not an error";
  EXPECT_EQ(os.locks, 3);
  EXPECT_EQ(os.sleeps, (std::vector<int32_t>{70, 70}));

  os.locks = 0;
  os.sleeps.clear();
  c.lockAttempts = 0;  // counts as one try
  EXPECT_EQ(file4lock(&f, 0x7FFFFFF9, 1), kLocked);
  EXPECT_EQ(os.locks, 1);
  EXPECT_TRUE(os.sleeps.empty());
}

TEST_F(FaultTest, LockAttemptsMinusOneWaitsUntilObtained) {
  whtest::FaultOs os;
  os.realSleep = false;
  os.lockViolations = 25;
  c.lockAttempts = -1;
  c.lockRetryDelay = 1;
  EXPECT_EQ(file4lock(&f, 0x40000000, 0x3FFFFFFF), 0);
  EXPECT_EQ(os.locks, 26);
  EXPECT_EQ(os.sleeps.size(), 25u);
  EXPECT_EQ(file4unlock(&f, 0x40000000, 0x3FFFFFFF), 0);
}

TEST_F(FaultTest, FailedUnlockIsMinus110) {
  whtest::FaultOs os;
  ASSERT_EQ(file4lock(&f, 0x7FFFFFFE, 1), 0);
  os.failUnlockAt = 1;
  EXPECT_EQ(file4unlock(&f, 0x7FFFFFFE, 1), kErrUnlock);
  EXPECT_EQ(c.errorLocation, 90614);
}

TEST_F(FaultTest, NothingIsLockedInAFileNobodyElseMayWrite) {
  whtest::FaultOs os;
  DiskFile exclusive;
  c.shareMode = 1;
  whtest::writeWhole("X.DBF", "x");
  ASSERT_EQ(file4open(&exclusive, &c, "X.DBF", false), 0);
  EXPECT_EQ(file4lock(&exclusive, 0x7FFFFFF9, 1), 0);
  EXPECT_EQ(file4unlock(&exclusive, 0x7FFFFFF9, 1), 0);
  EXPECT_EQ(file4lock(&f, 0x7FFFFFF9, 0), 0) << "length 0";
  EXPECT_EQ(os.locks, 0);
  EXPECT_EQ(os.unlocks, 0);
  file4close(&exclusive);
}
