// The converter framework: one TableConverter per old table.
//
// A converter reads every row of its old table through the old-database
// component and hands it to convertRecord, which a subclass overrides to
// fill a row of the new table. The virtual slots are in a fixed order:
// destructor, openTarget, run, convertRecord, copyValue.
//
// The new table (a SharedTable subclass) and the converter's TableHandle on
// it come from the table access layer. The base converter opens no table
// (openTarget returns 0) and writes nothing (convertRecord returns 0); a
// subclass makes its table in openTarget and writes its rows in
// convertRecord with beginRecord, copyValue and appendRecord.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "migrate/variant.h"

class ConversionProgress;  // migrate/progress.h
class SharedTable;         // tables/: the new table, owned by its converter
class TableHandle;  // tables/: one open use of a SharedTable

class TableConverter {
 public:
  TableConverter() = default;
  TableConverter(const TableConverter&) = delete;
  TableConverter& operator=(const TableConverter&) = delete;

  // Slot 0. Releases handle through the table's releaseHandle (which
  // closes the new table), then destroys table.
  virtual ~TableConverter();

  // Slot 1. Creates the new table afresh and opens it: 0 on success, -1
  // when creation failed, -2 when the created table could not be opened.
  // A table that cannot be replaced keeps its old files as they were. The
  // base converter has no table: 0, nothing done.
  virtual int openTarget();

  // Slot 2. Reads every row of the query from oldDatabase and calls
  // convertRecord once per row with all its values, in row order. An
  // old-database exception is printed and ends this table's conversion
  // (rows already written stay); so does a table layer exception while a
  // row is written, which counts as a failure of the table and is cleared
  // from the engine context, so that it ends no other table. Reads nothing
  // when the converter made a table but could not open it, as no row would
  // have anywhere to go. Always returns 0.
  virtual int run(const char* query) final;

  // Slot 3. Converts one old row; values[0..count-1] are its columns in
  // the query's order. The values belong to run; a routine that reads one
  // through variantToText or variantToLong clears it. Returns the
  // subclass's result, which run ignores; the base returns 0.
  virtual int convertRecord(VARIANT* values, int count);

  // Slot 4. Copies one value into the column at position of the record
  // begun on target, by the column's type letter in table's column list:
  //   C, M  the text of variantToText; no text leaves the column blank;
  //   N     a date as its stored time stamp (a date outside the years 100
  //         to 9999 leaves the column blank), else variantToLong with 0;
  //   other letters, or a position outside the list: nothing written.
  // Table layer exceptions pass to the caller. Always returns 0.
  virtual int copyValue(TableHandle* target, int position, VARIANT* value) final;

  // The new table's name ("" before openTarget).
  const char* tableName() const;
  // True when the table could not be created or replaced, or a row that
  // belongs in it could not be written (rows left out on purpose, such as a
  // message whose file is missing, are no failure).
  bool failed() const { return failures_ > 0; }
  // What went wrong, for the administrator: the table's name and its first
  // failure, with the count when there were more ("" when nothing failed).
  std::string failureReport() const;

  // Tells |progress| how run gets on (null: nobody); not owned.
  void watch(ConversionProgress* progress) { progress_ = progress; }

 protected:
  // Records a failure of this table: |what| says what could not be done.
  void noteFailure(const std::string& what);

  // The common openTarget: takes ownership of newTable, creates it afresh
  // and opens it: 0, -1 when creation failed, -2 when it would not open.
  int openTable(SharedTable* newTable);

  SharedTable* table = nullptr;
  TableHandle* handle = nullptr;

 private:
  ConversionProgress* progress_ = nullptr;
  int failures_ = 0;
  std::string firstFailure_;
};

// Disposes of the engine error that a failed create, open or lookup left in
// this thread's engine context: composes its text with reportDatabaseError
// and clears it, so that it cannot fail the writes of any later table.
// Returns its databaseErrorText.
std::string takeEngineError();

// "DBF Error [code]" as reportDatabaseError composes it, followed by what the
// code means where that tells the administrator something ("DBF Error
// [-20]: a file cannot be created").
std::string databaseErrorText(int code);

// The text of a type 8 or 17 value that is not blank, as a new heap copy;
// null otherwise. The value is cleared in every case.
std::unique_ptr<char[]> variantToText(VARIANT* value);

// A type 2 value widened with sign, a type 3 value, any other type
// defaultValue. The value is cleared in every case.
int32_t variantToLong(VARIANT* value, int32_t defaultValue);
