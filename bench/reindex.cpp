// Rebuilding the index of a 1,000,000-record MessageBag table (345-byte
// records) with one numeric tag (MSGID1, 8-byte keys) and one character tag
// (RECPUSER, 64-byte keys, 5,000 users): table4reindex, which reads the data
// file once per tag, sorts the keys through the external sort (spooling runs
// to a temporary file) and writes the trees bottom-up.
//
// Baseline, timed in the same run: the same keys, already in memory, sorted
// with std::sort, and a file as long as the index written sequentially in
// 64 KB pieces. Reported: seconds of both, "ratio" = reindex / baseline
// (target: at most 2), the growth of the resident set during the reindex
// ("peak_memory_bytes", target: near the sort's chunk settings whatever the
// record count) and the largest spool file ("spool_bytes").
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/messagebag.h"
#include "dbf/core/os.h"
#include "dbf/expr/evaluator.h"
#include "dbf/index/build.h"

namespace {

constexpr int32_t kCount = 1000000;
constexpr int kUsers = 5000;

int32_t id1Of(int32_t r) { return 899789692 + static_cast<int32_t>((int64_t{r} * 7919) % 1000003); }
std::string userOf(int32_t r) {
  std::string user = "user" + std::to_string((int64_t{r} * 31) % kUsers);
  user.resize(64, ' ');
  return user;
}

// REINDEX.DBF with kCount records written raw, and its production index.
bool writeTable() {
  const TagDescription tags[] = {{"ID1", "MSGID1", nullptr, 0, 0},
                                 {"USER", "RECPUSER", nullptr, 0, 0},
                                 {nullptr, nullptr, nullptr, 0, 0}};
  return bench::writeRaw(
      "REINDEX", kCount,
      [](int32_t r, char* record) {
        bench::putNumber(record, 1, id1Of(r));
        bench::putNumber(record, 2, r);
        std::memcpy(record + 1 + 8 * 11 + 2 * 64, userOf(r).data(), 64);
      },
      tags);
}

// --- what the reindex takes: resident memory and the spool file ---

int64_t statusField(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::stoll(line.substr(std::strlen(field))) * 1024;
  return -1;
}

// Starts the high-water mark of the resident set afresh.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Writes into temporary files ("TEMPnnnn.TMP") are measured: their largest end.
struct SpoolWatch {
  static inline OsInterface table;
  static inline std::map<int64_t, bool> temporary;
  static inline int64_t largest = 0;
  static OsStatus create(const char* name, OsShare share, OsCreate how, int64_t* handle) {
    const OsStatus s = os4platform()->create(name, share, how, handle);
    const char* base = std::strrchr(name, '/');
    if (s == kOsOk) temporary[*handle] = std::strncmp(base ? base + 1 : name, "TEMP", 4) == 0;
    return s;
  }
  static int64_t writeAt(int64_t h, int64_t pos, const void* buf, uint32_t len) {
    if (temporary[h]) largest = std::max(largest, pos + len);
    return os4platform()->writeAt(h, pos, buf, len);
  }
  SpoolWatch() {
    table = *os4platform();
    table.create = create;
    table.writeAt = writeAt;
    largest = 0;
    os4set(&table);
  }
  ~SpoolWatch() { os4set(nullptr); }
};

// --- the baseline ---

// A key of |N| bytes with its record number, in the order of a tag.
template <size_t N>
struct Keyed {
  std::array<char, N> key;
  int32_t record;
  bool operator<(const Keyed& o) const {
    const int c = std::memcmp(key.data(), o.key.data(), N);
    return c != 0 ? c < 0 : record < o.record;
  }
};

double baseline(int64_t indexBytes) {
  std::vector<Keyed<8>> numbers(kCount);
  std::vector<Keyed<64>> texts(kCount);
  for (int32_t r = 1; r <= kCount; ++r) {
    key4encodeDouble(numbers[r - 1].key.data(), id1Of(r));
    numbers[r - 1].record = r;
    std::memcpy(texts[r - 1].key.data(), userOf(r).data(), 64);
    texts[r - 1].record = r;
  }
  std::vector<char> chunk(65536, 'x');
  const auto start = std::chrono::steady_clock::now();
  std::sort(numbers.begin(), numbers.end());
  std::sort(texts.begin(), texts.end());
  const int fd = ::open("BASELINE.CDX", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  for (int64_t at = 0; fd >= 0 && at < indexBytes; at += static_cast<int64_t>(chunk.size()))
    if (write(fd, chunk.data(), chunk.size()) < 0) break;
  if (fd >= 0) ::close(fd);
  return bench::secondsSince(start);
}

void BM_ReindexMillionRecords(benchmark::State& state) {
  bench::ScratchDir dir;
  setenv("TEMP", ".", 1);
  if (!writeTable()) {
    state.SkipWithError("writing the table failed");
    return;
  }
  EngineContext ctx{};
  bench::initContext(&ctx, 1);
  Table* t = table4open(&ctx, "REINDEX");
  if (t == nullptr) {
    state.SkipWithError("opening the table failed");
    return;
  }
  double engine = 0, base = 0;
  int64_t peak = 0, spool = 0;
  for (auto _ : state) {
    SpoolWatch watch;
    resetPeak();
    const int64_t before = statusField("VmRSS:");
    const auto start = std::chrono::steady_clock::now();
    const int rc = table4reindex(t);
    const double seconds = bench::secondsSince(start);
    peak = std::max(peak, statusField("VmHWM:") - before);
    spool = std::max(spool, SpoolWatch::largest);
    if (rc != 0) {
      state.SkipWithError("reindex failed");
      break;
    }
    engine += seconds;
    base += baseline(file4length(&t->indexes->file->file));
    state.SetIterationTime(seconds);
  }
  table4close(t);
  engine4free(&ctx);
  const double runs = static_cast<double>(state.iterations());
  state.counters["seconds"] = engine / runs;
  state.counters["baseline_seconds"] = base / runs;
  state.counters["ratio"] = engine / base;
  state.counters["peak_memory_bytes"] = static_cast<double>(peak);
  state.counters["spool_bytes"] = static_cast<double>(spool);
}

BENCHMARK(BM_ReindexMillionRecords)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
