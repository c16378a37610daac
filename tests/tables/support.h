// Shared pieces of the table layer tests: a scratch directory per test, a
// SharedTable over a given column list, and an independent reader of the
// written files (Debian's python3-dbfread).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tables/errors.h"
#include "tables/shared_table.h"

namespace tables_test {

// Runs each test in a fresh scratch directory, since the layer works on table
// paths relative to the current directory.
class ScratchDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path directory_;

 private:
  std::filesystem::path previous_;
};

// A SharedTable whose columns are a list given by the test.
class ListTable : public SharedTable {
 public:
  ListTable(const char* tableName, const ColumnDescription* columns)
      : SharedTable(tableName), columns_(columns) {}
  const ColumnDescription* columnDefinitions() override { return columns_; }

 private:
  const ColumnDescription* columns_;
};

// ID N(10), NAME C(6), NOTE M, STAMP N(10).
extern const ColumnDescription kPeopleColumns[];
inline constexpr int kId = 0;
inline constexpr int kName = 1;
inline constexpr int kNote = 2;
inline constexpr int kStamp = 3;

// What dbfread finds in a .DBF file.
struct DbfContents {
  bool ok = false;
  std::string error;  // the reader's output when it failed
  long headerCount = -1;
  long liveCount = -1;
  long deletedCount = -1;
  std::vector<std::string> fields;
  std::vector<std::vector<std::string>> rows;  // live records in file order
};
DbfContents readWithDbfread(const std::string& dbfFile);

// Appends one row through |handle|: ID, NAME and NOTE (a null text leaves the
// column blank).
void appendPerson(TableHandle* handle, int32_t id, const char* name, const char* note);

// Reads ID of every record the handle's walk visits (no Query).
std::vector<int32_t> visibleIds(TableHandle* handle);

bool fileExists(const char* name);
void writeFile(const char* name, const std::string& contents);

}  // namespace tables_test

namespace tables_test {

// Runs |action| and returns the code of the GDatabaseException* it throws
// (deleting it), or 0 when it throws nothing.
template <typename Action>
int thrownCode(Action action) {
  try {
    action();
  } catch (GDatabaseException* e) {
    int code = e->code;
    delete e;
    return code;
  }
  return 0;
}

}  // namespace tables_test
