// Several processes on one table with two tags: writers appending and
// rewriting keys under the index lock while a reader seeks and walks in tag
// order without any lock; and writers killed in the middle of writing the
// index, after which the engine reports the damage where it meets it instead
// of crashing or waiting for ever, and a rebuild repairs it. Each child
// process has its own context.
#include <signal.h>
#include <sys/wait.h>

#include <random>

#include "dbf/core/os.h"
#include "dbf/index/node.h"
#include "tests/file/fault_os.h"
#include "tests/index/support.h"

using namespace cdxtest;
using namespace dbf;

namespace {

constexpr int kWriters = 4;
constexpr int kAppends = 5000;

void initChild(EngineContext* ctx) {
  engine4init(ctx, nullptr, kEngineVersion);
  ctx->compatibility = 30;
  ctx->singleOpen = 0;
  ctx->lockRetryDelay = 0;  // a busy lock is tried again at once
}

std::string randomName(std::mt19937& rng) {
  std::string name;
  const int length = 1 + static_cast<int>(rng() % 10);
  for (int i = 0; i < length; ++i) name.push_back("AEKLMOSTZ"[rng() % 9]);
  return name;
}

// Child: appends |kAppends| records and rewrites the keys of every tenth one
// it appended before. Exit status 0 when every step succeeded.
[[noreturn]] void writer(int id) {
  EngineContext ctx{};
  initChild(&ctx);
  std::mt19937 rng(static_cast<unsigned>(id));
  Table* t = table4open(&ctx, "MID");
  if (t == nullptr) _exit(10);
  ColumnValue name(table4column(t, 1)), number(table4column(t, 2));
  std::vector<int32_t> mine;
  for (int i = 1; i <= kAppends; ++i) {
    if (table4appendStart(t, false) != 0 || table4blank(t) != 0) _exit(11);
    column4assign(&name, randomName(rng).c_str());
    column4assignLong(&number, static_cast<int32_t>(rng() % 100000), -1, false);
    if (table4append(t) != 0) _exit(12);
    mine.push_back(table4recNo(t));
    if (i % 10 != 0) continue;
    if (table4go(t, mine[rng() % mine.size()]) != 0) _exit(13);
    column4assign(&name, randomName(rng).c_str());
    column4assignLong(&number, static_cast<int32_t>(rng() % 100000), -1, false);
    if (table4flushRecord(t, true) != 0) _exit(14);
  }
  _exit(table4close(t) == 0 ? 0 : 15);
}

bool before(const std::string& a, int32_t ra, const std::string& b, int32_t rb) {
  return a < b || (a == b && ra < rb);
}

// True when another process wrote the file since |f|'s version was adopted.
bool changedSince(IndexFile* f) { return index4checkVersion(f, false) == 1; }

// Child: until |stop| exists, seeks random names in NAME and walks on from
// there, without locks. Exit status 0 when no key ever came out of order and
// every seek landed on a key not below the one sought. Without a lock a walk
// can meet a node another process has just rewritten (a key moved to the
// neighbour is met twice); the engine's Tables check the version counter
// before each move for that reason. So a step out of order fails the test
// only when the version counter says no one wrote the file meanwhile.
[[noreturn]] void reader(const char* stop) {
  EngineContext ctx{};
  initChild(&ctx);
  std::mt19937 rng(99);
  Table* t = table4open(&ctx, "MID");
  if (t == nullptr) _exit(20);
  Tag* tag = table4tagByName(t, "NAME");
  IndexFile* file = tag->indexFile;
  const int klen = tag->header.keyLength;
  long walked = 0;
  while (!fs::exists(stop)) {
    if (index4checkVersion(file, true) < 0) _exit(21);
    std::string sought = randomName(rng);
    const int rc = order4seek(tag, sought.data(), static_cast<int>(sought.size()));
    if (rc < 0) _exit(22);
    if (order4eof(tag) != 0) continue;
    std::string previous(order4keyData(tag) + 4, klen);
    int32_t previousRecord = order4recNo(tag);
    const bool below = previous.compare(0, sought.size(), sought) < 0;
    const bool found = previous.compare(0, sought.size(), sought) == 0;
    if ((below || (rc == 0) != found) && !changedSince(file)) _exit(below ? 23 : 24);
    for (int i = 0; i < 200 && order4skip(tag, 1) == 1; ++i, ++walked) {
      const std::string key(order4keyData(tag) + 4, klen);
      const int32_t record = order4recNo(tag);
      if (!before(previous, previousRecord, key, record)) {
        if (!changedSince(file)) _exit(25);
        break;
      }
      previous = key;
      previousRecord = record;
    }
    if (ctx.errorCode < 0) _exit(26);
  }
  _exit(walked > 0 && table4close(t) == 0 ? 0 : 27);
}

int statusOf(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

using Processes = IndexTest;

TEST_F(Processes, WritersKeepBothTagsWholeWhileAReaderWalks) {
  copySample("mid");
  std::vector<pid_t> writers;
  for (int w = 1; w <= kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) writer(w);
    writers.push_back(pid);
  }
  const std::string stop = (dir_ / "STOP").string();
  const pid_t walker = fork();
  ASSERT_GE(walker, 0);
  if (walker == 0) reader(stop.c_str());
  for (pid_t pid : writers) EXPECT_EQ(statusOf(pid), 0);
  spit(stop, {});
  EXPECT_EQ(statusOf(walker), 0);

  // Every record has exactly one key in each tag, with its own value, in
  // order (the checker), and the engine walks the same keys.
  const Verdict v = check("MID.DBF", "MID.CDX");
  EXPECT_TRUE(v.ok) << v.text.substr(0, 4000);
  Table* t = open("mid");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(table4recCount(t), 300 + kWriters * kAppends);
  for (Tag* tag : tagsOf(t))
    EXPECT_EQ(walkTag(tag).size(), static_cast<size_t>(300 + kWriters * kAppends)) << tag->name;
  EXPECT_EQ(table4close(t), 0);
}

// The operating system of a writer that dies at the |n|-th node it writes
// right after another node (two 512-byte writes in a row: inside the flush of
// a change that spans nodes, such as a leaf and its parent, or a split).
int gDieAt = 0;
uint32_t gLastLength = 0;
const OsInterface* gReal = nullptr;
int64_t dyingWrite(int64_t handle, int64_t pos, const void* buf, uint32_t len) {
  const bool inside = len == kIndexUnit && gLastLength == kIndexUnit;
  gLastLength = len;
  if (inside && --gDieAt == 0) _exit(9);
  return gReal->writeAt(handle, pos, buf, len);
}

// Child: appends until its |n|-th node written in a row kills it.
[[noreturn]] void dyingWriter(int n) {
  static OsInterface os;
  gReal = os4platform();
  os = *gReal;
  os.writeAt = dyingWrite;
  gDieAt = n;
  os4set(&os);
  EngineContext ctx{};
  initChild(&ctx);
  std::mt19937 rng(static_cast<unsigned>(n));
  Table* t = table4open(&ctx, "MID");
  if (t == nullptr) _exit(30);
  ColumnValue name(table4column(t, 1)), number(table4column(t, 2));
  for (;;) {
    if (table4appendStart(t, false) != 0 || table4blank(t) != 0) _exit(31);
    column4assign(&name, randomName(rng).c_str());
    column4assignLong(&number, static_cast<int32_t>(rng() % 100000), -1, false);
    if (table4append(t) != 0) _exit(32);
  }
}

// Child: uses the table after a writer died: walks both tags, seeks, and
// appends. Exit status 0 when everything worked, 1 when the engine reported
// the index damaged (-310) and stopped there; anything else is a fault. An
// alarm turns a wait without end into a failure.
[[noreturn]] void survivor() {
  alarm(60);
  // The waits before a read is tried again end at once: the clock moves a
  // second with every reading.
  whtest::FaultOs os;
  os.realSleep = false;
  os.fixedSeconds = 1000;
  os.clockStep = 1;
  EngineContext ctx{};
  initChild(&ctx);
  ctx.lockAttempts = 20;
  Table* t = table4open(&ctx, "MID");
  if (t == nullptr) _exit(ctx.errorCode == kErrIndex ? 1 : 40);
  auto outcome = [&ctx]() { return ctx.errorCode == kErrIndex ? 1 : 41; };
  for (Tag* tag : tagsOf(t)) {
    if (order4top(tag) < 0) _exit(outcome());
    while (order4eof(tag) == 0 && order4skip(tag, 1) == 1) {
    }
    if (ctx.errorCode < 0) _exit(outcome());
    if (order4seek(tag, "M", 1) < 0) _exit(outcome());
  }
  ColumnValue name(table4column(t, 1)), number(table4column(t, 2));
  for (int i = 0; i < 50; ++i) {
    if (table4appendStart(t, false) != 0 || table4blank(t) != 0) _exit(outcome());
    column4assign(&name, "SURVIVOR");
    column4assignLong(&number, i, -1, false);
    if (table4append(t) != 0) _exit(outcome());
  }
  _exit(table4close(t) == 0 ? 0 : outcome());
}

TEST_F(Processes, AWriterKilledWhileWritingTheIndexLeavesDamageThatIsReportedAndRebuilt) {
  copySample("mid");
  const auto dbf = slurp("MID.DBF");
  const auto cdx = slurp("MID.CDX");
  int damaged = 0;
  for (int n = 1; n <= 16; ++n) {
    spit("MID.DBF", dbf);
    spit("MID.CDX", cdx);
    const pid_t victim = fork();
    ASSERT_GE(pid_t{victim}, 0);
    if (victim == 0) dyingWriter(n);
    ASSERT_EQ(statusOf(victim), 9) << "death at node " << n;
    const pid_t after = fork();
    ASSERT_GE(after, 0);
    if (after == 0) survivor();
    const int status = statusOf(after);
    EXPECT_TRUE(status == 0 || status == 1) << "death at node " << n << ": status " << status;
    if (status != 1) continue;
    ++damaged;
    // A rebuild repairs what the death left.
    Table* t = open("mid");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(table4reindex(t), 0);
    EXPECT_EQ(table4close(t), 0);
    const Verdict v = check("MID.DBF", "MID.CDX");
    EXPECT_TRUE(v.ok) << "death at node " << n << ": " << v.text.substr(0, 2000);
  }
  EXPECT_GT(damaged, 0);  // some deaths left damage, and it was met and reported
  RecordProperty("damaged", damaged);
}

}  // namespace
