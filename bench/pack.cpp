// Pack and memo compression benchmarks on a MessageBag-shaped table (eight
// N(11,0) and four C(64) columns, 345-byte records).
//
//  BM_Pack/N          table4pack of N records, every second one deleted,
//                     against a sequential buffered copy of the same bytes
//                     (32 KiB reads and writes, one fsync, as pack does),
//                     measured in the same run: ratio = pack time / copy time.
//  BM_MemoCompress/N  table4memoCompress of N records with one memo each
//                     (100 bytes, block size 64); every memo was rewritten
//                     once, so half of the old file is abandoned runs.
//
// Both report records per second; the sizes 10k, 100k and 1M show whether
// the time grows linearly. Files go to $TMPDIR (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/memo.h"
#include "dbf/core/table.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kCopyBuffer = 32768;

fs::path workDir() {
  const char* tmp = std::getenv("TMPDIR");
  fs::path dir =
      fs::path(tmp != nullptr ? tmp : "/tmp") / ("wh_bench_pack_" + std::to_string(getpid()));
  fs::create_directories(dir);
  return dir;
}

const ColumnDescription* messageBagColumns(bool withMemo) {
  static const ColumnDescription plain[] = {
      {"MSGID1", 'N', 11, 0, 0},     {"MSGID2", 'N', 11, 0, 0},   {"MSGID3", 'N', 11, 0, 0},
      {"REFCOUNTER", 'N', 11, 0, 0}, {"SYSFLAG", 'N', 11, 0, 0},  {"RECVTIME", 'N', 11, 0, 0},
      {"FILESIZE", 'N', 11, 0, 0},   {"HDRFIELD", 'N', 11, 0, 0}, {"FROMNAME", 'C', 64, 0, 0},
      {"FROMHOST", 'C', 64, 0, 0},   {"RECPUSER", 'C', 64, 0, 0}, {"RECPHOST", 'C', 64, 0, 0},
      {nullptr, 0, 0, 0, 0}};
  static const ColumnDescription memo[] = {
      {"MSGID1", 'N', 11, 0, 0},     {"MSGID2", 'N', 11, 0, 0},   {"MSGID3", 'N', 11, 0, 0},
      {"REFCOUNTER", 'N', 11, 0, 0}, {"SYSFLAG", 'N', 11, 0, 0},  {"RECVTIME", 'N', 11, 0, 0},
      {"FILESIZE", 'N', 11, 0, 0},   {"HDRFIELD", 'N', 11, 0, 0}, {"FROMNAME", 'C', 64, 0, 0},
      {"FROMHOST", 'C', 64, 0, 0},   {"RECPUSER", 'C', 64, 0, 0}, {"RECPHOST", 'C', 64, 0, 0},
      {"NOTE", 'M', 0, 0, 0},        {nullptr, 0, 0, 0, 0}};
  return withMemo ? memo : plain;
}

void fillRecord(char* record, uint32_t length, int64_t n, bool deleted) {
  std::memset(record, ' ', length);
  record[0] = deleted ? '*' : ' ';
  char number[16];
  for (int column = 0; column < 8; column++) {
    std::snprintf(number, sizeof number, "%11lld", static_cast<long long>(n * 8 + column));
    std::memcpy(record + 1 + 11 * column, number, 11);
  }
  const int text = std::snprintf(number, sizeof number, "user%lld", static_cast<long long>(n));
  for (int column = 0; column < 4; column++)
    std::memcpy(record + 89 + 64 * column, number, static_cast<size_t>(text));
}

// Writes a table of |records| records with the engine's header, the records
// themselves written in bulk. Memo references are left 0 here.
std::string makeTable(const fs::path& dir, const char* leaf, int64_t records, bool withMemo) {
  EngineContext ctx{};
  engine4init(&ctx, nullptr, kEngineVersion);
  ctx.compatibility = 30;
  ctx.refuseOverwrite = 0;
  ctx.memoBlockSize = 64;
  const std::string name = (dir / leaf).string();
  Table* t = table4create(&ctx, name.c_str(), messageBagColumns(withMemo), nullptr);
  if (t == nullptr) std::abort();
  const uint32_t headerLength = t->dataFile->headerLength;
  const uint32_t length = t->dataFile->recordLength;
  table4close(t);
  engine4free(&ctx);

  const std::string file = name + ".DBF";
  const int fd = ::open(file.c_str(), O_RDWR);
  std::vector<char> chunk(static_cast<size_t>(length) * 1024);
  int64_t n = 1;
  off_t pos = headerLength;
  while (n <= records) {
    size_t used = 0;
    for (; used < chunk.size() && n <= records; used += length, n++) {
      fillRecord(chunk.data() + used, length, n, n % 2 == 0);
    }
    if (::pwrite(fd, chunk.data(), used, pos) != static_cast<ssize_t>(used)) std::abort();
    pos += static_cast<off_t>(used);
  }
  const uint32_t count = static_cast<uint32_t>(records);
  unsigned char bytes[4] = {
      static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
      static_cast<unsigned char>(count >> 16), static_cast<unsigned char>(count >> 24)};
  if (::pwrite(fd, bytes, 4, 4) != 4) std::abort();
  ::close(fd);
  return file;
}

double seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// The raw baseline: the record area copied through one 32 KiB buffer into a
// second file, then one fsync.
double copyBaseline(const std::string& from, const std::string& to, off_t start) {
  const int in = ::open(from.c_str(), O_RDONLY);
  const int out = ::open(to.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  std::vector<char> buffer(kCopyBuffer);
  const auto began = std::chrono::steady_clock::now();
  for (off_t pos = start;;) {
    const ssize_t got = ::pread(in, buffer.data(), buffer.size(), pos);
    if (got <= 0) break;
    if (::pwrite(out, buffer.data(), static_cast<size_t>(got), pos) != got) std::abort();
    pos += got;
  }
  ::fsync(out);
  const double took = seconds(began);
  ::close(in);
  ::close(out);
  return took;
}

void BM_Pack(benchmark::State& state) {
  const int64_t records = state.range(0);
  const fs::path dir = workDir();
  const std::string pristine = makeTable(dir, "PRISTINE", records, false);
  const std::string table = (dir / "MESSAGEBAG.DBF").string();
  const std::string copy = (dir / "COPY.DBF").string();
  double packTotal = 0;
  double copyTotal = 0;
  for (auto _ : state) {
    fs::copy_file(pristine, table, fs::copy_options::overwrite_existing);
    EngineContext ctx{};
    engine4init(&ctx, nullptr, kEngineVersion);
    ctx.shareMode = 1;  // as the table layer packs: nobody else has it open
    Table* t = table4open(&ctx, table.c_str());
    if (t == nullptr) {
      state.SkipWithError("open failed");
      break;
    }
    const off_t start = t->dataFile->headerLength;
    const auto began = std::chrono::steady_clock::now();
    const int rc = table4pack(t);
    const double took = seconds(began);
    table4close(t);
    engine4free(&ctx);
    if (rc != 0) {
      state.SkipWithError("pack failed");
      break;
    }
    state.SetIterationTime(took);
    packTotal += took;
    copyTotal += copyBaseline(pristine, copy, start);
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["records_per_s"] =
      benchmark::Counter(static_cast<double>(records) * iterations / packTotal);
  state.counters["copy_records_per_s"] =
      benchmark::Counter(static_cast<double>(records) * iterations / copyTotal);
  state.counters["ratio_to_copy"] = benchmark::Counter(packTotal / copyTotal);
  fs::remove_all(dir);
}

// A table with one memo per record, each memo rewritten once with a longer
// text (so it moves to the end and the old run is abandoned).
void makeMemoTable(const fs::path& dir, int64_t records) {
  const std::string file = makeTable(dir, "MEMOBAG", records, true);
  EngineContext ctx{};
  engine4init(&ctx, nullptr, kEngineVersion);
  ctx.shareMode = 1;
  Table* t = table4open(&ctx, file.c_str());
  DiskFile* memo = &t->dataFile->memo;
  const Column* note = table4column(t, table4columnByName(t, "NOTE"));
  const uint32_t length = t->dataFile->recordLength;
  std::vector<char> chunk(static_cast<size_t>(length) * 1024);
  std::string text(100, 'm');
  for (int64_t first = 1; first <= records; first += 1024) {
    const int64_t count = std::min<int64_t>(1024, records - first + 1);
    const off_t pos = t->dataFile->headerLength + (first - 1) * length;
    if (::pread(static_cast<int>(t->dataFile->data.handle), chunk.data(),
                static_cast<size_t>(count * length), pos) < 0) {
      std::abort();
    }
    for (int64_t i = 0; i < count; i++) {
      int32_t block = 0;
      text.replace(0, 12, std::to_string(1000000000000LL + first + i).substr(1));
      memo4fileWrite(memo, &block, text.data(), 60);  // the first version
      memo4fileWrite(memo, &block, text.data(),
                     static_cast<uint32_t>(text.size()));  // moves: 108 > 64
      std::memcpy(chunk.data() + i * length + note->offset, &block, 4);
    }
    if (::pwrite(static_cast<int>(t->dataFile->data.handle), chunk.data(),
                 static_cast<size_t>(count * length), pos) < 0) {
      std::abort();
    }
  }
  table4close(t);
  engine4free(&ctx);
}

void BM_MemoCompress(benchmark::State& state) {
  const int64_t records = state.range(0);
  const fs::path dir = workDir();
  makeMemoTable(dir, records);
  const std::string dbf = (dir / "MEMOBAG.DBF").string();
  const std::string fpt = (dir / "MEMOBAG.FPT").string();
  const std::string keptDbf = (dir / "KEPT.DBF").string();
  const std::string keptFpt = (dir / "KEPT.FPT").string();
  fs::copy_file(dbf, keptDbf, fs::copy_options::overwrite_existing);
  fs::copy_file(fpt, keptFpt, fs::copy_options::overwrite_existing);
  const double before = static_cast<double>(fs::file_size(fpt));
  double total = 0;
  double after = 0;
  for (auto _ : state) {
    fs::copy_file(keptDbf, dbf, fs::copy_options::overwrite_existing);
    fs::copy_file(keptFpt, fpt, fs::copy_options::overwrite_existing);
    EngineContext ctx{};
    engine4init(&ctx, nullptr, kEngineVersion);
    ctx.shareMode = 1;
    Table* t = table4open(&ctx, dbf.c_str());
    if (t == nullptr) {
      state.SkipWithError("open failed");
      break;
    }
    const auto began = std::chrono::steady_clock::now();
    const int rc = table4memoCompress(t);
    const double took = seconds(began);
    table4close(t);
    engine4free(&ctx);
    if (rc != 0) {
      state.SkipWithError("memo compression failed");
      break;
    }
    state.SetIterationTime(took);
    total += took;
    after = static_cast<double>(fs::file_size(fpt));
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["records_per_s"] =
      benchmark::Counter(static_cast<double>(records) * iterations / total);
  state.counters["us_per_record"] =
      benchmark::Counter(total * 1e6 / (static_cast<double>(records) * iterations));
  state.counters["fpt_before_MB"] = benchmark::Counter(before / 1e6);
  state.counters["fpt_after_MB"] = benchmark::Counter(after / 1e6);
  fs::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_Pack)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_MemoCompress)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

BENCHMARK_MAIN();
