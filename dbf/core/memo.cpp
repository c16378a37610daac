// The .FPT memo file: create, open, read in parts, write with in-place
// rewrite, and the memo header lock that guards block allocation.
//
// Block numbers and lengths come from the file and are never trusted: a run
// is only read when it lies inside the file, a run is only rewritten in place
// when its recorded length lies inside the file, and a new run never starts
// inside the header or inside the existing contents of the file.
#include "dbf/core/memo.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "dbf/core/codes.h"
#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "dbf/core/os.h"
#include "dbf/core/table.h"

namespace {

constexpr int kLocationCreate = 85201;
constexpr int kLocationOpen = 85203;
constexpr int kLocationRead = 85204;
constexpr int kLocationWrite = 85205;
constexpr int kLocationTempNames = 80605;
constexpr int kLocationCreateReport = 95207;
constexpr int kTempTries = 100;

uint32_t readBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void writeBigEndian32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint64_t blocksFor(uint64_t bytes, uint32_t blockSize) {
  return (bytes + blockSize - 1) / blockSize;
}

// The first block that lies wholly after the 512-byte header. For the usual
// block sizes (divisors of 512) this is 512 / block size; rounding up keeps
// odd sizes such as 33 from placing block data inside the header.
uint32_t firstDataBlock(uint32_t blockSize) {
  return static_cast<uint32_t>(blocksFor(kMemoHeaderSize, blockSize));
}

bool contextHoldsError(const DiskFile* memo) {
  return memo->ctx != nullptr && memo->ctx->errorCode < 0;
}

int reportRead(DiskFile* memo, const char* routine) {
  return engine4error(memo->ctx, dbf::kErrRead, kLocationRead, memo->name, routine);
}

// The directory part of |path| including its last separator ("" when none).
std::string directoryOf(const char* path) {
  if (path == nullptr) return std::string();
  const char* slash = std::strrchr(path, '/');
  const char* backslash = std::strrchr(path, '\\');
  if (backslash != nullptr && (slash == nullptr || backslash > slash)) slash = backslash;
  if (slash == nullptr) return std::string();
  return std::string(path, static_cast<size_t>(slash - path + 1));
}

// Tries TEMPnnnn.TMP names in |directory| until one can be created. The file
// is created exclusively and never replaces an existing one.
int createTemporaryMemo(DiskFile* memo, EngineContext* ctx, const std::string& directory) {
  const int32_t savedReport = ctx->reportCreateErrors;
  const uint8_t savedRefuse = ctx->refuseOverwrite;
  const uint8_t savedShare = ctx->shareMode;
  ctx->reportCreateErrors = 0;
  ctx->refuseOverwrite = 1;
  ctx->shareMode = 1;
  int rc = dbf::kAlreadyExists;
  for (int attempt = 0; attempt < kTempTries; attempt++) {
    int64_t seconds = 0;
    int32_t milliseconds = 0;
    os4get()->clock(&seconds, &milliseconds);
    char leaf[16];
    std::snprintf(leaf, sizeof leaf, "TEMP%04d.TMP", static_cast<int>(seconds % 10000));
    const std::string name = directory + leaf;
    rc = file4create(memo, ctx, name.c_str(), true);
    if (rc != dbf::kAlreadyExists) break;
    engine4errorSet(ctx, 0);
    os4get()->sleep(500);
  }
  ctx->reportCreateErrors = savedReport;
  ctx->refuseOverwrite = savedRefuse;
  ctx->shareMode = savedShare;
  if (rc == dbf::kAlreadyExists) rc = engine4error(ctx, dbf::kErrCreate, kLocationTempNames);
  if (rc == 0) memo->deleteOnClose = true;
  return rc;
}

}  // namespace

int memo4fileCreate(DiskFile* memo, EngineContext* ctx, DataFile* df, const char* name) {
  if (memo == nullptr || ctx == nullptr)
    return engine4error(ctx, dbf::kErrNullHandle, kLocationCreate);
  if (ctx->memoBlockSize <= 32) ctx->memoBlockSize = 33;
  return memo4fileCreateSized(memo, ctx, df, name, static_cast<uint32_t>(ctx->memoBlockSize));
}

int memo4fileCreateSized(DiskFile* memo, EngineContext* ctx, DataFile* df, const char* name,
                         uint32_t blockSize) {
  if (memo == nullptr || ctx == nullptr)
    return engine4error(ctx, dbf::kErrNullHandle, kLocationCreate);
  if (ctx->errorCode < 0) return dbf::kErrContextHoldsError;
  if (blockSize < 33 || blockSize > 0xFFFF) {
    return engine4error(ctx, dbf::kErrParameter, kLocationCreate, name);
  }

  uint8_t header[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  writeBigEndian32(header, firstDataBlock(blockSize));
  header[6] = static_cast<uint8_t>(blockSize >> 8);
  header[7] = static_cast<uint8_t>(blockSize);

  int rc = 0;
  if (name != nullptr) {
    char full[258];
    if (file4nameFull(full, sizeof full, name, "FPT", true) < 0) {
      return engine4error(ctx, dbf::kErrCreate, kLocationCreate, name);
    }
    rc = file4create(memo, ctx, full, true);
    if (rc < 0) rc = engine4error(ctx, rc, kLocationCreate, full);
  } else {
    rc = createTemporaryMemo(memo, ctx, directoryOf(df != nullptr ? df->fullName : nullptr));
    if (rc < 0) rc = engine4error(ctx, rc, kLocationCreateReport);
  }
  if (rc != 0) return rc;

  memo->memoBlockSize = blockSize;
  memo->dataFile = df;
  rc = file4write(memo, 0, header, sizeof header);
  if (rc == 0) rc = file4setLength(memo, kMemoHeaderSize);
  if (rc != 0) {
    // A memo file without its header is of no use to anyone: remove it.
    memo->deleteOnClose = true;
    file4close(memo);
    return rc < 0 ? rc : dbf::kErrCreate;
  }
  return 0;
}

int memo4fileOpen(DataFile* df) {
  if (df == nullptr) return dbf::kErrNullHandle;
  EngineContext* ctx = df->ctx;
  char full[258];
  if (file4nameFull(full, sizeof full, df->fullName, "FPT", true) < 0) {
    return engine4error(ctx, dbf::kErrOpen, kLocationOpen, df->fullName);
  }
  DiskFile* memo = &df->memo;
  int rc = file4open(memo, ctx, full, true);
  if (rc != 0) return rc;

  uint8_t header[8];
  rc = file4readAll(memo, 0, header, sizeof header);
  if (rc == 0) {
    const uint32_t blockSize = (uint32_t{header[6]} << 8) | header[7];
    if (blockSize == 0) {
      // No engine writes a block size of 0; every block would sit at offset 0.
      rc = engine4error(ctx, dbf::kErrData, kLocationOpen, full, "memo block size 0");
    } else {
      memo->memoBlockSize = blockSize;
      memo->dataFile = df;
      return 0;
    }
  }
  file4close(memo);
  return rc < 0 ? rc : dbf::kErrRead;
}

int memo4fileMemoLength(DiskFile* memo, int32_t block, uint32_t* length) {
  *length = 0;
  if (block <= 0) return 0;
  if (contextHoldsError(memo)) return dbf::kErrContextHoldsError;
  uint8_t header[8];
  const int rc = file4readAll(memo, int64_t{block} * memo->memoBlockSize, header, sizeof header);
  if (rc != 0) return rc;
  *length = readBigEndian32(header + 4);
  return 0;
}

int memo4fileRead(DiskFile* memo, int32_t block, char** buffer, uint32_t* capacity, uint32_t offset,
                  uint32_t maximum, uint32_t* length, int32_t* type) {
  *length = 0;
  if (type != nullptr) *type = 0;
  if (block <= 0) return 0;
  if (contextHoldsError(memo)) return dbf::kErrContextHoldsError;

  const int64_t start = int64_t{block} * memo->memoBlockSize;
  uint8_t header[8];
  int rc = file4readAll(memo, start, header, sizeof header);
  if (rc != 0) return rc;
  const uint32_t memoLength = readBigEndian32(header + 4);
  uint32_t part = offset < memoLength ? memoLength - offset : 0;
  if (part > maximum) part = maximum;
  if (part == 0) {
    if (type != nullptr) *type = static_cast<int32_t>(readBigEndian32(header));
    return 0;
  }

  // The recorded length is only believed as far as the file reaches.
  const int64_t fileLength = file4length(memo);
  if (fileLength < 0) return static_cast<int>(fileLength);
  if (start + 8 + int64_t{offset} + int64_t{part} > fileLength || part == UINT32_MAX) {
    return reportRead(memo, "memo4fileRead");
  }

  if (*buffer == nullptr || *capacity < part + 1) {
    char* grown = static_cast<char*>(heap4alloc(memo->ctx, part + 1));
    if (grown == nullptr) return engine4error(memo->ctx, dbf::kErrMemory, kLocationRead);
    if (*capacity > 0) heap4free(memo->ctx, *buffer);
    *buffer = grown;
    *capacity = part + 1;
  }
  rc = file4readAll(memo, start + 8 + offset, *buffer, part);
  if (rc != 0) return rc;
  *length = part;
  if (type != nullptr) *type = static_cast<int32_t>(readBigEndian32(header));
  return 0;
}

int memo4fileReadAll(DiskFile* memo, int32_t block, char** buffer, uint32_t* capacity,
                     uint32_t* length, int32_t* type) {
  return memo4fileRead(memo, block, buffer, capacity, 0, UINT32_MAX - 1, length, type);
}

namespace {

// Whether the run at |block| can take |needed| blocks: the run counts as
// ceil(old length / block size) blocks, and only when its recorded length lies
// inside the file (a garbage length must not let a rewrite spill over other
// memos).
bool fitsInPlace(DiskFile* memo, int32_t block, uint64_t needed) {
  const uint32_t blockSize = memo->memoBlockSize;
  const int64_t start = int64_t{block} * blockSize;
  const int64_t fileLength = file4length(memo);
  if (fileLength < 0 || start < int64_t{kMemoHeaderSize} || start + 8 > fileLength) return false;
  uint8_t header[8];
  if (file4readAll(memo, start, header, sizeof header) != 0) return false;
  const uint32_t oldLength = readBigEndian32(header + 4);
  if (start + 8 + int64_t{oldLength} > fileLength) return false;
  return blocksFor(oldLength, blockSize) >= needed;
}

// Takes |needed| blocks at the end of the file under the memo header lock.
int allocateRun(DiskFile* memo, uint64_t needed, int32_t* block) {
  const DataFile* df = memo->dataFile;
  const bool heldBefore = df != nullptr && df->memoLockCount > 0;
  int rc = memo4fileLock(memo);
  if (rc != 0) return rc;

  uint8_t header[8];
  const uint32_t got = file4read(memo, 0, header, sizeof header);
  if (got != sizeof header) {
    rc = contextHoldsError(memo) ? memo->ctx->errorCode : reportRead(memo, "memo4fileWritePart");
  } else {
    const uint32_t blockSize = memo->memoBlockSize;
    // Never hand out a block inside the header or before the end of what the
    // file already holds, whatever the stored next free block says.
    uint64_t next = readBigEndian32(header);
    const int64_t fileLength = file4length(memo);
    if (fileLength < 0) {
      rc = static_cast<int>(fileLength);
    } else {
      const uint64_t pastContents = blocksFor(static_cast<uint64_t>(fileLength), blockSize);
      if (next < firstDataBlock(blockSize)) next = firstDataBlock(blockSize);
      if (next < pastContents) next = pastContents;
      if (next + needed > INT32_MAX) {
        rc = engine4error(memo->ctx, dbf::kErrWrite, kLocationWrite, memo->name, "memo file full");
      } else {
        writeBigEndian32(header, static_cast<uint32_t>(next + needed));
        rc = file4write(memo, 0, header, 4);
        if (rc == 0) *block = static_cast<int32_t>(next);
      }
    }
  }
  if (!heldBefore) {
    const int unlockRc = memo4fileUnlock(memo);
    if (rc == 0) rc = unlockRc;
  }
  return rc;
}

}  // namespace

int memo4fileWritePart(DiskFile* memo, int32_t* block, const char* data, uint32_t total,
                       uint32_t offset, uint32_t partLength, int32_t type) {
  if (contextHoldsError(memo)) return dbf::kErrContextHoldsError;
  const uint32_t blockSize = memo->memoBlockSize;
  if (blockSize == 0) return engine4error(memo->ctx, dbf::kErrData, kLocationWrite, memo->name);
  if (offset > 0) {
    if (*block <= 0 || uint64_t{offset} + partLength > total) {
      return engine4error(memo->ctx, dbf::kErrParameter, kLocationWrite, memo->name);
    }
    return file4write(memo, int64_t{*block} * blockSize + 8 + offset, data, partLength);
  }
  if (total == 0) {
    *block = 0;
    return 0;
  }
  if (partLength > total) return engine4error(memo->ctx, dbf::kErrParameter, kLocationWrite);

  const uint64_t needed = blocksFor(uint64_t{total} + 8, blockSize);
  int32_t target = *block;
  if (target <= 0 || !fitsInPlace(memo, target, needed)) {
    const int rc = allocateRun(memo, needed, &target);
    if (rc != 0) return rc;
  }

  const int64_t start = int64_t{target} * blockSize;
  uint8_t header[8];
  writeBigEndian32(header, static_cast<uint32_t>(type));
  writeBigEndian32(header + 4, total);
  const int64_t lengthBefore = file4length(memo);
  if (lengthBefore < 0) return static_cast<int>(lengthBefore);
  int rc = file4write(memo, start, header, sizeof header);
  if (rc == 0 && partLength > 0) rc = file4write(memo, start + 8, data, partLength);
  if (rc != 0) return rc;
  // The file's length is rounded up to the end of the whole run. Another
  // process may meanwhile have written a run behind this one, so the length
  // is never set (that could cut its memo off): the last byte of the run is
  // written instead, which only ever extends the file.
  const int64_t runEnd = start + static_cast<int64_t>(needed * blockSize);
  if (lengthBefore < runEnd && start + 8 + int64_t{partLength} < runEnd) {
    const char zero = 0;
    rc = file4write(memo, runEnd - 1, &zero, 1);
    if (rc != 0) return rc;
  }
  *block = target;
  return 0;
}

int memo4fileWrite(DiskFile* memo, int32_t* block, const char* data, uint32_t length) {
  return memo4fileWritePart(memo, block, data, length, 0, length, kMemoTypeText);
}

int memo4fileLock(DiskFile* memo) {
  DataFile* df = memo->dataFile;
  if (df != nullptr && df->memoLockCount > 0) return 0;
  EngineContext* ctx = memo->ctx;
  const int32_t savedAttempts = ctx->lockAttempts;
  ctx->lockAttempts = -1;
  const int rc = file4lock(memo, kLockBase, 1);
  ctx->lockAttempts = savedAttempts;
  if (rc == 0 && df != nullptr) df->memoLockCount = 1;
  return rc;
}

int memo4fileUnlock(DiskFile* memo) {
  DataFile* df = memo->dataFile;
  if (df != nullptr) {
    if (df->memoLockCount == 0) return 0;
    df->memoLockCount = 0;
  }
  return file4unlock(memo, kLockBase, 1);
}
