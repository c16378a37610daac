// Index files are untrusted input: each kind of damage ends in an error code
// (never a crash, an endless loop or a read outside a node), random damage
// too, and a tree that does not hold together in a shared file is read again
// a bounded number of times, the last under the index lock, before the file
// is reported damaged; when it mends meanwhile, the reader goes on.
#include <functional>
#include <random>

#include "dbf/core/os.h"
#include "tests/index/support.h"

using namespace cdxtest;
using namespace dbf;

namespace {

constexpr size_t kNameHeader = 0x400;  // mid.cdx: tag NAME (key length 10)
constexpr size_t kNameRoot = 0x1600;   // its root, an interior node of 4 entries
constexpr int kNameKey = 10;

size_t childEntry(size_t node, int i) {
  return node + 12 + static_cast<size_t>(i) * (kNameKey + 8);
}
size_t childOf(const std::vector<uint8_t>& b, size_t node, int i) {
  return be32(b, childEntry(node, i) + kNameKey + 4);
}

// Moves through every tag every way there is; the first failure, or 0. A walk
// that does not end within far more steps than the file has keys is a hang.
int walkEverything(Table* t) {
  for (Tag* tag : tagsOf(t)) {
    int steps = 0;
    for (int rc = order4top(tag); rc == 0 && order4eof(tag) == 0 && ++steps < 100000;)
      if (order4skip(tag, 1) != 1) break;
    EXPECT_LT(steps, 100000) << tag->name;
    steps = 0;
    for (int rc = order4bottom(tag); rc == 0 && order4eof(tag) == 0 && ++steps < 100000;)
      if (order4skip(tag, -1) != -1) break;
    EXPECT_LT(steps, 100000) << tag->name;
    const std::string probe(tag->header.keyLength, 'M');
    order4seek(tag, probe.data(), static_cast<int>(probe.size()));
    order4go(tag, probe.data(), 1);
    order4skip(tag, -1000);
    if (t->ctx->errorCode < 0) return t->ctx->errorCode;
  }
  return 0;
}

class Hostile : public IndexTest {
 protected:
  // Opens |sample| after |damage| changed its .CDX bytes: the code of the
  // open, else of walking it.
  int openDamaged(const std::string& sample,
                  const std::function<void(std::vector<uint8_t>&)>& damage) {
    const fs::path cdx = copySample(sample);
    auto bytes = slurp(cdx);
    damage(bytes);
    spit(cdx, bytes);
    Table* t = open(sample);
    if (t == nullptr) return ctx_.errorCode;
    const int rc = walkEverything(t);
    table4close(t);
    return rc;
  }
};

TEST_F(Hostile, EachKindOfDamageIsAnErrorCode) {
  using Bytes = std::vector<uint8_t>;
  const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
      {"root outside the file", [](Bytes& b) { put32(b, kNameHeader, 0x7FFFF000); }},
      {"root not on a unit", [](Bytes& b) { put32(b, kNameHeader, kNameRoot + 100); }},
      {"child outside the file",
       [](Bytes& b) { putBe32(b, childEntry(kNameRoot, 0) + kNameKey + 4, 0x100000); }},
      {"child is its own parent",
       [](Bytes& b) { putBe32(b, childEntry(kNameRoot, 3) + kNameKey + 4, kNameRoot); }},
      {"sibling cycle",
       [](Bytes& b) {
         const size_t first = childOf(b, kNameRoot, 0), second = childOf(b, kNameRoot, 1);
         put32(b, first + 4, static_cast<uint32_t>(second));  // first's left
         put32(b, second + 8, static_cast<uint32_t>(first));  // second's right
       }},
      {"sibling that does not point back",
       [](Bytes& b) { put32(b, childOf(b, kNameRoot, 1) + 8, childOf(b, kNameRoot, 3)); }},
      {"leaf key count beyond the node", [](Bytes& b) { b[childOf(b, kNameRoot, 0) + 2] = 0xFF; }},
      {"interior key count beyond the node", [](Bytes& b) { b[kNameRoot + 2] = 60; }},
      {"bit widths that overlap", [](Bytes& b) { b[childOf(b, kNameRoot, 2) + 20] = 20; }},
      {"masks that do not match the widths",
       [](Bytes& b) { b[childOf(b, kNameRoot, 2) + 18] = 0xFF; }},
      {"key expression without its zero",
       [](Bytes& b) {
         std::fill(b.begin() + kNameHeader + 512, b.begin() + kNameHeader + 1024, 'N');
       }},
      {"key length the expression does not make", [](Bytes& b) { b[kNameHeader + 12] = 11; }},
      {"unknown collating sequence", [](Bytes& b) { b[kNameHeader + 494] = 'X'; }},
      {"directory root missing", [](Bytes& b) { put32(b, 0, 0); }},
      {"not a compact index", [](Bytes& b) { b[14] = 0x40; }},
      {"file cut short", [](Bytes& b) { b.resize(0x1200); }},
  };
  for (const auto& [what, damage] : cases) {
    EXPECT_EQ(openDamaged("mid", damage), kErrIndex) << what;
    engine4errorSet(&ctx_, 0);
  }
  // A FOR expression that is not logical.
  EXPECT_EQ(openDamaged("small", [](Bytes& b) { b[0x1800 + 512 + 5 + 4] = '+'; }), kErrIndex);
}

TEST_F(Hostile, GeneralCollationNeedsAKnownCodePage) {
  copySample("general");
  auto dbf = slurp("GENERAL.DBF");
  dbf[29] = 2;
  spit("GENERAL.DBF", dbf);
  EXPECT_EQ(open("general"), nullptr);
  EXPECT_EQ(ctx_.errorCode, kErrParameter);
}

TEST_F(Hostile, RandomDamageNeverCrashesOrHangs) {
  std::mt19937 random(2024);
  for (const char* sample : {"mid", "small"}) {
    copySample(sample);
    const std::string upper = upperCase(sample);
    const auto pristine = slurp(sampleDir() / (std::string(sample) + ".cdx"));
    for (int round = 0; round < 300; ++round) {
      auto bytes = pristine;
      const int changes = 1 + static_cast<int>(random() % 8);
      for (int i = 0; i < changes; ++i)
        bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
      spit(upper + ".CDX", bytes);
      Table* t = open(sample);
      const int rc = t == nullptr ? ctx_.errorCode : walkEverything(t);
      EXPECT_LE(rc, 0) << round;
      if (t != nullptr) {
        EXPECT_EQ(table4close(t), rc) << round;
      }
      engine4errorSet(&ctx_, 0);
    }
  }
}

// The platform's own interface with a clock that moves a second per reading,
// sleeps that only count, an action on the first sleep, and the index lock
// calls recorded.
struct ShiftingOs {
  static ShiftingOs*& current() {
    static ShiftingOs* instance = nullptr;
    return instance;
  }
  ShiftingOs() {
    current() = this;
    table = *os4platform();
    table.clock = [](int64_t* s, int32_t* ms) {
      *s = ++current()->seconds;
      *ms = 0;
    };
    table.sleep = [](int32_t) {
      if (current()->sleeps++ == 0 && current()->onFirstSleep) current()->onFirstSleep();
    };
    table.lock = [](int64_t h, int64_t pos, int64_t len) {
      if (pos == kLockIndexFile) ++current()->indexLocks;
      return os4platform()->lock(h, pos, len);
    };
    table.unlock = [](int64_t h, int64_t pos, int64_t len) {
      if (pos == kLockIndexFile) ++current()->indexUnlocks;
      return os4platform()->unlock(h, pos, len);
    };
    previous = os4set(&table);
  }
  ~ShiftingOs() {
    os4set(previous);
    current() = nullptr;
  }
  OsInterface table{};
  const OsInterface* previous = nullptr;
  int64_t seconds = 1000;
  int sleeps = 0, indexLocks = 0, indexUnlocks = 0;
  std::function<void()> onFirstSleep;
};

// A leaf whose last record does not match its parent's entry: in a shared
// file that is a tree changing under the reader.
std::vector<uint8_t> withStaleParent(std::vector<uint8_t> bytes) {
  putBe32(bytes, childEntry(kNameRoot, 0) + kNameKey, 299);
  return bytes;
}

TEST_F(Hostile, SharedFileThatStaysInconsistentIsReportedAfterBoundedRestarts) {
  engine4free(&ctx_);
  init(0);
  const fs::path cdx = copySample("mid");
  spit(cdx, withStaleParent(slurp(cdx)));
  Table* t = open("mid");
  ASSERT_NE(t, nullptr);
  Tag* tag = table4tagByName(t, "NAME");
  ShiftingOs os;
  EXPECT_EQ(order4top(tag), kErrIndex);
  EXPECT_EQ(ctx_.errorLocation, 81606);
  EXPECT_EQ(os.sleeps, 3);  // one wait for the second to turn per restart
  EXPECT_EQ(os.indexLocks, 1);
  EXPECT_EQ(os.indexUnlocks, 1);
  engine4errorSet(&ctx_, 0);
  EXPECT_EQ(table4close(t), 0);
}

TEST_F(Hostile, SharedFileThatMendsIsReadAfterARestart) {
  engine4free(&ctx_);
  init(0);
  const fs::path cdx = copySample("mid");
  const auto good = slurp(cdx);
  spit(cdx, withStaleParent(good));
  Table* t = open("mid");
  ASSERT_NE(t, nullptr);
  Tag* tag = table4tagByName(t, "NAME");
  ShiftingOs os;
  os.onFirstSleep = [&] { spit(cdx, good); };
  EXPECT_EQ(order4top(tag), 0);
  EXPECT_EQ(os.sleeps, 1);
  EXPECT_EQ(os.indexLocks, 0);
  EXPECT_EQ(order4recNo(tag), oracleDump(cdx, "NAME").front().record);
  EXPECT_EQ(table4close(t), 0);
}

}  // namespace
