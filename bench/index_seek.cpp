// Seeks in a tag of 1,000,000 keys, and walks in tag order against walks in
// record order. The table (one C(10) column NAME, the names a permutation of
// the record numbers, many sharing prefixes and trailing blanks) is written
// raw by this benchmark; its production index is built by the engine
// (index4create).
//
// Seek baseline, timed in the same run: per key one pread per tree level with
// a binary search of each interior node, and the leaf decoded entry by entry
// up to the key; the file is in the page cache. Reported: seeks per second of
// the engine (order4seek on the tag of the opened table) and of the baseline,
// and "ratio" = engine time / baseline time. Target: within 2x.
//
// Walk: table4top + table4skip over all records with the tag selected, against
// the same walk in record order ("ratio" = tag order time / record order
// time); both read every record.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/messagebag.h"
#include "dbf/index/build.h"
#include "dbf/index/node.h"

namespace {

constexpr int32_t kKeys = 1000000;
constexpr int kKeyLength = 10;
constexpr int kSeeks = 200000;
constexpr int32_t kTagHeader = 1024;  // the one tag's header follows the directory's
const ColumnDescription kColumns[] = {{"NAME", 'C', kKeyLength, 0, 0}, {nullptr, 0, 0, 0, 0}};

// Record r's name: "N" and the decimal digits of a permutation of 1..kKeys,
// blank-padded (1 to 7 digits, so keys share prefixes and trailing blanks).
std::string nameOf(int32_t r) {
  const uint32_t p = static_cast<uint32_t>((static_cast<uint64_t>(r) * 7919u) % kKeys) + 1;
  std::string name = "N" + std::to_string(p);
  name.resize(kKeyLength, ' ');
  return name;
}

struct Keyed {
  std::string key;
  uint32_t record;
};

// SEEK.DBF with kKeys records and SEEK.CDX with tag NAME; the sorted keys.
bool writeTable(std::vector<Keyed>* sorted) {
  std::filesystem::remove("SEEK.DBF");
  std::filesystem::remove("SEEK.CDX");
  EngineContext ctx{};
  bench::initContext(&ctx, 1);
  Table* t = table4create(&ctx, "SEEK", kColumns, nullptr);
  if (t == nullptr) return false;
  const uint32_t headerLength = t->dataFile->headerLength;
  table4close(t);
  engine4free(&ctx);

  std::vector<uint8_t> records(static_cast<size_t>(kKeys) * (kKeyLength + 1));
  sorted->clear();
  for (int32_t r = 1; r <= kKeys; ++r) {
    const std::string name = nameOf(r);
    uint8_t* at = records.data() + static_cast<size_t>(r - 1) * (kKeyLength + 1);
    at[0] = ' ';
    std::memcpy(at + 1, name.data(), kKeyLength);
    sorted->push_back({name, static_cast<uint32_t>(r)});
  }
  std::sort(sorted->begin(), sorted->end(),
            [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
  int fd = ::open("SEEK.DBF", O_RDWR);
  if (fd < 0) return false;
  uint8_t count[4];
  cdx4put32(count, kKeys);
  bool ok = pwrite(fd, records.data(), records.size(), headerLength) ==
                static_cast<ssize_t>(records.size()) &&
            pwrite(fd, count, 4, 4) == 4;
  ::close(fd);

  bench::initContext(&ctx, 1);
  t = ok ? table4open(&ctx, "SEEK") : nullptr;
  const TagDescription tags[] = {{"NAME", "NAME", nullptr, 0, 0},
                                 {nullptr, nullptr, nullptr, 0, 0}};
  ok = t != nullptr && index4create(t, nullptr, tags) != nullptr;
  if (t != nullptr) table4close(t);
  engine4free(&ctx);
  return ok;
}

// The baseline seek: pread per level, binary search inside interior nodes,
// sequential decoding of the leaf up to the first key not below |key|.
uint32_t rawSeek(int fd, int32_t root, const char* key) {
  uint8_t n[dbf::kIndexUnit];
  int32_t offset = root;
  for (;;) {
    if (pread(fd, n, sizeof n, offset) != static_cast<ssize_t>(sizeof n)) return 0;
    const int count = n[2] | (n[3] << 8);
    if ((n[0] | (n[1] << 8)) < 2) {
      int lo = -1, hi = count - 1;
      while (lo < hi - 1) {
        const int mid = lo + (hi - lo) / 2;
        if (std::memcmp(n + 12 + mid * (kKeyLength + 8), key, kKeyLength) >= 0)
          hi = mid;
        else
          lo = mid;
      }
      const uint8_t* child = n + 12 + hi * (kKeyLength + 8) + kKeyLength + 4;
      offset = (child[0] << 24) | (child[1] << 16) | (child[2] << 8) | child[3];
      continue;
    }
    const int recordBits = n[20], dupBits = n[21], bytes = n[23];
    char current[kKeyLength];
    int position = dbf::kIndexUnit;
    for (int i = 0; i < count; ++i) {
      uint64_t v = 0;
      for (int b = bytes - 1; b >= 0; --b) v = (v << 8) | n[24 + i * bytes + b];
      const uint32_t record = static_cast<uint32_t>(v & ((1ull << recordBits) - 1));
      const int dup = static_cast<int>((v >> recordBits) & ((1u << dupBits) - 1));
      const int trail = static_cast<int>((v >> (recordBits + dupBits)) & ((1u << n[22]) - 1));
      const int stored = kKeyLength - dup - trail;
      position -= stored;
      std::memcpy(current + dup, n + position, static_cast<size_t>(stored));
      std::memset(current + kKeyLength - trail, ' ', static_cast<size_t>(trail));
      if (std::memcmp(current, key, kKeyLength) >= 0) return record;
    }
    return 0;
  }
}

std::vector<std::string> seekKeys(const std::vector<Keyed>& sorted) {
  std::mt19937 random(11);
  std::vector<std::string> keys;
  for (int i = 0; i < kSeeks; ++i) keys.push_back(sorted[random() % sorted.size()].key);
  return keys;
}

void BM_SeekInMillionKeyTag(benchmark::State& state) {
  bench::ScratchDir dir;
  std::vector<Keyed> sorted;
  if (!writeTable(&sorted)) {
    state.SkipWithError("writing the table failed");
    return;
  }
  const std::vector<std::string> keys = seekKeys(sorted);
  EngineContext ctx{};
  bench::initContext(&ctx, 0);
  Table* t = table4open(&ctx, "SEEK");
  Tag* tag = t != nullptr ? table4tagByName(t, "NAME") : nullptr;
  int fd = ::open("SEEK.CDX", O_RDONLY);
  if (tag == nullptr || fd < 0) {
    state.SkipWithError("opening the table failed");
    return;
  }
  uint8_t rootBytes[4] = {};
  if (pread(fd, rootBytes, 4, kTagHeader) != 4) state.SkipWithError("reading the header failed");
  const int32_t root = static_cast<int32_t>(cdx4get32(rootBytes));
  double engineTotal = 0, rawTotal = 0;
  for (auto _ : state) {
    int64_t rawSum = 0, engineSum = 0;
    auto start = std::chrono::steady_clock::now();
    for (const std::string& k : keys) rawSum += rawSeek(fd, root, k.data());
    const double raw = bench::secondsSince(start);
    start = std::chrono::steady_clock::now();
    for (const std::string& k : keys) {
      if (order4seek(tag, k.data(), kKeyLength) == 0) engineSum += order4recNo(tag);
    }
    const double engine = bench::secondsSince(start);
    if (rawSum != engineSum) {
      state.SkipWithError("engine and baseline found different records");
      break;
    }
    rawTotal += raw;
    engineTotal += engine;
    state.SetIterationTime(engine);
  }
  ::close(fd);
  table4close(t);
  engine4free(&ctx);
  const double runs = static_cast<double>(state.iterations());
  state.counters["seeks_per_s"] = kSeeks * runs / engineTotal;
  state.counters["baseline_seeks_per_s"] = kSeeks * runs / rawTotal;
  state.counters["ratio"] = engineTotal / rawTotal;
}

// Seconds for a walk over every record, in the order of |tagName| or (null)
// in record order; -1 on failure.
double walk(const char* tagName) {
  EngineContext ctx{};
  bench::initContext(&ctx, 0);
  Table* t = table4open(&ctx, "SEEK");
  if (t == nullptr) return -1;
  if (tagName != nullptr) table4selectTag(t, table4tagByName(t, tagName));
  int32_t n = 0;
  const auto start = std::chrono::steady_clock::now();
  int rc;
  for (rc = table4top(t); rc == 0; rc = table4skip(t, 1)) ++n;
  const double seconds = bench::secondsSince(start);
  table4close(t);
  engine4free(&ctx);
  return rc == 3 && n == kKeys ? seconds : -1;
}

void BM_WalkInTagOrder(benchmark::State& state) {
  bench::ScratchDir dir;
  std::vector<Keyed> sorted;
  if (!writeTable(&sorted)) {
    state.SkipWithError("writing the table failed");
    return;
  }
  double tagTotal = 0, recordTotal = 0;
  for (auto _ : state) {
    const double byRecord = walk(nullptr);
    const double byTag = walk("NAME");
    if (byRecord < 0 || byTag < 0) {
      state.SkipWithError("walk failed");
      break;
    }
    recordTotal += byRecord;
    tagTotal += byTag;
    state.SetIterationTime(byTag);
  }
  bench::reportAgainstBaseline(state, kKeys, tagTotal, recordTotal);
}

BENCHMARK(BM_SeekInMillionKeyTag)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WalkInTagOrder)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
