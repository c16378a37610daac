// The migration's message lookup, "MSGID1=%ld .AND. MSGID2=%ld .AND.
// MSGID3=%ld", on MessageBag tables with tags on the three ids, against the
// same query as a scan of every record (the table opened without its index).
//
// Ids: MSGID1 is shared by runs of 100 records (a receive second), MSGID2 by
// runs of 1,000, MSGID3 is unique. A narrowed lookup walks those three key
// ranges (1,101 keys) and reads the one record left, whatever the table's
// size.
//
// Reported: BM_ThreeIdsThroughTags/N — microseconds per lookup of random
// records in a table of N records (target: about the same at 100,000 and at
// 1,000,000: the cost follows the candidates, not the records);
// BM_ThreeIdsScanAgainstTags — the lookup of the last record of 1,000,000 as
// a scan and through the tags, and "ratio" = scan / tags (target: >= 100).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "bench/messagebag.h"
#include "dbf/expr/query.h"

namespace {

int64_t id1Of(int32_t r) { return 899789692 + (r - 1) / 100; }
int64_t id2Of(int32_t r) { return (r - 1) / 1000; }
int64_t id3Of(int32_t r) { return r; }

// Tables of each size, written once per run in a directory of their own.
class Tables {
 public:
  ~Tables() {
    if (dir_ != nullptr) delete dir_;
  }
  // The name of a table of |count| records with its three tags, or "".
  std::string of(int32_t count) {
    if (dir_ == nullptr) dir_ = new bench::ScratchDir;
    const std::string name = "BAG" + std::to_string(count);
    if (made_.count(count) != 0) return made_[count] ? name : "";
    const TagDescription tags[] = {{"ID1", "MSGID1", nullptr, 0, 0},
                                   {"ID2", "MSGID2", nullptr, 0, 0},
                                   {"ID3", "MSGID3", nullptr, 0, 0},
                                   {nullptr, nullptr, nullptr, 0, 0}};
    made_[count] = bench::writeRaw(
        name.c_str(), count,
        [](int32_t r, char* record) {
          bench::putNumber(record, 1, id1Of(r));
          bench::putNumber(record, 2, id2Of(r));
          bench::putNumber(record, 3, id3Of(r));
        },
        tags);
    return made_[count] ? name : "";
  }

 private:
  bench::ScratchDir* dir_ = nullptr;
  std::map<int32_t, bool> made_;
};

Tables& tables() {
  static Tables instance;
  return instance;
}

// One lookup as the migration makes it: a Query with the ids of |record|,
// query4top, query4free. Seconds, or -1 when it did not find the record.
double lookup(Table* t, int32_t record) {
  char condition[96];
  std::snprintf(condition, sizeof condition, "MSGID1=%lld .AND. MSGID2=%lld .AND. MSGID3=%lld",
                static_cast<long long>(id1Of(record)), static_cast<long long>(id2Of(record)),
                static_cast<long long>(id3Of(record)));
  const auto start = std::chrono::steady_clock::now();
  Query* q = query4init(t);
  query4setExpression(q, condition);
  const int rc = query4top(q);
  const bool found = rc == 0 && table4recNo(t) == record;
  query4free(q, 0);
  const double seconds = bench::secondsSince(start);
  return found ? seconds : -1;
}

// A handle on the table, with its tags or (|withIndex| false) without.
Table* openTable(EngineContext* ctx, const std::string& name, bool withIndex) {
  ctx->openProductionIndex = withIndex ? 1 : 0;
  Table* t = table4open(ctx, name.c_str());
  ctx->openProductionIndex = 1;
  return t;
}

EngineContext* newContext() {
  auto* ctx = new EngineContext{};
  bench::initContext(ctx, 1);
  ctx->singleOpen = 0;  // a second handle on the same file, without the index
  return ctx;
}

void BM_ThreeIdsThroughTags(benchmark::State& state) {
  const int32_t count = static_cast<int32_t>(state.range(0));
  const std::string name = tables().of(count);
  EngineContext* ctx = newContext();
  Table* t = name.empty() ? nullptr : openTable(ctx, name, true);
  if (t == nullptr) {
    engine4free(ctx);
    delete ctx;
    state.SkipWithError("making the table failed");
    return;
  }
  std::mt19937 random(3);
  double total = 0;
  int64_t lookups = 0;
  for (auto _ : state) {
    const double seconds = lookup(t, 1 + static_cast<int32_t>(random() % count));
    if (seconds < 0) {
      state.SkipWithError("the lookup missed its record");
      break;
    }
    total += seconds;
    ++lookups;
    state.SetIterationTime(seconds);
  }
  table4close(t);
  engine4free(ctx);
  delete ctx;
  state.counters["us_per_query"] = 1e6 * total / static_cast<double>(lookups);
}

void BM_ThreeIdsScanAgainstTags(benchmark::State& state) {
  const int32_t count = 1000000;
  const std::string name = tables().of(count);
  EngineContext* ctx = newContext();
  Table* tagged = name.empty() ? nullptr : openTable(ctx, name, true);
  Table* plain = name.empty() ? nullptr : openTable(ctx, name, false);
  if (tagged == nullptr || plain == nullptr) {
    if (tagged != nullptr) table4close(tagged);
    engine4free(ctx);
    delete ctx;
    state.SkipWithError("opening the table failed");
    return;
  }
  double scan = 1e9, narrowed = 1e9;
  for (auto _ : state) {
    const double s = lookup(plain, count);
    double n = 1e9;
    for (int i = 0; i < 20; ++i) n = std::min(n, lookup(tagged, count));
    if (s < 0 || n < 0) {
      state.SkipWithError("a lookup missed its record");
      break;
    }
    scan = std::min(scan, s);
    narrowed = std::min(narrowed, n);
    state.SetIterationTime(s);
  }
  table4close(tagged);
  table4close(plain);
  engine4free(ctx);
  delete ctx;
  state.counters["scan_ms"] = 1e3 * scan;
  state.counters["tags_us"] = 1e6 * narrowed;
  state.counters["ratio"] = scan / narrowed;
}

BENCHMARK(BM_ThreeIdsThroughTags)
    ->Arg(100000)
    ->Arg(1000000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(300);
BENCHMARK(BM_ThreeIdsScanAgainstTags)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
