// Tables, records and columns of the DBF engine.
//
// A Table is one open handle on a .DBF data file: a record buffer, the current
// record number, positioning flags, the columns and the memo state. Tables of
// one EngineContext that stand on the same physical file share one DataFile,
// which holds what belongs to the file (header image, record count, the data
// and memo DiskFiles, lock bookkeeping).
//
// Record numbers: -1 no current record, 0 a new record is being built (after
// table4appendStart), n >= 1 record n is in the buffer. Column numbers are
// 1-based.
#pragma once

#include <cstdint>

#include "dbf/core/context.h"
#include "dbf/core/file.h"

struct Table;
struct DataFile;
struct Column;
struct IndexFile;
struct IndexHandle;
struct Tag;

// One entry of the column list given to table4create; a list ends with an
// entry whose name is null.
struct ColumnDescription {
  const char* name;
  int16_t type;  // type letter: C N F D L M G B I T Y X Z
  int16_t length;
  int16_t decimals;
  int16_t nullsAllowed;  // 190 makes the column nullable; anything else does not
};

inline constexpr int16_t kNullable = 190;

struct MemoEntry {
  bool changed = false;
  bool reloadNeeded = true;
  char* text = nullptr;  // zero-terminated; an empty memo shares one static text
  uint32_t capacity = 0;
  uint32_t length = 0;
  Column* column = nullptr;
};

struct Column {
  char name[11];
  int16_t type;     // upper-case letter
  uint16_t length;  // C columns use all 16 bits (up to 65534)
  int16_t decimals;
  uint16_t offset;  // first column at 1; records reach 65534 bytes
  Table* table;
  uint8_t nullable;  // FoxPro 3.0 layout, descriptor flag 0x02
  int16_t nullBit;
  uint8_t kind;     // 1 binary, 2 memo, 0 other
  MemoEntry* memo;  // memo columns only
};

inline constexpr uint8_t kColumnKindOther = 0;
inline constexpr uint8_t kColumnKindBinary = 1;
inline constexpr uint8_t kColumnKindMemo = 2;

// One record lock held inside a context (DataFile bookkeeping).
struct RecordLock {
  RecordLock* next;
  int32_t owner;
  Table* table;
  int32_t record;
  int64_t position;  // byte locked, fixed when the lock was taken
};

struct DataFile {
  DataFile* next;  // in the context's list
  EngineContext* ctx;
  int32_t users;
  uint8_t mode;  // shareMode at first open
  char fullName[258];
  uint8_t header[32];  // bytes 0-31 of the file
  uint32_t headerLength;
  uint32_t recordLength;  // as computed at open
  int32_t columnCount;    // descriptors, _NullFlags included
  int32_t memoColumnCount;
  int32_t heldCount;  // record count held in memory; -1 = not held
  int32_t lastReadCount;
  uint8_t tableFlags;    // header byte 28
  uint8_t codePageMark;  // header byte 29
  DiskFile data;
  DiskFile memo;  // memo.isOpen when the table has a memo file
  bool headerNeedsWriting;
  bool refreshDate;
  bool changedSinceHeaderWrite;
  uint8_t* descriptors;  // descriptor area as read (header length - 32 bytes)
  // Lock bookkeeping (owner numbers are Table::lockOwner).
  int32_t fileLockOwner;  // 0 = none
  Table* fileLockTable;
  int32_t appendLockOwner;  // 0 = none
  RecordLock* recordLocks;  // ordered by record number
  int32_t memoLockCount;    // 1 while the memo header lock is held at the system
  int32_t memoLockOwner;    // owner that took it (compression, pack, lock-all); 0 = none
  IndexFile* indexes;
  // The record buffer that index key expressions read (expression4bind sets
  // it to the Table whose keys are built); null when that Table is gone.
  char* currentRecord;
};

struct Table {
  Table* nextInGroup;
  EngineContext* ctx;
  TableGroup* group;
  DataFile* dataFile;
  char alias[33];
  int32_t recordNumber;  // -1, 0 or n
  bool bof;
  bool eof;
  bool changed;
  bool readOnly;
  int32_t lockOwner;
  char* record;             // record length + 1 bytes
  char* oldRecord;          // record length + 1 bytes
  int32_t oldRecordNumber;  // -1 = none
  char* blankRecord;        // blank-record template (both layouts)
  Column* columns;          // one per descriptor
  int32_t columnCount;      // descriptors, _NullFlags included
  MemoEntry* memos;
  int32_t memoCount;
  IndexHandle* indexes;  // the index files opened with the Table
  Tag* order;            // tag that orders navigation, or null
};

// --- tables (open, create, close, positioning) ---
Table* table4open(EngineContext* ctx, const char* name);
Table* table4create(EngineContext* ctx, const char* name, const ColumnDescription* columns,
                    const void* tags /* TagDescription list or null */);
int table4close(Table* t);
int table4top(Table* t);
int table4skip(Table* t, int32_t n);
int table4go(Table* t, int32_t n);
int table4goEof(Table* t);
int32_t table4recCount(Table* t);
int32_t table4recNo(Table* t);
int table4bof(Table* t);
int table4eof(Table* t);
char* table4record(Table* t);
const char* table4alias(Table* t);
int table4blank(Table* t);
int table4delete(Table* t);
int table4deleted(Table* t);
int table4flushRecord(Table* t, bool unlockAfter);
int table4writeRecord(Table* t, int32_t n, bool unlockAfter);
int table4columnCount(Table* t);
Column* table4column(Table* t, int n);
int table4columnByName(Table* t, const char* name);

// --- header ---
// Writes header bytes 0-9 (version, date, record count, header length) from the
// DataFile's image with the held record count; only bytes 0-3 when the count is
// not held. Marks the date for refreshing at the next lock release or close.
int dataFile4writeHeader(DataFile* d);

// --- columns ---
int column4storeLong(Column* c, int32_t value);
int32_t column4long(Column* c);
int column4blank(Column* c);
// Memo text of a memo column, loaded on demand; length through |len|.
const char* column4memoText(Column* c, uint32_t* len);
// True when a nullable column holds null in its Table's record buffer.
bool column4isNull(const Column* c);

// --- locks (positions in file.h) ---
int table4lockRecord(Table* t, int32_t n);
int table4lockAppend(Table* t);
int table4lockFile(Table* t);
int table4lockAll(Table* t);
int table4isRecordLocked(Table* t, int32_t n);
int table4unlock(Table* t);

// --- appending ---
int table4appendStart(Table* t, bool useCurrentMemos);
int table4append(Table* t);

// --- pack and memo compression ---
int table4pack(Table* t);
int table4memoCompress(Table* t);
int table4reindex(Table* t);

// The value object through which columns are assigned and read. The virtual
// operations keep the slot order other code relies on.
class ColumnValue {
 public:
  explicit ColumnValue(Column* c = nullptr) : column_(c) {}
  virtual ~ColumnValue() = default;
  void bind(Column* c) { column_ = c; }
  Column* column() const { return column_; }

  virtual int32_t toLong();
  virtual int markChanged();
  virtual int decimals();
  virtual uint32_t length();
  virtual uint32_t length2();
  virtual int checkLock();
  virtual uint32_t maxLength();
  virtual char* pointer();
  virtual char* pointer2();
  virtual const char* text();
  virtual int setLength(uint32_t n);
  virtual int reserved();

 protected:
  Column* column_;
};

int column4assign(ColumnValue* v, const char* text);
int column4assignN(ColumnValue* v, const char* text, uint32_t n);
int column4assignLong(ColumnValue* v, int32_t value, int newLength, bool zeroFill);
int column4assignChar(ColumnValue* v, char c);
