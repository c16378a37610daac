// dbftool on a 1,000,000-record MessageBag-shaped table (eight N(11,0) and
// four C(64) columns, 345-byte records; see messagebag.h):
//
//  BM_DumpCsv, BM_DumpJson  dbftool dump to /dev/null, in records per second
//                           (target: 500,000), by the wall clock and by the
//                           process's CPU time. Beside it the engine's own
//                           share of the CPU time: the same Query walk
//                           without any output.
//  BM_Check                 the data part of dbftool check against one
//                           sequential read of the .DBF (1 MiB reads), in
//                           the same run: ratio = check time / read time.
//  BM_CheckMemo             the same with a memo column: every record has a
//                           100-byte memo (block size 64), and the baseline
//                           reads the .DBF and the .FPT once each.
//  BM_CheckIndexed          the whole of dbftool check (data, memos, the
//                           index's structure and every record's key) on the
//                           memo table with a production index of two tags,
//                           MSGID1 and RECPUSER (one recipient in ten
//                           thousand, in no order), against one sequential
//                           read of the .DBF, .FPT and .CDX (target: 3x).
//  BM_DumpTag               dbftool dump --tag USER of that table to
//                           /dev/null, in records per second, beside the
//                           dump in record order of the same table.
//
// The tables are written in bulk once per run (records straight into the
// file after the engine made the header). Files go to $TMPDIR (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "bench/messagebag.h"
#include "dbf/expr/query.h"
#include "dbf/index/build.h"
#include "tools/dbftool/check.h"
#include "tools/dbftool/dump.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kTableRecords = 1000000;
constexpr uint32_t kMemoBlock = 64;
constexpr uint32_t kMemoLength = 100;

// The tables' directory, made on first use and removed at exit.
class WorkDir {
 public:
  WorkDir() {
    const char* tmp = std::getenv("TMPDIR");
    path_ =
        fs::path(tmp != nullptr ? tmp : "/tmp") / ("wh_bench_dbftool_" + std::to_string(getpid()));
  }
  ~WorkDir() { fs::remove_all(path_); }
  const fs::path& path() {
    fs::create_directories(path_);
    return path_;
  }

 private:
  fs::path path_;
} workDir;

void put32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

void putBig32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (24 - 8 * i));
}

void fillRecord(char* record, uint32_t length, int64_t n, bool variedRecipients) {
  std::memset(record, ' ', length);
  char text[24];
  for (int column = 0; column < 8; column++) {
    std::snprintf(text, sizeof text, "%11lld", static_cast<long long>(n * 8 + column));
    std::memcpy(record + 1 + 11 * column, text, 11);
  }
  static const char* const kTexts[] = {"postmaster", "mail.example.com", "someone, \"quoted\"",
                                       "example.org"};
  for (int column = 0; column < 4; column++)
    std::memcpy(record + 89 + 64 * column, kTexts[column], std::strlen(kTexts[column]));
  if (variedRecipients) {
    std::memset(record + 89 + 64 * 2, ' ', 64);
    std::snprintf(text, sizeof text, "user%05lld", static_cast<long long>((n * 7919) % 10007));
    std::memcpy(record + 89 + 64 * 2, text, std::strlen(text));
  }
  if (n % 10 == 0) record[0] = '*';
}

// A MessageBag table of kTableRecords records, with a NOTE memo of 100 bytes
// per record when |withMemo|, and RECPUSER of one of 10,007 users when
// |variedRecipients|. Returns the table's name (without .DBF).
std::string makeTable(const char* leaf, bool withMemo, bool variedRecipients = false) {
  std::vector<ColumnDescription> columns(std::begin(bench::kMessageBag),
                                         std::end(bench::kMessageBag) - 1);
  if (withMemo) columns.push_back({"NOTE", 'M', 0, 0, 0});
  columns.push_back({nullptr, 0, 0, 0, 0});
  const std::string name = (workDir.path() / leaf).string();
  EngineContext ctx{};
  bench::initContext(&ctx, 0);
  ctx.memoBlockSize = kMemoBlock;
  Table* t = table4create(&ctx, name.c_str(), columns.data(), nullptr);
  if (t == nullptr) std::abort();
  const uint32_t headerLength = t->dataFile->headerLength;
  const uint32_t length = t->dataFile->recordLength;
  table4close(t);
  engine4free(&ctx);

  const uint32_t blocksPerMemo = (kMemoLength + 8 + kMemoBlock - 1) / kMemoBlock;
  const uint32_t firstBlock = 512 / kMemoBlock;
  const int data = ::open((name + ".DBF").c_str(), O_RDWR);
  const int memo = withMemo ? ::open((name + ".FPT").c_str(), O_RDWR) : -1;
  std::vector<char> chunk(size_t{length} * 1024);
  std::vector<char> memoChunk(size_t{blocksPerMemo} * kMemoBlock * 1024);
  off_t pos = headerLength, memoPos = off_t{firstBlock} * kMemoBlock;
  for (int64_t n = 1; n <= kTableRecords;) {
    size_t used = 0, memoUsed = 0;
    for (; used < chunk.size() && n <= kTableRecords; used += length, ++n) {
      fillRecord(chunk.data() + used, length, n, variedRecipients);
      if (!withMemo) continue;
      const auto block = static_cast<uint32_t>(firstBlock + (n - 1) * blocksPerMemo);
      put32(chunk.data() + used + 345, block);
      char* run = memoChunk.data() + memoUsed;
      std::memset(run, 'm', size_t{blocksPerMemo} * kMemoBlock);
      putBig32(run, 1);
      putBig32(run + 4, kMemoLength);
      memoUsed += size_t{blocksPerMemo} * kMemoBlock;
    }
    if (::pwrite(data, chunk.data(), used, pos) != static_cast<ssize_t>(used)) std::abort();
    pos += static_cast<off_t>(used);
    if (withMemo) {
      if (::pwrite(memo, memoChunk.data(), memoUsed, memoPos) != static_cast<ssize_t>(memoUsed))
        std::abort();
      memoPos += static_cast<off_t>(memoUsed);
    }
  }
  char count[4];
  put32(count, static_cast<uint32_t>(kTableRecords));
  if (::pwrite(data, count, 4, 4) != 4) std::abort();
  ::close(data);
  if (withMemo) {
    char next[4];
    putBig32(next, static_cast<uint32_t>(firstBlock + kTableRecords * blocksPerMemo));
    if (::pwrite(memo, next, 4, 0) != 4) std::abort();
    ::close(memo);
  }
  return name;
}

const std::string& plainTable() {
  static const std::string name = makeTable("MESSAGEBAG", false);
  return name;
}

const std::string& memoTable() {
  static const std::string name = makeTable("MEMOBAG", true);
  return name;
}

// The memo table with a production index of two tags, built by the engine.
const std::string& indexedTable() {
  static const std::string name = [] {
    const std::string table = makeTable("INDEXBAG", true, true);
    const TagDescription tags[] = {{"ID1", "MSGID1", nullptr, 0, 0},
                                   {"USER", "RECPUSER", nullptr, 0, 0},
                                   {nullptr, nullptr, nullptr, 0, 0}};
    EngineContext ctx{};
    bench::initContext(&ctx, 1);
    Table* t = table4open(&ctx, table.c_str());
    if (t == nullptr || index4create(t, nullptr, tags) == nullptr) std::abort();
    table4close(t);
    engine4free(&ctx);
    return table;
  }();
  return name;
}

// One sequential read of |file| in 1 MiB pieces; the seconds it took.
double readFile(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  std::vector<char> buffer(1 << 20);
  const auto start = std::chrono::steady_clock::now();
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  const double took = bench::secondsSince(start);
  ::close(fd);
  return took;
}

// The engine's share of a dump: the Query walk alone, with the deletion test.
double engineWalk(const std::string& name, int64_t* live) {
  EngineContext ctx{};
  bench::initContext(&ctx, 0);
  ctx.openReadOnly = 1;
  Table* t = table4open(&ctx, name.c_str());
  Query* q = query4init(t);
  query4setExpression(q, nullptr);
  const auto start = std::chrono::steady_clock::now();
  for (int rc = query4top(q); rc == 0; rc = query4skip(q, 1)) *live += table4deleted(t) == 0;
  const double took = bench::secondsSince(start);
  query4free(q, 0);
  table4close(t);
  engine4free(&ctx);
  return took;
}

// Process CPU seconds, which the other work on a shared machine disturbs less
// than the wall clock.
double cpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

void runDumpOf(benchmark::State& state, const std::string& name, dbftool::OutputFormat format,
               const std::string& tag) {
  FILE* devNull = std::fopen("/dev/null", "wb");
  dbftool::Console console;
  console.out = devNull;
  dbftool::DumpRequest request;
  request.table = name;
  request.format = format;
  request.tag = tag;
  double dumpTotal = 0, dumpCpu = 0, walkTotal = 0, walkCpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    double cpu = cpuSeconds();
    if (dbftool::dumpTable(request, console) != 0) state.SkipWithError("dump failed");
    const double took = bench::secondsSince(start);
    dumpCpu += cpuSeconds() - cpu;
    int64_t live = 0;
    cpu = cpuSeconds();
    walkTotal += engineWalk(name, &live);
    walkCpu += cpuSeconds() - cpu;
    dumpTotal += took;
    state.SetIterationTime(took);
  }
  std::fclose(devNull);
  const double records = kTableRecords * static_cast<double>(state.iterations());
  state.counters["records_per_s"] = records / dumpTotal;
  state.counters["records_per_cpu_s"] = records / dumpCpu;
  state.counters["engine_walk_records_per_s"] = records / walkTotal;
  state.counters["engine_share_cpu"] = walkCpu / dumpCpu;
}

void runDump(benchmark::State& state, dbftool::OutputFormat format) {
  runDumpOf(state, plainTable(), format, "");
}

void runCheck(benchmark::State& state, const std::string& name, bool withMemo,
              bool withIndex = false) {
  FILE* devNull = std::fopen("/dev/null", "wb");
  dbftool::Console console;
  console.out = devNull;
  double checkTotal = 0, readTotal = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (dbftool::checkTable(name, 100, console) != 0) state.SkipWithError("check failed");
    const double took = bench::secondsSince(start);
    double read = readFile(name + ".DBF");
    if (withMemo) read += readFile(name + ".FPT");
    if (withIndex) read += readFile(name + ".CDX");
    checkTotal += took;
    readTotal += read;
    state.SetIterationTime(took);
  }
  std::fclose(devNull);
  const double runs = static_cast<double>(state.iterations());
  state.counters["records_per_s"] = kTableRecords * runs / checkTotal;
  state.counters["ratio"] = checkTotal / readTotal;
}

void BM_DumpCsv(benchmark::State& state) { runDump(state, dbftool::OutputFormat::kCsv); }
void BM_DumpJson(benchmark::State& state) { runDump(state, dbftool::OutputFormat::kJson); }
void BM_Check(benchmark::State& state) { runCheck(state, plainTable(), false); }
void BM_CheckMemo(benchmark::State& state) { runCheck(state, memoTable(), true); }
void BM_CheckIndexed(benchmark::State& state) { runCheck(state, indexedTable(), true, true); }
void BM_DumpTag(benchmark::State& state) {
  runDumpOf(state, indexedTable(), dbftool::OutputFormat::kCsv, "USER");
}
void BM_DumpRecordOrder(benchmark::State& state) {
  runDumpOf(state, indexedTable(), dbftool::OutputFormat::kCsv, "");
}

BENCHMARK(BM_DumpCsv)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DumpJson)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Check)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CheckMemo)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CheckIndexed)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DumpTag)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DumpRecordOrder)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
