// Errors and reporting: isBlank, the disposal of caught exceptions and the
// check that turns the engine's stored error into a GDatabaseException.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "tables/context.h"
#include "tables/errors.h"

namespace {

TEST(IsBlankText, NullEmptyAndWhiteSpaceAreBlank) {
  EXPECT_TRUE(isBlank(nullptr));
  EXPECT_TRUE(isBlank(""));
  EXPECT_TRUE(isBlank("\t"));
  EXPECT_TRUE(isBlank(" \t\n\v\f\r "));
}

TEST(IsBlankText, AnyOtherCharacterIsNot) {
  EXPECT_FALSE(isBlank(" x"));
  EXPECT_FALSE(isBlank("x "));
  EXPECT_FALSE(isBlank("\xA0"));  // high bit set: not white space
}

// An old-database exception with a fixed message (or none) that records its
// disposal.
class FakeException : public CException {
 public:
  FakeException(const char* message, int* deletions) : message_(message), deletions_(deletions) {}
  bool GetErrorMessage(char* buffer, unsigned maxLength, unsigned* helpContext) override {
    EXPECT_EQ(helpContext, nullptr);
    EXPECT_EQ(maxLength, 256u);
    if (message_ == nullptr) return CException::GetErrorMessage(buffer, maxLength, helpContext);
    std::strncpy(buffer, message_, maxLength - 1);
    buffer[maxLength - 1] = '\0';
    return true;
  }
  void Delete() override {
    ++*deletions_;
    delete this;
  }

 private:
  const char* message_;
  int* deletions_;
};

std::string reportOf(CException* exception) {
  testing::internal::CaptureStdout();
  reportException(exception);
  return testing::internal::GetCapturedStdout();
}

TEST(ReportOldDbException, PrintsTheMessageUnchangedAndDeletesTheException) {
  int deletions = 0;
  EXPECT_EQ(reportOf(new FakeException("Disk 100% full: %s %d", &deletions)),
            "Disk 100% full: %s %d");
  EXPECT_EQ(deletions, 1);
}

TEST(ReportOldDbException, WithoutMessagePrintsTheFallback) {
  int deletions = 0;
  EXPECT_EQ(reportOf(new FakeException(nullptr, &deletions)), "CExcpetion without information");
  EXPECT_EQ(deletions, 1);
  EXPECT_EQ(reportOf(nullptr), "CExcpetion without information");
}

TEST(ReportOldDbException, LongMessageIsCutToTheBuffer) {
  int deletions = 0;
  std::string longMessage(600, 'x');
  EXPECT_EQ(reportOf(new FakeException(longMessage.c_str(), &deletions)), std::string(255, 'x'));
}

class CountedDatabaseException : public GDatabaseException {
 public:
  CountedDatabaseException(int code, int* deletions)
      : GDatabaseException(code), deletions_(deletions) {}
  ~CountedDatabaseException() override { ++*deletions_; }

 private:
  int* deletions_;
};

TEST(ReportDatabaseError, ComposesTheTextWithoutPrintingAndDeletes) {
  int deletions = 0;
  testing::internal::CaptureStdout();
  reportDatabaseError(new CountedDatabaseException(-910, &deletions));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(deletions, 1);
  EXPECT_STREQ(lastDatabaseErrorText(), "DBF Error [-910]");
}

class CheckEngineError : public ::testing::Test {
 protected:
  void TearDown() override { currentContext()->errorCode = 0; }
};

TEST_F(CheckEngineError, ZeroAndPositiveCodesThrowNothing) {
  EngineContext* ctx = currentContext();
  ASSERT_NE(ctx, nullptr);
  for (int code : {0, 3, 5, 60, 70}) {
    ctx->errorCode = code;
    EXPECT_NO_THROW(checkEngineError()) << code;
  }
}

TEST_F(CheckEngineError, NegativeCodeThrowsItAgainUntilCleared) {
  currentContext()->errorCode = -1;
  for (int round = 0; round < 2; ++round) {
    try {
      checkEngineError();
      ADD_FAILURE() << "nothing thrown";
    } catch (GDatabaseException* e) {
      EXPECT_EQ(e->code, -1);
      delete e;
    }
  }
}

TEST(PerThreadContext, OnePerThreadWithSingleOpenOff) {
  EngineContext* mine = currentContext();
  ASSERT_NE(mine, nullptr);
  mine->singleOpen = 1;
  EXPECT_EQ(currentContext(), mine);
  EXPECT_EQ(mine->singleOpen, 0);

  EngineContext* other = nullptr;
  std::thread([&] { other = currentContext(); }).join();
  EXPECT_NE(other, nullptr);
  EXPECT_NE(other, mine);
  EXPECT_EQ(other->errorCode, 0);
}

}  // namespace
