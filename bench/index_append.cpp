// Appending 100,000 records to a MessageBag-shaped table whose production
// index has no, one or three tags (MSGID1; MSGID1, MSGID2, MSGID3), shared
// and exclusive. The index is created with the empty table, so every key goes
// in one by one through the key maintenance of the engine.
//
// Reported per run: records per second; "ratio": time with tags / time of the
// same appends without tags, measured in the same run; "us_per_key": the time
// the tags add, per key. Shared runs also measure a floor with raw system
// calls: per record what bench_append's shared baseline does (append and
// record lock, record and header write, both unlocked) plus what the index
// needs at the least: its lock byte taken and released, the 16-byte
// directory header read and written, one 512-byte node written per tag;
// "floor_ratio" = engine time / floor time (target: 2). Exclusive runs keep
// changed nodes cached until the table closes (target: ratio 1.5 with one
// tag).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/messagebag.h"
#include "dbf/index/build.h"
#include "dbf/index/node.h"

namespace {

using bench::kRecords;

// A MessageBag table NAME with a production index of the first |tags| of
// MSGID1, MSGID2, MSGID3 (none: no index); false on failure.
bool createTagged(const char* name, int tags) {
  if (tags == 0) return bench::createEmpty(name);
  std::filesystem::remove(std::string(name) + ".DBF");
  std::filesystem::remove(std::string(name) + ".CDX");
  TagDescription list[4] = {{"MSGID1", "MSGID1", nullptr, 0, 0},
                            {"MSGID2", "MSGID2", nullptr, 0, 0},
                            {"MSGID3", "MSGID3", nullptr, 0, 0},
                            {nullptr, nullptr, nullptr, 0, 0}};
  list[tags] = TagDescription{nullptr, nullptr, nullptr, 0, 0};
  EngineContext ctx{};
  bench::initContext(&ctx, 0);
  Table* t = table4create(&ctx, name, bench::kMessageBag, list);
  const bool ok = t != nullptr && table4close(t) == 0;
  engine4free(&ctx);
  return ok;
}

// What a shared append with |tags| tags must do at the least, in raw calls.
double floorAppend(const char* dbfName, const char* cdxName, int tags) {
  bench::RawAppender raw(dbfName);
  const int index = ::open(cdxName, O_RDWR | O_CREAT, 0644);
  if (!raw.ok() || index < 0) return -1;
  uint8_t node[dbf::kIndexUnit] = {};
  uint8_t head[16] = {};
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t n = 1; n <= static_cast<uint32_t>(kRecords); ++n) {
    if (!raw.lock(n) || !bench::rawLock(index, 0x7FFFFFFE, 1, true)) return -1;
    if (pread(index, head, 16, 0) < 0 || pwrite(index, head, 16, 0) != 16) return -1;
    for (int i = 0; i < tags; ++i)
      if (pwrite(index, node, sizeof node, dbf::kIndexUnit * (4 + i)) != dbf::kIndexUnit) return -1;
    bench::rawLock(index, 0x7FFFFFFE, 1, false);
    if (!raw.write(n, true)) return -1;
  }
  const double seconds = bench::secondsSince(start);
  ::close(index);
  return seconds;
}

void runAppend(benchmark::State& state, uint8_t shareMode) {
  const int tags = static_cast<int>(state.range(0));
  bench::ScratchDir dir;
  double withTags = 0, without = 0, floor = 0;
  for (auto _ : state) {
    if (!bench::createEmpty("PLAIN") || !createTagged("TAGGED", tags) ||
        !bench::createEmpty("FLOOR")) {
      state.SkipWithError("create failed");
      return;
    }
    const double plain = bench::engineAppend("PLAIN", shareMode);
    const double tagged = bench::engineAppend("TAGGED", shareMode);
    const double raw = shareMode == 0 ? floorAppend("FLOOR.DBF", "FLOOR.CDX", tags) : 1;
    if (plain < 0 || tagged < 0 || raw < 0) {
      state.SkipWithError("append failed");
      return;
    }
    without += plain;
    withTags += tagged;
    floor += raw;
    state.SetIterationTime(tagged);
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["records_per_s"] = kRecords * runs / withTags;
  state.counters["ratio"] = withTags / without;
  if (tags > 0)
    state.counters["us_per_key"] = 1e6 * (withTags - without) / (runs * kRecords * tags);
  if (shareMode == 0) state.counters["floor_ratio"] = withTags / floor;
}

void BM_IndexAppendShared(benchmark::State& state) { runAppend(state, 0); }
void BM_IndexAppendExclusive(benchmark::State& state) { runAppend(state, 1); }

// Both share modes run the same tag counts, timed the same way.
void tagCounts(benchmark::internal::Benchmark* b) {
  b->ArgName("tags")
      ->Arg(0)
      ->Arg(1)
      ->Arg(3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond)
      ->Iterations(2);
}

BENCHMARK(BM_IndexAppendShared)->Apply(tagCounts);
BENCHMARK(BM_IndexAppendExclusive)->Apply(tagCounts);

}  // namespace

BENCHMARK_MAIN();
