// TableHandle: one open use of a SharedTable. It positions on records (skipping
// rows marked deleted), begins and appends records, and assigns and reads column
// values by 0-based column position.
//
// Every operation that calls the engine ends with checkEngineError(), so an
// engine failure leaves the operation as a thrown GDatabaseException* rather
// than a return code. A column position outside the table's columns throws a
// GDatabaseException* with code -930 (the engine's "argument out of range")
// without touching the engine context.
//
// A handle and its engine Table belong to the thread that opened it.
#pragma once

#include <cstdint>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "tables/timestamp.h"

class SharedTable;
struct Query;

// Size of the table path buffers: the directory prefix and the table name,
// without extension.
inline constexpr int kTablePathSize = 264;

class TableHandle {
 public:
  // A handle of |owner| on |path| (cut to kTablePathSize - 1 characters), not
  // open yet. SharedTable::acquireHandle is the usual way to make one, since it
  // also counts the handle.
  TableHandle(SharedTable* owner, const char* path);
  TableHandle(const TableHandle&) = delete;
  TableHandle& operator=(const TableHandle&) = delete;

  // Virtual operations, in slot order.

  // Slot 0. Frees the column accessors. releaseHandle closes the table first;
  // a handle destroyed with its table still open closes it here.
  virtual ~TableHandle();
  // Slot 1. Opens the table at `path` in |ctx| under the create/open settings
  // and binds one accessor per column. 0; -1 when the table cannot be opened
  // (`table` stays null); -2 when some column could not be bound.
  virtual int open(EngineContext* ctx);
  // Slot 2. Marks the current record deleted and notes that this handle
  // deleted rows, so that the table is compacted when its last user releases
  // it. Returns the engine's result; no exception.
  virtual int deleteCurrent();
  // Slot 3. Stands on the first record not marked deleted, among the records
  // of |query| (or of the whole table when |query| is null). 0; the engine's
  // end code (> 0) when there is none; a negative error code.
  virtual int firstRecord(Query* query);
  // Slot 4. Moves on to the next record not marked deleted; results as above.
  virtual int nextRecord(Query* query);
  // Slot 5. Reserved; does nothing.
  virtual void reserved5();
  // Slot 6. Starts a new, blank record. Returns table4appendStart's result.
  virtual int beginRecord();
  // Slot 7. Appends the record begun by beginRecord. 0, or the engine's
  // positive result (20 duplicate key, 50 locked); errors throw.
  virtual int appendRecord();
  // Slot 8. Moves to the next record (deleted or not), which stores a changed
  // current record. Returns table4skip's result (3 at the end).
  virtual int advance();
  // Slots 9 and 10. Reserved; do nothing.
  virtual void reserved9();
  virtual void reserved10();
  // Slot 11. Stores encodeTimestamp(|time|) at |position|.
  virtual int assignTime(int position, const SYSTEMTIME& time);
  // Slot 12. Forwards to assignText (slot 13).
  virtual int assignTextAt(int position, const char* text);
  // Slot 13. Assigns |text| to the column (cut or blank-padded to its width).
  virtual int assignText(int position, const char* text);
  // Slot 14. Assigns |value| as decimal digits, right-aligned in the column's
  // width (all '*' when it does not fit).
  virtual int assignLong(int position, int32_t value);
  // Slot 15. The column's value as a 32-bit integer.
  virtual int readLong(int position, int32_t* value);
  // Slot 16. The column's integer decoded as a time stamp; wDayOfWeek and
  // wMilliseconds are 0.
  virtual int readTime(int position, SYSTEMTIME* time);
  // Slot 17. A heap copy of the column's text without trailing white space
  // (leading blanks kept), or null when the field is empty or all white space.
  // The caller frees it with freeText.
  virtual int readText(int position, char** text);
  // Slot 18. Same as readLong.
  virtual int readLongAgain(int position, int32_t* value);
  // Slot 19. Forwards to deleteCurrent (slot 2).
  virtual int deleteCurrentAgain();
  // Slot 20. Counts the records of |query| not marked deleted and leaves the
  // handle on the first of them. Engine failures throw.
  virtual int32_t countMatches(Query* query);
  // Slot 21. Deletes every record of |query| not already marked deleted and
  // returns how many. These deletes alone do not make the last release compact
  // the table. Engine failures throw.
  virtual int32_t deleteAll(Query* query);
  // Slot 22. The same for every record of the table.
  virtual int32_t deleteAll();

  // The data of the handle.
  Table* table = nullptr;          // the engine Table while open
  ColumnValue* columns = nullptr;  // one accessor per column, in column order
  int columnCount = 0;
  int rowsDeleted = 0;  // set by deleteCurrent
  SharedTable* owner;
  char path[kTablePathSize];

 private:
  ColumnValue& accessor(int position);
  int step(Query* query);
  int32_t deleteMatching(Query* query);
  void freeColumns();
};
