// copyValue and the converter's ownership of its new table, on real tables
// written through the table layer.
#include <gtest/gtest.h>

#include <cstring>

#include "migrate/converter.h"
#include "migrate/old_database.h"
#include "tables/errors.h"
#include "tables/shared_table.h"
#include "tables/text.h"
#include "tests/migrate/test_support.h"

namespace {

const ColumnDescription kColumns[] = {{"TXT", 'C', 10, 0, 0}, {"NOTE", 'M', 10, 0, 0},
                                      {"NUM", 'N', 11, 0, 0}, {"DAY", 'D', 8, 0, 0},
                                      {"FLAG", 'L', 1, 0, 0}, {nullptr, 0, 0, 0, 0}};

class CopyTable : public SharedTable {
 public:
  CopyTable() : SharedTable("COPYTEST") {}
  const ColumnDescription* columnDefinitions() override { return kColumns; }
};

// Creates its table as every converter does and copies each value of a row
// into the column of the same position.
class CopyConverter : public TableConverter {
 public:
  int openTarget() override {
    table = new CopyTable;
    if (table->createTable() != 0) return -1;
    handle = table->openHandle();
    return handle ? 0 : -2;
  }
  int convertRecord(VARIANT* values, int count) override {
    handle->beginRecord();
    int result = 0;
    for (int i = 0; i < count; ++i) result = copyValue(handle, i, &values[i]);
    if (failAt == ++rows) handle->assignLong(99, 1);  // no such column: the layer throws
    handle->appendRecord();
    return result;
  }
  int rows = 0;
  int failAt = -1;
};

// The columns of every record of COPYTEST as texts ("" for blank), leading
// blanks of numbers removed.
std::vector<std::vector<std::string>> readBack() {
  CopyTable table;
  TableHandle* h = table.openHandle();
  EXPECT_NE(h, nullptr);
  std::vector<std::vector<std::string>> rows;
  for (int rc = h->firstRecord(nullptr); rc == 0; rc = h->nextRecord(nullptr)) {
    std::vector<std::string> row;
    for (int i = 0; i < 5; ++i) {
      char* text = nullptr;
      h->readText(i, &text);
      std::string value = text ? text : "";
      freeText(text);
      row.push_back(value.erase(0, value.find_first_not_of(' ') == std::string::npos
                                       ? value.size()
                                       : value.find_first_not_of(' ')));
    }
    rows.push_back(row);
  }
  table.releaseHandle(h);
  return rows;
}

class CopyValue : public testing::Test {
 protected:
  void SetUp() override { in = std::make_unique<InDirectory>(dir.path()); }
  void TearDown() override { in.reset(); }

  // Converts one row of five values through a fresh converter.
  static void convert(std::vector<VARIANT> row) {
    CopyConverter c;
    ASSERT_EQ(c.openTarget(), 0);
    c.convertRecord(row.data(), static_cast<int>(row.size()));
    for (VARIANT& v : row) VariantClear(&v);
  }
  static VARIANT text(const char* s) {
    VARIANT v;
    VariantInit(&v);
    variantSetText(&v, s);
    return v;
  }
  template <typename Setter, typename T>
  static VARIANT make(Setter set, T value) {
    VARIANT v;
    VariantInit(&v);
    set(&v, value);
    return v;
  }
  static VARIANT null() {
    VARIANT v;
    VariantInit(&v);
    variantSetNull(&v);
    return v;
  }

  ScratchDir dir;
  std::unique_ptr<InDirectory> in;
};

TEST_F(CopyValue, TextsAreCutToTheWidthAndBlankTextsLeaveBlanks) {
  convert({text("Alice Adler Long"), text("a memo text"), make(variantSetI2, int16_t{-5}),
           text("19980616"), make(variantSetBool, true)});
  auto rows = readBack();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"Alice Adle", "a memo text", "-5", "", ""}))
      << "D and L columns are not written";

  convert({text("   "), text("\t"), null(), null(), null()});
  EXPECT_EQ(readBack()[0], (std::vector<std::string>{"", "", "0", "", ""}));
}

TEST_F(CopyValue, NumbersDatesAndOtherTypesInANumericColumn) {
  struct Case {
    VARIANT value;
    const char* stored;
  };
  std::vector<Case> cases = {
      {make(variantSetI4, int32_t{-2147483647}), "-2147483647"},
      {make(variantSetI2, int16_t{-5}), "-5"},
      {make(variantSetDate, 35962.55111111111), "113922816"},  // 1998-06-16 13:13:36
      {make(variantSetBool, true), "0"},
      {make(variantSetR8, 7.0), "0"},
      {make(variantSetCy, int64_t{70000}), "0"},
      {text("42"), "0"},
      {null(), "0"},
      {make(variantSetDate, 1e9), ""},  // no calendar date: left blank
  };
  for (Case& c : cases) {
    std::string what = describe(c.value);
    convert({null(), null(), c.value, null(), null()});  // takes the value over
    EXPECT_EQ(readBack()[0][2], c.stored) << what;
  }
}

TEST_F(CopyValue, PositionOutsideTheColumnsWritesNothing) {
  CopyConverter c;
  ASSERT_EQ(c.openTarget(), 0);
  VARIANT v = text("x");
  EXPECT_EQ(c.copyValue(nullptr, 0, &v), 0);  // no handle
  EXPECT_EQ(c.copyValue(nullptr, 7, &v), 0);
  VariantClear(&v);
}

TEST_F(CopyValue, RunWritesEveryRowAndDestructionClosesTheTable) {
  sqliteExec(dir.file("SMTP.MDB"),
             "CREATE TABLE T (t TEXT, m MEMO, n LONG, d DATETIME, f YESNO);"
             "INSERT INTO T VALUES ('one', 'first', 1, NULL, 1), ('two', NULL, -2, NULL, 0),"
             " ('three', 'third', 3, NULL, NULL);");
  oldDatabase.Open("./SMTP.MDB");
  testing::internal::CaptureStdout();
  {
    CopyConverter c;
    ASSERT_EQ(c.openTarget(), 0);
    EXPECT_EQ(c.run("select * from T"), 0);
  }  // releases the handle and closes the table
  oldDatabase.Close();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no counter or pack error";
  auto rows = readBack();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1], (std::vector<std::string>{"two", "", "-2", "", ""}));
  EXPECT_EQ(rows[2][1], "third");
}

TEST_F(CopyValue, TableLayerErrorEndsThisTableOnly) {
  sqliteExec(dir.file("SMTP.MDB"),
             "CREATE TABLE T (t TEXT); INSERT INTO T VALUES ('a'), ('b'), ('c');");
  oldDatabase.Open("./SMTP.MDB");
  testing::internal::CaptureStdout();
  {
    CopyConverter c;
    c.failAt = 2;
    ASSERT_EQ(c.openTarget(), 0);
    EXPECT_EQ(c.run("select * from T"), 0);
    EXPECT_EQ(c.rows, 2);
  }
  oldDatabase.Close();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "database errors are not printed";
  EXPECT_STREQ(lastDatabaseErrorText(), "DBF Error [-930]");
  auto rows = readBack();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "a");
}

}  // namespace
