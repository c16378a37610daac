// Backends of the old-database component (internal to migrate/).
//
// A backend is one open database file; CDaoDatabase, CDaoTableDef and
// CDaoRecordset only forward to it. Every operation may throw CDaoException.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "migrate/variant.h"

// One open query result, positioned on a row or at the end.
class OldDbCursor {
 public:
  virtual ~OldDbCursor() = default;
  virtual int fieldCount() const = 0;
  virtual bool atEnd() const = 0;
  virtual void read(int index, VARIANT* value) = 0;  // current row
  virtual void next() = 0;
  // Rows of the whole result when the backend can tell without reading
  // them (for progress only), else -1.
  virtual int64_t rowCount() const { return -1; }
};

class OldDbBackend {
 public:
  virtual ~OldDbBackend() = default;
  // Number of columns of the table; throws when there is no such table.
  virtual int tableFieldCount(const std::string& table) = 0;
  virtual void addField(const std::string& table, const std::string& name, int daoType,
                        long size) = 0;
  virtual void deleteField(const std::string& table, const std::string& name) = 0;
  virtual void execute(const std::string& sql) = 0;
  // Adds a column and runs the statement that fills it as one change: after
  // a failure, or a process that died half-way, the table has either its
  // old layout or the filled column, never an empty one. This default suits
  // a backend that keeps its changes in memory: it takes the column away
  // again when the statement fails.
  virtual void addFilledField(const std::string& table, const std::string& name, int daoType,
                              long size, const std::string& fill) {
    addField(table, name, daoType, size);
    try {
      execute(fill);
    } catch (...) {
      deleteField(table, name);
      throw;
    }
  }
  virtual std::unique_ptr<OldDbCursor> query(const std::string& sql) = 0;
};

// Open one kind of file. The caller has checked the file's first bytes.
std::unique_ptr<OldDbBackend> openSqliteBackend(const std::string& path, bool readOnly);
std::unique_ptr<OldDbBackend> openJetBackend(const std::string& path);
// The same files through mdbtools' libmdb: built on Linux only (library
// migrate_libmdb), where the tests use it as a second opinion on the reader.
std::unique_ptr<OldDbBackend> openLibmdbBackend(const std::string& path);

// Table name of a "select * from NAME" query (NAME may be in [] or "" or ``),
// or an empty string when sql is not of that form.
std::string selectAllTableName(const std::string& sql);

// Frees SQLite's global resources when no SQLite database is open.
void shutDownSqliteWhenIdle();
