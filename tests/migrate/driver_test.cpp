// The migration driver: the open failure, the working directory argument,
// the schema fix-ups, and the order in which converters see the old rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "migrate/driver.h"
#include "migrate/old_database.h"
#include "migrate/progress.h"
#include "tests/migrate/test_support.h"

namespace {

const char kBanner[] = "Convert from SMTP/Ploverix to Wrenhub/95, Wrenhub/NT\n";

// A converter of the given class that logs openTarget and every row.
template <class Base>
class Recording : public Base {
 public:
  Recording(std::vector<std::string>* log, std::string name) : log_(log), name_(std::move(name)) {}
  int openTarget() override {
    log_->push_back("open " + name_);
    return Base::openTarget();
  }
  int convertRecord(VARIANT* values, int count) override {
    std::string row = name_;
    for (int i = 0; i < count; ++i) row += "|" + describe(values[i]);
    log_->push_back(row);
    return Base::convertRecord(values, count);
  }

 private:
  std::vector<std::string>* log_;
  std::string name_;
};

struct RecordingSet {
  std::vector<std::string> log;
  Recording<MailBoxConverter> mailBox{&log, "MailBox"};
  Recording<MessageBagConverter> messageBag{&log, "MessageBag"};
  Recording<UserBaseConverter> userBase{&log, "UserBase"};
  Recording<MailingListTitlesConverter> mailingListTitles{&log, "MailingListTitles"};
  Recording<SubscriberBaseConverter> subscriberBase{&log, "SubscriberBase"};
  Recording<AliasSystemConverter> aliasSystem{&log, "AliasSystem"};
  Recording<SpamSystemConverter> spamSystem{&log, "SPAMSystem"};
  ConverterSet set() {
    return {&mailBox,        &messageBag,  &userBase,  &mailingListTitles,
            &subscriberBase, &aliasSystem, &spamSystem};
  }
};

const char* const kTableOrder[] = {"UserBase",          "MessageBag",     "MailBox",
                                   "MailingListTitles", "SubscriberBase", "AliasSystem",
                                   "SPAMSystem"};

TEST(DbmigrateProgram, WithoutOldDatabasePrintsTwoLinesAndExits255TouchingNothing) {
  ScratchDir dir;
  sqliteExec(dir.file("other.db"), "CREATE TABLE T (a);");
  FILE* f = std::fopen(dir.file("USERBASE.DBF").c_str(), "wb");
  std::fputs("an older table that must survive", f);
  std::fclose(f);
  std::vector<std::string> before = dir.list();

  CommandResult r = runProgram(dir.path(), {dbmigrateProgram()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.output, std::string(kBanner) + "Cannot open old database.\nQuit from convertion");
  EXPECT_EQ(r.errors, "");
  EXPECT_EQ(dir.list(), before);
  EXPECT_EQ(readFile(dir.file("USERBASE.DBF")), "an older table that must survive");
}

TEST(DbmigrateProgram, DirectoryArgumentIsWhereItWorks) {
  ScratchDir here, there;
  CommandResult r = runProgram(here.path(), {dbmigrateProgram(), there.path()});
  EXPECT_EQ(r.status, 255);  // no SMTP.MDB there either
  EXPECT_TRUE(here.list().empty());
  EXPECT_TRUE(there.list().empty());

  ASSERT_EQ(runProgram("", {sampleProgram(), "--messages", "10", there.path()}).status, 0);
  std::vector<std::string> files = there.list();
  r = runProgram(here.path(), {dbmigrateProgram(), there.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, kBanner);
  EXPECT_TRUE(here.list().empty());
  // The tables are written there, and the message files renamed there.
  std::vector<std::string> after = there.list();
  for (const char* table :
       {"USERBASE.DBF", "USERBASE.FPT", "MESSAGEBAG.DBF", "MAILBOX.DBF", "MAILINGLISTTITLES.DBF",
        "SUBSCRIBERBASE.DBF", "ALIASSYSTEM.DBF", "SPAMSYSTEM.DBF"})
    EXPECT_NE(std::find(after.begin(), after.end(), table), after.end()) << table;
  auto message = [](const std::string& f, char kind) {
    return f[0] == kind && f.size() > 4 && f.compare(f.size() - 4, 4, ".MSG") == 0;
  };
  size_t oldNames = 0, newNames = 0;
  for (const std::string& f : files) oldNames += message(f, 'A');
  for (const std::string& f : after) {
    EXPECT_FALSE(message(f, 'A')) << f;
    newNames += message(f, 'B');
  }
  EXPECT_EQ(newNames, oldNames);
}

TEST(DbmigrateProgram, MissingDirectoryIsAClearErrorAndTouchesNothing) {
  ScratchDir here;
  CommandResult r = runProgram(here.path(), {dbmigrateProgram(), here.file("no-such-dir")});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.status, 255);
  EXPECT_EQ(r.output, "");  // not even the banner
  EXPECT_NE(r.errors.find("no-such-dir"), std::string::npos) << r.errors;
  EXPECT_TRUE(here.list().empty());
}

TEST(DbmigrateProgram, HelpAndBadArguments) {
  ScratchDir here;
  CommandResult help = runProgram(here.path(), {dbmigrateProgram(), "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Usage: dbmigrate [DIRECTORY]"), std::string::npos);
  EXPECT_NE(runProgram(here.path(), {dbmigrateProgram(), "a", "b"}).status, 0);
  EXPECT_NE(runProgram(here.path(), {dbmigrateProgram(), "--frobnicate"}).status, 0);
  EXPECT_TRUE(here.list().empty());
}

TEST(Driver, WithoutOldDatabaseNoConverterIsUsed) {
  ScratchDir dir;
  InDirectory in(dir.path());
  RecordingSet c;
  testing::internal::CaptureStdout();
  EXPECT_EQ(migrateOldDatabase(c.set()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            std::string(kBanner) + "Cannot open old database.\nQuit from convertion");
  EXPECT_TRUE(c.log.empty());
  EXPECT_FALSE(oldDatabase.IsOpen());
}

// The column count of a table through a fresh connection.
int columnCount(const std::string& path, const char* table) {
  CDaoDatabase db;
  db.Open(path.c_str());
  CDaoTableDef def(&db);
  def.Open(table);
  int n = def.GetFieldCount();
  db.Close();
  return n;
}

class FixUps : public testing::Test {
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
  static std::string columns(int n, const char* type = "LONG") {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? ", c" : "c") + std::to_string(i) + " " + type;
    return s;
  }
  ScratchDir dir;
  std::unique_ptr<InDirectory> in;
};

TEST_F(FixUps, ThirteenFieldMessageBagGainsHdrField63InEveryRow) {
  openWith("CREATE TABLE MessageBag (" + columns(13) +
           ");"
           "INSERT INTO MessageBag (c0) VALUES (1), (2), (3);");
  EXPECT_EQ(upgradeMessageBagSchema(), 1);
  auto rows = readAll(oldDatabase, "select * from MessageBag");
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 14u);
    EXPECT_EQ(row[13], "3:63");
  }
  EXPECT_EQ(readAll(oldDatabase, "select name from pragma_table_info('MessageBag')").back()[0],
            "8:HdrField");
  EXPECT_EQ(upgradeMessageBagSchema(), 0) << "a second run changes nothing";
}

TEST_F(FixUps, TwelveFieldUserBaseGainsMaxVpop3Zero) {
  openWith("CREATE TABLE UserBase (" + columns(12) + "); INSERT INTO UserBase (c0) VALUES (5);");
  EXPECT_EQ(upgradeUserBaseSchema(), 1);
  auto rows = readAll(oldDatabase, "select * from UserBase");
  ASSERT_EQ(rows[0].size(), 13u);
  EXPECT_EQ(rows[0][12], "3:0");
  EXPECT_EQ(upgradeUserBaseSchema(), 0);
}

TEST_F(FixUps, FourteenAndThirteenFieldTablesAreLeftUntouched) {
  openWith("CREATE TABLE MessageBag (" + columns(14) +
           "); INSERT INTO MessageBag (c13) VALUES (7);"
           "CREATE TABLE UserBase (" +
           columns(13) + "); INSERT INTO UserBase (c12) VALUES (8);");
  auto schemaBefore = readAll(oldDatabase, "select sql from sqlite_master");
  EXPECT_EQ(upgradeMessageBagSchema(), 0);
  EXPECT_EQ(upgradeUserBaseSchema(), 0);
  EXPECT_EQ(readAll(oldDatabase, "select sql from sqlite_master"), schemaBefore);
  EXPECT_EQ(readAll(oldDatabase, "select c13 from MessageBag")[0][0], "3:7");
  EXPECT_EQ(readAll(oldDatabase, "select c12 from UserBase")[0][0], "3:8");
}

TEST_F(FixUps, OtherFieldCountsAreLeftUntouched) {
  openWith("CREATE TABLE MessageBag (" + columns(12) +
           ");"
           "CREATE TABLE UserBase (" +
           columns(11) + ");");
  EXPECT_EQ(upgradeMessageBagSchema(), 0);
  EXPECT_EQ(upgradeUserBaseSchema(), 0);
  oldDatabase.Close();
  EXPECT_EQ(columnCount(dir.file("SMTP.MDB"), "MessageBag"), 12);
  EXPECT_EQ(columnCount(dir.file("SMTP.MDB"), "UserBase"), 11);
}

TEST_F(FixUps, MissingTableIsReportedAndTheRunGoesOn) {
  openWith("CREATE TABLE Other (a);");
  testing::internal::CaptureStdout();
  EXPECT_EQ(upgradeMessageBagSchema(), -1);
  EXPECT_EQ(upgradeUserBaseSchema(), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "Table 'MessageBag' not found in this collection.\n"
            "Table 'UserBase' not found in this collection.\n");
}

TEST_F(FixUps, FailingUpdateTakesTheNewColumnAwayAgain) {
  // A trigger that refuses the update of the third row makes it fail.
  openWith("CREATE TABLE UserBase (" + columns(12) +
           "); INSERT INTO UserBase (c0) VALUES (1),(2),(3);"
           "CREATE TRIGGER refuse BEFORE UPDATE ON UserBase WHEN old.c0 = 3"
           " BEGIN SELECT raise(ABORT, 'row 3 is locked'); END;");
  testing::internal::CaptureStdout();
  EXPECT_EQ(upgradeUserBaseSchema(), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("row 3 is locked"), std::string::npos);
  auto rows = readAll(oldDatabase, "select * from UserBase");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].size(), 12u) << "the added column is taken away again";

  sqliteExec(dir.file("SMTP.MDB"), "DROP TRIGGER refuse;");
  EXPECT_EQ(upgradeUserBaseSchema(), 1) << "so that the next run tries again";
  EXPECT_EQ(readAll(oldDatabase, "select * from UserBase")[2][12], "3:0");
}

// Every converter is visited in the fixed order, once per old row, with the
// rows in the old tables' order and all their columns, fix-ups included.
TEST(Driver, VisitsEveryConverterInOrderWithEveryRow) {
  ScratchDir dir;
  ASSERT_EQ(runProgram("", {sampleProgram(), "--messages", "40", dir.path()}).status, 0);

  // What each table holds, read before the run (and before the fix-ups).
  std::vector<std::string> expected;
  {
    CDaoDatabase db;
    db.Open(dir.file("SMTP.MDB").c_str());
    for (const char* table : kTableOrder) expected.push_back(std::string("open ") + table);
    for (const char* table : kTableOrder) {
      for (const auto& row : readAll(db, std::string("select * from ") + table)) {
        std::string line = table;
        for (const std::string& value : row) line += "|" + value;
        if (std::string(table) == "MessageBag") line += "|3:63";
        if (std::string(table) == "UserBase") line += "|3:0";
        expected.push_back(line);
      }
    }
    db.Close();
  }

  // Each run with its own converters, destroyed (closing the new tables)
  // before the next run creates them afresh, as in two runs of the program.
  auto runOnce = [&] {
    RecordingSet c;
    InDirectory in(dir.path());
    testing::internal::CaptureStdout();
    EXPECT_EQ(migrateOldDatabase(c.set()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kBanner);
    return c.log;
  };
  std::vector<std::string> log = runOnce();
  EXPECT_FALSE(oldDatabase.IsOpen());
  EXPECT_EQ(log, expected);
  EXPECT_GT(log.size(), 100u);

  // A second run finds the schema already upgraded and sees the same rows.
  EXPECT_EQ(runOnce(), expected);
}

TEST(Driver, EmptyOldTablesStillOpenEveryTarget) {
  ScratchDir dir;
  std::string sql;
  for (const char* table : kTableOrder) sql += std::string("CREATE TABLE ") + table + " (a LONG);";
  sqliteExec(dir.file("SMTP.MDB"), sql);
  RecordingSet c;
  InDirectory in(dir.path());
  testing::internal::CaptureStdout();
  EXPECT_EQ(migrateOldDatabase(c.set()), 0);
  testing::internal::GetCapturedStdout();
  std::vector<std::string> opens;
  for (const char* table : kTableOrder) opens.push_back(std::string("open ") + table);
  EXPECT_EQ(c.log, opens);
}

// Hears the conversions as the driver runs them: "TABLE of TOTAL" at the
// start, the rows done at the end; rows must be told one after the other.
struct ProgressLog : ConversionProgress {
  std::vector<std::string> lines;
  int64_t rows = 0;
  void tableStarted(const char* table, int64_t totalRows) override {
    lines.push_back(std::string(table) + " of " + std::to_string(totalRows));
    rows = 0;
  }
  void rowsDone(int64_t done) override {
    if (done != rows + 1) lines.push_back("rows out of order");
    rows = done;
  }
  void tableFinished() override { lines.back() += ", done " + std::to_string(rows); }
};

TEST(Driver, ProgressHearsEveryTableWithItsRowCount) {
  ScratchDir dir;
  ASSERT_EQ(runProgram("", {sampleProgram(), "--messages", "40", dir.path()}).status, 0);
  std::vector<std::string> expected;
  {
    CDaoDatabase db;
    db.Open(dir.file("SMTP.MDB").c_str());
    for (const char* table : kTableOrder) {
      const std::string n =
          std::to_string(readAll(db, std::string("select * from ") + table).size());
      expected.push_back(std::string(table) + " of " + n + ", done " + n);
    }
    db.Close();
  }
  RecordingSet c;
  ProgressLog progress;
  InDirectory in(dir.path());
  testing::internal::CaptureStdout();
  EXPECT_EQ(migrateOldDatabase(c.set(), nullptr, &progress), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kBanner);
  EXPECT_EQ(progress.lines, expected);
}

}  // namespace
