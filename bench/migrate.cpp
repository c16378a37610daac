// The whole migration on generated old-server directories of growing size:
// 1,000 and 10,000 messages (100,000 with WH_BENCH_LARGE=1), each message
// with 3 MailBox rows. Every iteration migrates a fresh copy of the generated
// directory; generating and copying are not timed.
//
// Reported per size: seconds per run and old rows converted per second (all
// seven tables), and the MailBox rows per second, since each MailBox row
// scans the new MessageBag table for its message: that part grows with the
// square of the message count.
//
// Figures to compare (RelWithDebInfo, 2 shared cores under a load of 4 to 7,
// December 2026): 1,000 messages (4,509 old rows, 3,000 MailBox rows) 0.9 to
// 1.5 s, 3,000 to 5,000 rows/s; 10,000 messages (45,021 old rows) 99.5 s,
// 452 rows/s, 302 MailBox rows/s. Ten times the messages cost about a
// hundred times the time; 100,000 messages would take hours (not measured).
// Most of the time is system time: every lookup opens a second handle and
// reads the MessageBag records one by one. Since every move also reads the
// record count again (another process may have packed the table), the same
// machine gives 2.0 to 2.8 s for 1,000 messages (2.5 s CPU, was 1.7) and
// 218 s for 10,000 (169 s CPU, was 90).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

#include "migrate/driver.h"

namespace fs = std::filesystem;

namespace {

struct Generated {
  fs::path directory;
  int64_t oldRows = 0;
  int64_t mailBoxRows = 0;
};

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
  for (const char* table : {"UserBase", "MessageBag", "MailBox", "MailingListTitles",
                            "SubscriberBase", "AliasSystem", "SPAMSystem"})
    g.oldRows += countRows(db, table);
  g.mailBoxRows = countRows(db, "MailBox");
  sqlite3_close(db);
  return cache[messages] = g;
}

void migrateOnce() {
  MailBoxConverter mailBox;
  MessageBagConverter messageBag;
  UserBaseConverter userBase;
  MailingListTitlesConverter mailingListTitles;
  SubscriberBaseConverter subscriberBase;
  AliasSystemConverter aliasSystem;
  SpamSystemConverter spamSystem;
  ConverterSet set{&mailBox,        &messageBag,  &userBase,  &mailingListTitles,
                   &subscriberBase, &aliasSystem, &spamSystem};
  if (migrateOldDatabase(set) != 0) std::abort();
}

void BM_WholeMigration(benchmark::State& state) {
  const Generated& g = generated(static_cast<int>(state.range(0)));
  fs::path work = scratchRoot() / "run";
  fs::path previous = fs::current_path();
  double seconds = 0;
  for (auto _ : state) {
    fs::remove_all(work);
    fs::copy(g.directory, work);
    fs::current_path(work);
    std::fflush(stdout);
    auto start = std::chrono::steady_clock::now();
    migrateOnce();
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fs::current_path(previous);
    state.SetIterationTime(elapsed);
    seconds += elapsed;
  }
  fs::remove_all(work);
  double runs = static_cast<double>(state.iterations());
  state.counters["seconds"] = seconds / runs;
  state.counters["rows_per_s"] = static_cast<double>(g.oldRows) * runs / seconds;
  state.counters["mailbox_rows_per_s"] = static_cast<double>(g.mailBoxRows) * runs / seconds;
  state.counters["old_rows"] = static_cast<double>(g.oldRows);
}

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(1000)->Arg(10000);
  const char* large = std::getenv("WH_BENCH_LARGE");
  if (large && std::string(large) == "1") b->Arg(100000);
}

BENCHMARK(BM_WholeMigration)
    ->Apply(sizes)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

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
