// A read-only reader of Access database files (Jet 3 and Jet 4).
//
// The old server kept its data in an Access file. This reader gives what the
// migration needs of one: the tables of the catalog, a table's columns, and
// its rows in the order Access keeps them (data pages in page order, rows in
// slot order), each value typed as DAO would type it. It never writes.
//
// The file is untrusted: every offset, length, count and page number read
// from it is checked before it is used, and a file that does not hold
// together ends the operation with a CDaoException (kDaoEngineError, or
// kDaoCannotOpen while opening) instead of reading outside what was read.
//
// The format in brief (all numbers little-endian):
//   - The file is a sequence of pages, 2048 bytes (Jet 3) or 4096 (Jet 4);
//     byte 0x14 of page 0 tells which. The first byte of a page is its type:
//     1 data, 2 table definition, 5 usage bitmap.
//   - A table definition (TDEF, possibly continued over further pages) holds
//     the column descriptors and names and a pointer to the usage map, which
//     names the data pages of the table.
//   - A data page holds a slot table of row offsets; rows grow from the end
//     of the page. A slot flagged 0x8000 is deleted, 0x4000 holds a pointer
//     to the row on another page.
//   - A row: column count, the fixed-length values, the variable-length
//     values, their offset table (stored backwards from the end) and a null
//     mask, one bit per column, set when the value is present. Booleans are
//     their null bit.
//   - Long values (memos) live in rows of "LVAL" pages, inline, in one row,
//     or in a chain of rows.
//   - The catalog is the table MSysObjects, whose definition is on page 2.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Column types as the file stores them.
enum JetColumnType : int {
  kJetBool = 0x01,
  kJetByte = 0x02,
  kJetInt = 0x03,
  kJetLong = 0x04,
  kJetMoney = 0x05,
  kJetFloat = 0x06,
  kJetDouble = 0x07,
  kJetDateTime = 0x08,
  kJetBinary = 0x09,
  kJetText = 0x0A,
  kJetOle = 0x0B,
  kJetMemo = 0x0C,
  kJetGuid = 0x0F,
  kJetNumeric = 0x10,
};

struct JetColumn {
  std::string name;     // Windows-1252
  int type = 0;         // JetColumnType, or another code the reader leaves alone
  int number = 0;       // position in the rows' null mask
  int varIndex = 0;     // entry in the rows' variable offset table
  int fixedOffset = 0;  // offset of a fixed value after the row's column count
  int length = 0;       // declared size in bytes
  bool fixed = false;
  int scale = 0;  // numeric columns
};

struct JetTableDef {
  std::string name;                // as the catalog spells it
  uint32_t page = 0;               // first page of the definition
  std::vector<JetColumn> columns;  // in table order
  uint32_t usageMap = 0;           // row pointer (page << 8 | row) of the data page map
  uint32_t rowCount = 0;           // as the definition states it: for progress only
};

// One value, typed with the VARIANT type code DAO would give it: VT_NULL,
// VT_BOOL (integer 0 or -1), VT_I2, VT_I4 (integer), VT_R8, VT_DATE (real),
// VT_CY (integer, scaled by 10000), VT_BSTR (text), or VT_EMPTY for binary and
// OLE values, which the migration never reads.
struct JetValue {
  uint16_t vt = 0;
  int64_t integer = 0;
  double real = 0;
  std::string text;
};

// Where the bytes come from: a file, or memory (tests and the fuzz target).
class JetSource {
 public:
  virtual ~JetSource() = default;
  virtual uint64_t size() = 0;
  // Reads len bytes at pos; false when they cannot all be read.
  virtual bool read(uint64_t pos, void* buffer, size_t len) = 0;
};

std::unique_ptr<JetSource> jetFileSource(const std::string& path);  // throws when unopenable
std::unique_ptr<JetSource> jetMemorySource(std::string bytes);

class JetDatabase {
 public:
  // Reads the header and the catalog. Throws CDaoException (kDaoCannotOpen)
  // when the source is no Access file or its catalog cannot be read.
  explicit JetDatabase(std::unique_ptr<JetSource> source);
  ~JetDatabase();
  JetDatabase(const JetDatabase&) = delete;
  JetDatabase& operator=(const JetDatabase&) = delete;

  bool isJet3() const { return jet3_; }
  // Names of the tables (user and system) in catalog order.
  const std::vector<std::string>& tableNames() const { return tableNames_; }
  // The definition of a table, its name matched without regard to case.
  // Throws kDaoItemNotFound when there is none.
  JetTableDef table(const std::string& name);

  // The rows of a table, one after the other.
  class Rows {
   public:
    Rows(JetDatabase* db, JetTableDef table);
    // Decodes the next row into *values (one per column); false at the end.
    bool next(std::vector<JetValue>* values);
    const JetTableDef& table() const { return table_; }

   private:
    JetDatabase* db_;
    JetTableDef table_;
    std::vector<uint32_t> pages_;
    size_t pageIndex_ = 0;
    int slot_ = 0;
  };

 private:
  friend class Rows;
  using PagePtr = std::shared_ptr<const std::string>;

  PagePtr page(uint32_t number);
  JetTableDef readDefinition(uint32_t page, const std::string& name);
  std::vector<uint32_t> dataPages(const JetTableDef& table);
  std::string rowAt(uint32_t pointer, const char* what, bool moved = false);
  int slotCount(const std::string& page) const;
  int rowBounds(const std::string& page, int slot, size_t* start, size_t* end) const;
  void decodeRow(const JetTableDef& table, const unsigned char* row, size_t len,
                 std::vector<JetValue>* values);
  void decodeValue(const JetColumn& column, const unsigned char* data, size_t len, JetValue* value);
  std::string longValue(const unsigned char* header, size_t len);
  std::string text(const unsigned char* data, size_t len) const;
  [[noreturn]] void damaged(const std::string& what) const;

  std::unique_ptr<JetSource> source_;
  bool jet3_ = false;
  uint32_t pageSize_ = 4096;
  uint32_t pageCount_ = 0;
  std::map<uint32_t, PagePtr> cache_;
  std::vector<std::string> tableNames_;
  std::vector<uint32_t> tablePages_;
};
