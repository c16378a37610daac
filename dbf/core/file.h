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
struct FileWindow;

// A DiskFile is open only while |isOpen| is set; one that is all zeros (as in a
// zero-filled pool unit) counts as closed, like one with handle -1.
struct DiskFile {
  int64_t handle = -1;   // operating-system handle; -1 when closed
  char* name = nullptr;  // caller's text, or an owned copy
  bool ownsName = false;
  bool deleteOnClose = false;
  bool isOpen = false;
  bool readOnly = false;
  uint8_t mode = 0;  // shareMode at open: 0 shared, 1 exclusive, 2 others read
  EngineContext* ctx = nullptr;
  // Memo files only.
  uint32_t memoBlockSize = 0;
  DataFile* dataFile = nullptr;
  // Bytes read ahead by file4readAhead (null until it is first used).
  FileWindow* window = nullptr;
};

// Lock positions shared with every other program that opens these files.
inline constexpr int64_t kLockRecordFox = 0x7FFFFFFE;  // FoxPro scheme: minus the record number
inline constexpr int64_t kLockBase = 0x40000000;       // dBASE scheme base; whole file; memo header
inline constexpr int64_t kLockAppend = 0x7FFFFFFE;
inline constexpr int64_t kLockWholeFileLength = 0x3FFFFFFF;
inline constexpr int64_t kLockIndexFile = 0x7FFFFFFE;
inline constexpr int64_t kLockWholeFile = 0x40000000;   // length kLockWholeFileLength
inline constexpr int64_t kLockMemoHeader = 0x40000000;  // length 1

// The FoxPro record-lock scheme applies when the version byte is 0x30 or the
// table flags (header byte 28) have bit 0x01; otherwise the dBASE scheme.
bool lock4foxScheme(uint8_t versionByte, uint8_t tableFlags);
// Position of the one-byte lock of record |n| (n >= 1): FoxPro scheme
// 0x7FFFFFFE - n; dBASE scheme 0x40000000 + header length + (n - 1) x record
// length. Lock and unlock of a record must both use this position.
int64_t lock4recordPosition(bool foxScheme, uint32_t headerLength, uint32_t recordLength,
                            int32_t n);

// Opens an existing file: read-only when the file may not be written or the
// context's openReadOnly is 1, shared as the context's shareMode says (0, 1,
// 2; any other value fails with -60). 0; 70 when the open fails with
// report-open-errors off (70 is stored, the handle stays -1); else the
// reported code (-60, -61, -63, -64; location 90615).
int file4open(DiskFile* f, EngineContext* ctx, const char* name, bool copyName);
// Creates a file for reading and writing in the context's shareMode. An
// existing file is never replaced while refuseOverwrite is 1, nor while anyone
// has it open. 0; 60 (stored) when refused with create reporting off; -20
// reported (location 90602) when refused with it on. Without a name (null)
// a temporary file is made (file4temp).
int file4create(DiskFile* f, EngineContext* ctx, const char* name, bool copyName);
// Creates "TEMPnnnn.TMP" (nnnn: the time in seconds modulo 10000) in the
// temporary directory, exclusively; with |markForDeletion| it is deleted when
// closed. 0, or -20 (location 80605) when no name could be created.
int file4temp(DiskFile* f, EngineContext* ctx, bool markForDeletion);
// Closes the file (deleting it when marked) even while the context holds an
// error, which it leaves in place. 0, or -1 when the context holds an error
// afterwards (a failed close reports -10, location 90601).
int file4close(DiskFile* f);
// Bytes read; 0 on any failure (a failed read reports -70 with the position
// text and "file4readLow", location 90607) and 0 while the context holds an
// error. A read past the end returns what was obtained.
uint32_t file4read(DiskFile* f, int64_t pos, void* buf, uint32_t len);
// Reads as file4read does, for a caller that knows nobody else writes the file
// meanwhile (it opened the file so that nobody else may write, or holds the
// whole-file lock): when reads follow one another through the file, the next
// kReadAheadSize bytes come in with one system read and later reads inside
// them are served from memory. Writes and length changes through this
// DiskFile keep those bytes true; whoever lets others write the file again
// (releasing or taking the whole-file lock) calls file4dropWindow.
inline constexpr uint32_t kReadAheadSize = 65536;
uint32_t file4readAhead(DiskFile* f, int64_t pos, void* buf, uint32_t len);
// Forgets the bytes read ahead and frees their memory (close does it too).
void file4dropWindow(DiskFile* f);
// Reads exactly |len| bytes: 0; -70 (location 90608, "file4readAllLow") when
// fewer are there; -610 for a closed file; -1 while the context holds an error.
int file4readAll(DiskFile* f, int64_t pos, void* buf, uint32_t len);
// Writes |len| bytes at |pos|: 0; -120 for a read-only file (location 80606)
// or a failed or short write (location 90615); -930 for bad arguments or a
// closed file (90619); -1410 while the context holds an error. With the
// context's flushAfterWrite on, the file is flushed afterwards.
int file4write(DiskFile* f, int64_t pos, const void* buf, uint32_t len);
// The file's length, or -30 (location 90605), or -1410.
int64_t file4length(DiskFile* f);
// Cuts or extends the file: 0; -935 for a negative length (90606); -930 for a
// read-only file (80607); -40 on failure (90606); -1 while the context holds
// an error or a silent outcome below 200 (60, 70).
int file4setLength(DiskFile* f, int64_t len);
// Pushes the file to the device, even while the context holds an error (which
// stays in place): 0 (always for a read-only file) or -630 (location 90610).
int file4flush(DiskFile* f);
// Locks |len| bytes at |pos| exclusively, trying lockAttempts times (-1: until
// obtained; 0 counts as 1) with lockRetryDelay hundredths of a second between
// tries: 0; 50 when someone else still holds the range; -50 when the system
// refuses otherwise (location 90613); -1410 while the context holds an error.
// Nothing is locked (0) for a length of 0, a read-only file or one opened in
// mode 1 or 2, which nobody else can write anyway.
int file4lock(DiskFile* f, int64_t pos, int64_t len);
// Releases a range locked by file4lock (the same position and length): 0 or
// -110 (location 90614). Runs even while the context holds an error.
int file4unlock(DiskFile* f, int64_t pos, int64_t len);
// Puts |source|'s contents in place of |target|, used to install a rebuilt
// file: a target opened in mode 1 (nobody else has it) is replaced by renaming
// the source's file to its name and reopened; otherwise the target is cut to
// length 0 and the source copied into it in chunks of the context's
// copyBufferSize. The source is closed either way (deleted when marked; the
// renamed file of course stays). 0 or -1.
//
// |sourceInPlace| (optional) tells a caller what a failure left: true once the
// source's contents stand under the target's name (the rename or the copy is
// done; only the reopen or the source's close failed), false while the target
// file still holds its old contents (a failed close before the rename, or the
// rename itself: a source marked for deletion is then removed) or was cut and
// copied only in part.
int file4replace(DiskFile* target, DiskFile* source, bool* sourceInPlace = nullptr);
// Removes a file by name through the operating-system interface: 0, or -1
// (a missing file included; callers that do not care ignore the result).
int file4remove(const char* name);
// Renames |from| to |to| unless |to| exists: 0, or -1 when |from| is missing,
// |to| exists (nothing is changed then) or the system refuses.
int file4renameNoReplace(const char* from, const char* to);
// True when a file of that name exists.
bool file4exists(const char* name);

// The 39-character text that read errors carry: |pos| right-aligned in 19
// places, a blank, |len| right-aligned in 19 places. |out| needs 40 bytes.
void file4positionText(char* out, int64_t pos, uint32_t len);

// Full file name: absolute, "." and ".." steps resolved, trailing blanks
// removed, default extension (e.g. "DBF", without the dot; null for none)
// added when the last component has no dot (replaced when |forceExtension|),
// last component upper-cased (ASCII letters only: directories keep their case
// and multi-byte names stay intact). Returns the length, or -1 for an empty
// name, a name ending in a separator, "." or "..", or when the result would
// exceed |capacity| - 1 (capacity 258 gives the engine's limit of 257).
int file4nameFull(char* out, int capacity, const char* name, const char* defaultExtension,
                  bool forceExtension);

struct FileSeqReader {
  DiskFile* file = nullptr;
  int64_t pos = 0;  // next file position to read
  char* buffer = nullptr;
  uint32_t bufferSize = 0;  // multiple of 1024; 0 = unbuffered
  uint32_t nextChunk = 0;
  uint32_t avail = 0;    // bytes in the buffer
  uint32_t pending = 0;  // bytes not yet handed out
};

struct FileSeqWriter {
  DiskFile* file = nullptr;
  int64_t pos = 0;
  char* buffer = nullptr;
  uint32_t bufferSize = 0;
  uint32_t free = 0;
  uint32_t pending = 0;
};

// Sequential reading and writing through a caller's buffer. The buffer size is
// rounded down to a multiple of 1024 (below 1024: no buffering) and the first
// chunk is shortened so that later chunks start on 1024-byte boundaries of the
// file. The buffer must outlive the reader or writer.
//
// Reader: file4seqRead delivers up to |len| bytes (fewer at the end of the
// file; 0 when the context holds an error); a failed read reports -70
// (location 90701, "file4seqRead"). file4seqReadAll requires all |len| bytes:
// 0, -70 (location 90702, "file4seqReadAll"), or -1 when the context already
// holds an error.
int file4seqReadInit(FileSeqReader* r, DiskFile* f, int64_t pos, void* buf, uint32_t size);
uint32_t file4seqRead(FileSeqReader* r, void* dest, uint32_t len);
int file4seqReadAll(FileSeqReader* r, void* dest, uint32_t len);
// Writer: bytes are gathered and written when the buffer is full and at
// file4seqWriteFlush, which must be called before the file is used otherwise.
// 0 or -120 (locations 90704 write, 90707 repeat, 90705 flush); -1410 when the
// context already holds an error.
int file4seqWriteInit(FileSeqWriter* w, DiskFile* f, int64_t pos, void* buf, uint32_t size);
int file4seqWrite(FileSeqWriter* w, const void* data, uint32_t len);
// Writes |count| copies of |byte| (in pieces of at most 512 bytes).
int file4seqWriteRepeat(FileSeqWriter* w, int64_t count, char byte);
int file4seqWriteFlush(FileSeqWriter* w);
