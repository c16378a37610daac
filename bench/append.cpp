// Appending to a MessageBag-shaped table, 100,000 records per run, against the
// raw system calls the same append cannot avoid, timed in the same run:
//   shared:    lock the append byte and the record byte, pwrite the record,
//              pwrite header bytes 0-9, unlock both (per record);
//   exclusive: one pwrite per record.
// Reported: records per second of the engine and of the baseline, and the
// ratio engine time / baseline time (targets: 1.3 for both).
#include <benchmark/benchmark.h>

#include "bench/messagebag.h"

namespace {

using bench::kRecords;

// The baseline: a prepared record written as the engine would write it.
double rawAppend(const char* file, bool shared) {
  bench::RawAppender raw(file);
  if (!raw.ok()) return -1;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t n = 1; n <= static_cast<uint32_t>(kRecords); ++n)
    if ((shared && !raw.lock(n)) || !raw.write(n, shared)) return -1;
  return bench::secondsSince(start);
}

void runAppend(benchmark::State& state, uint8_t shareMode) {
  bench::ScratchDir dir;
  double engineTotal = 0, rawTotal = 0;
  for (auto _ : state) {
    if (!bench::createEmpty("RAW") || !bench::createEmpty("ENGINE")) {
      state.SkipWithError("create failed");
      return;
    }
    const double raw = rawAppend("RAW.DBF", shareMode == 0);
    const double engine = bench::engineAppend("ENGINE", shareMode);
    if (raw < 0 || engine < 0) {
      state.SkipWithError("append failed");
      return;
    }
    rawTotal += raw;
    engineTotal += engine;
    state.SetIterationTime(engine);
  }
  bench::reportAgainstBaseline(state, kRecords, engineTotal, rawTotal);
}

void BM_AppendShared(benchmark::State& state) { runAppend(state, 0); }
void BM_AppendExclusive(benchmark::State& state) { runAppend(state, 1); }

BENCHMARK(BM_AppendShared)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_AppendExclusive)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
