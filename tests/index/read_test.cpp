// Reading index files another program wrote, checked against the independent
// checker's listing of every tag: walks in both directions, seeks of exact,
// partial, in-between and out-of-range keys, exact pairs, random skips, the
// keys the engine builds for every record, and navigation of the Table in
// tag order. Each sample is read once as written and once with every tag
// marked descending (the trees stay as they are; only the order flips).
#include <algorithm>
#include <random>

#include "dbf/expr/expression.h"
#include "tests/index/support.h"

using namespace cdxtest;

namespace {

struct Case {
  const char* sample;
  bool descending;
};

// Where a seek should leave the tag: an index into the tag order (or -1 for
// end of file) and the result.
struct Expected {
  int index;
  int result;
};

// Ascending: the first key whose leading bytes are not below the search key.
Expected seekAscending(const std::vector<Entry>& keys, const std::string& s) {
  auto it = std::partition_point(keys.begin(), keys.end(),
                                 [&](const Entry& e) { return e.key.compare(0, s.size(), s) < 0; });
  if (it == keys.end()) return {-1, 2};
  return {static_cast<int>(it - keys.begin()), it->key.compare(0, s.size(), s) == 0 ? 0 : 2};
}

// Descending (|keys| in tag order): the first key whose leading bytes are not
// above the search key; a key of 0xFF bytes that nothing begins with is end
// of file.
Expected seekDescending(const std::vector<Entry>& keys, const std::string& s) {
  const bool allHigh = std::all_of(s.begin(), s.end(), [](char c) { return c == '\xFF'; });
  auto it = std::partition_point(keys.begin(), keys.end(),
                                 [&](const Entry& e) { return e.key.compare(0, s.size(), s) > 0; });
  if (it == keys.end()) return {-1, 3};
  const int c = it->key.compare(0, s.size(), s);
  if (allHigh && c != 0) return {-1, 3};
  return {static_cast<int>(it - keys.begin()), c == 0 ? 0 : 2};
}

// Search keys around |key|: itself, a prefix, just above and just below.
std::vector<std::string> probesAround(const std::string& key) {
  std::vector<std::string> probes{key, key.substr(0, std::max<size_t>(1, key.size() / 2))};
  std::string above = key, below = key;
  if (static_cast<uint8_t>(above.back()) < 0xFF) {
    ++above.back();
    probes.push_back(above);
  }
  if (below.back() != 0) {
    --below.back();
    probes.push_back(below);
  }
  return probes;
}

class ReadSamples : public IndexTest, public ::testing::WithParamInterface<Case> {
 protected:
  // Opens the copied sample; with a descending case, first marks every tag
  // header descending.
  Table* openSample() {
    const fs::path cdx = copySample(GetParam().sample);
    if (GetParam().descending) {
      Table* t = open(GetParam().sample);
      if (t == nullptr) return nullptr;
      std::vector<int32_t> headers;
      for (Tag* tag : tagsOf(t)) headers.push_back(tag->headerOffset);
      table4close(t);
      auto bytes = slurp(cdx);
      for (int32_t at : headers) bytes[static_cast<size_t>(at) + 502] = 1;
      spit(cdx, bytes);
    }
    cdx_ = cdx;
    return open(GetParam().sample);
  }
  std::vector<Entry> physical(Tag* tag) {
    return oracleDump(cdx_, tag->indexFile->directory != nullptr ? tag->name : "(single)");
  }
  fs::path cdx_;
};

void expectAt(Tag* tag, const std::vector<Entry>& order, int index, const std::string& what) {
  if (index < 0) {
    EXPECT_EQ(order4eof(tag), 1) << what;
    EXPECT_EQ(order4recNo(tag), order.empty() ? 0 : -1) << what;
    return;
  }
  ASSERT_EQ(order4eof(tag), 0) << what;
  EXPECT_EQ(order4recNo(tag), order[static_cast<size_t>(index)].record) << what;
  EXPECT_EQ(keyOf(tag), order[static_cast<size_t>(index)].key) << what;
}

void checkWalks(Tag* tag, const std::vector<Entry>& order) {
  std::vector<Entry> forward, backward;
  ASSERT_EQ(order4top(tag), 0);
  if (!order.empty()) {
    do forward.push_back({keyOf(tag), order4recNo(tag)});
    while (order4skip(tag, 1) == 1);
  }
  ASSERT_EQ(order4bottom(tag), 0);
  if (!order.empty()) {
    do backward.push_back({keyOf(tag), order4recNo(tag)});
    while (order4skip(tag, -1) == -1);
  }
  std::reverse(backward.begin(), backward.end());
  ASSERT_EQ(forward.size(), order.size()) << tag->name;
  ASSERT_EQ(backward.size(), order.size()) << tag->name;
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(forward[i].record, order[i].record) << tag->name << " " << i;
    EXPECT_EQ(forward[i].key, order[i].key) << tag->name << " " << i;
    EXPECT_EQ(backward[i].record, order[i].record) << tag->name << " " << i;
  }
  // From the end a step back reaches the last key; forward stays at the end.
  ASSERT_EQ(order4goEof(tag), 0);
  EXPECT_EQ(order4eof(tag), 1);
  EXPECT_EQ(order4skip(tag, 1), 0);
  EXPECT_EQ(order4skip(tag, -1), order.empty() ? 0 : -1);
  if (!order.empty()) expectAt(tag, order, static_cast<int>(order.size()) - 1, "eof-1");
}

void checkSeeks(Tag* tag, const std::vector<Entry>& order, bool descending) {
  const int klen = tag->header.keyLength;
  std::vector<std::string> probes{std::string(), std::string(klen, '\xFF'), std::string(klen, '\0'),
                                  std::string(1, '\xFF'), std::string(3, ' ')};
  for (const Entry& e : order)
    for (std::string& p : probesAround(e.key)) probes.push_back(std::move(p));
  std::sort(probes.begin(), probes.end());
  probes.erase(std::unique(probes.begin(), probes.end()), probes.end());
  for (const std::string& s : probes) {
    const Expected want = descending ? seekDescending(order, s) : seekAscending(order, s);
    const int rc = order4seek(tag, s.data(), static_cast<int>(s.size()));
    ASSERT_EQ(rc, want.result) << tag->name << " seek of " << s.size() << " bytes";
    expectAt(tag, order, want.index, "seek");
  }
}

void checkPairsAndSkips(Tag* tag, const std::vector<Entry>& physical,
                        const std::vector<Entry>& order) {
  std::mt19937 random(7);
  const size_t step = std::max<size_t>(1, physical.size() / 400);
  for (size_t i = 0; i < physical.size(); i += step) {
    const Entry& e = physical[i];
    ASSERT_EQ(order4go(tag, e.key.data(), e.record), 0) << tag->name << " " << i;
    EXPECT_EQ(order4recNo(tag), e.record);
    // The pair after it: the next record of the same key, or the next key.
    const int rc = order4go(tag, e.key.data(), e.record + 1);
    const bool same = i + 1 < physical.size() && physical[i + 1].key == e.key &&
                      physical[i + 1].record == e.record + 1;
    EXPECT_EQ(rc, same ? 0 : 1);
    if (i + 1 < physical.size()) {
      EXPECT_EQ(order4recNo(tag), physical[i + 1].record);
    }
  }
  if (order.empty()) return;
  std::uniform_int_distribution<int> at(0, static_cast<int>(order.size()) - 1);
  std::uniform_int_distribution<int> by(-60, 60);
  for (int round = 0; round < 200; ++round) {
    const int from = at(random);
    const int n = by(random);
    const Entry& e = order[static_cast<size_t>(from)];
    ASSERT_EQ(order4go(tag, e.key.data(), e.record), 0);
    const int to = std::clamp(from + n, 0, static_cast<int>(order.size()) - 1);
    EXPECT_EQ(order4skip(tag, n), to - from) << tag->name << " from " << from << " by " << n;
    expectAt(tag, order, to, "skip");
  }
}

// Every record's key as the engine builds it equals the stored one.
void checkRecordKeys(Table* t, Tag* tag, const std::vector<Entry>& physical) {
  for (const Entry& e : physical) {
    ASSERT_EQ(table4go(t, e.record), 0);
    ASSERT_EQ(expression4bind(tag->keyExpression, t), 0);
    const char* key = nullptr;
    const int n = expression4key(tag->keyExpression, tag, &key);
    ASSERT_EQ(n, tag->header.keyLength);
    EXPECT_EQ(std::string(key, static_cast<size_t>(n)), e.key) << tag->name << " " << e.record;
  }
}

// The Table walked in tag order gives the tag's records; a skip from a record
// reached by number continues from its key.
void checkTableOrder(Table* t, Tag* tag, const std::vector<Entry>& order) {
  ASSERT_EQ(table4selectTag(t, tag), 0);
  std::vector<int32_t> records;
  int rc;
  for (rc = table4top(t); rc == 0; rc = table4skip(t, 1)) records.push_back(table4recNo(t));
  EXPECT_EQ(rc, 3);
  EXPECT_EQ(table4eof(t), 1);
  ASSERT_EQ(records.size(), order.size()) << tag->name;
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(records[i], order[i].record);
  if (!order.empty()) {
    EXPECT_EQ(table4skip(t, -1), 0);
    EXPECT_EQ(table4recNo(t), order.back().record);
    const size_t middle = order.size() / 2;
    ASSERT_EQ(table4go(t, order[middle].record), 0);
    EXPECT_EQ(table4skip(t, 1), middle + 1 < order.size() ? 0 : 3);
    if (middle + 1 < order.size()) {
      EXPECT_EQ(table4recNo(t), order[middle + 1].record);
    }
    ASSERT_EQ(table4top(t), 0);
    EXPECT_EQ(table4skip(t, -1), 4);
    EXPECT_EQ(table4bof(t), 1);
    EXPECT_EQ(table4recNo(t), order.front().record);
  }
  ASSERT_EQ(table4selectTag(t, nullptr), 0);
}

TEST_P(ReadSamples, EveryTagReadsAsTheCheckerListsIt) {
  Table* t = openSample();
  ASSERT_NE(t, nullptr) << ctx_.errorCode;
  const std::vector<Tag*> tags = tagsOf(t);
  ASSERT_FALSE(tags.empty());
  for (Tag* tag : tags) {
    SCOPED_TRACE(tag->name);
    const std::vector<Entry> phys = physical(tag);
    std::vector<Entry> order = phys;
    if (GetParam().descending) std::reverse(order.begin(), order.end());
    checkWalks(tag, order);
    const bool general = tag->collation.kind == kCollationGeneral;
    if (!(general && GetParam().descending)) checkSeeks(tag, order, GetParam().descending);
    checkPairsAndSkips(tag, phys, order);
    checkRecordKeys(t, tag, phys);
    checkTableOrder(t, tag, order);
    EXPECT_EQ(ctx_.errorCode, 0);
  }
  EXPECT_EQ(table4close(t), 0);
}

INSTANTIATE_TEST_SUITE_P(Samples, ReadSamples,
                         ::testing::Values(Case{"small", false}, Case{"mid", false},
                                           Case{"multi", false}, Case{"single", false},
                                           Case{"general", false}, Case{"small", true},
                                           Case{"mid", true}, Case{"multi", true},
                                           Case{"single", true}, Case{"general", true}),
                         [](const ::testing::TestParamInfo<Case>& c) {
                           return std::string(c.param.sample) +
                                  (c.param.descending ? "Descending" : "");
                         });

}  // namespace
