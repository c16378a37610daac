// Several processes on one shared table: concurrent appenders with a reader
// walking meanwhile, and an appender killed in the middle of its work. Each
// child process has its own EngineContext, as the mail server has.
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

#include "tests/table/fixture.h"

using namespace tabletest;

namespace {

const ColumnDescription kColumns[] = {
    {"WRITER", 'N', 3, 0, 0},
    {"SEQ", 'N', 8, 0, 0},
    {"PAYLOAD", 'C', 40, 0, 0},
    {nullptr, 0, 0, 0, 0},
};

// The payload a record of (writer, seq) must carry; a torn record shows.
std::string payloadOf(int writer, int seq) {
  char text[64];
  std::snprintf(text, sizeof text, "w%03d-s%08d-%08x", writer, seq,
                static_cast<unsigned>(writer * 2654435761u ^ static_cast<unsigned>(seq)));
  std::string s(text);
  s.resize(40, '.');
  return s;
}

// Child: appends |count| records; exit status 0 when all went in.
[[noreturn]] void appendChild(int writer, int count) {
  EngineContext ctx{};
  engine4init(&ctx, nullptr, kEngineVersion);
  ctx.compatibility = 30;
  ctx.lockRetryDelay = 1;  // a busy append lock is tried again after 10 ms, not 1 s
  Table* t = table4open(&ctx, "MULTI");
  if (t == nullptr) _exit(10);
  ColumnValue w(table4column(t, 1)), s(table4column(t, 2)), p(table4column(t, 3));
  for (int i = 1; i <= count; ++i) {
    if (table4appendStart(t, false) != 0 || table4blank(t) != 0) _exit(11);
    column4assignLong(&w, writer, -1, false);
    column4assignLong(&s, i, -1, false);
    column4assign(&p, payloadOf(writer, i).c_str());
    if (table4append(t) != 0) _exit(12);
  }
  _exit(table4close(t) == 0 ? 0 : 13);
}

// Child: walks the table again and again until it has seen |total| records;
// exit status 0 when no record it read was torn or out of order.
[[noreturn]] void readerChild(int total) {
  EngineContext ctx{};
  engine4init(&ctx, nullptr, kEngineVersion);
  ctx.compatibility = 30;
  Table* t = table4open(&ctx, "MULTI");
  if (t == nullptr) _exit(20);
  ColumnValue w(table4column(t, 1)), s(table4column(t, 2)), p(table4column(t, 3));
  for (int pass = 0; pass < 100000; ++pass) {
    int seen = 0;
    std::map<int, int> lastSeq;
    for (int rc = table4top(t); rc == 0; rc = table4skip(t, 1)) {
      const int writer = w.toLong(), seq = s.toLong();
      if (std::string(p.pointer(), 40) != payloadOf(writer, seq)) _exit(21);
      if (seq <= lastSeq[writer]) _exit(22);  // each writer's records in order
      lastSeq[writer] = seq;
      ++seen;
    }
    if (seen >= total) _exit(table4close(t) == 0 ? 0 : 23);
  }
  _exit(24);
}

int waitStatus(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Every record present exactly once and intact; returns the count.
int verifyTable(EngineContext* ctx, int writers, int perWriter, bool allowMissing) {
  Table* t = table4open(ctx, "MULTI");
  EXPECT_NE(t, nullptr);
  if (t == nullptr) return -1;
  const int32_t count = table4recCount(t);
  const auto fileSize = fs::file_size("MULTI.DBF");
  const uint32_t hlen = t->dataFile->headerLength, rlen = t->dataFile->recordLength;
  if (allowMissing)
    EXPECT_LE((fileSize - hlen) / rlen, static_cast<uint64_t>(count) + 1);
  else
    EXPECT_EQ((fileSize - hlen) / rlen, static_cast<uint64_t>(count));
  std::set<std::pair<int, int>> seen;
  ColumnValue w(table4column(t, 1)), s(table4column(t, 2)), p(table4column(t, 3));
  int walked = 0;
  for (int rc = table4top(t); rc == 0; rc = table4skip(t, 1)) {
    const int writer = w.toLong(), seq = s.toLong();
    EXPECT_EQ(std::string(p.pointer(), 40), payloadOf(writer, seq));
    EXPECT_TRUE(seen.insert({writer, seq}).second) << writer << "/" << seq;
    ++walked;
  }
  EXPECT_EQ(walked, count);
  if (!allowMissing) {
    for (int wr = 1; wr <= writers; ++wr)
      for (int sq = 1; sq <= perWriter; ++sq) EXPECT_TRUE(seen.count({wr, sq})) << wr << "/" << sq;
  }
  table4close(t);
  return count;
}

class Processes : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    Table* t = table4create(&ctx_, "MULTI", kColumns, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(table4close(t), 0);
  }
};

TEST_F(Processes, ConcurrentAppendersAndAWalkingReader) {
  constexpr int kWriters = 4, kPerWriter = 5000;
  std::vector<pid_t> pids;
  for (int w = 1; w <= kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) appendChild(w, kPerWriter);
    pids.push_back(pid);
  }
  pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) readerChild(kWriters * kPerWriter);
  for (pid_t pid : pids) EXPECT_EQ(waitStatus(pid), 0);
  EXPECT_EQ(waitStatus(reader), 0);
  EXPECT_EQ(verifyTable(&ctx_, kWriters, kPerWriter, false), kWriters * kPerWriter);

  // An independent reader agrees, when it is installed.
  if (std::system("/usr/bin/python3 -c 'import dbfread' 2>/dev/null") == 0) {
    const std::string cmd =
        "/usr/bin/python3 -c \"import dbfread,sys; t=dbfread.DBF('MULTI.DBF'); "
        "r=list(t); s=set((x['WRITER'],x['SEQ']) for x in r); "
        "sys.exit(0 if len(r)==20000 and len(s)==20000 else 1)\"";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
}

TEST_F(Processes, KilledAppenderLeavesAReadableTable) {
  int count = 0;
  for (int round = 1; round <= 3; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) appendChild(round, 1000000);
    // Let it append for a while, then kill it wherever it is.
    const uint64_t killAt =
        fs::file_size("MULTI.DBF") + 61u * (1000u + 777u * static_cast<unsigned>(round));
    for (int i = 0; i < 300 && fs::file_size("MULTI.DBF") < killAt; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(pid, SIGKILL);
    EXPECT_EQ(waitStatus(pid), 100 + SIGKILL);
    const int now = verifyTable(&ctx_, round, 0, true);
    EXPECT_GT(now, count);
    count = now;
  }

  // The table takes new records after the killed one's last.
  Table* t = table4open(&ctx_, "MULTI");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(table4appendStart(t, false), 0);
  ASSERT_EQ(table4blank(t), 0);
  ColumnValue w(table4column(t, 1)), s(table4column(t, 2)), p(table4column(t, 3));
  column4assignLong(&w, 9, -1, false);
  column4assignLong(&s, 1, -1, false);
  column4assign(&p, payloadOf(9, 1).c_str());
  ASSERT_EQ(table4append(t), 0);
  EXPECT_EQ(table4recCount(t), count + 1);
  ASSERT_EQ(table4close(t), 0);
  EXPECT_EQ(verifyTable(&ctx_, 1, 0, false), count + 1);
}

}  // namespace
