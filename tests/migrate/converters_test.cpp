// The seven converters on their own: what they do with old tables of an
// unexpected shape, engine failures while a row is written, and a MailBox
// converter without its MessageBag. The full column mappings are checked end
// to end (end_to_end_test.py) with an independent reader.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "dbf/core/os.h"
#include "migrate/converters.h"
#include "migrate/old_database.h"
#include "tables/context.h"
#include "tables/errors.h"
#include "tables/text.h"
#include "tests/migrate/test_support.h"

namespace {

class Converters : public testing::Test {
 protected:
  void SetUp() override { in = std::make_unique<InDirectory>(dir.path()); }
  void TearDown() override {
    if (oldDatabase.IsOpen()) oldDatabase.Close();
    in.reset();
  }
  void openWith(const std::string& sql) {
    sqliteExec(dir.file("SMTP.MDB"), sql);
    oldDatabase.Open("./SMTP.MDB");
  }
  // The texts of every live row of a table, blank columns as "".
  static std::vector<std::vector<std::string>> rowsOf(SharedTable& table, int columns) {
    std::vector<std::vector<std::string>> rows;
    TableHandle* h = table.openHandle();
    if (!h) return rows;
    for (int rc = h->firstRecord(nullptr); rc == 0; rc = h->nextRecord(nullptr)) {
      std::vector<std::string> row;
      for (int i = 0; i < columns; ++i) {
        char* text = nullptr;
        h->readText(i, &text);
        std::string value = text ? text : "";
        freeText(text);
        size_t first = value.find_first_not_of(' ');
        row.push_back(first == std::string::npos ? "" : value.substr(first));
      }
      rows.push_back(row);
    }
    table.releaseHandle(h);
    return rows;
  }
  ScratchDir dir;
  std::unique_ptr<InDirectory> in;
};

TEST_F(Converters, SpamTableIsCreatedUnderItsOwnName) {
  SpamSystemTable spam;
  EXPECT_STREQ(spam.name, "SPAMSystem");
  EXPECT_STREQ(spam.path, "./SPAMSystem");
  EXPECT_EQ(spam.columnDefinitions(), AliasSystemTable().columnDefinitions());
  openWith("CREATE TABLE SPAMSystem (h TEXT); INSERT INTO SPAMSystem VALUES ('x');");
  {
    SpamSystemConverter c;
    ASSERT_EQ(c.openTarget(), 0);
    c.run("select * from SPAMSystem");
  }
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"SMTP.MDB", "SPAMSYSTEM.DBF"}));
}

TEST_F(Converters, OldTableWithFewerColumnsLeavesTheRestBlank) {
  // A UserBase whose fix-up could not run and that lacks most columns.
  openWith("CREATE TABLE UserBase (u TEXT, nt SMALLINT); INSERT INTO UserBase VALUES ('ann', 1);");
  {
    UserBaseConverter c;
    ASSERT_EQ(c.openTarget(), 0);
    c.run("select * from UserBase");
  }
  UserBaseTable table;
  auto rows = rowsOf(table, 11);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0],
            (std::vector<std::string>{"ann", "1", "", "", "0", "", "", "0", "0", "0", ""}));
}

TEST_F(Converters, MailBoxWithoutItsMessageBagWritesNothing) {
  openWith(
      "CREATE TABLE MailBox (a LONG, b LONG, c LONG, u TEXT, t DATETIME);"
      "INSERT INTO MailBox VALUES (1, 2, 3, 'u', NULL);");
  {
    MailBoxConverter c;
    ASSERT_EQ(c.openTarget(), 0);
    c.run("select * from MailBox");
    EXPECT_TRUE(c.failed()) << "a row that cannot be looked up is not dropped on purpose";
  }
  MailBoxTable table;
  EXPECT_TRUE(rowsOf(table, 6).empty());
}

// A table whose new memo file cannot be created keeps its old files, byte for
// byte and under their names, and says so.
TEST_F(Converters, TableThatCannotBeCreatedKeepsItsOldFiles) {
  openWith(
      "CREATE TABLE UserBase (u TEXT, nt SMALLINT, pw TEXT, fn MEMO);"
      "INSERT INTO UserBase VALUES ('ann', 1, 'pw', 'Ann Adler');");
  {
    UserBaseConverter c;
    ASSERT_EQ(c.openTarget(), 0);
    c.run("select * from UserBase");
  }
  std::filesystem::rename(dir.file("USERBASE.FPT"), dir.file("userbase.fpt"));
  std::vector<std::string> before = dir.list();
  std::string data = readFile(dir.file("USERBASE.DBF")), memo = readFile(dir.file("userbase.fpt"));

  static const OsInterface* real = os4get();
  static int creates = 0;
  OsInterface failing = *real;
  failing.create = [](const char* name, OsShare share, OsCreate how, int64_t* handle) {
    return ++creates == 2 ? kOsFailure : real->create(name, share, how, handle);
  };
  os4set(&failing);
  UserBaseConverter c;
  EXPECT_EQ(c.openTarget(), -1);
  os4set(real);
  EXPECT_EQ(creates, 2) << "the data file was made, the memo file was not";
  EXPECT_EQ(dir.list(), before);
  EXPECT_EQ(readFile(dir.file("USERBASE.DBF")), data);
  EXPECT_EQ(readFile(dir.file("userbase.fpt")), memo);
  EXPECT_NE(c.failureReport().find("UserBase: cannot be created"), std::string::npos)
      << c.failureReport();
}

// A lookup whose MessageBag cannot be opened fails alone: the engine error of
// the failed open is disposed of there and fails no later table's writes.
TEST_F(Converters, FailedLookupLeavesNoErrorForTheNextTable) {
  openWith("CREATE TABLE AliasSystem (h TEXT); INSERT INTO AliasSystem VALUES ('a'),('b');");
  MessageBagTable bag;
  ASSERT_EQ(bag.createTable(), 0);
  std::filesystem::remove(dir.file("MESSAGEBAG.DBF"));
  std::filesystem::create_directory(dir.file("MESSAGEBAG.DBF"));
  {
    AliasSystemConverter aliases;
    ASSERT_EQ(aliases.openTarget(), 0);
    int32_t size = 0;
    EXPECT_EQ(bag.findMessage(1, 2, 3, &size), -1);
    EXPECT_EQ(currentContext()->errorCode, 0);
    aliases.run("select * from AliasSystem");
    EXPECT_FALSE(aliases.failed()) << aliases.failureReport();
  }
  AliasSystemTable aliases;
  EXPECT_EQ(rowsOf(aliases, 1), (std::vector<std::vector<std::string>>{{"a"}, {"b"}}));
}

TEST_F(Converters, ConverterWithoutOpenTargetMovesNoFile) {
  openWith(
      "CREATE TABLE MessageBag (a LONG, b LONG, c LONG); INSERT INTO MessageBag VALUES (1,2,3);");
  FILE* f = std::fopen(dir.file("A0000000100000002003.MSG").c_str(), "wb");
  std::fclose(f);
  MessageBagConverter c;
  c.run("select * from MessageBag");
  EXPECT_TRUE(fileExists(dir.file("A0000000100000002003.MSG")));
}

// An alias converter whose second row makes the engine store an error: the
// error ends this table's conversion only, and is cleared so that the next
// table converts in full.
class FailingAliases : public AliasSystemConverter {
 public:
  int convertRecord(VARIANT* values, int count) override {
    if (++rows == 2) {
      currentContext()->errorCode = -310;  // as a failed read would leave it
      handle->beginRecord();               // throws GDatabaseException
    }
    return AliasSystemConverter::convertRecord(values, count);
  }
  int rows = 0;
};

TEST_F(Converters, EngineErrorWhileWritingEndsOnlyThatTable) {
  openWith(
      "CREATE TABLE AliasSystem (h TEXT); INSERT INTO AliasSystem VALUES ('a'),('b'),('c');"
      "CREATE TABLE SPAMSystem (h TEXT); INSERT INTO SPAMSystem VALUES ('x'),('y');");
  {
    FailingAliases aliases;
    SpamSystemConverter spam;
    ASSERT_EQ(aliases.openTarget(), 0);
    ASSERT_EQ(spam.openTarget(), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(aliases.run("select * from AliasSystem"), 0);
    EXPECT_EQ(spam.run("select * from SPAMSystem"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "database errors are not shown";
    EXPECT_EQ(aliases.rows, 2);
    EXPECT_STREQ(lastDatabaseErrorText(), "DBF Error [-310]");
    EXPECT_NE(aliases.failureReport().find("AliasSystem: old row 2 could not be written"),
              std::string::npos)
        << aliases.failureReport();
    EXPECT_FALSE(spam.failed());
  }
  AliasSystemTable aliases;
  SpamSystemTable spam;
  EXPECT_EQ(rowsOf(aliases, 1), (std::vector<std::vector<std::string>>{{"a"}}));
  EXPECT_EQ(rowsOf(spam, 1), (std::vector<std::vector<std::string>>{{"x"}, {"y"}}));
}

}  // namespace
