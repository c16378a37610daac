// Read-ahead of record reads: a Table that nobody else can write under (the
// file opened exclusively, or the Table holding the file lock) reads ahead,
// and must still see every write made through its context at once, and every
// write of another process once it lets others write again. A Table without
// the lock reads each record when it reaches it.
#include <map>
#include <random>
#include <string>

#include "tests/table/fixture.h"

using namespace tabletest;

namespace {

const ColumnDescription kWide[] = {{"V", 'C', 1000, 0, 0}, {nullptr, 0, 0, 0, 0}};

std::string valueOf(int record, int version) {
  return "r" + std::to_string(record) + "v" + std::to_string(version);
}

std::string stored(Table* t) {
  std::string text = columnText(t, 1);
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

int assignValue(Table* t, const std::string& text) {
  ColumnValue v(table4column(t, 1));
  return column4assign(&v, text.c_str());
}

// Random appends, rewrites and moves through two Tables of one context,
// against a map of what each record holds. In mode 1 both count as holding
// the file lock and the reader's read-ahead must follow the writer's writes;
// with mode 0 the reader takes the file lock and writes itself.
void runAgainstModel(EngineContext* ctx, uint8_t shareMode, unsigned seed) {
  const std::string name = "model" + std::to_string(seed);
  ctx->shareMode = 0;
  Table* fresh = table4create(ctx, name.c_str(), kWide, nullptr);
  ASSERT_NE(fresh, nullptr);
  ASSERT_EQ(table4close(fresh), 0);
  ctx->shareMode = shareMode;
  Table* reader = table4open(ctx, name.c_str());
  Table* writer = shareMode == 1 ? table4open(ctx, name.c_str()) : reader;
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(writer, nullptr);
  if (shareMode == 0) {
    ASSERT_EQ(table4lockFile(reader), 0);
  }
  std::map<int, std::string> model;
  std::mt19937 random(seed);
  int version = 0;
  for (int step = 0; step < 400; ++step) {
    const int count = static_cast<int>(model.size());
    const unsigned what = random() % 10;
    if (what < 3 || count == 0) {
      ASSERT_EQ(table4appendStart(writer, false), 0);
      ASSERT_EQ(table4blank(writer), 0);
      ASSERT_EQ(assignValue(writer, valueOf(count + 1, ++version)), 0);
      ASSERT_EQ(table4append(writer), 0);
      model[count + 1] = valueOf(count + 1, version);
    } else if (what < 6) {
      const int n = 1 + static_cast<int>(random() % count);
      ASSERT_EQ(table4go(writer, n), 0);
      ASSERT_EQ(assignValue(writer, valueOf(n, ++version)), 0);
      ASSERT_EQ(table4flushRecord(writer, false), 0);
      model[n] = valueOf(n, version);
    } else if (what < 8) {
      int seen = 0;
      for (int rc = table4top(reader); rc == 0; rc = table4skip(reader, 1)) {
        ++seen;
        ASSERT_EQ(stored(reader), model[table4recNo(reader)]) << "step " << step;
      }
      ASSERT_EQ(seen, count);
    } else {
      const int n = 1 + static_cast<int>(random() % count);
      ASSERT_EQ(table4go(reader, n), 0);
      ASSERT_EQ(stored(reader), model[n]) << "step " << step;
    }
  }
  if (writer != reader) {
    ASSERT_EQ(table4close(writer), 0);
  }
  ASSERT_EQ(table4close(reader), 0);
}

class ReadAhead : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    Table* t = table4create(&ctx_, "ra", kWide, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(table4close(t), 0);
  }
};

TEST_F(ReadAhead, ExclusiveTablesSeeEveryWriteOfTheirContext) {
  for (unsigned seed = 1; seed <= 3; ++seed) runAgainstModel(&ctx_, 1, seed);
}

TEST_F(ReadAhead, FileLockHolderSeesItsOwnWrites) {
  for (unsigned seed = 4; seed <= 6; ++seed) runAgainstModel(&ctx_, 0, seed);
}

// Another context has a file handle of its own: for locks and writes it is
// another process.
TEST_F(ReadAhead, WritesOfOthersAreSeenOnceTheyMayWrite) {
  Table* t = table4open(&ctx_, "ra");
  ASSERT_NE(t, nullptr);
  for (int i = 1; i <= 600; ++i) ASSERT_EQ(appendTexts(t, {valueOf(i, 0)}), 0);
  EngineContext other{};
  initContext(&other);
  Table* o = table4open(&other, "ra");
  ASSERT_NE(o, nullptr);

  // A walk under the file lock reads ahead; the other may write only after
  // it is released, and the next walk under the lock sees the change.
  ASSERT_EQ(table4lockFile(t), 0);
  ASSERT_EQ(table4top(t), 0);
  ASSERT_EQ(table4skip(t, 1), 0);
  ASSERT_EQ(table4unlock(t), 0);
  ASSERT_EQ(table4go(o, 3), 0);
  ASSERT_EQ(assignValue(o, "changed by the other"), 0);
  ASSERT_EQ(table4flushRecord(o, true), 0);
  ASSERT_EQ(appendTexts(o, {"appended by the other"}), 0);
  ASSERT_EQ(table4unlock(o), 0);
  ASSERT_EQ(table4lockFile(t), 0);
  ASSERT_EQ(table4top(t), 0);
  ASSERT_EQ(table4skip(t, 2), 0);
  EXPECT_EQ(stored(t), "changed by the other");
  ASSERT_EQ(table4go(t, 601), 0);
  EXPECT_EQ(stored(t), "appended by the other");
  ASSERT_EQ(table4unlock(t), 0);

  // Without the lock each record is read when it is reached.
  ASSERT_EQ(table4top(t), 0);
  ASSERT_EQ(table4skip(t, 1), 0);
  ASSERT_EQ(table4go(o, 3), 0);
  ASSERT_EQ(assignValue(o, "changed again"), 0);
  ASSERT_EQ(table4flushRecord(o, true), 0);
  ASSERT_EQ(table4skip(t, 1), 0);
  EXPECT_EQ(stored(t), "changed again");

  ASSERT_EQ(table4close(o), 0);
  engine4free(&other);
  ASSERT_EQ(table4close(t), 0);
}

}  // namespace
