// The old-database component: the DAO operations the migration relies on.
//
// The old server kept its data in "SMTP.MDB", read and altered through DAO.
// These classes offer exactly the operations the driver and the converters
// use, with DAO's names, over one of two backends chosen by the file's first
// bytes: an SQLite database (read and written, the default for tests and the
// sample data) or an Access/Jet file (Jet 3 or Jet 4, read only by our own
// reader, jet_file.h; the two schema fix-ups are then kept in memory as an
// overlay).
// Every operation may throw a CDaoException by pointer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "migrate/old_db_exception.h"
#include "migrate/variant.h"

class OldDbBackend;
class OldDbCursor;

// DAO field type codes, options and recordset types the callers pass.
enum : int {
  dbBoolean = 1,
  dbByte = 2,
  dbInteger = 3,
  dbLong = 4,
  dbCurrency = 5,
  dbSingle = 6,
  dbDouble = 7,
  dbDate = 8,
  dbText = 10,
  dbMemo = 12,
};
enum : int { dbFailOnError = 128 };
enum : int { AFX_DAO_USE_DEFAULT_TYPE = -1 };

class CDaoDatabase {
 public:
  CDaoDatabase();
  ~CDaoDatabase();
  CDaoDatabase(const CDaoDatabase&) = delete;
  CDaoDatabase& operator=(const CDaoDatabase&) = delete;

  // Opens the database file. Throws when it is missing, unreadable or of
  // neither known format, and when this object is already open. exclusive
  // and readOnly follow DAO; an Access file is always read only here.
  void Open(const char* path, bool exclusive = false, bool readOnly = false,
            const char* connect = "");
  // Runs one statement; with dbFailOnError a failure undoes the whole
  // statement and throws (otherwise too: partial updates are never kept).
  void Execute(const char* sql, int options = 0);
  void Close();
  bool IsOpen() const { return backend_ != nullptr; }

  OldDbBackend* backend() const;  // for the table definition and recordset

 private:
  std::unique_ptr<OldDbBackend> backend_;
};

class CDaoTableDef {
 public:
  explicit CDaoTableDef(CDaoDatabase* database);
  ~CDaoTableDef();

  // Opens the definition of an existing table; throws when there is none.
  void Open(const char* tableName);
  // Number of columns, 16-bit as DAO returns it.
  short GetFieldCount();
  // Adds a column at the end of the table. type is a DAO type code.
  void CreateField(const char* name, short type, long size, long attributes = 0);
  // Adds a column at the end of the table and runs fillStatement (which
  // sets it in every row) in the same transaction: when either fails, or
  // the process is killed in between, the table keeps its old layout, so
  // that the next run finds it and tries again.
  void CreateFilledField(const char* name, short type, long size, const char* fillStatement);
  // Removes a column.
  void DeleteField(const char* name);
  void Close();

 private:
  CDaoDatabase* database_;
  std::string name_;
  bool open_ = false;
};

class CDaoRecordset {
 public:
  explicit CDaoRecordset(CDaoDatabase* database);
  ~CDaoRecordset();
  CDaoRecordset(const CDaoRecordset&) = delete;
  CDaoRecordset& operator=(const CDaoRecordset&) = delete;

  // Runs the query; the first row (if any) becomes current.
  void Open(int openType, const char* sql, int options = 0);
  short GetFieldCount();
  bool IsEOF();
  // Replaces value (clearing what it held) with column index of the current
  // row. Throws at the end or for an index outside the columns.
  void GetFieldValue(int index, VARIANT& value);
  void MoveNext();
  // Rows of the query as the database states them, or -1 when it cannot
  // tell before they are read (as DAO returns -1). Only for showing
  // progress: a damaged file may state any number.
  long GetRecordCount();
  void Close();

 private:
  CDaoDatabase* database_;
  std::unique_ptr<OldDbCursor> cursor_;
};

// Shuts the DAO layer down at the end of the run. Databases still open are
// not affected, and a later open starts the layer again, as with DAO.
void AfxDaoTerm();

// The one process-wide old database of the migration.
extern CDaoDatabase oldDatabase;
