// Column contents as integers: column4storeLong and column4long translate a
// 32-bit value to and from each column type's stored form, column4blank
// empties a column.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "dbf/core/date.h"
#include "dbf/core/table.h"
#include "dbf/core/table_internal.h"

using namespace dbf;

namespace {

char* columnBytes(Column* c) { return c->table->record + c->offset; }

void putLE(char* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint64_t getLE(const char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

int32_t saturate(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// Right-aligns |text| in the column, blanks on the left; asterisks when it
// does not fit.
void putRight(char* p, uint32_t width, const char* text) {
  const size_t n = std::strlen(text);
  if (n > width) {
    std::memset(p, '*', width);
    return;
  }
  std::memset(p, ' ', width - n);
  std::memcpy(p + width - n, text, n);
}

}  // namespace

// A decimal integer at the start of |p| (|n| bytes): leading blanks, a sign,
// digits up to the first other character.
int32_t text4long(const char* p, uint32_t n) {
  uint32_t i = 0;
  while (i < n && p[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (p[i] == '-' || p[i] == '+')) negative = p[i++] == '-';
  int64_t v = 0;
  for (; i < n && p[i] >= '0' && p[i] <= '9'; ++i) {
    v = v * 10 + (p[i] - '0');
    if (v > (int64_t{1} << 32)) break;
  }
  return saturate(negative ? -v : v);
}

int column4storeLong(Column* c, int32_t value) {
  if (c == nullptr) return engine4error(nullptr, kErrNullHandle, 90516);
  Table* t = c->table;
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  const int type = c->type;
  if (type == '0' || type == 'L' || type == 'T')
    return engine4error(t->ctx, kErrParameter, 81409, t->alias, c->name);
  int rc = column4checkLockRule(c, 90516);
  if (rc < 0) return rc;
  char* p = columnBytes(c);
  const bool fox = dataFile4isFox30(t->dataFile);
  if (type == 'D') {
    date4fromDayNumber(p, value);
  } else if ((type == 'M' || type == 'G' || type == 'X') && c->length == 4) {
    putLE(p, static_cast<uint32_t>(value), 4);
  } else if (type == 'I') {
    putLE(p, static_cast<uint32_t>(value), 4);
  } else if (type == 'B' && fox) {
    double d = value;
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    putLE(p, bits, 8);
  } else if (type == 'Y') {
    putLE(p, static_cast<uint64_t>(static_cast<int64_t>(value) * 10000), 8);
  } else if (c->decimals > 0) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", c->decimals, static_cast<double>(value));
    putRight(p, c->length, text);
  } else {
    char text[16];
    std::snprintf(text, sizeof text, "%ld", static_cast<long>(value));
    putRight(p, c->length, text);
  }
  t->changed = true;
  return 0;
}

int32_t column4long(Column* c) {
  if (c == nullptr) return engine4error(nullptr, kErrNullHandle, 90517);
  Table* t = c->table;
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  const char* p = columnBytes(c);
  const bool fox = dataFile4isFox30(t->dataFile);
  switch (c->type) {
    case '0':
      return engine4error(t->ctx, kErrParameter, 90517, t->alias, c->name);
    case 'L':
    case 'T':
      return 0;
    case 'D':
      return date4dayNumber(p);
    case 'I':
      return static_cast<int32_t>(static_cast<uint32_t>(getLE(p, 4)));
    case 'Y':
      return saturate(static_cast<int64_t>(getLE(p, 8)) / 10000);
    case 'B':
      if (fox) {
        uint64_t bits = getLE(p, 8);
        double d;
        std::memcpy(&d, &bits, 8);
        if (!(d == d)) return 0;
        return saturate(static_cast<int64_t>(std::fmax(std::fmin(d, 4e18), -4e18)));
      }
      return text4long(p, c->length);
    case 'M':
    case 'G':
      if (c->length == 4) return static_cast<int32_t>(static_cast<uint32_t>(getLE(p, 4)));
      return text4long(p, c->length);
    default:
      return text4long(p, c->length);
  }
}

void column4blankBytes(Column* c) {
  const bool zeros = dataFile4isFox30(c->table->dataFile) &&
                     (c->kind == kColumnKindBinary || c->kind == kColumnKindMemo);
  std::memset(columnBytes(c), zeros ? 0 : ' ', c->length);
}

int column4blank(Column* c) {
  if (c == nullptr) return engine4error(nullptr, kErrNullHandle, 90508);
  if (c->table->ctx->errorCode < 0) return kErrContextHoldsError;
  int rc = column4checkLockRule(c, 90508);
  if (rc < 0) return rc;
  column4blankBytes(c);
  return 0;
}
