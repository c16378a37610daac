// Rebuilding an index file from its table (index4reindex): every tag is built
// afresh from the records through the external sort and written bottom-up.
//
// The node area is rewritten from the end of the header area on: the
// directory tree first, then each tag in the order of its header, so that a
// file rebuilt from the same records keeps its directory where it was. The
// headers are written last, with the new roots; until then they still name
// the tags as before, which is what lets an interrupted rebuild be opened and
// run again. The free list is emptied and the file cut behind the last node.
#include <algorithm>
#include <cstring>
#include <new>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/expr/expression.h"
#include "dbf/index/build.h"
#include "dbf/index/builder.h"
#include "dbf/index/sorter.h"

using namespace dbf;

namespace {

constexpr int kLocationNull = 92101;
constexpr int kLocationKeyLength = 92102;
constexpr int kLocationTagCount = 92103;
constexpr int kLocationMemory = 92107;
constexpr uint8_t kFox30 = 0x30;
constexpr int16_t kCompatibilityNoTrailing = 26;
constexpr uint8_t kBlank = ' ';

// What one rebuild holds; released by its destructor on every path.
class Rebuild {
 public:
  Rebuild(Table* t, IndexFile* f) : t_(t), f_(f), ctx_(t->ctx) {}
  ~Rebuild();
  Rebuild(const Rebuild&) = delete;
  Rebuild& operator=(const Rebuild&) = delete;

  int run();

 private:
  int prepare();
  int prepareTag(Tag* tag);
  int buildDirectory();
  int buildTag(Tag* tag);
  int sortKeys(Tag* tag, KeySorter* sorter);
  int writeTree(KeySorter* sorter, const TreeRules& rules, int32_t* root);
  int writeHeaders();
  TreeRules rulesOf(const Tag* tag) const;

  Table* t_;
  IndexFile* f_;
  EngineContext* ctx_;
  Tag** tags_ = nullptr;  // in header (creation) order
  int count_ = 0;
  uint32_t version_ = 0;
  int32_t records_ = 0;
  int32_t nextNode_ = 0;
  FileSeqWriter writer_{};
  char* writerBuffer_ = nullptr;
  char* readBuffer_ = nullptr;
  uint32_t readSize_ = 0;
  TagBuilder* builder_ = nullptr;
  KeySorter sorter_{};
};

Rebuild::~Rebuild() {
  sorter4free(&sorter_);
  delete builder_;
  heap4free(ctx_, tags_);
  heap4free(ctx_, writerBuffer_);
  heap4free(ctx_, readBuffer_);
  // The record buffer held every record in turn: the Table is on none now.
  DataFile* d = t_->dataFile;
  std::memcpy(t_->record, t_->blankRecord, d->recordLength);
  t_->record[d->recordLength] = 0;
  t_->recordNumber = -1;
  t_->oldRecordNumber = -1;
  t_->changed = false;
  for (int i = 0; i < t_->memoCount; ++i) t_->memos[i].reloadNeeded = true;
}

int Rebuild::prepareTag(Tag* tag) {
  int rc = tag4dropNodes(tag);
  if (rc < 0) return rc;
  const bool general = tag->collation.kind == kCollationGeneral && tag->keyType == 'C';
  const int length = key4length(tag->keyExpression, general, tag->nullMarker);
  if (length < 0 || length > kMaxKeyLength)
    return engine4error(ctx_, kErrIndex, kLocationKeyLength, f_->file.name, tag->name);
  tag->header.keyLength = static_cast<uint16_t>(length);
  return 0;
}

int Rebuild::prepare() {
  count_ = f_->tagCount;
  if (f_->directory == nullptr && count_ != 1)
    return engine4error(ctx_, kErrIndex, kLocationTagCount, f_->file.name);
  tags_ = static_cast<Tag**>(heap4alloc(ctx_, static_cast<unsigned>((count_ + 1) * sizeof(Tag*))));
  builder_ = new (std::nothrow) TagBuilder(ctx_, &f_->file, &writer_, &nextNode_);
  const uint32_t writerSize = static_cast<uint32_t>(std::max(1024, ctx_->sortSpoolBufferSize));
  writerBuffer_ = static_cast<char*>(heap4alloc(ctx_, writerSize));
  readSize_ = static_cast<uint32_t>(std::max(1024, ctx_->copyBufferSize));
  readBuffer_ = static_cast<char*>(heap4alloc(ctx_, readSize_));
  if (tags_ == nullptr || builder_ == nullptr || writerBuffer_ == nullptr || readBuffer_ == nullptr)
    return engine4error(ctx_, kErrMemory, kLocationMemory, f_->file.name);
  int n = 0;
  for (Tag* tag = f_->tags; tag != nullptr && n < count_; tag = tag->next) tags_[n++] = tag;
  std::stable_sort(tags_, tags_ + n,
                   [](const Tag* a, const Tag* b) { return a->headerOffset < b->headerOffset; });
  if (f_->directory != nullptr) {
    int rc = tag4dropNodes(f_->directory);
    if (rc < 0) return rc;
  }
  for (int i = 0; i < count_; ++i) {
    int rc = prepareTag(tags_[i]);
    if (rc < 0) return rc;
    // Headers follow the directory header, one per tag, in creation order.
    if (f_->directory != nullptr) tags_[i]->headerOffset = kIndexHeaderSize * (i + 1);
  }
  const int32_t headerArea =
      f_->directory != nullptr ? kIndexHeaderSize * (count_ + 1) : kIndexHeaderSize;
  nextNode_ = headerArea;
  version_ = f_->file.mode == 1 ? f_->version : f_->version + 1;
  records_ = table4recCount(t_);
  if (records_ < 0) return records_;
  return file4seqWriteInit(&writer_, &f_->file, headerArea, writerBuffer_, writerSize);
}

TreeRules Rebuild::rulesOf(const Tag* tag) const {
  TreeRules rules{};
  rules.keyLength = tag->header.keyLength;
  rules.pad = tag->pad;
  rules.trailing =
      !(t_->dataFile->header[0] != kFox30 && ctx_->compatibility == kCompatibilityNoTrailing &&
        tag->forExpression != nullptr);
  rules.unique = (tag->header.options & (kTagUnique | kTagCandidate)) != 0;
  const TagHandle* handle = table4tagHandle(t_, tag);
  rules.uniqueMode = handle != nullptr ? handle->uniqueMode : tag->uniqueMode;
  rules.widthCount = static_cast<uint32_t>(records_);
  rules.name = tag->name;
  rules.fileName = f_->file.name;
  return rules;
}

// Drains a sorter into a new tree, then repairs the tree's sibling chains.
int Rebuild::writeTree(KeySorter* sorter, const TreeRules& rules, int32_t* root) {
  int rc = sorter4getInit(sorter);
  builder_->start(rules);
  while (rc == 0) {
    int32_t record = 0;
    const char* key = nullptr;
    rc = sorter4get(sorter, &record, &key, nullptr);
    if (rc == 0) rc = builder_->add(key, static_cast<uint32_t>(record));
  }
  if (rc != 1) return rc;  // 1: every item was handed out
  rc = builder_->finish(root);
  if (rc == 0) rc = file4seqWriteFlush(&writer_);
  if (rc == 0) rc = builder_->repairSiblings();
  return rc;
}

// The directory tag: the tag names with their header offsets, unique.
int Rebuild::buildDirectory() {
  int rc = sorter4init(&sorter_, ctx_, static_cast<int32_t>(kTagNameLength), 0);
  for (int i = 0; rc == 0 && i < count_; ++i) {
    char name[kTagNameLength];
    std::memset(name, kBlank, sizeof name);
    std::memcpy(name, tags_[i]->name, std::strlen(tags_[i]->name));
    rc = sorter4put(&sorter_, tags_[i]->headerOffset, name, nullptr);
  }
  if (rc != 0) return rc;
  Tag* dir = f_->directory;
  TreeRules rules{};
  rules.keyLength = static_cast<int>(kTagNameLength);
  rules.pad = kBlank;
  rules.trailing = true;
  rules.unique = true;
  rules.uniqueMode = kUniqueError;
  rules.widthCount = static_cast<uint32_t>(count_) * kIndexHeaderSize;
  rules.name = "directory";
  rules.fileName = f_->file.name;
  return writeTree(&sorter_, rules, &dir->header.root);
}

// Every record's key (when it passes the FOR expression) into |sorter|.
int Rebuild::sortKeys(Tag* tag, KeySorter* sorter) {
  DataFile* d = t_->dataFile;
  int rc = expression4bind(tag->keyExpression, t_);
  if (rc == 0 && tag->forExpression != nullptr) rc = expression4bind(tag->forExpression, t_);
  FileSeqReader reader;
  if (rc == 0) rc = file4seqReadInit(&reader, &d->data, d->headerLength, readBuffer_, readSize_);
  const int keyLength = tag->header.keyLength;
  for (int32_t n = 1; rc == 0 && n <= records_; ++n) {
    rc = file4seqReadAll(&reader, t_->record, d->recordLength);
    if (rc != 0) break;
    t_->recordNumber = n;
    for (int i = 0; i < t_->memoCount; ++i) t_->memos[i].reloadNeeded = true;
    if (tag->forExpression != nullptr) {
      rc = expression4true(tag->forExpression);
      if (rc <= 0) continue;  // 0: not in the tag; negative: the failure
      // Keys added to the tag later need not write its zero header byte.
      tag->forMarkWritten = true;
    }
    const char* key = nullptr;
    rc = expression4key(tag->keyExpression, tag, &key);
    if (rc >= 0 && rc != keyLength)
      rc = engine4error(ctx_, kErrIndex, kLocationKeyLength, f_->file.name, tag->name);
    if (rc >= 0) rc = sorter4put(sorter, n, key, nullptr);
  }
  return rc < 0 ? rc : 0;
}

int Rebuild::buildTag(Tag* tag) {
  int rc = sorter4init(&sorter_, ctx_, tag->header.keyLength, 0);
  if (rc == 0) rc = sortKeys(tag, &sorter_);
  if (rc == 0) rc = writeTree(&sorter_, rulesOf(tag), &tag->header.root);
  sorter4free(&sorter_);
  return rc;
}

int Rebuild::writeHeaders() {
  uint8_t image[kIndexHeaderSize];
  if (f_->directory != nullptr) {
    TagHeader& h = f_->directory->header;
    h.freeHead = 0;
    h.version = version_;
    header4image(image, h, "", nullptr);
    int rc = file4write(&f_->file, 0, image, kIndexHeaderSize);
    if (rc != 0) return rc;
  }
  for (int i = 0; i < count_; ++i) {
    Tag* tag = tags_[i];
    TagHeader h = tag->header;
    h.freeHead = 0;
    h.version = f_->directory != nullptr ? 0 : version_;  // a single-tag file keeps it here
    const char* forText = tag->forExpression != nullptr ? tag->forExpression->source : nullptr;
    header4image(image, h, tag->keyExpression->source, forText);
    int rc = file4write(&f_->file, tag->headerOffset, image, kIndexHeaderSize);
    if (rc != 0) return rc;
    tag->rootChanged = false;
  }
  return 0;
}

int Rebuild::run() {
  int rc = prepare();
  if (rc == 0 && f_->directory != nullptr) rc = buildDirectory();
  for (int i = 0; rc == 0 && i < count_; ++i) rc = buildTag(tags_[i]);
  if (rc != 0) return rc;
  rc = writeHeaders();
  if (rc == 0) rc = file4setLength(&f_->file, nextNode_);
  if (rc != 0) return rc;
  f_->endOfFile = nextNode_;
  f_->version = version_;
  f_->changed = false;
  return 0;
}

}  // namespace

int index4reindex(IndexHandle* h) {
  if (h == nullptr || h->table == nullptr)
    return engine4error(nullptr, kErrNullHandle, kLocationNull);
  Table* t = h->table;
  if (t->ctx->errorCode < 0) return kErrContextHoldsError;
  int rc = table4lockAll(t);
  if (rc != 0) return rc;
  rc = table4flushRecord(t, false);
  if (rc != 0) return rc;
  Rebuild rebuild(t, h->file);
  return rebuild.run();
}
