// The key-driven SharedTable operations over record objects: insertUnique,
// readAll, updateFirst, readFirst, deleteFirstFor, and the readRecord and
// writeRecord they are built on.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tables/context.h"
#include "tables/text.h"
#include "tests/tables/support.h"

namespace tables_test {
namespace {

// A row of PEOPLE: ID, NAME and NOTE (STAMP is not carried).
class Person : public RecordObject {
 public:
  Person() = default;
  Person(int32_t personId, const char* personName, const char* personNote)
      : id(personId), name(copyText(personName)), note(copyText(personNote)) {}
  ~Person() override {
    freeText(name);
    freeText(note);
  }

  int columnCount() override { return columns; }
  int32_t longAt(int position) override { return position == kId ? id : 0; }
  const char* textAt(int position) override {
    return position == kName ? name : position == kNote ? note : nullptr;
  }
  int32_t* longDestination(int position) override { return position == kId ? &id : nullptr; }
  char** textDestination(int position) override {
    return position == kName ? &name : position == kNote ? &note : nullptr;
  }
  void readFinished() override { ++readsFinished; }
  bool hasRow() override { return existing; }

  std::string nameText() const { return name != nullptr ? name : "<none>"; }
  std::string noteText() const { return note != nullptr ? note : "<none>"; }

  int32_t id = 0;
  char* name = nullptr;
  char* note = nullptr;
  int columns = 3;
  int readsFinished = 0;
  bool existing = false;
};

class PersonList : public RecordList {
 public:
  void clear() override {
    ++clears;
    records.clear();
  }
  void reserve(std::size_t count) override { records.reserve(count); }
  void add(RecordObject* record) override { records.emplace_back(static_cast<Person*>(record)); }
  std::size_t size() override { return records.size(); }

  std::vector<std::unique_ptr<Person>> records;
  int clears = 0;
};

// PEOPLE keyed by ID.
class PeopleTable : public ListTable {
 public:
  PeopleTable() : ListTable("People", kPeopleColumns) {}
  RecordObject* newRecordObject() override { return new Person; }
  char* keyFor(RecordObject* record) override {
    if (!keyed) return nullptr;
    char key[32];
    std::snprintf(key, sizeof key, "ID=%d", static_cast<int>(static_cast<Person*>(record)->id));
    return copyText(key);
  }
  bool keyed = true;
};

class RecordOperationsTest : public ScratchDirectoryTest {
 protected:
  void SetUp() override {
    ScratchDirectoryTest::SetUp();
    ASSERT_EQ(people_.createTable(), 0);
  }

  std::vector<int32_t> ids() {
    TableHandle* handle = people_.openHandle();
    EXPECT_NE(handle, nullptr);
    if (handle == nullptr) return {};
    std::vector<int32_t> result = visibleIds(handle);
    people_.releaseHandle(handle);
    return result;
  }

  PeopleTable people_;
};

TEST_F(RecordOperationsTest, ReadAllOfAnEmptyTable) {
  PersonList list;
  EXPECT_EQ(people_.readAll(&list), 1);
  EXPECT_EQ(list.size(), 0u);
  EXPECT_EQ(people_.openCount, 0);
}

TEST_F(RecordOperationsTest, WithoutKeyInsertUniqueAlwaysAppends) {
  people_.keyed = false;
  Person ann(1, "ann", "first");
  EXPECT_EQ(people_.insertUnique(&ann), 0);
  EXPECT_EQ(people_.insertUnique(&ann), 0);
  EXPECT_EQ(ids(), (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(people_.updateFirst(&ann), 1);
  EXPECT_EQ(people_.readFirst(&ann), 1);
  EXPECT_EQ(people_.deleteFirstFor(&ann), 1);
}

TEST_F(RecordOperationsTest, ReadAllReadsEveryLiveRowInOrder) {
  people_.keyed = false;
  Person ann(1, "ann", "first note");
  Person bob(2, "bob", nullptr);
  Person cy(3, "  cy  ", "third");
  for (Person* p : {&ann, &bob, &cy}) ASSERT_EQ(people_.insertUnique(p), 0);

  PersonList list;
  EXPECT_EQ(people_.readAll(&list), 0);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list.records[0]->id, 1);
  EXPECT_EQ(list.records[0]->nameText(), "ann");
  EXPECT_EQ(list.records[0]->noteText(), "first note");
  EXPECT_EQ(list.records[1]->noteText(), "<none>");
  EXPECT_EQ(list.records[2]->nameText(), "  cy");
  EXPECT_EQ(list.records[2]->readsFinished, 1);
  EXPECT_EQ(people_.openCount, 0);
}

TEST_F(RecordOperationsTest, ReadAllSkipsRowsMarkedDeleted) {
  people_.keyed = false;
  for (int id : {1, 2, 3}) {
    Person p(id, "p", nullptr);
    ASSERT_EQ(people_.insertUnique(&p), 0);
  }
  people_.keyed = true;
  // A user that stays keeps the deleted row in the file (no compaction yet).
  TableHandle* stays = people_.openHandle();
  ASSERT_NE(stays, nullptr);
  Person two(2, nullptr, nullptr);
  ASSERT_EQ(people_.deleteFirstFor(&two), 0);
  EXPECT_EQ(people_.compactions, 0);

  PersonList list;
  EXPECT_EQ(people_.readAll(&list), 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.records[0]->id, 1);
  EXPECT_EQ(list.records[1]->id, 3);
  people_.releaseHandle(stays);
  EXPECT_EQ(people_.compactions, 1);
}

// Searches with a key: they need the expression engine.
TEST_F(RecordOperationsTest, InsertUniqueWritesEachKeyOnce) {
  Person ann(1, "ann", "note");
  Person bob(2, "bob", nullptr);
  EXPECT_EQ(people_.insertUnique(&ann), 0);
  EXPECT_EQ(people_.insertUnique(&bob), 0);
  Person annAgain(1, "other", nullptr);
  EXPECT_EQ(people_.insertUnique(&annAgain), 1);
  EXPECT_EQ(ids(), (std::vector<int32_t>{1, 2}));

  Person read(1, nullptr, nullptr);
  EXPECT_EQ(people_.readFirst(&read), 0);
  EXPECT_EQ(read.nameText(), "ann");
  EXPECT_EQ(people_.openCount, 0);
}

TEST_F(RecordOperationsTest, UpdateReadAndDeleteTheFirstRowOfAKey) {
  people_.keyed = false;
  for (int id : {1, 2, 2}) {
    Person p(id, "old", nullptr);
    ASSERT_EQ(people_.insertUnique(&p), 0);
  }
  people_.keyed = true;

  Person update(2, "new", "changed");
  EXPECT_EQ(people_.updateFirst(&update), 0);
  PersonList list;
  ASSERT_EQ(people_.readAll(&list), 0);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list.records[1]->nameText(), "new");
  EXPECT_EQ(list.records[1]->noteText(), "changed");
  EXPECT_EQ(list.records[2]->nameText(), "old");

  Person missing(9, "x", nullptr);
  EXPECT_EQ(people_.updateFirst(&missing), 1);
  EXPECT_EQ(people_.readFirst(&missing), 1);
  EXPECT_EQ(missing.nameText(), "x");  // untouched
  EXPECT_EQ(people_.deleteFirstFor(&missing), 0);

  Person gone(2, nullptr, nullptr);
  EXPECT_EQ(people_.deleteFirstFor(&gone), 0);
  EXPECT_EQ(people_.compactions, 1);  // the operation's own handle was the last user
  EXPECT_EQ(ids(), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(people_.readFirst(&gone), 0);
  EXPECT_EQ(gone.nameText(), "old");
}

TEST_F(RecordOperationsTest, KeyThatDoesNotCompileGivesMinusOneAndReleasesTheHandle) {
  class BadKeyTable : public PeopleTable {
   public:
    char* keyFor(RecordObject*) override { return copyText("ID = = 1"); }
  } table;
  ASSERT_EQ(table.createTable(), 0);
  Person ann(1, "ann", nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(table.readFirst(&ann), -1);
  EXPECT_EQ(table.insertUnique(&ann), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_STRNE(lastDatabaseErrorText(), "");
  EXPECT_EQ(std::string(lastDatabaseErrorText()).rfind("DBF Error [-", 0), 0u);
  EXPECT_EQ(table.openCount, 0);
}

TEST_F(RecordOperationsTest, RecordWithoutColumnsReadsAndWritesNothing) {
  Person empty(5, "x", nullptr);
  empty.columns = 0;
  TableHandle* handle = people_.openHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(people_.writeRecord(handle, &empty), 1);
  EXPECT_EQ(people_.readRecord(handle, &empty), 1);
  EXPECT_EQ(empty.readsFinished, 0);
  people_.releaseHandle(handle);
}

TEST_F(RecordOperationsTest, EngineFailureInsideReadRecordIsReportedAsMinusOne) {
  people_.keyed = false;
  Person ann(1, "ann", nullptr);
  ASSERT_EQ(people_.insertUnique(&ann), 0);
  TableHandle* handle = people_.openHandle();
  ASSERT_NE(handle, nullptr);
  handle->firstRecord(nullptr);
  currentContext()->errorCode = -70;  // as a failed read would leave it
  Person into;
  EXPECT_EQ(people_.readRecord(handle, &into), -1);
  EXPECT_STREQ(lastDatabaseErrorText(), "DBF Error [-70]");
  currentContext()->errorCode = 0;
  people_.releaseHandle(handle);
}

}  // namespace
}  // namespace tables_test
