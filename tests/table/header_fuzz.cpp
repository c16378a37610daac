// Fuzz target: any bytes as a data file. table4open must refuse or open it,
// and whatever opens must walk, read every column and close without harm.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "dbf/core/context.h"
#include "dbf/core/table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = [] {
    char pattern[] = "/tmp/wh_header_fuzz_XXXXXX";
    const char* made = mkdtemp(pattern);
    return std::string(made != nullptr ? made : "/tmp");
  }();
  const std::string file = dir + "/FUZZ.DBF";
  FILE* f = std::fopen(file.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  EngineContext ctx{};
  engine4init(&ctx, nullptr, kEngineVersion);
  ctx.reportGoErrors = 0;
  Table* t = table4open(&ctx, file.c_str());
  if (t != nullptr) {
    int steps = 0;
    for (int rc = table4top(t); rc == 0 && steps < 1000; rc = table4skip(t, 1), ++steps) {
      for (int c = 1; c <= table4columnCount(t); ++c) {
        ColumnValue v(table4column(t, c));
        v.text();
        v.toLong();
        if (table4column(t, c)->type != 'L' && table4column(t, c)->type != 'T')
          column4long(table4column(t, c));
      }
      table4deleted(t);
    }
    table4close(t);
  }
  engine4free(&ctx);
  return 0;
}
