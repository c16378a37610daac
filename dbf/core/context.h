// The engine context: per-thread state of the DBF engine.
//
// Every engine object (Table, DataFile, DiskFile, Query, Expression, ...) belongs
// to one EngineContext and is used only by the thread that owns it. The context
// carries the settings that steer opening, creating, locking and error
// reporting, the one sticky error code that every engine call consults before
// it acts, the list of open data files, the date format and the memory pools.
//
// Error discipline: an operation that fails calls engine4error(), which stores
// the code and a location number in the context and returns the code. While a
// negative code is stored, operations do nothing and return -1410 (a few low
// level routines return -1); closing operations still run. Only
// engine4errorSet() clears the code.
#pragma once

#include <cstdint>
#include <mutex>

#include "dbf/core/codes.h"

struct MemoryPool;
struct DataFile;
struct Table;
struct Query;

// A list of Tables that unlockPolicy 1 treats as one unit ("group").
struct TableGroup {
  Table* first = nullptr;
};

struct EngineContext {
  // Settings, in the order and with the initial values engine4init gives them.
  int32_t openProductionIndex;     // 1
  int32_t createTemporary;         // 0
  int32_t reportCreateErrors;      // 1
  int32_t defaultUniqueMode;       // 25
  int32_t reportExpressionErrors;  // 1
  int32_t reportColumnNameErrors;  // 1
  int32_t reportOpenErrors;        // 1
  int32_t errorCode;               // 0
  int32_t tablePoolExpand;         // 5
  int32_t copyBufferSize;          // 32768
  int32_t sortSpoolBufferSize;     // 4096
  int32_t sortChunkSize;           // 61440
  int32_t tablePoolStart;          // 10
  int32_t openReadOnly;            // 0
  uint8_t refuseOverwrite;         // 1
  int16_t compatibility;           // 0 (30 selects the FoxPro 3.0 layout)
  int32_t unnamedAfterDateFormat;  // 1
  int32_t errorLocation;           // 0
  int32_t unnamed17;               // 17
  int32_t unnamed2;                // 2
  int32_t dataFilePoolExpand;      // 5
  int32_t dataFilePoolStart;       // 5
  int32_t newTagCollation;         // 0
  int32_t codePageMark;            // 0
  uint8_t shareMode;               // 0: shared, 1: exclusive, 2: others read only
  int32_t lockPoolExpand;          // 10
  int32_t lockPoolStart;           // 5
  int32_t unnamed1a;               // 1
  int32_t lockRetryDelay;          // 100 (hundredths of a second)
  int32_t flushAfterWrite;         // 0
  int32_t readLock;                // 0
  int32_t lockAttempts;            // -1 (try until obtained)
  int32_t writeBufferingMode;      // -1
  int32_t readBufferingMode;       // -1
  int32_t bufferMemoryPercent;     // 25
  int32_t bufferMemoryLimit;       // 983040
  int32_t bufferBlockSize;         // 1024
  int32_t reportTagNameErrors;     // 1
  int32_t indexPoolSizes[8];       // 10, 5, 10, 10, 10, 10, 5, 10
  int16_t memoBlockSize;           // 512
  int32_t memoExpressionWidth;     // 1024
  int32_t indexCounts[2];          // 5, 5
  int32_t unnamed1b;               // 1
  int32_t bufferingInactive;       // 1
  int32_t singleOpen;              // 1
  int32_t reportGoErrors;          // 1
  int32_t unnamed1c;               // 1 (consulted by the Query)
  int32_t reportSkipErrors;        // 1
  int32_t lockBeforeChange;        // 0
  int32_t deleteFilesOnClose;      // 0
  int32_t lockState;               // 0 (120 and 130 suppress the header update)
  int32_t unlockPolicy;            // 1
  int32_t unnamed1d;               // 1

  // State.
  MemoryPool* tablePool;
  MemoryPool* dataFilePool;
  MemoryPool* lockPool;
  DataFile* dataFiles;       // open data files, linked through DataFile::next
  TableGroup defaultGroup;   // every new Table joins it
  int32_t openTableCounter;  // incremented on each table open: lock owner numbers
  char dateFormat[20];       // "MM/DD/YY" after engine4init

  // Last lock conflict seen inside this context (record number and the alias of
  // the Table holding it), for diagnostics.
  int32_t conflictRecord;
  char conflictAlias[33];

  // Scratch buffer shared by the engine's own routines. (An Expression
  // carries its own work area, sized to its need and freed with it.)
  char* scratch;  // ColumnValue::text and friends
  uint32_t scratchSize;
};

// The only engine version this library accepts.
inline constexpr int kEngineVersion = 6300;

// Prepares |ctx| with the initial settings; also the only way to reset one.
// Returns 0, -930 for a null context or -1095 when |version| is not 6300 (the
// rest of the context is then untouched).
int engine4init(EngineContext* ctx, void* reserved, int version);

// Releases what the context owns: its pools (tablePool, dataFilePool,
// lockPool, each released once) and the scratch buffer, which must therefore
// come from heap4alloc. Open tables must be closed first.
// The table layer never calls it; tests do. The context may be initialised
// again afterwards.
void engine4free(EngineContext* ctx);

// Stores |code| and |location| as the context's error (when a context is
// given), calls the report hook and returns |code|. The texts are optional
// (file name, second name, extra text) and only reach the report hook.
int engine4error(EngineContext* ctx, int code, int location, const char* text1 = nullptr,
                 const char* text2 = nullptr, const char* text3 = nullptr);

// Sets the stored error code to |value| and returns the previous one.
int engine4errorSet(EngineContext* ctx, int value);

// The display hook called by engine4error after the code is stored. The engine
// never shows anything: the hook is an empty function of the engine, and
// anything ever added to it must not change a return value.
void engine4reportHook(EngineContext* ctx, int code, int location, const char* text1,
                       const char* text2, const char* text3);

// Sets the date picture used to show and read dates (at most 19 characters).
// -935 for a null context, -930 for a null or too long text (location 96302).
int engine4dateFormatSet(EngineContext* ctx, const char* picture);

// Process-wide memory pools of fixed-size units (pool.h), shared by unit size
// unless created private. All operations run under the critical section.
// pool4create: counts <= 0 report -930 (location 95906) and give null; a unit
// size below 8 is raised to 8; a shared pool of the same unit size is reused
// with the larger start and expand counts.
MemoryPool* pool4create(EngineContext* ctx, int startCount, unsigned unitSize, int expandCount,
                        bool isPrivate);
// A zero-filled unit, or null with -920 stored in |ctx| (when given).
void* pool4alloc(MemoryPool* pool, EngineContext* ctx = nullptr);
// Gives |unit| back to its pool (null is ignored).
void pool4free(MemoryPool* pool, void* unit);
// Drops one user; the last user frees the pool's memory.
void pool4release(MemoryPool* pool);

// Raw engine memory, zero-filled. heap4alloc(0) reports -930 (location 85903)
// and gives null; when memory runs out it gives null without reporting (the
// caller reports -920 where it wants). heap4free(null) does nothing.
void* heap4alloc(EngineContext* ctx, unsigned size);
void heap4free(EngineContext* ctx, void* block);

// The process-wide critical section that guards the pool registry and every
// pool (recursive: the same thread may enter it again).
std::recursive_mutex& engine4criticalSection();
// The second process-wide critical section, taken by the expression evaluator
// (and the Query) around evaluation.
std::recursive_mutex& engine4evaluationLock();

// Number of contexts that engine4init has prepared in this process.
int engine4contextCount();
