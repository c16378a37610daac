// How dbftool shows the value of each column of a record:
//
//   C          the text without its trailing blanks (and zero bytes)
//   N, F       the number as stored (CSV) or as a JSON number; blank: null
//   D          YYYY-MM-DD; blank or zeros: null; anything else as stored
//   L          true or false; '?' or blank: null
//   M          the memo text; no memo: null
//   G, binary  base64 of the bytes (binary C and M columns, G memos, and B
//              memos of the older layout)
//   I, B, Y    the integer, the double, the currency with four decimals
//   T          YYYY-MM-DDTHH:MM:SS, with .mmm when the milliseconds are not 0
//
// A column whose _NullFlags bit is set is null whatever its bytes hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/dbftool/output.h"

struct Table;
struct Column;

namespace dbftool {

class FieldFormatter {
 public:
  // Column |number| (1-based) of |t|.
  FieldFormatter(Table* t, int number);

  const std::string& name() const { return name_; }
  // Writes the value of this column in the Table's record buffer. False when
  // a memo could not be read (the field is then written as null and the
  // engine's error is left in the context for the caller).
  bool write(RecordWriter& out) const;

 private:
  enum class Kind {
    kText,
    kNumeric,
    kDate,
    kLogical,
    kMemo,
    kBinary,
    kBinaryMemo,
    kInteger,
    kDouble,
    kCurrency,
    kDateTime
  };

  bool isNull(const char* record) const;

  Table* table_;
  Column* column_;
  std::string name_;
  Kind kind_;
  uint32_t offset_;
  uint32_t length_;
  int nullByte_ = -1;  // offset of this column's _NullFlags byte, or -1
  uint8_t nullMask_ = 0;
};

// The base64 text of |n| bytes (RFC 4648, with padding).
std::string base64(const char* bytes, size_t n);

}  // namespace dbftool
