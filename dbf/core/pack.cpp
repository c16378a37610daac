// Pack and memo compression: removing deleted records from a data file, and
// copying the live memos of a table into a fresh memo file.
//
// Both run under the file lock and the memo header lock, copy sequentially
// through buffers of up to the context's copy buffer size, and are ordered so
// that a failure part way loses nothing already stored:
//
//  - pack moves kept records towards the front of the file, never past a
//    record not yet read. Until the end every kept record exists at least once
//    in the file and the header still counts the old records; on a failure
//    the stretch between the moved records and the first unread one (old
//    copies of moved records and deleted records) has its deletion flags set,
//    so that no record appears twice. The header's count is written only
//    after the moved records are flushed, and the file is cut only after that.
//  - memo compression copies every memo into the new file before a single
//    record changes; records then get their new references, and only when all
//    of them are written does the new memo file take the old one's place. A
//    failure before that puts the old references back.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "dbf/core/codes.h"
#include "dbf/core/context.h"
#include "dbf/core/file.h"
#include "dbf/core/index_seam.h"
#include "dbf/core/memo.h"
#include "dbf/core/table.h"
#include "dbf/core/table_internal.h"

namespace {

constexpr int kLocationPack = 94601;
constexpr int kLocationCompress = 95201;
constexpr int kLocationReindex = 93004;
constexpr int kLocationReadOnly = 80606;
constexpr char kDeletedFlag = '*';
constexpr uint8_t kEndOfFile = 0x1A;
constexpr uint32_t kMemoPieceLimit = 1u << 20;  // largest piece of a memo held in memory

// A copy buffer of up to the context's copy buffer size, smaller by 2048
// bytes while memory is short, never below one record.
struct CopyBuffer {
  EngineContext* ctx = nullptr;
  char* data = nullptr;
  uint32_t size = 0;

  ~CopyBuffer() {
    if (data != nullptr) heap4free(ctx, data);
  }
  bool take(EngineContext* context, uint32_t recordLength) {
    ctx = context;
    int64_t want = ctx->copyBufferSize;
    while (want > recordLength) {
      data = static_cast<char*>(heap4alloc(ctx, static_cast<unsigned>(want)));
      if (data != nullptr) {
        size = static_cast<uint32_t>(want);
        return true;
      }
      engine4errorSet(ctx, 0);  // a refused size is not yet a failure
      want -= 2048;
    }
    // Without a buffer the copy goes one record at a time.
    data = static_cast<char*>(heap4alloc(ctx, recordLength));
    size = data != nullptr ? recordLength : 0;
    return data != nullptr;
  }
  uint32_t records(uint32_t recordLength) const { return size / recordLength; }
};

void storeLittleEndian32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t loadLittleEndian32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

bool isFoxProLayout(const DataFile* df) { return df->header[0] == 0x30; }

int64_t recordPosition(const DataFile* df, int64_t n) {
  return int64_t{df->headerLength} + (n - 1) * int64_t{df->recordLength};
}

// Writes header bytes 0-9 (version, date, record count, header length) with
// |count|, and marks the date for refreshing.
int writeHeaderCount(DataFile* df, uint32_t count) {
  storeLittleEndian32(df->header + 4, count);
  const int rc = file4write(&df->data, 0, df->header, 10);
  if (rc == 0) df->refreshDate = true;
  return rc;
}

// Sets the deletion flag of records [first, end) (1-based), chunk by chunk.
// Used after a failed pack on records that are either deleted already or
// copies of records that were moved.
int markDeleted(DataFile* df, char* buffer, uint32_t bufferRecords, int64_t first, int64_t end) {
  const uint32_t length = df->recordLength;
  for (int64_t n = first; n < end;) {
    const uint32_t count = static_cast<uint32_t>(std::min<int64_t>(bufferRecords, end - n));
    int rc = file4readAll(&df->data, recordPosition(df, n), buffer, count * length);
    if (rc != 0) return rc;
    for (uint32_t i = 0; i < count; i++) buffer[i * length] = kDeletedFlag;
    rc = file4write(&df->data, recordPosition(df, n), buffer, count * length);
    if (rc != 0) return rc;
    n += count;
  }
  return 0;
}

// How many of the first |keep| records of |buffer| are in place at record
// |first| (read back after a failed write that may have written part).
uint32_t recordsInPlace(DataFile* df, const char* buffer, uint32_t keep, int64_t first) {
  const uint32_t length = df->recordLength;
  std::vector<char> back;
  try {
    back.resize(size_t{keep} * length);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  const uint32_t got = file4read(&df->data, recordPosition(df, first), back.data(), keep * length);
  uint32_t n = 0;
  while (n < keep && (n + 1) * length <= got &&
         std::memcmp(back.data() + size_t{n} * length, buffer + size_t{n} * length, length) == 0) {
    n++;
  }
  return n;
}

// Moves the kept records of a data file holding |count| records to its front.
// On success |*kept| is their number and the records are flushed to disk;
// nothing past them is changed yet.
//
// A kept record only ever moves towards the front by whole records, so a
// write, even one that stops part way, never touches the stored bytes of a
// record that is not yet in its new place. On a failure the records between
// those in place and the first one whose original is still needed are old
// copies of moved records, deleted records, or at most one record overwritten
// part way; they get their deletion flags set (if the file lets us), so that
// the file holds every kept record exactly once.
int compactRecords(DataFile* df, int64_t count, int64_t* kept) {
  EngineContext* ctx = df->ctx;
  const uint32_t length = df->recordLength;
  CopyBuffer buffer;
  if (!buffer.take(ctx, length)) return engine4error(ctx, -1, kLocationPack);
  const uint32_t perChunk = buffer.records(length);
  std::vector<int64_t> keptFrom;  // original record number of each kept record of the chunk
  try {
    keptFrom.resize(perChunk);
  } catch (const std::bad_alloc&) {
    return engine4error(ctx, dbf::kErrMemory, kLocationPack);
  }

  int64_t written = 0;      // records in their final place at the front
  int64_t next = 1;         // first record not yet read
  int64_t firstNeeded = 1;  // first record whose stored bytes are still needed
  int rc = 0;
  while (next <= count) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<int64_t>(perChunk, count - next + 1));
    rc = file4readAll(&df->data, recordPosition(df, next), buffer.data, chunk * length);
    if (rc != 0) {
      firstNeeded = next;
      break;
    }
    uint32_t keep = 0;
    for (uint32_t i = 0; i < chunk; i++) {
      const char* record = buffer.data + size_t{i} * length;
      if (record[0] != ' ') continue;  // '*' and every other flag byte are dropped
      if (keep != i) std::memmove(buffer.data + size_t{keep} * length, record, length);
      keptFrom[keep++] = next + i;
    }
    // Records that do not move need not be written again.
    if (keep > 0 && !(written + 1 == next && keep == chunk)) {
      rc = file4write(&df->data, recordPosition(df, written + 1), buffer.data, keep * length);
      if (rc != 0) {
        const int saved = engine4errorSet(ctx, 0);  // the read-back must run
        const uint32_t done = recordsInPlace(df, buffer.data, keep, written + 1);
        engine4errorSet(ctx, saved);
        written += done;
        firstNeeded = done < keep ? keptFrom[done] : next + chunk;
        break;
      }
    }
    written += keep;
    next += chunk;
  }
  if (rc == 0) {
    firstNeeded = count + 1;
    const uint8_t end = kEndOfFile;
    rc = file4write(&df->data, recordPosition(df, written + 1), &end, 1);
    if (rc == 0) rc = file4flush(&df->data);
    if (rc == 0) {
      *kept = written;
      return 0;
    }
  }
  const int saved = engine4errorSet(ctx, 0);
  markDeleted(df, buffer.data, perChunk, written + 1, firstNeeded);
  file4flush(&df->data);
  engine4errorSet(ctx, saved != 0 ? saved : rc);
  return rc;
}

void blankRecordBuffer(Table* t) {
  const uint32_t length = t->dataFile->recordLength;
  if (t->blankRecord != nullptr) {
    std::memcpy(t->record, t->blankRecord, length);
  } else {
    std::memset(t->record, ' ', length);
  }
}

}  // namespace

int table4pack(Table* t) {
  if (t == nullptr) return engine4error(nullptr, dbf::kErrNullHandle, kLocationPack);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return dbf::kErrContextHoldsError;
  if (t->readOnly) return engine4error(ctx, dbf::kErrWrite, kLocationReadOnly, t->alias);

  int rc = table4lockAll(t);
  if (rc != 0) return rc;
  rc = table4flushRecord(t, false);
  if (rc != 0) return rc;
  rc = table4lockFile(t);
  if (rc != 0) return rc;

  DataFile* df = t->dataFile;
  const int32_t count = table4recCount(t);
  if (count < 0) return count;
  // The count comes from the file: every counted record must be there in full.
  const int64_t fileLength = file4length(&df->data);
  if (fileLength < 0) return static_cast<int>(fileLength);
  if (recordPosition(df, int64_t{count} + 1) > fileLength) {
    return engine4error(ctx, dbf::kErrRead, kLocationPack, df->fullName, "table4pack");
  }

  int64_t kept = 0;
  rc = compactRecords(df, count, &kept);
  if (rc != 0) return rc;
  // The count first, the cut after: a failure in between leaves a header
  // whose count the file still holds.
  rc = writeHeaderCount(df, static_cast<uint32_t>(kept));
  if (rc == 0) rc = file4setLength(&df->data, recordPosition(df, kept + 1) + 1);
  if (rc != 0) {
    // When the file was not cut, the records past the kept ones are stale
    // copies: mark them deleted and put the old count back, so that the file
    // reads the same under either count.
    const int saved = engine4errorSet(ctx, 0);
    if (file4length(&df->data) >= recordPosition(df, int64_t{count} + 1)) {
      CopyBuffer buffer;
      if (buffer.take(ctx, df->recordLength) &&
          markDeleted(df, buffer.data, buffer.records(df->recordLength), kept + 1,
                      int64_t{count} + 1) == 0) {
        writeHeaderCount(df, static_cast<uint32_t>(count));
      }
    }
    engine4errorSet(ctx, saved != 0 ? saved : rc);
    return rc;
  }
  df->heldCount = static_cast<int32_t>(kept);
  df->lastReadCount = static_cast<int32_t>(kept);
  df->headerNeedsWriting = true;

  t->recordNumber = -1;
  t->oldRecordNumber = -1;
  t->changed = false;
  blankRecordBuffer(t);
  const bool empty = kept == 0;
  t->bof = empty;
  t->eof = empty;

  const int reindexResult = table4reindex(t);
  const int saved = engine4errorSet(ctx, 0);
  rc = writeHeaderCount(df, static_cast<uint32_t>(kept));
  engine4errorSet(ctx, saved);
  if (rc != 0 && reindexResult == 0) return engine4error(ctx, rc, kLocationPack, df->fullName);
  return reindexResult;
}

int table4reindex(Table* t) {
  if (t == nullptr) return engine4error(nullptr, dbf::kErrNullHandle, kLocationReindex);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return dbf::kErrContextHoldsError;
  int rc = table4flushRecord(t, false);
  if (rc < 0) return rc;
  if (t->readOnly) return engine4error(ctx, dbf::kErrWrite, kLocationReadOnly, t->alias);
  return index4seamReindex(t);
}

// --- memo compression ---

namespace {

// One memo reference of a record in its stored form.
int32_t loadReference(const Column* c, const char* record) {
  const char* field = record + c->offset;
  if (c->length == 4)
    return static_cast<int32_t>(loadLittleEndian32(reinterpret_cast<const uint8_t*>(field)));
  int64_t value = 0;
  int i = 0;
  while (i < c->length && field[i] == ' ') i++;
  for (; i < c->length && field[i] >= '0' && field[i] <= '9'; i++) {
    value = value * 10 + (field[i] - '0');
    if (value > INT32_MAX) return -1;  // no block has such a number
  }
  return static_cast<int32_t>(value);
}

void storeReference(const Column* c, char* record, int32_t block) {
  char* field = record + c->offset;
  if (c->length == 4) {
    storeLittleEndian32(reinterpret_cast<uint8_t*>(field), static_cast<uint32_t>(block));
    return;
  }
  std::memset(field, ' ', static_cast<size_t>(c->length));
  if (block <= 0) return;  // the older layout shows no memo as blanks
  for (int i = c->length - 1; i >= 0 && block > 0; i--) {
    field[i] = static_cast<char>('0' + block % 10);
    block /= 10;
  }
}

bool columnIsNull(const Table* t, const Column* c, const char* record) {
  if (!isFoxProLayout(t->dataFile) || !c->nullable) return false;
  const Column* flags = &t->columns[t->columnCount - 1];
  if (flags->type != '0' || c->nullBit / 8 >= flags->length) return false;
  const uint8_t byte = static_cast<uint8_t>(record[flags->offset + c->nullBit / 8]);
  return (byte >> (c->nullBit % 8)) & 1;
}

void storeBigEndian32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

uint32_t loadBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Reads memos of the old file. Most memos are short: the block header and the
// text come in one read. Lengths are checked against the file's length.
class OldMemoReader {
 public:
  OldMemoReader(DiskFile* memo, int64_t fileLength) : memo_(memo), fileLength_(fileLength) {}

  // The memo at |block| (0 or less: none) as type, total length and, when it
  // is at most kMemoPieceLimit long, its text in data(). Longer memos are
  // read in pieces by the caller (readPiece).
  int read(int32_t block, int32_t* type, uint32_t* total) {
    *type = kMemoTypeText;
    *total = 0;
    if (block <= 0) return 0;
    const uint32_t blockSize = memo_->memoBlockSize;
    start_ = int64_t{block} * blockSize;
    if (start_ + 8 > fileLength_) return tooShort();
    const int64_t available = fileLength_ - start_;
    const uint32_t first = static_cast<uint32_t>(std::min<int64_t>(available, 8 + kFirstRead));
    if (!grow(first)) return engine4error(memo_->ctx, dbf::kErrMemory, kLocationCompress);
    const uint32_t got = file4read(memo_, start_, buffer_.data(), first);
    if (got < 8) return got == 0 && memo_->ctx->errorCode < 0 ? memo_->ctx->errorCode : tooShort();
    const uint8_t* header = reinterpret_cast<const uint8_t*>(buffer_.data());
    *type = static_cast<int32_t>(loadBigEndian32(header));
    *total = loadBigEndian32(header + 4);
    if (int64_t{*total} + 8 > available) return tooShort();
    if (*total > kMemoPieceLimit) return 0;
    if (*total + 8 > got) {
      if (!grow(*total + 8)) return engine4error(memo_->ctx, dbf::kErrMemory, kLocationCompress);
      const int rc = file4readAll(memo_, start_ + got, buffer_.data() + got, *total + 8 - got);
      if (rc != 0) return rc;
    }
    return 0;
  }
  const char* data() const { return buffer_.data() + 8; }

  // |length| bytes from data offset |offset| of the memo last read.
  int readPiece(uint32_t offset, uint32_t length) {
    if (!grow(length)) return engine4error(memo_->ctx, dbf::kErrMemory, kLocationCompress);
    return file4readAll(memo_, start_ + 8 + offset, buffer_.data(), length);
  }
  const char* piece() const { return buffer_.data(); }

 private:
  static constexpr uint32_t kFirstRead = 4096;
  bool grow(uint32_t size) {
    if (buffer_.size() >= size) return true;
    try {
      buffer_.resize(size);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }
  int tooShort() {
    return engine4error(memo_->ctx, dbf::kErrRead, kLocationCompress, memo_->name,
                        "table4memoCompress");
  }

  DiskFile* memo_;
  int64_t fileLength_;
  int64_t start_ = 0;
  std::vector<char> buffer_;
};

// Writes the new memo file front to back: nobody else knows the file yet, so
// the next free block is kept in memory and written once at the end, and the
// runs go out through a sequential writer, padded to whole blocks.
class FreshMemoWriter {
 public:
  explicit FreshMemoWriter(DiskFile* memo) : memo_(memo), blockSize_(memo->memoBlockSize) {
    next_ = (kMemoHeaderSize + blockSize_ - 1) / blockSize_;
  }
  int start(EngineContext* ctx) {
    if (!buffer_.take(ctx, 1024)) return engine4error(ctx, -1, kLocationCompress);
    const uint32_t size = buffer_.size - buffer_.size % 1024;
    return file4seqWriteInit(&writer_, memo_, static_cast<int64_t>(next_) * blockSize_,
                             buffer_.data, size);
  }
  // Begins a run of |total| bytes of type |type|; its block goes to |block|.
  int begin(int32_t type, uint32_t total, int32_t* block) {
    const uint64_t blocks = (uint64_t{total} + 8 + blockSize_ - 1) / blockSize_;
    if (next_ + blocks > INT32_MAX) {
      return engine4error(memo_->ctx, dbf::kErrWrite, kLocationCompress, memo_->name,
                          "memo file full");
    }
    uint8_t header[8];
    storeBigEndian32(header, static_cast<uint32_t>(type));
    storeBigEndian32(header + 4, total);
    *block = static_cast<int32_t>(next_);
    next_ += blocks;
    padding_ = blocks * blockSize_ - (uint64_t{total} + 8);
    return file4seqWrite(&writer_, header, sizeof header);
  }
  int write(const char* data, uint32_t length) { return file4seqWrite(&writer_, data, length); }
  int end() {
    return padding_ > 0 ? file4seqWriteRepeat(&writer_, static_cast<int64_t>(padding_), 0) : 0;
  }
  int finish() {
    int rc = file4seqWriteFlush(&writer_);
    uint8_t next[4];
    storeBigEndian32(next, static_cast<uint32_t>(next_));
    if (rc == 0) rc = file4write(memo_, 0, next, sizeof next);
    return rc;
  }

 private:
  DiskFile* memo_;
  uint32_t blockSize_;
  uint64_t next_;
  uint64_t padding_ = 0;
  CopyBuffer buffer_;
  FileSeqWriter writer_;
};

// Copies one memo into the new file; |block| receives its new run.
int copyMemo(OldMemoReader* from, FreshMemoWriter* to, int32_t oldBlock, int32_t* block) {
  *block = 0;
  int32_t type = kMemoTypeText;
  uint32_t total = 0;
  int rc = from->read(oldBlock, &type, &total);
  if (rc != 0 || total == 0) return rc;
  rc = to->begin(type, total, block);
  if (rc != 0) return rc;
  if (total <= kMemoPieceLimit) {
    rc = to->write(from->data(), total);
  } else {
    for (uint32_t done = 0; done < total && rc == 0;) {
      const uint32_t piece = std::min(total - done, kMemoPieceLimit);
      rc = from->readPiece(done, piece);
      if (rc == 0) rc = to->write(from->piece(), piece);
      done += piece;
    }
  }
  return rc == 0 ? to->end() : rc;
}

struct MemoColumns {
  std::vector<const Column*> columns;
  std::vector<int32_t> oldBlocks;  // per record and memo column, in file order
  std::vector<int32_t> newBlocks;
};

// Phase 1: every memo of every record into |fresh|; no record changes.
int copyAllMemos(Table* t, DiskFile* fresh, int64_t count, MemoColumns* memos) {
  DataFile* df = t->dataFile;
  EngineContext* ctx = t->ctx;
  const uint32_t length = df->recordLength;
  CopyBuffer buffer;
  if (!buffer.take(ctx, length)) return engine4error(ctx, -1, kLocationCompress);
  const uint32_t perChunk = buffer.records(length);
  const int64_t oldLength = file4length(&df->memo);
  if (oldLength < 0) return static_cast<int>(oldLength);
  OldMemoReader from(&df->memo, oldLength);
  FreshMemoWriter to(fresh);
  int rc = to.start(ctx);
  for (int64_t n = 1; n <= count && rc == 0;) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<int64_t>(perChunk, count - n + 1));
    rc = file4readAll(&df->data, recordPosition(df, n), buffer.data, chunk * length);
    for (uint32_t i = 0; i < chunk && rc == 0; i++) {
      const char* record = buffer.data + size_t{i} * length;
      for (const Column* c : memos->columns) {
        const int32_t oldBlock = loadReference(c, record);
        int32_t newBlock = 0;
        if (!columnIsNull(t, c, record)) {
          rc = copyMemo(&from, &to, oldBlock, &newBlock);
          if (rc != 0) break;
        }
        memos->oldBlocks.push_back(oldBlock);
        memos->newBlocks.push_back(newBlock);
      }
    }
    n += chunk;
  }
  if (rc == 0) rc = to.finish();
  return rc;
}

// Phase 2: stores |blocks| as the references of every record. A null memo
// keeps its stored reference when |blocks| are the old ones.
int rewriteReferences(Table* t, int64_t count, const MemoColumns& memos,
                      const std::vector<int32_t>& blocks) {
  DataFile* df = t->dataFile;
  const uint32_t length = df->recordLength;
  CopyBuffer buffer;
  if (!buffer.take(t->ctx, length)) return engine4error(t->ctx, -1, kLocationCompress);
  const uint32_t perChunk = buffer.records(length);
  size_t k = 0;
  for (int64_t n = 1; n <= count;) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<int64_t>(perChunk, count - n + 1));
    int rc = file4readAll(&df->data, recordPosition(df, n), buffer.data, chunk * length);
    if (rc != 0) return rc;
    for (uint32_t i = 0; i < chunk; i++) {
      char* record = buffer.data + size_t{i} * length;
      for (const Column* c : memos.columns) storeReference(c, record, blocks[k++]);
    }
    rc = file4write(&df->data, recordPosition(df, n), buffer.data, chunk * length);
    if (rc != 0) return rc;
    n += chunk;
  }
  return file4flush(&df->data);
}

// The Table's buffers hold the record as it was; reload it so that a later
// write does not store references into the old memo file.
void reloadCurrentRecord(Table* t) {
  DataFile* df = t->dataFile;
  for (int32_t i = 0; i < t->memoCount; i++) t->memos[i].reloadNeeded = true;
  if (t->recordNumber <= 0) return;
  if (file4readAll(&df->data, recordPosition(df, t->recordNumber), t->record, df->recordLength) !=
      0) {
    return;
  }
  if (t->oldRecordNumber == t->recordNumber) std::memcpy(t->oldRecord, t->record, df->recordLength);
}

}  // namespace

int table4memoCompress(Table* t) {
  if (t == nullptr) return engine4error(nullptr, dbf::kErrNullHandle, kLocationCompress);
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return dbf::kErrContextHoldsError;
  if (t->memoCount <= 0) return 0;
  if (t->readOnly) return engine4error(ctx, dbf::kErrWrite, kLocationReadOnly, t->alias);

  // A change whose record lock was refused (50) is still only in the buffer,
  // which the copy below reuses: stop rather than lose it.
  int rc = table4flushRecord(t, false);
  if (rc != 0) return rc;
  rc = table4lockFile(t);
  if (rc != 0) return rc;
  DataFile* df = t->dataFile;
  if (df->headerNeedsWriting) {
    rc = dataFile4writeHeader(df);
    if (rc != 0) return rc;
  }
  if (!df->memo.isOpen) return 0;
  rc = memo4lockHeader(t);
  if (rc != 0) return rc;

  const int32_t count = table4recCount(t);
  if (count < 0) return count;
  const int64_t fileLength = file4length(&df->data);
  if (fileLength < 0) return static_cast<int>(fileLength);
  if (recordPosition(df, int64_t{count} + 1) > fileLength) {
    return engine4error(ctx, dbf::kErrRead, kLocationCompress, df->fullName, "table4memoCompress");
  }

  MemoColumns memos;
  try {
    for (int32_t i = 0; i < t->memoCount; i++) memos.columns.push_back(t->memos[i].column);
    const size_t entries = static_cast<size_t>(count) * memos.columns.size();
    memos.oldBlocks.reserve(entries);
    memos.newBlocks.reserve(entries);
  } catch (const std::bad_alloc&) {
    engine4error(ctx, dbf::kErrMemory, kLocationCompress);
    return -1;
  }

  // The new file keeps the old block size (sizes up to 32 become 33, as on
  // every create); the context's own setting is left as it was.
  DiskFile fresh;
  const uint32_t oldBlockSize = df->memo.memoBlockSize;
  rc = memo4fileCreateSized(&fresh, ctx, df, nullptr, oldBlockSize <= 32 ? 33 : oldBlockSize);
  if (rc != 0) return -1;

  rc = copyAllMemos(t, &fresh, count, &memos);
  if (rc == 0) rc = file4flush(&fresh);
  if (rc == 0) {
    rc = rewriteReferences(t, count, memos, memos.newBlocks);
    if (rc != 0) {
      const int saved = engine4errorSet(ctx, 0);
      rewriteReferences(t, count, memos, memos.oldBlocks);
      engine4errorSet(ctx, saved != 0 ? saved : rc);
    }
  }
  if (rc != 0) {
    const int saved = engine4errorSet(ctx, 0);
    file4close(&fresh);  // temporary: removed on close
    engine4errorSet(ctx, saved);
    reloadCurrentRecord(t);
    return -1;
  }

  // The records now name blocks of the new file; it must take the old one's
  // place, or the old references must come back.
  const int64_t handleBefore = df->memo.handle;
  const bool exclusive = df->memo.mode == 1;
  const uint32_t freshBlockSize = fresh.memoBlockSize;
  const std::string freshName(fresh.name != nullptr ? fresh.name : "");
  bool freshInPlace = false;
  rc = file4replace(&df->memo, &fresh, &freshInPlace);
  if (rc != 0 && !exclusive && !freshInPlace && fresh.isOpen && df->memo.isOpen) {
    // The copy over the old file stopped part way. The old contents are no
    // longer referenced and the new ones are still whole in the temporary
    // file: copy once more.
    const int saved = engine4errorSet(ctx, 0);
    rc = file4replace(&df->memo, &fresh, &freshInPlace);
    if (rc != 0) engine4errorSet(ctx, saved);
  }
  if (rc != 0) {
    const int saved = engine4errorSet(ctx, 0);
    if (freshInPlace) {
      // The new file stands under the memo file's name and the references
      // name its blocks; only closing the copy or opening it again failed.
      // An exclusive Table is left without an open memo file.
      if (!df->memo.isOpen) df->memoLockCount = 0;
    } else if (exclusive) {
      // The rename did not happen: the old file is there under its name,
      // untouched (the new one is gone), and the old references come back.
      file4close(&fresh);
      rewriteReferences(t, count, memos, memos.oldBlocks);
      if (!df->memo.isOpen) {
        const uint8_t savedShare = ctx->shareMode;
        ctx->shareMode = 1;
        df->memoLockCount = 0;
        memo4fileOpen(df);
        ctx->shareMode = savedShare;
      }
    } else if (fresh.isOpen) {
      // The copy over the old file failed part way: the new contents survive
      // only in the temporary file, which is therefore kept.
      fresh.deleteOnClose = false;
      file4close(&fresh);
    }
    engine4errorSet(ctx, saved);
    engine4error(ctx, saved < 0 ? saved : -1, kLocationCompress, df->fullName, freshName.c_str());
    reloadCurrentRecord(t);
    return -1;
  }
  df->memo.memoBlockSize = freshBlockSize;
  df->memo.dataFile = df;
  if (df->memo.handle != handleBefore) {
    // A new handle holds no lock; take the memo header lock again.
    df->memoLockCount = 0;
    df->memoLockOwner = 0;
    memo4lockHeader(t);
  }
  const int64_t memoLength = file4length(&df->memo);
  if (memoLength >= 0 && memoLength < int64_t{kMemoHeaderSize}) {
    file4setLength(&df->memo, kMemoHeaderSize);
  }
  reloadCurrentRecord(t);
  return 0;
}
