// SharedTable: creation, sharing and compaction of one table, and the generic
// key-driven record operations on top of its handles.
#include "tables/shared_table.h"

#include <cstdio>
#include <memory>

#include "dbf/core/file.h"
#include "dbf/core/os.h"
#include "dbf/expr/query.h"
#include "tables/context.h"
#include "tables/errors.h"
#include "tables/text.h"

namespace {

// An open handle of a table for the lifetime of a scope; released on every way
// out, after everything declared later in the scope (a Query) is gone.
class HandleLease {
 public:
  explicit HandleLease(SharedTable* table) : table_(table), handle_(table->openHandle()) {}
  ~HandleLease() { table_->releaseHandle(handle_); }
  HandleLease(const HandleLease&) = delete;
  HandleLease& operator=(const HandleLease&) = delete;
  TableHandle* get() const { return handle_; }

 private:
  SharedTable* table_;
  TableHandle* handle_;
};

// A Query for the lifetime of a scope.
class QueryLease {
 public:
  QueryLease() = default;
  ~QueryLease() {
    if (query_ != nullptr) query4free(query_, 0);
  }
  QueryLease(const QueryLease&) = delete;
  QueryLease& operator=(const QueryLease&) = delete;
  Query* get() const { return query_; }
  void reset(Query* query) { query_ = query; }

 private:
  Query* query_ = nullptr;
};

// Stands |handle| on the first record not marked deleted that satisfies |key|,
// through a Query kept in |query|. True when one was found; failures throw.
bool searchFirst(TableHandle* handle, const char* key, QueryLease& query) {
  query.reset(query4init(handle->table));
  if (query.get() == nullptr) throw new GDatabaseException(kQueryNotCreated);
  query4setExpression(query.get(), key);
  checkEngineError();
  int result = handle->firstRecord(query.get());
  if (result < 0) {
    checkEngineError();
    // A failure the engine did not store must not pass for "not found".
    throw new GDatabaseException(result);
  }
  return result == 0;
}

// True when some open of |name|, in this process or another, keeps the file in
// use. Windows refuses to remove such a file; POSIX would remove it and leave
// its users writing to a file that no longer has a name, so the layer asks
// first. The probe is an exclusive open for reading, which fails with a
// sharing violation while anyone else has the file open.
bool fileInUse(const char* name) {
  const OsInterface* os = os4get();
  if (!os->exists(name)) return false;
  int64_t handle = -1;
  OsStatus status = os->open(name, false, kOsShareNone, &handle);
  if (status == kOsOk) os->close(handle);
  return status == kOsSharingViolation;
}

// Creates or opens the table on a fresh handle of |table| with |engineCall|
// under the engine settings, and closes it again: it only proves that the
// engine can do it. 0, or -1 when the engine reported an error.
template <typename EngineCall>
int proveOnNewHandle(SharedTable& table, EngineCall engineCall) {
  TableHandle* handle = table.acquireHandle();
  EngineContext* ctx = currentContext();
  if (ctx == nullptr) {
    table.releaseHandle(handle);
    return -1;
  }
  {
    EngineSettingsScope settings(ctx);
    handle->table = engineCall(ctx);
  }
  int result = 0;
  if (ctx->errorCode != 0 || handle->table == nullptr) {
    if (handle->table != nullptr) table4close(handle->table);
    handle->table = nullptr;
    result = -1;
  }
  table.releaseHandle(handle);
  return result;
}

// Runs |body| and disposes of what it throws the way every key-driven
// operation does: a database failure is reported and gives -1, any other
// failure gives -1 silently.
template <typename Body>
int disposingFailures(Body body) {
  try {
    return body();
  } catch (GDatabaseException* e) {
    reportDatabaseError(e);
    return -1;
  } catch (...) {
    return -1;
  }
}

// The frame of the key-driven operations: takes the key from |keyFor| (no key
// gives 1), opens a handle of its own, stands on the first live record that
// matches and returns |onFound|'s result, or |notFound| when none matches.
// Database failures are reported and give -1; any other failure gives -1
// silently. The Query and the handle are released on every way out.
template <typename KeyFor, typename OnFound>
int withFirstMatch(SharedTable& table, KeyFor keyFor, OnFound onFound, int notFound) {
  return disposingFailures([&] {
    OwnedText key(keyFor());
    if (key == nullptr) return 1;
    HandleLease lease(&table);
    TableHandle* handle = lease.get();
    if (handle == nullptr) return -1;
    QueryLease query;
    if (!searchFirst(handle, key.get(), query)) return notFound;
    return onFound(handle);
  });
}

int countDefinitions(const ColumnDescription* columns) {
  int count = 0;
  if (columns != nullptr) {
    while (columns[count].name != nullptr) ++count;
  }
  return count;
}

}  // namespace

SharedTable::SharedTable(const char* tableName)
    : name(isBlank(tableName) ? nullptr : copyText(tableName)) {
  buildPath();
}

SharedTable::~SharedTable() { freeText(name); }

int SharedTable::createTable() {
  buildPath();
  removeFiles();
  return proveOnNewHandle(*this, [this](EngineContext* ctx) {
    return table4create(ctx, path, columnDefinitions(), nullptr);
  });
}

int SharedTable::openCheck() {
  buildPath();
  return proveOnNewHandle(*this, [this](EngineContext* ctx) { return table4open(ctx, path); });
}

int SharedTable::reserved3() { return 0; }
int SharedTable::reserved4() { return 0; }

int SharedTable::insertUnique(RecordObject* record) {
  if (record == nullptr) return -1;
  return disposingFailures([&] {
    OwnedText key(record->hasRow() ? nullptr : keyFor(record));
    HandleLease lease(this);
    TableHandle* handle = lease.get();
    if (handle == nullptr) return -1;
    if (key != nullptr) {
      QueryLease query;
      if (searchFirst(handle, key.get(), query)) return 1;
    }
    handle->beginRecord();
    int result = writeRecord(handle, record);
    handle->appendRecord();
    return result;
  });
}

int SharedTable::readAll(RecordList* list) {
  if (list == nullptr) return -1;
  return disposingFailures([&] {
    list->clear();
    HandleLease lease(this);
    TableHandle* handle = lease.get();
    if (handle == nullptr) return -1;
    int32_t count = table4recCount(handle->table);
    checkEngineError();
    if (count <= 0) return 1;

    list->reserve(static_cast<std::size_t>(count));
    int result = 1;
    int position = handle->firstRecord(nullptr);
    for (int32_t visited = 0; position == 0 && visited < count; ++visited) {
      std::unique_ptr<RecordObject> record(newRecordObject());
      if (record != nullptr) {
        result = readRecord(handle, record.get());
        checkEngineError();
        if (result < 0) break;
        list->add(record.get());
        record.release();
      }
      position = handle->nextRecord(nullptr);
    }
    if (position < 0) checkEngineError();
    if (list->size() == 0) list->clear();
    return result;
  });
}

int SharedTable::updateFirst(RecordObject* record) {
  if (record == nullptr) return -1;
  return withFirstMatch(
      *this, [&] { return keyForUpdate(record); },
      [&](TableHandle* handle) {
        int result = writeRecord(handle, record);
        handle->advance();  // stores the change
        return result;
      },
      1);
}

int SharedTable::readFirst(RecordObject* record) {
  if (record == nullptr) return -1;
  return withFirstMatch(
      *this, [&] { return keyForRead(record); },
      [&](TableHandle* handle) { return readRecord(handle, record); }, 1);
}

int SharedTable::deleteFirstFor(RecordObject* value) {
  return withFirstMatch(
      *this, [&] { return keyForDelete(value); },
      [&](TableHandle* handle) {
        handle->deleteCurrent();
        checkEngineError();
        return 0;
      },
      0);
}

RecordObject* SharedTable::newRecordObject() { return nullptr; }

char* SharedTable::keyFor(RecordObject*) { return nullptr; }
char* SharedTable::keyForUpdate(RecordObject* record) { return keyFor(record); }
char* SharedTable::keyForRead(RecordObject* record) { return keyFor(record); }
char* SharedTable::keyForDelete(RecordObject* record) { return keyFor(record); }

int SharedTable::readRecord(TableHandle* handle, RecordObject* record) {
  if (handle == nullptr || record == nullptr) return -1;
  try {
    int count = record->columnCount();
    if (count <= 0) return 1;
    const ColumnDescription* columns = columnDefinitions();
    int defined = countDefinitions(columns);
    for (int position = 0; position < count && position < defined; ++position) {
      switch (columns[position].type) {
        case 'C':
        case 'M':
          if (char** destination = record->textDestination(position)) {
            char* text = nullptr;
            handle->readText(position, &text);
            freeText(*destination);
            *destination = text;
          }
          break;
        case 'N':
          if (int32_t* destination = record->longDestination(position)) {
            handle->readLong(position, destination);
          }
          break;
        default:
          break;
      }
    }
    record->readFinished();
    return 0;
  } catch (GDatabaseException* e) {
    reportDatabaseError(e);
    return -1;
  }
}

int SharedTable::writeRecord(TableHandle* handle, RecordObject* record) {
  if (handle == nullptr || record == nullptr) return -1;
  try {
    int count = record->columnCount();
    if (count <= 0) return 1;
    const ColumnDescription* columns = columnDefinitions();
    int defined = countDefinitions(columns);
    for (int position = 0; position < count && position < defined; ++position) {
      switch (columns[position].type) {
        case 'C':
        case 'M':
          if (const char* text = record->textAt(position)) handle->assignText(position, text);
          break;
        case 'N':
          handle->assignLong(position, record->longAt(position));
          break;
        default:
          break;
      }
    }
    return 0;
  } catch (GDatabaseException* e) {
    reportDatabaseError(e);
    return -1;
  }
}

TableHandle* SharedTable::acquireHandle() {
  // Made before it is counted, so that a failed allocation leaves the count
  // as it was.
  TableHandle* handle = new TableHandle(this, path);
  tableLock.enter();
  ++openCount;
  tableLock.leave();
  return handle;
}

TableHandle* SharedTable::openHandle() {
  TableHandle* handle = acquireHandle();
  if (handle->open(currentContext()) == 0) return handle;
  releaseHandle(handle);
  return nullptr;
}

void SharedTable::releaseHandle(TableHandle* handle) {
  if (handle == nullptr) return;
  CriticalLockGuard guard(tableLock);
  if (handle->rowsDeleted) packPending = 1;
  if (openCount <= 0) {
    // More releases than acquisitions.
    std::printf("S> %s Counter Error", path);
    openCount = 0;
  } else {
    --openCount;
  }
  // The last user compacts. A last user without an open table cannot; the
  // compaction then waits for the next last user that has one.
  if (openCount == 0 && packPending == 1 && handle->table != nullptr) {
    compact(handle->table);
    packPending = 0;
  }
  if (handle->table != nullptr) {
    try {
      table4close(handle->table);
    } catch (...) {
      return;  // the handle is left alone, as its table may still be in use
    }
    handle->table = nullptr;
  }
  delete handle;
}

void SharedTable::compact(Table* table) {
  ++compactions;
  if (table4pack(table) < 0) std::printf("S> %s Pack Error", path);
  if (table4memoCompress(table) != 0) std::printf("S> %s Pack memo Error", path);
}

void SharedTable::buildPath() {
  std::snprintf(path, sizeof path, "%s%s", kTablePathPrefix, name != nullptr ? name : "");
}

int SharedTable::removeFiles() {
  static const char* const kExtensions[] = {"DBF", "FPT", "CDX"};
  int result = 0;
  for (const char* extension : kExtensions) {
    char fileName[kTablePathSize + 8];
    std::snprintf(fileName, sizeof fileName, "%s.%s", path, extension);
    // The engine stores the file under its full name, whose last component it
    // upper-cases; remove that name, as case matters on POSIX file systems.
    char fullName[258];
    const char* target = fileName;
    if (file4nameFull(fullName, sizeof fullName, fileName, extension, false) >= 0) {
      target = fullName;
    }
    result = fileInUse(target) ? -1 : file4remove(target);
  }
  return result;
}
