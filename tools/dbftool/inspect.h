// Reading a table's data and memo files on their own, trusting nothing: the
// header and column descriptors, every record's deletion flag, _NullFlags and
// memo references, and every memo run those references name. check reports
// what is wrong; info shows what is there. Neither writes anything.
//
// Everything goes through the engine's file layer (DiskFile), so the reads
// reach the system the way the engine's own do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbf/core/file.h"
#include "tools/dbftool/console.h"
#include "tools/dbftool/engine.h"

namespace dbftool {

// The last component of a path, for messages.
std::string leafOf(const std::string& path);

// Receives the problems found, one call each. |where| names the file (and the
// record) concerned: "USERBASE.DBF", "USERBASE.DBF record 12".
class ProblemSink {
 public:
  virtual ~ProblemSink() = default;
  virtual void problem(const std::string& where, const std::string& text) = 0;
};

struct ColumnLayout {
  std::string name;
  char type = 0;
  uint32_t length = 0;
  uint32_t decimals = 0;
  uint32_t offset = 0;  // in the record, the deletion flag being byte 0
  uint8_t flags = 0;    // descriptor byte 18
  int nullBit = -1;     // bit in _NullFlags, or -1 when the column cannot be null
  bool memo = false;    // the column holds a memo reference
};

struct TableLayout {
  std::string file;  // full name
  std::string leaf;  // last component, for messages
  int64_t fileLength = 0;
  uint8_t version = 0;
  int lastUpdate[3] = {0, 0, 0};  // year, month, day as stored (year + 1900)
  uint32_t recordCount = 0;
  uint32_t headerLength = 0;
  uint32_t recordLength = 0;          // as the header gives it
  uint8_t flags = 0;                  // header byte 28
  uint8_t codePageMark = 0;           // header byte 29
  std::vector<ColumnLayout> columns;  // _NullFlags included, last
  int nullFlagsColumn = -1;
  int nullableColumns = 0;
  int64_t recordsToRead = 0;  // whole records that are both counted and in the file

  bool fox30() const { return version == 0x30; }
  // The header says a memo file belongs to the table (how the engine decides
  // to open one).
  bool namesMemoFile() const { return fox30() ? (flags & 0x02) != 0 : (version & 0x80) != 0; }
  bool hasMemoColumns() const;
};

// The open files of one table.
class TableFiles {
 public:
  explicit TableFiles(Engine& engine) : engine_(engine) {}
  ~TableFiles();
  TableFiles(const TableFiles&) = delete;
  TableFiles& operator=(const TableFiles&) = delete;

  // Opens the data file of |name| for reading. With |consistent|, the whole
  // data file is locked as writers lock it (a read-write open is needed for
  // that; a file this user may not write is read without the lock, and
  // |*unlocked| tells). A message in |error| on failure.
  bool open(const std::string& name, bool consistent, bool* unlocked, std::string* error);
  // Opens the memo file beside the data file: 1 opened, 0 missing, -1 failed.
  int openMemo(std::string* error);
  // Opens the production index beside the data file (same name, extension
  // CDX) for reading: 1 opened, 0 missing, -1 failed.
  int openIndex(std::string* error);

  DiskFile& data() { return data_; }
  DiskFile& memo() { return memo_; }
  DiskFile& index() { return index_; }
  const std::string& dataName() const { return dataName_; }
  const std::string& memoName() const { return memoName_; }
  const std::string& indexName() const { return indexName_; }
  Engine& engine() { return engine_; }

 private:
  Engine& engine_;
  DiskFile data_;
  DiskFile memo_;
  DiskFile index_;
  std::string dataName_;
  std::string memoName_;
  std::string indexName_;
  bool locked_ = false;
};

// Reads the header and descriptors of the data file. Returns false when they
// do not allow the records to be read at all (the problem was reported).
bool readLayout(TableFiles& files, TableLayout* layout, ProblemSink& problems);

// A memo reference found in a record.
struct MemoReference {
  uint32_t block;
  uint32_t record;
  uint16_t column;  // index into TableLayout::columns
};

struct RecordStatistics {
  int64_t live = 0;
  int64_t deleted = 0;  // the deletion flag is anything but a blank
  std::vector<MemoReference> memos;
};

// Sees every record that walkRecords reads, in record order, so that other
// checks need not read the data file again.
class RecordObserver {
 public:
  virtual ~RecordObserver() = default;
  // Before the first record.
  virtual void start(const TableLayout& layout) = 0;
  // Record |number|'s bytes, the deletion flag first.
  virtual void record(uint32_t number, const uint8_t* bytes) = 0;
};

// Reads every record the header counts (as far as the file holds them),
// reporting bad deletion flags, stray _NullFlags bits and memo references that
// are not numbers, and shows each record to |observer| (when there is one).
// False when reading failed. |progressLabel| heads the progress line.
bool walkRecords(TableFiles& files, const TableLayout& layout, const std::string& progressLabel,
                 const Console& console, RecordStatistics* stats, ProblemSink& problems,
                 RecordObserver* observer = nullptr);

struct MemoStatistics {
  bool present = false;  // a memo file was read
  uint32_t blockSize = 0;
  uint32_t nextFree = 0;    // the header's next free block
  uint32_t firstBlock = 0;  // the first block after the header
  int64_t fileLength = 0;
  int64_t memos = 0;       // references that lead to a memo
  int64_t usedBlocks = 0;  // blocks that some reference's run covers
};

// Checks the memo file against the references: each must lead to a run
// inside the file and below the next free block, and no two runs may share a
// block. |records->memos| is sorted by block on the way.
void analyseMemos(TableFiles& files, const TableLayout& layout, const std::string& progressLabel,
                  const Console& console, RecordStatistics* records, MemoStatistics* stats,
                  ProblemSink& problems);

}  // namespace dbftool
