// Opening and closing index files: the directory header, every tag header
// with its expressions, the IndexFiles a DataFile shares among its Tables and
// the handles each Table holds; tag lookup by name, the tag that orders a
// Table, and the version counter that tells whether someone else changed the
// file.
//
// A header is checked before anything in it is used: the directory's root
// and options, each tag's header offset, collating name, key length,
// expression lengths and terminators, the key length the key expression
// makes, and a logical FOR expression. Any failure closes what was opened and
// leaves the file as it was.
#include <cstring>
#include <new>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/core/text.h"
#include "dbf/expr/expression.h"
#include "dbf/index/node.h"

using namespace dbf;

namespace {

constexpr int kLocationOpen = 91701;
constexpr int kLocationClose = 91702;
constexpr int kLocationAlreadyOpen = 91707;
constexpr int kLocationVersion = 91711;
constexpr int kLocationDirectory = 81601;
constexpr int kLocationTagHeader = 81602;
constexpr int kLocationKeyLength = 81603;
constexpr int kLocationExpression = 81604;
constexpr int kLocationKeyType = 81605;
constexpr int kLocationTagName = 92401;
constexpr int kLocationSelect = 92402;
}  // namespace

TagHeader header4parse(const uint8_t* h) {
  TagHeader t{};
  t.root = static_cast<int32_t>(cdx4get32(h));
  t.freeHead = static_cast<int32_t>(cdx4get32(h + 4));
  t.version = cdx4get32be(h + 8);
  t.keyLength = cdx4get16(h + 12);
  t.options = h[14];
  t.signature = h[15];
  std::memcpy(t.collatingName, h + 494, 8);
  t.descending = cdx4get16(h + 502);
  t.keyExpressionLength504 = cdx4get16(h + 504);
  t.forExpressionLength = cdx4get16(h + 506);
  t.reserved508 = cdx4get16(h + 508);
  t.keyExpressionLength = cdx4get16(h + 510);
  return t;
}

namespace {

// Reads the 1024 bytes of a header and its expression area.
int readHeader(IndexFile* f, int32_t offset, uint8_t* out, const char* what) {
  if (file4read(&f->file, offset, out, kIndexHeaderSize) == kIndexHeaderSize) return 0;
  if (f->ctx->errorCode < 0) return f->ctx->errorCode;
  return index4damaged(f, kLocationTagHeader, what);
}

Tag* newTag(IndexFile* f, const char* name, int32_t headerOffset, const TagHeader& header) {
  Tag* tag = new (std::nothrow) Tag{};
  if (tag == nullptr) {
    engine4error(f->ctx, kErrMemory, kLocationOpen);
    return nullptr;
  }
  tag->indexFile = f;
  tag->ctx = f->ctx;
  std::strncpy(tag->name, name, sizeof tag->name - 1);
  tag->headerOffset = headerOffset;
  tag->header = header;
  tag->compare = key4compareBytes;
  tag->keyType = 'C';
  tag->pad = ' ';
  return tag;
}

void freeTag(Tag* tag) {
  tag4dropNodes(tag);
  expression4free(tag->keyExpression);
  expression4free(tag->forExpression);
  delete tag;
}

// Closes the file and frees everything it holds; the file is off every list.
int closeFile(IndexFile* f) {
  int rc = 0;
  auto keep = [&rc](int r) {
    if (r < 0 && rc == 0) rc = r;
  };
  // What this process changed reaches the file first (the version counter
  // with it), and a lock still held ends.
  keep(index4unlock(f));
  keep(index4flush(f));
  while (f->tags != nullptr) {
    Tag* tag = f->tags;
    f->tags = tag->next;
    keep(tag4dropNodes(tag));
    freeTag(tag);
  }
  if (f->directory != nullptr) {
    keep(tag4dropNodes(f->directory));
    freeTag(f->directory);
  }
  index4freePool(f);
  keep(file4close(&f->file));
  delete f;
  return rc;
}

// The expression area of a tag header: the key expression text and its zero
// byte, then the FOR expression text and its zero byte. False when a length
// is out of range or a text does not end where its length says.
bool expressionsFit(const uint8_t* area, const TagHeader& h) {
  auto text = [area](int at, int length) {
    if (length < 2 || length > 255 || at + length > kIndexUnit) return false;
    return area[at + length - 1] == 0 &&
           std::memchr(area + at, 0, static_cast<size_t>(length - 1)) == nullptr;
  };
  if (!text(0, h.keyExpressionLength)) return false;
  if ((h.options & kTagHasFor) == 0) return true;
  return text(h.keyExpressionLength, h.forExpressionLength);
}

// Parses the key (and FOR) expression of |tag| against |t| and derives what
// the keys look like: type, collation, null marker, pad byte, unique mode.
int bindExpressions(IndexFile* f, Tag* tag, Table* t, const uint8_t* area) {
  EngineContext* ctx = f->ctx;
  const TagHeader& h = tag->header;
  const char* keyText = reinterpret_cast<const char*>(area);
  tag->keyExpression = expression4parse(t, keyText, tag);
  if (tag->keyExpression == nullptr)
    return ctx->errorCode < 0 ? ctx->errorCode : index4damaged(f, kLocationExpression, keyText);
  const bool general = std::memcmp(h.collatingName, "GENERAL", 8) == 0;
  int rc = collation4bind(&tag->collation, general ? kCollationGeneral : kCollationMachine,
                          f->dataFile->codePageMark, ctx);
  if (rc < 0) return rc;
  tag->keyType = tag->keyExpression->type;
  tag->nullMarker = key4nullMarker(tag->keyExpression, h.options);
  const int length =
      key4length(tag->keyExpression, general && tag->keyType == 'C', tag->nullMarker);
  if (length < 0) return engine4error(ctx, kErrKeyType, kLocationKeyType, f->file.name, keyText);
  if (length != h.keyLength) return index4damaged(f, kLocationKeyLength, tag->name);
  tag->pad = tag->keyType == 'C' && !general ? ' ' : 0;
  if ((h.options & kTagCandidate) != 0)
    tag->uniqueMode = ctx->defaultUniqueMode == kUniqueError ? kCandidateError : kCandidateReturn;
  else if ((h.options & kTagUnique) != 0)
    tag->uniqueMode = static_cast<int16_t>(ctx->defaultUniqueMode);
  if ((h.options & kTagHasFor) == 0) return 0;
  const char* forText = keyText + h.keyExpressionLength;
  tag->forExpression = expression4parse(t, forText, tag);
  if (tag->forExpression == nullptr)
    return ctx->errorCode < 0 ? ctx->errorCode : index4damaged(f, kLocationExpression, forText);
  if (tag->forExpression->type != 'L') return index4damaged(f, kLocationExpression, forText);
  return 0;
}

// Reads and checks the tag header at |offset| and sets the tag up.
Tag* readTag(IndexFile* f, Table* t, const char* name, int32_t offset) {
  uint8_t h[kIndexHeaderSize];
  if (readHeader(f, offset, h, name) < 0) return nullptr;
  const TagHeader header = header4parse(h);
  const bool general = std::memcmp(header.collatingName, "GENERAL", 8) == 0;
  const bool machine = std::memcmp(header.collatingName, "\0\0\0\0\0\0\0\0", 8) == 0;
  if ((header.options & kTagCompact) == 0 || (!general && !machine) || header.descending > 1 ||
      header.keyLength < 1 || header.keyLength > kMaxKeyLength || header.root <= 0 ||
      !expressionsFit(h + kIndexUnit, header)) {
    index4damaged(f, kLocationTagHeader, name);
    return nullptr;
  }
  Tag* tag = newTag(f, name, offset, header);
  if (tag == nullptr) return nullptr;
  if (bindExpressions(f, tag, t, h + kIndexUnit) < 0) {
    freeTag(tag);
    return nullptr;
  }
  return tag;
}

// The name of a directory key: trailing blanks and zeros cut, upper case.
void tagNameOf(const char* key, char* name) {
  int n = static_cast<int>(kTagNameLength);
  while (n > 0 && (key[n - 1] == ' ' || key[n - 1] == 0)) --n;
  for (int i = 0; i < n; ++i)
    name[i] = static_cast<char>(char4upper(static_cast<unsigned char>(key[i])));
  name[n] = 0;
}

bool headerTaken(const IndexFile* f, int32_t offset) {
  for (const Tag* tag = f->tags; tag != nullptr; tag = tag->next)
    if (tag->headerOffset == offset) return true;
  return false;
}

// Walks the directory tag in key order and reads each tag it names.
int readDirectory(IndexFile* f, Table* t, const TagHeader& header) {
  if (header.keyLength != kTagNameLength) return index4damaged(f, kLocationDirectory, "directory");
  f->directory = newTag(f, "", 0, header);
  if (f->directory == nullptr) return kErrMemory;
  Tag* dir = f->directory;
  Tag** tail = &f->tags;
  int rc = order4top(dir);
  while (rc >= 0 && order4eof(dir) == 0) {
    const char* entry = order4keyData(dir);
    char name[kTagNameLength + 1];
    tagNameOf(entry + 4, name);
    int32_t offset = 0;
    std::memcpy(&offset, entry, 4);
    if (name[0] == 0 || offset < kIndexHeaderSize || offset % kIndexUnit != 0 ||
        offset > f->endOfFile - kIndexHeaderSize || headerTaken(f, offset))
      return index4damaged(f, kLocationDirectory, name);
    Tag* tag = readTag(f, t, name, offset);
    if (tag == nullptr) return f->ctx->errorCode < 0 ? f->ctx->errorCode : kErrIndex;
    *tail = tag;
    tail = &tag->next;
    ++f->tagCount;
    if (order4skip(dir, 1) != 1) break;
  }
  if (f->ctx->errorCode < 0) return f->ctx->errorCode;
  tag4dropNodes(dir);
  return 0;
}

// A single-tag file: its header at 0 is the tag, named after the file.
int readSingleTag(IndexFile* f, Table* t) {
  const char* base = f->file.name;
  for (const char* p = base; *p != 0; ++p)
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
  char name[kTagNameLength + 1] = {};
  for (uint32_t i = 0; i < kTagNameLength && base[i] != 0 && base[i] != '.'; ++i) name[i] = base[i];
  f->tags = readTag(f, t, name, 0);
  if (f->tags == nullptr) return f->ctx->errorCode < 0 ? f->ctx->errorCode : kErrIndex;
  f->tagCount = 1;
  return 0;
}

int readTags(IndexFile* f, Table* t) {
  uint8_t h[kIndexHeaderSize];
  int rc = readHeader(f, 0, h, "directory");
  if (rc < 0) return rc;
  const TagHeader header = header4parse(h);
  if (header.root <= 0 || (header.options & kTagCompact) == 0)
    return index4damaged(f, kLocationDirectory, "directory");
  f->version = header.version;
  if ((header.options & kTagCompound) != 0) return readDirectory(f, t, header);
  return readSingleTag(f, t);
}

bool sameBaseName(const char* a, const char* b) {
  const char* dotA = std::strrchr(a, '.');
  const char* dotB = std::strrchr(b, '.');
  const size_t la = dotA != nullptr ? static_cast<size_t>(dotA - a) : std::strlen(a);
  const size_t lb = dotB != nullptr ? static_cast<size_t>(dotB - b) : std::strlen(b);
  return la == lb && std::memcmp(a, b, la) == 0;
}

IndexFile* openFile(Table* t, const char* fullName) {
  EngineContext* ctx = t->ctx;
  IndexFile* f = new (std::nothrow) IndexFile{};
  if (f == nullptr) {
    engine4error(ctx, kErrMemory, kLocationOpen);
    return nullptr;
  }
  f->ctx = ctx;
  f->dataFile = t->dataFile;
  if (file4open(&f->file, ctx, fullName, true) != 0) {
    delete f;
    return nullptr;
  }
  const int64_t length = file4length(&f->file);
  int rc = length < 0 ? static_cast<int>(length) : 0;
  if (rc == 0 && length > kLargestIndexFile) rc = index4damaged(f, kLocationDirectory, "length");
  if (rc == 0) {
    f->endOfFile = static_cast<int32_t>(length);
    rc = readTags(f, t);
  }
  if (rc < 0) {
    const int saved = engine4errorSet(ctx, 0);
    closeFile(f);
    engine4errorSet(ctx, saved);
    return nullptr;
  }
  f->production =
      (t->dataFile->tableFlags & 0x01) != 0 && sameBaseName(fullName, t->dataFile->fullName);
  return f;
}

IndexHandle* handleOf(Table* t, const IndexFile* f) {
  for (IndexHandle* h = t->indexes; h != nullptr; h = h->next)
    if (h->file == f) return h;
  return nullptr;
}

// Gives |t| a handle on |f| with one TagHandle per tag, appended to its list.
IndexHandle* addHandle(Table* t, IndexFile* f) {
  IndexHandle* h = new (std::nothrow) IndexHandle{};
  if (h == nullptr) {
    engine4error(t->ctx, kErrMemory, kLocationOpen);
    return nullptr;
  }
  h->table = t;
  h->file = f;
  TagHandle** tail = &h->tags;
  for (Tag* tag = f->tags; tag != nullptr; tag = tag->next) {
    TagHandle* th = new (std::nothrow) TagHandle{};
    if (th == nullptr) {
      for (TagHandle* x = h->tags; x != nullptr;) {
        TagHandle* next = x->next;
        delete x;
        x = next;
      }
      delete h;
      engine4error(t->ctx, kErrMemory, kLocationOpen);
      return nullptr;
    }
    th->index = h;
    th->tag = tag;
    th->uniqueMode = tag->uniqueMode;
    *tail = th;
    tail = &th->next;
  }
  IndexHandle** end = &t->indexes;
  while (*end != nullptr) end = &(*end)->next;
  *end = h;
  ++f->openCount;
  return h;
}

// Binds every tag expression of |f| that reads through |from| to |to|; with
// no |to| (no Table left to read through) they stay unbound.
void rebindFile(IndexFile* f, const Table* from, Table* to) {
  for (Tag* tag = f->tags; tag != nullptr; tag = tag->next) {
    for (Expression* e : {tag->keyExpression, tag->forExpression}) {
      if (e == nullptr || e->table != from) continue;
      if (to != nullptr)
        expression4bind(e, to);
      else
        e->table = nullptr;
    }
  }
}

// Another Table of this context that uses |f|, or null.
Table* otherUser(const IndexFile* f, const Table* leaving) {
  for (Table* g = f->ctx->defaultGroup.first; g != nullptr; g = g->nextInGroup)
    if (g != leaving && g->dataFile == f->dataFile && handleOf(g, f) != nullptr) return g;
  return nullptr;
}

void unlinkFile(IndexFile* f) {
  for (IndexFile** p = &f->dataFile->indexes; *p != nullptr; p = &(*p)->next) {
    if (*p == f) {
      *p = f->next;
      return;
    }
  }
}

}  // namespace

IndexHandle* index4open(Table* t, const char* name) {
  if (t == nullptr || t->dataFile == nullptr) {
    engine4error(t != nullptr ? t->ctx : nullptr, kErrNullHandle, kLocationOpen);
    return nullptr;
  }
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return nullptr;
  char fullName[kIndexNameCapacity];
  if (index4fullName(fullName, name, t->dataFile->fullName) < 0) {
    engine4error(ctx, kErrParameter, kLocationOpen, name);
    return nullptr;
  }
  for (IndexFile* f = t->dataFile->indexes; f != nullptr; f = f->next) {
    if (std::strcmp(f->file.name, fullName) != 0) continue;
    if (handleOf(t, f) != nullptr) {
      engine4error(ctx, kErrAlreadyOpen, kLocationAlreadyOpen, fullName);
      return nullptr;
    }
    IndexHandle* h = addHandle(t, f);
    if (h != nullptr) rebindFile(f, nullptr, t);
    return h;
  }
  IndexFile* f = openFile(t, fullName);
  if (f == nullptr) return nullptr;
  IndexHandle* h = addHandle(t, f);
  if (h == nullptr) {
    closeFile(f);
    return nullptr;
  }
  f->next = t->dataFile->indexes;
  t->dataFile->indexes = f;
  return h;
}

int index4close(IndexHandle* h) {
  if (h == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationClose);
  Table* t = h->table;
  IndexFile* f = h->file;
  if (t->order != nullptr && t->order->indexFile == f) t->order = nullptr;
  for (IndexHandle** p = &t->indexes; *p != nullptr; p = &(*p)->next) {
    if (*p == h) {
      *p = h->next;
      break;
    }
  }
  while (h->tags != nullptr) {
    TagHandle* next = h->tags->next;
    delete h->tags;
    h->tags = next;
  }
  delete h;
  --f->openCount;
  rebindFile(f, t, otherUser(f, t));
  if (f->openCount > 0 || f->production) return 0;
  unlinkFile(f);
  return closeFile(f);
}

int index4closeDataFile(DataFile* d) {
  int rc = 0;
  while (d->indexes != nullptr) {
    IndexFile* f = d->indexes;
    d->indexes = f->next;
    int r = closeFile(f);
    if (r < 0 && rc == 0) rc = r;
  }
  return rc;
}

Tag* table4tagByName(Table* t, const char* name) {
  if (t == nullptr || name == nullptr) {
    engine4error(t != nullptr ? t->ctx : nullptr, kErrNullHandle, kLocationTagName);
    return nullptr;
  }
  size_t n = std::strlen(name);
  while (n > 0 && name[n - 1] == ' ') --n;
  if (n <= kTagNameLength) {
    char wanted[kTagNameLength + 1] = {};
    for (size_t i = 0; i < n; ++i)
      wanted[i] = static_cast<char>(char4upper(static_cast<unsigned char>(name[i])));
    for (IndexHandle* h = t->indexes; h != nullptr; h = h->next)
      for (TagHandle* th = h->tags; th != nullptr; th = th->next)
        if (std::strcmp(th->tag->name, wanted) == 0) return th->tag;
  }
  if (t->ctx->reportTagNameErrors != 0) engine4error(t->ctx, kErrTagName, kLocationTagName, name);
  return nullptr;
}

TagHandle* table4tagHandle(Table* t, const Tag* tag) {
  if (t == nullptr || tag == nullptr) return nullptr;
  for (IndexHandle* h = t->indexes; h != nullptr; h = h->next)
    for (TagHandle* th = h->tags; th != nullptr; th = th->next)
      if (th->tag == tag) return th;
  return nullptr;
}

int table4selectTag(Table* t, Tag* tag) {
  if (t == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationSelect);
  if (tag != nullptr && table4tagHandle(t, tag) == nullptr)
    return engine4error(t->ctx, kErrParameter, kLocationSelect, t->alias);
  t->order = tag;
  return 0;
}

int index4checkVersion(IndexFile* f, bool adopt) {
  if (f == nullptr) return engine4error(nullptr, kErrNullHandle, kLocationVersion);
  if (!(f->file.mode == 0 && f->lockOwner == 0)) return 0;
  uint8_t head[16];
  if (file4read(&f->file, 0, head, sizeof head) != sizeof head) {
    if (f->ctx->errorCode < 0) return f->ctx->errorCode;
    return index4damaged(f, kLocationVersion, "version");
  }
  const uint32_t version = cdx4get32be(head + 8);
  if (version == f->version) return 0;
  if (adopt) f->version = version;
  int rc = f->directory != nullptr ? tag4dropNodes(f->directory) : 0;
  for (Tag* tag = f->tags; tag != nullptr; tag = tag->next) {
    int r = tag4dropNodes(tag);
    if (r < 0 && rc == 0) rc = r;
  }
  return rc < 0 ? rc : 1;
}
