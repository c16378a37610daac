// Key maintenance against an in-memory model: random appends, key-changing
// rewrites, deletions and recalls on a table whose tags cover character,
// numeric, date, integer and logical keys, FOR expressions, an expression key,
// a descending tag, a unique tag and a GENERAL tag (in a second index file).
// After every batch each tag is walked in tag order and compared with the
// model, and the files are closed, reopened and run through the independent
// checker with the table beside them.
#include <cstring>
#include <optional>
#include <sstream>
#include <random>
#include <regex>
#include <set>

#include "dbf/expr/expression.h"
#include "dbf/index/node.h"
#include "tests/index/support.h"

using namespace cdxtest;
using namespace dbf;

namespace {

// What one tag must hold. A unique tag keeps the first record of a key: a
// later record with the same key is left out (unique mode 25).
struct ModelTag {
  bool unique = false;
  bool descending = false;
  std::set<Pair> pairs;

  bool holds(const std::string& key) const {
    auto it = pairs.lower_bound({key, 0});
    return it != pairs.end() && it->first == key;
  }
  void add(const std::optional<std::string>& key, int32_t record) {
    if (key && !(unique && holds(*key))) pairs.insert({*key, record});
  }
  void remove(const std::optional<std::string>& key, int32_t record) {
    if (key) pairs.erase({*key, record});
  }
  std::vector<Pair> inTagOrder() const {
    std::vector<Pair> v(pairs.begin(), pairs.end());
    if (descending) std::reverse(v.begin(), v.end());
    return v;
  }
};

struct Plan {
  const char* name;
  uint8_t shareMode;
  int batches;
  int opsPerBatch;
  int appendPercent;  // the rest: rewrites, and a few deletions and recalls
  unsigned seed;
};

class Maintenance : public IndexTest, public ::testing::WithParamInterface<Plan> {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    engine4free(&ctx_);
    init(GetParam().shareMode);
    ctx_.lockRetryDelay = 0;
    copySample("small");
    fs::copy_file(sampleDir() / "general.cdx", dir_ / "SMALLG.CDX");
    // The sample has no descending and no unique tag: BORN becomes
    // descending (its tree stays ascending) and ID unique. Its always empty
    // tag NOTHING becomes one of 160-byte keys, whose interior nodes hold two
    // entries (a full one passes an entry to a neighbour).
    auto bytes = slurp("SMALL.CDX");
    ASSERT_EQ(bytes[0x1000 + 502], 0);
    bytes[0x1000 + 502] = 1;
    ASSERT_EQ(bytes[0xC00 + 14], 0x60);
    bytes[0xC00 + 14] = 0x61;
    std::string sixteenNames = "NAME";
    for (int i = 1; i < 16; ++i) sixteenNames += "+NAME";
    uint8_t* header = bytes.data() + 0x1C00;
    ASSERT_EQ(header[14], 0x68);
    const uint32_t length = static_cast<uint32_t>(sixteenNames.size()) + 1;
    cdx4put16(header + 12, 160);
    header[14] = 0x60;
    for (int at : {504, 510}) cdx4put16(header + at, length);
    cdx4put16(header + 506, 1);
    std::memset(header + 512, 0, 512);
    std::memcpy(header + 512, sixteenNames.data(), sixteenNames.size());
    leaf4formatEmpty(bytes.data() + 0x3200, leaf4widths(160, 4, LeafRule::kBuilder));
    spit("SMALL.CDX", bytes);
    reopen();
    for (Tag* tag : tagsOf(t_)) {
      ModelTag& m = model_[tag->name];
      m.unique = (tag->header.options & kTagUnique) != 0;
      m.descending = tag->header.descending != 0;
      for (const Pair& p : walkTag(tag)) m.pairs.insert(p);
    }
    ASSERT_TRUE(model_["ID"].unique);
    ASSERT_TRUE(model_["BORN"].descending);
    ASSERT_EQ(model_.size(), 9u);
  }
  void TearDown() override {
    if (t_ != nullptr) table4close(t_);
    IndexTest::TearDown();
  }

  void reopen() {
    if (t_ != nullptr) {
      ASSERT_EQ(table4close(t_), 0);
    }
    t_ = open("small");
    ASSERT_NE(t_, nullptr);
    ASSERT_NE(index4open(t_, "SMALLG"), nullptr);
    for (int i = 0; i < 6; ++i) column_[i].bind(table4column(t_, i + 1));
  }

  std::map<std::string, std::optional<std::string>> keysNow() {
    std::map<std::string, std::optional<std::string>> keys;
    for (Tag* tag : tagsOf(t_)) keys[tag->name] = keyIn(tag, t_);
    return keys;
  }

  // Names from a small alphabet: many equal keys, shared prefixes, trailing
  // blanks. The first letter follows the phase, so that rewrites drain the
  // regions of earlier phases until their leaves empty.
  std::string randomName(int phase) {
    std::string name(1, static_cast<char>('A' + phase % 26));
    const int length = static_cast<int>(rng_() % 9);
    for (int i = 0; i < length; ++i) name.push_back("ab B"[rng_() % 4]);
    return name;
  }

  void assignRandom(int phase, bool all, bool rename) {
    if (all || rename || rng_() % 2) column4assign(&column_[0], randomName(phase).c_str());
    if (all || rng_() % 3 == 0)
      column4assignLong(&column_[1], static_cast<int>(rng_() % 101) - 50, -1, false);
    if (all || rng_() % 4 == 0) {
      char date[9];
      std::snprintf(date, sizeof date, "%04d%02d%02d", 1900 + static_cast<int>(rng_() % 200),
                    1 + static_cast<int>(rng_() % 12), 1 + static_cast<int>(rng_() % 28));
      column4assign(&column_[3], rng_() % 10 == 0 ? "        " : date);
    }
    if (all || rng_() % 4 == 0) column4assign(&column_[4], rng_() % 2 ? "T" : "F");
    if (all || rng_() % 3 == 0)
      column4storeLong(table4column(t_, 6), static_cast<int32_t>(rng_() % 700) - 100);
  }

  void append(int phase) {
    ASSERT_EQ(table4appendStart(t_, false), 0);
    ASSERT_EQ(table4blank(t_), 0);
    assignRandom(phase, true, true);
    const int32_t record = table4recCount(t_) + 1;
    regions_[t_->record[1]].insert(record);
    for (auto& [name, key] : keysNow()) model_[name].add(key, record);
    ASSERT_EQ(table4append(t_), 0);
    ASSERT_EQ(table4recNo(t_), record);
  }

  void recall() {
    t_->record[0] = ' ';
    t_->changed = true;
  }

  // Half of the rewrites rename records of the region two phases back, so
  // that its leaves empty and go to the free list.
  int32_t pickRecord(int phase, bool* drain) {
    const std::set<int32_t>& old = regions_[static_cast<char>('A' + (phase + 24) % 26)];
    *drain = phase >= 2 && !old.empty() && rng_() % 2 == 0;
    if (!*drain) return 1 + static_cast<int32_t>(rng_() % table4recCount(t_));
    auto it = old.begin();
    std::advance(it, static_cast<long>(rng_() % old.size()));
    return *it;
  }

  void rewrite(int phase) {
    bool drain = false;
    const int32_t record = pickRecord(phase, &drain);
    ASSERT_EQ(table4go(t_, record), 0);
    const auto before = keysNow();
    const char region = t_->record[1];
    const int what = drain ? 9 : static_cast<int>(rng_() % 10);
    if (what == 0)
      ASSERT_EQ(table4delete(t_), 0);
    else if (what == 1)
      recall();
    else
      assignRandom(phase, false, drain);
    regions_[region].erase(record);
    regions_[t_->record[1]].insert(record);
    const auto after = keysNow();
    for (auto& [name, key] : after) {
      if (key == before.at(name)) continue;
      model_[name].remove(before.at(name), record);
      model_[name].add(key, record);
    }
    ASSERT_EQ(table4flushRecord(t_, true), 0);
  }

  // Every tag against the model, then the files against the checker.
  Verdict verify() {
    for (Tag* tag : tagsOf(t_))
      EXPECT_EQ(walkTag(tag), model_[tag->name].inTagOrder()) << "tag " << tag->name;
    reopen();
    Verdict v = check("SMALL.DBF", "SMALL.CDX");
    EXPECT_TRUE(v.ok) << v.text;
    const Verdict g = check("SMALL.DBF", "SMALLG.CDX");
    EXPECT_TRUE(g.ok) << g.text;
    return v;
  }

  std::map<std::string, int32_t> roots() {
    std::map<std::string, int32_t> r;
    const auto bytes = slurp("SMALL.CDX");
    for (Tag* tag : tagsOf(t_)) {
      if (tag->indexFile != t_->indexes->file) continue;
      int32_t root = 0;
      std::memcpy(&root, bytes.data() + tag->headerOffset, 4);
      r[tag->name] = root;
    }
    return r;
  }

  Table* t_ = nullptr;
  ColumnValue column_[6];
  std::map<std::string, ModelTag> model_;
  std::map<char, std::set<int32_t>> regions_;  // records by the first letter of NAME
  std::mt19937 rng_{GetParam().seed};
};

TEST_P(Maintenance, RandomChangesKeepEveryTagInStepWithTheModel) {
  const Plan plan = GetParam();
  const auto rootsBefore = roots();
  bool reused = false;
  int deepest = 0;
  std::set<int64_t> freedBefore;
  for (int batch = 0; batch < plan.batches; ++batch) {
    for (int op = 0; op < plan.opsPerBatch; ++op) {
      if (static_cast<int>(rng_() % 100) < plan.appendPercent)
        append(batch);
      else
        rewrite(batch);
      if (HasFatalFailure()) return;
    }
    const Verdict v = verify();
    if (HasFailure()) return;
    deepest = std::max(deepest, v.deepest);
    for (int64_t node : freedBefore) reused |= v.freeList.count(node) == 0;
    freedBefore = v.freeList;
  }
  // Splits reached every level: three levels mean a root that split above
  // interior nodes that split.
  EXPECT_GE(deepest, 3);
  if (plan.appendPercent < 60) {
    EXPECT_TRUE(reused) << "no freed node was used again";
  }
  if (plan.shareMode == 0) {
    EXPECT_EQ(roots(), rootsBefore);  // roots keep their offsets for other readers
  } else {
    EXPECT_NE(roots(), rootsBefore);
    // Leaves of NAMEQTY and GNAME had 14 record bits: records beyond 16383
    // were added to them only after they widened.
    EXPECT_GT(table4recCount(t_), 16384);
  }
}

INSTANTIATE_TEST_SUITE_P(Plans, Maintenance,
                         ::testing::Values(Plan{"Shared", 0, 8, 500, 40, 17},
                                           Plan{"ExclusiveToWideLeaves", 1, 6, 3100, 95, 29}),
                         [](const ::testing::TestParamInfo<Plan>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
