// The converter framework: the row loop and the single-value conversions.
#include "migrate/converter.h"

#include <cstring>
#include <vector>

#include "dbf/core/codes.h"
#include "migrate/old_database.h"
#include "migrate/old_db_exception.h"
#include "migrate/progress.h"
#include "migrate/table_files.h"
#include "tables/context.h"
#include "tables/errors.h"
#include "tables/shared_table.h"
#include "tables/table_handle.h"
#include "tables/timestamp.h"

TableConverter::~TableConverter() {
  if (table) {
    table->releaseHandle(handle);  // a null handle is ignored
    delete table;
  }
}

int TableConverter::openTarget() { return 0; }

int TableConverter::openTable(SharedTable* newTable) {
  if (table) {
    table->releaseHandle(handle);
    delete table;
  }
  handle = nullptr;
  table = newTable;
  table->buildPath();
  OldTableFiles oldFiles(table->path);
  if (!oldFiles.setAside()) {
    noteFailure("not replaced, as " + oldFiles.problem() + "; its old files are left as they were");
    return -1;
  }
  if (table->createTable() != 0) {
    std::string error = takeEngineError();
    oldFiles.restore();
    noteFailure("cannot be created (" + error + "); its old files are left as they were");
    return -1;
  }
  oldFiles.discard();
  handle = table->openHandle();
  if (handle == nullptr) {
    noteFailure("cannot be opened after it was created (" + takeEngineError() + ")");
    return -2;
  }
  return 0;
}

const char* TableConverter::tableName() const {
  return table != nullptr && table->name != nullptr ? table->name : "";
}

void TableConverter::noteFailure(const std::string& what) {
  if (failures_++ == 0) firstFailure_ = what;
}

std::string TableConverter::failureReport() const {
  if (failures_ == 0) return "";
  std::string report = std::string(tableName()) + ": " + firstFailure_;
  if (failures_ > 1) report += " (" + std::to_string(failures_) + " failures in all)";
  return report;
}

std::string takeEngineError() {
  EngineContext* ctx = currentContext();
  int code = ctx != nullptr ? engine4errorSet(ctx, 0) : 0;
  reportDatabaseError(new GDatabaseException(code));
  return databaseErrorText(code);
}

std::string databaseErrorText(int code) {
  const char* meaning = nullptr;
  if (code == dbf::kErrCreate) meaning = "a file cannot be created";
  if (code <= dbf::kErrOpen && code >= dbf::kErrAlreadyOpen) meaning = "a file cannot be opened";
  if (code == dbf::kErrRead) meaning = "a read failed";
  if (code == dbf::kErrWrite || code == dbf::kErrFlush || code == dbf::kErrSetLength)
    meaning = "a write failed (is the disk full?)";
  if (code == dbf::kErrLock) meaning = "a lock was refused";
  std::string text = "DBF Error [" + std::to_string(code) + "]";
  return meaning != nullptr ? text + ": " + meaning : text;
}

namespace {

// Tells a watcher that a table's conversion starts and, on every way out,
// that it has ended.
class WatchedConversion {
 public:
  WatchedConversion(ConversionProgress* progress, const char* table, CDaoRecordset& rows)
      : progress_(progress) {
    if (progress_ != nullptr) progress_->tableStarted(table, rows.GetRecordCount());
  }
  ~WatchedConversion() {
    if (progress_ != nullptr) progress_->tableFinished();
  }
  WatchedConversion(const WatchedConversion&) = delete;
  WatchedConversion& operator=(const WatchedConversion&) = delete;
  void rowsDone(long rows) {
    if (progress_ != nullptr) progress_->rowsDone(rows);
  }

 private:
  ConversionProgress* progress_;
};

// Owns the row's variants: whatever a row leaves in them (texts not taken
// by a conversion) is freed when the loop ends, also after an exception.
struct RowValues {
  std::vector<VARIANT> values;
  explicit RowValues(int count) : values(static_cast<size_t>(count > 0 ? count : 0)) {
    for (VARIANT& v : values) VariantInit(&v);
  }
  ~RowValues() {
    for (VARIANT& v : values) VariantClear(&v);
  }
};
}  // namespace

int TableConverter::run(const char* query) {
  if (table && !handle) return 0;
  long rowNumber = 0;
  try {
    CDaoRecordset recordset(&oldDatabase);
    recordset.Open(AFX_DAO_USE_DEFAULT_TYPE, query, 0);
    int count = recordset.GetFieldCount();
    RowValues row(count);
    WatchedConversion watched(progress_, tableName(), recordset);
    while (!recordset.IsEOF()) {
      ++rowNumber;
      for (int i = 0; i < count; ++i)
        recordset.GetFieldValue(i, row.values[static_cast<size_t>(i)]);
      convertRecord(row.values.data(), count);
      recordset.MoveNext();
      watched.rowsDone(rowNumber);
    }
    recordset.Close();
  } catch (CException* e) {
    reportException(e);
  } catch (GDatabaseException* e) {
    int code = e->code;
    reportDatabaseError(e);
    noteFailure("old row " + std::to_string(rowNumber) + " could not be written (" +
                databaseErrorText(code) + "); the rest of the table was not converted");
    // The engine keeps its error until the next open; the tables still
    // to convert were opened before, so clear it here.
    if (EngineContext* ctx = currentContext()) engine4errorSet(ctx, 0);
  }
  return 0;
}

int TableConverter::convertRecord(VARIANT* /*values*/, int /*count*/) { return 0; }

// The type letter of the column at position, or 0 when there is none.
static char columnTypeAt(SharedTable* table, int position) {
  if (!table || position < 0) return 0;
  const ColumnDescription* columns = table->columnDefinitions();
  for (int i = 0; columns && columns[i].name; ++i)
    if (i == position) return static_cast<char>(columns[i].type);
  return 0;
}

int TableConverter::copyValue(TableHandle* target, int position, VARIANT* value) {
  switch (target ? columnTypeAt(table, position) : 0) {
    case 'C':
    case 'M': {
      std::unique_ptr<char[]> text = variantToText(value);
      if (text) target->assignText(position, text.get());
      break;
    }
    case 'N':
      if (value->vt == VT_DATE) {
        SYSTEMTIME time;
        bool valid = VariantTimeToSystemTime(value->date, &time) != 0;
        VariantClear(value);
        if (valid) target->assignLong(position, static_cast<int32_t>(encodeTimestamp(time)));
      } else {
        target->assignLong(position, variantToLong(value, 0));
      }
      break;
    default:
      break;
  }
  return 0;
}

std::unique_ptr<char[]> variantToText(VARIANT* value) {
  std::unique_ptr<char[]> text;
  if ((value->vt == VT_BSTR || value->vt == VT_UI1) && value->pszVal && !isBlank(value->pszVal)) {
    size_t n = std::strlen(value->pszVal);
    text.reset(new char[n + 1]);
    std::memcpy(text.get(), value->pszVal, n + 1);
  }
  VariantClear(value);
  return text;
}

int32_t variantToLong(VARIANT* value, int32_t defaultValue) {
  int32_t result = defaultValue;
  if (value->vt == VT_I2)
    result = value->iVal;
  else if (value->vt == VT_I4)
    result = value->lVal;
  VariantClear(value);
  return result;
}
