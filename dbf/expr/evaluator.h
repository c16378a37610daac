// Inside the expression evaluator: the evaluation state the step evaluators
// share, the evaluators named by the operation table, and the value helpers
// that the compiler, the evaluator and the key builder have in common.
#pragma once

#include <cstdint>
#include <cstring>

#include "dbf/core/text.h"
#include "dbf/expr/expression.h"

inline constexpr int kEvaluationStackSlots = 20;

// Process-wide, guarded by the evaluation lock.
struct EvaluationState {
  const char* stack[kEvaluationStackSlots];
  int depth;
  char* work;             // the context's work buffer
  const char* constants;  // the current Expression's constant area
  const Expression* expression;
};

// Unaligned little-endian / native value access. Values in record buffers and
// the work buffer have no alignment guarantee.
inline double value4double(const char* p) {
  double d;
  std::memcpy(&d, p, sizeof d);
  return d;
}
inline void value4putDouble(char* p, double d) { std::memcpy(p, &d, sizeof d); }
inline int32_t value4int(const char* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void value4putInt(char* p, int32_t v) { std::memcpy(p, &v, sizeof v); }
inline int32_t value4int32le(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<int32_t>(uint32_t{u[0]} | uint32_t{u[1]} << 8 | uint32_t{u[2]} << 16 |
                              uint32_t{u[3]} << 24);
}
inline int64_t value4int64le(const char* p) {
  uint64_t lo = static_cast<uint32_t>(value4int32le(p));
  uint64_t hi = static_cast<uint32_t>(value4int32le(p + 4));
  return static_cast<int64_t>(lo | hi << 32);
}

// Reads |width| bytes of decimal text as a number: leading blanks, a sign,
// digits, a decimal point, digits; the first other byte ends it. Blank text
// is 0.
double text4double(const char* text, int width);

// The order-preserving 8-byte encoding of a double used by index keys.
void key4encodeDouble(char* dest8, double value);
// A signed integer of |bytes| (4 or 8) in big-endian order, top bit inverted.
void key4encodeInteger(char* dest, int64_t value, int bytes);

// Clamps a double into [lo, hi] before it is turned into an integer.
int32_t double4clampInt(double v, int32_t lo, int32_t hi);

// Evaluators, one per row (or group of rows) of the operation table.
namespace expr_eval {
void columnInPlace(EvaluationState&, const ExpressionStep&);
void columnCopy(EvaluationState&, const ExpressionStep&);
void logicalColumn(EvaluationState&, const ExpressionStep&);
void dateColumnAsDayNumber(EvaluationState&, const ExpressionStep&);
void numericColumnAsDouble(EvaluationState&, const ExpressionStep&);
void integerColumnAsDouble(EvaluationState&, const ExpressionStep&);
void currencyColumnAsDouble(EvaluationState&, const ExpressionStep&);
void memoColumn(EvaluationState&, const ExpressionStep&);
void constant(EvaluationState&, const ExpressionStep&);
void logicalTrue(EvaluationState&, const ExpressionStep&);
void logicalFalse(EvaluationState&, const ExpressionStep&);
void logicalNot(EvaluationState&, const ExpressionStep&);
void logicalOr(EvaluationState&, const ExpressionStep&);
void logicalAnd(EvaluationState&, const ExpressionStep&);
void concatenate(EvaluationState&, const ExpressionStep&);
void concatenateTrimmed(EvaluationState&, const ExpressionStep&);
void addNumbers(EvaluationState&, const ExpressionStep&);
void addToDate(EvaluationState&, const ExpressionStep&);
void concatenateBlanksBehind(EvaluationState&, const ExpressionStep&);
void subtractNumbers(EvaluationState&, const ExpressionStep&);
void subtractDates(EvaluationState&, const ExpressionStep&);
void subtractFromDate(EvaluationState&, const ExpressionStep&);
void notEqualText(EvaluationState&, const ExpressionStep&);
void notEqualLogical(EvaluationState&, const ExpressionStep&);
void notEqualBytes8(EvaluationState&, const ExpressionStep&);
void greaterEqualText(EvaluationState&, const ExpressionStep&);
void greaterEqualNumber(EvaluationState&, const ExpressionStep&);
void greaterEqualCurrency(EvaluationState&, const ExpressionStep&);
void greaterEqualDateTime(EvaluationState&, const ExpressionStep&);
void lessEqualText(EvaluationState&, const ExpressionStep&);
void lessEqualNumber(EvaluationState&, const ExpressionStep&);
void lessEqualCurrency(EvaluationState&, const ExpressionStep&);
void lessEqualDateTime(EvaluationState&, const ExpressionStep&);
void equalText(EvaluationState&, const ExpressionStep&);
void equalLogical(EvaluationState&, const ExpressionStep&);
void equalBytes8(EvaluationState&, const ExpressionStep&);
void greaterText(EvaluationState&, const ExpressionStep&);
void greaterNumber(EvaluationState&, const ExpressionStep&);
void greaterCurrency(EvaluationState&, const ExpressionStep&);
void greaterDateTime(EvaluationState&, const ExpressionStep&);
void lessText(EvaluationState&, const ExpressionStep&);
void lessNumber(EvaluationState&, const ExpressionStep&);
void lessCurrency(EvaluationState&, const ExpressionStep&);
void lessDateTime(EvaluationState&, const ExpressionStep&);
void power(EvaluationState&, const ExpressionStep&);
void multiply(EvaluationState&, const ExpressionStep&);
void divide(EvaluationState&, const ExpressionStep&);
void contains(EvaluationState&, const ExpressionStep&);
void chr(EvaluationState&, const ExpressionStep&);
void del(EvaluationState&, const ExpressionStep&);
void str(EvaluationState&, const ExpressionStep&);
void substr(EvaluationState&, const ExpressionStep&);
void time(EvaluationState&, const ExpressionStep&);
void upper(EvaluationState&, const ExpressionStep&);
void dtosText(EvaluationState&, const ExpressionStep&);
void dtosDayNumber(EvaluationState&, const ExpressionStep&);
void dtocText(EvaluationState&, const ExpressionStep&);
void dtocDayNumber(EvaluationState&, const ExpressionStep&);
void trim(EvaluationState&, const ExpressionStep&);
void ltrim(EvaluationState&, const ExpressionStep&);
void alltrim(EvaluationState&, const ExpressionStep&);
void right(EvaluationState&, const ExpressionStep&);
void iif(EvaluationState&, const ExpressionStep&);
void stod(EvaluationState&, const ExpressionStep&);
void ctod(EvaluationState&, const ExpressionStep&);
void date(EvaluationState&, const ExpressionStep&);
void dayText(EvaluationState&, const ExpressionStep&);
void dayDayNumber(EvaluationState&, const ExpressionStep&);
void monthText(EvaluationState&, const ExpressionStep&);
void monthDayNumber(EvaluationState&, const ExpressionStep&);
void yearText(EvaluationState&, const ExpressionStep&);
void yearDayNumber(EvaluationState&, const ExpressionStep&);
void deleted(EvaluationState&, const ExpressionStep&);
void recCount(EvaluationState&, const ExpressionStep&);
void recNo(EvaluationState&, const ExpressionStep&);
void val(EvaluationState&, const ExpressionStep&);
void calculation(EvaluationState&, const ExpressionStep&);
void descend(EvaluationState&, const ExpressionStep&);
void ascend(EvaluationState&, const ExpressionStep&);
}  // namespace expr_eval
