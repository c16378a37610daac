// The external sort against std::sort of the same items: in memory, spooled to
// several runs, with extra bytes, and with the spool file failing.
#include "dbf/index/sorter.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "tests/file/fault_os.h"
#include "tests/file/test_util.h"

namespace {

struct Item {
  std::string key;
  int32_t record;
  std::string extra;
  bool operator<(const Item& o) const { return std::tie(key, record) < std::tie(o.key, o.record); }
  bool operator==(const Item& o) const = default;
};

// Keys from a small alphabet so that long runs of equal keys occur, record
// numbers distinct and shuffled, extra bytes derived from the record number.
std::vector<Item> randomItems(int count, int keyLength, int extraLength, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<int32_t> records(count);
  for (int i = 0; i < count; i++) records[i] = i + 1;
  std::shuffle(records.begin(), records.end(), rng);
  std::vector<Item> items;
  for (int32_t rec : records) {
    Item it{std::string(keyLength, '\0'), rec, std::string(extraLength, '\0')};
    for (auto& c : it.key) c = static_cast<char>("\x00\x01\x7f\x80\xff"[rng() % 5]);
    for (int i = 0; i < extraLength; i++) it.extra[i] = static_cast<char>(rec >> (i % 4 * 8));
    items.push_back(it);
  }
  return items;
}

class SortTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TEMP", dir_.path().c_str(), 1); }
  void TearDown() override { unsetenv("TEMP"); }
  bool spoolLeftBehind() const { return !std::filesystem::is_empty(dir_.path()); }

  whtest::ScratchDir dir_;
  whtest::Context ctx_;
};

// Sorts |items| through a KeySorter; the items come back in the output.
int sortAll(KeySorter* s, EngineContext* ctx, const std::vector<Item>& items, int keyLength,
            int extraLength, std::vector<Item>* out) {
  int rc = sorter4init(s, ctx, keyLength, extraLength);
  for (size_t i = 0; rc == 0 && i < items.size(); i++) {
    rc = sorter4put(s, items[i].record, items[i].key.data(), items[i].extra.data());
  }
  if (rc == 0) rc = sorter4getInit(s);
  while (rc == 0) {
    int32_t rec;
    const char* key;
    const char* extra;
    rc = sorter4get(s, &rec, &key, &extra);
    if (rc == 0)
      out->push_back({std::string(key, keyLength), rec, std::string(extra, extraLength)});
  }
  return rc;
}

TEST_F(SortTest, MatchesStdSortInMemoryAndAcrossSpooledRuns) {
  // (items, key length, extra length, chunk size): the small chunks force
  // many runs, and a 1-byte key makes almost every key a duplicate.
  const std::tuple<int, int, int, int> cases[] = {
      {0, 8, 0, 61440},    {1, 8, 0, 61440},    {5000, 10, 0, 61440}, {20000, 8, 0, 61440},
      {20000, 1, 0, 1024}, {7777, 24, 6, 2048}, {3000, 3, 0, 512},
  };
  for (auto [count, keyLength, extraLength, chunk] : cases) {
    SCOPED_TRACE(testing::Message() << count << " items, key " << keyLength << ", chunk " << chunk);
    ctx_.sortChunkSize = chunk;
    auto items = randomItems(count, keyLength, extraLength, static_cast<unsigned>(count + chunk));
    KeySorter s;
    std::vector<Item> sorted;
    ASSERT_EQ(sortAll(&s, &ctx_, items, keyLength, extraLength, &sorted), 1);
    std::sort(items.begin(), items.end());
    EXPECT_TRUE(sorted == items);
    EXPECT_FALSE(spoolLeftBehind());
    EXPECT_EQ(ctx_.errorCode, 0);
  }
}

TEST_F(SortTest, SpoolFailuresAreReportedAndLeaveNoFile) {
  ctx_.sortChunkSize = 1024;
  auto items = randomItems(4000, 8, 0, 7);
  for (int which = 0; which < 2; which++) {
    SCOPED_TRACE(which == 0 ? "spool write fails" : "spool read fails");
    engine4errorSet(&ctx_, 0);
    whtest::FaultOs fault;
    if (which == 0) fault.failWriteAt = 3;
    if (which == 1) fault.failReadAt = 5;
    KeySorter s;
    std::vector<Item> sorted;
    int rc = sortAll(&s, &ctx_, items, 8, 0, &sorted);
    EXPECT_LT(rc, 0);
    EXPECT_LT(ctx_.errorCode, 0);
    EXPECT_LT(sorted.size(), items.size());
    sorter4free(&s);
    EXPECT_FALSE(spoolLeftBehind());
  }
}

}  // namespace
