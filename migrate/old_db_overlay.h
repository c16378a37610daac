// Read-only backends of the old-database component (internal to migrate/).
//
// An Access file is read, never written. The two schema fix-ups of the
// migration (add a Long column, set it to a constant in every row) are
// therefore kept in memory for the life of the open database: the added
// column appears last in the table's rows and field count, holding NULL until
// an update gives it its constant. This base class holds that overlay; a
// reader only names a table's columns and walks its rows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "migrate/old_db_backend.h"

class ReadOnlyBackend : public OldDbBackend {
 public:
  int tableFieldCount(const std::string& table) override;
  // Only a Long column (DAO type 4) can be added, and only in memory.
  void addField(const std::string& table, const std::string& name, int daoType, long size) override;
  // Only a column added above can go again.
  void deleteField(const std::string& table, const std::string& name) override;
  // Only "update TABLE set COLUMN = NUMBER" on a column added above runs.
  void execute(const std::string& sql) override;
  // Only "select * from TABLE" runs.
  std::unique_ptr<OldDbCursor> query(const std::string& sql) override;

 protected:
  // The column names of a table (matched without regard to case) and the
  // table's name as stored. Throws kDaoItemNotFound when there is none.
  virtual std::vector<std::string> columnsOf(const std::string& table, std::string* stored) = 0;
  // The rows of a table, by its stored name, with its stored columns only.
  virtual std::unique_ptr<OldDbCursor> rowsOf(const std::string& stored) = 0;

 private:
  struct AddedColumn {
    std::string table;  // as stored
    std::string name;
    bool hasValue = false;
    int32_t value = 0;
  };
  class Cursor;
  std::vector<AddedColumn> addedTo(const std::string& stored) const;

  std::vector<AddedColumn> added_;  // in the order they were added
};
