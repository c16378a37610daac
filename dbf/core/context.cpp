// The engine context: initial settings, the sticky error code and its
// location, the date format, and the two process-wide critical sections.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "dbf/core/context.h"
#include "dbf/core/pool.h"

using namespace dbf;

namespace {

std::atomic<int> g_contextCount{0};

// The initial values of every setting. Fields not named here stay zero.
void setInitialValues(EngineContext* ctx) {
  ctx->openProductionIndex = 1;
  ctx->reportCreateErrors = 1;
  ctx->defaultUniqueMode = 25;
  ctx->reportExpressionErrors = 1;
  ctx->reportColumnNameErrors = 1;
  ctx->reportOpenErrors = 1;
  ctx->tablePoolExpand = 5;
  ctx->copyBufferSize = 32768;
  ctx->sortSpoolBufferSize = 4096;
  ctx->sortChunkSize = 61440;
  ctx->tablePoolStart = 10;
  ctx->refuseOverwrite = 1;
  ctx->unnamedAfterDateFormat = 1;
  ctx->unnamed17 = 17;
  ctx->unnamed2 = 2;
  ctx->dataFilePoolExpand = 5;
  ctx->dataFilePoolStart = 5;
  ctx->lockPoolExpand = 10;
  ctx->lockPoolStart = 5;
  ctx->unnamed1a = 1;
  ctx->lockRetryDelay = 100;
  ctx->lockAttempts = -1;
  ctx->writeBufferingMode = -1;
  ctx->readBufferingMode = -1;
  ctx->bufferMemoryPercent = 25;
  ctx->bufferMemoryLimit = 983040;
  ctx->bufferBlockSize = 1024;
  ctx->reportTagNameErrors = 1;
  static const int32_t kIndexPoolSizes[8] = {10, 5, 10, 10, 10, 10, 5, 10};
  memcpy(ctx->indexPoolSizes, kIndexPoolSizes, sizeof kIndexPoolSizes);
  ctx->memoBlockSize = 512;
  ctx->memoExpressionWidth = 1024;
  ctx->indexCounts[0] = 5;
  ctx->indexCounts[1] = 5;
  ctx->unnamed1b = 1;
  ctx->singleOpen = 1;
  ctx->reportGoErrors = 1;
  ctx->unnamed1c = 1;
  ctx->reportSkipErrors = 1;
  ctx->unlockPolicy = 1;
  ctx->unnamed1d = 1;
}

// Ten-character right-aligned decimal, as the version report shows numbers.
void formatNumber10(char (&out)[11], long value) { snprintf(out, sizeof out, "%10ld", value); }

}  // namespace

std::recursive_mutex& engine4criticalSection() {
  static std::recursive_mutex section;
  return section;
}

std::recursive_mutex& engine4evaluationLock() {
  static std::recursive_mutex section;
  return section;
}

int engine4contextCount() { return g_contextCount.load(); }

int engine4init(EngineContext* ctx, void* /*reserved*/, int version) {
  if (ctx == nullptr) return engine4error(nullptr, kErrParameter, 91001);
  ctx->bufferingInactive = 1;
  if (version != kEngineVersion) {
    char wanted[11];
    char given[11];
    formatNumber10(given, kErrVersion);
    formatNumber10(wanted, kEngineVersion);
    return engine4error(ctx, kErrVersion, 91001, given, wanted);
  }
  *ctx = EngineContext{};
  // Both critical sections exist from the first context on.
  engine4criticalSection();
  engine4evaluationLock();
  g_contextCount.fetch_add(1);
  setInitialValues(ctx);
  engine4dateFormatSet(ctx, "MM/DD/YY");
  ctx->bufferingInactive = 1;
  return kOk;
}

void engine4free(EngineContext* ctx) {
  if (ctx == nullptr) return;
  for (MemoryPool** pool : {&ctx->tablePool, &ctx->dataFilePool, &ctx->lockPool}) {
    if (*pool != nullptr) pool4release(*pool);
    *pool = nullptr;
  }
  heap4free(ctx, ctx->scratch);
  ctx->scratch = nullptr;
  ctx->scratchSize = 0;
}

void engine4reportHook(EngineContext*, int, int, const char*, const char*, const char*) {}

int engine4error(EngineContext* ctx, int code, int location, const char* text1, const char* text2,
                 const char* text3) {
  if (ctx != nullptr) {
    ctx->errorCode = code;
    ctx->errorLocation = location;
  }
  engine4reportHook(ctx, code, location, text1, text2, text3);
  return code;
}

int engine4errorSet(EngineContext* ctx, int value) {
  if (ctx == nullptr) return engine4error(nullptr, kErrNullHandle, 91002);
  int previous = ctx->errorCode;
  ctx->errorCode = value;
  return previous;
}

int engine4dateFormatSet(EngineContext* ctx, const char* picture) {
  if (ctx == nullptr) return engine4error(nullptr, kErrNullHandle, 96302);
  if (picture == nullptr || strlen(picture) >= sizeof ctx->dateFormat) {
    return engine4error(ctx, kErrParameter, 96302);
  }
  strcpy(ctx->dateFormat, picture);
  return kOk;
}
