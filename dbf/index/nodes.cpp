// The nodes of a Tag: reading a node (from the tag's cache when it holds the
// same offset, else from the file, checked before use), the stack of nodes
// from the root down, and the cache that released nodes go to. Nodes come
// from the IndexFile's pool and go back there when a tag lets them go; a
// changed node is written before its object serves another offset.
#include <cstring>
#include <new>

#include "dbf/core/context.h"
#include "dbf/index/node.h"

using namespace dbf;

namespace {

// Released nodes a tag keeps for reuse: enough for the upper levels of any
// tree the engine meets and a few leaves.
constexpr int kCacheLimit = 16;
constexpr int kLocationNodeMemory = 90438;

void resetNode(IndexNode* node, Tag* tag) {
  node->tag = tag;
  node->offset = -1;
  node->changed = false;
  node->current = 0;
  node->decoded = -1;
  node->next = nullptr;
}

// Gives |node| to the file's pool, writing it first when it changed.
int poolNode(Tag* tag, IndexNode* node) {
  int rc = node->changed ? node4write(tag, node) : 0;
  node->offset = -1;
  IndexFile* f = tag->indexFile;
  node->next = f->nodePool;
  f->nodePool = node;
  return rc;
}

// Puts |node| at the front of the cache; the oldest beyond the limit go to
// the pool.
}  // namespace

int tag4cacheNode(Tag* tag, IndexNode* node) {
  node->next = tag->cache;
  tag->cache = node;
  if (++tag->cacheCount <= kCacheLimit) return 0;
  IndexNode** p = &tag->cache;
  for (int i = 0; i < kCacheLimit; ++i) p = &(*p)->next;
  IndexNode* oldest = *p;
  // A changed node that cannot be written stays cached: its change would be
  // lost otherwise, and the flush tries it again.
  if (oldest->changed && node4write(tag, oldest) < 0) return tag->ctx->errorCode;
  *p = oldest->next;
  --tag->cacheCount;
  return poolNode(tag, oldest);
}

namespace {

IndexNode* takeCached(Tag* tag, int32_t offset) {
  for (IndexNode** p = &tag->cache; *p != nullptr; p = &(*p)->next) {
    if ((*p)->offset != offset) continue;
    IndexNode* node = *p;
    *p = node->next;
    node->next = nullptr;
    --tag->cacheCount;
    return node;
  }
  return nullptr;
}

// A node object to read into: from the file's pool, else new.
IndexNode* freshNode(Tag* tag) {
  IndexFile* f = tag->indexFile;
  IndexNode* node = f->nodePool;
  if (node != nullptr) {
    f->nodePool = node->next;
  } else {
    node = new (std::nothrow) IndexNode;
    if (node == nullptr) {
      engine4error(tag->ctx, kErrMemory, kLocationNodeMemory);
      return nullptr;
    }
  }
  resetNode(node, tag);
  return node;
}

// The checks against the parent entry that points to |node|.
bool matchesParent(const IndexNode* node, const IndexNode* parent, int keyLength) {
  if (parent == nullptr) return true;
  if (node4count(node->image) == 0) return false;
  const InteriorEntry e = interior4entry(parent->image, keyLength, parent->current);
  return node4lastRecord(node, keyLength) == e.record;
}

}  // namespace

int node4write(Tag* tag, IndexNode* node) {
  int rc = file4write(&tag->indexFile->file, node->offset, node->image, kIndexUnit);
  if (rc == 0) node->changed = false;
  return rc;
}

int tag4readNode(Tag* tag, int32_t offset, const IndexNode* parent, IndexNode** out) {
  IndexFile* f = tag->indexFile;
  const int keyLength = tag->header.keyLength;
  if (offset <= 0 || offset % kIndexUnit != 0) return kTreeChanged;
  IndexNode* node = takeCached(tag, offset);
  if (node == nullptr) {
    node = freshNode(tag);
    if (node == nullptr) return kErrMemory;
    const uint32_t got = file4read(&f->file, offset, node->image, kIndexUnit);
    if (tag->ctx->errorCode < 0) {
      poolNode(tag, node);
      return tag->ctx->errorCode;
    }
    node->offset = offset;
    if (got != kIndexUnit || !node4check(node, keyLength)) {
      poolNode(tag, node);
      return kTreeChanged;
    }
    if (offset + kIndexUnit > f->endOfFile) f->endOfFile = offset + kIndexUnit;
  }
  if (!matchesParent(node, parent, keyLength)) {
    // Keep the image: a restart drops the cache anyway.
    tag4cacheNode(tag, node);
    return kTreeChanged;
  }
  *out = node;
  return 0;
}

int index4fullName(char* out, const char* name, const char* dataFileName) {
  return name != nullptr ? file4nameFull(out, kIndexNameCapacity, name, "CDX", false)
                         : file4nameFull(out, kIndexNameCapacity, dataFileName, "CDX", true);
}

int index4damaged(IndexFile* f, int location, const char* detail) {
  return engine4error(f->ctx, kErrIndex, location, f->file.name, detail);
}

int tag4damaged(Tag* tag, int location) {
  return engine4error(tag->ctx, kErrIndex, location, tag->indexFile->file.name, tag->name);
}

void tag4push(Tag* tag, IndexNode* node) { tag->stack[tag->depth++] = node; }

void tag4clearStack(Tag* tag) {
  while (tag->depth > 0) tag4cacheNode(tag, tag->stack[--tag->depth]);
  tag->pathStale = false;
}

int tag4dropNodes(Tag* tag) {
  tag4clearStack(tag);
  int rc = 0;
  while (tag->cache != nullptr) {
    IndexNode* node = tag->cache;
    tag->cache = node->next;
    int r = poolNode(tag, node);
    if (r < 0 && rc == 0) rc = r;
  }
  tag->cacheCount = 0;
  if (!tag->rootChanged) tag->header.root = kRootUnknown;
  return rc;
}

int tag4root(Tag* tag, int32_t* root) {
  if (tag->header.root == kRootUnknown) {
    uint8_t bytes[4];
    if (file4read(&tag->indexFile->file, tag->headerOffset, bytes, 4) != 4) {
      if (tag->ctx->errorCode < 0) return tag->ctx->errorCode;
      return kTreeChanged;
    }
    tag->header.root = static_cast<int32_t>(cdx4get32(bytes));
  }
  *root = tag->header.root;
  return 0;
}

IndexNode* tag4newNode(Tag* tag, int32_t offset) {
  IndexNode* node = freshNode(tag);
  if (node == nullptr) return nullptr;
  std::memset(node->image, 0, sizeof node->image);
  node->offset = offset;
  node->changed = true;
  return node;
}

void tag4discardNode(Tag* tag, IndexNode* node) {
  node->changed = false;
  poolNode(tag, node);
}

IndexNode* tag4findNode(Tag* tag, int32_t offset) {
  for (int i = 0; i < tag->depth; ++i)
    if (tag->stack[i]->offset == offset) return tag->stack[i];
  for (IndexNode* node = tag->cache; node != nullptr; node = node->next)
    if (node->offset == offset) return node;
  return nullptr;
}

void index4freePool(IndexFile* f) {
  while (f->nodePool != nullptr) {
    IndexNode* node = f->nodePool;
    f->nodePool = node->next;
    delete node;
  }
}
