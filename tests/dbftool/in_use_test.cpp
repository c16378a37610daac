// dbftool on a table that another program has open, as the mail server keeps
// its tables open: pack, compress-memo, reindex and index refuse it and leave
// every byte as it was; check and dump read it beside that program. The other program is this
// test process, holding the table through the engine while dbftool runs.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <thread>

#include "dbf/core/table.h"
#include "tests/file/test_util.h"

namespace {

const ColumnDescription kColumns[] = {
    {"NAME", 'C', 10, 0, 0}, {"NOTE", 'M', 0, 0, 0}, {nullptr, 0, 0, 0, 0}};

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result dbftool(const whtest::ScratchDir& dir, const std::string& args) {
  const std::string out = dir.file("out.txt"), err = dir.file("err.txt");
  const std::string command =
      std::string(WH_DBFTOOL_PROGRAM) + " " + args + " >" + out + " 2>" + err;
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, whtest::readWhole(out), whtest::readWhole(err)};
}

// Each of |commands| on USERS refused, nothing on the standard output.
void expectRefused(const whtest::ScratchDir& dir, std::initializer_list<const char*> commands) {
  for (const char* command : commands) {
    const Result r = dbftool(dir, std::string(command) + " users");
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.err.find("in use by another program"), std::string::npos) << command << r.err;
    EXPECT_EQ(r.out, "") << command;
  }
}

// USERS.DBF with five records, each with a memo; records 2 and 4 deleted.
void makeTable(whtest::Context& ctx) {
  ctx.compatibility = 30;
  Table* t = table4create(&ctx, "USERS", kColumns, nullptr);
  ASSERT_NE(t, nullptr);
  ColumnValue name(table4column(t, 1)), note(table4column(t, 2));
  for (int i = 1; i <= 5; ++i) {
    ASSERT_EQ(table4appendStart(t, false), 0);
    table4blank(t);
    column4assign(&name, ("user" + std::to_string(i)).c_str());
    column4assign(&note, std::string(100 * i, 'a' + i).c_str());
    ASSERT_EQ(table4append(t), 0);
  }
  for (int n : {2, 4}) {
    ASSERT_EQ(table4go(t, n), 0);
    table4delete(t);
  }
  ASSERT_EQ(table4close(t), 0);
}

TEST(DbftoolInUse, MaintenanceRefusesAnOpenTableAndReadingGoesOn) {
  whtest::ScratchDir dir;
  whtest::Context ctx;
  makeTable(ctx);
  const std::string data = whtest::readWhole("USERS.DBF"), memo = whtest::readWhole("USERS.FPT");

  Table* held = table4open(&ctx, "USERS");  // shared, as the server opens it
  ASSERT_NE(held, nullptr);
  expectRefused(dir, {"pack", "compress-memo", "reindex", "index --tag n --expr name"});
  EXPECT_EQ(whtest::readWhole("USERS.DBF"), data);
  EXPECT_EQ(whtest::readWhole("USERS.FPT"), memo);
  EXPECT_FALSE(whtest::fileExists("USERS.CDX"));

  const Result checked = dbftool(dir, "check users");
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  EXPECT_EQ(checked.out, "USERS.DBF: ok (5 records, 5 memos)\n");
  const Result dumped = dbftool(dir, "dump users --columns name");
  EXPECT_EQ(dumped.status, 0) << dumped.err;
  EXPECT_EQ(dumped.out, "NAME\r\nuser1\r\nuser3\r\nuser5\r\n");
  ASSERT_EQ(table4close(held), 0);

  // With the table to itself, pack removes the deleted records.
  const Result packed = dbftool(dir, "pack users");
  EXPECT_EQ(packed.status, 0) << packed.err;
  EXPECT_NE(packed.out.find("3 records kept, 2 deleted records removed"), std::string::npos)
      << packed.out;
  Table* t = table4open(&ctx, "USERS");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(table4recCount(t), 3);
  EXPECT_EQ(table4close(t), 0);

  // An index made while nobody has the table, then the table held again:
  // the index is neither rebuilt nor replaced under the holder.
  const Result indexed = dbftool(dir, "index users --tag name --expr name");
  EXPECT_EQ(indexed.status, 0) << indexed.err;
  const std::string index = whtest::readWhole("USERS.CDX");
  held = table4open(&ctx, "USERS");
  ASSERT_NE(held, nullptr);
  expectRefused(dir, {"reindex", "index --tag name --expr 'upper(name)'"});
  EXPECT_EQ(whtest::readWhole("USERS.CDX"), index);
  const Result sorted = dbftool(dir, "dump users --tag name --columns name");
  EXPECT_EQ(sorted.status, 0) << sorted.err;
  EXPECT_EQ(sorted.out, "NAME\r\nuser1\r\nuser3\r\nuser5\r\n");
  const Result sound = dbftool(dir, "check users");
  EXPECT_EQ(sound.out, "USERS.DBF: ok (3 records, 3 memos, 1 tag with 3 keys)\n");
  EXPECT_EQ(table4close(held), 0);
}

// A program in the middle of changing a record holds its lock: check waits
// for it rather than read the table half-changed.
TEST(DbftoolInUse, CheckWaitsForAWriterToFinish) {
  whtest::ScratchDir dir;
  whtest::Context ctx;
  makeTable(ctx);
  Table* writer = table4open(&ctx, "USERS");
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(table4lockRecord(writer, 3), 0);
  Result checked;
  std::chrono::steady_clock::time_point finished;
  std::thread run([&] {
    checked = dbftool(dir, "check users");
    finished = std::chrono::steady_clock::now();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const auto unlocked = std::chrono::steady_clock::now();
  EXPECT_EQ(table4unlock(writer), 0);
  run.join();
  EXPECT_GE(finished, unlocked);
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  EXPECT_EQ(checked.out, "USERS.DBF: ok (5 records, 5 memos)\n");
  EXPECT_EQ(table4close(writer), 0);
}

TEST(DbftoolInUse, AnExclusiveHolderKeepsEveryCommandOut) {
  whtest::ScratchDir dir;
  whtest::Context ctx;
  makeTable(ctx);
  ctx.shareMode = 1;
  Table* held = table4open(&ctx, "USERS");
  ASSERT_NE(held, nullptr);
  expectRefused(dir, {"info", "dump", "check", "pack", "reindex", "index --tag n --expr name"});
  EXPECT_EQ(table4close(held), 0);
}

}  // namespace
