// The Access reader on built Jet 4 files: the layouts the real samples lack
// (memos, moved and deleted rows, rows older than a column, two data pages),
// and damage that must be reported, not read past or looped on.
#include <gtest/gtest.h>

#include "migrate/jet_file.h"
#include "migrate/old_db_exception.h"
#include "tests/migrate/jet_builder.h"

namespace {

using namespace jetbuild;

std::string describe(const JetValue& v) {
  switch (v.vt) {
    case 8:
      return "8:" + v.text;
    case 1:
      return "1:";
    default:
      return std::to_string(v.vt) + ":" + std::to_string(v.integer);
  }
}

std::vector<std::vector<std::string>> rowsOf(JetDatabase& db, const std::string& table) {
  JetDatabase::Rows rows(&db, db.table(table));
  std::vector<std::vector<std::string>> out;
  std::vector<JetValue> values;
  while (rows.next(&values)) {
    out.emplace_back();
    for (const JetValue& v : values) out.back().push_back(describe(v));
  }
  return out;
}

int errorOf(const std::string& file, const std::string& table) {
  try {
    JetDatabase db(jetMemorySource(file));
    rowsOf(db, table);
  } catch (CDaoException* e) {
    int code = e->errorCode();
    e->Delete();
    return code;
  }
  return 0;
}

const std::vector<Column> kUserColumns = {{"Id", kJetLong, true, 4},
                                          {"Name", kJetText, false, 0},
                                          {"Full", kJetMemo, false, 0},
                                          {"Active", kJetBool, true, 0},
                                          {"Added", kJetLong, true, 4}};

std::string usersFile() {
  FileBuilder b;
  std::string longName(3000, 'x');  // a chain of three parts
  b.add({"Other", {{"A", kJetLong, true, 4}, {"B", kJetText, false, 0}}, {{{longValue(7), {}}}}});
  b.add({"UserBase",
         kUserColumns,
         {{{longValue(1), text("alice"), b.inlineMemo("Alice Adler"), boolean(true), longValue(5)},
           {longValue(-2), compressedText("bob"), b.rowMemo("Bob B."), boolean(false), {}},
           // written before "Added" existed
           {longValue(3), text(""), b.chainMemo(longName, 1400), boolean(true)}},
          {{longValue(4), {}, {}, boolean(false), longValue(9)}}}});
  b.moveFirstRowAndDeleteOne();
  return b.build();
}

TEST(JetFile, ReadsTheLayoutsAccessWrites) {
  std::string file = usersFile();
  JetDatabase db(jetMemorySource(file));
  EXPECT_FALSE(db.isJet3());
  EXPECT_EQ(db.tableNames(), (std::vector<std::string>{"MSysObjects", "Other", "UserBase"}));
  JetTableDef users = db.table("userbase");
  ASSERT_EQ(users.columns.size(), 5u);
  EXPECT_EQ(users.columns[2].name, "Full");

  auto rows = rowsOf(db, "UserBase");
  ASSERT_EQ(rows.size(), 4u);  // the moved row once, the deleted row not at all
  EXPECT_EQ(rows[0], (std::vector<std::string>{"3:1", "8:alice", "8:Alice Adler", "11:-1", "3:5"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"3:-2", "8:bob", "8:Bob B.", "11:0", "1:"}));
  EXPECT_EQ(rows[2],
            (std::vector<std::string>{"3:3", "8:", "8:" + std::string(3000, 'x'), "11:-1", "1:"}));
  EXPECT_EQ(rows[3], (std::vector<std::string>{"3:4", "1:", "1:", "11:0", "3:9"}));
  EXPECT_EQ(rowsOf(db, "Other"), (std::vector<std::vector<std::string>>{{"3:7", "1:"}}));
  EXPECT_EQ(db.table("Other").rowCount, 1u);  // as the definition states it
  EXPECT_EQ(errorOf(file, "Query1"), kDaoItemNotFound);  // a catalog entry that is no table
}

// Each of these damages the file at one place; the read must end with an
// error of the engine, never read past the page or loop.
TEST(JetFile, DamageIsReportedNotReadPast) {
  const std::string file = usersFile();
  auto patched = [&](size_t at, const std::string& bytes) {
    std::string copy = file;
    copy.replace(at, bytes.size(), bytes);
    return copy;
  };
  auto page = [](uint32_t n, size_t offset) { return n * kPage + offset; };
  // Page numbers: 5.. long-value rows (1 + 3), then Other (9, 10), then
  // UserBase: definition 11, data 12 and 13, moved row 14.
  const std::string chainedToItself =
      patched(page(6, kPage - 2804), std::string("\x00\x06\x00\x00", 4));
  EXPECT_EQ(errorOf(chainedToItself, "UserBase"), kDaoEngineError);
  EXPECT_EQ(errorOf(patched(page(12, 14), "\xF0\x1F"), "UserBase"), kDaoEngineError);  // slot
  EXPECT_EQ(errorOf(patched(page(12, 12), "\xFF\x7F"), "UserBase"), kDaoEngineError);  // row count
  EXPECT_EQ(errorOf(patched(page(11, 45), std::string("\xFF\x00", 2)), "UserBase"),
            kDaoEngineError);  // column count
  EXPECT_EQ(errorOf(patched(page(11, 55), std::string("\x00\x00\x40\x00", 4)), "UserBase"),
            kDaoEngineError);                                                    // map
  EXPECT_EQ(errorOf(file.substr(0, page(13, 0)), "UserBase"), kDaoEngineError);  // cut short
  EXPECT_EQ(errorOf(patched(page(2, 0), "\x01"), "UserBase"), kDaoCannotOpen);   // no catalog
  EXPECT_EQ(errorOf(std::string(100, '\0'), "UserBase"), kDaoCannotOpen);
}

}  // namespace
