// SharedTable: creation afresh, sharing between handles of one thread, the
// open counter and compaction by the last user.
#include <gtest/gtest.h>

#include <string>

#include "tables/context.h"
#include "tables/errors.h"
#include "tests/tables/support.h"

namespace tables_test {
namespace {

class SharedTableTest : public ScratchDirectoryTest {
 protected:
  // Creates PEOPLE with rows 1..count, NOTE "note <id>".
  void createPeople(int count) {
    ASSERT_EQ(people_.createTable(), 0);
    TableHandle* handle = people_.openHandle();
    ASSERT_NE(handle, nullptr);
    for (int id = 1; id <= count; ++id) {
      std::string note = "note " + std::to_string(id);
      appendPerson(handle, id, "p", note.c_str());
    }
    people_.releaseHandle(handle);
  }

  ListTable people_{"People", kPeopleColumns};
};

TEST_F(SharedTableTest, PathIsTheDirectoryPrefixAndTheName) {
  EXPECT_STREQ(people_.path, "./People");
  EXPECT_STREQ(people_.name, "People");
  ListTable blank("  ", kPeopleColumns);
  EXPECT_EQ(blank.name, nullptr);
  EXPECT_STREQ(blank.path, "./");
}

TEST_F(SharedTableTest, CreateOverOldFilesGivesANewEmptyTable) {
  createPeople(3);
  writeFile("PEOPLE.CDX", "an index file of some earlier version");
  ASSERT_EQ(people_.createTable(), 0);
  EXPECT_FALSE(fileExists("PEOPLE.CDX"));
  EXPECT_EQ(people_.openCount, 0);

  TableHandle* handle = people_.openHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(table4recCount(handle->table), 0);
  EXPECT_EQ(handle->firstRecord(nullptr), 3);
  people_.releaseHandle(handle);

  DbfContents contents = readWithDbfread("PEOPLE.DBF");
  ASSERT_TRUE(contents.ok) << contents.error;
  EXPECT_EQ(contents.headerCount, 0);
  EXPECT_EQ(contents.fields, (std::vector<std::string>{"ID", "NAME", "NOTE", "STAMP"}));
}

TEST_F(SharedTableTest, CreateReplacesFilesThatAreNotTablesAtAll) {
  writeFile("PEOPLE.DBF", "garbage");
  writeFile("PEOPLE.FPT", "garbage");
  ASSERT_EQ(people_.createTable(), 0);
  TableHandle* handle = people_.openHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->columnCount, 4);
  people_.releaseHandle(handle);
}

TEST_F(SharedTableTest, TableInUseIsNotCreatedAfreshAndKeepsItsRows) {
  createPeople(2);
  TableHandle* user = people_.openHandle();
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(people_.createTable(), -1);
  EXPECT_EQ(people_.openCount, 1);
  // The failed create left its error in the context; the next open clears it.
  TableHandle* second = people_.openHandle();
  ASSERT_NE(second, nullptr);
  appendPerson(user, 3, "three", "memo three");  // still the table's own file
  people_.releaseHandle(second);
  people_.releaseHandle(user);

  DbfContents contents = readWithDbfread("PEOPLE.DBF");
  ASSERT_TRUE(contents.ok) << contents.error;
  EXPECT_EQ(contents.headerCount, 3);
  ASSERT_EQ(contents.rows.size(), 3u);
  EXPECT_EQ(contents.rows[2][2], "memo three");
  EXPECT_EQ(people_.createTable(), 0);  // nobody uses it any more
}

TEST_F(SharedTableTest, RemoveFilesRemovesDataMemoAndIndexFiles) {
  for (const char* name : {"PEOPLE.DBF", "PEOPLE.FPT", "PEOPLE.CDX"}) writeFile(name, "x");
  people_.removeFiles();
  for (const char* name : {"PEOPLE.DBF", "PEOPLE.FPT", "PEOPLE.CDX"}) {
    EXPECT_FALSE(fileExists(name)) << name;
  }
}

TEST_F(SharedTableTest, FailuresReturnMinusOneQuietlyAndKeepTheCounterBalanced) {
  ListTable nowhere("NoSuchDirectory/People", kPeopleColumns);
  testing::internal::CaptureStdout();
  EXPECT_EQ(nowhere.createTable(), -1);
  EXPECT_EQ(nowhere.openCheck(), -1);
  EXPECT_EQ(nowhere.openHandle(), nullptr);
  EXPECT_EQ(people_.openHandle(), nullptr);  // never created
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(nowhere.openCount, 0);
  EXPECT_EQ(people_.openCount, 0);
}

// A table whose handles find a column they cannot bind (open gives -2).
class UnbindableTable : public ListTable {
 public:
  UnbindableTable() : ListTable("People", kPeopleColumns) {}
  TableHandle* acquireHandle() override {
    struct Handle : TableHandle {
      using TableHandle::TableHandle;
      int open(EngineContext* ctx) override {
        TableHandle::open(ctx);
        return -2;
      }
    };
    delete ListTable::acquireHandle();  // counts the handle
    return new Handle(this, path);
  }
};

TEST_F(SharedTableTest, HandleWithAnUnboundColumnIsReleasedAgain) {
  UnbindableTable table;
  ASSERT_EQ(table.createTable(), 0);
  EXPECT_EQ(table.openHandle(), nullptr);
  EXPECT_EQ(table.openCount, 0);
  EXPECT_EQ(table.createTable(), 0);  // its table was closed again
}

TEST_F(SharedTableTest, OpenCheckOpensAndClosesAgain) {
  createPeople(1);
  EXPECT_EQ(people_.openCheck(), 0);
  EXPECT_EQ(people_.openCount, 0);
  // The table is closed again: a create can remove and replace it.
  EXPECT_EQ(people_.createTable(), 0);
}

TEST_F(SharedTableTest, TwoHandlesInOneThreadShareTheTable) {
  createPeople(2);
  TableHandle* first = people_.openHandle();
  TableHandle* second = people_.openHandle();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(people_.openCount, 2);

  appendPerson(first, 3, "third", nullptr);
  EXPECT_EQ(visibleIds(second), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(visibleIds(first), (std::vector<int32_t>{1, 2, 3}));

  people_.releaseHandle(first);
  EXPECT_EQ(visibleIds(second), (std::vector<int32_t>{1, 2, 3}));
  people_.releaseHandle(second);
  EXPECT_EQ(people_.openCount, 0);
}

TEST_F(SharedTableTest, LastOfTwoReleasesCompactsOnce) {
  createPeople(3);
  TableHandle* first = people_.openHandle();
  TableHandle* second = people_.openHandle();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(first->firstRecord(nullptr), 0);
  first->deleteCurrent();
  first->advance();  // stores the deletion

  people_.releaseHandle(first);
  EXPECT_EQ(people_.compactions, 0);
  EXPECT_EQ(people_.packPending, 1);
  DbfContents before = readWithDbfread("PEOPLE.DBF");
  ASSERT_TRUE(before.ok) << before.error;
  EXPECT_EQ(before.headerCount, 3);
  EXPECT_EQ(before.deletedCount, 1);

  testing::internal::CaptureStdout();
  people_.releaseHandle(second);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(people_.compactions, 1);
  EXPECT_EQ(people_.packPending, 0);
  DbfContents after = readWithDbfread("PEOPLE.DBF");
  ASSERT_TRUE(after.ok) << after.error;
  EXPECT_EQ(after.headerCount, 2);
  EXPECT_EQ(after.deletedCount, 0);
  ASSERT_EQ(after.rows.size(), 2u);
  EXPECT_EQ(after.rows[0][0], "2");
  EXPECT_EQ(after.rows[0][2], "note 2");
  EXPECT_EQ(after.rows[1][0], "3");
  EXPECT_EQ(after.rows[1][2], "note 3");

  // Nothing is pending any more: the next last release does not compact.
  people_.releaseHandle(people_.openHandle());
  EXPECT_EQ(people_.compactions, 1);
}

TEST_F(SharedTableTest, DeletionStillUnstoredAtReleaseIsCompactedToo) {
  createPeople(2);
  TableHandle* handle = people_.openHandle();
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(handle->firstRecord(nullptr), 0);
  handle->deleteCurrent();  // only in the record buffer so far
  people_.releaseHandle(handle);
  EXPECT_EQ(people_.compactions, 1);
  DbfContents contents = readWithDbfread("PEOPLE.DBF");
  ASSERT_TRUE(contents.ok) << contents.error;
  EXPECT_EQ(contents.headerCount, 1);
  ASSERT_EQ(contents.rows.size(), 1u);
  EXPECT_EQ(contents.rows[0][0], "2");
}

TEST_F(SharedTableTest, LastReleaseWithoutDeletionsDoesNotCompact) {
  createPeople(2);
  TableHandle* handle = people_.openHandle();
  ASSERT_NE(handle, nullptr);
  people_.releaseHandle(handle);
  EXPECT_EQ(people_.compactions, 0);
}

TEST_F(SharedTableTest, DeleteAllAloneDoesNotLeadToCompaction) {
  createPeople(3);
  TableHandle* handle = people_.openHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->deleteAll(), 3);
  people_.releaseHandle(handle);
  EXPECT_EQ(people_.compactions, 0);
  DbfContents contents = readWithDbfread("PEOPLE.DBF");
  ASSERT_TRUE(contents.ok) << contents.error;
  EXPECT_EQ(contents.headerCount, 3);
  EXPECT_EQ(contents.deletedCount, 3);
}

TEST_F(SharedTableTest, ExtraReleasePrintsTheCounterErrorWithThePath) {
  ListTable messageBag("MessageBag", kPeopleColumns);
  ASSERT_EQ(messageBag.createTable(), 0);
  testing::internal::CaptureStdout();
  messageBag.releaseHandle(new TableHandle(&messageBag, messageBag.path));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "S> ./MessageBag Counter Error");
  EXPECT_EQ(messageBag.openCount, 0);

  // The counter works normally afterwards.
  TableHandle* handle = messageBag.openHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(messageBag.openCount, 1);
  testing::internal::CaptureStdout();
  messageBag.releaseHandle(handle);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(messageBag.openCount, 0);
}

TEST_F(SharedTableTest, CreateAndOpenResetTheStoredErrorAndRestoreSettings) {
  EngineContext* ctx = currentContext();
  ctx->openProductionIndex = 1;
  ctx->refuseOverwrite = 0;
  ctx->errorCode = -910;
  createPeople(1);
  EXPECT_EQ(ctx->openProductionIndex, 1);
  EXPECT_EQ(ctx->refuseOverwrite, 0);
  EXPECT_EQ(ctx->compatibility, 30);
  ctx->refuseOverwrite = 1;

  DbfContents contents = readWithDbfread("PEOPLE.DBF");
  ASSERT_TRUE(contents.ok) << contents.error;
  EXPECT_EQ(contents.headerCount, 1);
}

}  // namespace
}  // namespace tables_test
