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
#include <vector>

#include <benchmark/benchmark.h>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/index/build.h"

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

// A MessageBag table of |count| records written straight into the file, each
// record's bytes from fill(record number, 345 bytes preset to blanks), with
// a production index of |tags| when given; false on failure.
template <class Fill>
bool writeRaw(const char* name, int32_t count, Fill fill, const void* tags = nullptr) {
  if (!createEmpty(name)) return false;
  std::vector<char> records(static_cast<size_t>(count) * kRecordLength, ' ');
  for (int32_t r = 1; r <= count; ++r)
    fill(r, records.data() + static_cast<size_t>(r - 1) * kRecordLength);
  EngineContext ctx{};
  initContext(&ctx, 1);
  Table* t = table4open(&ctx, name);
  bool ok = t != nullptr;
  if (ok) {
    const int fd = ::open(t->dataFile->fullName, O_RDWR);
    const uint8_t n[4] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                          static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
    ok = fd >= 0 &&
         pwrite(fd, records.data(), records.size(), t->dataFile->headerLength) ==
             static_cast<ssize_t>(records.size()) &&
         pwrite(fd, n, 4, 4) == 4;
    if (fd >= 0) ::close(fd);
    table4close(t);
    t = ok && tags != nullptr ? table4open(&ctx, name) : nullptr;
  }
  if (t != nullptr) {
    ok = index4create(t, nullptr, static_cast<const TagDescription*>(tags)) != nullptr;
    table4close(t);
  }
  engine4free(&ctx);
  return ok;
}

// Writes |value| right-aligned into the 11 bytes of numeric column |column|
// (1-based, MSGID1 .. HDRFIELD) of a raw record.
inline void putNumber(char* record, int column, int64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%11lld", static_cast<long long>(value));
  std::memcpy(record + 1 + 11 * (column - 1), text, 11);
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

// The system calls an append cannot avoid, on a data file opened raw: in a
// shared file the append and record locks, the record, the header's count,
// the locks released; in an exclusive one the record alone.
class RawAppender {
 public:
  explicit RawAppender(const char* file) : fd_(::open(file, O_RDWR)) {
    std::memset(record_, ' ', sizeof record_);
    ok_ = fd_ >= 0 && pread(fd_, header_, 32, 0) == 32;
    headerLength_ = static_cast<uint8_t>(header_[8]) | (static_cast<uint8_t>(header_[9]) << 8);
  }
  ~RawAppender() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawAppender(const RawAppender&) = delete;
  RawAppender& operator=(const RawAppender&) = delete;
  bool ok() const { return ok_; }

  bool lock(uint32_t n) {
    return rawLock(fd_, 0x7FFFFFFE, 1, true) && rawLock(fd_, recordLock(n), 1, true);
  }
  bool write(uint32_t n, bool shared) {
    std::snprintf(record_ + 1, 12, "%11u", n);
    record_[12] = ' ';
    if (pwrite(fd_, record_, kRecordLength,
               headerLength_ + static_cast<off_t>(n - 1) * kRecordLength) !=
        static_cast<ssize_t>(kRecordLength))
      return false;
    if (!shared) return true;
    std::memcpy(header_ + 4, &n, 4);
    if (pwrite(fd_, header_, 10, 0) != 10) return false;
    return rawLock(fd_, 0x7FFFFFFE, 1, false) && rawLock(fd_, recordLock(n), 1, false);
  }

 private:
  static off_t recordLock(uint32_t n) { return 0x7FFFFFFE - static_cast<off_t>(n); }
  int fd_;
  bool ok_ = false;
  char header_[32];
  off_t headerLength_ = 0;
  char record_[kRecordLength];
};

}  // namespace bench
