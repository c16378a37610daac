// SQLite backend of the old-database component.
//
// An SQLite copy of SMTP.MDB (the sample data, or one made with mdbtools'
// mdb-schema and mdb-export) is read and altered in place. SQLite keeps no
// column types of its own, so the declared type of each column decides the
// VARIANT type, as Access would have typed the value; a value the declared
// type cannot hold is handed over without loss in the nearest fitting type.
#include <sqlite3.h>
#include <strings.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "migrate/old_db_backend.h"
#include "migrate/old_db_exception.h"

namespace {

int openConnections = 0;  // SQLite backends alive in this process

enum class ColumnKind { Short, Long, Date, Text, Bool, Double, Currency, Unknown };

bool contains(const std::string& upper, const char* word) {
  return upper.find(word) != std::string::npos;
}

// Access type names and their SQL synonyms. Text names are looked at before
// LONG so that LONGTEXT and LONGCHAR stay texts.
ColumnKind kindOfDeclaredType(const char* declared) {
  if (!declared) return ColumnKind::Unknown;
  std::string t(declared);
  for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (contains(t, "SHORT") || contains(t, "SMALLINT") || contains(t, "INT2") ||
      contains(t, "TINYINT") || contains(t, "BYTE"))
    return ColumnKind::Short;
  if (contains(t, "CHAR") || contains(t, "TEXT") || contains(t, "MEMO") || contains(t, "CLOB"))
    return ColumnKind::Text;
  if (contains(t, "INT") || contains(t, "LONG") || contains(t, "COUNTER")) return ColumnKind::Long;
  if (contains(t, "DATE") || contains(t, "TIME")) return ColumnKind::Date;
  if (contains(t, "BIT") || contains(t, "BOOL") || contains(t, "YESNO") || contains(t, "LOGICAL"))
    return ColumnKind::Bool;
  if (contains(t, "REAL") || contains(t, "FLOAT") || contains(t, "DOUBLE") || contains(t, "SINGLE"))
    return ColumnKind::Double;
  if (contains(t, "CURRENCY") || contains(t, "MONEY")) return ColumnKind::Currency;
  return ColumnKind::Unknown;
}

// An integer as Access would have held it: a 32-bit Long. Values from 2^31
// to 2^32 - 1 are the same 32-bit word (ids with the high bit set, written
// unsigned); anything wider would lose digits and stays a double.
void setInteger(VARIANT* v, sqlite3_int64 n, bool preferShort) {
  if (preferShort && n >= INT16_MIN && n <= INT16_MAX)
    variantSetI2(v, static_cast<int16_t>(n));
  else if (n >= INT32_MIN && n <= INT32_MAX)
    variantSetI4(v, static_cast<int32_t>(n));
  else if (n > INT32_MAX && n <= static_cast<sqlite3_int64>(UINT32_MAX))
    variantSetI4(v, static_cast<int32_t>(static_cast<uint32_t>(n)));
  else
    variantSetR8(v, static_cast<double>(n));
}

void setNumberAsInteger(VARIANT* v, double d, bool preferShort) {
  if (std::trunc(d) == d && d >= INT32_MIN && d <= static_cast<double>(UINT32_MAX))
    setInteger(v, static_cast<sqlite3_int64>(d), preferShort);
  else
    variantSetR8(v, d);
}

int digits(const char*& p, int count) {
  int value = 0;
  for (int k = 0; k < count; ++k, ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return -1;
    value = value * 10 + (*p - '0');
  }
  return value;
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.fff]]" (also with 'T'), or mdbtools'
// default "MM/DD/YY HH:MM:SS" (two-digit years 30 to 99 are 19xx).
bool parseDateText(const char* s, double* oleDate) {
  const char* p = s;
  while (*p == ' ') ++p;
  int year, month, day;
  if (std::isdigit(static_cast<unsigned char>(p[0])) && p[2] == '/') {
    month = digits(p, 2);
    if (*p++ != '/') return false;
    day = digits(p, 2);
    if (*p++ != '/') return false;
    year = digits(p, 2);
    if (year < 0) return false;
    year += year < 30 ? 2000 : 1900;
  } else {
    year = digits(p, 4);
    if (*p++ != '-') return false;
    month = digits(p, 2);
    if (*p++ != '-') return false;
    day = digits(p, 2);
  }
  if (year < 0 || month < 0 || day < 0) return false;
  int hour = 0, minute = 0, second = 0;
  double fraction = 0;
  if (*p == ' ' || *p == 'T') {
    ++p;
    hour = digits(p, 2);
    if (*p++ != ':') return false;
    minute = digits(p, 2);
    if (*p == ':') {
      ++p;
      second = digits(p, 2);
      if (*p == '.') {
        double scale = 0.1;
        for (++p; std::isdigit(static_cast<unsigned char>(*p)); ++p, scale /= 10)
          fraction += (*p - '0') * scale;
      }
    }
    if (hour < 0 || minute < 0 || second < 0) return false;
  }
  while (*p == ' ') ++p;
  if (*p != '\0') return false;
  if (!oleDateFromParts(year, month, day, hour, minute, second, oleDate)) return false;
  *oleDate += (*oleDate >= 0 ? fraction : -fraction) / 86400.0;
  return true;
}

void setText(VARIANT* v, sqlite3_stmt* stmt, int i) {
  const unsigned char* text = sqlite3_column_text(stmt, i);
  int length = sqlite3_column_bytes(stmt, i);
  variantSetText(
      v,
      utf8ToWindows1252(std::string_view(
          reinterpret_cast<const char*>(text ? text : reinterpret_cast<const unsigned char*>("")),
          static_cast<size_t>(length))));
}

bool parseBoolText(const char* s, bool* value) {
  static const char* kTrue[] = {"true", "yes", "on"};
  static const char* kFalse[] = {"false", "no", "off"};
  for (const char* w : kTrue)
    if (strcasecmp(s, w) == 0) return *value = true, true;
  for (const char* w : kFalse)
    if (strcasecmp(s, w) == 0) return *value = false, true;
  return false;
}

void readColumn(sqlite3_stmt* stmt, int i, ColumnKind kind, VARIANT* v) {
  int storage = sqlite3_column_type(stmt, i);
  if (storage == SQLITE_NULL) return variantSetNull(v);
  bool numeric = storage == SQLITE_INTEGER || storage == SQLITE_FLOAT;
  switch (kind) {
    case ColumnKind::Short:
    case ColumnKind::Long:
    case ColumnKind::Unknown:
      if (storage == SQLITE_INTEGER)
        return setInteger(v, sqlite3_column_int64(stmt, i), kind == ColumnKind::Short);
      if (storage == SQLITE_FLOAT) {
        if (kind == ColumnKind::Unknown) return variantSetR8(v, sqlite3_column_double(stmt, i));
        return setNumberAsInteger(v, sqlite3_column_double(stmt, i), kind == ColumnKind::Short);
      }
      return setText(v, stmt, i);
    case ColumnKind::Date: {
      if (numeric) return variantSetDate(v, sqlite3_column_double(stmt, i));
      double date;
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      if (text && parseDateText(text, &date)) return variantSetDate(v, date);
      return setText(v, stmt, i);
    }
    case ColumnKind::Bool: {
      if (numeric) return variantSetBool(v, sqlite3_column_double(stmt, i) != 0);
      bool value;
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      if (text && parseBoolText(text, &value)) return variantSetBool(v, value);
      return setText(v, stmt, i);
    }
    case ColumnKind::Double:
      if (numeric) return variantSetR8(v, sqlite3_column_double(stmt, i));
      return setText(v, stmt, i);
    case ColumnKind::Currency:
      if (numeric) {
        double scaled = std::round(sqlite3_column_double(stmt, i) * 10000.0);
        if (std::fabs(scaled) < 9.2e18) return variantSetCy(v, static_cast<int64_t>(scaled));
        return variantSetR8(v, sqlite3_column_double(stmt, i));
      }
      return setText(v, stmt, i);
    case ColumnKind::Text:
      return setText(v, stmt, i);
  }
}

std::string quoted(const std::string& identifier) {
  std::string out = "\"";
  for (char c : identifier) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

class SqliteCursor : public OldDbCursor {
 public:
  // |sql| is kept for rowCount, which counts only when asked.
  SqliteCursor(sqlite3* db, sqlite3_stmt* stmt, std::string sql)
      : db_(db), stmt_(stmt), sql_(std::move(sql)) {
    int n = sqlite3_column_count(stmt_);
    for (int i = 0; i < n; ++i)
      kinds_.push_back(kindOfDeclaredType(sqlite3_column_decltype(stmt_, i)));
    try {
      step();
    } catch (...) {
      sqlite3_finalize(stmt_);  // the destructor will not run
      throw;
    }
  }
  ~SqliteCursor() override { sqlite3_finalize(stmt_); }

  int fieldCount() const override { return static_cast<int>(kinds_.size()); }
  bool atEnd() const override { return atEnd_; }
  void read(int index, VARIANT* value) override {
    readColumn(stmt_, index, kinds_[static_cast<size_t>(index)], value);
  }
  void next() override { step(); }
  // The rows of "select * from TABLE" (SQLite keeps no count: it counts
  // them, which costs a read of the table's pages, so only for a caller that
  // shows progress); -1 for other queries or when it cannot.
  int64_t rowCount() const override {
    if (!rowsCounted_) {
      rows_ = rowsOfSelectAll();
      rowsCounted_ = true;
    }
    return rows_;
  }

 private:
  void step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return;
    atEnd_ = true;
    if (rc != SQLITE_DONE) throwDaoException(kDaoEngineError, sqlite3_errmsg(db_));
  }

  int64_t rowsOfSelectAll() const {
    const std::string table = selectAllTableName(sql_);
    if (table.empty()) return -1;
    sqlite3_stmt* stmt = nullptr;
    int64_t rows = -1;
    if (sqlite3_prepare_v2(db_, ("SELECT count(*) FROM " + quoted(table)).c_str(), -1, &stmt,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
      rows = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return rows;
  }

  sqlite3* db_;
  sqlite3_stmt* stmt_;
  std::string sql_;
  std::vector<ColumnKind> kinds_;
  bool atEnd_ = false;
  mutable bool rowsCounted_ = false;
  mutable int64_t rows_ = -1;
};

class SqliteBackend : public OldDbBackend {
 public:
  explicit SqliteBackend(sqlite3* db) : db_(db) { ++openConnections; }
  ~SqliteBackend() override {
    sqlite3_close_v2(db_);
    --openConnections;
  }

  int tableFieldCount(const std::string& table) override {
    std::string name = storedTableName(table);
    std::unique_ptr<OldDbCursor> columns = query("PRAGMA table_info(" + quoted(name) + ")");
    int count = 0;
    for (; !columns->atEnd(); columns->next()) ++count;
    return count;
  }

  void addField(const std::string& table, const std::string& name, int daoType,
                long size) override {
    std::string stored = storedTableName(table);
    if (hasColumn(stored, name))
      throwDaoException(kDaoFieldExists,
                        "Field '" + name + "' already exists in table '" + stored + "'.");
    execute("ALTER TABLE " + quoted(stored) + " ADD COLUMN " + quoted(name) + " " +
            declaredTypeOf(daoType, size));
  }

  void deleteField(const std::string& table, const std::string& name) override {
    std::string stored = storedTableName(table);
    execute("ALTER TABLE " + quoted(stored) + " DROP COLUMN " + quoted(name));
  }

  // SQLite alters tables inside transactions, so the column and its values
  // are committed together or not at all.
  void addFilledField(const std::string& table, const std::string& name, int daoType, long size,
                      const std::string& fill) override {
    exec("SAVEPOINT dao_filled_field");
    try {
      addField(table, name, daoType, size);
      execute(fill);
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK TO dao_filled_field; RELEASE dao_filled_field", nullptr, nullptr,
                   nullptr);
      throw;
    }
    exec("RELEASE dao_filled_field");
  }

  // The statement runs inside a savepoint, so a failure leaves no row of
  // it changed.
  void execute(const std::string& sql) override {
    exec("SAVEPOINT dao_execute");
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error ? error : sqlite3_errmsg(db_);
      sqlite3_free(error);
      sqlite3_exec(db_, "ROLLBACK TO dao_execute; RELEASE dao_execute", nullptr, nullptr, nullptr);
      throwDaoException(kDaoSyntaxError, message + " (in '" + sql + "')");
    }
    exec("RELEASE dao_execute");
  }

  std::unique_ptr<OldDbCursor> query(const std::string& sql) override {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK || !stmt) {
      std::string message = stmt ? sqlite3_errmsg(db_) : "empty query";
      if (!stmt && sqlite3_errcode(db_) != SQLITE_OK) message = sqlite3_errmsg(db_);
      sqlite3_finalize(stmt);
      throwDaoException(kDaoSyntaxError, message + " (in '" + sql + "')");
    }
    return std::make_unique<SqliteCursor>(db_, stmt, sql);
  }

 private:
  void exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
      throwDaoException(kDaoEngineError, sqlite3_errmsg(db_));
  }

  // The table's name as stored (Jet, like SQLite, ignores case in names).
  std::string storedTableName(const std::string& table) {
    sqlite3_stmt* stmt = nullptr;
    std::string found;
    if (sqlite3_prepare_v2(db_,
                           "SELECT name FROM sqlite_master WHERE type = 'table' AND "
                           "name = ?1 COLLATE NOCASE",
                           -1, &stmt, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(stmt) == SQLITE_ROW)
        found = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    if (found.empty())
      throwDaoException(kDaoItemNotFound, "Table '" + table + "' not found in this collection.");
    return found;
  }

  bool hasColumn(const std::string& table, const std::string& column) {
    std::unique_ptr<OldDbCursor> columns = query("PRAGMA table_info(" + quoted(table) + ")");
    for (; !columns->atEnd(); columns->next()) {
      VARIANT name;
      VariantInit(&name);
      columns->read(1, &name);
      bool same = name.vt == VT_BSTR && strcasecmp(name.pszVal, column.c_str()) == 0;
      VariantClear(&name);
      if (same) return true;
    }
    return false;
  }

  static std::string declaredTypeOf(int daoType, long size) {
    switch (daoType) {
      case 1:
        return "YESNO";
      case 2:
        return "BYTE";
      case 3:
        return "SMALLINT";
      case 4:
        return "INTEGER";
      case 5:
        return "CURRENCY";
      case 6:
        return "REAL";
      case 7:
        return "DOUBLE";
      case 8:
        return "DATETIME";
      case 10:
        return "TEXT(" + std::to_string(size > 0 && size <= 255 ? size : 255) + ")";
      case 12:
        return "MEMO";
    }
    throwDaoException(kDaoEngineError, "Invalid field data type " + std::to_string(daoType) + ".");
  }

  sqlite3* db_;
};

}  // namespace

std::unique_ptr<OldDbBackend> openSqliteBackend(const std::string& path, bool readOnly) {
  sqlite3* db = nullptr;
  int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    // Reading the schema proves that the file is a usable database.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close_v2(db);
    throwDaoException(kDaoCannotOpen, "Cannot open database '" + path + "': " + message + ".");
  }
  return std::make_unique<SqliteBackend>(db);
}

void shutDownSqliteWhenIdle() {
  if (openConnections == 0) sqlite3_shutdown();
}
