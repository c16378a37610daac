// Nothing stored is lost or left locked: a memo edit made after another handle
// compressed the memo file, an append whose last write fails, and the memo
// header lock of a Table that is closed while its data file stays open.
#include <string>

#include "dbf/core/file.h"
#include "tests/file/fault_os.h"
#include "tests/table/fixture.h"

using namespace tabletest;

namespace {

const ColumnDescription kMemoColumns[] = {
    {"ID", 'N', 4, 0, 0}, {"NOTE", 'M', 0, 0, 0}, {nullptr, 0, 0, 0, 0}};
const ColumnDescription kNumbers[] = {{"V", 'N', 4, 0, 0}, {nullptr, 0, 0, 0, 0}};

std::string memoOf(Table* t, int32_t n) {
  uint32_t len = 0;
  const char* text = table4go(t, n) == 0 ? column4memoText(table4column(t, 2), &len) : nullptr;
  return text != nullptr ? std::string(text, len) : "<error>";
}

int assignMemo(Table* t, const char* text) {
  ColumnValue v(table4column(t, 2));
  return column4assign(&v, text);
}

// Records 1 to 3 hold "one", "two", "three" in blocks 1 to 3; record 1's memo
// is emptied, so compression moves the others down: block 2 becomes record
// 3's. The editor read record 2 (no lock) before that, its buffer still names
// block 2: its edit must go to record 2's run as stored now. Two handles of
// one context (as the table layer works), then two contexts.
TEST_F(TableTest, MemoEditAfterAnotherHandleCompressedKeepsEveryMemo) {
  for (bool twoContexts : {false, true}) {
    const char* name = twoContexts ? "MEMO2" : "MEMO1";
    EngineContext other{};
    initContext(&other);
    Table* editor = table4create(&ctx_, name, kMemoColumns, nullptr);
    ASSERT_NE(editor, nullptr);
    for (const char* memo : {"one", "two", "three"}) ASSERT_EQ(appendTexts(editor, {"1", memo}), 0);
    ASSERT_EQ(table4go(editor, 1), 0);
    ASSERT_EQ(assignMemo(editor, ""), 0);
    ASSERT_EQ(table4flushRecord(editor, true), 0);
    Table* compressor = table4open(twoContexts ? &other : &ctx_, name);
    ASSERT_NE(compressor, nullptr);
    ASSERT_EQ(table4go(editor, 2), 0);
    ASSERT_EQ(table4memoCompress(compressor), 0);
    ASSERT_EQ(table4unlock(compressor), 0);

    ASSERT_EQ(assignMemo(editor, "TWO"), 0);
    ASSERT_EQ(table4flushRecord(editor, true), 0);
    EXPECT_EQ(memoOf(compressor, 2), "TWO") << name;
    EXPECT_EQ(memoOf(compressor, 3), "three") << name;
    EXPECT_EQ(table4close(compressor), 0);
    EXPECT_EQ(table4close(editor), 0);
    engine4free(&other);
  }
}

// The header write publishes an append. When it fails, or writes only part of
// the header, the append is taken back: the file is byte for byte as before
// (both layouts), nothing is published later, the append lock is free for
// others, and a retry stores the record once.
TEST_F(TableTest, FailedAppendLeavesTheFileAsItWas) {
  for (const char* name : {"FAIL", "SHORT", "OLDER"}) {
    const bool shortWrite = name[0] == 'S';
    ctx_.compatibility = name[0] == 'O' ? 0 : 30;
    Table* t = table4create(&ctx_, name, kNumbers, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(appendTexts(t, {"1"}), 0);
    ASSERT_EQ(table4unlock(t), 0);
    const std::string file = std::string(name) + ".DBF";
    const std::vector<uint8_t> before = slurp(file);
    int rc = 0;
    {
      whtest::FaultOs fault;
      (shortWrite ? fault.shortWriteAt : fault.failWriteAt) = 2;  // the record, then the header
      rc = appendTexts(t, {"2"});
    }
    EXPECT_EQ(rc, dbf::kErrWrite) << name;
    EXPECT_EQ(table4recNo(t), 0);
    EXPECT_EQ(slurp(file), before) << name;

    EngineContext other{};
    initContext(&other);
    other.lockAttempts = 1;
    Table* o = table4open(&other, name);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(table4lockAppend(o), 0) << name;
    ASSERT_EQ(table4unlock(o), 0);
    engine4errorSet(&ctx_, 0);
    EXPECT_EQ(table4append(t), 0);
    EXPECT_EQ(table4close(t), 0);
    EXPECT_EQ(table4recCount(o), 2) << name;
    EXPECT_EQ(table4close(o), 0);
    engine4free(&other);
  }
}

// Memo compression leaves its Table holding the memo header lock; closing
// that Table releases it although another Table keeps the data file open, and
// closing the other Table does not.
TEST_F(TableTest, MemoLockGoesWithTheTableThatTookIt) {
  Table* a = table4create(&ctx_, "ML", kMemoColumns, nullptr);
  ASSERT_NE(a, nullptr);
  Table* b = table4open(&ctx_, "ML");
  ASSERT_NE(b, nullptr);
  EngineContext other{};
  initContext(&other);
  other.lockAttempts = 1;  // a lock held elsewhere gives 50 at once
  DiskFile fpt;
  ASSERT_EQ(file4open(&fpt, &other, (dir_ / "ML.FPT").c_str(), true), 0);

  ASSERT_EQ(table4memoCompress(a), 0);
  EXPECT_EQ(file4lock(&fpt, kLockMemoHeader, 1), dbf::kLocked);
  EXPECT_EQ(table4close(a), 0);
  EXPECT_EQ(file4lock(&fpt, kLockMemoHeader, 1), 0);
  ASSERT_EQ(file4unlock(&fpt, kLockMemoHeader, 1), 0);

  Table* c = table4open(&ctx_, "ML");
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(table4memoCompress(c), 0);
  EXPECT_EQ(table4close(b), 0);
  EXPECT_EQ(file4lock(&fpt, kLockMemoHeader, 1), dbf::kLocked);
  EXPECT_EQ(table4close(c), 0);
  EXPECT_EQ(file4close(&fpt), 0);
  engine4free(&other);
}

}  // namespace
