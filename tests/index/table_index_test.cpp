// The production index with its table: opened when the header says so (a
// missing one fails the open), shared by the Tables of one data file and kept
// working when the Table that opened it closes, found by tag name, refusing
// changes it cannot keep up with, and read afresh when another process moved
// its version counter. Keys of records and of text as a tag makes them.
#include <array>
#include <cstring>

#include "dbf/expr/expression.h"
#include "dbf/index/node.h"
#include "tests/index/support.h"

using namespace cdxtest;
using namespace dbf;

namespace {

std::vector<int32_t> walk(Table* t) {
  std::vector<int32_t> records;
  for (int rc = table4top(t); rc == 0; rc = table4skip(t, 1)) records.push_back(table4recNo(t));
  return records;
}

std::vector<int32_t> recordsOf(const std::vector<Entry>& entries) {
  std::vector<int32_t> records;
  for (const Entry& e : entries) records.push_back(e.record);
  return records;
}

using TableIndex = IndexTest;

TEST_F(TableIndex, MissingProductionIndexFailsTheOpenUnlessNotWanted) {
  copySample("small");
  fs::remove("SMALL.CDX");
  EXPECT_EQ(open("small"), nullptr);
  EXPECT_EQ(ctx_.errorCode, kErrOpenNotFound);
  engine4errorSet(&ctx_, 0);
  ctx_.openProductionIndex = 0;
  Table* t = open("small");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->indexes, nullptr);
  EXPECT_EQ(table4close(t), 0);
}

TEST_F(TableIndex, TagsAreFoundByNameAndOrderTheTable) {
  copySample("small");
  Table* t = open("small");
  ASSERT_NE(t, nullptr);
  Tag* name = table4tagByName(t, "name  ");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(table4tagByName(t, "Name"), name);
  EXPECT_EQ(table4tagByName(t, "NOSUCH"), nullptr);
  EXPECT_EQ(ctx_.errorCode, kErrTagName);
  engine4errorSet(&ctx_, 0);
  ctx_.reportTagNameErrors = 0;
  EXPECT_EQ(table4tagByName(t, "NAMEQTY1234"), nullptr);
  EXPECT_EQ(ctx_.errorCode, 0);
  // The same file a second time for the same Table.
  EXPECT_EQ(index4open(t, "SMALL.CDX"), nullptr);
  EXPECT_EQ(ctx_.errorCode, kErrAlreadyOpen);
  engine4errorSet(&ctx_, 0);
  ASSERT_EQ(table4selectTag(t, name), 0);
  EXPECT_EQ(walk(t), recordsOf(oracleDump("SMALL.CDX", "NAME")));
  ASSERT_EQ(table4selectTag(t, table4tagByName(t, "NOTHING")), 0);
  EXPECT_EQ(table4top(t), kEof);
  EXPECT_EQ(table4bof(t), 1);
  ASSERT_EQ(table4selectTag(t, nullptr), 0);
  EXPECT_EQ(walk(t), (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(table4close(t), 0);
}

TEST_F(TableIndex, TagOfAnotherTableCannotOrderThisOne) {
  copySample("small");
  copySample("mid");
  Table* small = open("small");
  Table* mid = open("mid");
  ASSERT_NE(small, nullptr);
  ASSERT_NE(mid, nullptr);
  EXPECT_EQ(table4selectTag(small, table4tagByName(mid, "NUM")), kErrParameter);
  EXPECT_EQ(small->order, nullptr);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(table4close(small), 0);
  EXPECT_EQ(table4close(mid), 0);
}

TEST_F(TableIndex, SharedIndexOutlivesTheTablesThatUsedIt) {
  copySample("mid");
  Table* first = open("mid");
  Table* second = open("mid");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->indexes->file, second->indexes->file);
  EXPECT_EQ(first->indexes->file->openCount, 2);
  const std::vector<int32_t> order = recordsOf(oracleDump("MID.CDX", "NAME"));
  // A skip from a record reached by number builds that record's key, through
  // whichever Table is left.
  auto skipFrom = [&](Table* t, size_t i) {
    EXPECT_EQ(table4selectTag(t, table4tagByName(t, "NAME")), 0);
    ASSERT_EQ(table4go(t, order[i]), 0);
    ASSERT_EQ(table4skip(t, 1), 0);
    EXPECT_EQ(table4recNo(t), order[i + 1]);
  };
  skipFrom(second, 10);
  EXPECT_EQ(table4close(first), 0);
  Table* third = open("mid");
  ASSERT_NE(third, nullptr);
  skipFrom(second, 100);
  EXPECT_EQ(table4close(second), 0);
  skipFrom(third, 200);
  EXPECT_EQ(walk(third), order);
  EXPECT_EQ(table4close(third), 0);
}

TEST_F(TableIndex, ForeignChangeIsSeenOnceTheVersionCounterMoves) {
  engine4free(&ctx_);
  init(0);  // shared: another program may write the index
  copySample("mid");
  Table* t = open("mid");
  ASSERT_NE(t, nullptr);
  Tag* tag = table4tagByName(t, "NAME");
  ASSERT_EQ(table4selectTag(t, tag), 0);
  ASSERT_EQ(table4top(t), 0);
  const int32_t first = table4recNo(t);
  // Another program gives the first key to record 7 (the leaf's last key and
  // its parent stay as they were).
  IndexNode* leaf = tag->stack[tag->depth - 1];
  std::array<uint8_t, kIndexUnit> image{};
  std::copy(std::begin(leaf->image), std::end(leaf->image), image.begin());
  const LeafEntry e = leaf4entry(image.data(), leaf->layout, 0);
  leaf4putEntry(image.data(), leaf->layout, 0, 7, e.duplicateCount, e.trailingCount);
  auto bytes = slurp("MID.CDX");
  std::copy(image.begin(), image.end(), bytes.begin() + leaf->offset);
  spit("MID.CDX", bytes);
  ASSERT_EQ(table4top(t), 0);
  EXPECT_EQ(table4recNo(t), first);                 // the cached node still holds
  bytes[11] = static_cast<uint8_t>(bytes[11] + 1);  // version counter, big-endian
  spit("MID.CDX", bytes);
  ASSERT_EQ(table4top(t), 0);
  EXPECT_EQ(table4recNo(t), 7);
  EXPECT_EQ(table4close(t), 0);
}

// Keys of a nullable column carry the null marker; a negative zero keys below
// every negative number; search keys from text match record keys.
TEST_F(TableIndex, RecordKeysWithNullMarkerAndSearchKeysFromText) {
  const ColumnDescription columns[] = {{"AMT", 'N', 8, 2, kNullable}, {nullptr, 0, 0, 0, 0}};
  Table* t = table4create(&ctx_, "nulls", columns, nullptr);
  ASSERT_NE(t, nullptr);
  Expression* e = expression4parse(t, "AMT", reinterpret_cast<Tag*>(t));
  ASSERT_NE(e, nullptr);
  Tag tag{};
  tag.keyExpression = e;
  tag.keyType = 'N';
  tag.nullMarker = key4nullMarker(e, kTagUnique);
  tag.header.keyLength = static_cast<uint16_t>(key4length(e, false, tag.nullMarker));
  EXPECT_TRUE(tag.nullMarker);
  EXPECT_FALSE(key4nullMarker(e, kTagCandidate));
  EXPECT_EQ(tag.header.keyLength, 9);
  auto keyOfText = [&](const char* text) {
    std::memcpy(t->record + 1, text, 8);
    const char* key = nullptr;
    const int n = expression4key(e, &tag, &key);
    return std::string(key, static_cast<size_t>(n));
  };
  EXPECT_EQ(keyOfText("    1.00"), std::string("\x80\xBF\xF0\0\0\0\0\0\0", 9));
  EXPECT_EQ(keyOfText("    0.00"), std::string("\x80\x80\0\0\0\0\0\0\0", 9));
  EXPECT_EQ(keyOfText("   -0.00"), std::string("\x80\0\0\0\0\0\0\0\0", 9));
  EXPECT_EQ(keyOfText("   -1.00"), std::string("\x80\x40\x0F\xFF\xFF\xFF\xFF\xFF\xFF", 9));
  char search[kMaxKeyLength];
  ASSERT_EQ(order4keyFromText(&tag, "-1", 2, search), 9);
  EXPECT_EQ(std::string(search, 9), keyOfText("   -1.00"));
  const Column* flags = table4column(t, 2);
  t->record[flags->offset] = 1;  // AMT is null
  EXPECT_EQ(keyOfText("    1.00"), std::string(9, '\0'));
  expression4free(e);
  EXPECT_EQ(table4close(t), 0);
}

// GENERAL keys against the checker's own collation, over every character
// under both code pages; case and the sharp s do not change the letters.
TEST_F(TableIndex, GeneralCollationMatchesTheChecker) {
  const std::string sharpS = "Stra\xDF\145";  // "Stra", sharp s, "e"
  std::vector<std::string> texts = {"Strasse",      "STRASSE", sharpS, "\x8C\165vre", "\xC6sop",
                                    "\xDE\157rn  ", "a b",     "",     "   "};
  for (int c = 0x20; c < 0x100; c += 8) {
    std::string s;
    for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>(c + i));
    texts.push_back(s);
  }
  for (uint8_t mark : {uint8_t{1}, uint8_t{3}}) {
    std::string script = "import sys; sys.path.insert(0, '" WH_SOURCE_DIR
                         "/tests/oracles'); "
                         "import cdxcheck\nfor t in [";
    for (const std::string& s : texts) {
      script += "bytes([";
      for (unsigned char ch : s) script += std::to_string(ch) + ",";
      script += "]),";
    }
    script += "]: print(cdxcheck.general_key(t, 24, " + std::to_string(mark) + ").hex())";
    spit("collate.py", std::vector<uint8_t>(script.begin(), script.end()));
    FILE* pipe = popen("/usr/bin/python3 collate.py", "r");
    ASSERT_NE(pipe, nullptr);
    Collation collation{};
    ASSERT_EQ(collation4bind(&collation, kCollationGeneral, mark, &ctx_), 0);
    char line[128];
    for (const std::string& s : texts) {
      ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
      char key[24];
      collation4key(&collation, s.data(), static_cast<int>(s.size()), key, 24);
      std::string hex;
      for (unsigned char ch : std::string(key, 24)) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[ch >> 4];
        hex += digits[ch & 15];
      }
      EXPECT_EQ(hex + "\n", line) << "mark " << int{mark} << " text " << s;
    }
    pclose(pipe);
  }
  Collation windows{};
  ASSERT_EQ(collation4bind(&windows, kCollationGeneral, 3, &ctx_), 0);
  std::array<std::array<char, 20>, 3> keys{};
  const char* words[] = {"Strasse", "STRASSE", sharpS.c_str()};
  for (int i = 0; i < 3; ++i)
    collation4key(&windows, words[i], static_cast<int>(std::strlen(words[i])), keys[i].data(), 20);
  for (int i = 1; i < 3; ++i)
    EXPECT_EQ(std::string(keys[i].data(), 7), std::string(keys[0].data(), 7)) << words[i];
  EXPECT_TRUE(collation4equal(reinterpret_cast<const uint8_t*>(keys[0].data()),
                              reinterpret_cast<const uint8_t*>(keys[1].data()), 20));
}

}  // namespace
