// Creating an index file from a list of tag descriptions (index4create), and
// the table code's entries for tags: a new table's production index, the
// unique modes its handles take, and the rebuild of a Table's index files.
//
// Creation checks every description first, so that bad input leaves nothing
// behind. It then writes the file as it looks with no keys (the directory
// naming every tag, each tag an empty root leaf), opens it like any index
// file, and rebuilds it from the table's records. A failure at any point
// closes the new file and removes it again.
#include <algorithm>
#include <cstring>
#include <new>

#include "dbf/core/context.h"
#include "dbf/core/index_seam.h"
#include "dbf/core/table.h"
#include "dbf/core/text.h"
#include "dbf/expr/expression.h"
#include "dbf/index/build.h"
#include "dbf/index/builder.h"

using namespace dbf;

namespace {

constexpr int kLocationNull = 85300;
constexpr int kLocationUnique = 85301;
constexpr int kLocationDescending = 85302;
constexpr int kLocationNoExpression = 85303;
constexpr int kLocationTooLong = 85304;
constexpr int kLocationName = 85305;
constexpr int kLocationKey = 85306;
constexpr int kLocationMemory = 85307;
constexpr int kLocationDuplicate = 85308;
constexpr int kLocationLock = 85309;
constexpr int kLocationNotExclusive = 81306;
constexpr int kLocationNameOpen = 81703;
constexpr int kLocationMissingTag = 81406;
constexpr size_t kMaxExpression = 254;
constexpr uint8_t kDirectoryOptions = kTagDirectory | kTagCompound | kTagCompact;
constexpr uint8_t kTagOptions = kTagCompound | kTagCompact;

// A description's tag name as the directory holds it: at most 10 characters,
// trailing blanks cut, upper case. False when nothing printable is left.
bool tagName(const char* from, char* name) {
  size_t n = 0;
  while (n < kTagNameLength && from[n] != 0) ++n;
  while (n > 0 && from[n - 1] == ' ') --n;
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(from[i]);
    if (c < 0x21 || c > 0x7E) return false;
    name[i] = static_cast<char>(char4upper(c));
  }
  name[n] = 0;
  return n > 0;
}

// One checked description: what its header says.
struct PlannedTag {
  char name[kTagNameLength + 1];
  const char* expression;
  const char* filter;  // null when there is none
  int16_t unique;
  TagHeader header;
};

int badDescription(EngineContext* ctx, int location, const char* text) {
  return engine4error(ctx, kErrTagDescription, location, text);
}

uint8_t uniqueOption(int16_t mode) {
  switch (mode) {
    case kUniqueNone:
      return 0;
    case kCandidateReturn:
    case kCandidateError:
      return kTagCandidate;
    case kUniqueReturn:
    case kUniqueIgnore:
    case kUniqueError:
      return kTagUnique;
    default:
      return 0xFF;
  }
}

// Compiles |text| as an index expression of |t| to learn its type; -1410,
// the compiler's code, or 0 with *out set (the caller frees it).
int compile(Table* t, const char* text, int location, Expression** out) {
  Tag flag{};  // marks the text as an index expression
  int status = 0;
  *out = expression4parse(t, text, &flag, &status);
  if (*out != nullptr) return 0;
  if (t->ctx->errorCode < 0) return t->ctx->errorCode;
  return engine4error(t->ctx, status < 0 ? status : kErrTagDescription, location, text);
}

// The key length and options the description makes, checked as an open will
// check them.
int planKey(Table* t, PlannedTag* p) {
  EngineContext* ctx = t->ctx;
  Expression* key = nullptr;
  int rc = compile(t, p->expression, kLocationNoExpression, &key);
  if (rc != 0) return rc;
  const bool general = ctx->newTagCollation == kCollationGeneral;
  Collation collation{};
  rc = collation4bind(&collation, general ? kCollationGeneral : kCollationMachine,
                      t->dataFile->codePageMark, ctx);
  if (rc == 0) {
    if (general) std::memcpy(p->header.collatingName, "GENERAL", 8);
    const bool marker = key4nullMarker(key, p->header.options);
    const int length = key4length(key, general && key->type == 'C', marker);
    if (length < 0) {
      rc = engine4error(ctx, kErrKeyType, kLocationKey, p->expression);
    } else if (length > kMaxKeyLength) {
      rc = badDescription(ctx, kLocationKey, p->expression);
    } else {
      p->header.keyLength = static_cast<uint16_t>(length);
    }
  }
  expression4free(key);
  if (rc != 0 || p->filter == nullptr) return rc;
  Expression* filter = nullptr;
  rc = compile(t, p->filter, kLocationKey, &filter);
  if (rc == 0 && filter->type != 'L') rc = badDescription(ctx, kLocationKey, p->filter);
  expression4free(filter);
  return rc;
}

int planTag(Table* t, const TagDescription& d, PlannedTag* p) {
  EngineContext* ctx = t->ctx;
  *p = PlannedTag{};
  if (!tagName(d.name, p->name)) return badDescription(ctx, kLocationName, d.name);
  const uint8_t option = uniqueOption(d.unique);
  if (option == 0xFF) return badDescription(ctx, kLocationUnique, p->name);
  if (d.descending != 0 && d.descending != kTagDescending)
    return badDescription(ctx, kLocationDescending, p->name);
  if (d.expression == nullptr || d.expression[0] == 0)
    return badDescription(ctx, kLocationNoExpression, p->name);
  if (std::strlen(d.expression) > kMaxExpression)
    return badDescription(ctx, kLocationTooLong, d.expression);
  p->expression = d.expression;
  p->unique = d.unique;
  p->header.options = static_cast<uint8_t>(kTagOptions | option);
  p->header.signature = 1;
  p->header.descending = d.descending != 0 ? 1 : 0;
  if (d.filter != nullptr && d.filter[0] != 0) {
    if (std::strlen(d.filter) > kMaxExpression)
      return badDescription(ctx, kLocationTooLong, d.filter);
    p->filter = d.filter;
    p->header.options |= kTagHasFor;
  }
  return planKey(t, p);
}

struct Plan {
  PlannedTag* tags = nullptr;
  int count = 0;
  EngineContext* ctx = nullptr;
  ~Plan() { heap4free(ctx, tags); }
};

int planAll(Table* t, const TagDescription* list, Plan* plan) {
  plan->ctx = t->ctx;
  int n = 0;
  while (list[n].name != nullptr) ++n;
  plan->tags = static_cast<PlannedTag*>(
      heap4alloc(t->ctx, static_cast<unsigned>((n + 1) * sizeof(PlannedTag))));
  if (plan->tags == nullptr) return engine4error(t->ctx, kErrMemory, kLocationMemory);
  for (int i = 0; i < n; ++i) {
    int rc = planTag(t, list[i], &plan->tags[i]);
    if (rc != 0) return rc;
  }
  plan->count = n;
  return 0;
}

// --- the file as it looks with no keys ---

struct DirectoryEntry {
  char name[kTagNameLength];
  int32_t offset;
};

// Writes the directory tree and one empty root leaf per tag; the roots go to
// the planned headers, the directory's to |directoryRoot|.
int writeTrees(EngineContext* ctx, DiskFile* file, Plan* plan, int32_t* directoryRoot) {
  const int n = plan->count;
  auto* entries = static_cast<DirectoryEntry*>(
      heap4alloc(ctx, static_cast<unsigned>((n + 1) * sizeof(DirectoryEntry))));
  char* buffer = static_cast<char*>(heap4alloc(ctx, kIndexHeaderSize * 4));
  TagBuilder* builder = nullptr;
  FileSeqWriter writer;
  int32_t nextNode = kIndexHeaderSize * (n + 1);
  int rc = entries != nullptr && buffer != nullptr ? 0 : kErrMemory;
  if (rc == 0) {
    builder = new (std::nothrow) TagBuilder(ctx, file, &writer, &nextNode);
    if (builder == nullptr) rc = kErrMemory;
  }
  if (rc != 0) rc = engine4error(ctx, kErrMemory, kLocationMemory);
  if (rc == 0) rc = file4seqWriteInit(&writer, file, nextNode, buffer, kIndexHeaderSize * 4);
  if (rc == 0) {
    for (int i = 0; i < n; ++i) {
      std::memset(entries[i].name, ' ', kTagNameLength);
      std::memcpy(entries[i].name, plan->tags[i].name, std::strlen(plan->tags[i].name));
      entries[i].offset = kIndexHeaderSize * (i + 1);
    }
    std::sort(entries, entries + n, [](const DirectoryEntry& a, const DirectoryEntry& b) {
      const int c = std::memcmp(a.name, b.name, kTagNameLength);
      return c != 0 ? c < 0 : a.offset < b.offset;
    });
    TreeRules rules{static_cast<int>(kTagNameLength),
                    ' ',
                    true,
                    true,
                    kUniqueError,
                    static_cast<uint32_t>(n) * kIndexHeaderSize,
                    "directory",
                    file->name};
    builder->start(rules);
    for (int i = 0; rc == 0 && i < n; ++i) rc = builder->add(entries[i].name, entries[i].offset);
    if (rc == 0) rc = builder->finish(directoryRoot);
  }
  for (int i = 0; rc == 0 && i < n; ++i) {
    PlannedTag& p = plan->tags[i];
    TreeRules rules{p.header.keyLength, 0, true, false, kUniqueNone, 0, p.name, file->name};
    builder->start(rules);
    rc = builder->finish(&p.header.root);
  }
  if (rc == 0) rc = file4seqWriteFlush(&writer);
  delete builder;
  heap4free(ctx, buffer);
  heap4free(ctx, entries);
  return rc;
}

int writeSkeleton(EngineContext* ctx, DiskFile* file, Plan* plan) {
  TagHeader directory{};
  int rc = writeTrees(ctx, file, plan, &directory.root);
  if (rc != 0) return rc;
  directory.keyLength = kTagNameLength;
  directory.options = kDirectoryOptions;
  directory.signature = 1;
  uint8_t image[kIndexHeaderSize];
  header4image(image, directory, "", nullptr);
  rc = file4write(file, 0, image, kIndexHeaderSize);
  for (int i = 0; rc == 0 && i < plan->count; ++i) {
    const PlannedTag& p = plan->tags[i];
    header4image(image, p.header, p.expression, p.filter);
    rc = file4write(file, kIndexHeaderSize * (i + 1), image, kIndexHeaderSize);
  }
  return rc;
}

// Creates |fullName| with the planned tags and opens it for |t|.
IndexHandle* createAndOpen(Table* t, const char* fullName, Plan* plan) {
  EngineContext* ctx = t->ctx;
  DiskFile file;
  const uint8_t savedShare = ctx->shareMode;
  ctx->shareMode = t->dataFile->mode;  // the index is shared as its table is
  int rc = file4create(&file, ctx, fullName, true);
  IndexHandle* h = nullptr;
  if (rc == 0) {
    rc = writeSkeleton(ctx, &file, plan);
    const int saved = engine4errorSet(ctx, 0);
    const int closed = file4close(&file);
    engine4errorSet(ctx, saved);
    if (rc == 0) rc = closed;
    if (rc == 0) h = index4open(t, fullName);
    if (h == nullptr) file4remove(fullName);
  }
  ctx->shareMode = savedShare;
  return h;
}

void setUniqueModes(IndexHandle* h, const Plan& plan) {
  for (TagHandle* th = h->tags; th != nullptr; th = th->next)
    for (int i = 0; i < plan.count; ++i)
      if (std::strcmp(th->tag->name, plan.tags[i].name) == 0) th->uniqueMode = plan.tags[i].unique;
}

int markProduction(IndexFile* f) {
  DataFile* d = f->dataFile;
  d->tableFlags |= 0x01;
  d->header[28] |= 0x01;
  f->production = true;
  return file4write(&d->data, 28, &d->header[28], 1);
}

// Builds the new file's tags; on failure closes and removes the file.
IndexHandle* build(IndexHandle* h, const char* fullName, bool production) {
  EngineContext* ctx = h->table->ctx;
  int rc = index4reindex(h);
  if (rc == kLocked) rc = engine4error(ctx, kErrLock, kLocationLock, fullName);
  if (rc == kDuplicate) engine4error(ctx, kDuplicate, kLocationDuplicate, fullName);
  if (rc == 0 && production) rc = markProduction(h->file);
  if (rc == 0) return h;
  const int saved = engine4errorSet(ctx, 0);
  if (production) {
    h->file->production = false;
    h->file->dataFile->tableFlags &= static_cast<uint8_t>(~0x01);
    h->file->dataFile->header[28] &= static_cast<uint8_t>(~0x01);
  }
  index4close(h);
  file4remove(fullName);
  engine4errorSet(ctx, saved);
  return nullptr;
}

// The completed name of the file to create, after the checks that come
// before anything is written: 0 or the reported code.
int nameAndLock(Table* t, const char* name, char* fullName) {
  EngineContext* ctx = t->ctx;
  DataFile* d = t->dataFile;
  if (index4fullName(fullName, name, d->fullName) < 0)
    return engine4error(ctx, kErrParameter, kLocationNull, name);
  if (name == nullptr && d->mode != 1)
    return engine4error(ctx, kErrCreate, kLocationNotExclusive, fullName);
  for (IndexFile* f = d->indexes; f != nullptr; f = f->next)
    if (std::strcmp(f->file.name, fullName) == 0)
      return engine4error(ctx, kErrNameNotFound, kLocationNameOpen, fullName);
  const int rc = table4lockFile(t);
  if (rc == kLocked) return engine4error(ctx, kErrLock, kLocationLock, d->fullName);
  return rc;
}

}  // namespace

IndexHandle* index4create(Table* t, const char* name, const TagDescription* tags) {
  if (t == nullptr || t->dataFile == nullptr || tags == nullptr) {
    engine4error(t != nullptr ? t->ctx : nullptr, kErrNullHandle, kLocationNull);
    return nullptr;
  }
  EngineContext* ctx = t->ctx;
  if (ctx->errorCode < 0) return nullptr;
  char fullName[kIndexNameCapacity];
  if (nameAndLock(t, name, fullName) != 0) return nullptr;
  Plan plan;
  if (planAll(t, tags, &plan) != 0) return nullptr;
  IndexHandle* h = createAndOpen(t, fullName, &plan);
  if (h == nullptr) return nullptr;
  setUniqueModes(h, plan);
  return build(h, fullName, name == nullptr);
}

// --- the table code's entries (dbf/core/index_seam.h) ---

int index4seamCreate(Table* t, const void* tags) {
  if (!index4seamHasTags(tags)) return 0;
  if (index4create(t, nullptr, static_cast<const TagDescription*>(tags)) != nullptr) return 0;
  return t->ctx->errorCode != 0 ? t->ctx->errorCode : kErrCreate;
}

int index4seamSetUniqueModes(Table* t, const void* tags) {
  for (auto* d = static_cast<const TagDescription*>(tags); d != nullptr && d->name != nullptr;
       ++d) {
    char name[kTagNameLength + 1];
    TagHandle* found = nullptr;
    if (tagName(d->name, name))
      for (IndexHandle* h = t->indexes; h != nullptr && found == nullptr; h = h->next)
        for (TagHandle* th = h->tags; th != nullptr && found == nullptr; th = th->next)
          if (std::strcmp(th->tag->name, name) == 0) found = th;
    if (found == nullptr)
      return engine4error(t->ctx, kErrNameNotFound, kLocationMissingTag, t->alias, d->name);
    found->uniqueMode = d->unique;
  }
  return 0;
}

int index4seamReindex(Table* t) {
  for (IndexHandle* h = t->indexes; h != nullptr; h = h->next) {
    const int rc = index4reindex(h);
    if (rc != 0) return rc;
  }
  return 0;
}
