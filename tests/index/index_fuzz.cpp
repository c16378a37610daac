// Fuzz target: arbitrary bytes as the production index of a table whose
// columns cover every sample's tags (NAME C10, QTY N11, NOTES M, BORN D8,
// ACTIVE L, ID I, NUM N6, AMT N9, FLAG L, CODE C3). The table is opened with
// its index, every tag walked both ways, sought and skipped through, and the
// table walked in tag order. Nothing may crash, hang or read out of bounds.
// Seeds: the sample .CDX files (tests/index/samples).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/index/index.h"

namespace {

const ColumnDescription kColumns[] = {
    {"NAME", 'C', 10, 0, 0}, {"QTY", 'N', 11, 0, 0},   {"NOTES", 'M', 4, 0, 0},
    {"BORN", 'D', 8, 0, 0},  {"ACTIVE", 'L', 1, 0, 0}, {"ID", 'I', 4, 0, 0},
    {"NUM", 'N', 6, 0, 0},   {"AMT", 'N', 9, 2, 0},    {"FLAG", 'L', 1, 0, 0},
    {"CODE", 'C', 3, 0, 0},  {nullptr, 0, 0, 0, 0},
};

void initContext(EngineContext* ctx) {
  engine4init(ctx, nullptr, kEngineVersion);
  ctx->compatibility = 30;
  ctx->shareMode = 1;  // nobody else writes: damage is reported at once
  ctx->singleOpen = 0;
}

// The table, with a few records, marked as having a production index.
std::string makeTable() {
  const char* dir = std::getenv("TMPDIR");
  const std::string base =
      std::string(dir != nullptr ? dir : "/tmp") + "/WH_CDX_FUZZ_" + std::to_string(getpid());
  EngineContext ctx{};
  initContext(&ctx);
  ctx.refuseOverwrite = 0;
  Table* t = table4create(&ctx, base.c_str(), kColumns, nullptr);
  for (int i = 0; t != nullptr && i < 6; ++i) {
    table4appendStart(t, false);
    table4blank(t);
    ColumnValue name(table4column(t, 1));
    column4assign(&name, i % 2 ? "Alice" : "Bob");
    table4append(t);
  }
  table4close(t);
  engine4free(&ctx);
  FILE* f = std::fopen((base + ".DBF").c_str(), "r+b");
  if (f != nullptr) {
    std::fseek(f, 28, SEEK_SET);
    std::fputc(0x01, f);
    std::fclose(f);
  }
  return base;
}

// Walks are cut short (a step back decodes its leaf from the start, and the
// larger seeds hold thousands of keys); long skips cover the rest.
void exercise(Table* t, Tag* tag, const uint8_t* data, size_t size) {
  for (int rc = order4top(tag), n = 0; rc == 0 && order4eof(tag) == 0 && n < 600; ++n)
    if (order4skip(tag, 1) != 1) break;
  order4skip(tag, 100000);
  for (int rc = order4bottom(tag), n = 0; rc == 0 && order4eof(tag) == 0 && n < 200; ++n)
    if (order4skip(tag, -1) != -1) break;
  order4skip(tag, -100000);
  // Search keys taken from the input itself.
  for (size_t at = 0; at + 8 <= size && at < 256; at += 37) {
    order4seek(tag, reinterpret_cast<const char*>(data + at), static_cast<int>(size - at));
    order4skip(tag, static_cast<int8_t>(data[at]));
    order4go(tag, reinterpret_cast<const char*>(data + at), data[at + 1]);
    order4skip(tag, -static_cast<int8_t>(data[at + 2]));
  }
  char key[dbf::kMaxKeyLength];
  order4keyFromText(tag, "Bob", 3, key);
  if (table4selectTag(t, tag) == 0) {
    for (int rc = table4top(t), n = 0; rc == 0 && n < 20; ++n) rc = table4skip(t, 1);
    table4skip(t, -3);
    table4go(t, 2);
    table4skip(t, 1);
  }
  engine4errorSet(t->ctx, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string base = makeTable();
  FILE* out = std::fopen((base + ".CDX").c_str(), "wb");
  if (out == nullptr) return 0;
  std::fwrite(data, 1, size, out);
  std::fclose(out);

  EngineContext ctx{};
  initContext(&ctx);
  ctx.reportGoErrors = 0;
  if (Table* t = table4open(&ctx, base.c_str())) {
    for (IndexHandle* h = t->indexes; h != nullptr; h = h->next)
      for (TagHandle* th = h->tags; th != nullptr; th = th->next) exercise(t, th->tag, data, size);
    table4close(t);
  }
  engine4errorSet(&ctx, 0);
  engine4free(&ctx);
  return 0;
}
