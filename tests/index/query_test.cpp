// Queries narrowed through tags against the same queries as plain scans:
// random conditions over indexed (also case-blind) and unindexed columns and
// expressions (=, #, <>, <, <=, >, >=, text prefixes and texts longer than
// the column, constants on either side, .AND. and .OR.) find the same records
// in the same order, forwards and backwards, in record order and in the order
// of a selected tag; tags that must not answer (FOR, unique in mode 25) do
// not; and a narrow condition reads only the records it may match.
#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "dbf/expr/query.h"
#include "dbf/index/build.h"
#include "tests/file/fault_os.h"
#include "tests/index/support.h"

using namespace cdxtest;
using namespace dbf;

namespace {

const ColumnDescription kColumns[] = {
    {"NAME", 'C', 6, 0, 0}, {"CODE", 'C', 3, 0, 0}, {"AMT", 'N', 7, 2, 0}, {"QTY", 'N', 4, 0, 0},
    {"FLAG", 'L', 1, 0, 0}, {"NOTE", 'C', 4, 0, 0}, {nullptr, 0, 0, 0, 0}};

constexpr int kRecords = 1500;

std::string randomText(std::mt19937& rng, const char* alphabet, int maxLength) {
  std::string s;
  const int n = static_cast<int>(rng() % static_cast<unsigned>(maxLength + 1));
  for (int i = 0; i < n; ++i) s.push_back(alphabet[rng() % std::strlen(alphabet)]);
  return s;
}

// A random condition: comparisons of columns (or of the expression NAME+CODE)
// with constants, joined by .AND. and .OR.
class Conditions {
 public:
  explicit Conditions(unsigned seed) : rng_(seed) {}

  std::string make(int depth) {
    if (depth == 0 || rng_() % 3 == 0) return leaf();
    const char* join = rng_() % 2 == 0 ? " .AND. " : " .OR. ";
    std::string s = "(" + make(depth - 1);
    const int more = 1 + static_cast<int>(rng_() % 2);
    for (int i = 0; i < more; ++i) s += join + make(depth - 1);
    return s + ")";
  }

 private:
  std::string leaf() {
    static const char* kOperators[] = {"=", "#", "<>", "<", "<=", ">", ">="};
    const std::string op = kOperators[rng_() % 7];
    std::string field, constant;
    switch (rng_() % 8) {
      case 0:
        field = "NAME";
        constant = "'" + randomText(rng_, "ABab", 8) + "'";
        break;
      case 1:
        field = "CODE";
        constant = "'" + randomText(rng_, "XY", 4) + "'";
        break;
      case 2:
        field = "NAME+CODE";
        constant = "'" + randomText(rng_, "AaXY", 10) + "'";
        break;
      case 3:
        field = "AMT";
        constant = std::to_string(static_cast<int>(rng_() % 21) - 10) + (rng_() % 2 ? ".5" : "");
        break;
      case 4:
        field = "QTY";
        constant = std::to_string(static_cast<int>(rng_() % 30));
        break;
      case 5:
        field = "FLAG";
        return std::string("FLAG ") + (rng_() % 2 ? "=" : "#") + (rng_() % 2 ? " .T." : " .F.");
      case 6:
        field = "NOTE";
        constant = "'" + randomText(rng_, "ABab ", 5) + "'";
        break;
      default:  // no tag has it
        field = rng_() % 2 ? "QTY*2" : "UPPER(NOTE)";
        constant = field == "QTY*2" ? std::to_string(rng_() % 60) : "'AB'";
    }
    if (rng_() % 4 == 0) return constant + " " + op + " " + field;
    return field + " " + op + " " + constant;
  }

  std::mt19937 rng_;
};

class QueryThroughTags : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    std::mt19937 rng(17);
    master_ = table4create(&ctx_, "Q", kColumns, nullptr);
    ASSERT_NE(master_, nullptr);
    for (int i = 0; i < kRecords; ++i) {
      ASSERT_EQ(table4appendStart(master_, false), 0);
      ASSERT_EQ(table4blank(master_), 0);
      const std::string texts[] = {randomText(rng, "ABab", 6), randomText(rng, "XY", 3),
                                   std::string(1, "TFty "[rng() % 5]), randomText(rng, "ABab ", 4)};
      const int columns[] = {1, 2, 5, 6};
      for (int k = 0; k < 4; ++k) {
        ColumnValue v(table4column(master_, columns[k]));
        column4assign(&v, texts[k].c_str());
      }
      // Amounts in quarters, zero also written "-0.00".
      const int quarters = static_cast<int>(rng() % 81) - 40;
      char amount[16];
      std::snprintf(amount, sizeof amount, "%7.2f", quarters / 4.0);
      if (quarters == 0 && rng() % 2 == 0) std::strcpy(amount, "  -0.00");
      std::memcpy(master_->record + table4column(master_, 3)->offset, amount, 7);
      column4storeLong(table4column(master_, 4), static_cast<int32_t>(rng() % 30));
      if (rng() % 10 == 0) table4delete(master_);
      ASSERT_EQ(table4append(master_), 0);
    }
    const TagDescription tags[] = {{"NAME", "NAME", nullptr, 0, 0},
                                   {"CODE", "CODE", nullptr, 0, 0},
                                   {"NAMECODE", "NAME+CODE", nullptr, 0, 0},
                                   {"DAMT", "AMT", nullptr, 0, kTagDescending},
                                   {"QTY", "QTY", nullptr, 0, 0},
                                   {"FLAG", "FLAG", nullptr, 0, 0},
                                   // Tags that hold only some records: never used.
                                   {"ACODE", "CODE", nullptr, kUniqueIgnore, 0},
                                   {"FORQTY", "QTY", "FLAG", 0, 0},
                                   {nullptr, nullptr, nullptr, 0, 0}};
    ASSERT_NE(index4create(master_, nullptr, tags), nullptr);
    // Case-blind notes in a second file.
    ctx_.newTagCollation = kCollationGeneral;
    const TagDescription general[] = {{"GNOTE", "NOTE", nullptr, 0, 0}, {}};
    ASSERT_NE(index4create(master_, "GENERAL", general), nullptr);
    ctx_.openProductionIndex = 0;
    scan_ = open("Q");  // the same records, without tags
    ASSERT_NE(scan_, nullptr);
    ASSERT_EQ(scan_->indexes, nullptr);
  }
  void TearDown() override {
    if (scan_ != nullptr) table4close(scan_);
    if (master_ != nullptr) table4close(master_);
    IndexTest::TearDown();
  }

  // The records |condition| finds over |t|: forwards, then (when asked)
  // backwards from the end, which must give the same records reversed.
  std::vector<int32_t> matches(Table* t, const std::string& condition, bool backwards) {
    Query* q = query4init(t);
    EXPECT_EQ(query4setExpression(q, condition.c_str()), 0);
    std::vector<int32_t> found;
    for (int rc = query4top(q); rc == 0; rc = query4skip(q, 1)) found.push_back(table4recNo(t));
    EXPECT_EQ(ctx_.errorCode, 0) << condition;
    if (backwards) {
      std::vector<int32_t> back;
      for (int rc = query4skip(q, -1); rc == 0; rc = query4skip(q, -1))
        back.push_back(table4recNo(t));
      std::reverse(back.begin(), back.end());
      EXPECT_EQ(back, found) << condition << " backwards";
    }
    query4free(q, 0);
    return found;
  }

  Table* master_ = nullptr;
  Table* scan_ = nullptr;
};

TEST_F(QueryThroughTags, RandomConditionsFindWhatAScanFinds) {
  Conditions conditions(5);
  for (int i = 0; i < 400; ++i) {
    const std::string condition = conditions.make(2);
    SCOPED_TRACE(condition);
    const std::vector<int32_t> scanned = matches(scan_, condition, false);
    EXPECT_EQ(matches(master_, condition, i % 4 == 0), scanned);
    if (i % 5 != 0) continue;
    // In the order of a tag: the matches as they come in a walk of that tag.
    const char* tagName = i % 2 == 0 ? "NAMECODE" : "DAMT";
    ASSERT_EQ(table4selectTag(master_, table4tagByName(master_, tagName)), 0);
    ASSERT_EQ(table4selectTag(scan_, nullptr), 0);
    std::vector<int32_t> inTagOrder;
    const std::set<int32_t> wanted(scanned.begin(), scanned.end());
    for (int rc = table4top(master_); rc == 0; rc = table4skip(master_, 1))
      if (wanted.count(table4recNo(master_)) != 0) inTagOrder.push_back(table4recNo(master_));
    EXPECT_EQ(matches(master_, condition, true), inTagOrder);
    ASSERT_EQ(table4selectTag(master_, nullptr), 0);
  }
}

TEST_F(QueryThroughTags, NarrowConditionsReadOnlyTheirCandidates) {
  for (const char* condition :
       {"QTY = 7 .AND. NOTE # 'A'", "CODE = 'XY' .AND. QTY > 25", "name = 'ab' .or. NOTE = 'aB'"}) {
    SCOPED_TRACE(condition);
    const std::vector<int32_t> scanned = matches(scan_, condition, false);
    whtest::FaultOs counting;
    EXPECT_EQ(matches(master_, condition, false), scanned);
    EXPECT_LT(counting.reads, kRecords / 4);
  }
}

}  // namespace
