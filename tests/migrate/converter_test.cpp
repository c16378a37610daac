// The converter base: single-value conversions, the row loop of run, and
// how old-database exceptions are reported.
#include <gtest/gtest.h>

#include <cstring>

#include "migrate/converter.h"
#include "migrate/old_database.h"
#include "migrate/old_db_exception.h"
#include "tables/errors.h"
#include "tests/migrate/test_support.h"

namespace {

VARIANT text(const char* s, uint16_t type = VT_BSTR) {
  VARIANT v;
  VariantInit(&v);
  variantSetText(&v, s);
  v.vt = type;
  return v;
}

TEST(VariantToText, CopiesTextAndClearsTheValue) {
  VARIANT v = text("Alice Adler");
  std::unique_ptr<char[]> t = variantToText(&v);
  ASSERT_TRUE(t);
  EXPECT_STREQ(t.get(), "Alice Adler");
  EXPECT_EQ(v.vt, VT_EMPTY);
  VARIANT v17 = text(" x", VT_UI1);
  t = variantToText(&v17);
  ASSERT_TRUE(t);
  EXPECT_STREQ(t.get(), " x");
}

TEST(VariantToText, BlankEmptyAndNonTextGiveNoText) {
  for (const char* blank : {"", "   ", "\t", " \r\n\v\f"}) {
    VARIANT v = text(blank);
    EXPECT_FALSE(variantToText(&v)) << '"' << blank << '"';
    EXPECT_EQ(v.vt, VT_EMPTY);
  }
  VARIANT v;
  VariantInit(&v);
  variantSetI4(&v, 42);
  EXPECT_FALSE(variantToText(&v));
  variantSetNull(&v);
  EXPECT_FALSE(variantToText(&v));
  EXPECT_EQ(v.vt, VT_EMPTY);
  VARIANT high = text("\xA0");  // a character with the high bit set is not white space
  EXPECT_TRUE(variantToText(&high));
}

TEST(VariantToLong, WidensSixteenBitWithSign) {
  VARIANT v;
  VariantInit(&v);
  variantSetI2(&v, -5);
  EXPECT_EQ(variantToLong(&v, 0), -5);
  EXPECT_EQ(v.vt, VT_EMPTY);
  variantSetI2(&v, -32768);
  EXPECT_EQ(variantToLong(&v, 0), -32768);
  variantSetI4(&v, INT32_MIN);
  EXPECT_EQ(variantToLong(&v, 0), INT32_MIN);
}

TEST(VariantToLong, OtherTypesGiveTheDefault) {
  VARIANT v;
  VariantInit(&v);
  variantSetBool(&v, true);
  EXPECT_EQ(variantToLong(&v, 7), 7);
  variantSetR8(&v, 3.0);
  EXPECT_EQ(variantToLong(&v, 7), 7);
  variantSetCy(&v, 30000);
  EXPECT_EQ(variantToLong(&v, 7), 7);
  variantSetDate(&v, 35962.5);
  EXPECT_EQ(variantToLong(&v, 0), 0);
  variantSetNull(&v);
  EXPECT_EQ(variantToLong(&v, 0), 0);
  v = text("12");
  EXPECT_EQ(variantToLong(&v, 0), 0);
  EXPECT_EQ(v.vt, VT_EMPTY);  // and the text is freed
}

TEST(Exceptions, MessageIsCopiedAndCutToTheBuffer) {
  CDaoException e(kDaoItemNotFound, "abcdef");
  char buf[4];
  unsigned help = 99;
  EXPECT_TRUE(e.GetErrorMessage(buf, sizeof buf, &help));
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(help, 0u);
  CDaoException empty(0, "");
  EXPECT_FALSE(empty.GetErrorMessage(buf, sizeof buf));
  EXPECT_STREQ(buf, "");
}

TEST(Exceptions, DaoMessagesArePrintedUnchangedOrTheFallback) {
  testing::internal::CaptureStdout();
  reportException(new CDaoException(1, "100% %s %d done"));
  reportException(new CDaoException(1, ""));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "100% %s %d doneCExcpetion without information");
}

// Records every row handed to convertRecord, then consumes one value the
// way a subclass does, to show that run tolerates cleared values.
class RecordingConverter : public TableConverter {
 public:
  std::vector<std::vector<std::string>> rows;
  int convertRecord(VARIANT* values, int count) override {
    std::vector<std::string> row;
    for (int i = 0; i < count; ++i) row.push_back(describe(values[i]));
    rows.push_back(row);
    if (count > 0) variantToText(&values[0]);
    return 0;
  }
};

class RunTest : public testing::Test {
 protected:
  void SetUp() override {
    sqliteExec(dir.file("SMTP.MDB"),
               "CREATE TABLE AliasSystem (Host TEXT(64), Seen SMALLINT);"
               "INSERT INTO AliasSystem VALUES ('a.example', 1), (NULL, -5), ('c', NULL);"
               "CREATE TABLE SPAMSystem (Host TEXT(64));");
    oldDatabase.Open(dir.file("SMTP.MDB").c_str());
  }
  void TearDown() override { oldDatabase.Close(); }
  ScratchDir dir;
};

TEST_F(RunTest, HandsEveryRowToConvertRecordInOrder) {
  RecordingConverter c;
  EXPECT_EQ(c.run("select * from AliasSystem"), 0);
  std::vector<std::vector<std::string>> expected = {
      {"8:a.example", "2:1"}, {"1:", "2:-5"}, {"8:c", "1:"}};
  EXPECT_EQ(c.rows, expected);
}

TEST_F(RunTest, EmptyTableNeverCallsConvertRecord) {
  RecordingConverter c;
  EXPECT_EQ(c.run("select * from SPAMSystem"), 0);
  EXPECT_TRUE(c.rows.empty());
}

// A converter whose new table was made but could not be opened: table set,
// handle null. (The table is never touched through this pointer.)
class TargetNotOpen : public RecordingConverter {
 public:
  TargetNotOpen() { table = reinterpret_cast<SharedTable*>(this); }
  ~TargetNotOpen() override { table = nullptr; }
};

TEST_F(RunTest, ConverterWhoseTargetDidNotOpenReadsNothing) {
  TargetNotOpen c;
  testing::internal::CaptureStdout();
  EXPECT_EQ(c.run("select * from AliasSystem"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(c.rows.empty());
}

TEST_F(RunTest, OldDatabaseErrorIsPrintedAndEndsOnlyThisTable) {
  RecordingConverter c;
  testing::internal::CaptureStdout();
  EXPECT_EQ(c.run("select * from NoSuchTable"), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("no such table: NoSuchTable"), std::string::npos) << out;
  EXPECT_TRUE(c.rows.empty());
  EXPECT_EQ(c.run("select * from AliasSystem"), 0);  // the database is still usable
  EXPECT_EQ(c.rows.size(), 3u);
}

TEST_F(RunTest, ErrorInTheMiddleKeepsTheRowsAlreadyConverted) {
  // SQLite computes each row as it is stepped to: abs() overflows on the
  // third row only.
  sqliteExec(dir.file("SMTP.MDB"),
             "CREATE TABLE T (n LONG); INSERT INTO T VALUES (1),(2),(0),(4);");
  RecordingConverter c;
  testing::internal::CaptureStdout();
  EXPECT_EQ(c.run("select n, abs(-9223372036854775807 - 1 + n) from T"), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("integer overflow"), std::string::npos) << out;
  ASSERT_EQ(c.rows.size(), 2u);
  EXPECT_EQ(c.rows[1][0], "3:2");
}

}  // namespace
