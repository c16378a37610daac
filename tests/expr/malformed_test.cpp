// Malformed and random expressions: every text either compiles and evaluates
// to its compiled width or fails with one of the compiler's codes, which stays
// in the context; nothing crashes (the suite also runs under AddressSanitizer
// and UndefinedBehaviorSanitizer). Extreme constants give their limits.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/expr/memory_table.h"

namespace {

const std::set<int> kCompileCodes = {
    dbf::kErrExprCommaOrParen, dbf::kErrExprCompile,      dbf::kErrExprAlias,
    dbf::kErrExprIifWidth,     dbf::kErrExprConstantArg,  dbf::kErrExprArgCount,
    dbf::kErrExprStack,        dbf::kErrExprParenMissing, dbf::kErrExprType,
    dbf::kErrExprFunction,     dbf::kErrExprOperator,     dbf::kErrExprOperand,
    dbf::kErrExprQuote,        dbf::kErrColumnName,       dbf::kErrMemory,
    dbf::kErrExprNotOneValue};

const std::vector<std::string> kTokens = {
    "NAME",    "N",          "AMOUNT", "FLAG",      "D",       "CNT",        "PRICE",    "RATE",
    "STAMP",   "TEST->NAME", "'ab'",   "\"x\"",     "[yz]",    "'",          "[",        "1",
    "-2.5",    "0",          "10",     ".5",        ".T.",     ".F.",        ".NOT.",    ".AND.",
    ".OR.",    "+",          "-",      "*",         "/",       "^",          "**",       "=",
    "#",       "<>",         "<",      ">",         "<=",      ">=",         "=<",       "=>",
    "$",       "(",          ")",      ",",         " ",       "\t",         "STR(",     "SUBSTR(",
    "LEFT(",   "RIGHT(",     "UPPER(", "TRIM(",     "LTRIM(",  "ALLTRIM(",   "DTOS(",    "DTOC(",
    "STOD(",   "CTOD(",      "DATE()", "TIME()",    "DAY(",    "MONTH(",     "YEAR(",    "IIF(",
    "VAL(",    "CHR(",       "DEL()",  "DELETED()", "RECNO()", "RECCOUNT()", "DESCEND(", "ASCEND(",
    "NOSUCH(", "\xFF",       "A.",     "->",        "."};

void exercise(MemoryTable& t, const std::string& text) {
  int status = 1;
  engine4errorSet(t.ctx(), 0);
  Expression* e = t.parse(text.c_str(), &status);
  if (e == nullptr) {
    EXPECT_TRUE(kCompileCodes.count(status)) << "code " << status << " for: " << text;
    EXPECT_EQ(t.ctx()->errorCode, status) << "the failure stays in the context: " << text;
    return;
  }
  EXPECT_EQ(status, 0);
  const char* value = nullptr;
  EXPECT_EQ(expression4evaluate(e, &value), e->width) << text;
  expression4double(e);
  const char* key = nullptr;
  EXPECT_GE(expression4key(e, nullptr, &key), 0) << text;
  for (int i = 0; i < e->stepCount; ++i) expression4evaluateStep(e, i, &value);
  expression4free(e);
}

MemoryTable fuzzTable() {
  return MemoryTable({{"NAME", 'C', 10, 0},
                      {"N", 'N', 5, 0},
                      {"AMOUNT", 'N', 9, 2},
                      {"FLAG", 'L', 1, 0},
                      {"D", 'D', 8, 0},
                      {"CNT", 'I', 4, 0},
                      {"PRICE", 'Y', 8, 4},
                      {"RATE", 'B', 8, 2},
                      {"STAMP", 'T', 8, 0}});
}

TEST(ExpressionMalformed, RandomTokenSequences) {
  MemoryTable t = fuzzTable();
  t.set("NAME", "abc");
  t.set("D", "20000229");
  std::mt19937 random(20261209);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int length = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) text += kTokens[random() % kTokens.size()];
    exercise(t, text);
  }
}

TEST(ExpressionMalformed, RandomBytesAndTruncations) {
  MemoryTable t = fuzzTable();
  std::mt19937 random(7);
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 24);
    for (int i = 0; i < length; ++i) text += static_cast<char>(1 + random() % 255);
    exercise(t, text);
  }
  const std::string whole = "IIF(NAME = 'ab' .AND. N > -1, STR(AMOUNT, 8, 2), DTOC(D + 1, 1))";
  for (size_t cut = 0; cut <= whole.size(); ++cut) exercise(t, whole.substr(0, cut));
}

// Constants at and beyond every limit give the limit's result: asterisks,
// blank dates, infinities, empty texts, codes modulo 256.
TEST(ExpressionMalformed, ExtremeConstantsGiveTheirLimits) {
  MemoryTable t = fuzzTable();
  t.set("NAME", "abc");
  const std::pair<const char*, std::string> texts[] = {
      {"STR(10 ^ 300)", "**********"},
      {"STR(99999999999999999999999, 30, 5)", "100000000000000000000000.00000"},
      {"STR(0 ^ -1 - 0 ^ -1, 5)", "*****"},
      {"STR(1, 0)", ""},
      {"CHR(1000000000000)", std::string(1, '\0')},
      {"SUBSTR(NAME, -99999999999, 99999999999)", "abc       "},
      {"LEFT(NAME, 1.9)", "a"},
      {"DTOS(STOD('99991231') + 99999999999)", "        "},
      {"DESCEND(0 ^ -1)", std::string("\0\x0F\xFF\xFF\xFF\xFF\xFF\xFF", 8)},
      {"RIGHT('', 0)", ""},
      {"SUBSTR('', 1, 1)", ""}};
  for (const auto& [text, value] : texts) EXPECT_EQ(t.text(text), value) << text;
  EXPECT_EQ(t.number("2 ^ 99999"), HUGE_VAL);
  EXPECT_EQ(t.number("0 ^ -1"), HUGE_VAL);
  EXPECT_EQ(t.number("YEAR(DATE() + 10 ^ 300)"), 0);
  // 65536 characters do not fit the 65535 places: asterisks, which read as 0.
  EXPECT_EQ(t.number("VAL(STR(-1.5, 65535, 65535))"), 0);
}

}  // namespace
