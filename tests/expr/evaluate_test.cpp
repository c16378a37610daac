// Expression evaluation on in-memory records: text comparisons by the shorter
// width, date arithmetic with blank dates, division by zero, the functions,
// sortable forms, index keys, binding to another handle, and evaluations
// from several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dbf/core/date.h"
#include "dbf/expr/evaluator.h"
#include "tests/expr/memory_table.h"

namespace {

MemoryTable sampleTable() {
  return MemoryTable({{"NAME", 'C', 10, 0},
                      {"N", 'N', 5, 0},
                      {"AMOUNT", 'N', 9, 2},
                      {"FLAG", 'L', 1, 0},
                      {"D", 'D', 8, 0},
                      {"D2", 'D', 8, 0},
                      {"CNT", 'I', 4, 0},
                      {"PRICE", 'Y', 8, 4},
                      {"RATE", 'B', 8, 2},
                      {"STAMP", 'T', 8, 0},
                      {"NOTE", 'M', 4, 0}});
}

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(ExpressionEvaluate, TextEqualityUsesTheShorterWidth) {
  MemoryTable t = sampleTable();
  t.set("NAME", "abcdef");
  EXPECT_EQ(t.logical("NAME = 'ab'"), 1);
  EXPECT_EQ(t.logical("'ab' = NAME"), 1);
  EXPECT_EQ(t.logical("NAME = 'ax'"), 0);
  EXPECT_EQ(t.logical("NAME <> 'ab'"), 0);
  EXPECT_EQ(t.logical("NAME = ''"), 1);
  EXPECT_EQ(t.logical("NAME = 'abcdef    xyz'"), 1);  // the 10 bytes of NAME decide
  t.set("NAME", "xbcdef");
  EXPECT_EQ(t.logical("NAME = 'ab'"), 0);
  EXPECT_EQ(t.logical("'ab' # NAME"), 1);
}

TEST(ExpressionEvaluate, TextOrderingWhenOnePrefixesTheOther) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.logical("'abc' > 'ab'"), 1);
  EXPECT_EQ(t.logical("'ab' < 'abc'"), 1);
  EXPECT_EQ(t.logical("'ab' >= 'abc'"), 0);
  EXPECT_EQ(t.logical("'abc' <= 'ab'"), 0);
  EXPECT_EQ(t.logical("'ab' > 'ab'"), 0);
  EXPECT_EQ(t.logical("'ab' >= 'ab'"), 1);
  EXPECT_EQ(t.logical("'b' > 'abc'"), 1);
  // Bytes compare unsigned: a Latin-1 letter sorts after ASCII.
  EXPECT_EQ(t.logical("'\xE9' > 'z'"), 1);
}

TEST(ExpressionEvaluate, BlankDatesStayBlankInArithmetic) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.number("D - 1"), 0);
  EXPECT_EQ(t.number("D + 1"), 0);
  EXPECT_EQ(t.number("1 + D"), 0);
  t.set("D", "19990101");
  EXPECT_EQ(t.number("D - D2"), 0);
  EXPECT_EQ(t.number("D - 1"), 2451180 - 1);
  EXPECT_EQ(t.text("DTOS(D - 1)"), "19981231");
  EXPECT_EQ(t.text("DTOS(D + 365)"), "20000101");
  t.set("D2", "19981201");
  EXPECT_EQ(t.number("D - D2"), 31);
  EXPECT_EQ(t.logical("D > D2"), 1);
  EXPECT_EQ(t.text("DTOS(D2)"), "19981201");
  EXPECT_EQ(t.number("YEAR(D) * 10000 + MONTH(D) * 100 + DAY(D)"), 19990101);
  EXPECT_EQ(t.number("DAY(D - 1)"), 31);
  EXPECT_EQ(t.number("YEAR(D2)"), 1998);
}

TEST(ExpressionEvaluate, ArithmeticAndDivisionByZero) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.number("10 / 0"), 0);
  EXPECT_EQ(t.number("10 / 4"), 2.5);
  t.set("AMOUNT", "-12.50");
  t.set("N", "3");
  EXPECT_EQ(t.number("AMOUNT * N"), -37.5);
  EXPECT_EQ(t.number("N ^ 2"), 9);
  EXPECT_EQ(t.number("AMOUNT / (N - 3)"), 0);
  EXPECT_EQ(t.number("AMOUNT"), -12.5);
  EXPECT_EQ(t.number("VAL('  42.25xyz')"), 42.25);
  EXPECT_EQ(t.number("VAL('')"), 0);
}

TEST(ExpressionEvaluate, OtherColumnTypes) {
  MemoryTable t = sampleTable();
  const int32_t count = -7;
  t.setBytes("CNT", &count, 4);
  const int64_t price = 123456;  // 12.3456
  t.setBytes("PRICE", &price, 8);
  const double rate = 0.25;
  t.setBytes("RATE", &rate, 8);
  t.set("FLAG", "y");
  EXPECT_EQ(t.number("CNT"), 0);  // an I result is not a number for expression4double
  EXPECT_EQ(t.logical("CNT = -7"), 1);
  EXPECT_EQ(t.logical("CNT + 10 = 3"), 1);
  EXPECT_EQ(t.logical("PRICE > 12.3"), 1);
  EXPECT_DOUBLE_EQ(t.number("PRICE * 10000"), 123456);
  EXPECT_EQ(t.logical("PRICE = PRICE"), 1);
  EXPECT_EQ(t.number("RATE * 4"), 1);
  EXPECT_EQ(t.logical("FLAG"), 1);
  EXPECT_EQ(t.logical("FLAG = .T."), 1);
  t.set("FLAG", "N");
  EXPECT_EQ(t.logical("FLAG"), 0);
  const int32_t stamp[2] = {2451180, 1000};
  t.setBytes("STAMP", stamp, 8);
  EXPECT_EQ(t.logical("STAMP = STAMP"), 1);
  EXPECT_EQ(t.logical("STAMP > STAMP"), 0);
}

TEST(ExpressionEvaluate, TextFunctions) {
  MemoryTable t = sampleTable();
  t.set("NAME", "  Hello");
  EXPECT_EQ(t.text("SUBSTR(NAME, 3, 3)"), "Hel");
  EXPECT_EQ(t.text("SUBSTR(NAME, 6)"), "lo   ");
  EXPECT_EQ(t.text("LEFT(NAME, 4)"), "  He");
  EXPECT_EQ(t.text("RIGHT(NAME, 4)"), "o   ");
  EXPECT_EQ(t.text("RIGHT('abc', 5)"), "abc  ");
  EXPECT_EQ(t.text("UPPER(NAME)"), "  HELLO   ");
  EXPECT_EQ(t.text("TRIM(NAME)"), std::string("  Hello\0\0\0", 10));
  EXPECT_EQ(t.text("LTRIM(NAME)"), std::string("Hello   \0\0", 10));
  EXPECT_EQ(t.text("ALLTRIM(NAME)"), std::string("Hello\0\0\0\0\0", 10));
  EXPECT_EQ(t.text("TRIM(NAME) + '!'"), std::string("  Hello!\0\0\0", 11));
  EXPECT_EQ(t.text("NAME - '!'"), "  Hello!   ");
  EXPECT_EQ(t.text("NAME + '!'"), "  Hello   !");
  EXPECT_EQ(t.text("CHR(65) + CHR(97)"), "Aa");
  EXPECT_EQ(t.logical("'ell' $ NAME"), 1);
  EXPECT_EQ(t.logical("'elo' $ NAME"), 0);
  EXPECT_EQ(t.logical("'a longer text' $ NAME"), 0);
  EXPECT_EQ(t.text("IIF(.T., 'a', 'b')"), "a");
  EXPECT_EQ(t.text("IIF(NAME = 'x', 'a', 'b')"), "b");
  EXPECT_EQ(t.number("IIF(.F., 1, 2)"), 2);
  // Latin-1 letters upper-case as Windows-1252 does.
  EXPECT_EQ(t.text("UPPER('\xE9t\xE9')"), "\xC9T\xC9");
}

TEST(ExpressionEvaluate, UpperStopsAtAZeroByte) {
  MemoryTable t = sampleTable();
  t.setBytes("NAME", "ab\0cd     ", 10);
  EXPECT_EQ(t.text("UPPER(NAME)"), std::string("AB\0cd     ", 10));
}

TEST(ExpressionEvaluate, Str) {
  MemoryTable t = sampleTable();
  t.set("AMOUNT", "3.14159");
  EXPECT_EQ(t.text("STR(AMOUNT)"), "         3");
  EXPECT_EQ(t.text("STR(AMOUNT, 6, 2)"), "  3.14");
  EXPECT_EQ(t.text("STR(AMOUNT, 4, 4)"), "3.14");  // decimals lowered to width - 2
  EXPECT_EQ(t.text("STR(12345, 3)"), "***");
  EXPECT_EQ(t.text("STR(-1.5, 5, -2)"), "   -2");
  // Half away from zero on the value as written, never "-0".
  EXPECT_EQ(t.text("STR(2.5, 3)"), "  3");
  EXPECT_EQ(t.text("STR(-0.4, 4)"), "   0");
  EXPECT_EQ(t.text("STR(1.005, 5, 2)"), " 1.01");  // the double is 1.00499999...
  EXPECT_EQ(t.text("STR(999.5, 3)"), "***");
  EXPECT_EQ(t.text("STR(10 ^ 300)"), "**********");
}

// STR rounds half away from zero on the decimal value as written (the
// shortest text that reads back as the same double) and never shows "-0".
// Model: k / 1000 rounded to d decimals in integer arithmetic.
TEST(ExpressionEvaluate, StrRoundsTheWrittenValueHalfAwayFromZero) {
  MemoryTable t = sampleTable();
  std::mt19937 random(15);
  for (int round = 0; round < 3000; ++round) {
    const long long k = static_cast<long long>(random() % 2000001) - 1000000, m = std::llabs(k);
    const int d = static_cast<int>(random() % 4);
    const long long unit = d == 0 ? 1000 : d == 1 ? 100 : d == 2 ? 10 : 1, places = 1000 / unit;
    const long long q = m / unit + (2 * (m % unit) >= unit ? 1 : 0);
    const char* sign = k < 0 && q != 0 ? "-" : "";
    char expected[16], text[48];
    if (d == 0)
      std::snprintf(expected, sizeof expected, "%12s", (sign + std::to_string(q)).c_str());
    if (d > 0) {
      const std::string shown =
          sign + std::to_string(q / places) + "." + std::to_string(places + q % places).substr(1);
      std::snprintf(expected, sizeof expected, "%12s", shown.c_str());
    }
    std::snprintf(text, sizeof text, "STR(%s%lld.%03lld, 12, %d)", k < 0 ? "-" : "", m / 1000,
                  m % 1000, d);
    ASSERT_EQ(t.text(text), expected) << text;
  }
}

// VAL reads every digit, however long the text (model: strtod); CHR takes its
// code modulo 256.
TEST(ExpressionEvaluate, ValReadsEveryDigitAndChrWraps) {
  MemoryTable t = sampleTable();
  std::mt19937 random(99);
  for (int round = 0; round < 500; ++round) {
    std::string digits(1 + random() % 150, '0');
    for (char& c : digits) c = static_cast<char>('0' + random() % 10);
    if (random() % 2) digits.insert(random() % digits.size(), ".");
    const std::string text = "VAL('" + digits + "')";
    ASSERT_EQ(t.number(text.c_str()), std::strtod(digits.c_str(), nullptr)) << text;
  }
  EXPECT_EQ(t.number(("VAL('1" + std::string(99, '0') + "')").c_str()), 1e99);
  EXPECT_EQ(t.text("CHR(321) + CHR(-191) + CHR(65.9)"), "AAA");
  EXPECT_EQ(t.text("CHR(256)"), std::string(1, '\0'));
}

// "=" and "#" compare numbers and dates byte for byte, as index keys do: a
// condition finds the same records through a tag as by a scan. The order
// comparisons compare values.
TEST(ExpressionEvaluate, NumberEqualityComparesBytes) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.logical("0 = -0"), 0);
  EXPECT_EQ(t.logical("0 # -0"), 1);
  EXPECT_EQ(t.logical("0 <> -0"), 1);
  EXPECT_EQ(t.logical("-0 = -0"), 1);
  EXPECT_EQ(t.logical("0 >= -0 .AND. 0 <= -0"), 1);
  t.set("D", "19990101");
  EXPECT_EQ(t.logical("D = STOD('19990101') .AND. .NOT. D # STOD('19990101')"), 1);
}

TEST(ExpressionEvaluate, DatesInTheContextFormat) {
  MemoryTable t = sampleTable();
  t.set("D", "19981207");
  EXPECT_EQ(t.text("DTOC(D)"), "12/07/98");
  EXPECT_EQ(t.text("DTOC(D + 1)"), "12/08/98");
  // Without CC in the format the century is the present one.
  const double thisYear = t.number("YEAR(DATE())");
  EXPECT_EQ(t.number("YEAR(CTOD('12/08/98'))"), static_cast<int>(thisYear) / 100 * 100 + 98);
  std::strcpy(t.ctx()->dateFormat, "MM/DD/CCYY");
  EXPECT_EQ(t.number("CTOD('12/08/1998') - D"), 1);
  EXPECT_EQ(t.number("CTOD('') "), 0);
  std::strcpy(t.ctx()->dateFormat, "MM/DD/YY");
  EXPECT_EQ(t.number("STOD('19981208') - D"), 1);
  EXPECT_EQ(t.number("STOD('garbage!')"), 0);
  EXPECT_EQ(t.number("STOD('1998')"), 0);
  std::strcpy(t.ctx()->dateFormat, "CCYY.MM.DD");
  EXPECT_EQ(t.text("DTOC(D)"), "1998.12.07");
  // A compiled DTOC keeps its width when the format changes afterwards.
  Expression* e = t.parse("DTOC(D)");
  ASSERT_NE(e, nullptr);
  std::strcpy(t.ctx()->dateFormat, "MM/DD/YY");
  const char* value = nullptr;
  ASSERT_EQ(expression4evaluate(e, &value), 10);
  EXPECT_EQ(std::string(value, 10), "12/07/98  ");
  expression4free(e);
}

TEST(ExpressionEvaluate, RecordFunctions) {
  MemoryTable t = sampleTable();
  t.table()->recordNumber = 42;
  EXPECT_EQ(t.number("RECNO()"), 42);
  EXPECT_EQ(t.logical("DELETED()"), 0);
  EXPECT_EQ(t.text("DEL()"), " ");
  t.record()[0] = '*';
  EXPECT_EQ(t.logical("DELETED()"), 1);
  EXPECT_EQ(t.text("DEL()"), "*");
  EXPECT_EQ(t.text("TIME()").size(), 8u);
  EXPECT_GT(t.number("DATE()"), 2451180);
}

// ASCEND keeps the order of values in its bytes, DESCEND reverses it.
TEST(ExpressionEvaluate, SortableFormsKeepTheOrder) {
  MemoryTable t = sampleTable();
  const char* values[] = {"-100.50", "-3.00", "-0.25", "0.00", "0.25", "7.00", "99.99", "1000.00"};
  std::vector<std::string> ascendN, descendN, ascendn, descendn;
  for (const char* v : values) {
    t.set("AMOUNT", v);
    ascendN.push_back(t.text("ASCEND(AMOUNT)"));
    descendN.push_back(t.text("DESCEND(AMOUNT)"));
    ascendn.push_back(t.text("ASCEND(AMOUNT * 1)"));
    descendn.push_back(t.text("DESCEND(AMOUNT * 1)"));
  }
  EXPECT_TRUE(std::is_sorted(ascendn.begin(), ascendn.end()));
  EXPECT_TRUE(std::is_sorted(descendn.rbegin(), descendn.rend()));
  EXPECT_TRUE(std::is_sorted(ascendN.begin(), ascendN.end()));
  EXPECT_TRUE(std::is_sorted(descendN.rbegin(), descendN.rend()));
  EXPECT_EQ(hex(t.text("ASCEND(1)")), "BFF0000000000000");
  EXPECT_EQ(hex(t.text("ASCEND(0)")), "8000000000000000");
  EXPECT_EQ(hex(t.text("ASCEND(-1)")), "400FFFFFFFFFFFFF");
  EXPECT_EQ(t.text("ASCEND(.T.)"), "1");
  EXPECT_EQ(hex(t.text("DESCEND('AB')")), "BFBE");
  t.set("D", "19990101");
  EXPECT_EQ(t.text("ASCEND(D)"), "19990101");
  EXPECT_EQ(t.text("ASCEND(D + 1)"), "19990102");
}

TEST(ExpressionEvaluate, StepsAndTypedReaders) {
  MemoryTable t = sampleTable();
  t.set("N", "5");
  t.set("NAME", "ab");
  Expression* e = t.parse("N = 5 .AND. NAME = 'x' .AND. N > 1");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(expression4true(e), 0);
  // The conjuncts end at steps 2, 5 and 8.
  const char* v = nullptr;
  ASSERT_EQ(expression4evaluateStep(e, 2, &v), 4);
  EXPECT_EQ(value4int(v), 1);
  ASSERT_EQ(expression4evaluateStep(e, 5, &v), 4);
  EXPECT_EQ(value4int(v), 0);
  ASSERT_EQ(expression4evaluateStep(e, 8, &v), 4);
  EXPECT_EQ(value4int(v), 1);
  EXPECT_EQ(expression4evaluateStep(e, 10, &v), dbf::kErrParameter);
  engine4errorSet(t.ctx(), 0);
  expression4free(e);

  Expression* n = t.parse("N");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(expression4double(n), 5);
  EXPECT_EQ(expression4true(n), dbf::kErrExprNotOneValue);
  engine4errorSet(t.ctx(), 0);
  // A lone character column points into the record itself.
  Expression* name = t.parse("NAME");
  ASSERT_NE(name, nullptr);
  ASSERT_EQ(expression4evaluate(name, &v), 10);
  EXPECT_EQ(v, t.record() + 1);
  engine4errorSet(t.ctx(), dbf::kErrMemory);
  EXPECT_EQ(expression4evaluate(name, &v), dbf::kErrContextHoldsError);
  engine4errorSet(t.ctx(), 0);
  EXPECT_EQ(expression4evaluate(nullptr, &v), dbf::kErrNullHandle);
  expression4free(n);
  expression4free(name);
}

TEST(ExpressionEvaluate, Keys) {
  MemoryTable t = sampleTable();
  auto key = [&](const char* text) {
    Expression* e = t.parse(text);
    if (e == nullptr) return std::string("<compile error>");
    const char* k = nullptr;
    const int n = expression4key(e, nullptr, &k);
    std::string out = n < 0 ? "<error>" : std::string(k, static_cast<size_t>(n));
    expression4free(e);
    return out;
  };
  t.set("NAME", "ab");
  t.set("N", "1");
  EXPECT_EQ(hex(key("N")), "BFF0000000000000");
  EXPECT_EQ(hex(key("N - 1")), "8000000000000000");
  EXPECT_EQ(key("TRIM(NAME)"), key("NAME"));
  EXPECT_EQ(key("NAME"), "ab        ");
  EXPECT_EQ(key("N = 1"), "T");
  EXPECT_EQ(hex(key("D")), "8000000000000000");  // blank date is day 0
  const int32_t count = 1;
  t.setBytes("CNT", &count, 4);
  EXPECT_EQ(hex(key("CNT")), "80000001");
  const int64_t price = -1;
  t.setBytes("PRICE", &price, 8);
  EXPECT_EQ(hex(key("PRICE")), "7FFFFFFFFFFFFFFF");
  // With a currency column in the expression, numbers key in ten-thousandths.
  EXPECT_EQ(hex(key("PRICE * 10000")), "7FFFFFFFFFFFD8F0");
}

TEST(ExpressionEvaluate, BindRepointsToAnotherHandle) {
  MemoryTable first = sampleTable();
  MemoryTable second = sampleTable();
  DataFile shared{};
  first.table()->dataFile = &shared;
  second.table()->dataFile = &shared;
  second.table()->ctx = first.ctx();
  first.set("NAME", "first");
  second.set("NAME", "second");
  Expression* e = first.parse("UPPER(NAME) + DEL()");
  ASSERT_NE(e, nullptr);
  const char* v = nullptr;
  ASSERT_EQ(expression4evaluate(e, &v), 11);
  EXPECT_EQ(std::string(v, 11), "FIRST      ");
  second.record()[0] = '*';
  EXPECT_EQ(expression4bind(e, second.table()), 0);
  ASSERT_EQ(expression4evaluate(e, &v), 11);
  EXPECT_EQ(std::string(v, 11), "SECOND    *");
  MemoryTable stranger = sampleTable();
  EXPECT_EQ(expression4bind(e, stranger.table()), dbf::kErrParameter);
  expression4free(e);
  second.table()->ctx = second.ctx();
}

TEST(ExpressionEvaluate, MemoWithoutMemoFileIsEmpty) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.text("NOTE"), std::string(1024, '\0'));
  // After a memo load "+" joins variable-width texts: 'x' moves up front.
  EXPECT_EQ(t.text("LEFT(NOTE, 3) + 'x'"), std::string("x\0\0\0", 4));
}

// Each thread has its own context and table; the evaluations interleave under
// the process-wide lock and every one sees its own record.
TEST(ExpressionEvaluate, ThreadsWithTheirOwnContexts) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int id = 0; id < kThreads; ++id) {
    threads.emplace_back([id, &failures] {
      MemoryTable t = sampleTable();
      Expression* e = t.parse("STR(N * 2, 6) + UPPER(NAME)");
      Expression* c = t.parse("N = VAL(NAME) .AND. NAME = STR(N, 1)");
      if (e == nullptr || c == nullptr) {
        ++failures;
        return;
      }
      for (int round = 0; round < kRounds; ++round) {
        const int n = (id * 7 + round) % 10;
        t.set("N", std::to_string(n));
        t.set("NAME", std::to_string(n));
        const char* v = nullptr;
        if (expression4evaluate(e, &v) != 16) ++failures;
        char expected[32];
        std::snprintf(expected, sizeof expected, "%6d%-10d", 2 * n, n);
        if (std::memcmp(v, expected, 16) != 0) ++failures;
        if (expression4true(c) != 1) ++failures;
      }
      expression4free(e);
      expression4free(c);
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace

namespace {

// Lengths and offsets past 32767 come from 16-bit fields and read unsigned.
TEST(ExpressionEvaluate, LongCharacterColumns) {
  MemoryTable t({{"BIG", 'C', 40000, 0}, {"TAIL", 'C', 2, 0}, {"N", 'N', 5, 0}});
  t.set("BIG", "ab");
  t.set("TAIL", "xy");
  t.set("N", "12");
  EXPECT_EQ(t.logical("BIG = 'ab' .AND. TAIL = 'xy' .AND. N = 12"), 1);
  Expression* e = t.parse("BIG + TAIL");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->width, 40002);
  const char* v = nullptr;
  ASSERT_EQ(expression4evaluate(e, &v), 40002);
  EXPECT_EQ(std::string(v + 40000, 2), "xy");
  expression4free(e);
}

}  // namespace
