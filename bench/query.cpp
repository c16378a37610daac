// Query speed over a MessageBag-shaped table of 100,000 records (345-byte
// records, no index): the condition "MSGID1=%ld .AND. MSGID2=%ld .AND.
// MSGID3=%ld" filled with the ids of the last record, so that every record is
// read and tested. The raw baseline, measured in the same run, is a plain loop
// that preads each record and compares the three numeric fields as numbers.
//
// Reported: records tested per second for both, and "ratio" = query time /
// baseline time (best of the iterations). Target: within 2x.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/expr/query.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRecords = 100000;
constexpr int kRecordLength = 345;

const ColumnDescription kColumns[] = {
    {"MSGID1", 'N', 11, 0, 0},     {"MSGID2", 'N', 11, 0, 0},   {"MSGID3", 'N', 11, 0, 0},
    {"REFCOUNTER", 'N', 11, 0, 0}, {"SYSFLAG", 'N', 11, 0, 0},  {"RECVTIME", 'N', 11, 0, 0},
    {"FILESIZE", 'N', 11, 0, 0},   {"HDRFIELD", 'N', 11, 0, 0}, {"FROMNAME", 'C', 64, 0, 0},
    {"FROMHOST", 'C', 64, 0, 0},   {"RECPUSER", 'C', 64, 0, 0}, {"RECPHOST", 'C', 64, 0, 0},
    {nullptr, 0, 0, 0, 0}};

int32_t id1Of(int i) { return 1000000 + i; }
int32_t id2Of(int i) { return 7 * i + 3; }
int32_t id3Of(int i) { return i % 977; }

// The table is made once per run in a directory of its own.
struct MessageBag {
  fs::path dir;
  std::string path;
  uint32_t headerLength = 0;
  EngineContext ctx{};

  MessageBag() {
    dir = fs::temp_directory_path() / ("wh_bench_query_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::current_path(dir);
    engine4init(&ctx, nullptr, kEngineVersion);
    ctx.compatibility = 30;
    Table* t = table4create(&ctx, "MESSAGEBAG", kColumns, nullptr);
    if (t == nullptr || t->dataFile->recordLength != kRecordLength) std::abort();
    // Appending under the append lock once, instead of once per record.
    table4lockAppend(t);
    for (int i = 1; i <= kRecords; ++i) {
      table4appendStart(t, false);
      table4blank(t);
      const int32_t numbers[] = {id1Of(i), id2Of(i), id3Of(i), 1, 0, 123456789, 4096 + i, 0};
      for (int c = 0; c < 8; ++c) {
        ColumnValue v(table4column(t, c + 1));
        column4assignLong(&v, numbers[c], -1, false);
      }
      for (int c = 9; c <= 12; ++c) {
        ColumnValue v(table4column(t, c));
        column4assign(&v, "someone@example.org");
      }
      if (table4append(t) != 0) std::abort();
    }
    headerLength = t->dataFile->headerLength;
    path = t->dataFile->fullName;
    table4close(t);
    if (ctx.errorCode != 0) std::abort();
  }
  ~MessageBag() {
    engine4free(&ctx);
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(dir);
  }
};

MessageBag& bag() {
  static MessageBag instance;
  return instance;
}

long fieldAsNumber(const char* p, int width) {
  long v = 0;
  bool negative = false;
  int i = 0;
  while (i < width && p[i] == ' ') ++i;
  if (i < width && p[i] == '-') negative = true, ++i;
  for (; i < width && p[i] >= '0' && p[i] <= '9'; ++i) v = v * 10 + (p[i] - '0');
  return negative ? -v : v;
}

// The baseline: one pread per record, three numeric fields compared as numbers.
int rawScan(int fd, uint32_t headerLength, long id1, long id2, long id3) {
  char record[kRecordLength];
  int found = 0;
  for (int i = 0; i < kRecords; ++i) {
    const off_t at = static_cast<off_t>(headerLength) + static_cast<off_t>(i) * kRecordLength;
    if (pread(fd, record, kRecordLength, at) != kRecordLength) std::abort();
    if (fieldAsNumber(record + 1, 11) == id1 && fieldAsNumber(record + 12, 11) == id2 &&
        fieldAsNumber(record + 23, 11) == id3)
      found = i + 1;
  }
  return found;
}

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double bestBaseline() {
  MessageBag& b = bag();
  const int fd = open(b.path.c_str(), O_RDONLY);
  if (fd < 0) std::abort();
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const int found =
        rawScan(fd, b.headerLength, id1Of(kRecords), id2Of(kRecords), id3Of(kRecords));
    best = std::min(best, seconds(std::chrono::steady_clock::now() - start));
    if (found != kRecords) std::abort();
  }
  close(fd);
  return best;
}

void BM_RawBaseline(benchmark::State& state) {
  MessageBag& b = bag();
  const int fd = open(b.path.c_str(), O_RDONLY);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        rawScan(fd, b.headerLength, id1Of(kRecords), id2Of(kRecords), id3Of(kRecords)));
  close(fd);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

// One findMessage as the migration does it: a second handle, a Query with the
// three ids, query4top, query4free.
void BM_QueryThreeIds(benchmark::State& state) {
  MessageBag& b = bag();
  EngineContext& ctx = b.ctx;
  Table* t = table4open(&ctx, "MESSAGEBAG");
  if (t == nullptr) std::abort();
  char condition[80];
  std::snprintf(condition, sizeof condition, "MSGID1=%ld .AND. MSGID2=%ld .AND. MSGID3=%ld",
                static_cast<long>(id1Of(kRecords)), static_cast<long>(id2Of(kRecords)),
                static_cast<long>(id3Of(kRecords)));
  const double baseline = bestBaseline();
  double best = 1e9;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    Query* q = query4init(t);
    query4setExpression(q, condition);
    const int r = query4top(q);
    if (r != 0 || table4recNo(t) != kRecords)
      state.SkipWithError("query did not find the last record");
    query4free(q, 0);
    best = std::min(best, seconds(std::chrono::steady_clock::now() - start));
  }
  table4close(t);
  state.SetItemsProcessed(state.iterations() * kRecords);
  state.counters["baseline_records_per_s"] = kRecords / baseline;
  state.counters["query_records_per_s"] = kRecords / best;
  state.counters["ratio"] = best / baseline;
}

BENCHMARK(BM_RawBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueryThreeIds)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
