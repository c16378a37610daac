// The temporary index of the message lookups: made, joined, removed.
#include "migrate/lookup_index.h"

#include <cstdio>

#include "dbf/core/os.h"
#include "dbf/index/build.h"
#include "migrate/new_tables.h"
#include "tables/context.h"
#include "tables/table_handle.h"

namespace {

// The tags: the three id columns as they are, so that the condition
// "MSGID1=%ld .AND. MSGID2=%ld .AND. MSGID3=%ld" resolves through them.
const TagDescription kLookupTags[] = {{"MSGID1", "MSGID1", nullptr, 0, 0},
                                      {"MSGID2", "MSGID2", nullptr, 0, 0},
                                      {"MSGID3", "MSGID3", nullptr, 0, 0},
                                      {nullptr, nullptr, nullptr, 0, 0}};

constexpr int kNameTries = 100;

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

}  // namespace

bool LookupIndex::create(MessageBagTable* bag, TableHandle* owner) {
  remove();
  EngineContext* ctx = currentContext();
  if (bag == nullptr || owner == nullptr || owner->table == nullptr || ctx == nullptr)
    return false;
  const std::string directory = temporaryDirectory();
  if (directory.empty()) return false;
  const int32_t savedReport = ctx->reportCreateErrors;
  ctx->reportCreateErrors = 0;  // a name in use is tried again under another
  for (int attempt = 0; attempt < kNameTries && index_ == nullptr; ++attempt) {
    const std::string name = candidateName(directory, attempt);
    if (os4get()->exists(name.c_str())) continue;
    engine4errorSet(ctx, 0);
    index_ = index4create(owner->table, name.c_str(), kLookupTags);
    if (index_ != nullptr) file_ = index_->file->file.name;
    else if (ctx->errorCode != dbf::kAlreadyExists) break;  // more than a name in use
  }
  ctx->reportCreateErrors = savedReport;
  if (index_ == nullptr) {
    engine4errorSet(ctx, 0);
    table4unlock(owner->table);  // the file lock taken for the build, if it was
    return false;
  }
  bag_ = bag;
  owner_ = owner;
  bag->setLookupIndex(file_.c_str());
  return true;
}

void LookupIndex::remove() {
  if (index_ == nullptr) return;
  bag_->setLookupIndex(nullptr);
  EngineContext* ctx = currentContext();
  const int saved = engine4errorSet(ctx, 0);
  index4close(index_);
  table4unlock(owner_->table);
  file4remove(file_.c_str());
  engine4errorSet(ctx, saved);
  index_ = nullptr;
  owner_ = nullptr;
  bag_ = nullptr;
  file_.clear();
}
