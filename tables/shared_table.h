// SharedTable: the one object per table name through which any number of users,
// on any number of threads, open the table, each through its own TableHandle.
//
// The table is created afresh from the subclass's static column list. Every
// handle counts as a user from acquireHandle to releaseHandle; when the last
// user leaves after some handle deleted rows (deleteCurrent), that release
// packs the data file and compacts the memo file, under the table's lock, so
// that no handle can be acquired meanwhile.
//
// Each thread reaches the engine through its own context (currentContext), so
// the handles of different threads open the files independently and meet only
// through the engine's byte-range locks.
#pragma once

#include <cstdint>

#include "dbf/core/table.h"
#include "tables/condition.h"  // appendTextConstant, for keyFor
#include "tables/critical_lock.h"
#include "tables/record.h"
#include "tables/table_handle.h"

class SharedTable {
 public:
  // A table named |tableName| (upper case, no extension). A blank name leaves
  // `name` null. The path is built at once.
  explicit SharedTable(const char* tableName);
  SharedTable(const SharedTable&) = delete;
  SharedTable& operator=(const SharedTable&) = delete;

  // Virtual operations, in slot order.

  // Slot 0.
  virtual ~SharedTable();
  // Slot 1. Removes the table's old .DBF, .FPT and .CDX files and creates it
  // anew, empty, without index tags; the new table is closed again. 0, or -1
  // when the engine reported an error (nothing printed); a table that is in
  // use cannot be created afresh, and keeps its rows.
  virtual int createTable();
  // Slot 2. Proves that the table can be opened (and closes it again). 0 or -1.
  virtual int openCheck();
  // Slots 3 and 4. Reserved; return 0.
  virtual int reserved3();
  virtual int reserved4();
  // Slot 5. Appends |record| unless a row with its key (keyFor) exists already.
  // 1 when such a row exists (nothing written); otherwise writeRecord's result;
  // -1 after a failure.
  virtual int insertUnique(RecordObject* record);
  // Slot 6. Empties |list| and fills it with one record object
  // (newRecordObject) per record not marked deleted, in record order. 1 when
  // the table has no records (or none could be read); otherwise the last
  // readRecord result; -1 after a failure.
  virtual int readAll(RecordList* list);
  // Slot 7. Writes |record| over the first row with its update key and stores
  // it. 1 when there is no key or no such row; otherwise writeRecord's result;
  // -1 after a failure.
  virtual int updateFirst(RecordObject* record);
  // Slot 8. Reads the first row with |record|'s read key into it. 1 when there
  // is no key or no such row; otherwise readRecord's result; -1 after a failure.
  virtual int readFirst(RecordObject* record);
  // Slot 9. Deletes the first row with |value|'s delete key (through
  // deleteCurrent, so the table is compacted when its last user leaves). 1 when
  // there is no key, 0 whether a row was found or not, -1 after a failure.
  virtual int deleteFirstFor(RecordObject* value);
  // Slot 10. A new, empty record object for readAll, owned by the caller; the
  // default makes none.
  virtual RecordObject* newRecordObject();
  // Slot 11. The search condition (an expression text such as "ID=12") that
  // identifies |record|'s row, as a heap text the caller frees (freeText); the
  // default has no key (null). Implementations must write every text value of
  // the condition with appendTextConstant (tables/condition.h): the language
  // has no escape, and a value pasted in as it stands can end its constant
  // early and change the condition. A value that it refuses has no safe
  // condition; keyFor then gives no key.
  virtual char* keyFor(RecordObject* record);
  // Slots 12, 13, 14. The keys for updateFirst, readFirst and deleteFirstFor;
  // by default keyFor(record). The same rule for text values holds.
  virtual char* keyForUpdate(RecordObject* record);
  virtual char* keyForRead(RecordObject* record);
  virtual char* keyForDelete(RecordObject* record);
  // Slot 15. Reads the current record of |handle| into |record|'s destinations
  // by column type ('C'/'M' texts, 'N' integers), then tells it reading has
  // finished. 1 for a record without columns, 0 otherwise, -1 after an engine
  // failure (reported with reportDatabaseError).
  virtual int readRecord(TableHandle* handle, RecordObject* record);
  // Slot 16. Assigns |record|'s values to the current record of |handle| by
  // column type; a 'C'/'M' position without text is left as it is. Results as
  // readRecord.
  virtual int writeRecord(TableHandle* handle, RecordObject* record);
  // Slot 17. A new handle counted as a user, not open yet.
  virtual TableHandle* acquireHandle();
  // Slot 18. A new handle with the table open in this thread's context, or
  // null (the handle is then released again).
  virtual TableHandle* openHandle();
  // Slot 19. Ends a user's handle: counts it off, compacts the table when this
  // was the last user and rows were deleted, closes the table and destroys the
  // handle. Null does nothing. Prints "S> %s Counter Error" when there was no
  // user left to count off, "S> %s Pack Error" and "S> %s Pack memo Error"
  // when compaction fails (%s the table path, no newline).
  virtual void releaseHandle(TableHandle* handle);
  // Slot 20. `path` = the directory prefix ("./" here, ".\" on Windows)
  // followed by the name.
  virtual void buildPath();
  // Slot 21. Removes the table's .DBF, .FPT and .CDX files, in this order; a
  // missing file is no error. A file that some open (of any process) keeps in
  // use is left alone, as Windows would: its removal counts as failed. Returns
  // the result of the last removal.
  virtual int removeFiles();
  // Slot 22. The table's column list, ended by an entry with a null name.
  virtual const ColumnDescription* columnDefinitions() = 0;

  // The data of the table. openCount, packPending and compactions change only
  // under tableLock.
  char* name;         // heap copy, or null for a blank name
  int openCount = 0;  // handles acquired and not yet released
  char path[kTablePathSize];
  CriticalLock tableLock;
  int packPending = 0;  // rows were deleted since the last compaction
  int compactions = 0;  // compactions run (pack and memo), for diagnostics

 private:
  void compact(Table* table);
};

// The directory prefix of table paths.
#if defined(_WIN32)
inline constexpr char kTablePathPrefix[] = ".\\";
#else
inline constexpr char kTablePathPrefix[] = "./";
#endif
