// Fuzz target: arbitrary bytes as an index file for the structure check
// (index4check), once with the pad bytes found by the check itself and once
// with a blank for every tag. Whatever the bytes, the check must end, report
// through its hooks only, and read nothing out of bounds.
// Seeds: the sample .CDX files (tests/index/samples).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dbf/core/context.h"
#include "dbf/index/check.h"

namespace {

void ignoreProblem(void*, const IndexCheckTag*, int32_t, const char*) {}
int blankPad(void*, const IndexCheckTag*) { return 0x20; }
void touchKey(void* user, const IndexCheckTag* tag, const uint8_t* key, uint32_t record) {
  // Read every byte handed out, so that a key beyond its buffer shows.
  uint32_t sum = record;
  for (int i = 0; i < tag->header.keyLength; ++i) sum += key[i];
  *static_cast<uint32_t*>(user) += sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/WH_CHECK_FUZZ_" +
           std::to_string(getpid()) + ".CDX";
  }();
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return 0;
  std::fwrite(data, 1, size, out);
  std::fclose(out);

  EngineContext ctx{};
  engine4init(&ctx, nullptr, kEngineVersion);
  ctx.openReadOnly = 1;
  DiskFile file;
  if (file4open(&file, &ctx, path.c_str(), true) == 0) {
    uint32_t sum = 0;
    const IndexCheckHooks found{&sum, ignoreProblem, nullptr, touchKey, nullptr};
    const IndexCheckHooks blank{&sum, ignoreProblem, blankPad, touchKey, nullptr};
    IndexCheckSummary summary;
    index4check(&file, &found, &summary);
    index4check(&file, &blank, nullptr);
    file4close(&file);
  }
  engine4errorSet(&ctx, 0);
  engine4free(&ctx);
  return 0;
}
