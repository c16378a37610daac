// Existing files are found as Windows finds them, ignoring case: tables, memo
// files and other files that another program wrote under lower-case names;
// a name that matches several files is an error naming them, and new files
// still get the engine's upper-case names.
#include <string>

#include "dbf/core/os.h"
#include "tests/table/fixture.h"

using namespace tabletest;

namespace {

const ColumnDescription kColumns[] = {
    {"NAME", 'C', 8, 0, 0}, {"NOTE", 'M', 0, 0, 0}, {nullptr, 0, 0, 0, 0}};

std::string find(const char* name, OsStatus* status) {
  char out[1024] = "";
  *status = os4get()->findExisting(name, out, sizeof out);
  return out;
}

}  // namespace

TEST_F(TableTest, FilesOfAnotherCaseAreTheSameFilesAndSeveralAreAnError) {
  Table* t = table4create(&ctx_, "./Users", kColumns, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(appendTexts(t, {"ann", "a note of Ann"}), 0);
  ASSERT_EQ(table4close(t), 0);
  fs::rename("USERS.DBF", "users.dbf");
  fs::rename("USERS.FPT", "Users.fpt");

  // Opened, memo included, under the names another program gave the files.
  t = table4open(&ctx_, "./USERS");
  ASSERT_NE(t, nullptr) << ctx_.errorCode;
  ASSERT_EQ(table4top(t), 0);
  uint32_t length = 0;
  const char* note = column4memoText(table4column(t, 2), &length);
  EXPECT_EQ(std::string(note, length), "a note of Ann");
  ASSERT_EQ(table4close(t), 0);

  // A case-blind match is an existing file: no create or no-replace rename
  // puts a second file beside it. New files get the upper-case name.
  EXPECT_EQ(table4create(&ctx_, "./users", kColumns, nullptr), nullptr);
  engine4errorSet(&ctx_, 0);
  t = table4create(&ctx_, "./other", kColumns, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(table4close(t), 0);
  EXPECT_TRUE(fs::exists("OTHER.DBF"));
  EXPECT_EQ(os4get()->rename("OTHER.FPT", "USERS.FPT", false), kOsExists);
  EXPECT_TRUE(fs::exists("OTHER.FPT"));

  // Two files that differ only in case: nothing picks one of them.
  fs::copy_file("users.dbf", "Users.DBF");
  OsStatus status;
  std::string matches = find("USERS.DBF", &status);
  EXPECT_EQ(status, kOsAmbiguous);
  EXPECT_TRUE(matches == "users.dbf, Users.DBF" || matches == "Users.DBF, users.dbf") << matches;
  EXPECT_EQ(table4open(&ctx_, "./USERS"), nullptr);
  EXPECT_LT(ctx_.errorCode, 0);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(os4get()->remove("USERS.DBF"), kOsAmbiguous);
  EXPECT_TRUE(fs::exists("users.dbf") && fs::exists("Users.DBF"));

  // The exact name always wins; a missing one is not found.
  EXPECT_EQ(find("Users.DBF", &status), "Users.DBF");
  EXPECT_EQ(status, kOsOk);
  find("NOBODY.DBF", &status);
  EXPECT_EQ(status, kOsNotFound);
}
