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

using Pair = std::pair<std::string, int32_t>;

// The key |t|'s record buffer has in |tag|, or none when the FOR expression
// leaves it out.
std::optional<std::string> keyIn(Tag* tag, Table* t) {
  if (tag->forExpression != nullptr) {
    EXPECT_EQ(expression4bind(tag->forExpression, t), 0);
    if (expression4true(tag->forExpression) != 1) return std::nullopt;
  }
  const char* key = nullptr;
  const int n = order4buildKey(tag, t, &key);
  EXPECT_EQ(n, tag->header.keyLength);
  return std::string(key, static_cast<size_t>(n < 0 ? 0 : n));
}

// The pairs of a tag in tag order, as the engine walks them.
std::vector<Pair> walkTag(Tag* tag) {
  std::vector<Pair> pairs;
  EXPECT_GE(order4top(tag), 0);
  while (order4eof(tag) == 0) {
    const char* data = order4keyData(tag);
    int32_t record = 0;
    std::memcpy(&record, data, 4);
    pairs.emplace_back(std::string(data + 4, tag->header.keyLength), record);
    if (order4skip(tag, 1) != 1) break;
  }
  return pairs;
}

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

// What the checker said about one index file.
struct Verdict {
  bool ok = false;
  int deepest = 0;             // levels of the deepest tag
  std::set<int64_t> freeList;  // node offsets on the free list
  std::string text;
};

Verdict check(const std::string& table, const std::string& cdx) {
  const std::string command = "/usr/bin/python3 " WH_SOURCE_DIR
                              "/tests/oracles/cdxcheck.py --max-lines 100000 --dbf " +
                              table + " " + cdx + " 2>&1";
  Verdict v;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return v;
  char line[4096];
  static const std::regex levels(R"((\d+) levels)");
  static const std::regex freeNodes(R"(free list: \d+ node\(s\): (.*))");
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    v.text += line;
    std::cmatch m;
    if (std::regex_search(line, m, levels)) v.deepest = std::max(v.deepest, std::stoi(m[1].str()));
    if (std::regex_search(line, m, freeNodes)) {
      std::stringstream list(m[1].str());
      for (std::string item; std::getline(list, item, ',');)
        if (item.rfind("0x", 0) == 0) v.freeList.insert(std::stoll(item, nullptr, 16));
    }
    if (std::strncmp(line, "OK:", 3) == 0) v.ok = true;
  }
  pclose(pipe);
  if (v.text.find("leaked") != std::string::npos) v.ok = false;
  return v;
}

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
    // descending (its tree stays ascending) and ID unique.
    auto bytes = slurp("SMALL.CDX");
    ASSERT_EQ(bytes[0x1000 + 502], 0);
    bytes[0x1000 + 502] = 1;
    ASSERT_EQ(bytes[0xC00 + 14], 0x60);
    bytes[0xC00 + 14] = 0x61;
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
