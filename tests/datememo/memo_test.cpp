// Tests of the FPT memo file: header bytes, block allocation and rounding,
// in-place rewrite, reading in parts, hostile block numbers and lengths, the
// memo header lock, and two processes allocating at once.
#include "dbf/core/memo.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "dbf/core/table.h"
#include "tests/file/fault_os.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void spit(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
         b[at + 3];
}

class MemoFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("wh_memo_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ASSERT_EQ(engine4init(&ctx_, nullptr, kEngineVersion), 0);
    df_.ctx = &ctx_;
    std::snprintf(df_.fullName, sizeof df_.fullName, "%s", (dir_ / "T.DBF").c_str());
  }
  void TearDown() override {
    file4close(&df_.memo);
    file4close(&memo_);
    engine4free(&ctx_);
    fs::remove_all(dir_);
  }

  // Creates T.FPT with |blockSize| and opens it as the memo of df_.
  void createAndOpen(int16_t blockSize) {
    ctx_.memoBlockSize = blockSize;
    ASSERT_EQ(memo4fileCreate(&memo_, &ctx_, &df_, (dir_ / "T").c_str()), 0);
    ASSERT_EQ(file4close(&memo_), 0);
    ASSERT_EQ(memo4fileOpen(&df_), 0);
  }

  std::string readAll(int32_t block) {
    char* buffer = nullptr;
    uint32_t capacity = 0, length = 0;
    int32_t type = 0;
    EXPECT_EQ(memo4fileReadAll(&df_.memo, block, &buffer, &capacity, &length, &type), 0);
    std::string text(buffer != nullptr ? buffer : "", length);
    if (capacity > 0) heap4free(&ctx_, buffer);
    return text;
  }

  int32_t write(int32_t block, const std::string& text) {
    EXPECT_EQ(memo4fileWrite(&df_.memo, &block, text.data(), static_cast<uint32_t>(text.size())),
              0);
    return block;
  }

  fs::path fpt() const { return dir_ / "T.FPT"; }

  fs::path dir_;
  EngineContext ctx_{};
  DataFile df_{};
  DiskFile memo_;
};

TEST_F(MemoFile, NewFileHeaderBytes) {
  createAndOpen(512);
  const auto bytes = slurp(fpt());
  ASSERT_EQ(bytes.size(), 512u);
  EXPECT_EQ(be32(bytes, 0), 1u);  // next free block
  EXPECT_EQ(bytes[4], 0);
  EXPECT_EQ(bytes[5], 0);
  EXPECT_EQ(bytes[6], 0x02);  // block size 512, big-endian
  EXPECT_EQ(bytes[7], 0x00);
  for (size_t i = 8; i < 512; i++) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(df_.memo.memoBlockSize, 512u);
}

TEST_F(MemoFile, BlockSizesAndTheirFirstFreeBlock) {
  createAndOpen(64);
  EXPECT_EQ(be32(slurp(fpt()), 0), 8u);
  file4close(&df_.memo);
  fs::remove(fpt());

  createAndOpen(1024);  // larger than the header: block 1 follows it
  EXPECT_EQ(be32(slurp(fpt()), 0), 1u);
  EXPECT_EQ(write(0, "x"), 1);
  EXPECT_EQ(fs::file_size(fpt()), 2048u);
  file4close(&df_.memo);
  fs::remove(fpt());

  // 32 or less is raised to 33 in the context itself. 512 / 33 would place
  // block 15 inside the header; the first block is the first one past it.
  createAndOpen(20);
  EXPECT_EQ(ctx_.memoBlockSize, 33);
  const auto bytes = slurp(fpt());
  EXPECT_EQ(bytes[7], 33);
  EXPECT_EQ(be32(bytes, 0), 16u);
  EXPECT_EQ(write(0, "after the header"), 16);
  const auto after = slurp(fpt());
  EXPECT_TRUE(std::equal(bytes.begin() + 8, bytes.begin() + 512, after.begin() + 8));
}

TEST_F(MemoFile, NamedCreateForcesTheExtension) {
  ctx_.memoBlockSize = 512;
  ASSERT_EQ(memo4fileCreate(&memo_, &ctx_, &df_, (dir_ / "other.dbt").c_str()), 0);
  file4close(&memo_);
  EXPECT_TRUE(fs::exists(dir_ / "OTHER.FPT"));
  EXPECT_FALSE(fs::exists(dir_ / "OTHER.DBT"));
}

TEST_F(MemoFile, FirstMemoAllocationAndRounding) {
  createAndOpen(512);
  const std::string hundred(100, 'a');
  EXPECT_EQ(write(0, hundred), 1);
  auto bytes = slurp(fpt());
  ASSERT_EQ(bytes.size(), 1024u);
  EXPECT_EQ(be32(bytes, 0), 2u);
  EXPECT_EQ(be32(bytes, 512), 1u);    // type: text
  EXPECT_EQ(be32(bytes, 516), 100u);  // length
  EXPECT_EQ(std::string(bytes.begin() + 520, bytes.begin() + 620), hundred);

  // 600 bytes and their header take two blocks.
  EXPECT_EQ(write(0, std::string(600, 'b')), 2);
  bytes = slurp(fpt());
  EXPECT_EQ(bytes.size(), 2048u);
  EXPECT_EQ(be32(bytes, 0), 4u);
  EXPECT_EQ(readAll(2), std::string(600, 'b'));
  EXPECT_EQ(readAll(1), hundred);
}

TEST_F(MemoFile, RewriteInPlaceOnlyWhenTheRunHoldsIt) {
  createAndOpen(512);
  int32_t block = write(0, std::string(100, 'a'));
  const int32_t neighbour = write(0, "neighbour");
  EXPECT_EQ(write(block, std::string(504, 'c')), block);  // 504 + 8 fills one block
  EXPECT_EQ(readAll(block), std::string(504, 'c'));
  EXPECT_EQ(readAll(neighbour), "neighbour");

  // A 510-byte memo counts as ceil(510 / 512) = 1 block, but 518 bytes need 2.
  block = write(0, std::string(510, 'd'));
  const int32_t moved = write(block, std::string(510, 'e'));
  EXPECT_NE(moved, block);
  EXPECT_EQ(readAll(moved), std::string(510, 'e'));
  EXPECT_EQ(readAll(block), std::string(510, 'd'));  // the old run is abandoned, not erased
}

TEST_F(MemoFile, EmptyMemosWriteNothing) {
  createAndOpen(512);
  int32_t block = write(0, "some text");
  const auto before = slurp(fpt());
  EXPECT_EQ(write(block, ""), 0);
  EXPECT_EQ(slurp(fpt()), before);
  EXPECT_EQ(readAll(0), "");
  EXPECT_EQ(readAll(-3), "");
}

TEST_F(MemoFile, ReadInPartsAndGrowTheBuffer) {
  createAndOpen(64);
  std::string text;
  for (int i = 0; i < 300; i++) text += static_cast<char>('A' + i % 26);
  const int32_t block = write(0, text);

  // A capacity of 0 marks a shared text that must not be freed.
  static char shared[1] = {0};
  char* buffer = shared;
  uint32_t capacity = 0, length = 0;
  int32_t type = 0;
  ASSERT_EQ(memo4fileRead(&df_.memo, block, &buffer, &capacity, 10, 20, &length, &type), 0);
  EXPECT_NE(buffer, shared);
  EXPECT_EQ(length, 20u);
  EXPECT_GT(capacity, length);
  EXPECT_EQ(type, kMemoTypeText);
  EXPECT_EQ(std::string(buffer, length), text.substr(10, 20));

  char* const kept = buffer;
  ASSERT_EQ(memo4fileRead(&df_.memo, block, &buffer, &capacity, 290, 100, &length, &type), 0);
  EXPECT_EQ(buffer, kept);  // 10 bytes fit: no new buffer
  EXPECT_EQ(std::string(buffer, length), text.substr(290));
  ASSERT_EQ(memo4fileRead(&df_.memo, block, &buffer, &capacity, 400, 100, &length, &type), 0);
  EXPECT_EQ(length, 0u);
  heap4free(&ctx_, buffer);
}

TEST_F(MemoFile, WrittenInPieces) {
  createAndOpen(64);
  const std::string text = "first part|second part|third";
  int32_t block = 0;
  ASSERT_EQ(memo4fileWritePart(&df_.memo, &block, text.data(), 28, 0, 11, 7), 0);
  ASSERT_EQ(memo4fileWritePart(&df_.memo, &block, text.data() + 11, 28, 11, 12, 7), 0);
  ASSERT_EQ(memo4fileWritePart(&df_.memo, &block, text.data() + 23, 28, 23, 5, 7), 0);
  char* buffer = nullptr;
  uint32_t capacity = 0, length = 0;
  int32_t type = 0;
  ASSERT_EQ(memo4fileReadAll(&df_.memo, block, &buffer, &capacity, &length, &type), 0);
  EXPECT_EQ(std::string(buffer, length), text);
  EXPECT_EQ(type, 7);  // copies keep the type they were read with
  EXPECT_EQ(fs::file_size(fpt()) % 64, 0u);
  heap4free(&ctx_, buffer);
  // A continuation beyond the memo's total is refused.
  EXPECT_LT(memo4fileWritePart(&df_.memo, &block, text.data(), 28, 20, 20, 7), 0);
}

TEST_F(MemoFile, HostileBlockNumbersAndLengths) {
  createAndOpen(512);
  const int32_t block = write(0, "hello");
  char* buffer = nullptr;
  uint32_t capacity = 0, length = 0;

  // A block past the end of the file.
  EXPECT_EQ(memo4fileReadAll(&df_.memo, 1000, &buffer, &capacity, &length, nullptr), dbf::kErrRead);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(memo4fileReadAll(&df_.memo, INT32_MAX, &buffer, &capacity, &length, nullptr),
            dbf::kErrRead);
  engine4errorSet(&ctx_, 0);

  // A length claiming 4 GB: refused without allocating it.
  auto bytes = slurp(fpt());
  bytes[516] = bytes[517] = bytes[518] = bytes[519] = 0xFF;
  file4close(&df_.memo);
  spit(fpt(), bytes);
  ASSERT_EQ(memo4fileOpen(&df_), 0);
  EXPECT_EQ(memo4fileReadAll(&df_.memo, block, &buffer, &capacity, &length, nullptr),
            dbf::kErrRead);
  EXPECT_EQ(capacity, 0u);
  engine4errorSet(&ctx_, 0);
  // Nor may such a length let a rewrite spill over what follows.
  int32_t again = block;
  ASSERT_EQ(memo4fileWrite(&df_.memo, &again, "x", 1), 0);
  EXPECT_NE(again, block);
}

TEST_F(MemoFile, HostileNextFreeBlockNeverOverwritesStoredMemos) {
  createAndOpen(512);
  const int32_t first = write(0, "first memo");
  const int32_t second = write(0, std::string(700, 's'));
  for (uint32_t next : {0u, 1u, 2u}) {
    auto bytes = slurp(fpt());
    bytes[0] = bytes[1] = bytes[2] = 0;
    bytes[3] = static_cast<uint8_t>(next);
    file4close(&df_.memo);
    spit(fpt(), bytes);
    ASSERT_EQ(memo4fileOpen(&df_), 0);
    const int32_t fresh = write(0, "new memo " + std::to_string(next));
    EXPECT_GE(fresh, 4) << next;  // past the header and the stored memos
    EXPECT_EQ(readAll(first), "first memo");
    EXPECT_EQ(readAll(second), std::string(700, 's'));
    EXPECT_EQ(readAll(fresh), "new memo " + std::to_string(next));
  }
}

TEST_F(MemoFile, OpenRejectsBlockSizeZeroAndShortHeaders) {
  createAndOpen(512);
  file4close(&df_.memo);
  auto bytes = slurp(fpt());
  bytes[6] = bytes[7] = 0;
  spit(fpt(), bytes);
  EXPECT_EQ(memo4fileOpen(&df_), dbf::kErrData);
  EXPECT_FALSE(df_.memo.isOpen);
  engine4errorSet(&ctx_, 0);

  spit(fpt(), std::vector<uint8_t>{0, 0, 0, 1, 0});
  EXPECT_LT(memo4fileOpen(&df_), 0);
  EXPECT_FALSE(df_.memo.isOpen);
  engine4errorSet(&ctx_, 0);

  fs::remove(fpt());
  ctx_.reportOpenErrors = 1;
  EXPECT_LT(memo4fileOpen(&df_), 0);
}

TEST_F(MemoFile, TemporaryMemoBesideTheDataFile) {
  ctx_.memoBlockSize = 64;
  ASSERT_EQ(memo4fileCreate(&memo_, &ctx_, &df_, nullptr), 0);
  const fs::path made(memo_.name);
  EXPECT_EQ(made.parent_path(), dir_);
  const std::string leaf = made.filename().string();
  ASSERT_EQ(leaf.size(), 12u);
  EXPECT_EQ(leaf.substr(0, 4), "TEMP");
  EXPECT_EQ(leaf.substr(8), ".TMP");
  EXPECT_EQ(fs::file_size(made), 512u);
  EXPECT_TRUE(memo_.deleteOnClose);
  file4close(&memo_);
  EXPECT_FALSE(fs::exists(made));
}

TEST_F(MemoFile, TemporaryMemoNeverReplacesAFile) {
  // Occupy the name of the present second and the next few.
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  for (int i = 0; i < 3; i++) {
    char leaf[16];
    std::snprintf(leaf, sizeof leaf, "TEMP%04d.TMP", static_cast<int>((now + i) % 10000));
    spit(dir_ / leaf, std::vector<uint8_t>{'k', 'e', 'e', 'p'});
  }
  ctx_.memoBlockSize = 64;
  ASSERT_EQ(memo4fileCreate(&memo_, &ctx_, &df_, nullptr), 0);
  for (const auto& entry : fs::directory_iterator(dir_)) {
    if (entry.path() == fs::path(memo_.name)) continue;
    EXPECT_EQ(slurp(entry.path()), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  }
}

TEST_F(MemoFile, HeaderLockWaitsUntilObtained) {
  createAndOpen(512);
  // The other holder has its own context, as another thread would.
  EngineContext otherCtx{};
  ASSERT_EQ(engine4init(&otherCtx, nullptr, kEngineVersion), 0);
  DiskFile other;
  ASSERT_EQ(file4open(&other, &otherCtx, fpt().c_str(), true), 0);
  ASSERT_EQ(file4lock(&other, kLockBase, 1), 0);

  ctx_.lockAttempts = 1;  // would give up at once; the memo lock must not
  ctx_.lockRetryDelay = 5;
  std::atomic<bool> released{false};
  std::thread holder([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    released = true;
    file4unlock(&other, kLockBase, 1);
  });
  EXPECT_EQ(memo4fileLock(&df_.memo), 0);
  EXPECT_TRUE(released);
  holder.join();
  EXPECT_EQ(ctx_.lockAttempts, 1);
  EXPECT_EQ(df_.memoLockCount, 1);
  EXPECT_EQ(memo4fileLock(&df_.memo), 0);  // held: no second system lock
  EXPECT_EQ(memo4fileUnlock(&df_.memo), 0);
  EXPECT_EQ(df_.memoLockCount, 0);
  // Released: another handle gets it at once.
  otherCtx.lockAttempts = 1;
  EXPECT_EQ(file4lock(&other, kLockBase, 1), 0);
  file4unlock(&other, kLockBase, 1);
  file4close(&other);
  engine4free(&otherCtx);
}

TEST_F(MemoFile, AllocationOnlyUnderTheHeaderLock) {
  createAndOpen(512);
  int32_t block = write(0, "first");
  {
    whtest::FaultOs fault;
    block = write(block, "rewritten in place");  // no allocation, no lock
    EXPECT_TRUE(fault.lockCalls.empty());
    write(0, "a new run");
    ASSERT_EQ(fault.lockCalls.size(), 1u);
    EXPECT_EQ(fault.lockCalls[0], (std::pair<int64_t, int64_t>{0x40000000, 1}));
    EXPECT_EQ(fault.unlocks, 1);
    EXPECT_EQ(df_.memoLockCount, 0);

    // Held by the caller (pack, memo compression): neither taken nor released.
    ASSERT_EQ(memo4fileLock(&df_.memo), 0);
    const int locks = fault.locks;
    const int unlocks = fault.unlocks;
    write(0, "another run");
    EXPECT_EQ(fault.locks, locks);
    EXPECT_EQ(fault.unlocks, unlocks);
    EXPECT_EQ(df_.memoLockCount, 1);
    ASSERT_EQ(memo4fileUnlock(&df_.memo), 0);
  }
  EXPECT_EQ(readAll(block), "rewritten in place");
}

TEST_F(MemoFile, FailedAllocationLeavesTheNextFreeBlock) {
  createAndOpen(512);
  const int32_t first = write(0, "first");
  const uint32_t nextBefore = be32(slurp(fpt()), 0);
  int32_t block = first;
  const std::string longer(2000, 'l');
  {
    whtest::FaultOs fault;
    fault.failWriteAt = 1;  // the header's next free block
    EXPECT_EQ(memo4fileWrite(&df_.memo, &block, longer.data(), 2000), dbf::kErrWrite);
  }
  EXPECT_EQ(block, first);
  EXPECT_EQ(be32(slurp(fpt()), 0), nextBefore);
  EXPECT_EQ(df_.memoLockCount, 0);  // released on the way out
  engine4errorSet(&ctx_, 0);
  {
    // The run was allocated, its data write fails: the caller keeps the old
    // reference, the new blocks stay unreferenced.
    whtest::FaultOs fault;
    fault.failWriteAt = 2;
    EXPECT_EQ(memo4fileWrite(&df_.memo, &block, longer.data(), 2000), dbf::kErrWrite);
  }
  EXPECT_EQ(block, first);
  EXPECT_EQ(be32(slurp(fpt()), 0), nextBefore + 4);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(readAll(first), "first");
}

// Several processes allocate at once: no block is given twice, and no memo is
// cut off by another process rounding the file's length.
TEST_F(MemoFile, ProcessesNeverReceiveTheSameBlocks) {
  createAndOpen(64);
  file4close(&df_.memo);
  constexpr int kPerProcess = 200;
  constexpr int kProcesses = 3;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; p++) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      EngineContext ctx{};
      engine4init(&ctx, nullptr, kEngineVersion);
      DataFile df{};
      df.ctx = &ctx;
      std::snprintf(df.fullName, sizeof df.fullName, "%s", df_.fullName);
      if (memo4fileOpen(&df) != 0) _exit(2);
      std::ofstream log(dir_ / ("blocks" + std::to_string(p)));
      for (int i = 0; i < kPerProcess; i++) {
        const std::string text = "process " + std::to_string(p) + " memo " + std::to_string(i) +
                                 std::string(static_cast<size_t>(i % 90), '.');
        int32_t block = 0;
        if (memo4fileWrite(&df.memo, &block, text.data(), static_cast<uint32_t>(text.size())) !=
            0) {
          _exit(3);
        }
        log << block << ' ' << i << '\n';
      }
      log.close();
      file4close(&df.memo);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  ASSERT_EQ(memo4fileOpen(&df_), 0);
  std::set<int32_t> seen;
  for (int p = 0; p < kProcesses; p++) {
    std::ifstream log(dir_ / ("blocks" + std::to_string(p)));
    int32_t block = 0;
    int i = 0;
    int lines = 0;
    while (log >> block >> i) {
      EXPECT_TRUE(seen.insert(block).second) << "block " << block << " given twice";
      EXPECT_EQ(readAll(block), "process " + std::to_string(p) + " memo " + std::to_string(i) +
                                    std::string(static_cast<size_t>(i % 90), '.'));
      lines++;
    }
    EXPECT_EQ(lines, kPerProcess);
  }
  EXPECT_EQ(fs::file_size(fpt()) % 64, 0u);
}

}  // namespace
