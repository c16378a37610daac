// ColumnValue, the value object through which the converters assign and read
// columns, and the assignments built on it: text (column4assign), digits
// (column4assignLong) and one repeated character.
#include <cstring>

#include "dbf/core/table.h"
#include "dbf/core/table_internal.h"

using namespace dbf;

namespace {

bool isMemo(const Column* c) { return c->memo != nullptr; }

EngineContext* contextOf(const Column* c) { return c != nullptr ? c->table->ctx : nullptr; }

}  // namespace

int32_t ColumnValue::toLong() {
  if (column_ == nullptr) return engine4error(nullptr, kErrUnbound, 60523);
  const char* p = pointer();
  if (p == nullptr) return 0;
  uint32_t n = length();
  return text4long(p, n > 127 ? 127 : n);
}

int ColumnValue::markChanged() {
  if (column_ == nullptr) return engine4error(nullptr, kErrUnbound, 60523);
  column_->table->changed = true;
  if (isMemo(column_)) column_->memo->changed = true;
  return 0;
}

int ColumnValue::decimals() {
  if (column_ == nullptr) return engine4error(nullptr, kErrUnbound, 60523);
  return column_->decimals;
}

uint32_t ColumnValue::length() {
  if (column_ == nullptr) return 0;
  if (isMemo(column_)) {
    if (memoEntry4load(column_->memo) < 0) return 0;
    return column_->memo->length;
  }
  return column_->length;
}

uint32_t ColumnValue::length2() { return length(); }

int ColumnValue::checkLock() {
  if (column_ == nullptr) return engine4error(nullptr, kErrUnbound, 60201);
  Table* t = column_->table;
  EngineContext* ctx = t->ctx;
  if (ctx->lockBeforeChange != 0 && ctx->shareMode == 0 && t->recordNumber > 0 &&
      !table4holdsRecordLock(t, t->recordNumber))
    return engine4error(ctx, kErrLock, 60201, t->alias, column_->name);
  return 0;
}

uint32_t ColumnValue::maxLength() { return length(); }

char* ColumnValue::pointer() {
  if (column_ == nullptr) {
    engine4error(nullptr, kErrUnbound, 60523);
    return nullptr;
  }
  if (isMemo(column_)) {
    if (memoEntry4load(column_->memo) < 0) return nullptr;
    return column_->memo->text;
  }
  return column_->table->record + column_->offset;
}

char* ColumnValue::pointer2() { return pointer(); }

const char* ColumnValue::text() {
  if (column_ == nullptr) {
    engine4error(nullptr, kErrUnbound, 60523);
    return nullptr;
  }
  if (isMemo(column_)) return pointer();
  EngineContext* ctx = column_->table->ctx;
  const uint32_t n = column_->length;
  if (ctx->scratchSize < n + 1) {
    char* grown = static_cast<char*>(heap4alloc(ctx, n + 1 < 256 ? 256 : n + 1));
    if (grown == nullptr) return nullptr;
    if (ctx->scratch != nullptr) heap4free(ctx, ctx->scratch);
    ctx->scratch = grown;
    ctx->scratchSize = n + 1 < 256 ? 256 : n + 1;
  }
  std::memcpy(ctx->scratch, column_->table->record + column_->offset, n);
  ctx->scratch[n] = 0;
  return ctx->scratch;
}

int ColumnValue::setLength(uint32_t n) {
  if (column_ == nullptr) return engine4error(nullptr, kErrUnbound, 60525);
  if (!isMemo(column_)) return -1;
  return memoEntry4setLength(column_->memo, n);
}

int ColumnValue::reserved() { return -1; }

// --- assignments ---

int column4assignN(ColumnValue* v, const char* text, uint32_t n) {
  if (v == nullptr || text == nullptr)
    return engine4error(v ? contextOf(v->column()) : nullptr, kErrNullHandle, 61012);
  if (v->column() == nullptr) return engine4error(nullptr, kErrUnbound, 61012);
  EngineContext* ctx = contextOf(v->column());
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  if (v->checkLock() < 0) return engine4error(ctx, kErrLock, 61012);
  if (isMemo(v->column())) {
    int rc = v->setLength(n);
    if (rc < 0) return rc;
  }
  v->markChanged();
  const uint32_t width = v->length();
  char* p = v->pointer();
  if (p == nullptr) return ctx->errorCode < 0 ? ctx->errorCode : kErrMemory;
  if (width < n) {
    std::memcpy(p, text, width);
  } else {
    std::memset(p, ' ', width);
    std::memcpy(p, text, n);
  }
  return 0;
}

int column4assign(ColumnValue* v, const char* text) {
  if (v == nullptr || text == nullptr)
    return engine4error(v ? contextOf(v->column()) : nullptr, kErrNullHandle, 61012);
  return column4assignN(v, text, static_cast<uint32_t>(std::strlen(text)));
}

int column4assignLong(ColumnValue* v, int32_t value, int newLength, bool zeroFill) {
  if (v == nullptr) return engine4error(nullptr, kErrNullHandle, 61014);
  if (v->column() == nullptr) return engine4error(nullptr, kErrUnbound, 61014);
  EngineContext* ctx = contextOf(v->column());
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  if (v->checkLock() < 0) return engine4error(ctx, kErrLock, 61014);
  if (newLength >= 0 && isMemo(v->column())) {
    int rc = v->setLength(static_cast<uint32_t>(newLength));
    if (rc < 0) return rc;
  }
  v->markChanged();
  const uint32_t width = v->length();
  char* p = v->pointer();
  if (p == nullptr) return ctx->errorCode < 0 ? ctx->errorCode : kErrMemory;

  char digits[16];
  int count = 0;
  const bool negative = value < 0;
  uint32_t magnitude = negative ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  const uint32_t needed = static_cast<uint32_t>(count) + (negative ? 1 : 0);
  if (needed > width || (negative && zeroFill)) {
    std::memset(p, '*', width);
    return 0;
  }
  std::memset(p, zeroFill ? '0' : ' ', width);
  for (int i = 0; i < count; ++i) p[width - 1 - i] = digits[i];
  if (negative) p[width - 1 - count] = '-';
  return 0;
}

int column4assignChar(ColumnValue* v, char c) {
  if (v == nullptr) return engine4error(nullptr, kErrNullHandle, 61030);
  if (v->column() == nullptr) return engine4error(nullptr, kErrUnbound, 61030);
  EngineContext* ctx = contextOf(v->column());
  if (ctx->errorCode < 0) return kErrContextHoldsError;
  if (v->checkLock() < 0) return engine4error(ctx, kErrLock, 61030);
  v->markChanged();
  const uint32_t width = v->length();
  char* p = v->pointer();
  if (p == nullptr) return ctx->errorCode < 0 ? ctx->errorCode : kErrMemory;
  std::memset(p, c, width);
  return 0;
}
