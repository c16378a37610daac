// The step evaluators of the operation table. Each pops its arguments from the
// value stack (pointers to values in the work buffer or the record buffer) and
// pushes one value written at the position the compiler gave its step.
// Evaluators never fail: division by zero gives 0 and a blank date in date
// arithmetic gives a blank date.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dbf/core/date.h"
#include "dbf/core/table.h"
#include "dbf/expr/evaluator.h"

namespace {

char* resultOf(EvaluationState& st, const ExpressionStep& s) { return st.work + s.resultPosition; }
const char* const* argumentsOf(EvaluationState& st, int count) {
  return &st.stack[st.depth - count];
}
void push(EvaluationState& st, const char* value) { st.stack[st.depth++] = value; }
// The value replaces the |count| arguments on the stack.
void replace(EvaluationState& st, int count, const char* value) {
  st.depth -= count;
  st.stack[st.depth++] = value;
}
void pushLogical(EvaluationState& st, const ExpressionStep& s, int count, bool value) {
  char* out = resultOf(st, s);
  value4putInt(out, value ? 1 : 0);
  replace(st, count, out);
}
void pushNumber(EvaluationState& st, const ExpressionStep& s, int count, double value) {
  char* out = resultOf(st, s);
  value4putDouble(out, value);
  replace(st, count, out);
}
const char* recordOf(const ExpressionStep& s) { return *s.recordReference; }

// The steps whose values are the right and the left argument of a binary step.
const ExpressionStep& rightStep(const ExpressionStep& s) { return *(&s - 1); }
const ExpressionStep& leftStep(const ExpressionStep& s) {
  const ExpressionStep& right = rightStep(s);
  return *(&right - right.subtreeSize);
}

int compareText(const char* a, const char* b, const ExpressionStep& s) {
  return std::memcmp(a, b, static_cast<size_t>(s.offset));
}
bool textGreater(const char* const* a, const ExpressionStep& s) {
  const int c = compareText(a[0], a[1], s);
  return c > 0 || (c == 0 && s.longerOperand == 1);
}
bool textLess(const char* const* a, const ExpressionStep& s) {
  const int c = compareText(a[0], a[1], s);
  return c < 0 || (c == 0 && s.longerOperand == 2);
}
int compareCurrency(const char* a, const char* b) {
  const int64_t x = value4int64le(a), y = value4int64le(b);
  return x < y ? -1 : x > y ? 1 : 0;
}
int compareDateTime(const char* a, const char* b) {
  const int32_t da = value4int32le(a), db = value4int32le(b);
  if (da != db) return da < db ? -1 : 1;
  const int32_t ma = value4int32le(a + 4), mb = value4int32le(b + 4);
  return ma < mb ? -1 : ma > mb ? 1 : 0;
}

// CCYYMMDD of a day-number value. Days outside the years 1 to 9999 have no
// CCYYMMDD form and show as a blank date.
constexpr int32_t kLastDayNumber = 5373484;  // 31 December 9999
void dayNumberText(char* dest8, double dayNumber) {
  int32_t day = double4clampInt(dayNumber, 0, INT32_MAX);
  if (day < kDayNumberOfYearOne || day > kLastDayNumber) day = 0;
  date4fromDayNumber(dest8, day);
}

// Shapes CCYYMMDD by the context's date format into exactly |width| bytes,
// even when the format changed since compilation.
void formatDate(const EvaluationState& st, const char* ccyymmdd, char* dest, int width) {
  const char* picture = st.expression->ctx->dateFormat;
  char shaped[sizeof st.expression->ctx->dateFormat];
  char source[8];
  std::memcpy(source, ccyymmdd, 8);
  const int length = static_cast<int>(strnlen(picture, sizeof shaped - 1));
  char pictureCopy[sizeof shaped] = {};
  std::memcpy(pictureCopy, picture, static_cast<size_t>(length));
  date4format(source, shaped, pictureCopy);
  const int used = length < width ? length : width;
  std::memcpy(dest, shaped, static_cast<size_t>(used));
  std::memset(dest + used, ' ', static_cast<size_t>(width - used));
}

double datePart(const char* ccyymmdd, int first, int count) {
  return text4double(ccyymmdd + first, count);
}

}  // namespace

namespace {

// More significant digits than this cannot change a double's rounding (767
// would do); the rest only count as zero or not.
constexpr int kMaxSignificantDigits = 800;

// The decimal number of |digits| digit and dot bytes as a double, correctly
// rounded however many digits it has: its significant digits and a decimal
// exponent go to strtod (no dot, so the locale does not matter).
double longDecimal(const char* digits, int length) {
  char text[kMaxSignificantDigits + 32];
  int n = 0;
  int64_t exponent = 0;
  bool dot = false, dropped = false;
  for (int i = 0; i < length; ++i) {
    const char c = digits[i];
    if (c == '.') {
      dot = true;
    } else if (n == 0 && c == '0') {
      if (dot) --exponent;  // a leading zero after the dot moves the point
    } else if (n < kMaxSignificantDigits) {
      text[n++] = c;
      if (dot) --exponent;
    } else {
      dropped = dropped || c != '0';
      if (!dot) ++exponent;
    }
  }
  if (n == 0) return 0.0;
  if (dropped) {  // a last 1 stands for the non-zero digits left out
    text[n++] = '1';
    --exponent;
  }
  std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "e%lld",
                static_cast<long long>(exponent));
  return std::strtod(text, nullptr);
}

}  // namespace

double text4double(const char* text, int width) {
  int i = 0;
  while (i < width && text[i] == ' ') ++i;
  bool negative = false;
  if (i < width && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  const int start = i;
  uint64_t mantissa = 0;
  int digits = 0, decimals = 0;
  bool dot = false;
  for (; i < width; ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
      ++digits;
      if (dot) ++decimals;
      if (digits > 15) break;
    } else if (c == '.' && !dot) {
      dot = true;
    } else {
      break;
    }
  }
  double value;
  if (digits <= 15) {
    // Both operands are exact doubles, so the quotient is correctly rounded.
    static const double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    value = static_cast<double>(mantissa) / kPowers[decimals];
  } else {
    int end = start;
    for (bool seenDot = false; end < width; ++end) {
      const char c = text[end];
      if (c == '.' && !seenDot) {
        seenDot = true;
      } else if (c < '0' || c > '9') {
        break;
      }
    }
    value = longDecimal(text + start, end - start);
  }
  if (value == 0) return 0.0;  // "-0" is plain zero
  return negative ? -value : value;
}

void key4encodeDouble(char* dest8, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i) dest8[i] = static_cast<char>(bits >> (56 - 8 * i));
  if (!(value < 0.0)) {
    dest8[0] = static_cast<char>(static_cast<unsigned char>(dest8[0]) + 0x80);
  } else {
    for (int i = 0; i < 8; ++i) dest8[i] = static_cast<char>(~dest8[i]);
  }
}

void key4encodeInteger(char* dest, int64_t value, int bytes) {
  const auto bits = static_cast<uint64_t>(value);
  for (int i = 0; i < bytes; ++i) dest[i] = static_cast<char>(bits >> (8 * (bytes - 1 - i)));
  dest[0] = static_cast<char>(static_cast<unsigned char>(dest[0]) ^ 0x80);
}

int32_t double4clampInt(double v, int32_t lo, int32_t hi) {
  if (std::isnan(v)) return 0;
  if (v <= lo) return lo;
  if (v >= hi) return hi;
  return static_cast<int32_t>(v);
}

namespace expr_eval {

// --- column loads and constants ---

void columnInPlace(EvaluationState& st, const ExpressionStep& s) {
  push(st, recordOf(s) + s.offset);
}

void columnCopy(EvaluationState& st, const ExpressionStep& s) {
  char* out = resultOf(st, s);
  std::memcpy(out, recordOf(s) + s.offset, static_cast<size_t>(s.width));
  push(st, out);
}

void logicalColumn(EvaluationState& st, const ExpressionStep& s) {
  const char c = recordOf(s)[s.offset];
  pushLogical(st, s, 0, c == 'T' || c == 't' || c == 'Y' || c == 'y');
}

void dateColumnAsDayNumber(EvaluationState& st, const ExpressionStep& s) {
  pushNumber(st, s, 0, date4dayNumber(recordOf(s) + s.offset));
}

void numericColumnAsDouble(EvaluationState& st, const ExpressionStep& s) {
  pushNumber(st, s, 0,
             text4double(recordOf(s) + s.offset, static_cast<uint16_t>(s.column->length)));
}

void integerColumnAsDouble(EvaluationState& st, const ExpressionStep& s) {
  pushNumber(st, s, 0, value4int32le(recordOf(s) + s.offset));
}

void currencyColumnAsDouble(EvaluationState& st, const ExpressionStep& s) {
  pushNumber(st, s, 0, static_cast<double>(value4int64le(recordOf(s) + s.offset)) / 10000.0);
}

void memoColumn(EvaluationState& st, const ExpressionStep& s) {
  char* out = resultOf(st, s);
  uint32_t length = 0;
  // A column without memo state (no memo file behind it) reads as an empty
  // memo. A failing memo read leaves the context in error and the bytes as
  // they were.
  if (s.column->memo == nullptr) {
    std::memset(out, 0, static_cast<size_t>(s.width));
  } else if (const char* text = column4memoText(s.column, &length)) {
    const uint32_t width = static_cast<uint32_t>(s.width);
    const uint32_t used = length < width ? length : width;
    std::memcpy(out, text, used);
    std::memset(out + used, 0, width - used);
  }
  push(st, out);
}

void constant(EvaluationState& st, const ExpressionStep& s) {
  char* out = resultOf(st, s);
  std::memcpy(out, st.constants + s.offset, static_cast<size_t>(s.width));
  push(st, out);
}

void logicalTrue(EvaluationState& st, const ExpressionStep& s) { pushLogical(st, s, 0, true); }
void logicalFalse(EvaluationState& st, const ExpressionStep& s) { pushLogical(st, s, 0, false); }

// --- logical operators ---

void logicalNot(EvaluationState& st, const ExpressionStep& s) {
  pushLogical(st, s, 1, value4int(argumentsOf(st, 1)[0]) == 0);
}

void logicalOr(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, s.argumentCount);
  bool any = false;
  for (int i = 0; i < s.argumentCount; ++i) any = any || value4int(a[i]) != 0;
  pushLogical(st, s, s.argumentCount, any);
}

void logicalAnd(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, s.argumentCount);
  bool all = true;
  for (int i = 0; i < s.argumentCount; ++i) all = all && value4int(a[i]) != 0;
  pushLogical(st, s, s.argumentCount, all);
}

// --- arithmetic ---

namespace {
// Places both texts side by side at the step's position (they normally are).
char* textsSideBySide(EvaluationState& st, const ExpressionStep& s, int* leftWidth,
                      int* rightWidth) {
  const char* const* a = argumentsOf(st, 2);
  char* out = resultOf(st, s);
  *leftWidth = leftStep(s).width;
  *rightWidth = rightStep(s).width;
  if (a[0] != out) std::memmove(out, a[0], static_cast<size_t>(*leftWidth));
  if (a[1] != out + *leftWidth)
    std::memmove(out + *leftWidth, a[1], static_cast<size_t>(*rightWidth));
  return out;
}

// The right text moves up behind the last byte of the left text that is not
// |pad|; the freed tail is filled with |pad|.
void concatenatePadBehind(EvaluationState& st, const ExpressionStep& s, char pad) {
  int wl, wr;
  char* out = textsSideBySide(st, s, &wl, &wr);
  int k = wl;
  while (k > 0 && out[k - 1] == pad) --k;
  std::memmove(out + k, out + wl, static_cast<size_t>(wr));
  std::memset(out + k + wr, pad, static_cast<size_t>(wl - k));
  replace(st, 2, out);
}
}  // namespace

void concatenate(EvaluationState& st, const ExpressionStep& s) {
  int wl, wr;
  replace(st, 2, textsSideBySide(st, s, &wl, &wr));
}
void concatenateTrimmed(EvaluationState& st, const ExpressionStep& s) {
  concatenatePadBehind(st, s, '\0');
}
void concatenateBlanksBehind(EvaluationState& st, const ExpressionStep& s) {
  concatenatePadBehind(st, s, ' ');
}

void addNumbers(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushNumber(st, s, 2, value4double(a[0]) + value4double(a[1]));
}

void addToDate(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  const double x = value4double(a[0]), y = value4double(a[1]);
  const double date = s.row == 26 ? y : x;
  pushNumber(st, s, 2, date == 0 ? 0.0 : x + y);
}

void subtractNumbers(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushNumber(st, s, 2, value4double(a[0]) - value4double(a[1]));
}

void subtractDates(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  const double x = value4double(a[0]), y = value4double(a[1]);
  pushNumber(st, s, 2, (x == 0 || y == 0) ? 0.0 : x - y);
}

void subtractFromDate(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  const double x = value4double(a[0]), y = value4double(a[1]);
  pushNumber(st, s, 2, x == 0 ? 0.0 : x - y);
}

void power(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushNumber(st, s, 2, std::pow(value4double(a[0]), value4double(a[1])));
}

void multiply(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushNumber(st, s, 2, value4double(a[0]) * value4double(a[1]));
}

void divide(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  const double divisor = value4double(a[1]);
  pushNumber(st, s, 2, divisor == 0 ? 0.0 : value4double(a[0]) / divisor);
}

// --- comparisons ---

void notEqualText(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, compareText(a[0], a[1], s) != 0);
}
void notEqualLogical(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, std::memcmp(a[0], a[1], 4) != 0);
}
void notEqualBytes8(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, std::memcmp(a[0], a[1], 8) != 0);
}
void equalText(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, compareText(a[0], a[1], s) == 0);
}
void equalLogical(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, std::memcmp(a[0], a[1], 4) == 0);
}
void equalBytes8(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, std::memcmp(a[0], a[1], 8) == 0);
}
void greaterText(EvaluationState& st, const ExpressionStep& s) {
  pushLogical(st, s, 2, textGreater(argumentsOf(st, 2), s));
}
void lessText(EvaluationState& st, const ExpressionStep& s) {
  pushLogical(st, s, 2, textLess(argumentsOf(st, 2), s));
}
void greaterEqualText(EvaluationState& st, const ExpressionStep& s) {
  pushLogical(st, s, 2, !textLess(argumentsOf(st, 2), s));
}
void lessEqualText(EvaluationState& st, const ExpressionStep& s) {
  pushLogical(st, s, 2, !textGreater(argumentsOf(st, 2), s));
}
void greaterNumber(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, value4double(a[0]) > value4double(a[1]));
}
void lessNumber(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, value4double(a[0]) < value4double(a[1]));
}
void greaterEqualNumber(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, value4double(a[0]) >= value4double(a[1]));
}
void lessEqualNumber(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, value4double(a[0]) <= value4double(a[1]));
}
void greaterCurrency(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, compareCurrency(a[0], a[1]) > 0);
}
void lessCurrency(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, compareCurrency(a[0], a[1]) < 0);
}
void greaterEqualCurrency(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, compareCurrency(a[0], a[1]) >= 0);
}
void lessEqualCurrency(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, compareCurrency(a[0], a[1]) <= 0);
}
void greaterDateTime(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, compareDateTime(a[0], a[1]) > 0);
}
void lessDateTime(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, compareDateTime(a[0], a[1]) < 0);
}
void greaterEqualDateTime(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, compareDateTime(a[0], a[1]) >= 0);
}
void lessEqualDateTime(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  pushLogical(st, s, 2, compareDateTime(a[0], a[1]) <= 0);
}

void contains(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 2);
  const int wl = leftStep(s).width, wr = rightStep(s).width;
  bool found = false;
  for (int i = 0; i + wl <= wr && !found; ++i)
    found = std::memcmp(a[1] + i, a[0], static_cast<size_t>(wl)) == 0;
  pushLogical(st, s, 2, found);
}

// --- functions ---

void chr(EvaluationState& st, const ExpressionStep& s) {
  // The byte of the integer part, modulo 256 for codes outside 0 to 255.
  const double v = std::trunc(value4double(argumentsOf(st, 1)[0]));
  double code = std::isfinite(v) ? std::fmod(v, 256.0) : 0.0;
  if (code < 0) code += 256.0;
  char* out = resultOf(st, s);
  out[0] = static_cast<char>(static_cast<unsigned char>(code));
  replace(st, 1, out);
}

void del(EvaluationState& st, const ExpressionStep& s) {
  char* out = resultOf(st, s);
  out[0] = recordOf(s)[0];
  push(st, out);
}

namespace {

// |value| rounded to |decimals| places, half away from zero on the shortest
// decimal form that reads back as the same double (the value a user wrote or
// sees: 2.5 is 3, 1.005 is 1.01), right-aligned in |width| bytes, never as
// "-0"; asterisks when it does not fit or is no finite number.
void putRounded(char* out, int width, int decimals, double value) {
  std::memset(out, '*', static_cast<size_t>(width));
  if (!std::isfinite(value)) return;
  char shortest[40];
  const auto made = std::to_chars(shortest, shortest + sizeof shortest - 1, std::fabs(value),
                                  std::chars_format::scientific);
  if (made.ec != std::errc()) return;
  *made.ptr = '\0';  // to_chars leaves no terminator; strtol below needs one
  // shortest: d[.ddd]e[+-]xx. The digits are 0.d1d2... times 10^point.
  char digits[24];
  int n = 0;
  const char* p = shortest;
  for (; p < made.ptr && *p != 'e'; ++p)
    if (*p != '.') digits[n++] = *p;
  const int64_t point = std::strtol(p + 1, nullptr, 10) + 1;
  // The rounded number times 10^decimals: the first |keep| digits, rounded by
  // the next one, then zeros up to |keep| digits in all.
  const int64_t keep = point + decimals;
  int prefix = static_cast<int>(std::clamp<int64_t>(keep, 0, n));
  bool roundUp = keep >= 0 && keep < n && digits[keep] >= '5';
  for (int k = prefix - 1; roundUp && k >= 0; --k) {
    roundUp = digits[k] == '9';
    digits[k] = roundUp ? '0' : static_cast<char>(digits[k] + 1);
  }
  int64_t length = std::max<int64_t>(keep, 0);
  if (roundUp) {  // 9.99 became 10.00: one digit more in front
    std::memmove(digits + 1, digits, static_cast<size_t>(prefix));
    digits[0] = '1';
    ++prefix;
    ++length;
  }
  bool zero = true;
  for (int k = 0; k < prefix; ++k) zero = zero && digits[k] == '0';
  auto digitAt = [&](int64_t k) { return k < prefix ? digits[k] : '0'; };

  // Integer part (at least "0"), then the point and |decimals| digits.
  const int64_t integerDigits = length - decimals;
  const int64_t shown = std::max<int64_t>(integerDigits, 1) + (decimals > 0 ? decimals + 1 : 0) +
                        (value < 0 && !zero ? 1 : 0);
  if (shown > width) return;
  std::memset(out, ' ', static_cast<size_t>(width - shown));
  char* q = out + (width - shown);
  if (value < 0 && !zero) *q++ = '-';
  if (integerDigits <= 0) *q++ = '0';
  for (int64_t k = 0; k < integerDigits; ++k) *q++ = digitAt(k);
  if (decimals > 0) {
    *q++ = '.';
    for (int64_t k = integerDigits; k < length; ++k) *q++ = k < 0 ? '0' : digitAt(k);
  }
}

}  // namespace

void str(EvaluationState& st, const ExpressionStep& s) {
  const double v = value4double(argumentsOf(st, 1)[0]);
  putRounded(resultOf(st, s), s.width, s.offset, v);
  replace(st, 1, resultOf(st, s));
}

void substr(EvaluationState& st, const ExpressionStep& s) {
  const char* source = argumentsOf(st, 1)[0];
  char* out = resultOf(st, s);
  std::memmove(out, source + s.offset, static_cast<size_t>(s.width));
  replace(st, 1, out);
}

void right(EvaluationState& st, const ExpressionStep& s) {
  const char* source = argumentsOf(st, 1)[0];
  char* out = resultOf(st, s);
  const int available = rightStep(s).width - s.offset;
  const int used = available < s.width ? available : s.width;
  std::memmove(out, source + s.offset, static_cast<size_t>(used));
  std::memset(out + used, ' ', static_cast<size_t>(s.width - used));
  replace(st, 1, out);
}

void time(EvaluationState& st, const ExpressionStep& s) {
  char* out = resultOf(st, s);
  date4timeNow(out);
  push(st, out);
}

namespace {
char* textInPlace(EvaluationState& st, const ExpressionStep& s) {
  const char* source = argumentsOf(st, 1)[0];
  char* out = resultOf(st, s);
  if (source != out) std::memmove(out, source, static_cast<size_t>(s.width));
  return out;
}
void trimRight(char* text, int width) {
  for (int k = width; k > 0 && (text[k - 1] == ' ' || text[k - 1] == '\0'); --k) text[k - 1] = '\0';
}
void trimLeft(char* text, int width) {
  int i = 0;
  while (i < width && (text[i] == ' ' || text[i] == '\0')) ++i;
  std::memmove(text, text + i, static_cast<size_t>(width - i));
  std::memset(text + width - i, 0, static_cast<size_t>(i));
}
}  // namespace

void upper(EvaluationState& st, const ExpressionStep& s) {
  char* out = textInPlace(st, s);
  for (int i = 0; i < s.width && out[i] != '\0'; ++i)
    out[i] = static_cast<char>(char4upper(static_cast<unsigned char>(out[i])));
  replace(st, 1, out);
}

void trim(EvaluationState& st, const ExpressionStep& s) {
  char* out = textInPlace(st, s);
  trimRight(out, s.width);
  replace(st, 1, out);
}

void ltrim(EvaluationState& st, const ExpressionStep& s) {
  char* out = textInPlace(st, s);
  trimLeft(out, s.width);
  replace(st, 1, out);
}

void alltrim(EvaluationState& st, const ExpressionStep& s) {
  char* out = textInPlace(st, s);
  trimLeft(out, s.width);
  trimRight(out, s.width);
  replace(st, 1, out);
}

void dtosText(EvaluationState& st, const ExpressionStep& s) {
  const char* source = argumentsOf(st, 1)[0];
  char* out = resultOf(st, s);
  std::memmove(out, source, 8);
  replace(st, 1, out);
}

void dtosDayNumber(EvaluationState& st, const ExpressionStep& s) {
  const double v = value4double(argumentsOf(st, 1)[0]);
  char* out = resultOf(st, s);
  dayNumberText(out, v);
  replace(st, 1, out);
}

void dtocText(EvaluationState& st, const ExpressionStep& s) {
  const char* source = argumentsOf(st, 1)[0];
  char* out = resultOf(st, s);
  formatDate(st, source, out, s.width);
  replace(st, 1, out);
}

void dtocDayNumber(EvaluationState& st, const ExpressionStep& s) {
  char text[8];
  dayNumberText(text, value4double(argumentsOf(st, 1)[0]));
  char* out = resultOf(st, s);
  formatDate(st, text, out, s.width);
  replace(st, 1, out);
}

void iif(EvaluationState& st, const ExpressionStep& s) {
  const char* const* a = argumentsOf(st, 3);
  const char* chosen = value4int(a[0]) != 0 ? a[1] : a[2];
  char* out = resultOf(st, s);
  std::memmove(out, chosen, static_cast<size_t>(s.width));
  replace(st, 3, out);
}

void stod(EvaluationState& st, const ExpressionStep& s) {
  const char* source = argumentsOf(st, 1)[0];
  const int width = rightStep(s).width;
  char text[8];
  std::memset(text, ' ', sizeof text);
  std::memcpy(text, source, static_cast<size_t>(width < 8 ? width : 8));
  const int32_t day = date4dayNumber(text);
  pushNumber(st, s, 1, day > 0 ? day : 0);
}

void ctod(EvaluationState& st, const ExpressionStep& s) {
  const char* source = argumentsOf(st, 1)[0];
  const int width = rightStep(s).width;
  char text[sizeof st.expression->ctx->dateFormat + 1];
  std::memset(text, ' ', sizeof text - 1);
  text[sizeof text - 1] = '\0';
  const int used =
      width < static_cast<int>(sizeof text) - 1 ? width : static_cast<int>(sizeof text) - 1;
  std::memcpy(text, source, static_cast<size_t>(used));
  char picture[sizeof st.expression->ctx->dateFormat] = {};
  std::memcpy(picture, st.expression->ctx->dateFormat, sizeof picture - 1);
  char ccyymmdd[8];
  int32_t day = 0;
  if (date4parse(ccyymmdd, text, picture) != 0) day = date4dayNumber(ccyymmdd);
  pushNumber(st, s, 1, day > 0 ? day : 0);
}

void date(EvaluationState& st, const ExpressionStep& s) {
  char today[8];
  date4today(today);
  pushNumber(st, s, 0, date4dayNumber(today));
}

void dayText(EvaluationState& st, const ExpressionStep& s) {
  pushNumber(st, s, 1, datePart(argumentsOf(st, 1)[0], 6, 2));
}
void monthText(EvaluationState& st, const ExpressionStep& s) {
  pushNumber(st, s, 1, datePart(argumentsOf(st, 1)[0], 4, 2));
}
void yearText(EvaluationState& st, const ExpressionStep& s) {
  pushNumber(st, s, 1, datePart(argumentsOf(st, 1)[0], 0, 4));
}
void dayDayNumber(EvaluationState& st, const ExpressionStep& s) {
  char text[8];
  dayNumberText(text, value4double(argumentsOf(st, 1)[0]));
  pushNumber(st, s, 1, datePart(text, 6, 2));
}
void monthDayNumber(EvaluationState& st, const ExpressionStep& s) {
  char text[8];
  dayNumberText(text, value4double(argumentsOf(st, 1)[0]));
  pushNumber(st, s, 1, datePart(text, 4, 2));
}
void yearDayNumber(EvaluationState& st, const ExpressionStep& s) {
  char text[8];
  dayNumberText(text, value4double(argumentsOf(st, 1)[0]));
  pushNumber(st, s, 1, datePart(text, 0, 4));
}

void deleted(EvaluationState& st, const ExpressionStep& s) {
  pushLogical(st, s, 0, recordOf(s)[0] == '*');
}

void recCount(EvaluationState& st, const ExpressionStep& s) {
  Table* table = st.expression->table;
  pushNumber(st, s, 0, table->dataFile != nullptr ? table4recCount(table) : 0);
}

void recNo(EvaluationState& st, const ExpressionStep& s) {
  pushNumber(st, s, 0, st.expression->table->recordNumber);
}

void val(EvaluationState& st, const ExpressionStep& s) {
  const char* source = argumentsOf(st, 1)[0];
  pushNumber(st, s, 1, text4double(source, rightStep(s).width));
}

// No calculations are registered in this engine; the row cannot be compiled.
void calculation(EvaluationState& st, const ExpressionStep& s) { pushNumber(st, s, 0, 0.0); }

namespace {
enum SortableKind { kSortC, kSortN, kSortD, kSortDayNumber, kSortL, kSortNumber, kSortT };

// ASCEND: the argument in a form whose byte order is its value order.
char* sortable(EvaluationState& st, const ExpressionStep& s, SortableKind kind) {
  const char* source = argumentsOf(st, 1)[0];
  char* out = resultOf(st, s);
  switch (kind) {
    case kSortC:
    case kSortD:
      if (source != out) std::memmove(out, source, static_cast<size_t>(s.width));
      break;
    case kSortN: {
      if (source != out) std::memmove(out, source, static_cast<size_t>(s.width));
      bool negative = false;
      for (int i = 0; i < s.width && (out[i] == ' ' || out[i] == '-'); ++i) {
        negative = negative || out[i] == '-';
        out[i] = '0';
      }
      if (negative)
        for (int i = 0; i < s.width; ++i) out[i] = static_cast<char>(92 - out[i]);
      break;
    }
    case kSortDayNumber:
      dayNumberText(out, value4double(source));
      break;
    case kSortL:
      out[0] = value4int(source) != 0 ? '1' : '0';
      break;
    case kSortNumber:
      key4encodeDouble(out, value4double(source));
      break;
    case kSortT: {
      const int32_t day = value4int32le(source), ms = value4int32le(source + 4);
      key4encodeInteger(out, day, 4);
      key4encodeInteger(out + 4, ms, 4);
      break;
    }
  }
  return out;
}
}  // namespace

void ascend(EvaluationState& st, const ExpressionStep& s) {
  replace(st, 1, sortable(st, s, static_cast<SortableKind>(s.row - 114)));
}

void descend(EvaluationState& st, const ExpressionStep& s) {
  const auto kind = static_cast<SortableKind>(s.row - 107);
  char* out = sortable(st, s, kind);
  for (int i = 0; i < s.width; ++i) {
    const auto b = static_cast<unsigned char>(out[i]);
    out[i] = static_cast<char>(kind == kSortNumber || kind == kSortT ? ~b : (256 - b) & 0xFF);
  }
  replace(st, 1, out);
}

}  // namespace expr_eval
