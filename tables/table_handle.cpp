// TableHandle: positioned access to one open table, by column position.
#include "tables/table_handle.h"

#include <cstdio>

#include "dbf/core/codes.h"
#include "dbf/expr/query.h"
#include "tables/context.h"
#include "tables/errors.h"
#include "tables/text.h"

namespace {

// The code to throw for a failed walk: the context's stored error when there
// is one, else the negative result itself (an unreported failure still must
// not pass as an exception with code 0).
int walkErrorCode(int result) {
  EngineContext* ctx = currentContext();
  if (ctx != nullptr && ctx->errorCode < 0) return ctx->errorCode;
  return result;
}

}  // namespace

TableHandle::TableHandle(SharedTable* tableOwner, const char* tablePath) : owner(tableOwner) {
  std::snprintf(path, sizeof path, "%s", tablePath != nullptr ? tablePath : "");
}

TableHandle::~TableHandle() {
  freeColumns();
  if (table != nullptr) table4close(table);
}

void TableHandle::freeColumns() {
  delete[] columns;
  columns = nullptr;
  columnCount = 0;
}

int TableHandle::open(EngineContext* ctx) {
  if (ctx == nullptr) return -1;
  if (table != nullptr) {
    table4close(table);
    table = nullptr;
  }
  {
    EngineSettingsScope settings(ctx);
    table = table4open(ctx, path);
  }
  if (ctx->errorCode != 0 || table == nullptr) {
    if (table != nullptr) table4close(table);
    table = nullptr;
    return -1;
  }

  freeColumns();
  int count = table4columnCount(table);
  if (count <= 0) return 0;
  columns = new ColumnValue[count];
  columnCount = count;
  int result = 0;
  for (int i = 0; i < count; ++i) {
    Column* column = table4column(table, i + 1);
    if (column == nullptr) result = -2;  // keep binding the others
    columns[i].bind(column);
  }
  return result;
}

int TableHandle::deleteCurrent() {
  rowsDeleted = 1;
  return table4delete(table);
}

int TableHandle::step(Query* query) {
  return query != nullptr ? query4skip(query, 1) : table4skip(table, 1);
}

int TableHandle::firstRecord(Query* query) {
  int result = query != nullptr ? query4top(query) : table4top(table);
  while (result == 0) {
    int deleted = table4deleted(table);
    if (deleted < 0) return deleted;
    if (deleted == 0) return 0;
    result = step(query);
  }
  return result;
}

int TableHandle::nextRecord(Query* query) {
  for (;;) {
    int result = step(query);
    if (result != 0) return result;
    int deleted = table4deleted(table);
    if (deleted < 0) return deleted;
    if (deleted == 0) return 0;
  }
}

void TableHandle::reserved5() {}

int TableHandle::beginRecord() {
  int result = table4appendStart(table, false);
  if (result == 0) table4blank(table);
  checkEngineError();
  return result;
}

int TableHandle::appendRecord() {
  int result = table4append(table);
  if (result != 0) checkEngineError();
  return result;
}

int TableHandle::advance() {
  int result = table4skip(table, 1);
  checkEngineError();
  return result;
}

void TableHandle::reserved9() {}
void TableHandle::reserved10() {}

ColumnValue& TableHandle::accessor(int position) {
  if (columns == nullptr || position < 0 || position >= columnCount) {
    throw new GDatabaseException(dbf::kErrParameter);
  }
  return columns[position];
}

int TableHandle::assignTime(int position, const SYSTEMTIME& time) {
  return assignLong(position, static_cast<int32_t>(encodeTimestamp(time)));
}

int TableHandle::assignTextAt(int position, const char* text) { return assignText(position, text); }

int TableHandle::assignText(int position, const char* text) {
  int result = column4assign(&accessor(position), text);
  checkEngineError();
  return result;
}

int TableHandle::assignLong(int position, int32_t value) {
  int result = column4assignLong(&accessor(position), value, -1, false);
  checkEngineError();
  return result;
}

int TableHandle::readLong(int position, int32_t* value) {
  int32_t result = accessor(position).toLong();
  checkEngineError();
  if (value != nullptr) *value = result;
  return 0;
}

int TableHandle::readTime(int position, SYSTEMTIME* time) {
  SYSTEMTIME decoded{};
  int32_t seconds = accessor(position).toLong();
  decoded = decodeTimestamp(static_cast<uint32_t>(seconds));
  checkEngineError();
  if (time != nullptr) *time = decoded;
  return 0;
}

int TableHandle::readText(int position, char** text) {
  if (text != nullptr) *text = nullptr;
  ColumnValue& value = accessor(position);
  const char* raw = value.pointer();
  uint32_t width = value.length();
  checkEngineError();
  if (raw == nullptr) return 0;

  uint32_t length = width;
  while (length > 0 && isWhiteSpace(raw[length - 1])) --length;
  if (length == 0 || text == nullptr) return 0;
  *text = copyText(raw, length);
  return 0;
}

int TableHandle::readLongAgain(int position, int32_t* value) { return readLong(position, value); }

int TableHandle::deleteCurrentAgain() { return deleteCurrent(); }

int32_t TableHandle::countMatches(Query* query) {
  int32_t count = 0;
  int result = firstRecord(query);
  while (result == 0) {
    ++count;
    result = nextRecord(query);
  }
  if (result < 0) throw new GDatabaseException(walkErrorCode(result));
  result = firstRecord(query);
  if (result < 0) throw new GDatabaseException(walkErrorCode(result));
  return result == 0 ? count : 0;
}

int32_t TableHandle::deleteMatching(Query* query) {
  int32_t count = 0;
  int result = firstRecord(query);
  while (result == 0) {
    result = table4delete(table);
    if (result < 0) break;
    ++count;
    result = nextRecord(query);
  }
  if (result < 0) throw new GDatabaseException(walkErrorCode(result));
  return count;
}

int32_t TableHandle::deleteAll(Query* query) { return deleteMatching(query); }

int32_t TableHandle::deleteAll() { return deleteMatching(nullptr); }
