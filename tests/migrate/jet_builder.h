// Builds small Jet 4 (Access 2000) files in memory for the reader's tests
// and fuzz target: the layouts the real sample files lack (memos inline, in
// one long-value row and in a chain of them; moved and deleted rows; rows
// written before a column was added; a table spread over two data pages).
// Written from the published description of the format, like the reader, so
// it checks the reader's walk over the structures, not the format itself:
// the real Access files checked against libmdb and mdb-export do that.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace jetbuild {

constexpr uint32_t kPage = 4096;

struct Column {
  std::string name;
  int type;  // JetColumnType
  bool fixed;
  int size;  // fixed columns: bytes in the row
};

// A stored value: its bytes in the row (null when absent). Booleans hold
// "1" or "" and live in the null mask.
using Cell = std::optional<std::string>;

Cell longValue(int32_t v);
Cell text(const std::string& ascii);            // UCS-2, uncompressed
Cell compressedText(const std::string& ascii);  // 0xFF 0xFE and one byte a character
Cell boolean(bool v);

struct Table {
  std::string name;
  std::vector<Column> columns;
  // Rows by data page. A row may have fewer cells than columns (it was
  // written before the later columns were added).
  std::vector<std::vector<std::vector<Cell>>> pages;
};

class FileBuilder {
 public:
  // Memos: text stored after the 12-byte header, in one long-value row, or
  // in a chain of parts of at most `part` characters, each on its own page.
  Cell inlineMemo(const std::string& ascii);
  Cell rowMemo(const std::string& ascii);
  Cell chainMemo(const std::string& ascii, size_t part);

  void add(Table table) { tables_.push_back(std::move(table)); }
  // The first row of the first page of the last table added moves to a page
  // of its own (its slot keeps a pointer); one deleted row is added after it.
  void moveFirstRowAndDeleteOne() { moveAndDelete_ = true; }
  std::string build();

 private:
  uint32_t putLong(const std::string& bytes);  // returns the row pointer
  std::vector<Table> tables_;
  std::vector<std::string> longRows_;  // each on its own long-value page
  bool moveAndDelete_ = false;
};

}  // namespace jetbuild
