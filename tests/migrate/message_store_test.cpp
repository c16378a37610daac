// The message store: file names, moving files without ever replacing one,
// the search condition formatter, and the lookup in the new MessageBag.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "dbf/core/table.h"
#include "dbf/expr/query.h"
#include "migrate/message_store.h"
#include "migrate/new_tables.h"
#include "tables/context.h"
#include "tables/errors.h"
#include "tests/migrate/test_support.h"

namespace {

std::string oldName(int32_t a, int32_t b, int32_t c) {
  char buffer[kMessageNameSize];
  oldMessageFileName(buffer, a, b, c);
  return buffer;
}

std::string newName(int32_t a, int32_t b, int32_t c) {
  char buffer[kMessageNameSize];
  newMessageFileName(buffer, a, b, c);
  return buffer;
}

void writeText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

TEST(MessageNames, OldNameKeepsTheLowSixteenBitsOfTheThirdId) {
  EXPECT_EQ(oldName(0x35A1B2C3, 1, 0x12), "A35A1B2C300000001012.MSG");
  EXPECT_EQ(newName(0x35A1B2C3, 1, 0x12), "B35A1B2C30000000100000012.MSG");
  EXPECT_EQ(oldName(0x35A1B2C3, 1, 0x10012), "A35A1B2C300000001012.MSG");
  EXPECT_EQ(newName(0x35A1B2C3, 1, 0x10012), "B35A1B2C30000000100010012.MSG");
}

TEST(MessageNames, HighBitsAreUnsignedHexadecimalAndThreeDigitsAreAMinimum) {
  EXPECT_EQ(oldName(-1, INT32_MIN, 0xABCD), "AFFFFFFFF80000000ABCD.MSG");
  EXPECT_EQ(newName(-1, INT32_MIN, -2), "BFFFFFFFF80000000FFFFFFFE.MSG");
  EXPECT_EQ(oldName(0, 0, -1), "A0000000000000000FFFF.MSG");
}

class MessageFiles : public testing::Test {
 protected:
  void SetUp() override { in = std::make_unique<InDirectory>(dir.path()); }
  void TearDown() override { in.reset(); }
  ScratchDir dir;
  std::unique_ptr<InDirectory> in;
};

TEST_F(MessageFiles, OldFileMovesToItsNewName) {
  writeText(dir.file(oldName(0x35A1B2C3, 1, 0x10012)), "message");
  EXPECT_EQ(moveMessageFile(0x35A1B2C3, 1, 0x10012), MessageMove::Moved);
  EXPECT_EQ(dir.list(), std::vector<std::string>{"B35A1B2C30000000100010012.MSG"});
  EXPECT_EQ(readFile(dir.file("B35A1B2C30000000100010012.MSG")), "message");
}

TEST_F(MessageFiles, MovedFileIsInPlaceOnTheNextRun) {
  writeText(dir.file(oldName(7, 8, 9)), "m");
  EXPECT_EQ(moveMessageFile(7, 8, 9), MessageMove::Moved);
  EXPECT_EQ(moveMessageFile(7, 8, 9), MessageMove::AlreadyInPlace);
  EXPECT_TRUE(messageKept(MessageMove::AlreadyInPlace));
  EXPECT_EQ(dir.list(), std::vector<std::string>{newName(7, 8, 9)});
}

TEST_F(MessageFiles, BothNamesPresentTouchesNeitherFile) {
  writeText(dir.file(oldName(7, 8, 9)), "old");
  writeText(dir.file(newName(7, 8, 9)), "already there");
  EXPECT_EQ(moveMessageFile(7, 8, 9), MessageMove::Conflict);
  EXPECT_FALSE(messageKept(MessageMove::Conflict));
  EXPECT_EQ(readFile(dir.file(oldName(7, 8, 9))), "old");
  EXPECT_EQ(readFile(dir.file(newName(7, 8, 9))), "already there");
}

TEST_F(MessageFiles, NeitherNamePresentIsMissing) {
  EXPECT_EQ(moveMessageFile(7, 8, 9), MessageMove::Missing);
  EXPECT_FALSE(messageKept(MessageMove::Missing));
  EXPECT_TRUE(dir.list().empty());
}

TEST_F(MessageFiles, SecondIdSharingTheOldNameFindsItGone) {
  // Third ids 0x12 and 0x10012 share the old name; the first takes it.
  writeText(dir.file(oldName(1, 2, 0x12)), "m");
  EXPECT_EQ(moveMessageFile(1, 2, 0x12), MessageMove::Moved);
  EXPECT_EQ(moveMessageFile(1, 2, 0x10012), MessageMove::Missing);
}

// ---- formatQuery ---------------------------------------------------------

TEST(FormatQuery, TheMessageConditionWithTheLongestNumbersFits) {
  char buffer[kFindMessageConditionSize];
  int n = formatQuery(buffer, sizeof buffer, kFindMessageFormat, INT32_MIN, INT32_MIN, INT32_MIN);
  EXPECT_EQ(n, 68);
  EXPECT_STREQ(buffer, "MSGID1=-2147483648 .AND. MSGID2=-2147483648 .AND. MSGID3=-2147483648");
  n = formatQuery(buffer, sizeof buffer, kFindMessageFormat, -1, 0, 2147483647);
  EXPECT_STREQ(buffer, "MSGID1=-1 .AND. MSGID2=0 .AND. MSGID3=2147483647");
  EXPECT_EQ(n, static_cast<int>(std::strlen(buffer)));
}

TEST(FormatQuery, IntegerDirectivesInEveryCase) {
  char b[100];
  EXPECT_EQ(formatQuery(b, sizeof b, "%d|%D|%ld|%lD|%Ld|%LD", 1, -2, 3, -4, 5, -6), 14);
  EXPECT_STREQ(b, "1|-2|3|-4|5|-6");
}

TEST(FormatQuery, LongPrefixWithAnotherLetterIsCopiedAndUsesNoArgument) {
  char b[100];
  formatQuery(b, sizeof b, "%lx %Lq %d", 42);
  EXPECT_STREQ(b, "%lx %Lq 42");
  formatQuery(b, sizeof b, "ab%l");
  EXPECT_STREQ(b, "ab%l");
}

TEST(FormatQuery, PercentSignsAndUnknownDirectives) {
  char b[100];
  EXPECT_EQ(formatQuery(b, sizeof b, "100%% %q%d end%", 7), 10);
  EXPECT_STREQ(b, "100% 7 end");
  formatQuery(b, sizeof b, "%");
  EXPECT_STREQ(b, "");
}

TEST(FormatQuery, TextsAreQuotedSoThatTheyStayOneConstant) {
  char b[100];
  EXPECT_EQ(formatQuery(b, sizeof b, "N=%s", "abc"), 7);
  EXPECT_STREQ(b, "N='abc'");
  formatQuery(b, sizeof b, "N=%S", "it's");
  EXPECT_STREQ(b, "N=\"it's\"");
  formatQuery(b, sizeof b, "N=%s", "say \"hi\"");
  EXPECT_STREQ(b, "N='say \"hi\"'");
  formatQuery(b, sizeof b, "N=%s.%d", static_cast<const char*>(nullptr), 3);
  EXPECT_STREQ(b, "N=.3") << "a null text writes nothing but uses its argument";
}

TEST(FormatQuery, BothQuotesAreBracketedAndAllThreeDelimitersAreRefused) {
  char b[100];
  EXPECT_EQ(formatQuery(b, sizeof b, "N=%s", "it's \"x\""), 12);
  EXPECT_STREQ(b, "N=[it's \"x\"]");
  EXPECT_EQ(formatQuery(b, sizeof b, "N=%s .AND. Y=%d", "a'\"] .OR. .T. .OR. [", 1), -1);
  EXPECT_STREQ(b, "N= .AND. Y=1");
  EXPECT_EQ(formatQuery(b, sizeof b, "%s", "'\"["), -1);
  EXPECT_STREQ(b, "");
}

TEST(FormatQuery, NullArgumentsAndShortBuffers) {
  char b[8] = "xxxxxxx";
  EXPECT_EQ(formatQuery(nullptr, 8, "%d", 1), 0);
  EXPECT_EQ(formatQuery(b, sizeof b, nullptr), 0);
  EXPECT_EQ(formatQuery(b, sizeof b, "123456789"), -1);
  EXPECT_STREQ(b, "1234567");
  EXPECT_EQ(formatQuery(b, 0, "abc"), -1);
}

// ---- findMessage on the new MessageBag ------------------------------------

class FindMessage : public MessageFiles {
 protected:
  void SetUp() override {
    MessageFiles::SetUp();
    ASSERT_EQ(bag.createTable(), 0);
    writer = bag.openHandle();
    ASSERT_NE(writer, nullptr);
  }
  void TearDown() override {
    bag.releaseHandle(writer);
    MessageFiles::TearDown();
  }
  void add(int32_t a, int32_t b, int32_t c, int32_t size) {
    writer->beginRecord();
    writer->assignLong(0, a);
    writer->assignLong(1, b);
    writer->assignLong(2, c);
    writer->assignLong(kMessageBagFileSize, size);
    writer->appendRecord();
  }
  MessageBagTable bag;
  TableHandle* writer = nullptr;
};

TEST_F(FindMessage, FirstLiveMatchGivesItsSizeOnlyForAllThreeIds) {
  add(1, 2, 3, 100);
  add(1, 2, 4, 200);
  add(1, 2, 4, 300);
  add(-1, INT32_MIN, -3, 400);
  int32_t size = -7;
  EXPECT_EQ(bag.findMessage(1, 2, 4, &size), 0) << "rows appended through the other handle";
  EXPECT_EQ(size, 200);
  EXPECT_EQ(bag.findMessage(-1, INT32_MIN, -3, &size), 0) << "high bits as negative numbers";
  EXPECT_EQ(size, 400);
  size = -7;
  EXPECT_EQ(bag.findMessage(1, 2, 5, &size), 1);
  EXPECT_EQ(bag.findMessage(2, 2, 3, &size), 1);
  EXPECT_EQ(bag.findMessage(4, 2, 1, &size), 1);
  EXPECT_EQ(size, -7) << "untouched when nothing is found";
  EXPECT_EQ(bag.openCount, 1) << "the second handle is released every time";
}

TEST_F(FindMessage, DeletedRowsAreSkipped) {
  add(1, 2, 3, 100);
  add(1, 2, 3, 200);
  writer->firstRecord(nullptr);
  writer->deleteCurrent();
  writer->advance();  // stores the deletion
  int32_t size = 0;
  EXPECT_EQ(bag.findMessage(1, 2, 3, &size), 0);
  EXPECT_EQ(size, 200);
}

TEST_F(FindMessage, TableThatCannotBeOpenedGivesMinusOne) {
  MessageBagTable absent;
  std::strcpy(absent.path, "./NOSUCHBAG");
  int32_t size = 5;
  EXPECT_EQ(absent.findMessage(1, 2, 3, &size), -1);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(absent.openCount, 0);
}

TEST_F(FindMessage, EarlierEngineErrorDoesNotFailTheLookup) {
  add(1, 2, 3, 100);
  // An error the engine still holds from an earlier call is cleared by
  // the search's own open, so one failed lookup does not fail the next.
  currentContext()->errorCode = -1;
  int32_t size = 0;
  EXPECT_EQ(bag.findMessage(1, 2, 3, &size), 0);
  EXPECT_EQ(size, 100);
}

// A "MessageBag" without the id columns: the condition does not compile.
class BrokenBag : public SharedTable {
 public:
  BrokenBag() : SharedTable("MessageBag") {}
  const ColumnDescription* columnDefinitions() override {
    static const ColumnDescription columns[] = {{"OTHER", 'N', 11, 0, 0}, {nullptr, 0, 0, 0, 0}};
    return columns;
  }
};

TEST_F(MessageFiles, EngineFailureInTheSearchIsReportedAsMinusOne) {
  BrokenBag broken;
  ASSERT_EQ(broken.createTable(), 0);
  MessageBagTable bag;
  int32_t size = 5;
  EXPECT_EQ(bag.findMessage(1, 2, 3, &size), -1);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(std::string(lastDatabaseErrorText()).rfind("DBF Error [-", 0), 0u)
      << lastDatabaseErrorText();
  EXPECT_EQ(bag.openCount, 0);
}

// A text with both quotes, formatted into a condition, is one constant and
// matches only itself; the engine's parser reads the [ ] delimiters.
class NameTable : public SharedTable {
 public:
  NameTable() : SharedTable("NAMES") {}
  const ColumnDescription* columnDefinitions() override {
    static const ColumnDescription columns[] = {{"NAME", 'C', 20, 0, 0}, {nullptr, 0, 0, 0, 0}};
    return columns;
  }
};

TEST_F(MessageFiles, FormattedTextWithBothQuotesMatchesOnlyItself) {
  NameTable names;
  ASSERT_EQ(names.createTable(), 0);
  TableHandle* h = names.openHandle();
  ASSERT_NE(h, nullptr);
  for (const char* name : {"plain", "it's \"x\"", "x\" .OR. 'y"}) {
    h->beginRecord();
    h->assignText(0, name);
    h->appendRecord();
  }
  auto matches = [&](const char* text) {
    char condition[100];
    EXPECT_GT(formatQuery(condition, sizeof condition, "NAME=%s", text), 0);
    Query* q = query4init(h->table);
    query4setExpression(q, condition);
    std::vector<int32_t> found;
    for (int rc = h->firstRecord(q); rc == 0; rc = h->nextRecord(q))
      found.push_back(table4recNo(h->table));
    query4free(q, 0);
    return found;
  };
  EXPECT_EQ(matches("it's \"x\""), std::vector<int32_t>{2});
  EXPECT_EQ(matches("x\" .OR. 'y"), std::vector<int32_t>{3});
  EXPECT_EQ(matches("plain"), std::vector<int32_t>{1});
  names.releaseHandle(h);
}

}  // namespace
