// Tests of pack and memo compression: the bytes they leave, and that a
// failure at any single system call (injected through the OS interface) leaves
// a table that opens with every kept record and every memo exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/memo.h"
#include "dbf/core/table.h"
#include "tests/file/fault_os.h"
#include "tests/file/test_util.h"

namespace {

using whtest::FaultOs;
using whtest::readWhole;
using whtest::ScratchDir;

struct Row {
  int id;
  bool deleted;
  std::string memo;  // empty: no memo
};

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override { init(); }
  void TearDown() override {
    if (table_ != nullptr) table4close(table_);
    engine4free(&ctx_);
  }
  void init() {
    ASSERT_EQ(engine4init(&ctx_, nullptr, kEngineVersion), 0);
    ctx_.compatibility = 30;
  }

  // Creates T.DBF with ID N(6,0), NAME C(20) and optionally NOTE M.
  void create(const std::vector<Row>& rows, bool memo = true, int16_t compatibility = 30) {
    ctx_.compatibility = compatibility;
    const ColumnDescription withMemo[] = {{"ID", 'N', 6, 0, 0},
                                          {"NAME", 'C', 20, 0, 0},
                                          {"NOTE", 'M', 0, 0, 0},
                                          {nullptr, 0, 0, 0, 0}};
    const ColumnDescription plain[] = {
        {"ID", 'N', 6, 0, 0}, {"NAME", 'C', 20, 0, 0}, {nullptr, 0, 0, 0, 0}};
    table_ = table4create(&ctx_, dir_.file("T").c_str(), memo ? withMemo : plain, nullptr);
    ASSERT_NE(table_, nullptr) << ctx_.errorCode;
    for (const Row& row : rows) {
      ASSERT_EQ(table4appendStart(table_, false), 0);
      ASSERT_EQ(table4blank(table_), 0);
      assign("ID", std::to_string(row.id));
      assign("NAME", "name " + std::to_string(row.id));
      if (memo && !row.memo.empty()) assign("NOTE", row.memo);
      if (row.deleted) {
        ASSERT_EQ(table4delete(table_), 0);
      }
      ASSERT_EQ(table4append(table_), 0) << ctx_.errorCode;
    }
  }

  void assign(const char* column, const std::string& text) {
    ColumnValue v(table4column(table_, table4columnByName(table_, column)));
    ASSERT_EQ(column4assignN(&v, text.data(), static_cast<uint32_t>(text.size())), 0);
  }

  void closeTable() {
    if (table_ != nullptr) table4close(table_);
    table_ = nullptr;
  }

  void reopen(int shareMode = 0) {
    if (table_ != nullptr) table4close(table_);
    engine4free(&ctx_);
    init();
    ctx_.shareMode = static_cast<uint8_t>(shareMode);
    table_ = table4open(&ctx_, dir_.file("T.DBF").c_str());
    ASSERT_NE(table_, nullptr) << ctx_.errorCode << " at " << ctx_.errorLocation;
  }

  // Every record as (id, deleted, memo text), in file order.
  std::vector<Row> rows() {
    std::vector<Row> out;
    const int note = table4columnByName(table_, "NOTE");
    if (note < 0) engine4errorSet(&ctx_, 0);
    for (int rc = table4top(table_); rc == 0; rc = table4skip(table_, 1)) {
      Row row{column4long(table4column(table_, 1)), table4deleted(table_) != 0, ""};
      if (note > 0) {
        uint32_t len = 0;
        const char* text = column4memoText(table4column(table_, note), &len);
        row.memo.assign(text != nullptr ? text : "", len);
      }
      out.push_back(row);
    }
    EXPECT_GE(ctx_.errorCode, 0);
    return out;
  }

  std::vector<int> liveIds() {
    std::vector<int> ids;
    for (const Row& r : rows()) {
      if (!r.deleted) ids.push_back(r.id);
    }
    return ids;
  }

  std::string dbf() const { return readWhole(dir_.file("T.DBF")); }
  std::string fpt() const { return readWhole(dir_.file("T.FPT")); }

  ScratchDir dir_;
  EngineContext ctx_{};
  Table* table_ = nullptr;
};

uint32_t le32(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8) |
         (static_cast<uint8_t>(b[at + 2]) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24);
}
uint32_t be32(const std::string& b, size_t at) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24) |
         (static_cast<uint8_t>(b[at + 1]) << 16) | (static_cast<uint8_t>(b[at + 2]) << 8) |
         static_cast<uint8_t>(b[at + 3]);
}

std::vector<Row> mixedRows(int n) {
  std::vector<Row> rows;
  for (int i = 1; i <= n; i++) {
    rows.push_back({i, i % 3 == 0 || i == 2, i % 4 == 0 ? "" : "memo of " + std::to_string(i)});
  }
  return rows;
}

std::vector<int> keptIds(const std::vector<Row>& rows) {
  std::vector<int> ids;
  for (const Row& r : rows) {
    if (!r.deleted) ids.push_back(r.id);
  }
  return ids;
}

// --- pack ---

TEST_F(PackTest, RemovesDeletedRecordsAndEndsWithEofByte) {
  for (int16_t compatibility : {int16_t{30}, int16_t{0}}) {
    SCOPED_TRACE(compatibility);
    const auto input = mixedRows(20);
    create(input, true, compatibility);
    ASSERT_EQ(table4pack(table_), 0) << ctx_.errorCode;
    EXPECT_EQ(table4recNo(table_), -1);
    EXPECT_FALSE(table4bof(table_));
    EXPECT_FALSE(table4eof(table_));
    const std::vector<int> kept = keptIds(input);
    EXPECT_EQ(table4recCount(table_), static_cast<int32_t>(kept.size()));
    table4close(table_);
    table_ = nullptr;

    const std::string bytes = dbf();
    const uint32_t headerLength =
        static_cast<uint8_t>(bytes[8]) | (static_cast<uint8_t>(bytes[9]) << 8);
    const uint32_t recordLength =
        static_cast<uint8_t>(bytes[10]) | (static_cast<uint8_t>(bytes[11]) << 8);
    EXPECT_EQ(le32(bytes, 4), kept.size());
    ASSERT_EQ(bytes.size(), headerLength + kept.size() * recordLength + 1);
    EXPECT_EQ(static_cast<uint8_t>(bytes.back()), 0x1A);  // in both layouts
    reopen();
    EXPECT_EQ(liveIds(), kept);
    for (const Row& r : rows()) {
      EXPECT_FALSE(r.deleted);
      EXPECT_EQ(r.memo, input[static_cast<size_t>(r.id - 1)].memo);
    }
    table4close(table_);
    table_ = nullptr;
    std::remove(dir_.file("T.DBF").c_str());
    std::remove(dir_.file("T.FPT").c_str());
  }
}

TEST_F(PackTest, AllDeletedLeavesHeaderAndEofByte) {
  create({{1, true, ""}, {2, true, "x"}, {3, true, ""}}, false);
  ASSERT_EQ(table4pack(table_), 0);
  EXPECT_EQ(table4recCount(table_), 0);
  EXPECT_TRUE(table4bof(table_));
  EXPECT_TRUE(table4eof(table_));
  table4close(table_);
  table_ = nullptr;
  const std::string bytes = dbf();
  ASSERT_EQ(bytes.size(), 296u + 2 * 32 + 1);
  EXPECT_EQ(static_cast<uint8_t>(bytes.back()), 0x1A);
  EXPECT_EQ(le32(bytes, 4), 0u);
  reopen();
  EXPECT_EQ(table4top(table_), dbf::kEof);
}

TEST_F(PackTest, AnyFlagOtherThanBlankIsRemoved) {
  create({{1, false, ""}, {2, false, ""}, {3, false, ""}}, false);
  table4close(table_);
  table_ = nullptr;
  std::string bytes = dbf();
  const size_t record2 = 296 + 2 * 32 + 27;  // header, then record 1 of 27 bytes
  bytes[record2] = 'X';
  whtest::writeWhole(dir_.file("T.DBF"), bytes);
  reopen();
  ASSERT_EQ(table4pack(table_), 0);
  EXPECT_EQ(liveIds(), (std::vector<int>{1, 3}));
}

TEST_F(PackTest, ReadOnlyTableIsRefused) {
  create(mixedRows(5), false);
  table4close(table_);
  engine4free(&ctx_);
  init();
  ctx_.openReadOnly = 1;
  table_ = table4open(&ctx_, dir_.file("T.DBF").c_str());
  ASSERT_NE(table_, nullptr);
  const std::string before = dbf();
  EXPECT_EQ(table4pack(table_), dbf::kErrWrite);
  EXPECT_EQ(ctx_.errorLocation, 80606);
  EXPECT_EQ(dbf(), before);
  engine4errorSet(&ctx_, 0);
}

TEST_F(PackTest, ContextErrorStopsIt) {
  create(mixedRows(5), false);
  const std::string before = dbf();
  engine4error(&ctx_, dbf::kErrMemory, 1);
  EXPECT_EQ(table4pack(table_), dbf::kErrContextHoldsError);
  EXPECT_EQ(table4memoCompress(table_), dbf::kErrContextHoldsError);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(dbf(), before);
}

// Which system call fails, and how: the FaultOs setting that breaks the n-th
// call, and the counter of those calls.
struct Fault {
  const char* name;
  int FaultOs::*failAt;
  int FaultOs::*calls;
  bool packMakesIt;  // pack opens, closes and renames nothing (yet)
};

const Fault kEveryFault[] = {{"write", &FaultOs::failWriteAt, &FaultOs::writes, true},
                             {"short write", &FaultOs::shortWriteAt, &FaultOs::writes, true},
                             {"read", &FaultOs::failReadAt, &FaultOs::reads, true},
                             {"flush", &FaultOs::failFlushAt, &FaultOs::flushes, true},
                             {"set length", &FaultOs::failSetLengthAt, &FaultOs::setLengths, true},
                             {"open", &FaultOs::failOpenAt, &FaultOs::opens, false},
                             {"close", &FaultOs::failCloseAt, &FaultOs::closes, false},
                             {"rename", &FaultOs::failRenameAt, &FaultOs::renames, false}};

TEST_F(PackTest, FailureAtAnyCallKeepsEveryRecordExactlyOnce) {
  // Small buffers give many chunks; the deleted records sit everywhere.
  std::vector<Row> input;
  for (int i = 1; i <= 60; i++) input.push_back({i, i % 3 == 1 || (i > 20 && i < 26), ""});
  const std::vector<int> kept = keptIds(input);
  create(input, false);
  table4close(table_);
  table_ = nullptr;
  const std::string pristine = dbf();

  for (const Fault& kind : kEveryFault) {
    int calls = 0;
    {
      reopen();
      ctx_.copyBufferSize = 200;  // 7 records of 27 bytes
      FaultOs count;
      ASSERT_EQ(table4pack(table_), 0);
      calls = count.*kind.calls;
    }
    if (kind.packMakesIt) {
      ASSERT_GT(calls, 0) << kind.name;
    }
    for (int n = 1; n <= calls; n++) {
      SCOPED_TRACE(std::string(kind.name) + " #" + std::to_string(n));
      closeTable();
      whtest::writeWhole(dir_.file("T.DBF"), pristine);
      reopen();
      ctx_.copyBufferSize = 200;
      int rc = 0;
      {
        FaultOs fault;
        fault.*kind.failAt = n;
        rc = table4pack(table_);
      }
      engine4errorSet(&ctx_, 0);
      reopen();
      const std::vector<int> live = liveIds();
      EXPECT_EQ(live, kept) << "pack returned " << rc;
      if (rc == 0) {
        EXPECT_EQ(table4recCount(table_), static_cast<int32_t>(kept.size()));
      }
    }
  }
}

// --- memo compression ---

class CompressTest : public PackTest {};

TEST_F(CompressTest, MemosFollowEachOtherInRecordOrder) {
  std::vector<Row> input;
  for (int i = 1; i <= 12; i++)
    input.push_back({i, i == 5, i == 7 ? "" : std::string(100 + 90 * i, 'a' + i)});
  create(input);
  // Rewrite each memo once so that the file holds abandoned runs.
  for (int rc = table4top(table_); rc == 0; rc = table4skip(table_, 1)) {
    const int id = column4long(table4column(table_, 1));
    if (id == 7) continue;
    std::string text = input[static_cast<size_t>(id - 1)].memo + " rewritten, longer than before";
    text += std::string(400, '+');
    input[static_cast<size_t>(id - 1)].memo = text;
    assign("NOTE", text);
    ASSERT_EQ(table4flushRecord(table_, false), 0);
  }
  const size_t before = fpt().size();
  ASSERT_EQ(table4go(table_, 3), 0);
  ASSERT_EQ(table4memoCompress(table_), 0) << ctx_.errorCode;
  // The current record still reads its memo from the new file.
  uint32_t len = 0;
  const char* text = column4memoText(table4column(table_, 3), &len);
  EXPECT_EQ(std::string(text, len), input[2].memo);
  table4close(table_);
  table_ = nullptr;

  const std::string memo = fpt();
  EXPECT_LT(memo.size(), before);
  const uint32_t blockSize = static_cast<uint8_t>(memo[6]) << 8 | static_cast<uint8_t>(memo[7]);
  EXPECT_EQ(blockSize, 512u);
  EXPECT_EQ(memo.size() % blockSize, 0u);
  EXPECT_EQ(be32(memo, 0) * blockSize, memo.size());
  // Walk the runs: each starts where the previous ended, in record order.
  uint32_t block = 1;
  for (const Row& r : input) {
    if (r.memo.empty()) continue;
    ASSERT_LT(size_t{block} * blockSize + 8, memo.size());
    EXPECT_EQ(be32(memo, size_t{block} * blockSize), 1u);
    const uint32_t length = be32(memo, size_t{block} * blockSize + 4);
    EXPECT_EQ(memo.substr(size_t{block} * blockSize + 8, length), r.memo) << r.id;
    block += (length + 8 + blockSize - 1) / blockSize;
  }
  EXPECT_EQ(block, be32(memo, 0));

  reopen();
  for (const Row& r : rows()) EXPECT_EQ(r.memo, input[static_cast<size_t>(r.id - 1)].memo);
}

TEST_F(CompressTest, TableWithoutMemosCreatesNothing) {
  create(mixedRows(4), false);
  ASSERT_EQ(table4memoCompress(table_), 0);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    (void)entry;
    files++;
  }
  EXPECT_EQ(files, 1);
}

class CompressFaultTest : public PackTest, public ::testing::WithParamInterface<int> {};

// Shared tables copy the new memo file over the old one; exclusive ones
// rename it into place.
INSTANTIATE_TEST_SUITE_P(ShareModes, CompressFaultTest, ::testing::Values(0, 1));

TEST_P(CompressFaultTest, FailureAtAnyCallLosesNoMemo) {
  std::vector<Row> input;
  for (int i = 1; i <= 25; i++)
    input.push_back({i, i % 5 == 0, i % 6 == 0 ? "" : std::string(30 * i, 'A' + i % 26)});
  create(input);
  for (int rc = table4top(table_); rc == 0; rc = table4skip(table_, 1)) {
    const int id = column4long(table4column(table_, 1));
    if (id % 2 == 1 || input[static_cast<size_t>(id - 1)].memo.empty()) continue;
    input[static_cast<size_t>(id - 1)].memo += std::string(600, '#');
    assign("NOTE", input[static_cast<size_t>(id - 1)].memo);
    ASSERT_EQ(table4flushRecord(table_, false), 0);
  }
  table4close(table_);
  table_ = nullptr;
  const std::string pristineDbf = dbf();
  const std::string pristineFpt = fpt();

  for (const Fault& kind : kEveryFault) {
    int calls = 0;
    {
      reopen(GetParam());
      ctx_.copyBufferSize = 300;
      FaultOs count;
      ASSERT_EQ(table4memoCompress(table_), 0);
      calls = count.*kind.calls;
    }
    for (int n = 1; n <= calls; n++) {
      SCOPED_TRACE(std::string(kind.name) + " #" + std::to_string(n));
      closeTable();
      whtest::writeWhole(dir_.file("T.DBF"), pristineDbf);
      whtest::writeWhole(dir_.file("T.FPT"), pristineFpt);
      reopen(GetParam());
      ctx_.copyBufferSize = 300;
      int rc = 0;
      {
        FaultOs fault;
        fault.*kind.failAt = n;
        rc = table4memoCompress(table_);
      }
      engine4errorSet(&ctx_, 0);
      reopen();
      const std::vector<Row> after = rows();
      ASSERT_EQ(after.size(), input.size()) << "compression returned " << rc;
      for (const Row& r : after) {
        EXPECT_EQ(r.memo, input[static_cast<size_t>(r.id - 1)].memo)
            << "record " << r.id << ", rc " << rc;
        EXPECT_EQ(r.deleted, input[static_cast<size_t>(r.id - 1)].deleted);
      }
    }
  }
}

}  // namespace
