// Creating index files and rebuilding them, read back by the independent
// checker: random tables with tags of every key type, expressions, FOR,
// descending and unique tags (also with the sort spooled to several runs);
// empty tables; unique modes over duplicates; rebuilds that give the same
// bytes; descriptions that make no tag; pack; a sample another program wrote;
// and a rebuild killed part way.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "dbf/core/os.h"
#include "dbf/index/build.h"
#include "tests/index/support.h"

using namespace cdxtest;
using namespace dbf;

namespace {

const ColumnDescription kColumns[] = {{"NAME", 'C', 8, 0, 0}, {"AMT", 'N', 9, 2, 0},
                                      {"BORN", 'D', 8, 0, 0}, {"ID", 'I', 4, 0, 0},
                                      {"FLAG", 'L', 1, 0, 0}, {nullptr, 0, 0, 0, 0}};

struct Row {
  std::string name;  // blank-padded to 8
  double amount;
  std::string born;  // CCYYMMDD or blanks
  int32_t id;
  bool flag;
  bool deleted;
};

// Names from a small alphabet (shared prefixes, trailing blanks, many equal).
std::vector<Row> randomRows(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i) {
    Row r;
    const int length = static_cast<int>(rng() % 9);
    for (int k = 0; k < length; ++k) r.name.push_back("ABC"[rng() % 3]);
    r.name.resize(8, ' ');
    r.amount = static_cast<int>(rng() % 2001 - 1000) / 20.0;
    r.born = rng() % 7 == 0 ? "        "
                            : "20" + std::to_string(10 + rng() % 20) + "0" +
                                  std::to_string(1 + rng() % 9) + "1" + std::to_string(rng() % 10);
    r.id = static_cast<int32_t>(rng() % 3001) - 1500;
    r.flag = rng() % 2 == 0;
    r.deleted = rng() % 10 == 0;
    rows.push_back(r);
  }
  return rows;
}

// Checker listings are compared by record numbers in tag order.
std::vector<int32_t> recordsOf(const std::vector<Entry>& entries) {
  std::vector<int32_t> records;
  for (const Entry& e : entries) records.push_back(e.record);
  return records;
}

// The checker's verdict on a table and its index: "OK", or all it said.
std::string verdict(const fs::path& cdx, const fs::path& dbf) {
  const Verdict v = check(dbf.string(), cdx.string());
  return v.ok ? "OK" : v.text;
}

class Build : public IndexTest {
 protected:
  // TABLE.DBF holding |rows|, opened exclusively, no index yet.
  Table* tableOf(const std::vector<Row>& rows) {
    Table* t = table4create(&ctx_, "TABLE", kColumns, nullptr);
    if (t == nullptr) return nullptr;
    for (const Row& r : rows) {
      EXPECT_EQ(table4appendStart(t, false), 0);
      EXPECT_EQ(table4blank(t), 0);
      ColumnValue name(table4column(t, 1)), amount(table4column(t, 2)), born(table4column(t, 3)),
          flag(table4column(t, 5));
      char text[32];
      std::snprintf(text, sizeof text, "%9.2f", r.amount);
      column4assign(&name, r.name.c_str());
      column4assign(&amount, text);
      column4assign(&born, r.born.c_str());
      column4storeLong(table4column(t, 4), r.id);
      column4assign(&flag, r.flag ? "T" : "F");
      if (r.deleted) table4delete(t);
      EXPECT_EQ(table4append(t), 0);
    }
    return t;
  }
};

const TagDescription kTags[] = {{"NAME", "NAME", nullptr, 0, 0},
                                {"AMT", "AMT", nullptr, 0, 0},
                                {"BORN", "BORN", nullptr, 0, 0},
                                {"ID", "ID", nullptr, 0, 0},
                                {"FLAG", "FLAG", nullptr, 0, 0},
                                {"NAMEAMT", "NAME+STR(AMT,9,2)", nullptr, 0, 0},
                                {"POSITIVE", "AMT", "AMT > 0", 0, 0},
                                {"dname", "NAME", "", 0, kTagDescending},
                                {"UNAME", "NAME", nullptr, kUniqueIgnore, 0},
                                {nullptr, nullptr, nullptr, 0, 0}};

// The records of |rows| in the order of |less| (ties by record number),
// only those |keep| accepts; with |unique| only the first of equal keys.
template <class Key>
std::vector<int32_t> modelOrder(const std::vector<Row>& rows, Key key, bool (*keep)(const Row&),
                                bool unique) {
  std::vector<std::pair<decltype(key(rows[0])), int32_t>> keyed;
  for (size_t i = 0; i < rows.size(); ++i)
    if (keep(rows[i])) keyed.push_back({key(rows[i]), static_cast<int32_t>(i + 1)});
  std::sort(keyed.begin(), keyed.end());
  std::vector<int32_t> order;
  for (size_t i = 0; i < keyed.size(); ++i)
    if (!unique || i == 0 || keyed[i].first != keyed[i - 1].first) order.push_back(keyed[i].second);
  return order;
}

bool all(const Row&) { return true; }
bool positive(const Row& r) { return r.amount > 0; }

// Every key type, expressions, FOR, descending, unique and GENERAL tags over
// random tables (deleted records included), small ones and ones with three
// levels; the last also with the sort spooled to many runs.
TEST_F(Build, EveryTagHoldsTheRecordsTheCheckerExpects) {
  const std::pair<int, int32_t> cases[] = {{1, 61440}, {57, 61440}, {6000, 61440}, {6000, 1024}};
  for (const auto& [count, chunk] : cases) {
    SCOPED_TRACE(count);
    ctx_.sortChunkSize = chunk;
    fs::remove("TABLE.DBF");
    fs::remove("TABLE.CDX");
    const std::vector<Row> rows = randomRows(count, static_cast<unsigned>(count));
    Table* t = tableOf(rows);
    ASSERT_NE(t, nullptr);
    ASSERT_NE(index4create(t, nullptr, kTags), nullptr) << ctx_.errorCode;
    // Case- and accent-blind names in a file of their own.
    fs::remove("GENERAL.CDX");
    ctx_.newTagCollation = kCollationGeneral;
    const TagDescription general[] = {{"GNAME", "NAME", nullptr, 0, 0}, {}};
    ASSERT_NE(index4create(t, "GENERAL", general), nullptr) << ctx_.errorCode;
    ctx_.newTagCollation = kCollationMachine;
    ASSERT_EQ(table4close(t), 0);
    EXPECT_EQ(verdict("TABLE.CDX", "TABLE.DBF"), "OK");
    EXPECT_EQ(verdict("GENERAL.CDX", "TABLE.DBF"), "OK");
    auto name = [](const Row& r) { return r.name; };
    auto amount = [](const Row& r) { return r.amount; };
    EXPECT_EQ(recordsOf(oracleDump("TABLE.CDX", "NAMEAMT")), modelOrder(
                                                                 rows,
                                                                 [](const Row& r) {
                                                                   char text[16];
                                                                   std::snprintf(text, sizeof text,
                                                                                 "%9.2f", r.amount);
                                                                   return r.name + text;
                                                                 },
                                                                 all, false));
    EXPECT_EQ(recordsOf(oracleDump("TABLE.CDX", "POSITIVE")),
              modelOrder(rows, amount, positive, false));
    EXPECT_EQ(recordsOf(oracleDump("TABLE.CDX", "DNAME")), modelOrder(rows, name, all, false));
    EXPECT_EQ(recordsOf(oracleDump("TABLE.CDX", "UNAME")), modelOrder(rows, name, all, true));
    // The engine walks the descending tag backwards.
    t = open("TABLE");
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(table4selectTag(t, table4tagByName(t, "DNAME")), 0);
    std::vector<int32_t> walked;
    for (int rc = table4top(t); rc == 0; rc = table4skip(t, 1)) walked.push_back(table4recNo(t));
    std::vector<int32_t> expected = modelOrder(rows, name, all, false);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(walked, expected);
    ASSERT_EQ(table4close(t), 0);
  }
}

TEST_F(Build, NewTableWithThreeTagsHasEmptyRootsAndTheModesItWasGiven) {
  const TagDescription tags[] = {{"ZED", "ID", nullptr, kUniqueReturn, 0},
                                 {"ALPHA", "NAME", nullptr, 0, kTagDescending},
                                 {"MID", "AMT", "FLAG", kCandidateError, 0},
                                 {nullptr, nullptr, nullptr, 0, 0}};
  Table* t = table4create(&ctx_, "EMPTY", kColumns, tags);
  ASSERT_NE(t, nullptr) << ctx_.errorCode;
  EXPECT_EQ(t->dataFile->tableFlags & 0x01, 1);
  std::map<std::string, int16_t> modes;
  for (IndexHandle* h = t->indexes; h != nullptr; h = h->next)
    for (TagHandle* th = h->tags; th != nullptr; th = th->next)
      modes[th->tag->name] = th->uniqueMode;
  EXPECT_EQ(modes, (std::map<std::string, int16_t>{
                       {"ALPHA", 0}, {"MID", kCandidateError}, {"ZED", kUniqueReturn}}));
  ASSERT_EQ(table4close(t), 0);
  const auto bytes = slurp("EMPTY.CDX");
  EXPECT_EQ(bytes.size(), 4u * kIndexHeaderSize + 4 * kIndexUnit);  // directory + three roots
  const std::vector<Entry> directory = oracleDump("EMPTY.CDX", "@DIR");
  ASSERT_EQ(directory.size(), 3u);
  EXPECT_EQ(directory[0].key, "ALPHA     ");
  EXPECT_EQ(recordsOf(directory), (std::vector<int32_t>{2048, 3072, 1024}));
  for (int i = 1; i <= 3; ++i) {
    const uint32_t root = tabletest::le32(bytes, static_cast<size_t>(kIndexHeaderSize * i));
    EXPECT_EQ(tabletest::le16(bytes, root), kNodeRootLeaf);
    EXPECT_EQ(tabletest::le16(bytes, root + 2), 0);  // no keys
  }
  EXPECT_EQ(verdict("EMPTY.CDX", "EMPTY.DBF"), "OK");
}

TEST_F(Build, UniqueModesDecideWhatDuplicatesDo) {
  std::vector<Row> rows = randomRows(30, 5);
  rows[3].name = rows[20].name = "SAME    ";
  Table* t = tableOf(rows);
  ASSERT_NE(t, nullptr);
  // Mode 25 keeps the lowest record of every name.
  const TagDescription ignore[] = {{"U", "NAME", nullptr, kUniqueIgnore, 0}, {}};
  ASSERT_NE(index4create(t, "IGNORE", ignore), nullptr);
  const std::vector<Entry> kept = oracleDump("IGNORE.CDX", "U");
  EXPECT_EQ(recordsOf(kept), modelOrder(
                                 rows, [](const Row& r) { return r.name; }, all, true));
  // Modes 20 and 15 fail with 20, -340 and -360 with -340; no file is left.
  for (const int16_t mode : {kUniqueReturn, kCandidateReturn, kUniqueError, kCandidateError}) {
    SCOPED_TRACE(mode);
    const TagDescription tags[] = {{"U", "NAME", nullptr, mode, 0}, {}};
    EXPECT_EQ(index4create(t, "REFUSED", tags), nullptr);
    const bool returns = mode == kUniqueReturn || mode == kCandidateReturn;
    EXPECT_EQ(ctx_.errorCode, returns ? kDuplicate : kErrUniqueKey);
    EXPECT_FALSE(fs::exists("REFUSED.CDX"));
    engine4errorSet(&ctx_, 0);
  }
  // A FOR expression false for every record leaves an empty tag.
  const TagDescription none[] = {{"NONE", "NAME", "ID > 5000", 0, 0}, {}};
  ASSERT_NE(index4create(t, "NONE", none), nullptr);
  EXPECT_TRUE(oracleDump("NONE.CDX", "NONE").empty());
  EXPECT_EQ(table4close(t), 0);
}

// Rebuilding the same records gives the same file, byte for byte, and a
// file built by another program rebuilds to the same keys in the same order.
TEST_F(Build, RebuildsGiveTheSameBytesAndTheSameKeysAsAnotherWriter) {
  Table* t = tableOf(randomRows(4000, 9));
  ASSERT_NE(t, nullptr);
  ASSERT_NE(index4create(t, nullptr, kTags), nullptr);
  const auto first = slurp("TABLE.CDX");
  EXPECT_EQ(table4reindex(t), 0);
  EXPECT_EQ(table4reindex(t), 0);
  EXPECT_EQ(slurp("TABLE.CDX"), first);
  EXPECT_EQ(table4close(t), 0);

  copySample("multi");
  std::map<std::string, std::vector<Entry>> before;
  for (const char* tag : {"NAME", "AMT", "BORN", "ID", "FLAG", "CODE", "UCODE", "@DIR"})
    before[tag] = oracleDump("MULTI.CDX", tag);
  t = open("multi");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(table4reindex(t), 0);
  EXPECT_EQ(table4close(t), 0);
  for (const auto& [tag, entries] : before) {
    const std::vector<Entry> after = oracleDump("MULTI.CDX", tag);
    EXPECT_EQ(recordsOf(after), recordsOf(entries)) << tag;
  }
  EXPECT_EQ(verdict("MULTI.CDX", "MULTI.DBF"), "OK");
  // A single-tag file keeps its one header at 0.
  copySample("single");
  const std::vector<Entry> single = oracleDump("SINGLE.CDX", "(single)");
  t = open("single");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(table4reindex(t), 0);
  EXPECT_EQ(table4close(t), 0);
  EXPECT_EQ(recordsOf(oracleDump("SINGLE.CDX", "(single)")), recordsOf(single));
  EXPECT_EQ(verdict("SINGLE.CDX", "SINGLE.DBF"), "OK");
}

TEST_F(Build, DescriptionsThatMakeNoTagLeaveNothingBehind) {
  Table* t = tableOf(randomRows(10, 1));
  ASSERT_NE(t, nullptr);
  const std::string longText(255, 'A');
  struct Case {
    TagDescription tag;
    int code;
    int location;
  };
  const Case cases[] = {
      {{"A", "NAME", nullptr, 7, 0}, kErrTagDescription, 85301},
      {{"A", "NAME", nullptr, 0, 1}, kErrTagDescription, 85302},
      {{"A", nullptr, nullptr, 0, 0}, kErrTagDescription, 85303},
      {{"A", longText.c_str(), nullptr, 0, 0}, kErrTagDescription, 85304},
      {{"A", "NAME", longText.c_str(), 0, 0}, kErrTagDescription, 85304},
      {{"  ", "NAME", nullptr, 0, 0}, kErrTagDescription, 85305},
      {{"A", "NAME", "AMT", 0, 0}, kErrTagDescription, 85306},
      {{"A", "NOSUCH", nullptr, 0, 0}, kErrColumnName, -1},
  };
  for (const Case& c : cases) {
    const TagDescription tags[] = {{"GOOD", "ID", nullptr, 0, 0}, c.tag, {}};
    EXPECT_EQ(index4create(t, "BAD", tags), nullptr);
    EXPECT_EQ(ctx_.errorCode, c.code);
    if (c.location > 0) {
      EXPECT_EQ(ctx_.errorLocation, c.location);
    }
    engine4errorSet(&ctx_, 0);
    EXPECT_FALSE(fs::exists("BAD.CDX"));
  }
  // Two tags of one name: the directory refuses the second.
  const TagDescription twice[] = {{"A", "ID", nullptr, 0, 0}, {"a", "AMT", nullptr, 0, 0}, {}};
  EXPECT_EQ(index4create(t, "BAD", twice), nullptr);
  EXPECT_EQ(ctx_.errorCode, kErrUniqueKey);
  engine4errorSet(&ctx_, 0);
  EXPECT_FALSE(fs::exists("BAD.CDX"));
  // A file already there, or already open, is not replaced.
  const TagDescription one[] = {{"A", "ID", nullptr, 0, 0}, {}};
  ASSERT_NE(index4create(t, "GOOD", one), nullptr);
  EXPECT_EQ(index4create(t, "GOOD", one), nullptr);
  EXPECT_EQ(ctx_.errorCode, kErrNameNotFound);
  engine4errorSet(&ctx_, 0);
  spit("OTHER.CDX", {1, 2, 3});
  EXPECT_EQ(index4create(t, "OTHER", one), nullptr);
  EXPECT_EQ(ctx_.errorCode, kErrCreate);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(slurp("OTHER.CDX"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(table4close(t), 0);
  // A new table whose tags cannot be made is not left behind either.
  const TagDescription unknown[] = {{"A", "NOSUCH", nullptr, 0, 0}, {}};
  EXPECT_EQ(table4create(&ctx_, "NEWBAD", kColumns, unknown), nullptr);
  EXPECT_EQ(ctx_.errorCode, kErrColumnName);
  engine4errorSet(&ctx_, 0);
  EXPECT_FALSE(fs::exists("NEWBAD.DBF"));
  EXPECT_FALSE(fs::exists("NEWBAD.CDX"));
  // The production index needs the table to itself.
  engine4free(&ctx_);
  init(0);
  t = open("TABLE");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(index4create(t, nullptr, one), nullptr);
  EXPECT_EQ(ctx_.errorCode, kErrCreate);
  EXPECT_EQ(ctx_.errorLocation, 81306);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(table4close(t), 0);
}

TEST_F(Build, PackRebuildsTheTagsOverTheRecordsKept) {
  std::vector<Row> rows = randomRows(2500, 3);
  Table* t = tableOf(rows);
  ASSERT_NE(t, nullptr);
  ASSERT_NE(index4create(t, nullptr, kTags), nullptr);
  ASSERT_EQ(table4pack(t), 0);
  ASSERT_EQ(table4close(t), 0);
  std::erase_if(rows, [](const Row& r) { return r.deleted; });
  EXPECT_EQ(verdict("TABLE.CDX", "TABLE.DBF"), "OK");
  EXPECT_EQ(recordsOf(oracleDump("TABLE.CDX", "UNAME")),
            modelOrder(
                rows, [](const Row& r) { return r.name; }, all, true));
}

// --- a rebuild killed part way ---

// The platform's calls, with the process ending at the n-th write as if it
// were killed there.
struct DyingOs {
  static inline int countdown = 0;
  static inline int writes = 0;
  static inline OsInterface table;
  static int64_t writeAt(int64_t h, int64_t pos, const void* buf, uint32_t len) {
    ++writes;
    if (countdown > 0 && --countdown == 0) _exit(9);
    return os4platform()->writeAt(h, pos, buf, len);
  }
  static void install(int n) {
    table = *os4platform();
    table.writeAt = writeAt;
    countdown = n;
    writes = 0;
    os4set(&table);
  }
};

TEST_F(Build, KilledRebuildLeavesATableThatOpensAndTheNextRebuildRepairs) {
  Table* t = tableOf(randomRows(3000, 4));
  ASSERT_NE(t, nullptr);
  ASSERT_NE(index4create(t, nullptr, kTags), nullptr);
  DyingOs::install(0);
  EXPECT_EQ(table4reindex(t), 0);
  os4set(nullptr);
  const int writes = DyingOs::writes;
  ASSERT_GT(writes, 10);
  ASSERT_EQ(table4close(t), 0);
  const auto built = slurp("TABLE.CDX");
  const auto records = slurp("TABLE.DBF");
  // Rebuilt over other records (here: reversed names), killed at a write.
  for (const int killAt : {1, writes / 2, writes - 2, writes}) {
    SCOPED_TRACE(killAt);
    spit("TABLE.CDX", built);
    const pid_t child = fork();
    if (child == 0) {
      Table* c = open("TABLE");
      if (c == nullptr) _exit(2);
      for (int32_t r = 1; r <= table4recCount(c); ++r) {
        // Change the names in the file, under the index's back.
        table4go(c, r);
        std::reverse(c->record + 1, c->record + 9);
        os4platform()->writeAt(
            c->dataFile->data.handle,
            c->dataFile->headerLength + int64_t{r - 1} * c->dataFile->recordLength, c->record,
            c->dataFile->recordLength);
      }
      DyingOs::install(killAt);
      table4reindex(c);
      _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 9);
    t = open("TABLE");
    ASSERT_NE(t, nullptr) << ctx_.errorCode;
    EXPECT_EQ(table4recCount(t), 3000);
    // The old keys, or half the new.
    EXPECT_NE(check("TABLE.DBF", "TABLE.CDX").text.find("FAIL:"), std::string::npos);
    ASSERT_EQ(table4go(t, 3000), 0);
    EXPECT_EQ(table4reindex(t), 0);
    ASSERT_EQ(table4close(t), 0);
    EXPECT_EQ(verdict("TABLE.CDX", "TABLE.DBF"), "OK");
    spit("TABLE.DBF", records);
  }
}

}  // namespace
