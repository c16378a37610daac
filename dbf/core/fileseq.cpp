// Sequential reader and writer over a DiskFile, used by table creation, pack
// and memo compression to stream whole files through one buffer.
//
// Chunks are aligned on 1024-byte boundaries of the file: the first chunk is
// shortened by the start position's offset within its 1024-byte block, every
// later chunk fills the whole buffer.
#include <cstring>

#include "dbf/core/context.h"
#include "dbf/core/file.h"

using namespace dbf;

namespace {

constexpr uint32_t kAlign = 1024;
constexpr uint32_t kRepeatPiece = 512;

uint32_t roundedSize(uint32_t size) { return size / kAlign * kAlign; }

uint32_t firstChunk(uint32_t bufferSize, int64_t pos) {
  return bufferSize - static_cast<uint32_t>(pos % kAlign);
}

bool holdsError(const DiskFile* f) { return f->ctx != nullptr && f->ctx->errorCode < 0; }

// Reports a failed sequential read unless the failure is already stored.
void reportRead(FileSeqReader* r, uint32_t len, int location, const char* routine) {
  char where[40];
  file4positionText(where, r->pos, len);
  engine4error(r->file->ctx, kErrRead, location, r->file->name, where, routine);
}

// Writes the gathered bytes; the next chunk is a whole buffer.
int writePending(FileSeqWriter* w, int location) {
  if (w->pending > 0) {
    if (file4write(w->file, w->pos, w->buffer, w->pending) != kOk) {
      return engine4error(w->file->ctx, kErrWrite, location, w->file->name);
    }
    w->pos += w->pending;
  }
  w->pending = 0;
  w->free = w->bufferSize;
  return kOk;
}

int putBytes(FileSeqWriter* w, const char* data, uint32_t len, int location) {
  if (w->file == nullptr) return engine4error(nullptr, kErrNullHandle, location);
  if (holdsError(w->file)) return kErrContextHoldsError;
  if (w->bufferSize == 0) {
    if (len == 0) return kOk;
    if (file4write(w->file, w->pos, data, len) != kOk) {
      return engine4error(w->file->ctx, kErrWrite, location, w->file->name);
    }
    w->pos += len;
    return kOk;
  }
  while (len > 0) {
    uint32_t n = len < w->free ? len : w->free;
    memcpy(w->buffer + w->pending, data, n);
    w->pending += n;
    w->free -= n;
    data += n;
    len -= n;
    if (w->free == 0 && writePending(w, location) != kOk) return w->file->ctx->errorCode;
  }
  return kOk;
}

}  // namespace

int file4seqReadInit(FileSeqReader* r, DiskFile* f, int64_t pos, void* buf, uint32_t size) {
  if (r == nullptr || f == nullptr || pos < 0) {
    return engine4error(f != nullptr ? f->ctx : nullptr, kErrNullHandle, 90703);
  }
  *r = FileSeqReader{};
  r->file = f;
  r->pos = pos;
  r->buffer = static_cast<char*>(buf);
  r->bufferSize = buf != nullptr ? roundedSize(size) : 0;
  if (r->bufferSize > 0) r->nextChunk = firstChunk(r->bufferSize, pos);
  return kOk;
}

uint32_t file4seqRead(FileSeqReader* r, void* dest, uint32_t len) {
  if (r == nullptr || r->file == nullptr || (dest == nullptr && len != 0)) {
    engine4error(r != nullptr && r->file != nullptr ? r->file->ctx : nullptr, kErrNullHandle,
                 90701);
    return 0;
  }
  if (holdsError(r->file)) return 0;
  char* out = static_cast<char*>(dest);
  if (r->bufferSize == 0) {
    uint32_t n = file4read(r->file, r->pos, out, len);
    if (holdsError(r->file)) {
      reportRead(r, len, 90701, "file4seqRead");
      return 0;
    }
    r->pos += n;
    return n;
  }
  uint32_t delivered = 0;
  while (delivered < len) {
    if (r->pending == 0) {
      uint32_t n = file4read(r->file, r->pos, r->buffer, r->nextChunk);
      if (holdsError(r->file)) {
        reportRead(r, r->nextChunk, 90701, "file4seqRead");
        return delivered;
      }
      if (n == 0) break;  // end of file
      r->pos += n;
      r->avail = n;
      r->pending = n;
      r->nextChunk = r->bufferSize;
    }
    uint32_t take = len - delivered < r->pending ? len - delivered : r->pending;
    memcpy(out + delivered, r->buffer + (r->avail - r->pending), take);
    r->pending -= take;
    delivered += take;
  }
  return delivered;
}

int file4seqReadAll(FileSeqReader* r, void* dest, uint32_t len) {
  if (r == nullptr || r->file == nullptr) return engine4error(nullptr, kErrNullHandle, 90702);
  if (holdsError(r->file)) return -1;
  uint32_t n = file4seqRead(r, dest, len);
  if (n == len) return kOk;
  if (holdsError(r->file)) return r->file->ctx->errorCode;
  reportRead(r, len, 90702, "file4seqReadAll");
  return kErrRead;
}

int file4seqWriteInit(FileSeqWriter* w, DiskFile* f, int64_t pos, void* buf, uint32_t size) {
  if (w == nullptr || f == nullptr || pos < 0) {
    return engine4error(f != nullptr ? f->ctx : nullptr, kErrNullHandle, 90706);
  }
  *w = FileSeqWriter{};
  w->file = f;
  w->pos = pos;
  w->buffer = static_cast<char*>(buf);
  w->bufferSize = buf != nullptr ? roundedSize(size) : 0;
  if (w->bufferSize > 0) w->free = firstChunk(w->bufferSize, pos);
  return kOk;
}

int file4seqWrite(FileSeqWriter* w, const void* data, uint32_t len) {
  if (w == nullptr || (data == nullptr && len != 0)) {
    return engine4error(nullptr, kErrNullHandle, 90704);
  }
  return putBytes(w, static_cast<const char*>(data), len, 90704);
}

int file4seqWriteRepeat(FileSeqWriter* w, int64_t count, char byte) {
  if (w == nullptr || count < 0) return engine4error(nullptr, kErrNullHandle, 90707);
  char piece[kRepeatPiece];
  memset(piece, byte, sizeof piece);
  while (count > 0) {
    uint32_t n = count < kRepeatPiece ? static_cast<uint32_t>(count) : kRepeatPiece;
    int rc = putBytes(w, piece, n, 90707);
    if (rc != kOk) return rc;
    count -= n;
  }
  return kOk;
}

int file4seqWriteFlush(FileSeqWriter* w) {
  if (w == nullptr || w->file == nullptr) return engine4error(nullptr, kErrNullHandle, 90705);
  if (holdsError(w->file)) return kErrContextHoldsError;
  if (w->bufferSize == 0) return kOk;
  // A flush keeps the alignment: the next chunk only fills the rest of the
  // 1024-byte block the writer has reached.
  if (w->pending > 0) {
    if (file4write(w->file, w->pos, w->buffer, w->pending) != kOk) {
      return engine4error(w->file->ctx, kErrWrite, 90705, w->file->name);
    }
    w->pos += w->pending;
  }
  w->pending = 0;
  w->free = firstChunk(w->bufferSize, w->pos);
  return kOk;
}
