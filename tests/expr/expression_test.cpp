// The expression compiler: operator merging and precedence, operands, folding
// of constant arguments, type resolution, widths, stack limits and the error
// codes with their reporting rules.
#include <gtest/gtest.h>
#include <malloc.h>

#include <string>

#include "dbf/expr/evaluator.h"
#include "tests/expr/memory_table.h"

#if defined(__SANITIZE_ADDRESS__)
// From the AddressSanitizer runtime, which replaces malloc's bookkeeping.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

MemoryTable sampleTable() {
  return MemoryTable({{"NAME", 'C', 10, 0},
                      {"N", 'N', 5, 0},
                      {"AMOUNT", 'N', 9, 2},
                      {"A", 'L', 1, 0},
                      {"B", 'L', 1, 0},
                      {"C", 'L', 1, 0},
                      {"D", 'D', 8, 0},
                      {"NOTE", 'M', 4, 0},
                      {"CODE", 'C', 3, 0}});
}

struct Compiled {
  explicit Compiled(Expression* x) : e(x) {}
  ~Compiled() { expression4free(e); }
  Expression* e;
};

TEST(ExpressionCompile, AndChainIsOneStepOfThreeArguments) {
  MemoryTable t = sampleTable();
  Compiled x(t.parse("A .AND. B .AND. C"));
  ASSERT_NE(x.e, nullptr);
  ASSERT_EQ(x.e->stepCount, 4);
  const ExpressionStep& top = x.e->steps[3];
  EXPECT_EQ(top.row, kRowAnd);
  EXPECT_EQ(top.argumentCount, 3);
  EXPECT_EQ(top.subtreeSize, 4);
}

TEST(ExpressionCompile, AndBindsTighterThanOr) {
  MemoryTable t = sampleTable();
  Compiled x(t.parse("A .AND. B .OR. C"));
  ASSERT_NE(x.e, nullptr);
  ASSERT_EQ(x.e->stepCount, 5);
  EXPECT_EQ(x.e->steps[2].row, kRowAnd);
  EXPECT_EQ(x.e->steps[2].argumentCount, 2);
  EXPECT_EQ(x.e->steps[4].row, kRowOr);
  EXPECT_EQ(x.e->steps[4].argumentCount, 2);
  // Or chains merge across an .AND. in between.
  Compiled y(t.parse("A .OR. B .AND. C .OR. A"));
  ASSERT_NE(y.e, nullptr);
  EXPECT_EQ(y.e->steps[y.e->stepCount - 1].row, kRowOr);
  EXPECT_EQ(y.e->steps[y.e->stepCount - 1].argumentCount, 3);
}

TEST(ExpressionCompile, PrecedenceAndLeftAssociation) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.number("2+3*4"), 14);
  EXPECT_EQ(t.number("10-2-3"), 5);
  EXPECT_EQ(t.number("2^3**2"), 64);  // (2^3)^2
  EXPECT_EQ(t.number("(2+3)*4"), 20);
  EXPECT_EQ(t.number("100/10/5"), 2);
  EXPECT_EQ(t.logical("1 + 1 = 2 .AND. .NOT. 2 < 1"), 1);
  EXPECT_EQ(t.logical(".NOT. .NOT. .T."), 1);
  EXPECT_EQ(t.logical(".T. .AND. .NOT. .F."), 1);
}

TEST(ExpressionCompile, DotAfterNumberStartsTheOperator) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.logical("5 > 3 .AND. .T."), 1);
  EXPECT_EQ(t.logical("5>3.AND..T."), 1);
  EXPECT_EQ(t.logical("1.5 = 1.50"), 1);
  t.set("A", "T");
  t.set("B", "F");
  EXPECT_EQ(t.logical("A.AND.B"), 0);
  EXPECT_EQ(t.logical("A.OR.B"), 1);
}

TEST(ExpressionCompile, SignedConstantsButNoSignedNames) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.number("-5"), -5);
  EXPECT_EQ(t.number("3--5"), 8);
  EXPECT_EQ(t.compileStatus("-AMOUNT"), dbf::kErrExprOperand);
  EXPECT_EQ(t.compileStatus("+N"), dbf::kErrExprOperand);
  EXPECT_EQ(t.compileStatus("-"), dbf::kErrExprOperand);
  EXPECT_EQ(t.compileStatus("0 - AMOUNT"), 0);
}

TEST(ExpressionCompile, DtocWithTwoArgumentsIsDtos) {
  MemoryTable t = sampleTable();
  Compiled a(t.parse("DTOC(D, 1)"));
  Compiled b(t.parse("DTOS(D)"));
  ASSERT_NE(a.e, nullptr);
  ASSERT_NE(b.e, nullptr);
  ASSERT_EQ(a.e->stepCount, b.e->stepCount);
  for (int i = 0; i < a.e->stepCount; ++i) {
    EXPECT_EQ(a.e->steps[i].row, b.e->steps[i].row);
    EXPECT_EQ(a.e->steps[i].width, b.e->steps[i].width);
  }
  EXPECT_EQ(a.e->width, 8);
  EXPECT_EQ(t.compileStatus("DTOC(D, 'anything at all')"), 0);
}

TEST(ExpressionCompile, FoldedArgumentsMustBeNumericConstants) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.compileStatus("SUBSTR(NAME, 2, 3)"), 0);
  EXPECT_EQ(t.compileStatus("SUBSTR(NAME, N, 3)"), dbf::kErrExprConstantArg);
  EXPECT_EQ(t.compileStatus("SUBSTR(NAME, 2, 1+1)"), dbf::kErrExprConstantArg);
  EXPECT_EQ(t.compileStatus("LEFT(NAME, 'x')"), dbf::kErrExprConstantArg);
  EXPECT_EQ(t.compileStatus("RIGHT(NAME, N)"), dbf::kErrExprConstantArg);
  EXPECT_EQ(t.compileStatus("STR(N, N)"), dbf::kErrExprConstantArg);
  // Absurd widths are refused before they size the work buffer.
  EXPECT_EQ(t.compileStatus("STR(N, 1000000)"), dbf::kErrExprConstantArg);
  EXPECT_EQ(t.compileStatus("RIGHT(NAME, 1000000)"), dbf::kErrExprConstantArg);
}

TEST(ExpressionCompile, FoldedWidths) {
  MemoryTable t = sampleTable();
  auto width = [&](const char* text) {
    Compiled x(t.parse(text));
    return x.e != nullptr ? x.e->width : -1;
  };
  EXPECT_EQ(width("STR(N)"), 10);
  EXPECT_EQ(width("STR(N, -3)"), 10);
  EXPECT_EQ(width("STR(N, 6, 2)"), 6);
  EXPECT_EQ(width("SUBSTR(NAME, 2, 3)"), 3);
  EXPECT_EQ(width("SUBSTR(NAME, 8, 5)"), 3);  // cut to what the text holds
  EXPECT_EQ(width("SUBSTR(NAME, 20, 5)"), 0);
  EXPECT_EQ(width("SUBSTR(NAME, 4)"), 7);  // no count: the rest
  EXPECT_EQ(width("LEFT(NAME, 4)"), 4);
  EXPECT_EQ(width("LEFT(NAME, -4)"), 0);
  EXPECT_EQ(width("RIGHT(NAME, 4)"), 4);
  EXPECT_EQ(width("RIGHT(NAME, 14)"), 14);
  EXPECT_EQ(width("NAME + CODE"), 13);
  EXPECT_EQ(width("NAME - 'xy'"), 12);
  EXPECT_EQ(width("DTOC(D)"), 8);
  EXPECT_EQ(width("UPPER(CODE)"), 3);
  EXPECT_EQ(width("DESCEND(N)"), 5);
  EXPECT_EQ(width("DESCEND(AMOUNT + 1)"), 8);
  EXPECT_EQ(width("ASCEND(A)"), 1);
  EXPECT_EQ(width("NOTE"), 1024);
  EXPECT_EQ(width("CHR(65) + DEL()"), 2);
  EXPECT_EQ(width("TIME()"), 8);
  EXPECT_EQ(width("A"), 4);
  EXPECT_EQ(width("N"), 5);
}

TEST(ExpressionCompile, ArgumentCountsAreChecked) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.compileStatus("UPPER(NAME, NAME)"), dbf::kErrExprArgCount);
  EXPECT_EQ(t.compileStatus("UPPER()"), dbf::kErrExprArgCount);
  EXPECT_EQ(t.compileStatus("SUBSTR(NAME)"), dbf::kErrExprArgCount);
  EXPECT_EQ(t.compileStatus("LEFT(NAME, 1, 2)"), dbf::kErrExprArgCount);
  EXPECT_EQ(t.compileStatus("STR(N, 1, 2, 3)"), dbf::kErrExprArgCount);
  EXPECT_EQ(t.compileStatus("IIF(A, 1)"), dbf::kErrExprArgCount);
  EXPECT_EQ(t.compileStatus("DATE( )"), 0);
  EXPECT_EQ(t.compileStatus("RECNO(1)"), dbf::kErrExprArgCount);
}

TEST(ExpressionCompile, TwentyStackedValuesFail) {
  MemoryTable t = sampleTable();
  auto nested = [](int values) {
    std::string text;
    for (int i = 1; i < values; ++i) text += "1+(";
    text += "1";
    text += std::string(static_cast<size_t>(values - 1), ')');
    return text;
  };
  EXPECT_EQ(t.compileStatus(nested(19).c_str()), 0);
  EXPECT_EQ(t.number(nested(19).c_str()), 19);
  EXPECT_EQ(t.compileStatus(nested(20).c_str()), dbf::kErrExprStack);
  // A long flat chain never holds more than two values.
  std::string flat = "1";
  for (int i = 0; i < 100; ++i) flat += "+1";
  EXPECT_EQ(t.number(flat.c_str()), 101);
}

TEST(ExpressionCompile, UnmatchedCloserEndsTheExpression) {
  MemoryTable t = sampleTable();
  t.set("N", "1");
  Compiled a(t.parse("N = 1) B"));
  Compiled b(t.parse("N = 1"));
  ASSERT_NE(a.e, nullptr);
  ASSERT_NE(b.e, nullptr);
  EXPECT_EQ(a.e->stepCount, b.e->stepCount);
  EXPECT_EQ(expression4true(a.e), 1);
  EXPECT_EQ(t.number("2, 3"), 2);
  EXPECT_STREQ(expression4source(a.e), "N = 1) B");
}

TEST(ExpressionCompile, ErrorCodes) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.compileStatus("NAME = 'ab"), dbf::kErrExprQuote);
  EXPECT_EQ(t.compileStatus("NAME = [ab"), dbf::kErrExprQuote);
  EXPECT_EQ(t.compileStatus("(N + 1"), dbf::kErrExprParenMissing);
  EXPECT_EQ(t.compileStatus("UPPER(NAME"), dbf::kErrExprParenMissing);
  EXPECT_EQ(t.compileStatus("NOSUCH(NAME)"), dbf::kErrExprFunction);
  EXPECT_EQ(t.compileStatus("N ! 1"), dbf::kErrExprOperator);
  EXPECT_EQ(t.compileStatus("N 1"), dbf::kErrExprOperator);
  EXPECT_EQ(t.compileStatus("A .NOT. B"), dbf::kErrExprOperator);
  EXPECT_EQ(t.compileStatus("MISSING = 1"), dbf::kErrColumnName);
  EXPECT_EQ(t.compileStatus("ABCDEFGHIJK = 1"), dbf::kErrExprOperand);
  EXPECT_EQ(t.compileStatus("NAME + 1"), dbf::kErrExprType);
  EXPECT_EQ(t.compileStatus("A + B"), dbf::kErrExprType);
  EXPECT_EQ(t.compileStatus("IIF(A, 'ab', 'abc')"), dbf::kErrExprIifWidth);
  EXPECT_EQ(t.compileStatus("OTHER->NAME"), dbf::kErrExprAlias);
  EXPECT_EQ(t.compileStatus(""), dbf::kErrExprOperand);
  EXPECT_EQ(t.compileStatus("()"), dbf::kErrExprOperand);
  EXPECT_EQ(t.compileStatus("N = "), dbf::kErrExprOperand);
  std::string deep(300, '(');
  EXPECT_EQ(t.compileStatus((deep + "1").c_str()), dbf::kErrExprCompile);
  int status = 0;
  EXPECT_EQ(expression4parse(t.table(), nullptr, nullptr, &status), nullptr);
  EXPECT_EQ(status, dbf::kErrNullHandle);
  EXPECT_EQ(expression4parse(nullptr, "1", nullptr, &status), nullptr);
  EXPECT_EQ(status, dbf::kErrNullHandle);
}

// A chain of .NOT.s is read recursively, like nested parentheses: a long one
// is refused with -410 instead of overflowing the compiler's stack.
TEST(ExpressionCompile, LongNotChainIsRefusedNotACrash) {
  MemoryTable t = sampleTable();
  auto chain = [](int nots) {
    std::string text;
    for (int i = 0; i < nots; ++i) text += ".NOT. ";
    return text + ".T.";
  };
  EXPECT_EQ(t.logical(chain(150).c_str()), 1);
  EXPECT_EQ(t.logical(chain(151).c_str()), 0);
  EXPECT_EQ(t.compileStatus(chain(300).c_str()), dbf::kErrExprCompile);
  EXPECT_EQ(t.compileStatus(chain(500000).c_str()), dbf::kErrExprCompile);
}

TEST(ExpressionCompile, ReportingFollowsTheContextSettings) {
  MemoryTable t = sampleTable();
  int status = 0;
  EXPECT_EQ(t.parse("N ! 1", &status), nullptr);
  EXPECT_EQ(t.ctx()->errorCode, dbf::kErrExprOperator);
  engine4errorSet(t.ctx(), 0);

  t.ctx()->reportExpressionErrors = 0;
  EXPECT_EQ(t.parse("N ! 1", &status), nullptr);
  EXPECT_EQ(status, dbf::kErrExprOperator);
  EXPECT_EQ(t.ctx()->errorCode, 0);
  // A missing column follows the column-name setting instead.
  EXPECT_EQ(t.parse("MISSING", &status), nullptr);
  EXPECT_EQ(status, dbf::kErrColumnName);
  EXPECT_EQ(t.ctx()->errorCode, dbf::kErrColumnName);
  engine4errorSet(t.ctx(), 0);
  t.ctx()->reportColumnNameErrors = 0;
  EXPECT_EQ(t.parse("MISSING", &status), nullptr);
  EXPECT_EQ(t.ctx()->errorCode, 0);
}

TEST(ExpressionCompile, ContextInErrorCompilesNothing) {
  MemoryTable t = sampleTable();
  engine4errorSet(t.ctx(), dbf::kErrMemory);
  int status = 0;
  EXPECT_EQ(t.parse("N = 1", &status), nullptr);
  EXPECT_EQ(status, dbf::kErrContextHoldsError);
  EXPECT_EQ(t.ctx()->errorCode, dbf::kErrMemory);
}

TEST(ExpressionCompile, CaseIsIgnoredForNamesOperatorsAndFunctions) {
  MemoryTable t = sampleTable();
  t.set("NAME", "abc");
  t.set("A", "T");
  EXPECT_EQ(t.logical("upper(name) = 'ABC' .and. a"), 1);
  EXPECT_EQ(t.logical("Name = [abc] .Or. .f."), 1);
  EXPECT_EQ(t.logical("test->name = \"abc\""), 1);  // own alias
  EXPECT_EQ(t.logical("TEST.NAME = 'abc'"), 1);
}

TEST(ExpressionCompile, LongerOperatorsWin) {
  MemoryTable t = sampleTable();
  EXPECT_EQ(t.logical("1 <> 2"), 1);
  EXPECT_EQ(t.logical("1 # 1"), 0);
  EXPECT_EQ(t.logical("2 >= 2"), 1);
  EXPECT_EQ(t.logical("2 => 3"), 0);
  EXPECT_EQ(t.logical("2 =< 2"), 1);
  EXPECT_EQ(t.logical("2 <= 1"), 0);
  EXPECT_EQ(t.number("2 ** 10"), 1024);
}

TEST(ExpressionCompile, ColumnConversionsPickTheRow) {
  MemoryTable t = sampleTable();
  Compiled n(t.parse("N = 5"));
  ASSERT_NE(n.e, nullptr);
  EXPECT_EQ(n.e->steps[0].row, kRowNumericAsDouble);
  EXPECT_EQ(n.e->steps[0].width, 8);
  Compiled d(t.parse("D + 1"));
  ASSERT_NE(d.e, nullptr);
  EXPECT_EQ(d.e->steps[0].row, kRowDateAsDayNumber);
  EXPECT_EQ(d.e->type, 'd');
  Compiled dd(t.parse("D - D"));
  ASSERT_NE(dd.e, nullptr);
  EXPECT_EQ(dd.e->type, 'n');
  // Texts compared in place, but copied where they are changed.
  Compiled c(t.parse("NAME = 'ab'"));
  ASSERT_NE(c.e, nullptr);
  EXPECT_EQ(c.e->steps[0].row, kRowCharacterInPlace);
  EXPECT_EQ(c.e->steps[2].offset, 2);
  Compiled u(t.parse("UPPER(NAME)"));
  ASSERT_NE(u.e, nullptr);
  EXPECT_EQ(u.e->steps[0].row, kRowCharacterCopy);
  // TRIM earlier in the text makes "+" the variable-width concatenation.
  Compiled v(t.parse("TRIM(NAME) + CODE"));
  ASSERT_NE(v.e, nullptr);
  EXPECT_EQ(v.e->steps[v.e->stepCount - 1].row, kRowConcatenateTrimmed);
  EXPECT_EQ(v.e->trimmed, 1);
  Compiled p(t.parse("NAME + CODE"));
  ASSERT_NE(p.e, nullptr);
  EXPECT_EQ(p.e->steps[p.e->stepCount - 1].row, kRowConcatenate);
}

TEST(ExpressionCompile, IndexExpressionsUseFixedMemoWidthAndOwnTableOnly) {
  MemoryTable t = sampleTable();
  MemoryTable other({{"X", 'C', 4, 0}}, "OTHER");
  // Make OTHER an open table of t's context.
  other.table()->ctx = t.ctx();
  t.ctx()->defaultGroup.first = other.table();
  Tag* tag = reinterpret_cast<Tag*>(t.table());  // only its presence matters here
  int status = 0;
  Compiled memo(t.parse("NOTE", &status, tag));
  ASSERT_NE(memo.e, nullptr);
  EXPECT_EQ(memo.e->width, 240);
  Compiled plain(t.parse("OTHER->X + NAME", &status));
  ASSERT_NE(plain.e, nullptr);
  EXPECT_EQ(plain.e->steps[0].sameTable, 0);
  EXPECT_EQ(t.parse("OTHER->X + NAME", &status, tag), nullptr);
  EXPECT_EQ(status, dbf::kErrExprForeignAlias);
  t.ctx()->defaultGroup.first = nullptr;
  other.table()->ctx = other.ctx();
}

// Bytes the process has allocated and not freed.
size_t allocatedBytes() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

// 1.7 KB of text whose values need 8 MiB: the work area is that big while the
// expression lives, and freeing the expression gives it back.
TEST(ExpressionCompile, WorkAreaIsSizedToTheNeedAndGivenBack) {
  MemoryTable t = sampleTable();
  Compiled small(t.parse("NAME + NAME + NAME + 'abcdefgh'"));
  ASSERT_NE(small.e, nullptr);
  EXPECT_EQ(small.e->width, 38);
  EXPECT_GE(small.e->workSize, 39u);

  std::string text = "STR(1, 65535)";
  for (int i = 1; i < 128; ++i) text += "+STR(1, 65535)";
  const size_t before = allocatedBytes();
  Expression* large = t.parse(text.c_str());
  ASSERT_NE(large, nullptr);
  EXPECT_GE(large->workSize, 128u * 65535u);
  const char* value = nullptr;
  ASSERT_EQ(expression4evaluate(large, &value), 128 * 65535);
  EXPECT_EQ(value[128 * 65535 - 1], '1');
  expression4free(large);
  EXPECT_LT(allocatedBytes(), before + 65536);
  const char* smallValue = nullptr;
  EXPECT_EQ(expression4evaluate(small.e, &smallValue), 38);
}

}  // namespace
