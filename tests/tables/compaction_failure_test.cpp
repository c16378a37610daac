// Compaction failures at the last release: the console messages, and the
// table closed and balanced whatever the outcome. The failures are injected
// through the engine's operating-system interface.
#include <gtest/gtest.h>

#include <string>

#include "dbf/core/os.h"
#include "tests/tables/support.h"

namespace tables_test {
namespace {

// The platform's own system calls, except that setting a file's length or
// creating a file fails while the matching switch is on. Sleeping returns at
// once, as the engine pauses between its tries of temporary file names.
class FaultySystem {
 public:
  FaultySystem(bool failSetLength, bool failCreate) {
    failSetLength_ = failSetLength;
    failCreate_ = failCreate;
    table_ = *os4platform();
    table_.setLength = &setLength;
    table_.create = &create;
    table_.sleep = [](int32_t) {};
    previous_ = os4set(&table_);
  }
  ~FaultySystem() { os4set(previous_); }
  FaultySystem(const FaultySystem&) = delete;
  FaultySystem& operator=(const FaultySystem&) = delete;

 private:
  static OsStatus setLength(int64_t handle, int64_t length) {
    if (failSetLength_) return kOsFailure;
    return os4platform()->setLength(handle, length);
  }
  static OsStatus create(const char* name, OsShare share, OsCreate how, int64_t* handle) {
    if (failCreate_) return kOsFailure;
    return os4platform()->create(name, share, how, handle);
  }

  static inline bool failSetLength_ = false;
  static inline bool failCreate_ = false;
  OsInterface table_;
  const OsInterface* previous_;
};

class CompactionFailureTest : public ScratchDirectoryTest {
 protected:
  // PEOPLE with rows 1..3 (each with a memo), row 1 deleted through |handle_|,
  // which is the only user left.
  void SetUp() override {
    ScratchDirectoryTest::SetUp();
    ASSERT_EQ(people_.createTable(), 0);
    handle_ = people_.openHandle();
    ASSERT_NE(handle_, nullptr);
    appendPerson(handle_, 1, "one", "memo one");
    appendPerson(handle_, 2, "two", "memo two");
    appendPerson(handle_, 3, "three", "memo three");
    ASSERT_EQ(handle_->firstRecord(nullptr), 0);
    handle_->deleteCurrent();
    handle_->advance();
  }

  // Releases the last handle under |faults| and returns what it printed.
  std::string releaseUnder(bool failSetLength, bool failCreate) {
    FaultySystem faults(failSetLength, failCreate);
    testing::internal::CaptureStdout();
    people_.releaseHandle(handle_);
    return testing::internal::GetCapturedStdout();
  }

  // The table is closed and usable again: it opens, and nothing is pending.
  void expectClosedAndBalanced() {
    EXPECT_EQ(people_.openCount, 0);
    EXPECT_EQ(people_.packPending, 0);
    TableHandle* again = people_.openHandle();
    ASSERT_NE(again, nullptr);
    people_.releaseHandle(again);
  }

  ListTable people_{"People", kPeopleColumns};
  TableHandle* handle_ = nullptr;
};

TEST_F(CompactionFailureTest, FailedPackPrintsBothMessagesAndLosesNoLiveRow) {
  // The pack fails at its last step; the memo compression then finds the
  // error stored and does nothing.
  EXPECT_EQ(releaseUnder(true, false), "S> ./People Pack ErrorS> ./People Pack memo Error");
  expectClosedAndBalanced();

  DbfContents contents = readWithDbfread("PEOPLE.DBF");
  ASSERT_TRUE(contents.ok) << contents.error;
  std::vector<std::string> live;
  for (const std::vector<std::string>& row : contents.rows) live.push_back(row[0] + ":" + row[2]);
  EXPECT_EQ(live, (std::vector<std::string>{"2:memo two", "3:memo three"}));
}

TEST_F(CompactionFailureTest, FailedMemoCompressionPrintsItsMessageOnly) {
  // The compression's fresh memo file cannot be created; the pack needs none.
  EXPECT_EQ(releaseUnder(false, true), "S> ./People Pack memo Error");
  expectClosedAndBalanced();

  DbfContents contents = readWithDbfread("PEOPLE.DBF");
  ASSERT_TRUE(contents.ok) << contents.error;
  EXPECT_EQ(contents.headerCount, 2);
  ASSERT_EQ(contents.rows.size(), 2u);
  EXPECT_EQ(contents.rows[0][2], "memo two");
  EXPECT_EQ(contents.rows[1][2], "memo three");
}

}  // namespace
}  // namespace tables_test
