// The temporary index of the message lookups: made, chosen, removed.
#include "migrate/lookup_index.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dbf/core/os.h"
#include "dbf/index/build.h"
#include "migrate/converter.h"
#include "migrate/new_tables.h"
#include "tables/context.h"
#include "tables/table_handle.h"

namespace {

const char* const kIdColumns[] = {"MSGID1", "MSGID2", "MSGID3"};
constexpr int kNameTries = 100;
constexpr int64_t kNarrowEnough = 64;  // rows per value that any lookup may walk

// A name in the temporary directory for try |attempt|: "DBMIGnnnnnnn.CDX"
// from the clock, so that runs in other directories pick other names.
std::string candidateName(const std::string& directory, int attempt) {
  int64_t seconds = 0;
  int32_t milliseconds = 0;
  os4get()->clock(&seconds, &milliseconds);
  const unsigned stamp =
      static_cast<unsigned>((seconds % 10000) * 1000 + milliseconds + attempt * 7919) % 10000000u;
  char leaf[32];
  std::snprintf(leaf, sizeof leaf, "DBMIG%07u.CDX", stamp);
  return directory + leaf;
}

std::string temporaryDirectory() {
  char directory[260];
  if (os4get()->tempDirectory(directory, sizeof directory) < 0) return std::string();
  std::string d(directory);
  if (!d.empty() && d.back() != kOsSeparator) d += kOsSeparator;
  return d;
}

// The most keys of |tag| that are equal, counted in one walk in key order;
// negative after a failed read.
int64_t largestGroup(Tag* tag) {
  const size_t length = tag->header.keyLength;
  std::string previous;
  int64_t largest = 0, run = 0;
  int rc = order4top(tag);
  for (; rc == 0 && order4eof(tag) == 0; rc = order4skip(tag, 1) == 1 ? 0 : 1) {
    const char* data = order4keyData(tag);
    if (data == nullptr) break;
    const char* key = data + 4;
    if (run > 0 && std::memcmp(key, previous.data(), length) == 0) {
      ++run;
    } else {
      run = 1;
      previous.assign(key, length);
    }
    largest = std::max(largest, run);
  }
  return tag->ctx->errorCode < 0 ? -1 : largest;
}

}  // namespace

bool LookupIndex::build(TableHandle* owner, const char* column) {
  EngineContext* ctx = owner->table->ctx;
  const TagDescription tags[] = {{column, column, nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
  const std::string directory = temporaryDirectory();
  if (directory.empty()) return false;
  const int32_t savedReport = ctx->reportCreateErrors;
  ctx->reportCreateErrors = 0;  // a name in use is tried again under another
  IndexHandle* handle = nullptr;
  for (int attempt = 0; attempt < kNameTries && handle == nullptr; ++attempt) {
    const std::string name = candidateName(directory, attempt);
    if (os4get()->exists(name.c_str())) continue;
    engine4errorSet(ctx, 0);
    handle = index4create(owner->table, name.c_str(), tags);
    if (handle == nullptr && ctx->errorCode != dbf::kAlreadyExists) break;
  }
  ctx->reportCreateErrors = savedReport;
  if (handle == nullptr) return false;
  tags_.push_back({handle, handle->file->file.name, largestGroup(handle->tags->tag)});
  return tags_.back().largestGroup >= 0;
}

bool LookupIndex::create(MessageBagTable* bag, TableHandle* owner) {
  remove();
  problem_.clear();
  if (bag == nullptr || owner == nullptr || owner->table == nullptr) return false;
  bag_ = bag;
  for (const char* column : kIdColumns) {
    if (!build(owner, column)) {
      const int code = engine4errorSet(owner->table->ctx, 0);
      problem_ = code != 0 ? databaseErrorText(code) : "no temporary file could be created";
      remove();
      return false;
    }
  }
  // The narrowest tag alone when it leaves few rows to test; otherwise the
  // tags close to it too, whose intersection leaves fewer.
  const TagFile* best = &tags_.front();
  for (const TagFile& t : tags_)
    if (t.largestGroup < best->largestGroup) best = &t;
  const int64_t widest = best->largestGroup <= kNarrowEnough ? best->largestGroup
                                                             : 4 * best->largestGroup;
  bool kept = false;
  for (TagFile& t : tags_) {
    if (t.largestGroup > widest || (kept && best->largestGroup <= kNarrowEnough))
      drop(t);
    else
      kept = true;
  }
  tags_.erase(std::remove_if(tags_.begin(), tags_.end(),
                             [](const TagFile& t) { return t.handle == nullptr; }),
              tags_.end());
  bag->setLookupIndexes(files());
  return true;
}

std::vector<std::string> LookupIndex::files() const {
  std::vector<std::string> names;
  for (const TagFile& t : tags_) names.push_back(t.name);
  return names;
}

void LookupIndex::drop(TagFile& file) {
  EngineContext* ctx = currentContext();
  const int saved = engine4errorSet(ctx, 0);
  index4close(file.handle);
  file4remove(file.name.c_str());
  engine4errorSet(ctx, saved);
  file.handle = nullptr;
}

void LookupIndex::remove() {
  if (bag_ != nullptr) bag_->setLookupIndexes({});
  for (TagFile& t : tags_) drop(t);
  tags_.clear();
  bag_ = nullptr;
}
