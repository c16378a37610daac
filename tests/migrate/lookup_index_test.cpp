// The temporary index of the message lookups changes nothing but the speed:
// the seven tables come out byte for byte as from a run that scans (the
// header's date aside), the index exists while the MailBox rows are looked
// up and is gone afterwards, and a file a killed run left behind is left
// alone.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dbf/core/os.h"
#include "migrate/driver.h"
#include "tests/migrate/test_support.h"

namespace {

namespace fs = std::filesystem;

// The .CDX files of a directory.
std::vector<std::string> indexFiles(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.path().extension() == ".CDX") found.push_back(entry.path().filename().string());
  return found;
}

// A MailBox converter that notes which index files exist while it converts.
class WatchingMailBox : public MailBoxConverter {
 public:
  explicit WatchingMailBox(std::string temp) : temp_(std::move(temp)) {}
  int convertRecord(VARIANT* values, int count) override {
    seen = indexFiles(temp_);
    return MailBoxConverter::convertRecord(values, count);
  }
  std::vector<std::string> seen;

 private:
  std::string temp_;
};

std::string lastErrors;  // standard error of the last migrate

// A MessageBag converter that, with |holdOpen|, keeps its new table open on
// a file handle of its own once a row is written, as another program would.
class HeldMessageBag : public MessageBagConverter {
 public:
  explicit HeldMessageBag(bool holdOpen) : holdOpen_(holdOpen) {}
  ~HeldMessageBag() override {
    if (held_ >= 0) os4get()->close(held_);
  }
  int convertRecord(VARIANT* values, int count) override {
    const int result = MessageBagConverter::convertRecord(values, count);
    if (holdOpen_ && held_ < 0) os4get()->open("MESSAGEBAG.DBF", false, kOsShareReadWrite, &held_);
    return result;
  }

 private:
  bool holdOpen_;
  int64_t held_ = -1;
};

// Migrates |dir| with the lookup index on or off; the index files the
// MailBox conversion saw.
std::vector<std::string> migrate(const std::string& dir, const std::string& temp, bool index,
                                 bool holdOpen = false) {
  WatchingMailBox mailBox(temp);
  HeldMessageBag messageBag(holdOpen);
  UserBaseConverter userBase;
  MailingListTitlesConverter mailingListTitles;
  SubscriberBaseConverter subscriberBase;
  AliasSystemConverter aliasSystem;
  SpamSystemConverter spamSystem;
  messageBag.useLookupIndex(index);
  ConverterSet set{&mailBox,        &messageBag,  &userBase,  &mailingListTitles,
                   &subscriberBase, &aliasSystem, &spamSystem};
  InDirectory in(dir);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(migrateOldDatabase(set), 0);
  testing::internal::GetCapturedStdout();
  lastErrors = testing::internal::GetCapturedStderr();
  return mailBox.seen;
}

// The files a run wrote, the date bytes of each table's header blanked.
std::string tablesOf(const std::string& dir) {
  std::string all;
  for (const char* name :
       {"USERBASE.DBF", "USERBASE.FPT", "MESSAGEBAG.DBF", "MAILBOX.DBF", "MAILINGLISTTITLES.DBF",
        "MAILINGLISTTITLES.FPT", "SUBSCRIBERBASE.DBF", "ALIASSYSTEM.DBF", "SPAMSYSTEM.DBF"}) {
    std::string bytes = readFile(dir + "/" + name);
    if (fs::path(name).extension() == ".DBF" && bytes.size() > 4) bytes.replace(1, 3, "DDD");
    all += std::string(name) + ":" + std::to_string(bytes.size()) + ":" + bytes;
  }
  return all;
}

TEST(LookupIndex, TablesAreTheSameAsWithoutItAndTheIndexGoes) {
  ScratchDir source, scanned, indexed, noTemp, held, temp;
  ASSERT_EQ(runProgram("", {sampleProgram(), "--messages", "300", source.path()}).status, 0);
  // A message whose ids stand twice: the lookups must take the first row's
  // FILESIZE, as a scan in record order does.
  sqliteExec(source.file("SMTP.MDB"),
             "INSERT INTO MessageBag SELECT MsgId1, MsgId2, MsgId3, RefCount, FromName, "
             "FromHost, Delivered, ReceivedAt, Priority, RecipientUser, RecipientHost, Urgent, "
             "FileSize + 1 FROM MessageBag WHERE rowid = 5;");
  fs::copy(source.path(), scanned.path(), fs::copy_options::recursive);
  fs::copy(source.path(), indexed.path(), fs::copy_options::recursive);
  fs::copy(source.path(), noTemp.path(), fs::copy_options::recursive);
  fs::copy(source.path(), held.path(), fs::copy_options::recursive);
  // What a killed run may leave behind in the temporary directory.
  const std::string leftover = "DBMIG0000001.CDX";
  fs::copy(source.file("SMTP.MDB"), temp.file(leftover));

  const char* saved = getenv("TEMP");
  const std::string savedTemp = saved != nullptr ? saved : "";
  setenv("TEMP", temp.path().c_str(), 1);
  const std::vector<std::string> whileScanning = migrate(scanned.path(), temp.path(), false);
  const std::vector<std::string> whileIndexed = migrate(indexed.path(), temp.path(), true);
  EXPECT_EQ(lastErrors, "");
  // No index can be made, or the table cannot be had alone: the lookups
  // scan, and say so.
  migrate(held.path(), temp.path(), true, true);
  EXPECT_NE(lastErrors.find("another program has the table open"), std::string::npos)
      << lastErrors;
  setenv("TEMP", (temp.path() + "/missing").c_str(), 1);
  migrate(noTemp.path(), temp.path(), true);
  EXPECT_NE(lastErrors.find("looked up without an index"), std::string::npos) << lastErrors;
  if (saved != nullptr)
    setenv("TEMP", savedTemp.c_str(), 1);
  else
    unsetenv("TEMP");

  EXPECT_EQ(whileScanning, std::vector<std::string>{leftover});
  EXPECT_GT(whileIndexed.size(), 1u);  // the leftover and the run's own index files
  EXPECT_EQ(indexFiles(temp.path()), std::vector<std::string>{leftover});
  EXPECT_EQ(readFile(temp.file(leftover)), readFile(source.file("SMTP.MDB")));
  EXPECT_EQ(tablesOf(indexed.path()), tablesOf(scanned.path()));
  EXPECT_EQ(tablesOf(noTemp.path()), tablesOf(scanned.path()));
  EXPECT_EQ(tablesOf(held.path()), tablesOf(scanned.path()));
  EXPECT_GT(tablesOf(indexed.path()).size(), 300u * 345u);  // the tables have their rows
  EXPECT_TRUE(indexFiles(indexed.path()).empty());
}

}  // namespace
