// Engine context: its empty start, version check, the sticky error code and
// the closing operations that still run while an error is stored.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "tests/file/test_util.h"

using namespace dbf;
using whtest::Context;

// Whatever the memory held before does not survive: the state starts empty,
// so that the first open and the first error find nothing left over.
TEST(EngineInit, StartsFromEmptyStateWhateverWasThere) {
  EngineContext c;
  memset(static_cast<void*>(&c), 0x5A, sizeof c);
  ASSERT_EQ(engine4init(&c, nullptr, 6300), 0);
  EXPECT_EQ(c.errorCode, 0);
  EXPECT_EQ(c.errorLocation, 0);
  EXPECT_EQ(c.tablePool, nullptr);
  EXPECT_EQ(c.dataFiles, nullptr);
  EXPECT_EQ(c.defaultGroup.first, nullptr);
  EXPECT_EQ(c.openTableCounter, 0);
  EXPECT_EQ(c.scratch, nullptr);
  EXPECT_STREQ(c.dateFormat, "MM/DD/YY");
  EXPECT_GE(engine4contextCount(), 1);
}

TEST(EngineInit, RefusesEveryVersionButTheOneItWasBuiltFor) {
  Context c;
  c.lockAttempts = 7;
  c.errorCode = 0;
  for (int version : {0, 6200, 6301, -6300}) {
    EXPECT_EQ(engine4init(&c, nullptr, version), kErrVersion) << version;
    EXPECT_EQ(c.errorCode, kErrVersion);
    EXPECT_EQ(c.errorLocation, 91001);
    EXPECT_EQ(c.lockAttempts, 7) << "the rest of the context is untouched";
    EXPECT_EQ(c.bufferingInactive, 1);
  }
  // A good version resets the context completely.
  EXPECT_EQ(engine4init(&c, nullptr, 6300), 0);
  EXPECT_EQ(c.errorCode, 0);
  EXPECT_EQ(c.errorLocation, 0);
  EXPECT_EQ(c.lockAttempts, -1);
}

TEST(EngineInit, NullContextIsAnArgumentError) {
  EXPECT_EQ(engine4init(nullptr, nullptr, 6300), kErrParameter);
}

TEST(EngineError, StoresCodeAndLocationAndReturnsTheCode) {
  Context c;
  EXPECT_EQ(engine4error(&c, kErrMemory, 95907, "a", "b", "c"), kErrMemory);
  EXPECT_EQ(c.errorCode, kErrMemory);
  EXPECT_EQ(c.errorLocation, 95907);
  EXPECT_EQ(engine4error(nullptr, kErrNullHandle, 90601), kErrNullHandle);
  EXPECT_EQ(engine4errorSet(&c, 0), kErrMemory);
  EXPECT_EQ(c.errorCode, 0);
  EXPECT_EQ(engine4errorSet(&c, kErrRead), 0);  // restoring a saved code
  EXPECT_EQ(c.errorCode, kErrRead);
}

TEST(DateFormat, AcceptsPicturesOfUpTo19Characters) {
  Context c;
  EXPECT_EQ(engine4dateFormatSet(&c, "CCYY.MM.DD"), 0);
  EXPECT_STREQ(c.dateFormat, "CCYY.MM.DD");
  const char* nineteen = "MMM DD, CCYY  12345";
  ASSERT_EQ(strlen(nineteen), 19u);
  EXPECT_EQ(engine4dateFormatSet(&c, nineteen), 0);
  EXPECT_STREQ(c.dateFormat, nineteen);

  EXPECT_EQ(engine4dateFormatSet(&c, "MMM DD, CCYY  123456"), kErrParameter);
  EXPECT_EQ(c.errorLocation, 96302);
  EXPECT_STREQ(c.dateFormat, nineteen) << "a refused picture changes nothing";
  engine4errorSet(&c, 0);
  EXPECT_EQ(engine4dateFormatSet(&c, nullptr), kErrParameter);
  EXPECT_EQ(engine4dateFormatSet(nullptr, "MM/DD/YY"), kErrNullHandle);
}

TEST(CriticalSections, AreRecursiveAndIndependent) {
  std::recursive_mutex& pools = engine4criticalSection();
  std::recursive_mutex& evaluation = engine4evaluationLock();
  ASSERT_NE(&pools, &evaluation);
  std::lock_guard<std::recursive_mutex> outer(pools);
  std::lock_guard<std::recursive_mutex> inner(pools);  // the same thread enters again
  bool otherThreadGotEvaluationLock = false;
  std::thread t([&] {
    if (evaluation.try_lock()) {
      otherThreadGotEvaluationLock = true;
      evaluation.unlock();
    }
  });
  t.join();
  EXPECT_TRUE(otherThreadGotEvaluationLock);
}

// While an error is stored, file operations do nothing; clearing it makes the
// very same calls work.
TEST(StickyError, FileOperationsDoNothingUntilTheErrorIsCleared) {
  whtest::ScratchDir dir;
  whtest::writeWhole("DATA.DBF", "0123456789");
  Context c;
  DiskFile f;
  ASSERT_EQ(file4open(&f, &c, "DATA.DBF", true), 0);
  engine4error(&c, kErrMemory, 12345);

  char buf[4] = {};
  EXPECT_EQ(file4write(&f, 0, "XXXX", 4), kErrContextHoldsError);
  EXPECT_EQ(file4read(&f, 0, buf, 4), 0u);
  EXPECT_EQ(file4readAll(&f, 0, buf, 4), -1);
  EXPECT_EQ(file4length(&f), kErrContextHoldsError);
  EXPECT_EQ(file4setLength(&f, 2), -1);
  EXPECT_EQ(file4lock(&f, 0x7FFFFFFE, 1), kErrContextHoldsError);
  DiskFile g;
  EXPECT_EQ(file4open(&g, &c, "DATA.DBF", false), kErrContextHoldsError);
  EXPECT_EQ(file4create(&g, &c, "NEW.DBF", false), kErrContextHoldsError);
  EXPECT_EQ(file4temp(&g, &c, true), kErrContextHoldsError);
  EXPECT_FALSE(whtest::fileExists("NEW.DBF"));
  EXPECT_EQ(whtest::readWhole("DATA.DBF"), "0123456789");
  EXPECT_EQ(c.errorCode, kErrMemory);
  EXPECT_EQ(c.errorLocation, 12345);

  EXPECT_EQ(engine4errorSet(&c, 0), kErrMemory);
  EXPECT_EQ(file4write(&f, 0, "XXXX", 4), 0);
  EXPECT_EQ(file4readAll(&f, 2, buf, 4), 0);
  EXPECT_EQ(std::string(buf, 4), "XX45");
  EXPECT_EQ(file4length(&f), 10);
  EXPECT_EQ(file4close(&f), 0);
}

TEST(StickyError, CloseStillRunsAndLeavesTheEarlierError) {
  whtest::ScratchDir dir;
  Context c;
  DiskFile f;
  ASSERT_EQ(file4create(&f, &c, "GONE.TMP", true), 0);
  f.deleteOnClose = true;
  engine4error(&c, kErrMemory, 54321);
  EXPECT_EQ(file4close(&f), -1);
  EXPECT_EQ(f.handle, -1);
  EXPECT_FALSE(f.isOpen);
  EXPECT_FALSE(whtest::fileExists("GONE.TMP")) << "the marked file is deleted all the same";
  EXPECT_EQ(c.errorCode, kErrMemory);
  EXPECT_EQ(c.errorLocation, 54321);
  EXPECT_EQ(file4close(&f), 0) << "closing a closed DiskFile is harmless";
}

TEST(StickyError, FlushRunsAndRestoresTheStoredError) {
  whtest::ScratchDir dir;
  Context c;
  DiskFile f;
  ASSERT_EQ(file4create(&f, &c, "F.DBF", true), 0);
  engine4error(&c, kErrRead, 777);
  EXPECT_EQ(file4flush(&f), 0);
  EXPECT_EQ(c.errorCode, kErrRead);
  EXPECT_EQ(c.errorLocation, 777);
  engine4errorSet(&c, 0);
  file4close(&f);
}
