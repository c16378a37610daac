// The whole migration on generated old-server directories of growing size,
// against the floor measured in the same run, and the parts a record's cost
// is made of.
//
// BM_WholeMigration/N: N messages (1,000 and 10,000; 100,000 with
// WH_BENCH_LARGE=1), each with 3 MailBox rows. Every iteration migrates a
// fresh copy of the generated directory in a child process (generating and
// copying are not timed), so that its peak resident memory is its own.
// Reported: seconds; the floor, one lock-safe shared append per record
// written (append and record lock, the record and the header's count
// written, both unlocked: what a shared append cannot avoid) to a table of
// the same shape, for all seven tables, timed right after; ratio = seconds /
// floor; us_per_record (records written); seconds per table (userbase_s,
// messagebag_s, mailbox_s, rest_s for the four small tables); peak_rss_MB.
//
// BM_Lookup/N: one findMessage (second handle, Query, first live match) on
// the MessageBag table of a migrated N-message directory, in microseconds,
// for ids spread over the table.
//
// BM_MessageMoves/N: moving N message files to their new names as the
// MessageBag conversion does, against one renameat2 per file.
//
// BM_OldRowsRead/N: reading every row of the seven old tables through the
// old-database component.
//
// Figures to compare (RelWithDebInfo, 2 shared cores, December 2026; under a
// heavier load up to three times these): 1,000 messages (4,504 records
// written) 0.08 s against a floor of 0.018 s (4.6x), peak 4.4 MB; 10,000
// 0.88 s against 0.23 s (3.9x), 8.1 MB; 100,000 7.9 s against 1.9 s (4.1x),
// 29 MB. A lookup through the temporary index costs 7 to 10 us at every size;
// scanning, it cost 0.48 ms at 1,000 messages, 6.7 ms at 10,000 and 65 ms at
// 100,000, when the whole migration took 2 to 3 s for 1,000 messages and
// 287 s for 10,000. Moving a message file costs 1.2 to 1.4 (at times 2.2)
// bare renameat2 calls, 20 to 40 us; reading an old row about 1 us.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bench/messagebag.h"
#include "migrate/driver.h"
#include "migrate/lookup_index.h"
#include "migrate/message_store.h"
#include "migrate/new_tables.h"
#include "migrate/old_database.h"
#include "migrate/progress.h"
#include "tables/context.h"
#include "tables/table_handle.h"

namespace fs = std::filesystem;

namespace {

struct Generated {
  fs::path directory;
  int64_t oldRows = 0;
  int64_t messages = 0;
};

const char* const kOldTables[] = {"UserBase",       "MessageBag",  "MailBox",   "MailingListTitles",
                                  "SubscriberBase", "AliasSystem", "SPAMSystem"};

int64_t countRows(sqlite3* db, const char* table) {
  std::string sql = std::string("SELECT count(*) FROM ") + table;
  sqlite3_stmt* stmt = nullptr;
  int64_t n = 0;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    n = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  return n;
}

fs::path scratchRoot() {
  static fs::path root = [] {
    std::string pattern = (fs::temp_directory_path() / "wh-bench-migrate-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    return fs::path(pattern);
  }();
  return root;
}

// The old-server directory of |messages| messages, generated once per size.
const Generated& generated(int messages) {
  static std::map<int, Generated> cache;
  auto found = cache.find(messages);
  if (found != cache.end()) return found->second;
  Generated g;
  g.directory = scratchRoot() / ("source-" + std::to_string(messages));
  std::string command = std::string(WH_SAMPLE_PROGRAM) + " --messages " + std::to_string(messages) +
                        " --mailbox-rows 3 " + g.directory.string() + " > /dev/null";
  if (std::system(command.c_str()) != 0) std::abort();
  sqlite3* db = nullptr;
  sqlite3_open((g.directory / "SMTP.MDB").c_str(), &db);
  for (const char* table : kOldTables) g.oldRows += countRows(db, table);
  g.messages = countRows(db, "MessageBag");
  sqlite3_close(db);
  return cache[messages] = g;
}

// A fresh copy of the generated directory to work in.
fs::path freshCopy(const Generated& g, const char* name) {
  fs::path work = scratchRoot() / name;
  fs::remove_all(work);
  fs::copy(g.directory, work);
  return work;
}

// Seconds each table's conversion took, as the converters tell it.
class TableTimes : public ConversionProgress {
 public:
  void tableStarted(const char* table, int64_t) override {
    table_ = table;
    start_ = std::chrono::steady_clock::now();
  }
  void rowsDone(int64_t) override {}
  void tableFinished() override { seconds[table_] += bench::secondsSince(start_); }
  std::map<std::string, double> seconds;

 private:
  std::string table_;
  std::chrono::steady_clock::time_point start_;
};

struct MigrationResult {
  double seconds = 0, userBase = 0, messageBag = 0, mailBox = 0, rest = 0;
  long peakKiB = 0;
};

// Migrates the current directory with dbmigrate's converters.
int migrateHere(ConversionProgress* progress) {
  MailBoxConverter mailBox;
  MessageBagConverter messageBag;
  UserBaseConverter userBase;
  MailingListTitlesConverter mailingListTitles;
  SubscriberBaseConverter subscriberBase;
  AliasSystemConverter aliasSystem;
  SpamSystemConverter spamSystem;
  ConverterSet set{&mailBox,        &messageBag,  &userBase,  &mailingListTitles,
                   &subscriberBase, &aliasSystem, &spamSystem};
  return migrateOldDatabase(set, nullptr, progress);
}

// Migrates |work| in a child process: its times, and its peak memory.
MigrationResult migrateInChild(const fs::path& work) {
  int channel[2];
  if (pipe(channel) != 0) std::abort();
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) std::abort();
  if (child == 0) {
    close(channel[0]);
    if (chdir(work.c_str()) != 0) _exit(2);
    MigrationResult r;
    TableTimes times;
    const auto start = std::chrono::steady_clock::now();
    const int status = migrateHere(&times);
    r.seconds = bench::secondsSince(start);
    r.userBase = times.seconds["UserBase"];
    r.messageBag = times.seconds["MessageBag"];
    r.mailBox = times.seconds["MailBox"];
    r.rest = times.seconds["MailingListTitles"] + times.seconds["SubscriberBase"] +
             times.seconds["AliasSystem"] + times.seconds["SPAMSystem"];
    std::fflush(nullptr);
    if (write(channel[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(3);
    _exit(status == 0 ? 0 : 1);
  }
  close(channel[1]);
  MigrationResult r;
  const bool got = read(channel[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
  close(channel[0]);
  int status = 0;
  struct rusage usage {};
  if (wait4(child, &status, 0, &usage) != child || !got || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    std::abort();
  r.peakKiB = usage.ru_maxrss;
  return r;
}

// What a floor append needs of one new table: its header and a record.
struct TableShape {
  std::vector<char> header;  // header and descriptors, the count set to 0
  std::vector<char> record;  // the first record (blank when there is none)
  uint32_t count = 0;
};

std::vector<TableShape> shapesOf(const fs::path& work) {
  std::vector<TableShape> shapes;
  for (const auto& entry : fs::directory_iterator(work)) {
    if (entry.path().extension() != ".DBF") continue;
    const int fd = ::open(entry.path().c_str(), O_RDONLY);
    uint8_t head[32];
    if (fd < 0 || pread(fd, head, 32, 0) != 32) std::abort();
    TableShape s;
    s.count = head[4] | (head[5] << 8) | (head[6] << 16) | (uint32_t{head[7]} << 24);
    const uint32_t headerLength = head[8] | (head[9] << 8);
    const uint32_t recordLength = head[10] | (head[11] << 8);
    s.header.resize(headerLength);
    s.record.assign(recordLength, ' ');
    if (pread(fd, s.header.data(), headerLength, 0) != static_cast<ssize_t>(headerLength))
      std::abort();
    if (s.count > 0) pread(fd, s.record.data(), recordLength, headerLength);
    std::memset(s.header.data() + 4, 0, 4);
    ::close(fd);
    shapes.push_back(std::move(s));
  }
  return shapes;
}

// The floor: every record of every table appended the way a shared append
// must, straight through the system calls. Seconds.
double floorSeconds(const std::vector<TableShape>& shapes, const fs::path& dir) {
  double seconds = 0;
  int i = 0;
  for (const TableShape& s : shapes) {
    const fs::path file = dir / ("FLOOR" + std::to_string(i++) + ".DBF");
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || pwrite(fd, s.header.data(), s.header.size(), 0) !=
                      static_cast<ssize_t>(s.header.size()))
      std::abort();
    std::vector<char> header(s.header.begin(), s.header.begin() + 10);
    const off_t headerLength = static_cast<off_t>(s.header.size());
    const off_t recordLength = static_cast<off_t>(s.record.size());
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t n = 1; n <= s.count; ++n) {
      const off_t recordLock = 0x7FFFFFFE - static_cast<off_t>(n);
      if (!bench::rawLock(fd, 0x7FFFFFFE, 1, true) || !bench::rawLock(fd, recordLock, 1, true))
        std::abort();
      if (pwrite(fd, s.record.data(), s.record.size(), headerLength + (n - 1) * recordLength) !=
          recordLength)
        std::abort();
      std::memcpy(header.data() + 4, &n, 4);
      if (pwrite(fd, header.data(), 10, 0) != 10) std::abort();
      bench::rawLock(fd, 0x7FFFFFFE, 1, false);
      bench::rawLock(fd, recordLock, 1, false);
    }
    seconds += bench::secondsSince(start);
    ::close(fd);
    fs::remove(file);
  }
  return seconds;
}

void BM_WholeMigration(benchmark::State& state) {
  const Generated& g = generated(static_cast<int>(state.range(0)));
  MigrationResult sum;
  double floor = 0, written = 0;
  long peakKiB = 0;
  for (auto _ : state) {
    const fs::path work = freshCopy(g, "run");
    const MigrationResult r = migrateInChild(work);
    const std::vector<TableShape> shapes = shapesOf(work);
    const double f = floorSeconds(shapes, scratchRoot());
    fs::remove_all(work);
    state.SetIterationTime(r.seconds);
    sum.seconds += r.seconds, sum.userBase += r.userBase, sum.messageBag += r.messageBag;
    sum.mailBox += r.mailBox, sum.rest += r.rest;
    peakKiB = std::max(peakKiB, r.peakKiB);
    floor += f;
    written = 0;
    for (const TableShape& s : shapes) written += s.count;
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["seconds"] = sum.seconds / runs;
  state.counters["floor_s"] = floor / runs;
  state.counters["ratio"] = sum.seconds / floor;
  state.counters["us_per_record"] = 1e6 * sum.seconds / runs / written;
  state.counters["records"] = written;
  state.counters["userbase_s"] = sum.userBase / runs;
  state.counters["messagebag_s"] = sum.messageBag / runs;
  state.counters["mailbox_s"] = sum.mailBox / runs;
  state.counters["rest_s"] = sum.rest / runs;
  state.counters["peak_rss_MB"] = static_cast<double>(peakKiB) / 1024.0;
}

// A migrated directory of each size, made once, for the lookups.
const fs::path& migrated(int messages) {
  static std::map<int, fs::path> cache;
  auto found = cache.find(messages);
  if (found != cache.end()) return found->second;
  const fs::path work = freshCopy(generated(messages), ("migrated-" + std::to_string(messages)).c_str());
  migrateInChild(work);
  return cache[messages] = work;
}

// The ids of every row of the new MessageBag table, in record order.
std::vector<std::array<int32_t, 3>> messageIds(MessageBagTable& bag) {
  std::vector<std::array<int32_t, 3>> ids;
  TableHandle* h = bag.openHandle();
  if (h == nullptr) std::abort();
  for (int rc = h->firstRecord(nullptr); rc == 0; rc = h->nextRecord(nullptr)) {
    std::array<int32_t, 3> id{};
    for (int c = 0; c < 3; ++c) h->readLong(c, &id[static_cast<size_t>(c)]);
    ids.push_back(id);
  }
  bag.releaseHandle(h);
  return ids;
}

// findMessage on the MessageBag table of a migrated directory, for ids spread
// over the table; through the lookup index as the migration makes it, or by
// scanning the table.
void runLookups(benchmark::State& state, bool indexed) {
  const fs::path& dir = migrated(static_cast<int>(state.range(0)));
  const fs::path previous = fs::current_path();
  fs::current_path(dir);
  {
    MessageBagTable bag;
    EngineContext* ctx = currentContext();
    ctx->shareMode = indexed ? 1 : 0;  // the converter's handle, as in the migration
    TableHandle* own = bag.openHandle();
    ctx->shareMode = 0;
    if (own == nullptr) std::abort();
    LookupIndex index;
    if (indexed && !index.create(&bag, own)) std::abort();
    const std::vector<std::array<int32_t, 3>> ids = messageIds(bag);
    size_t next = 0, found = 0;
    for (auto _ : state) {
      const auto& id = ids[next];
      next = (next + 7919) % ids.size();  // spread over the table
      int32_t size = 0;
      if (bag.findMessage(id[0], id[1], id[2], &size) == 0) ++found;
    }
    index.remove();
    bag.releaseHandle(own);
    if (found != static_cast<size_t>(state.iterations())) state.SkipWithError("a lookup failed");
    state.counters["messages"] = static_cast<double>(ids.size());
  }
  fs::current_path(previous);
}

void BM_Lookup(benchmark::State& state) { runLookups(state, true); }
void BM_LookupScan(benchmark::State& state) { runLookups(state, false); }

void BM_MessageMoves(benchmark::State& state) {
  const Generated& g = generated(static_cast<int>(state.range(0)));
  const fs::path previous = fs::current_path();
  double engine = 0, raw = 0;
  for (auto _ : state) {
    const fs::path work = freshCopy(g, "moves");
    std::vector<std::array<int32_t, 3>> ids;
    {
      sqlite3* db = nullptr;
      sqlite3_open((work / "SMTP.MDB").c_str(), &db);
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(db, "SELECT * FROM MessageBag", -1, &stmt, nullptr);
      while (sqlite3_step(stmt) == SQLITE_ROW)
        ids.push_back({sqlite3_column_int(stmt, 0), sqlite3_column_int(stmt, 1),
                       sqlite3_column_int(stmt, 2)});
      sqlite3_finalize(stmt);
      sqlite3_close(db);
    }
    fs::current_path(work);
    auto start = std::chrono::steady_clock::now();
    for (const auto& id : ids) moveMessageFile(id[0], id[1], id[2]);
    const double moves = bench::secondsSince(start);
    // As many bare renames, of the files under their new names.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(work)) {
      const std::string name = e.path().filename().string();
      if (name[0] == 'B' && e.path().extension() == ".MSG") names.push_back(name);
    }
    start = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
      const std::string to = "C" + name.substr(1);
      renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    }
    raw += bench::secondsSince(start);
    engine += moves;
    fs::current_path(previous);
    fs::remove_all(work);
    state.SetIterationTime(moves);
  }
  state.counters["ratio"] = engine / raw;
  state.counters["us_per_move"] =
      1e6 * engine / static_cast<double>(state.iterations()) / static_cast<double>(g.messages);
}

void BM_OldRowsRead(benchmark::State& state) {
  const Generated& g = generated(static_cast<int>(state.range(0)));
  const std::string path = (g.directory / "SMTP.MDB").string();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    CDaoDatabase db;
    db.Open(path.c_str(), false, true);
    for (const char* table : kOldTables) {
      CDaoRecordset rows(&db);
      rows.Open(AFX_DAO_USE_DEFAULT_TYPE, (std::string("select * from ") + table).c_str());
      const int fields = rows.GetFieldCount();
      VARIANT v;
      VariantInit(&v);
      for (; !rows.IsEOF(); rows.MoveNext())
        for (int i = 0; i < fields; ++i) rows.GetFieldValue(i, v);
      VariantClear(&v);
      rows.Close();
    }
    db.Close();
    seconds += bench::secondsSince(start);
  }
  state.counters["us_per_row"] =
      1e6 * seconds / static_cast<double>(state.iterations()) / static_cast<double>(g.oldRows);
}

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(1000)->Arg(10000);
  const char* large = std::getenv("WH_BENCH_LARGE");
  if (large && std::string(large) == "1") b->Arg(100000);
}

BENCHMARK(BM_WholeMigration)->Apply(sizes)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Lookup)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupScan)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MessageMoves)->Arg(10000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OldRowsRead)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // dbmigrate prints its banner on every run; keep the report readable.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  {
    // Benchmark's console report goes to standard error from here on.
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
  }
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(scratchRoot(), ec);
  return 0;
}
