// The .FPT memo file of a table, at the level of its DiskFile.
//
// A memo file starts with a 512-byte header: the next free block number
// (big-endian 32-bit), two zero bytes, the block size (big-endian 16-bit), and
// zeros. Block b starts at b x block size. A memo is one run of blocks: an
// 8-byte block header (type and length, big-endian 32-bit each) followed by
// the data. Freed runs are never reused; memo compression reclaims them.
//
// The next free block is read and advanced only under the memo header lock
// (0x40000000, one byte, waited for until obtained), so two processes never
// receive the same blocks. Reading and in-place rewriting rely on the record
// lock of the record that owns the memo.
//
// Every byte of a memo file is untrusted: block numbers and lengths that point
// past the end of the file give -70, impossible lengths never make the engine
// allocate blindly.
#pragma once

#include <cstdint>

struct EngineContext;
struct DataFile;
struct DiskFile;

inline constexpr uint32_t kMemoHeaderSize = 512;
inline constexpr int32_t kMemoTypeText = 1;  // the type of every memo the engine writes itself

// Opens the memo file of |df|: the data file's name with the extension
// replaced by "FPT", into df->memo, reading the block size from the header.
// 0, or a negative code (the open's code; -70 for a short header; -200 for a
// block size of 0, which no engine can have written).
int memo4fileOpen(DataFile* df);

// Creates a memo file into |memo| with the context's memo block size (a
// value of 32 or less is first raised to 33 in the context). With |name|,
// the extension is forced to "FPT" and the file created by file4create
// (location 85201 on failure). Without a name, a temporary "TEMPnnnn.TMP" is
// created in the directory of |df|'s data file (the current directory when
// |df| is null), 100 tries 50 hundredths of a second apart, then -20 (location
// 80605). The new file is 512 bytes long. memo->dataFile is set to |df|.
// 0 or a negative code.
int memo4fileCreate(DiskFile* memo, EngineContext* ctx, DataFile* df, const char* name);
// The same with an explicit block size (33 to 65535), leaving the context's
// setting alone; memo compression keeps the old file's block size this way.
int memo4fileCreateSized(DiskFile* memo, EngineContext* ctx, DataFile* df, const char* name,
                         uint32_t blockSize);

// Reads |maximum| bytes (at most) of the memo at |block| starting at data
// offset |offset| into |*buffer|. When the part does not fit *capacity bytes
// the buffer is replaced by a larger one of part + 1 bytes (heap4alloc; the
// old one is freed with heap4free unless *capacity was 0, so a shared empty
// text may be passed in) and *capacity updated. A block of 0 or
// less is an empty memo (length 0, type 0). |length| receives the bytes read,
// |type| (optional) the memo type. 0, -70 (a header or part that cannot be read
// in full, a length beyond the end of the file), -920 (lack of memory).
// On success with *length > 0, *capacity > *length: the caller may store a
// terminating zero after the part. The routine itself does not.
int memo4fileRead(DiskFile* memo, int32_t block, char** buffer, uint32_t* capacity, uint32_t offset,
                  uint32_t maximum, uint32_t* length, int32_t* type);
// The whole memo: offset 0, no maximum.
int memo4fileReadAll(DiskFile* memo, int32_t block, char** buffer, uint32_t* capacity,
                     uint32_t* length, int32_t* type);

// The total data length recorded in the block header of |block| (0 for a
// block of 0 or less). 0, -70.
int memo4fileMemoLength(DiskFile* memo, int32_t block, uint32_t* length);

// Writes part of a memo of |total| bytes: |partLength| bytes of |data| at data
// offset |offset|. An offset above 0 continues a memo whose run was allocated
// by the call with offset 0. With offset 0: a total of 0 sets *block to 0 and
// writes nothing; a run that holds total + 8 bytes is rewritten in place;
// otherwise a new run is allocated at the end under the memo header lock and
// *block set to it (the old run is abandoned). The block header gets |type|
// and |total|. A file that grows has its length rounded up to the block size.
// 0, or a negative code (a failed allocation leaves the next free block as it
// was).
int memo4fileWritePart(DiskFile* memo, int32_t* block, const char* data, uint32_t total,
                       uint32_t offset, uint32_t partLength, int32_t type);
// The whole memo as type 1.
int memo4fileWrite(DiskFile* memo, int32_t* block, const char* data, uint32_t length);

// The memo header lock. Taken with lockAttempts forced to -1 (waits until
// obtained); taking it again while held is a no-op, and one unlock releases
// it. The state is kept in memo->dataFile->memoLockCount when the memo file
// belongs to a DataFile. 0 or a negative code.
int memo4fileLock(DiskFile* memo);
int memo4fileUnlock(DiskFile* memo);
