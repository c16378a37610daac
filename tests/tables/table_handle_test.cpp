// TableHandle: column access by position, the trimming rule of readText, time
// stamps in numeric columns, walks that skip deleted rows, and engine errors
// surfacing as GDatabaseException.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "dbf/expr/query.h"
#include "tables/context.h"
#include "tables/errors.h"
#include "tables/text.h"
#include "tests/tables/support.h"

namespace tables_test {
namespace {

class TableHandleTest : public ScratchDirectoryTest {
 protected:
  void SetUp() override {
    ScratchDirectoryTest::SetUp();
    ASSERT_EQ(people_.createTable(), 0);
    handle_ = people_.openHandle();
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    people_.releaseHandle(handle_);
    ScratchDirectoryTest::TearDown();
  }

  // readText of |position| on the current record, as a string; "<none>" for
  // no text.
  std::string textAt(int position) {
    char* text = reinterpret_cast<char*>(1);
    handle_->readText(position, &text);
    if (text == nullptr) return "<none>";
    std::string copy(text);
    freeText(text);
    return copy;
  }

  // Appends a row holding |name| in NAME and |note| in NOTE and stays on it.
  void appendTexts(const char* name, const char* note) { appendPerson(handle_, 1, name, note); }

  ListTable people_{"People", kPeopleColumns};
  TableHandle* handle_ = nullptr;
};

TEST_F(TableHandleTest, ReadTextKeepsLeadingBlanksAndDropsTrailingOnes) {
  appendTexts("  ab  ", nullptr);
  EXPECT_EQ(textAt(kName), "  ab");
}

TEST_F(TableHandleTest, ReadTextOfBlankFieldIsNoText) {
  appendTexts("      ", nullptr);
  EXPECT_EQ(textAt(kName), "<none>");
  appendTexts(nullptr, nullptr);  // never assigned
  EXPECT_EQ(textAt(kName), "<none>");
}

TEST_F(TableHandleTest, ReadTextTrimsEveryKindOfWhiteSpaceButNotHighBitCharacters) {
  appendTexts("a\t\r\n\v\f", nullptr);
  EXPECT_EQ(textAt(kName), "a");
  appendTexts("a\xA0", nullptr);
  EXPECT_EQ(textAt(kName), "a\xA0");
}

TEST_F(TableHandleTest, ReadTextOfFullWidthFieldCopiesTheWholeWidth) {
  appendTexts("abcdefgh", nullptr);  // cut to the width of 6
  EXPECT_EQ(textAt(kName), "abcdef");
}

TEST_F(TableHandleTest, ReadTextOfMemoColumns) {
  appendTexts(nullptr, "  a memo\r\n  ");
  EXPECT_EQ(textAt(kNote), "  a memo");
  appendTexts(nullptr, nullptr);
  EXPECT_EQ(textAt(kNote), "<none>");
  std::string longMemo(5000, 'm');
  appendTexts(nullptr, longMemo.c_str());
  EXPECT_EQ(textAt(kNote), longMemo);
}

TEST_F(TableHandleTest, LongValuesAreStoredRightAligned) {
  ASSERT_EQ(handle_->beginRecord(), 0);
  handle_->assignLong(kId, -42);
  handle_->assignLong(kStamp, 2147483647);
  ASSERT_EQ(handle_->appendRecord(), 0);
  int32_t id = 0;
  int32_t stamp = 0;
  handle_->readLong(kId, &id);
  handle_->readLongAgain(kStamp, &stamp);
  EXPECT_EQ(id, -42);
  EXPECT_EQ(stamp, 2147483647);
  EXPECT_EQ(std::string(handle_->columns[kId].pointer(), 10), "       -42");
}

TEST_F(TableHandleTest, TimeIsStoredAsTheServersTimestamp) {
  SYSTEMTIME t{};
  t.wYear = 1998;
  t.wMonth = 6;
  t.wDay = 16;
  t.wHour = 13;
  t.wMinute = 13;
  t.wSecond = 36;
  t.wDayOfWeek = 2;
  t.wMilliseconds = 500;
  ASSERT_EQ(handle_->beginRecord(), 0);
  handle_->assignTime(kStamp, t);
  ASSERT_EQ(handle_->appendRecord(), 0);

  int32_t stored = 0;
  handle_->readLong(kStamp, &stored);
  EXPECT_EQ(stored, 113922816);
  SYSTEMTIME back;
  std::memset(&back, 0xFF, sizeof back);
  handle_->readTime(kStamp, &back);
  EXPECT_EQ(back.wYear, 1998);
  EXPECT_EQ(back.wMonth, 6);
  EXPECT_EQ(back.wDay, 16);
  EXPECT_EQ(back.wHour, 13);
  EXPECT_EQ(back.wMinute, 13);
  EXPECT_EQ(back.wSecond, 36);
  EXPECT_EQ(back.wDayOfWeek, 0);
  EXPECT_EQ(back.wMilliseconds, 0);
}

TEST_F(TableHandleTest, WalksSkipDeletedRows) {
  for (int id = 1; id <= 5; ++id) appendPerson(handle_, id, nullptr, nullptr);
  for (int r = handle_->firstRecord(nullptr); r == 0; r = handle_->nextRecord(nullptr)) {
    int32_t id = 0;
    handle_->readLong(kId, &id);
    if (id % 2 == 1) handle_->deleteCurrentAgain();
  }
  EXPECT_EQ(visibleIds(handle_), (std::vector<int32_t>{2, 4}));
  EXPECT_EQ(handle_->rowsDeleted, 1);
}

TEST_F(TableHandleTest, FirstRecordOfAllDeletedTableIsTheEndCode) {
  for (int id = 1; id <= 3; ++id) appendPerson(handle_, id, nullptr, nullptr);
  EXPECT_EQ(handle_->deleteAll(), 3);
  EXPECT_EQ(handle_->rowsDeleted, 0);
  EXPECT_EQ(handle_->firstRecord(nullptr), 3);
  EXPECT_EQ(handle_->deleteAll(), 0);
}

TEST_F(TableHandleTest, AdvanceStoresTheChangedRecord) {
  appendPerson(handle_, 1, "old", nullptr);
  ASSERT_EQ(handle_->firstRecord(nullptr), 0);
  handle_->assignTextAt(kName, "new");
  EXPECT_EQ(handle_->advance(), 3);
  ASSERT_EQ(handle_->firstRecord(nullptr), 0);
  EXPECT_EQ(textAt(kName), "new");
}

TEST_F(TableHandleTest, PositionOutsideTheColumnsThrows) {
  appendPerson(handle_, 1, nullptr, nullptr);
  int32_t value = 0;
  char* text = nullptr;
  EXPECT_EQ(thrownCode([&] { handle_->readLong(-1, &value); }), -930);
  EXPECT_EQ(thrownCode([&] { handle_->readText(4, &text); }), -930);
  EXPECT_EQ(thrownCode([&] { handle_->assignLong(1000, 1); }), -930);
  EXPECT_EQ(thrownCode([&] { handle_->assignText(4, "x"); }), -930);
  EXPECT_EQ(currentContext()->errorCode, 0);
}

TEST_F(TableHandleTest, EngineErrorThrowsAndStaysUntilTheNextOpen) {
  // A freshly opened table has no current record to skip from.
  EXPECT_EQ(thrownCode([&] { handle_->advance(); }), -910);
  int32_t value = 0;
  EXPECT_EQ(thrownCode([&] { handle_->readLong(kId, &value); }), -910);
  TableHandle* again = people_.openHandle();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(currentContext()->errorCode, 0);
  people_.releaseHandle(again);
}

// Walks with a Query: they need the expression engine.
TEST_F(TableHandleTest, CountAndDeleteMatchesOfAQuery) {
  for (int id = 1; id <= 6; ++id) appendPerson(handle_, id, id % 2 ? "odd" : "even", nullptr);
  ASSERT_EQ(handle_->firstRecord(nullptr), 0);
  handle_->deleteCurrent();  // id 1
  handle_->advance();

  Query* query = query4init(handle_->table);
  ASSERT_NE(query, nullptr);
  ASSERT_EQ(query4setExpression(query, "NAME = 'odd'"), 0);
  EXPECT_EQ(handle_->countMatches(query), 2);  // 3 and 5; 1 is deleted
  int32_t id = 0;
  handle_->readLong(kId, &id);
  EXPECT_EQ(id, 3);  // stands on the first match

  EXPECT_EQ(handle_->deleteAll(query), 2);
  EXPECT_EQ(handle_->countMatches(query), 0);
  query4free(query, 0);
  EXPECT_EQ(visibleIds(handle_), (std::vector<int32_t>{2, 4, 6}));
}

TEST_F(TableHandleTest, QueryThatDoesNotCompileThrows) {
  appendPerson(handle_, 1, nullptr, nullptr);
  Query* query = query4init(handle_->table);
  ASSERT_NE(query, nullptr);
  query4setExpression(query, "NOSUCHCOLUMN = 1");
  EXPECT_LT(thrownCode([&] { handle_->countMatches(query); }), 0);
  query4free(query, 0);
}

}  // namespace
}  // namespace tables_test
