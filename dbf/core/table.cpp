// Opening, creating and closing tables, the DataFiles that Tables of one
// context share, and the data file header: reading and checking it at open,
// writing it at create, and the updates of bytes 0-9.
//
// Every header and descriptor byte comes from a file that anyone may have
// written, so nothing read from it is used before it is checked: column
// offsets and lengths must fit the record, and the record and header lengths
// must fit the file.
#include <cstdlib>
#include <cstring>
#include <new>

#include "dbf/core/date.h"
#include "dbf/core/index_seam.h"
#include "dbf/core/os.h"
#include "dbf/core/table.h"
#include "dbf/core/table_internal.h"

using namespace dbf;

namespace {

constexpr uint32_t kFoxAreaLength = 263;
// The record after the last (count + 1: end of file, the next append) must
// still be a 32-bit record number, whatever count the header holds.
constexpr uint32_t kMaxRecordCount = 0x7FFFFFFEu;
constexpr int kNameCapacity = 258;

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}

}  // namespace
static bool strcasecmp_ascii(const char* a, const char* b);
namespace {

bool isFox30OnlyType(int type) {
  return type == 'B' || type == 'I' || type == 'T' || type == 'Y' || type == 'X' || type == 'Z';
}

// --- contexts' pools ---

MemoryPool* tablePool(EngineContext* ctx) {
  if (ctx->tablePool == nullptr)
    ctx->tablePool =
        pool4create(ctx, ctx->tablePoolStart > 0 ? ctx->tablePoolStart : 10, sizeof(Table),
                    ctx->tablePoolExpand > 0 ? ctx->tablePoolExpand : 5, false);
  return ctx->tablePool;
}

MemoryPool* dataFilePool(EngineContext* ctx) {
  if (ctx->dataFilePool == nullptr)
    ctx->dataFilePool =
        pool4create(ctx, ctx->dataFilePoolStart > 0 ? ctx->dataFilePoolStart : 5, sizeof(DataFile),
                    ctx->dataFilePoolExpand > 0 ? ctx->dataFilePoolExpand : 5, false);
  return ctx->dataFilePool;
}

// --- descriptors ---

// Reads descriptor |i| into |c| (when given) and checks what a record access
// relies on. |offset| is the running offset, |nullBit| the running null bit.
int parseDescriptor(DataFile* d, int i, Column* c, uint32_t* offset, int* nullBit) {
  const uint8_t* p = d->descriptors + 32 * i;
  const bool fox = dataFile4isFox30(d);
  const int type = char4upper(p[11]);
  uint32_t length = (type == 'C') ? get16(p + 16) : p[16];
  int decimals = 0;
  if (type == 'F' || type == 'N' || type == 'T' || type == 'Y' || (fox && type == 'B'))
    decimals = p[17];
  const uint8_t flags = p[18];

  char name[11] = {};
  for (int k = 0; k < 10 && p[k] != 0; ++k) name[k] = static_cast<char>(p[k]);

  bool ok = true;
  switch (type) {
    case 'C':
    case 'N':
    case 'F':
    case 'L':
      break;
    case 'D':
      ok = length == 8;
      break;
    case 'M':
    case 'G':
      ok = length == 4 || length == 10;
      break;
    case 'B':
      ok = fox ? length == 8 : length == 10;
      break;
    case 'I':
      ok = fox && length == 4;
      break;
    case 'T':
    case 'Y':
      ok = fox && length == 8;
      break;
    case '0':
      ok = fox && strcasecmp_ascii(name, "_NullFlags") && i == d->columnCount - 1;
      break;
    default:
      ok = false;
  }
  if (!ok || length == 0) return engine4error(d->ctx, kErrData, 80501, d->fullName);
  if (*offset + length > 65535) return engine4error(d->ctx, kErrData, 83805, d->fullName);

  const bool memo = type == 'M' || type == 'G' || (type == 'B' && !fox);
  const bool nullable = fox && type != '0' && (flags & 0x02) != 0;
  if (c != nullptr) {
    std::memcpy(c->name, name, sizeof name);
    c->type = static_cast<int16_t>(type);
    c->length = static_cast<uint16_t>(length);
    c->decimals = static_cast<int16_t>(decimals);
    c->offset = static_cast<uint16_t>(*offset);
    c->nullable = nullable ? 1 : 0;
    c->nullBit = static_cast<int16_t>(nullable ? *nullBit : 0);
    if (memo)
      c->kind = kColumnKindMemo;
    else if ((flags & 0x04) != 0 || type == '0' ||
             (fox && (type == 'B' || type == 'I' || type == 'T' || type == 'Y')))
      c->kind = kColumnKindBinary;
    else
      c->kind = kColumnKindOther;
  }
  if (nullable) ++*nullBit;
  if (memo) ++d->memoColumnCount;
  *offset += length;
  return 0;
}

}  // namespace

// ASCII-only case-insensitive equality used for system names.
static bool strcasecmp_ascii(const char* a, const char* b) {
  for (; *a != 0 && *b != 0; ++a, ++b)
    if (char4upper(static_cast<unsigned char>(*a)) != char4upper(static_cast<unsigned char>(*b)))
      return false;
  return *a == *b;
}

// Walks the descriptors: counts columns up to the 0x0D terminator, checks every
// descriptor and computes the record length.
static int dataFile4parseColumns(DataFile* d, Column* columns) {
  const uint32_t area = d->headerLength - 32;
  if (columns == nullptr) {
    int n = 0;
    for (;; ++n) {
      const uint32_t at = 32u * static_cast<uint32_t>(n);
      if (at >= area) return engine4error(d->ctx, kErrData, 83805, d->fullName);
      if (d->descriptors[at] == 0x0D) break;
      if (at + 32 > area) return engine4error(d->ctx, kErrData, 83805, d->fullName);
    }
    d->columnCount = n;
  }
  d->memoColumnCount = 0;
  uint32_t offset = 1;
  int nullBit = 0;
  for (int i = 0; i < d->columnCount; ++i) {
    int rc = parseDescriptor(d, i, columns ? columns + i : nullptr, &offset, &nullBit);
    if (rc < 0) return rc;
  }
  if (nullBit > 0) {
    const uint8_t* last = d->descriptors + 32 * (d->columnCount - 1);
    if (char4upper(last[11]) != '0' || static_cast<int>(last[16]) * 8 < nullBit)
      return engine4error(d->ctx, kErrData, 80501, d->fullName);
  }
  d->recordLength = offset;
  return 0;
}

// Reads and checks the header and descriptors of the open data DiskFile.
static int dataFile4readHeader(DataFile* d) {
  EngineContext* ctx = d->ctx;
  uint8_t h[32];
  if (file4read(&d->data, 0, h, 32) != 32) return engine4error(ctx, kErrData, 83805, d->fullName);
  const uint32_t count = get32(h + 4);
  const uint32_t headerLength = get16(h + 8);
  const uint32_t recordLength = get16(h + 10);
  const int64_t fileLength = file4length(&d->data);
  if (fileLength < 0) return static_cast<int>(fileLength);
  if (recordLength == 0 || headerLength <= 32 || count > kMaxRecordCount ||
      fileLength < static_cast<int64_t>(headerLength))
    return engine4error(ctx, kErrData, 83805, d->fullName);
  const int64_t records = (fileLength - headerLength) / recordLength;
  if ((dataFile4heldWhole(d) && records != count) || records + 1 < count)
    return engine4error(ctx, kErrData, 83805, d->fullName);

  std::memcpy(d->header, h, 32);
  d->tableFlags = h[28];
  d->codePageMark = h[29];
  d->headerLength = headerLength;
  d->lastReadCount = static_cast<int32_t>(count);
  d->heldCount = -1;

  const uint32_t area = headerLength - 32;
  d->descriptors = static_cast<uint8_t*>(std::malloc(area));
  if (d->descriptors == nullptr) return engine4error(ctx, kErrMemory, 84306, d->fullName);
  if (file4read(&d->data, 32, d->descriptors, area) != area)
    return engine4error(ctx, kErrData, 84306, d->fullName);
  return dataFile4parseColumns(d, nullptr);
}

static bool dataFile4wantsMemo(const DataFile* d) {
  return (dataFile4isFox30(d) && (d->tableFlags & 0x02) != 0) ||
         (!dataFile4isFox30(d) && (d->header[0] & 0x80) != 0);
}

// Closes the DataFile's files and returns it to the pool (last user gone).
static int dataFile4close(DataFile* d) {
  EngineContext* ctx = d->ctx;
  int rc = 0;
  if (d->memo.isOpen || d->memo.handle >= 0) {
    int r = file4close(&d->memo);
    if (r < 0 && rc == 0) rc = r;
  }
  int r = index4seamCloseDataFile(d);
  if (r < 0 && rc == 0) rc = r;
  for (DataFile** p = &ctx->dataFiles; *p != nullptr; p = &(*p)->next) {
    if (*p == d) {
      *p = d->next;
      break;
    }
  }
  r = file4close(&d->data);
  if (r < 0 && rc == 0) rc = r;
  while (d->recordLocks != nullptr) {  // only left behind by a failed close
    RecordLock* next = d->recordLocks->next;
    pool4free(ctx->lockPool, d->recordLocks);
    d->recordLocks = next;
  }
  std::free(d->descriptors);
  d->~DataFile();
  pool4free(dataFilePool(ctx), d);
  return rc;
}

static DataFile* dataFile4find(EngineContext* ctx, const char* fullName) {
  for (DataFile* d = ctx->dataFiles; d != nullptr; d = d->next)
    if (std::strcmp(d->fullName, fullName) == 0) return d;
  return nullptr;
}

// A new DataFile on an already open data DiskFile (taken over, closed on
// failure): reads the header and opens the memo file.
static DataFile* dataFile4fromOpenFile(EngineContext* ctx, DiskFile* data, const char* fullName,
                                       DiskFile* memo) {
  void* unit = pool4alloc(dataFilePool(ctx), ctx);
  if (unit == nullptr) {
    engine4error(ctx, kErrMemory, 94301);
    file4close(data);
    if (memo != nullptr) file4close(memo);
    return nullptr;
  }
  DataFile* d = new (unit) DataFile{};
  d->ctx = ctx;
  d->users = 1;
  d->mode = data->mode;
  std::strncpy(d->fullName, fullName, sizeof d->fullName - 1);
  d->data = *data;
  *data = DiskFile{};
  d->memo.dataFile = d;
  d->next = ctx->dataFiles;
  ctx->dataFiles = d;
  if (memo != nullptr) {
    d->memo = *memo;
    d->memo.dataFile = d;
    *memo = DiskFile{};
  }
  int rc = dataFile4readHeader(d);
  if (rc == 0 && dataFile4wantsMemo(d) && !d->memo.isOpen) rc = memo4openForData(d);
  if (rc != 0) {
    if (rc > 0 || ctx->errorCode == 0) engine4error(ctx, kErrData, 83805, fullName);
    int saved = engine4errorSet(ctx, 0);
    dataFile4close(d);
    engine4errorSet(ctx, saved);
    return nullptr;
  }
  return d;
}

static DataFile* dataFile4open(EngineContext* ctx, const char* fullName) {
  DiskFile data;
  int rc = file4open(&data, ctx, fullName, true);
  if (rc != 0) return nullptr;  // reported (or the silent 70 stored)
  return dataFile4fromOpenFile(ctx, &data, fullName, nullptr);
}

// Finds the DataFile of |fullName| in the context or opens it; null on failure.
static DataFile* dataFile4acquire(EngineContext* ctx, const char* fullName) {
  DataFile* d = dataFile4find(ctx, fullName);
  if (d == nullptr) return dataFile4open(ctx, fullName);
  if (ctx->singleOpen != 0) {
    engine4error(ctx, kErrAlreadyOpen, 91102, fullName);
    return nullptr;
  }
  switch (ctx->shareMode) {
    case 0:
      break;
    case 1:
      if (d->mode != 1) {
        engine4error(ctx, kErrOpenMode, 84307, fullName);
        return nullptr;
      }
      break;
    case 2:
      if (d->mode != 1 && d->mode != 2) {
        engine4error(ctx, kErrOpenMode, 84307, fullName);
        return nullptr;
      }
      break;
    default:
      engine4error(ctx, kErrOpenMode, 82502, fullName);
      return nullptr;
  }
  ++d->users;
  return d;
}

// --- header updates ---

int dataFile4writeHeader(DataFile* d) {
  if (d == nullptr) return engine4error(nullptr, kErrNullHandle, 91302);
  uint32_t length = 4;
  if (d->heldCount >= 0) {
    put32(d->header + 4, static_cast<uint32_t>(d->heldCount));
    length = 10;
  }
  int rc = file4write(&d->data, 0, d->header, length);
  if (rc < 0) return rc;
  d->headerNeedsWriting = false;
  d->changedSinceHeaderWrite = false;
  d->refreshDate = true;
  return 0;
}

// Today's date, looked up at most once a second: a shared append releases its
// lock on every record, and the local-time lookup costs a file status call.
static void todayCached(int* year, int* month, int* day) {
  thread_local int64_t cachedSecond = -1;
  thread_local int cached[3] = {0, 0, 0};
  int64_t seconds = 0;
  int32_t milliseconds = 0;
  os4get()->clock(&seconds, &milliseconds);
  if (seconds != cachedSecond) {
    date4todayParts(&cached[0], &cached[1], &cached[2]);
    cachedSecond = seconds;
  }
  *year = cached[0];
  *month = cached[1];
  *day = cached[2];
}

void dataFile4refreshDate(DataFile* d) {
  if (!d->refreshDate) return;
  int year = 0, month = 0, day = 0;
  todayCached(&year, &month, &day);
  d->header[1] = static_cast<uint8_t>(year - 1900);
  d->header[2] = static_cast<uint8_t>(month);
  d->header[3] = static_cast<uint8_t>(day);
  d->refreshDate = false;
}

int32_t dataFile4readCount(DataFile* d) {
  uint8_t b[4];
  int rc = file4readAll(&d->data, 4, b, 4);
  if (rc < 0) return rc;
  const uint32_t count = get32(b);
  if (count > kMaxRecordCount) return engine4error(d->ctx, kErrData, 93312, d->fullName);
  d->lastReadCount = static_cast<int32_t>(count);
  if (dataFile4heldWhole(d) || d->appendLockOwner != 0 || d->fileLockOwner != 0)
    d->heldCount = static_cast<int32_t>(count);
  return static_cast<int32_t>(count);
}

// --- Table construction ---

static void table4makeAlias(char* alias, const char* name) {
  const char* base = name;
  for (const char* p = name; *p != 0; ++p)
    if (*p == '\\' || *p == ':' || *p == '/') base = p + 1;
  const char* dot = std::strrchr(base, '.');
  size_t n = dot != nullptr ? static_cast<size_t>(dot - base) : std::strlen(base);
  if (n > 32) n = 32;
  for (size_t i = 0; i < n; ++i)
    alias[i] = static_cast<char>(char4upper(static_cast<unsigned char>(base[i])));
  alias[n] = 0;
}

static void table4joinGroup(Table* t) {
  t->group = &t->ctx->defaultGroup;
  t->nextInGroup = t->group->first;
  t->group->first = t;
}

static void table4leaveGroup(Table* t) {
  if (t->group == nullptr) return;
  for (Table** p = &t->group->first; *p != nullptr; p = &(*p)->nextInGroup) {
    if (*p == t) {
      *p = t->nextInGroup;
      break;
    }
  }
  t->group = nullptr;
}

// Buffers, columns and memo entries as one block.
static int table4buildBuffers(Table* t) {
  DataFile* d = t->dataFile;
  const size_t columnBytes = sizeof(Column) * static_cast<size_t>(d->columnCount);
  const size_t memoBytes = sizeof(MemoEntry) * static_cast<size_t>(d->memoColumnCount);
  const size_t bufferBytes = d->recordLength + 1;
  char* block = static_cast<char*>(std::calloc(1, columnBytes + memoBytes + 3 * bufferBytes + 8));
  if (block == nullptr) return engine4error(t->ctx, kErrMemory, 94301, t->alias);
  t->columns = reinterpret_cast<Column*>(block);
  t->memos = reinterpret_cast<MemoEntry*>(block + columnBytes);
  t->record = block + columnBytes + memoBytes;
  t->oldRecord = t->record + bufferBytes;
  t->blankRecord = t->oldRecord + bufferBytes;
  t->columnCount = d->columnCount;
  t->memoCount = d->memoColumnCount;
  for (int i = 0; i < d->columnCount; ++i) new (&t->columns[i]) Column{};
  for (int i = 0; i < d->memoColumnCount; ++i) new (&t->memos[i]) MemoEntry{};
  int rc = dataFile4parseColumns(d, t->columns);
  if (rc < 0) return rc;
  int m = 0;
  for (int i = 0; i < t->columnCount; ++i) {
    Column* c = &t->columns[i];
    c->table = t;
    c->memo = nullptr;
    if (c->kind == kColumnKindMemo) {
      c->memo = &t->memos[m++];
      c->memo->column = c;
    }
  }
  table4memoReset(t);
  return 0;
}

// The blank-record template: every column blanked, last to first.
static void table4buildTemplate(Table* t) {
  char* saved = t->record;
  t->record = t->blankRecord;
  std::memset(t->record, ' ', t->dataFile->recordLength);
  for (int i = t->columnCount - 1; i >= 0; --i) column4blankBytes(&t->columns[i]);
  t->record = saved;
}

static void table4freeBuffers(Table* t) {
  table4memoFree(t);
  std::free(t->columns);
  t->columns = nullptr;
  t->memos = nullptr;
  t->record = t->oldRecord = t->blankRecord = nullptr;
}

// Releases a Table whose construction failed, and its DataFile use.
static void table4discard(Table* t) {
  EngineContext* ctx = t->ctx;
  int saved = engine4errorSet(ctx, 0);
  if (t->dataFile != nullptr) {
    index4seamCloseTable(t);
    if (--t->dataFile->users <= 0) dataFile4close(t->dataFile);
  }
  table4freeBuffers(t);
  table4leaveGroup(t);
  pool4free(tablePool(ctx), t);
  engine4errorSet(ctx, saved);
}

// Builds a Table on |d| (one user of it already counted).
static Table* table4build(EngineContext* ctx, DataFile* d, const char* name) {
  void* unit = pool4alloc(tablePool(ctx), ctx);
  if (unit == nullptr) {
    engine4error(ctx, kErrMemory, 94301);
    if (--d->users <= 0) dataFile4close(d);
    return nullptr;
  }
  Table* t = new (unit) Table{};
  t->ctx = ctx;
  t->dataFile = d;
  table4joinGroup(t);
  table4makeAlias(t->alias, name);
  if (table4buildBuffers(t) < 0) {
    table4discard(t);
    return nullptr;
  }
  t->recordNumber = -1;
  t->oldRecordNumber = -1;
  if ((d->tableFlags & 0x01) != 0 && ctx->openProductionIndex != 0) {
    const int32_t savedSingle = ctx->singleOpen;
    ctx->singleOpen = 3;
    int rc = index4seamOpenProduction(t);
    ctx->singleOpen = savedSingle;
    if (rc != 0) {
      table4discard(t);
      return nullptr;
    }
  }
  t->lockOwner = ++ctx->openTableCounter;
  t->readOnly = d->data.readOnly || ctx->openReadOnly != 0;
  table4buildTemplate(t);
  table4blankBuffer(t);
  t->changed = false;
  return t;
}

Table* table4open(EngineContext* ctx, const char* name) {
  if (ctx == nullptr || name == nullptr) {
    engine4error(ctx, kErrNullHandle, 94301);
    return nullptr;
  }
  if (ctx->errorCode < 0) return nullptr;
  char fullName[kNameCapacity];
  if (file4nameFull(fullName, kNameCapacity, name, "DBF", false) < 0) {
    engine4error(ctx, kErrParameter, 94301, name);
    return nullptr;
  }
  DataFile* d = dataFile4acquire(ctx, fullName);
  if (d == nullptr) return nullptr;
  return table4build(ctx, d, name);
}

// --- create ---

namespace {

struct CreatePlan {
  uint32_t recordLength = 1;
  uint32_t headerLength = 0;
  int descriptors = 0;
  int nullable = 0;
  bool hasMemo = false;
  bool fox = false;
};

uint32_t storedLength(const ColumnDescription& c, bool fox) {
  switch (char4upper(static_cast<unsigned char>(c.type))) {
    case 'D':
      return 8;
    case 'C':
    case 'Z':
      return static_cast<uint16_t>(c.length);
    case 'F':
    case 'N':
      return static_cast<uint16_t>(c.length);
    case 'M':
    case 'G':
      return fox ? 4 : 10;
    case 'L':
      return 1;
    case 'B':
    case 'T':
    case 'Y':
      return 8;
    case 'I':
    case 'X':
      return 4;
    default:
      return 0;
  }
}

int planCreate(EngineContext* ctx, const ColumnDescription* columns, const char* name,
               CreatePlan* plan) {
  plan->fox = ctx->compatibility == 30;
  for (const ColumnDescription* c = columns; c->name != nullptr; ++c) {
    const int type = char4upper(static_cast<unsigned char>(c->type));
    const uint32_t length = storedLength(*c, plan->fox);
    bool ok = std::strchr("CNFDLMGBITYXZ", type) != nullptr && type != 0 &&
              (plan->fox || !isFox30OnlyType(type));
    // Lengths that the descriptor cannot hold would write a file nobody reads.
    if ((type == 'N' || type == 'F') &&
        (c->length < 1 || c->length > 255 || c->decimals < 0 || c->decimals >= c->length))
      ok = false;
    if ((type == 'C' || type == 'Z') && length == 0) ok = false;
    if (type == 'B' && (c->decimals < 0 || c->decimals > 255)) ok = false;
    if (!ok) return engine4error(ctx, kErrData, 81404, name, c->name);
    plan->recordLength += length;
    if (type == 'M' || type == 'G' || type == 'X') plan->hasMemo = true;
    if (plan->fox && c->nullsAllowed == kNullable) ++plan->nullable;
    ++plan->descriptors;
    if (plan->recordLength >= 65535) break;
  }
  if (plan->nullable > 0) {
    plan->recordLength += static_cast<uint32_t>((plan->nullable + 7) / 8);
    ++plan->descriptors;
  }
  if (plan->recordLength >= 65535)
    return engine4error(ctx, kErrRecordLength, name ? 91102 : 81407, name);
  const uint32_t headerCheck = 32u * static_cast<uint32_t>(plan->descriptors) + 34;
  if (headerCheck >= 65535)
    return name ? engine4error(ctx, kErrCreate, 81405, name)
                : engine4error(ctx, kErrRecordLength, 81408);
  plan->headerLength =
      32u * static_cast<uint32_t>(plan->descriptors) + 33 + (plan->fox ? kFoxAreaLength : 0);
  if (plan->headerLength >= 65535)
    return name ? engine4error(ctx, kErrCreate, 81405, name)
                : engine4error(ctx, kErrRecordLength, 81408);
  return 0;
}

// User column names are upper-cased; the system column keeps "_NullFlags".
void makeDescriptor(uint8_t* p, const char* name, int type, uint32_t offset, uint32_t length,
                    int decimals, uint8_t flags) {
  std::memset(p, 0, 32);
  size_t n = 0;
  while (n < 10 && name[n] != 0) ++n;
  while (n > 0 && name[n - 1] == ' ') --n;
  for (size_t i = 0; i < n; ++i)
    p[i] = (flags & 0x01) != 0 ? static_cast<uint8_t>(name[i])
                               : char4upper(static_cast<unsigned char>(name[i]));
  p[11] = static_cast<uint8_t>(type);
  put32(p + 12, offset);
  p[16] = static_cast<uint8_t>(length);
  p[17] = static_cast<uint8_t>(type == 'C' ? (length >> 8) : static_cast<uint32_t>(decimals));
  p[18] = flags;
}

int writeCreateHeader(EngineContext* ctx, DiskFile* f, const ColumnDescription* columns,
                      const CreatePlan& plan) {
  char buffer[2048];
  FileSeqWriter w;
  int rc = file4seqWriteInit(&w, f, 0, buffer, sizeof buffer);
  if (rc < 0) return rc;
  uint8_t h[32] = {};
  h[0] = plan.fox ? 0x30 : (plan.hasMemo ? 0xF5 : 0x03);
  int year = 0, month = 0, day = 0;
  date4todayParts(&year, &month, &day);
  h[1] = static_cast<uint8_t>(year - 1900);
  h[2] = static_cast<uint8_t>(month);
  h[3] = static_cast<uint8_t>(day);
  put16(h + 8, plan.headerLength);
  put16(h + 10, plan.recordLength);
  h[28] = (plan.fox && plan.hasMemo) ? 0x02 : 0x00;
  h[29] = static_cast<uint8_t>(ctx->codePageMark);
  rc = file4seqWrite(&w, h, 32);

  uint32_t offset = 1;
  for (const ColumnDescription* c = columns; rc >= 0 && c->name != nullptr; ++c) {
    int type = char4upper(static_cast<unsigned char>(c->type));
    const uint32_t length = storedLength(*c, plan.fox);
    uint8_t flags = 0;
    if (type == 'X' || type == 'Z' || type == 'B' || type == 'I' || type == 'T' || type == 'Y')
      flags |= 0x04;
    if (type == 'X') type = 'M';
    if (type == 'Z') type = 'C';
    if (plan.fox && c->nullsAllowed == kNullable) flags |= 0x02;
    int decimals = 0;
    if (type == 'F' || type == 'N' || type == 'B') decimals = c->decimals;
    if (type == 'Y') decimals = 4;
    uint8_t p[32];
    makeDescriptor(p, c->name, type, offset, length, decimals, flags);
    rc = file4seqWrite(&w, p, 32);
    offset += length;
  }
  if (rc >= 0 && plan.nullable > 0) {
    uint8_t p[32];
    makeDescriptor(p, "_NullFlags", '0', offset, static_cast<uint32_t>((plan.nullable + 7) / 8), 0,
                   0x05);
    rc = file4seqWrite(&w, p, 32);
  }
  if (rc >= 0) {
    const uint8_t end[2] = {0x0D, 0x1A};
    if (plan.fox) {
      rc = file4seqWrite(&w, end, 1);
      if (rc >= 0) rc = file4seqWriteRepeat(&w, kFoxAreaLength, 0);
    } else {
      rc = file4seqWrite(&w, end, 2);
    }
  }
  if (rc >= 0) rc = file4seqWriteFlush(&w);
  return rc < 0 ? rc : 0;
}

// Settings that table4create changes while it runs, restored on every exit.
struct CreateSettings {
  EngineContext* ctx;
  int32_t openReadOnly, openProductionIndex, createTemporary;
  uint8_t shareMode;
  explicit CreateSettings(EngineContext* c)
      : ctx(c),
        openReadOnly(c->openReadOnly),
        openProductionIndex(c->openProductionIndex),
        createTemporary(c->createTemporary),
        shareMode(c->shareMode) {}
  ~CreateSettings() {
    ctx->openReadOnly = openReadOnly;
    ctx->openProductionIndex = openProductionIndex;
    ctx->createTemporary = createTemporary;
    ctx->shareMode = shareMode;
  }
};

}  // namespace

// Creates the files of a new table and opens it with shareMode 1; the
// caller's settings are restored by the caller.
static Table* table4createAndOpen(EngineContext* ctx, const char* name, char* fullName,
                                  const ColumnDescription* columns, const void* tags) {
  const bool temporary = ctx->createTemporary != 0;
  ctx->openReadOnly = 0;
  CreatePlan plan;
  if (planCreate(ctx, columns, name ? fullName : nullptr, &plan) < 0) return nullptr;

  ctx->shareMode = 1;
  DiskFile data;
  ctx->createTemporary = 0;
  int rc = name != nullptr ? file4create(&data, ctx, fullName, true) : file4temp(&data, ctx, true);
  ctx->createTemporary = temporary ? 1 : 0;
  if (rc != 0) return nullptr;  // reported, or the silent 60 stored
  if (name == nullptr) std::strncpy(fullName, data.name, kNameCapacity - 1);
  rc = writeCreateHeader(ctx, &data, columns, plan);

  DiskFile memo;
  bool memoMade = false;
  if (rc >= 0 && plan.hasMemo) {
    rc = memo4create(ctx, &memo, fullName, temporary);
    memoMade = rc == 0;
    if (rc > 0) rc = engine4error(ctx, kErrCreate, 91102, fullName);
  }
  if (rc < 0) {
    data.deleteOnClose = data.isOpen;
    int saved = engine4errorSet(ctx, 0);
    file4close(&data);
    if (memoMade) {
      memo.deleteOnClose = true;
      file4close(&memo);
    }
    engine4errorSet(ctx, saved);
    return nullptr;
  }

  ctx->openProductionIndex = index4seamHasTags(tags) ? ctx->openProductionIndex : 0;
  Table* t = nullptr;
  if (temporary) {
    data.deleteOnClose = true;
    if (memoMade) memo.deleteOnClose = true;
    DataFile* d = dataFile4fromOpenFile(ctx, &data, fullName, memoMade ? &memo : nullptr);
    if (d != nullptr) t = table4build(ctx, d, fullName);
  } else {
    file4close(&data);
    if (memoMade) file4close(&memo);
    t = table4open(ctx, fullName);
  }
  if (t == nullptr) {
    if (ctx->errorCode >= 0) engine4error(ctx, kErrOpen, 91102, fullName);
    return nullptr;
  }
  if (index4seamHasTags(tags) && index4seamCreate(t, tags) != 0) {
    if (ctx->errorCode >= 0) engine4error(ctx, kErrCreate, 91102, fullName);
    // A table that claims tags it does not have must not stay behind.
    const int32_t savedDelete = ctx->deleteFilesOnClose;
    ctx->deleteFilesOnClose = 1;
    table4close(t);
    ctx->deleteFilesOnClose = savedDelete;
    return nullptr;
  }
  return t;
}

// Each tag handle of a new table takes the unique mode of its description.
static Table* table4applyUniqueModes(Table* t, const void* tags) {
  if (t == nullptr || !index4seamHasTags(tags) || index4seamSetUniqueModes(t, tags) == 0) return t;
  table4close(t);
  return nullptr;
}

Table* table4create(EngineContext* ctx, const char* name, const ColumnDescription* columns,
                    const void* tags) {
  if (ctx == nullptr || columns == nullptr || (name == nullptr && ctx->createTemporary == 0)) {
    engine4error(ctx, kErrNullHandle, 91401);
    return nullptr;
  }
  if (ctx->errorCode < 0) return nullptr;
  char fullName[kNameCapacity] = {};
  if (name != nullptr) {
    if (file4nameFull(fullName, kNameCapacity, name, "DBF", false) < 0) {
      engine4error(ctx, kErrParameter, 91401, name);
      return nullptr;
    }
    DataFile* open = dataFile4find(ctx, fullName);
    if (open != nullptr) {
      if (ctx->reportCreateErrors != 0 || ctx->createTemporary != 0)
        engine4error(ctx, kErrCreate, 81304, fullName);
      else
        ctx->errorCode = kAlreadyExists;
      return nullptr;
    }
  }
  Table* t;
  {
    CreateSettings settings(ctx);
    t = table4createAndOpen(ctx, name, fullName, columns, tags);
  }
  if (t == nullptr || ctx->createTemporary != 0) return table4applyUniqueModes(t, tags);
  // A named table is opened again with the caller's sharing settings.
  table4close(t);
  const int32_t savedIndex = ctx->openProductionIndex;
  ctx->openProductionIndex = index4seamHasTags(tags) ? 1 : 0;
  t = table4open(ctx, fullName);
  ctx->openProductionIndex = savedIndex;
  return table4applyUniqueModes(t, tags);
}

// --- close ---

int table4close(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 91302);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode == kErrUniqueKey) t->changed = false;
  const int saved = engine4errorSet(ctx, 0);
  int failure = 0;
  auto keep = [&failure](int rc) {
    if (rc < 0 && failure == 0) failure = rc;
  };
  int unwritten = 0;  // 50: a refused record lock kept the change from the file

  DataFile* d = t->dataFile;
  if (d != nullptr) {
    int rc = table4flushRecord(t, false);
    if (rc == kErrUniqueKey) t->changed = false;
    keep(rc);
    if (rc > 0) unwritten = rc;
    engine4errorSet(ctx, 0);
    if ((table4holdsAppendLock(t) || table4holdsFileLock(t)) && d->headerNeedsWriting)
      keep(dataFile4writeHeader(d));
    // Locks of a closed Table must go whatever the unlock policy says: its
    // bookkeeping would otherwise point at a freed Table.
    keep(table4releaseLocks(t));
    keep(index4seamUnlockAll(t));
    keep(index4seamCloseTable(t));
    engine4errorSet(ctx, 0);
    table4memoFree(t);
    if (--d->users <= 0) {
      if (ctx->deleteFilesOnClose != 0) {
        d->data.deleteOnClose = true;
        if (d->memo.isOpen) d->memo.deleteOnClose = true;
      }
      if (d->headerNeedsWriting && !d->data.deleteOnClose) {
        keep(dataFile4writeHeader(d));
        dataFile4refreshDate(d);
      }
      engine4errorSet(ctx, 0);
      keep(dataFile4close(d));
    }
    t->dataFile = nullptr;
  }
  table4freeBuffers(t);
  table4leaveGroup(t);
  t->~Table();
  pool4free(tablePool(ctx), t);

  engine4errorSet(ctx, failure);
  if (saved < 0) engine4errorSet(ctx, saved);
  if (saved != 0) return saved;
  return failure != 0 ? failure : unwritten;
}

// --- columns by number and name ---

int table4columnCount(Table* t) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, 93308);
  if (t->columnCount > 0 && t->columns[t->columnCount - 1].type == '0') return t->columnCount - 1;
  return t->columnCount;
}

Column* table4column(Table* t, int n) {
  if (t == nullptr) {
    engine4error(nullptr, kErrNullHandle, 94002);
    return nullptr;
  }
  if (n < 1 || n > t->columnCount) {
    engine4error(t->ctx, kErrParameter, 94002);
    return nullptr;
  }
  return &t->columns[n - 1];
}

int table4columnByName(Table* t, const char* name) {
  if (t == nullptr || name == nullptr)
    return engine4error(t ? t->ctx : nullptr, kErrNullHandle, 94003);
  char wanted[11] = {};
  size_t n = 0;
  while (n < 10 && name[n] != 0) ++n;
  while (n > 0 && name[n - 1] == ' ') --n;
  for (size_t i = 0; i < n; ++i)
    wanted[i] = static_cast<char>(char4upper(static_cast<unsigned char>(name[i])));
  if (name[n] == 0 || name[n] == ' ') {
    for (int i = 0; i < t->columnCount; ++i)
      if (std::strcmp(t->columns[i].name, wanted) == 0) return i + 1;
  }
  if (t->ctx->reportColumnNameErrors != 0) return engine4error(t->ctx, kErrColumnName, 94003, name);
  return kErrColumnName;
}

const char* table4alias(Table* t) {
  if (t == nullptr) {
    engine4error(nullptr, kErrNullHandle, 93301);
    return nullptr;
  }
  return t->alias;
}
