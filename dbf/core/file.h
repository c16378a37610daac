// DiskFile: one open engine file (data, memo, index or temporary), reached by
// positioned reads and writes, with byte-range locks that other processes
// share. The sequential reader and writer on top of it serve create, pack and
// memo compression.
//
// All operating-system calls go through the interface of os.h; nothing here
// touches the system directly.
#pragma once

#include <cstdint>

struct EngineContext;
struct DataFile;

struct DiskFile {
  int64_t handle = -1;            // operating-system handle; -1 when closed
  char* name = nullptr;           // caller's text, or an owned copy
  bool ownsName = false;
  bool deleteOnClose = false;
  bool isOpen = false;
  bool readOnly = false;
  uint8_t mode = 0;               // shareMode at open: 0 shared, 1 exclusive, 2 others read
  EngineContext* ctx = nullptr;
  // Memo files only.
  uint32_t memoBlockSize = 0;
  DataFile* dataFile = nullptr;
};

// Lock positions shared with every other program that opens these files.
inline constexpr int64_t kLockRecordFox = 0x7FFFFFFE;  // FoxPro scheme: minus the record number
inline constexpr int64_t kLockBase = 0x40000000;       // dBASE scheme base; whole file; memo header
inline constexpr int64_t kLockAppend = 0x7FFFFFFE;
inline constexpr int64_t kLockWholeFileLength = 0x3FFFFFFF;
inline constexpr int64_t kLockIndexFile = 0x7FFFFFFE;

int file4open(DiskFile* f, EngineContext* ctx, const char* name, bool copyName);
int file4create(DiskFile* f, EngineContext* ctx, const char* name, bool copyName);
int file4temp(DiskFile* f, EngineContext* ctx, bool markForDeletion);
int file4close(DiskFile* f);
// Bytes read; 0 on any failure. A short read returns what was obtained.
uint32_t file4read(DiskFile* f, int64_t pos, void* buf, uint32_t len);
int file4readAll(DiskFile* f, int64_t pos, void* buf, uint32_t len);
int file4write(DiskFile* f, int64_t pos, const void* buf, uint32_t len);
int64_t file4length(DiskFile* f);
int file4setLength(DiskFile* f, int64_t len);
int file4flush(DiskFile* f);
int file4lock(DiskFile* f, int64_t pos, int64_t len);
int file4unlock(DiskFile* f, int64_t pos, int64_t len);
// Puts |source|'s contents in place of |target| (see the implementation for
// the two ways); 0 or -1.
int file4replace(DiskFile* target, DiskFile* source);
// Removes a file by name through the operating-system interface; a missing
// file is not an error for callers that ignore the result.
int file4remove(const char* name);

// Full file name: absolute, trailing blanks removed, default extension added
// when the last component has no dot (replaced when |forceExtension|), last
// component upper-cased. Returns the length, or -1 when it would exceed
// |capacity| - 1 (capacity 258 gives the engine's limit of 257 characters).
int file4nameFull(char* out, int capacity, const char* name, const char* defaultExtension,
                  bool forceExtension);

struct FileSeqReader {
  DiskFile* file = nullptr;
  int64_t pos = 0;         // next file position to read
  char* buffer = nullptr;
  uint32_t bufferSize = 0; // multiple of 1024; 0 = unbuffered
  uint32_t nextChunk = 0;
  uint32_t avail = 0;      // bytes in the buffer
  uint32_t pending = 0;    // bytes not yet handed out
};

struct FileSeqWriter {
  DiskFile* file = nullptr;
  int64_t pos = 0;
  char* buffer = nullptr;
  uint32_t bufferSize = 0;
  uint32_t free = 0;
  uint32_t pending = 0;
};

int file4seqReadInit(FileSeqReader* r, DiskFile* f, int64_t pos, void* buf, uint32_t size);
uint32_t file4seqRead(FileSeqReader* r, void* dest, uint32_t len);
int file4seqReadAll(FileSeqReader* r, void* dest, uint32_t len);
int file4seqWriteInit(FileSeqWriter* w, DiskFile* f, int64_t pos, void* buf, uint32_t size);
int file4seqWrite(FileSeqWriter* w, const void* data, uint32_t len);
int file4seqWriteRepeat(FileSeqWriter* w, int64_t count, char byte);
int file4seqWriteFlush(FileSeqWriter* w);
