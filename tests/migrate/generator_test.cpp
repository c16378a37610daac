// The sample-data generator: the old layout, the message files, the
// deliberate faults, determinism, and refusing to overwrite.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "migrate/old_database.h"
#include "tests/migrate/test_support.h"

namespace {

std::string oldName(const std::string& id1, const std::string& id2, const std::string& id3) {
  auto word = [](const std::string& described) {
    return static_cast<uint32_t>(std::stol(described.substr(2)));
  };
  char name[64];
  std::snprintf(name, sizeof name, "A%08X%08X%03X.MSG", word(id1), word(id2), word(id3) & 0xFFFFu);
  return name;
}

class Generator : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new ScratchDir;
    CommandResult r = runProgram("", {sampleProgram(), "--messages", "60", dir->path()});
    ASSERT_EQ(r.status, 0) << r.errors;
    db = new CDaoDatabase;
    db->Open(dir->file("SMTP.MDB").c_str());
  }
  static void TearDownTestSuite() {
    db->Close();
    delete db;
    delete dir;
  }
  static std::vector<std::vector<std::string>> rows(const char* table) {
    return readAll(*db, std::string("select * from ") + table);
  }
  static ScratchDir* dir;
  static CDaoDatabase* db;
};
ScratchDir* Generator::dir;
CDaoDatabase* Generator::db;

TEST_F(Generator, WritesTheSevenOldTablesInTheOldLayout) {
  EXPECT_EQ(readFile(dir->file("SMTP.MDB")).substr(0, 16), std::string("SQLite format 3\0", 16));
  std::map<std::string, int> expected = {
      {"UserBase", 12},      {"MessageBag", 13}, {"MailBox", 5},   {"MailingListTitles", 5},
      {"SubscriberBase", 4}, {"AliasSystem", 1}, {"SPAMSystem", 1}};
  for (const auto& [table, count] : expected) {
    CDaoTableDef def(db);
    def.Open(table.c_str());
    EXPECT_EQ(def.GetFieldCount(), count) << table;
  }
  EXPECT_EQ(rows("MessageBag").size(), 60u);
}

TEST_F(Generator, ColumnsHaveTheTypesAnAccessDatabaseGave) {
  // Type codes of the first user and the first message, column by column.
  auto typesOf = [](const std::vector<std::string>& row) {
    std::string types;
    for (const std::string& v : row) types += v.substr(0, v.find(':')) + " ";
    return types;
  };
  EXPECT_EQ(typesOf(rows("UserBase")[0]), "8 2 8 8 2 1 1 7 3 3 3 3 ");
  EXPECT_EQ(typesOf(rows("MessageBag")[0]), "3 3 3 2 8 8 11 7 2 8 8 11 3 ");
  EXPECT_EQ(typesOf(rows("MailBox")[0]), "3 3 3 8 7 ");
  EXPECT_EQ(typesOf(rows("MailingListTitles")[0]), "3 3 8 8 2 ");
  EXPECT_EQ(typesOf(rows("SubscriberBase")[0]), "3 8 8 2 ");
}

TEST_F(Generator, MessageFilesMatchTheRowsExceptTheMissingOne) {
  std::set<std::string> named;
  int missing = 0;
  for (const auto& row : rows("MessageBag")) {
    std::string name = oldName(row[0], row[1], row[2]);
    named.insert(name);
    if (!fileExists(dir->file(name))) {
      ++missing;
      continue;
    }
    EXPECT_EQ("3:" + std::to_string(readFile(dir->file(name)).size()), row[12]) << name;
  }
  EXPECT_EQ(missing, 1);
  EXPECT_EQ(named.size(), 60u) << "no two messages share an old file name";
  EXPECT_TRUE(fileExists(dir->file("A35A1B2C300000001012.MSG")));  // ids 35A1B2C3, 1, 12
  EXPECT_TRUE(fileExists(dir->file("AFFFFFFFF80000001014.MSG")));  // high bits set
  for (const std::string& file : dir->list()) {
    if (file == "SMTP.MDB") continue;
    EXPECT_EQ(named.count(file), 1u) << file << " belongs to no row";
  }
}

TEST_F(Generator, DeliberateFaultsArePresent) {
  auto bag = rows("MessageBag");
  EXPECT_EQ(bag[1][2], "3:65554");  // third id 0x10012
  EXPECT_EQ(bag[2][0], "3:-1");     // ids with the high bit set
  EXPECT_EQ(bag[2][1], "3:-2147483647");
  EXPECT_EQ(bag[4][4], "8:   ");  // blank sender
  EXPECT_EQ(bag[4][9], "1:");
  EXPECT_GT(bag[5][4].size(), 2u + 64u);  // longer than the new column
  EXPECT_EQ(bag[6][7], "7:1998-06-16 13:13:36");
  EXPECT_EQ(bag[7][3], "2:-5");                                   // 16-bit -5
  EXPECT_EQ(bag[8][6] + bag[8][8] + bag[8][11], "11:02:511:-1");  // flags 0, 5, -1
  EXPECT_EQ(bag[9][7], "7:1998-06-16 13:13:36");                  // stored as an OLE number

  std::set<std::string> messages;
  for (const auto& row : bag) messages.insert(row[0] + row[1] + row[2]);
  int orphans = 0;
  auto box = rows("MailBox");
  for (const auto& row : box) orphans += messages.count(row[0] + row[1] + row[2]) == 0;
  EXPECT_EQ(orphans, 1);
  EXPECT_GE(box.size(), 60u + 1u);  // at least one mailbox row per message

  EXPECT_EQ(rows("UserBase")[1][3], "8: \t ");
  EXPECT_EQ(rows("SubscriberBase")[0][3], "2:-5");
  EXPECT_EQ(rows("MailingListTitles")[1][2], "8:  ");
  EXPECT_EQ(rows("AliasSystem")[3][0], "8:   ");
}

TEST_F(Generator, SameCountGivesTheSameData) {
  ScratchDir other;
  ASSERT_EQ(runProgram("", {sampleProgram(), "--messages", "60", other.path()}).status, 0);
  CDaoDatabase db2;
  db2.Open(other.file("SMTP.MDB").c_str());
  for (const char* t : {"UserBase", "MessageBag", "MailBox", "MailingListTitles", "SubscriberBase",
                        "AliasSystem", "SPAMSystem"})
    EXPECT_EQ(readAll(db2, std::string("select * from ") + t), rows(t)) << t;
  db2.Close();
  ASSERT_EQ(other.list(), dir->list());
  for (const std::string& file : dir->list()) {
    if (file == "SMTP.MDB") continue;
    EXPECT_EQ(readFile(other.file(file)), readFile(dir->file(file))) << file;
  }
}

TEST(GeneratorArguments, ExistingDatabaseIsKeptWithoutForce) {
  ScratchDir dir;
  sqliteExec(dir.file("SMTP.MDB"), "CREATE TABLE Precious (a); INSERT INTO Precious VALUES (1);");
  std::string before = readFile(dir.file("SMTP.MDB"));
  CommandResult r = runProgram("", {sampleProgram(), dir.path()});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.errors.find("--force"), std::string::npos);
  EXPECT_EQ(readFile(dir.file("SMTP.MDB")), before);
  EXPECT_EQ(dir.list(), std::vector<std::string>{"SMTP.MDB"});

  EXPECT_EQ(runProgram("", {sampleProgram(), "--force", "--no-message-files", dir.path()}).status,
            0);
  EXPECT_EQ(dir.list(), std::vector<std::string>{"SMTP.MDB"});
  EXPECT_NE(readFile(dir.file("SMTP.MDB")), before);
}

TEST(GeneratorArguments, BadArgumentsAreRefused) {
  ScratchDir dir;
  EXPECT_NE(runProgram("", {sampleProgram()}).status, 0);
  EXPECT_NE(runProgram("", {sampleProgram(), "--messages", "5", dir.path()}).status, 0);
  EXPECT_NE(runProgram("", {sampleProgram(), "--messages", "2000000", dir.path()}).status, 0);
  EXPECT_NE(runProgram("", {sampleProgram(), "--messages", "x", dir.path()}).status, 0);
  EXPECT_TRUE(dir.list().empty());
}

}  // namespace
