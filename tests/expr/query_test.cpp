// Queries over real tables: the walk in record order, the stop on the first
// record whose three message ids match, re-preparation after a new condition,
// the read-lock setting, and the error paths.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "dbf/expr/expression.h"
#include "dbf/expr/query.h"
#include "tests/expr/message_bag.h"

namespace {

namespace fs = std::filesystem;

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("wh_query_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    old_ = fs::current_path();
    fs::current_path(dir_);
    ASSERT_EQ(engine4init(&ctx_, nullptr, kEngineVersion), 0);
    ctx_.compatibility = 30;
    t_ = table4create(&ctx_, "MESSAGEBAG", messagebag::kColumns, nullptr);
    ASSERT_NE(t_, nullptr) << ctx_.errorCode;
    // Records 1..5: ids (1,2,3) twice, near misses, and one other message.
    ASSERT_EQ(messagebag::appendMessage(t_, 1, 2, 4), 0);
    ASSERT_EQ(messagebag::appendMessage(t_, 1, 2, 3), 0);
    ASSERT_EQ(messagebag::appendMessage(t_, 3, 2, 1), 0);
    ASSERT_EQ(messagebag::appendMessage(t_, 1, 2, 3), 0);
    ASSERT_EQ(messagebag::appendMessage(t_, -5, 60000000, 7), 0);
  }
  void TearDown() override {
    if (t_ != nullptr) table4close(t_);
    engine4free(&ctx_);
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  Query* query(const char* text) {
    Query* q = query4init(t_);
    EXPECT_NE(q, nullptr);
    EXPECT_EQ(query4setExpression(q, text), 0);
    return q;
  }

  fs::path dir_, old_;
  EngineContext ctx_{};
  Table* t_ = nullptr;
};

TEST_F(QueryTest, StopsOnTheFirstRecordWhoseThreeIdsMatch) {
  ASSERT_EQ(t_->dataFile->recordLength, static_cast<uint32_t>(messagebag::kRecordLength));
  Query* q = query("MSGID1=1 .AND. MSGID2=2 .AND. MSGID3=3");
  EXPECT_EQ(query4top(q), 0);
  EXPECT_EQ(table4recNo(t_), 2);
  EXPECT_EQ(query4skip(q, 1), 0);
  EXPECT_EQ(table4recNo(t_), 4);
  EXPECT_EQ(query4skip(q, 1), dbf::kEof);
  EXPECT_EQ(table4eof(t_), 1);
  EXPECT_EQ(query4free(q, 0), 0);

  Query* other = query("MSGID1=-5 .AND. MSGID2=60000000 .AND. MSGID3=7");
  EXPECT_EQ(query4top(other), 0);
  EXPECT_EQ(table4recNo(t_), 5);
  EXPECT_EQ(query4free(other, 0), 0);

  Query* none = query("MSGID1=9 .AND. MSGID2=2 .AND. MSGID3=3");
  EXPECT_EQ(query4top(none), dbf::kEof);
  EXPECT_EQ(query4skip(none, 1), dbf::kEof);
  EXPECT_EQ(query4free(none, 0), 0);
  EXPECT_EQ(ctx_.errorCode, 0);
}

TEST_F(QueryTest, WithoutConditionEveryRecordInOrder) {
  ASSERT_EQ(table4go(t_, 3), 0);
  ASSERT_EQ(table4delete(t_), 0);
  ASSERT_EQ(table4flushRecord(t_, true), 0);
  Query* q = query(nullptr);
  int expected = 1;
  for (int r = query4top(q); r == 0; r = query4skip(q, 1)) EXPECT_EQ(table4recNo(t_), expected++);
  EXPECT_EQ(expected, 6);  // the deleted record 3 is visited too
  EXPECT_EQ(query4setExpression(q, ""), 0);
  EXPECT_EQ(query4top(q), 0);
  EXPECT_EQ(table4recNo(t_), 1);
  EXPECT_EQ(query4free(q, 0), 0);
  Query* deleted = query("DELETED()");
  EXPECT_EQ(query4top(deleted), 0);
  EXPECT_EQ(table4recNo(t_), 3);
  EXPECT_EQ(query4skip(deleted, 1), dbf::kEof);
  EXPECT_EQ(query4free(deleted, 0), 0);
}

TEST_F(QueryTest, SkipsBackwardAndOverSeveralMatches) {
  Query* q = query("MSGID2 = 2");
  EXPECT_EQ(query4top(q), 0);
  EXPECT_EQ(table4recNo(t_), 1);
  EXPECT_EQ(query4skip(q, 3), 0);
  EXPECT_EQ(table4recNo(t_), 4);
  EXPECT_EQ(query4skip(q, -2), 0);
  EXPECT_EQ(table4recNo(t_), 2);
  EXPECT_EQ(query4skip(q, -5), dbf::kBof);
  EXPECT_EQ(query4skip(q, 0), 0);
  EXPECT_EQ(query4free(q, 0), 0);
}

TEST_F(QueryTest, SkipBeforeTopIsRefused) {
  Query* q = query("MSGID1 = 1");
  EXPECT_EQ(query4skip(q, 1), dbf::kErrNoRecord);
  EXPECT_EQ(ctx_.errorCode, dbf::kErrNoRecord);
  EXPECT_EQ(ctx_.errorLocation, 84406);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(query4top(q), 0);
  // A new condition needs a new top.
  EXPECT_EQ(query4setExpression(q, "MSGID1 = 3"), 0);
  EXPECT_EQ(query4skip(q, 1), dbf::kErrNoRecord);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(query4free(q, 0), 0);
}

TEST_F(QueryTest, NewConditionIsCompiledOnTheNextTop) {
  Query* q = query("MSGID1 = 3");
  EXPECT_EQ(query4top(q), 0);
  EXPECT_EQ(table4recNo(t_), 3);
  EXPECT_EQ(query4setExpression(q, "MSGID3 = 7"), 0);
  EXPECT_EQ(query4top(q), 0);
  EXPECT_EQ(table4recNo(t_), 5);
  EXPECT_EQ(query4free(q, 0), 0);
}

TEST_F(QueryTest, CompileErrorsAndNonLogicalConditions) {
  Query* q = query("MSGID1 = ");
  EXPECT_EQ(query4top(q), -1);
  EXPECT_EQ(ctx_.errorCode, dbf::kErrExprOperand);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(query4setExpression(q, "MSGID1 + 1"), 0);
  EXPECT_EQ(query4top(q), -1);
  EXPECT_EQ(ctx_.errorCode, dbf::kErrExprNotOneValue);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(query4setExpression(q, "NOSUCH = 1"), 0);
  EXPECT_EQ(query4top(q), -1);
  EXPECT_EQ(ctx_.errorCode, dbf::kErrColumnName);
  // While the context holds an error nothing runs.
  EXPECT_EQ(query4top(q), dbf::kErrContextHoldsError);
  EXPECT_EQ(query4setExpression(q, "MSGID1 = 1"), -1);
  EXPECT_EQ(query4init(t_), nullptr);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(query4free(q, 0), 0);
}

TEST_F(QueryTest, NullHandles) {
  EXPECT_EQ(query4init(nullptr), nullptr);
  EXPECT_EQ(query4top(nullptr), dbf::kErrNullHandle);
  EXPECT_EQ(query4skip(nullptr, 1), dbf::kErrNullHandle);
  EXPECT_EQ(query4setExpression(nullptr, "x"), dbf::kErrNullHandle);
  EXPECT_EQ(query4free(nullptr, 0), dbf::kErrNullHandle);
}

TEST_F(QueryTest, RecordsAreReadWithoutRecordLocks) {
  ctx_.readLock = 1;
  Query* q = query("MSGID3 = 3");
  EXPECT_EQ(query4top(q), 0);
  EXPECT_EQ(table4isRecordLocked(t_, 2), 0);
  EXPECT_EQ(query4skip(q, 1), 0);
  EXPECT_EQ(table4isRecordLocked(t_, 4), 0);
  EXPECT_EQ(ctx_.readLock, 1);
  EXPECT_EQ(query4free(q, 0), 0);
}

TEST_F(QueryTest, SecondHandleAndCloseFlag) {
  ctx_.singleOpen = 0;
  Table* second = table4open(&ctx_, "MESSAGEBAG");
  ASSERT_NE(second, nullptr) << ctx_.errorCode;
  const int32_t firstPosition = table4recNo(t_);
  Query* q = query4init(second);
  ASSERT_NE(q, nullptr);
  ASSERT_EQ(query4setExpression(q, "MSGID1=1 .AND. MSGID2=2 .AND. MSGID3=3"), 0);
  EXPECT_EQ(query4top(q), 0);
  EXPECT_EQ(table4recNo(second), 2);
  EXPECT_EQ(table4recNo(t_), firstPosition);  // the first handle did not move
  // Records appended through the first handle are seen by the walk.
  ASSERT_EQ(messagebag::appendMessage(t_, 1, 2, 3), 0);
  EXPECT_EQ(query4skip(q, 2), 0);
  EXPECT_EQ(table4recNo(second), 6);
  EXPECT_EQ(query4free(q, 1), 0);  // closes |second|
  EXPECT_EQ(ctx_.dataFiles->users, 1);
}

TEST_F(QueryTest, EmptyTable) {
  Table* empty = table4create(&ctx_, "EMPTY", messagebag::kColumns, nullptr);
  ASSERT_NE(empty, nullptr);
  Query* q = query4init(empty);
  ASSERT_EQ(query4setExpression(q, "MSGID1 = 1"), 0);
  EXPECT_EQ(query4top(q), dbf::kEof);
  EXPECT_EQ(query4skip(q, 1), dbf::kEof);
  EXPECT_EQ(query4free(q, 1), 0);
}

}  // namespace

namespace {

TEST_F(QueryTest, ConditionsNamingTablesByAlias) {
  const ColumnDescription other[] = {{"CODE", 'C', 4, 0, 0}, {nullptr, 0, 0, 0, 0}};
  Table* codes = table4create(&ctx_, "CODES", other, nullptr);
  ASSERT_NE(codes, nullptr);
  ASSERT_EQ(table4appendStart(codes, false), 0);
  ColumnValue v(table4column(codes, 1));
  ASSERT_EQ(column4assign(&v, "abcd"), 0);
  ASSERT_EQ(table4append(codes), 0);
  Query* q = query("messagebag->MSGID1 = 3 .AND. CODES.CODE = 'ab'");
  EXPECT_EQ(query4top(q), 0);
  EXPECT_EQ(table4recNo(t_), 3);
  EXPECT_EQ(query4setExpression(q, "NOWHERE->CODE = 'ab'"), 0);
  EXPECT_EQ(query4top(q), -1);
  EXPECT_EQ(ctx_.errorCode, dbf::kErrExprAlias);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(query4free(q, 0), 0);
  EXPECT_EQ(table4close(codes), 0);
}

}  // namespace
