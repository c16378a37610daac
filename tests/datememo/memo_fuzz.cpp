// Fuzz target: a memo file made of arbitrary bytes is opened, every block it
// names is read whole and in parts, and memos are written into it. Nothing
// may crash, read out of bounds or allocate beyond the file's size.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "dbf/core/memo.h"
#include "dbf/core/table.h"

namespace {

std::string scratchName() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/WH_MEMO_FUZZ_" + std::to_string(getpid());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string base = scratchName();
  const std::string fpt = base + ".FPT";
  FILE* out = std::fopen(fpt.c_str(), "wb");
  if (out == nullptr) return 0;
  std::fwrite(data, 1, size, out);
  std::fclose(out);

  EngineContext ctx{};
  engine4init(&ctx, nullptr, kEngineVersion);
  ctx.reportOpenErrors = 0;
  DataFile df{};
  df.ctx = &ctx;
  std::snprintf(df.fullName, sizeof df.fullName, "%s.DBF", base.c_str());
  if (memo4fileOpen(&df) == 0) {
    char* buffer = nullptr;
    uint32_t capacity = 0;
    // Blocks named by the input itself, then the first few.
    for (size_t i = 0; i + 4 <= size && i < 64; i += 4) {
      const int32_t block =
          static_cast<int32_t>((uint32_t{data[i]} << 24) | (uint32_t{data[i + 1]} << 16) |
                               (uint32_t{data[i + 2]} << 8) | data[i + 3]);
      uint32_t length = 0;
      int32_t type = 0;
      memo4fileReadAll(&df.memo, block, &buffer, &capacity, &length, &type);
      engine4errorSet(&ctx, 0);
      memo4fileRead(&df.memo, block, &buffer, &capacity, 3, 17, &length, &type);
      engine4errorSet(&ctx, 0);
      memo4fileMemoLength(&df.memo, block, &length);
      engine4errorSet(&ctx, 0);
    }
    for (int32_t block = 0; block < 8; block++) {
      int32_t target = block;
      const char text[] = "a memo written by the fuzz target";
      memo4fileWrite(&df.memo, &target, text, sizeof text);
      engine4errorSet(&ctx, 0);
    }
    if (capacity > 0) heap4free(&ctx, buffer);
    file4close(&df.memo);
  }
  engine4errorSet(&ctx, 0);
  engine4free(&ctx);
  std::remove(fpt.c_str());
  return 0;
}
