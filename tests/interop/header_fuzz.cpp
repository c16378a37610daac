// Fuzz target: a data file made of arbitrary bytes, beside a small valid memo
// file, is opened with table4open; when it opens, every record is visited and
// every column read, memos included. A corrupted header or descriptor area
// must give an error code, never a crash or an out-of-bounds access.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dbf/core/context.h"
#include "dbf/core/table.h"

namespace {

std::string scratchBase() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/WH_HEADER_FUZZ_" + std::to_string(getpid());
}

// A memo file with block size 64 and two memos (blocks 8 and 9).
void writeMemoFile(const std::string& name) {
  unsigned char bytes[512 + 128] = {0};
  bytes[3] = 10;  // next free block
  bytes[7] = 64;  // block size
  const char* texts[2] = {"first memo", "second memo, a little longer"};
  for (int i = 0; i < 2; i++) {
    unsigned char* run = bytes + 512 + 64 * i;
    run[3] = 1;
    const std::string text = texts[i];
    run[7] = static_cast<unsigned char>(text.size());
    for (size_t k = 0; k < text.size(); k++) run[8 + k] = static_cast<unsigned char>(text[k]);
  }
  FILE* out = std::fopen(name.c_str(), "wb");
  if (out == nullptr) return;
  std::fwrite(bytes, 1, sizeof bytes, out);
  std::fclose(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string base = scratchBase();
  static bool memoWritten = false;
  if (!memoWritten) {
    writeMemoFile(base + ".FPT");
    memoWritten = true;
  }
  const std::string dbf = base + ".DBF";
  FILE* out = std::fopen(dbf.c_str(), "wb");
  if (out == nullptr) return 0;
  std::fwrite(data, 1, size, out);
  std::fclose(out);

  EngineContext ctx{};
  engine4init(&ctx, nullptr, kEngineVersion);
  ctx.reportOpenErrors = 0;
  ctx.reportGoErrors = 0;
  ctx.reportSkipErrors = 0;
  ctx.openReadOnly = 1;  // the memo file stays as it is for the next input
  Table* t = table4open(&ctx, dbf.c_str());
  if (t != nullptr) {
    const int columns = table4columnCount(t);
    int visited = 0;
    for (int rc = table4top(t); rc == 0 && visited < 10000; rc = table4skip(t, 1), visited++) {
      table4deleted(t);
      for (int i = 1; i <= columns; i++) {
        Column* c = table4column(t, i);
        if (c == nullptr) break;
        ColumnValue v(c);
        v.length();
        v.text();
        column4long(c);
        uint32_t len = 0;
        if (c->memo != nullptr) column4memoText(c, &len);
        engine4errorSet(&ctx, 0);
      }
    }
    engine4errorSet(&ctx, 0);
    table4close(t);
  }
  engine4errorSet(&ctx, 0);
  engine4free(&ctx);
  std::remove(dbf.c_str());
  return 0;
}
