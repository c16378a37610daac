// dbftool dump: the records of a table as CSV or JSON lines, in record order
// or in the order of a tag, narrowed by a condition of the engine's
// expression language (through a Query, so that the engine may use the
// table's tags for it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/dbftool/console.h"
#include "tools/dbftool/output.h"

namespace dbftool {

struct DumpRequest {
  std::string table;
  OutputFormat format = OutputFormat::kCsv;
  std::vector<std::string> columns;  // empty: every column
  std::string where;                 // empty: every record
  std::string tag;                   // empty: record order; else this tag's order
  bool deleted = false;              // include deleted records, with a _DELETED field
  int64_t limit = -1;                // -1: no limit
};

// Writes the records to console.out; returns the exit status. Problems with
// the request itself (a column or condition the table does not have) give 2.
int dumpTable(const DumpRequest& request, const Console& console);

}  // namespace dbftool
