// The MessageBag-shaped table the engine benchmarks run on: eight N(11,0) and
// four C(64) columns, 345-byte records, and helpers to fill and time it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "dbf/core/context.h"
#include "dbf/core/table.h"

namespace bench {

inline constexpr int kRecords = 100000;
inline constexpr uint32_t kRecordLength = 345;

inline const ColumnDescription kMessageBag[] = {
    {"MSGID1", 'N', 11, 0, 0},     {"MSGID2", 'N', 11, 0, 0},   {"MSGID3", 'N', 11, 0, 0},
    {"REFCOUNTER", 'N', 11, 0, 0}, {"SYSFLAG", 'N', 11, 0, 0},  {"RECVTIME", 'N', 11, 0, 0},
    {"FILESIZE", 'N', 11, 0, 0},   {"HDRFIELD", 'N', 11, 0, 0}, {"FROMNAME", 'C', 64, 0, 0},
    {"FROMHOST", 'C', 64, 0, 0},   {"RECPUSER", 'C', 64, 0, 0}, {"RECPHOST", 'C', 64, 0, 0},
    {nullptr, 0, 0, 0, 0},
};

// A scratch directory made the current directory for the benchmark's life.
class ScratchDir {
 public:
  ScratchDir() {
    old_ = std::filesystem::current_path();
    dir_ = old_ / ("wh_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  ~ScratchDir() {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }

 private:
  std::filesystem::path old_, dir_;
};

// Reports the engine's rate, the baseline's rate and their ratio over all
// iterations; times are the summed seconds of each side.
inline void reportAgainstBaseline(benchmark::State& state, double records, double engineSeconds,
                                  double baselineSeconds) {
  const double runs = static_cast<double>(state.iterations());
  state.counters["records_per_s"] = records * runs / engineSeconds;
  state.counters["baseline_records_per_s"] = records * runs / baselineSeconds;
  state.counters["ratio"] = engineSeconds / baselineSeconds;
}

inline void initContext(EngineContext* ctx, uint8_t shareMode) {
  engine4init(ctx, nullptr, kEngineVersion);
  ctx->compatibility = 30;
  ctx->shareMode = shareMode;
}

// A fresh empty MessageBag table file; false on failure.
inline bool createEmpty(const char* name) {
  std::filesystem::remove(std::string(name) + ".DBF");
  EngineContext ctx{};
  initContext(&ctx, 0);
  Table* t = table4create(&ctx, name, kMessageBag, nullptr);
  bool ok = t != nullptr && table4close(t) == 0;
  engine4free(&ctx);
  return ok;
}

// Column values the way the converters assign them: digits and texts.
struct MessageBagValues {
  ColumnValue numbers[8];
  ColumnValue texts[4];
  explicit MessageBagValues(Table* t) {
    for (int i = 0; i < 8; ++i) numbers[i].bind(table4column(t, i + 1));
    for (int i = 0; i < 4; ++i) texts[i].bind(table4column(t, i + 9));
  }
  int append(Table* t, int32_t id) {
    if (table4appendStart(t, false) != 0 || table4blank(t) != 0) return -1;
    for (int i = 0; i < 8; ++i) column4assignLong(&numbers[i], id + i, -1, false);
    column4assign(&texts[0], "postmaster");
    column4assign(&texts[1], "mail.example.com");
    column4assign(&texts[2], "someone");
    column4assign(&texts[3], "example.org");
    return table4append(t);
  }
};

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Seconds the engine takes to append kRecords records to table |name| opened
// with |shareMode|, the close included (an exclusive table writes its header
// and index there); -1 on failure.
inline double engineAppend(const char* name, uint8_t shareMode) {
  EngineContext ctx{};
  initContext(&ctx, shareMode);
  Table* t = table4open(&ctx, name);
  if (t == nullptr) return -1;
  MessageBagValues values(t);
  const auto start = std::chrono::steady_clock::now();
  for (int32_t i = 1; i <= kRecords; ++i)
    if (values.append(t, i) != 0) return -1;
  if (table4close(t) != 0) return -1;
  const double seconds = secondsSince(start);
  engine4free(&ctx);
  return seconds;
}

// Raw byte-range lock as the engine's file layer takes it.
inline bool rawLock(int fd, off_t pos, off_t len, bool lock) {
  struct flock fl {};
  fl.l_type = lock ? F_WRLCK : F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = pos;
  fl.l_len = len;
  return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

}  // namespace bench
