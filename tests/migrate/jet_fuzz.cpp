// Fuzz target of the Access reader: every table of the file, every row.
// The first byte chooses what the rest is: (even) a whole file, or (odd)
// patches to a valid built file with memos, moved and deleted rows, each
// patch an offset (4 bytes), a length (1 byte) and that many bytes, so that
// the mutations reach the rows and long values instead of stopping at the
// header.
#include <cstddef>
#include <cstdint>
#include <string>

#include "migrate/jet_file.h"
#include "migrate/old_db_exception.h"
#include "tests/migrate/jet_builder.h"

namespace {

std::string builtFile() {
  using namespace jetbuild;
  FileBuilder b;
  b.add({"Other", {{"A", kJetLong, true, 4}, {"B", kJetText, false, 0}}, {{{longValue(7), {}}}}});
  b.add({"UserBase",
         {{"Id", kJetLong, true, 4},
          {"Name", kJetText, false, 0},
          {"Full", kJetMemo, false, 0},
          {"Active", kJetBool, true, 0},
          {"When", kJetDateTime, true, 8}},
         {{{longValue(1), text("alice"), b.inlineMemo("Alice"), boolean(true)},
           {longValue(2), compressedText("bob"), b.rowMemo("Bob"), boolean(false)},
           {longValue(3), text(""), b.chainMemo(std::string(700, 'x'), 300), boolean(true)}}}});
  b.moveFirstRowAndDeleteOne();
  return b.build();
}

std::string fileOf(const uint8_t* data, size_t size) {
  if (size == 0 || data[0] % 2 == 0) return std::string(reinterpret_cast<const char*>(data), size);
  static const std::string base = builtFile();
  std::string file = base;
  for (size_t i = 1; i + 5 <= size;) {
    size_t at =
        (data[i] | data[i + 1] << 8 | data[i + 2] << 16 | size_t{data[i + 3]} << 24) % file.size();
    size_t len = data[i + 4];
    i += 5;
    for (size_t k = 0; k < len && i < size && at + k < file.size(); ++k, ++i)
      file[at + k] = static_cast<char>(data[i]);
  }
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    JetDatabase db(jetMemorySource(fileOf(data, size)));
    for (const std::string& name : db.tableNames()) {
      try {
        JetDatabase::Rows rows(&db, db.table(name));
        std::vector<JetValue> values;
        for (int n = 0; n < 100000 && rows.next(&values); ++n) {
        }
      } catch (CException* e) {
        e->Delete();
      }
    }
  } catch (CException* e) {
    e->Delete();
  }
  return 0;
}
