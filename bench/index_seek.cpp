// Seeks in a tag of 1,000,000 keys, and walks in tag order against walks in
// record order. The table (one C(10) column NAME, the names a permutation of
// the record numbers, many sharing prefixes and trailing blanks) and its
// production index are written by this benchmark itself: the records raw, the
// .CDX bottom-up as a builder lays it out (full leaves, then interior levels).
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

#include "bench/cdx_files.h"
#include "bench/messagebag.h"
#include "dbf/index/node.h"

namespace {

constexpr int32_t kKeys = 1000000;
constexpr int kKeyLength = 10;
constexpr int kSeeks = 200000;
constexpr int32_t kDirectoryHeader = 0;
constexpr int32_t kTagHeader = 1024;
constexpr int32_t kDirectoryRoot = 2048;
constexpr int32_t kFirstNode = 2560;

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

// Nodes of one tree, level by level while it is built; offsets are given as
// nodes are closed, leaves first.
class TreeWriter {
 public:
  explicit TreeWriter(std::vector<uint8_t>* file) : file_(file) {}

  // Writes the tree of |keys| (sorted); returns the root offset.
  int32_t write(const std::vector<Keyed>& keys) {
    layout_ = leaf4widths(kKeyLength, kKeys, LeafRule::kBuilder);
    std::vector<Keyed> level;  // (last key, record) of each node, with its offset
    std::vector<int32_t> offsets;
    writeLeaves(keys, &level, &offsets);
    while (level.size() > 1) writeInteriorLevel(&level, &offsets);
    uint8_t* root = node(offsets[0]);
    cdx4put16(root, node4attributes(root) == dbf::kNodeLeaf ? dbf::kNodeRootLeaf
                                                            : dbf::kNodeRootInterior);
    return offsets[0];
  }

 private:
  uint8_t* node(int32_t offset) { return file_->data() + offset; }
  int32_t newNode(uint16_t attributes, int32_t left) {
    const int32_t offset = static_cast<int32_t>(file_->size());
    file_->resize(file_->size() + dbf::kIndexUnit);
    uint8_t* n = node(offset);
    cdx4put16(n, attributes);
    cdx4put32(n + 4, static_cast<uint32_t>(left));
    cdx4put32(n + 8, 0xFFFFFFFFu);
    if (left != -1) cdx4put32(node(left) + 8, static_cast<uint32_t>(offset));
    return offset;
  }

  void writeLeaves(const std::vector<Keyed>& keys, std::vector<Keyed>* level,
                   std::vector<int32_t>* offsets) {
    int32_t leaf = -1;
    int count = 0, free = 0, position = 0;
    const std::string* previous = nullptr;
    int previousTrail = 0;
    for (const Keyed& k : keys) {
      int trail = 0;
      while (trail < kKeyLength && k.key[kKeyLength - 1 - trail] == ' ') ++trail;
      int dup = 0;
      if (previous != nullptr)
        while (dup < kKeyLength - previousTrail && dup < kKeyLength - trail &&
               (*previous)[dup] == k.key[dup])
          ++dup;
      if (leaf == -1 || free < layout_.entryBytes + kKeyLength - dup - trail) {
        if (leaf != -1) cdx4put16(node(leaf) + 12, static_cast<uint32_t>(free));
        leaf = newNode(dbf::kNodeLeaf, leaf);
        leaf4formatEmpty(node(leaf), layout_);
        offsets->push_back(leaf);
        level->push_back(k);
        count = 0;
        free = dbf::kLeafEmptyFree;
        position = dbf::kIndexUnit;
        dup = 0;
      }
      const int stored = kKeyLength - dup - trail;
      position -= stored;
      std::memcpy(node(leaf) + position, k.key.data() + dup, static_cast<size_t>(stored));
      leaf4putEntry(node(leaf), layout_, count, k.record, dup, trail);
      cdx4put16(node(leaf) + 2, static_cast<uint32_t>(++count));
      free -= layout_.entryBytes + stored;
      level->back() = k;
      previous = &k.key;
      previousTrail = trail;
    }
    cdx4put16(node(leaf) + 12, static_cast<uint32_t>(free));
  }

  void writeInteriorLevel(std::vector<Keyed>* level, std::vector<int32_t>* offsets) {
    const int capacity = interior4capacity(kKeyLength);
    std::vector<Keyed> above;
    std::vector<int32_t> aboveOffsets;
    int32_t current = -1;
    int count = 0;
    for (size_t i = 0; i < level->size(); ++i) {
      if (current == -1 || count == capacity) {
        current = newNode(dbf::kNodeInterior, current);
        aboveOffsets.push_back(current);
        above.push_back((*level)[i]);
        count = 0;
      }
      const Keyed& k = (*level)[i];
      interior4put(node(current), kKeyLength, count, reinterpret_cast<const uint8_t*>(k.key.data()),
                   k.record, (*offsets)[i]);
      cdx4put16(node(current) + 2, static_cast<uint32_t>(++count));
      above.back() = k;
    }
    *level = std::move(above);
    *offsets = std::move(aboveOffsets);
  }

  std::vector<uint8_t>* file_;
  LeafLayout layout_{};
};

void putHeader(std::vector<uint8_t>& file, int32_t at, int32_t root, uint8_t options,
               const char* expression) {
  bench::putTagHeader(file.data() + at, root, kKeyLength, options, expression);
}

// The directory: one root leaf holding the tag name with its header offset.
void putDirectory(std::vector<uint8_t>& file) {
  uint8_t* leaf = file.data() + kDirectoryRoot;
  cdx4put16(leaf, dbf::kNodeRootLeaf);
  cdx4put16(leaf + 2, 1);
  cdx4put32(leaf + 4, 0xFFFFFFFFu);
  cdx4put32(leaf + 8, 0xFFFFFFFFu);
  LeafLayout layout = leaf4widths(kKeyLength, 1024, LeafRule::kBuilder);
  leaf4formatEmpty(leaf, layout);
  const char name[] = "NAME";
  std::memcpy(leaf + dbf::kIndexUnit - 4, name, 4);
  leaf4putEntry(leaf, layout, 0, kTagHeader, 0, kKeyLength - 4);
  cdx4put16(leaf + 12, static_cast<uint32_t>(dbf::kLeafEmptyFree - layout.entryBytes - 4));
  putHeader(file, kDirectoryHeader, kDirectoryRoot, 0xE0, "");
}

// SEEK.DBF with kKeys records and SEEK.CDX with tag NAME; the sorted keys.
bool writeTable(std::vector<Keyed>* sorted) {
  std::filesystem::remove("SEEK.DBF");
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
  const uint8_t flags = 0x01;  // a production index
  bool ok = pwrite(fd, records.data(), records.size(), headerLength) ==
                static_cast<ssize_t>(records.size()) &&
            pwrite(fd, count, 4, 4) == 4 && pwrite(fd, &flags, 1, 28) == 1;
  ::close(fd);

  std::vector<uint8_t> cdx(kFirstNode, 0);
  const int32_t root = TreeWriter(&cdx).write(*sorted);
  putHeader(cdx, kTagHeader, root, 0x60, "NAME");
  putDirectory(cdx);
  FILE* out = std::fopen("SEEK.CDX", "wb");
  ok = ok && out != nullptr && std::fwrite(cdx.data(), 1, cdx.size(), out) == cdx.size();
  if (out != nullptr) std::fclose(out);
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
