// Sequential reader and writer: contents, the 1024-byte chunk alignment seen
// at the operating-system interface, and their errors.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "tests/file/fault_os.h"
#include "tests/file/test_util.h"

using namespace dbf;
using whtest::Context;

namespace {

using Calls = std::vector<std::pair<int64_t, uint32_t>>;

class SeqTest : public ::testing::Test {
 protected:
  whtest::ScratchDir dir;
  Context c;
  DiskFile f;

  void openWith(const std::string& contents) {
    whtest::writeWhole("SEQ.DBF", contents);
    ASSERT_EQ(file4open(&f, &c, "SEQ.DBF", false), 0);
  }
  void TearDown() override { file4close(&f); }
};

}  // namespace

TEST_F(SeqTest, ReaderChunksStartOn1024ByteBoundaries) {
  const std::string data = whtest::pattern(10000);
  openWith(data);
  whtest::FaultOs os;
  std::vector<char> buffer(4096 + 100);  // rounded down to 4096
  FileSeqReader r;
  ASSERT_EQ(file4seqReadInit(&r, &f, 1000, buffer.data(), buffer.size()), 0);
  EXPECT_EQ(r.bufferSize, 4096u);
  std::string got;
  char piece[777];
  for (uint32_t n; (n = file4seqRead(&r, piece, sizeof piece)) > 0;) got.append(piece, n);
  EXPECT_EQ(got, data.substr(1000));
  ASSERT_GE(os.readCalls.size(), 4u);
  EXPECT_EQ(Calls(os.readCalls.begin(), os.readCalls.begin() + 3),
            (Calls{{1000, 3096}, {4096, 4096}, {8192, 4096}}));
  for (size_t i = 3; i < os.readCalls.size(); i++) {
    EXPECT_EQ(os.readCalls[i], (std::pair<int64_t, uint32_t>{10000, 4096})) << "end of file";
  }
  EXPECT_EQ(c.errorCode, 0);
}

TEST_F(SeqTest, ReaderWithoutABufferReadsDirectly) {
  openWith(whtest::pattern(3000));
  whtest::FaultOs os;
  char small[1000];
  FileSeqReader r;
  ASSERT_EQ(file4seqReadInit(&r, &f, 10, small, sizeof small), 0);
  EXPECT_EQ(r.bufferSize, 0u);
  char out[50];
  EXPECT_EQ(file4seqRead(&r, out, 50), 50u);
  EXPECT_EQ(file4seqRead(&r, out, 50), 50u);
  EXPECT_EQ(os.readCalls, (Calls{{10, 50}, {60, 50}}));
  EXPECT_EQ(std::string(out, 50), whtest::pattern(3000).substr(60, 50));
}

TEST_F(SeqTest, ReadAllPastTheEndIsAnError) {
  openWith(whtest::pattern(1500));
  std::vector<char> buffer(2048);
  FileSeqReader r;
  ASSERT_EQ(file4seqReadInit(&r, &f, 0, buffer.data(), buffer.size()), 0);
  std::vector<char> out(2000);
  EXPECT_EQ(file4seqReadAll(&r, out.data(), 1000), 0);
  EXPECT_EQ(file4seqReadAll(&r, out.data(), 1000), kErrRead);
  EXPECT_EQ(c.errorLocation, 90702);
  EXPECT_EQ(file4seqReadAll(&r, out.data(), 1), -1) << "the context holds the error";
  engine4errorSet(&c, 0);
}

TEST_F(SeqTest, FailedRefillIsReportedByTheReader) {
  openWith(whtest::pattern(5000));
  whtest::FaultOs os;
  os.failReadAt = 2;
  std::vector<char> buffer(1024);
  FileSeqReader r;
  ASSERT_EQ(file4seqReadInit(&r, &f, 0, buffer.data(), buffer.size()), 0);
  std::vector<char> out(3000);
  EXPECT_EQ(file4seqRead(&r, out.data(), 3000), 1024u);
  EXPECT_EQ(c.errorCode, kErrRead);
  EXPECT_EQ(c.errorLocation, 90701);
  engine4errorSet(&c, 0);
}

TEST_F(SeqTest, WriterGathersIntoAlignedChunks) {
  openWith(std::string(1000, '-'));
  whtest::FaultOs os;
  std::vector<char> buffer(2048 + 1000);  // rounded down to 2048
  FileSeqWriter w;
  ASSERT_EQ(file4seqWriteInit(&w, &f, 1000, buffer.data(), buffer.size()), 0);
  const std::string data = whtest::pattern(5000);
  for (size_t i = 0; i < data.size(); i += 700) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(700, data.size() - i));
    ASSERT_EQ(file4seqWrite(&w, data.data() + i, n), 0);
  }
  EXPECT_EQ(os.writeCalls, (Calls{{1000, 1048}, {2048, 2048}}));
  ASSERT_EQ(file4seqWriteFlush(&w), 0);
  EXPECT_EQ(os.writeCalls.back(), (std::pair<int64_t, uint32_t>{4096, 1904}));
  // After a flush the next chunk only fills up to the next boundary again.
  ASSERT_EQ(file4seqWrite(&w, "0123456789", 10), 0);
  EXPECT_EQ(w.free, 2048u - 10 - (6000 % 1024));
  ASSERT_EQ(file4seqWriteFlush(&w), 0);
  file4close(&f);
  EXPECT_EQ(whtest::readWhole("SEQ.DBF"), std::string(1000, '-') + data + "0123456789");
}

TEST_F(SeqTest, RepeatedBytesGoInPiecesOfAtMost512) {
  openWith("");
  whtest::FaultOs os;
  FileSeqWriter w;
  ASSERT_EQ(file4seqWriteInit(&w, &f, 0, nullptr, 0), 0);
  ASSERT_EQ(file4seqWriteRepeat(&w, 1300, ' '), 0);
  EXPECT_EQ(os.writeCalls, (Calls{{0, 512}, {512, 512}, {1024, 276}}));
  ASSERT_EQ(file4seqWriteRepeat(&w, 0, 'x'), 0);
  file4close(&f);
  EXPECT_EQ(whtest::readWhole("SEQ.DBF"), std::string(1300, ' '));
}

TEST_F(SeqTest, FullDeviceStopsTheWriterWithMinus120) {
  openWith("");
  whtest::FaultOs os;
  os.diskFree = 3000;
  std::vector<char> buffer(1024);
  FileSeqWriter w;
  ASSERT_EQ(file4seqWriteInit(&w, &f, 0, buffer.data(), buffer.size()), 0);
  const std::string data = whtest::pattern(10000);
  int rc = 0;
  for (size_t i = 0; i < data.size() && rc == 0; i += 1000) {
    rc = file4seqWrite(&w, data.data() + i, 1000);
  }
  EXPECT_EQ(rc, kErrWrite);
  EXPECT_EQ(c.errorCode, kErrWrite);
  EXPECT_EQ(c.errorLocation, 90704);
  EXPECT_EQ(file4seqWrite(&w, "x", 1), kErrContextHoldsError);
  EXPECT_EQ(file4seqWriteFlush(&w), kErrContextHoldsError);
  engine4errorSet(&c, 0);
  // What fitted is there and intact.
  EXPECT_EQ(whtest::readWhole("SEQ.DBF"), data.substr(0, 3000));
}

TEST_F(SeqTest, FailedFlushOfTheWriterIsReported) {
  openWith("");
  whtest::FaultOs os;
  os.failWriteAt = 1;
  std::vector<char> buffer(1024);
  FileSeqWriter w;
  ASSERT_EQ(file4seqWriteInit(&w, &f, 0, buffer.data(), buffer.size()), 0);
  ASSERT_EQ(file4seqWrite(&w, "abc", 3), 0);
  EXPECT_EQ(file4seqWriteFlush(&w), kErrWrite);
  EXPECT_EQ(c.errorLocation, 90705);
  engine4errorSet(&c, 0);
}
