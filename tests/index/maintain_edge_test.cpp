// Key maintenance at its edges: the unique modes that refuse a duplicate (the
// record is not written and no tag changes), a write that changes no key
// (the index file is not touched), the index lock between Tables of one
// process, and a tag placed again on its key when another process changed the
// file before the lock was taken.
#include "dbf/index/node.h"
#include "tests/index/support.h"

using namespace cdxtest;
using namespace dbf;

namespace {

using MaintenanceEdges = IndexTest;

std::vector<std::vector<Pair>> everyTag(Table* t) {
  std::vector<std::vector<Pair>> all;
  for (Tag* tag : tagsOf(t)) all.push_back(walkTag(tag));
  return all;
}

uint32_t versionOf(const std::string& cdx) {
  const auto bytes = slurp(cdx);
  return cdx4get32be(bytes.data() + 8);
}

TEST_F(MaintenanceEdges, RefusedDuplicatesWriteNothingAndChangeNoTag) {
  struct Mode {
    uint8_t options;  // of tag ID: unique or candidate
    int16_t mode;
    int result;
  };
  for (const Mode m :
       {Mode{0x61, kUniqueReturn, kDuplicate}, Mode{0x61, kUniqueError, kErrUniqueKey},
        Mode{0x64, kCandidateReturn, kDuplicate}, Mode{0x64, kCandidateError, kErrUniqueKey}}) {
    SCOPED_TRACE(m.mode);
    copySample("small");
    auto cdx = slurp("SMALL.CDX");
    cdx[0xC00 + 14] = m.options;
    spit("SMALL.CDX", cdx);
    const auto dbf = slurp("SMALL.DBF");
    Table* t = open("small");
    ASSERT_NE(t, nullptr);
    table4tagHandle(t, table4tagByName(t, "ID"))->uniqueMode = m.mode;
    const auto before = everyTag(t);
    Column* id = table4column(t, 6);
    // An append whose ID (1) record 1 has: every other tag would take it.
    ASSERT_EQ(table4appendStart(t, false), 0);
    ASSERT_EQ(table4blank(t), 0);
    ColumnValue name(table4column(t, 1));
    column4assign(&name, "Zed");
    column4storeLong(id, 1);
    EXPECT_EQ(table4append(t), m.result);
    engine4errorSet(&ctx_, 0);
    // A rewrite of record 2 that gives it that ID and a new name.
    ASSERT_EQ(table4go(t, 2), 0);
    column4assign(&name, "Zed");
    column4storeLong(id, 1);
    EXPECT_EQ(table4flushRecord(t, false), m.result);
    engine4errorSet(&ctx_, 0);
    t->changed = false;
    EXPECT_EQ(table4recCount(t), 4);
    EXPECT_EQ(everyTag(t), before);
    ASSERT_EQ(table4close(t), 0);
    EXPECT_EQ(slurp("SMALL.DBF"), dbf);
  }
}

TEST_F(MaintenanceEdges, AWriteThatChangesNoKeyLeavesTheIndexFileAlone) {
  engine4free(&ctx_);
  init(0);
  copySample("small");
  // Offset 262 of the header of POSNAME (a FOR tag): zero after its first key.
  constexpr size_t kPosnameMark = 0x1800 + 262;
  auto marked = slurp("SMALL.CDX");
  marked[kPosnameMark] = 0x5A;
  spit("SMALL.CDX", marked);
  Table* t = open("small");
  ASSERT_NE(t, nullptr);
  const uint32_t version = versionOf("SMALL.CDX");
  const auto cdx = slurp("SMALL.CDX");
  ASSERT_EQ(table4go(t, 1), 0);
  ASSERT_EQ(table4delete(t), 0);
  ColumnValue notes(table4column(t, 3));
  ASSERT_EQ(column4assign(&notes, "no tag reads the memo"), 0);
  ASSERT_EQ(table4flushRecord(t, true), 0);
  EXPECT_EQ(slurp("SMALL.CDX"), cdx);
  ColumnValue name(table4column(t, 1));
  ASSERT_EQ(column4assign(&name, "Zed"), 0);
  ASSERT_EQ(table4flushRecord(t, true), 0);
  EXPECT_EQ(versionOf("SMALL.CDX"), version + 1);
  EXPECT_EQ(slurp("SMALL.CDX")[kPosnameMark], 0);
  EXPECT_EQ(table4close(t), 0);
}

// An older-layout table under compatibility 26 keeps the trailing blanks of
// the keys of its FOR tags, except in the first key of a leaf split off.
TEST_F(MaintenanceEdges, FilteredTagsOfOlderTablesUnderCompatibility26KeepTheirPad) {
  copySample("small");
  ctx_.compatibility = 26;
  Table* t = open("small");
  ASSERT_NE(t, nullptr);
  t->dataFile->header[0] = 0x03;  // as an older table, in memory only
  ColumnValue name(table4column(t, 1)), quantity(table4column(t, 2));
  // Keys in order after the sample's: each split leaves the key that heads
  // the new leaf at its head.
  for (int i = 0; i < 300; ++i) {
    char text[8];
    std::snprintf(text, sizeof text, "D%03d", i);
    ASSERT_EQ(table4appendStart(t, false), 0);
    ASSERT_EQ(column4assign(&name, text), 0);
    ASSERT_EQ(column4assignLong(&quantity, 1, -1, false), 0);
    ASSERT_EQ(table4append(t), 0);
  }
  Tag* tag = table4tagByName(t, "POSNAME");
  ASSERT_EQ(index4flush(tag->indexFile), 0);
  ASSERT_EQ(order4top(tag), 0);
  int leaves = 0;
  for (IndexNode* leaf = tag4leaf(tag);; leaf = tag4leaf(tag)) {
    ++leaves;
    const int n = node4count(leaf->image);
    for (int i = 0; i < n; ++i) {
      node4decodeTo(leaf, i, 10, ' ');
      const std::string key(node4key(leaf), node4key(leaf) + 10);
      const int pad = static_cast<int>(key.size() - key.find_last_not_of(' ') - 1);
      const bool ours = node4decodedRecord(leaf) > 4;  // not the sample's own
      if (ours) {
        EXPECT_EQ(leaf->trailingCount, i == 0 && leaves > 1 ? pad : 0) << key;
      }
    }
    if (node4right(leaf->image) == -1) break;
    ASSERT_EQ(order4skip(tag, n - leaf->current), n - leaf->current);
  }
  EXPECT_GT(leaves, 2);
  t->dataFile->header[0] = 0x30;
  ASSERT_EQ(table4close(t), 0);
  EXPECT_TRUE(check("SMALL.DBF", "SMALL.CDX").ok);
}

TEST_F(MaintenanceEdges, OneTableOfTheProcessHoldsTheIndexLockAtATime) {
  engine4free(&ctx_);
  init(0);
  ctx_.singleOpen = 0;
  copySample("mid");
  Table* a = open("mid");
  Table* b = open("mid");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(index4lockAll(a), 0);
  EXPECT_TRUE(index4holdsLock(a));
  ctx_.lockAttempts = 3;
  ctx_.lockRetryDelay = 0;
  EXPECT_EQ(index4lockAll(b), kLocked);
  // Waiting for ever for a lock this very process holds would never end.
  ctx_.lockAttempts = -1;
  EXPECT_EQ(index4lockAll(b), kErrLock);
  engine4errorSet(&ctx_, 0);
  EXPECT_FALSE(index4holdsLock(b));
  ASSERT_EQ(index4unlockAll(a), 0);
  EXPECT_EQ(index4lockAll(b), 0);
  EXPECT_EQ(index4unlockAll(b), 0);
  EXPECT_EQ(table4close(a), 0);
  EXPECT_EQ(table4close(b), 0);
}

TEST_F(MaintenanceEdges, TheSelectedTagFindsItsKeyAgainAfterAnotherProcessChangedTheFile) {
  engine4free(&ctx_);
  init(0);
  copySample("mid");
  Table* t = open("mid");
  ASSERT_NE(t, nullptr);
  Tag* tag = table4tagByName(t, "NAME");
  ASSERT_EQ(table4selectTag(t, tag), 0);
  ASSERT_EQ(table4top(t), 0);
  ASSERT_EQ(table4skip(t, 150), 0);
  const std::string key = keyOf(tag);
  const int32_t record = order4recNo(tag);
  // Another process (a context of its own) puts 200 keys before it.
  {
    EngineContext other{};
    ASSERT_EQ(engine4init(&other, nullptr, kEngineVersion), 0);
    other.compatibility = 30;
    Table* o = table4open(&other, "mid");
    ASSERT_NE(o, nullptr);
    ColumnValue name(table4column(o, 1));
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(table4appendStart(o, false), 0);
      ASSERT_EQ(column4assign(&name, "AAA"), 0);
      ASSERT_EQ(table4append(o), 0);
    }
    ASSERT_EQ(table4close(o), 0);
    engine4free(&other);
  }
  ASSERT_EQ(index4lockAll(t), 0);
  EXPECT_EQ(order4recNo(tag), record);
  EXPECT_EQ(keyOf(tag), key);
  EXPECT_EQ(order4skip(tag, -350), -350);  // the other keys are there
  EXPECT_EQ(keyOf(tag), std::string("AAA       "));
  EXPECT_EQ(index4unlockAll(t), 0);
  EXPECT_EQ(table4close(t), 0);
}

TEST_F(MaintenanceEdges, MemoCompressionOfATableWithAnIndexTakesTheIndexLocks) {
  engine4free(&ctx_);
  init(0);
  copySample("small");
  Table* t = open("small");
  ASSERT_NE(t, nullptr);
  const auto before = everyTag(t);
  const auto cdx = slurp("SMALL.CDX");
  EXPECT_EQ(table4memoCompress(t), 0);
  EXPECT_EQ(everyTag(t), before);
  EXPECT_EQ(table4close(t), 0);
  EXPECT_EQ(slurp("SMALL.CDX"), cdx);
}

}  // namespace
