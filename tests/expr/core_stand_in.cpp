// Temporary stand-in for the engine core calls used by dbf/expr, compiled only
// while dbf/core has no implementation. Removed once the core lands.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "dbf/core/context.h"
#include "dbf/core/date.h"
#include "dbf/core/table.h"

int engine4error(EngineContext* ctx, int code, int location, const char*, const char*, const char*) {
  if (ctx != nullptr) {
    ctx->errorCode = code;
    ctx->errorLocation = location;
  }
  return code;
}
int engine4errorSet(EngineContext* ctx, int value) {
  const int old = ctx->errorCode;
  ctx->errorCode = value;
  return old;
}
int engine4init(EngineContext* ctx, void*, int) {
  *ctx = EngineContext{};
  ctx->reportExpressionErrors = 1;
  ctx->reportColumnNameErrors = 1;
  ctx->memoExpressionWidth = 1024;
  ctx->reportGoErrors = 1;
  std::strcpy(ctx->dateFormat, "MM/DD/YY");
  return 0;
}
void engine4free(EngineContext* ctx) {
  std::free(ctx->workBuffer);
  ctx->workBuffer = nullptr;
  ctx->workBufferSize = 0;
}
void* heap4alloc(EngineContext*, unsigned size) { return std::calloc(1, size); }
void heap4free(EngineContext*, void* block) { std::free(block); }
struct MemoryPool {
  unsigned size;
};
MemoryPool* pool4create(EngineContext*, int, unsigned unitSize, int, bool) {
  static MemoryPool pool;
  pool.size = unitSize;
  return &pool;
}
void* pool4alloc(MemoryPool* pool, EngineContext*) { return std::calloc(1, pool->size); }
void pool4free(MemoryPool*, void* unit) { std::free(unit); }

namespace {
const int kBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int32_t daysBeforeYear(int y) { return 365 * (y - 1) + (y - 1) / 4 - (y - 1) / 100 + (y - 1) / 400; }
}  // namespace

int32_t date4dayNumber(const char* s) {
  if (std::memcmp(s, "        ", 8) == 0) return 0;
  int v[8];
  for (int i = 0; i < 8; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v[i] = s[i] - '0';
  }
  const int y = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3], m = v[4] * 10 + v[5], d = v[6] * 10 + v[7];
  const int len[] = {31, leap(y) ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1 || d > len[m - 1]) return -1;
  return daysBeforeYear(y) + kBefore[m - 1] + (m > 2 && leap(y)) + d + 1721425;
}
void date4fromDayNumber(char* dest, int32_t n) {
  if (n <= 0) {
    std::memset(dest, ' ', 8);
    return;
  }
  int32_t r = n - 1721425;
  int y = 1;
  while (daysBeforeYear(y + 400) < r) y += 400;
  while (daysBeforeYear(y + 1) < r) ++y;
  r -= daysBeforeYear(y);
  int m = 12;
  while (kBefore[m - 1] + (m > 2 && leap(y)) >= r) --m;
  const int d = r - kBefore[m - 1] - (m > 2 && leap(y));
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", y % 10000, m, d);
  std::memcpy(dest, buf, 8);
}
void date4format(const char* s, char* dest, const char* picture) {
  // MM/DD/YY and CCYY-MM-DD shapes are enough for the tests.
  const size_t n = std::strlen(picture);
  std::memcpy(dest, picture, n);
  int seen[4] = {0, 0, 0, 0};
  const char* letters = "CYMD";
  for (size_t i = 0; i < n; ++i) {
    const char* l = std::strchr(letters, picture[i]);
    if (l == nullptr || picture[i] == '\0') continue;
    const int k = static_cast<int>(l - letters);
    if (seen[k] < 2) dest[i] = s[k * 2 + seen[k]++];
  }
}
int date4parse(char* dest, const char* text, const char* picture) {
  std::memset(dest, ' ', 8);
  int seen[4] = {0, 0, 0, 0};
  const char* letters = "CYMD";
  for (size_t i = 0; picture[i] != '\0' && text[i] != '\0'; ++i) {
    const char* l = std::strchr(letters, picture[i]);
    if (l == nullptr) continue;
    const int k = static_cast<int>(l - letters);
    if (seen[k] < 2) dest[k * 2 + seen[k]++] = text[i];
  }
  if (std::memcmp(dest, "        ", 8) == 0) return 0;
  if (seen[0] == 0) std::memcpy(dest, "19", 2);
  for (int i = 0; i < 8; ++i)
    if (dest[i] == ' ') dest[i] = '0';
  return 1;
}
void date4today(char* dest) { std::memcpy(dest, "20261209", 8); }
void date4timeNow(char* dest) { std::memcpy(dest, "12:34:56", 8); }
int32_t table4recCount(Table*) { return 7; }
const char* column4memoText(Column*, uint32_t* len) {
  *len = 5;
  return "memo!";
}
