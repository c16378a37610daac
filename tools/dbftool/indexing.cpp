// dbftool reindex and index: the engine's rebuild of the production index,
// and a tag added to it or replaced in it, on a table opened exclusively.
//
// index never changes the old index file in place: the engine builds a whole
// new file (index4create) under a scratch name beside the table, with the
// tags the old one had and the new one, and that file then takes the old
// one's name (file4replace renames it over the old file while the table is
// still held). Whatever fails before that, the old file stays as it was and
// the scratch file goes.
#include <algorithm>
#include <cstring>
#include <vector>

#include "dbf/core/file.h"
#include "dbf/core/table.h"
#include "dbf/expr/expression.h"
#include "dbf/index/build.h"
#include "tools/dbftool/cli.h"
#include "tools/dbftool/codepage.h"
#include "tools/dbftool/maintain.h"

namespace dbftool {

namespace {

const char kReindexDetails[] =
    "Rebuilds every tag of the table's production index (.CDX) from the records:\n"
    "the engine's reindex, which also repairs trees that check finds damaged, as\n"
    "long as the index's headers can be read. A tag of unique or candidate keys\n"
    "keeps the first record of each key (check then names the records a\n"
    "candidate tag lacks). The table must not be open in any other program; if\n"
    "it is, nothing is changed.\n";

const char kIndexDetails[] =
    "Adds a tag to the table's production index (.CDX), or replaces the tag of\n"
    "that name: a new index file is built from the records with the tags the old\n"
    "one had and this one, and takes the old file's place only when it is\n"
    "complete. A table without an index gets one. --unique keeps the first\n"
    "record of equal keys; --candidate refuses equal keys (the index stays as it\n"
    "was). The expressions are those of the engine's dBASE language, for example\n"
    "--expr \"UPPER(RECPUSER)\" --for \"FILESIZE > 0\". The engine builds the\n"
    "tags of one file in one collation, so --general must be given for all of\n"
    "them or for none. The table must not be open in any other program; if it\n"
    "is, nothing is changed.\n";

constexpr size_t kMaxExpression = 254;
constexpr int kLocationExpressionTooLong = 85304;
constexpr int kLocationKeyTooLong = 85306;

// One tag of the index to build.
struct TagPlan {
  std::string name;
  std::string expression;
  std::string filter;
  int16_t unique = dbf::kUniqueNone;
  bool descending = false;
  bool general = false;
};

// The tags of an open index file in the order of their headers (the order
// they were made in); the one named |replaced| is left out, and its place
// given in |*at| (-1 when there is none).
std::vector<TagPlan> tagsOf(const IndexFile* f, const std::string& replaced, int* at) {
  std::vector<const Tag*> tags;
  for (const Tag* tag = f->tags; tag != nullptr; tag = tag->next) tags.push_back(tag);
  std::sort(tags.begin(), tags.end(),
            [](const Tag* a, const Tag* b) { return a->headerOffset < b->headerOffset; });
  std::vector<TagPlan> plans;
  *at = -1;
  for (const Tag* tag : tags) {
    if (replaced == tag->name) {
      *at = static_cast<int>(plans.size());
      continue;
    }
    TagPlan p;
    p.name = tag->name;
    p.expression = expression4source(tag->keyExpression);
    if (tag->forExpression != nullptr) p.filter = expression4source(tag->forExpression);
    if ((tag->header.options & dbf::kTagCandidate) != 0)
      p.unique = dbf::kCandidateError;
    else if ((tag->header.options & dbf::kTagUnique) != 0)
      p.unique = dbf::kUniqueIgnore;
    p.descending = tag->header.descending != 0;
    p.general = tag->collation.kind == kCollationGeneral;
    plans.push_back(p);
  }
  return plans;
}

// Why a new tag cannot be made, from the code index4create left.
std::string createFailure(int code, int location) {
  if (code == dbf::kErrTagDescription && location == kLocationExpressionTooLong)
    return "an expression is longer than 254 characters";
  if (code == dbf::kErrTagDescription && location == kLocationKeyTooLong)
    return "the key is longer than an index node holds (242 bytes)";
  if (code == dbf::kErrUniqueKey || code == dbf::kDuplicate)
    return "two records have equal keys in a candidate tag, which refuses them";
  return engineErrorText(code);
}

// Keys in |tag|.
int64_t keyCount(Tag* tag) {
  if (order4top(tag) < 0 || order4eof(tag) != 0) return 0;
  int64_t count = 1;
  for (int32_t moved; (moved = order4skip(tag, 1 << 30)) > 0;) count += moved;
  return count;
}

class IndexBuild {
 public:
  IndexBuild(const Invocation& call, TagPlan plan) : call_(call), plan_(std::move(plan)) {}
  ~IndexBuild() {
    if (table_ != nullptr) table4close(table_);
    if (!scratch_.empty()) file4remove(scratch_.c_str());
  }
  int run();

 private:
  bool readOldTags();
  bool encodeExpressions();
  bool checkExpressions();
  int build();
  int installOverOld(IndexHandle* fresh);
  int fail(const std::string& text) {
    call_.console->error(text);
    return kExitFailure;
  }

  const Invocation& call_;
  TagPlan plan_;
  Engine engine_;
  Table* table_ = nullptr;
  std::string dataName_, indexName_, scratch_;
  bool hadIndex_ = false;
  bool replaced_ = false;
  std::vector<TagPlan> tags_;  // the old index's, until build() puts plan_ among them
  size_t planAt_ = 0;          // where plan_ goes: the replaced tag's place, or last
};

// The old index's tags (read on a first exclusive open, closed again so that
// the engine holds no object on the old file while it is replaced).
bool IndexBuild::readOldTags() {
  table_ = openForMaintenance(engine_, call_, false);
  if (table_ == nullptr) return false;
  dataName_ = table_->dataFile->fullName;
  indexName_ = indexFileName(dataName_);
  const bool flagged = (table_->dataFile->tableFlags & 0x01) != 0;
  const bool exists = file4exists(indexName_.c_str());
  int at = -1;
  if (flagged && exists) {
    IndexHandle* h = index4open(table_, nullptr);
    if (h == nullptr) {
      fail(
          format("%s cannot be read (%s), so its tags are not known and none can be added; "
                 "dbftool check tells more. Remove it to start a new index.",
                 indexName_.c_str(), engineErrorText(engine_.takeError()).c_str()));
      return false;
    }
    tags_ = tagsOf(h->file, plan_.name, &at);
    hadIndex_ = true;
  } else if (exists) {
    fail(
        format("%s lies beside the table but is not its index (the header does not flag one); "
               "move it away first",
               indexName_.c_str()));
    return false;
  } else if (flagged) {
    call_.console->warning(
        format("the table's index %s is missing; the new one holds tag %s "
               "alone",
               indexName_.c_str(), plan_.name.c_str()));
  }
  replaced_ = at >= 0;
  planAt_ = replaced_ ? static_cast<size_t>(at) : tags_.size();
  for (const TagPlan& t : tags_)
    if (t.general != plan_.general) {
      fail(
          format("tag %s is in %s order; the engine builds every tag of an index in one "
                 "collation, so --general must be given %s",
                 t.name.c_str(), t.general ? "GENERAL" : "machine",
                 t.general ? "here too" : "for all tags or none"));
      return false;
    }
  table4close(table_);
  table_ = openForMaintenance(engine_, call_, false);
  return table_ != nullptr;
}

// Texts on the command line are UTF-8; the table's texts are in its code page.
bool IndexBuild::encodeExpressions() {
  const TextDecoder decoder(table_->dataFile->codePageMark);
  for (std::string* text : {&plan_.expression, &plan_.filter}) {
    std::string bytes;
    if (!decoder.encode(*text, &bytes)) {
      fail(format("'%s' holds characters that the table's code page (%s) cannot store",
                  text->c_str(), decoder.name()));
      return false;
    }
    *text = bytes;
  }
  return true;
}

// The new tag's expressions compile against the table, the FOR expression is
// logical: said here with the expression named, before anything is built.
bool IndexBuild::checkExpressions() {
  Tag marker{};  // compiles the texts as index expressions
  for (const std::string* text : {&plan_.expression, &plan_.filter}) {
    if (text->empty()) continue;
    int status = 0;
    Expression* e = expression4parse(table_, text->c_str(), &marker, &status);
    const char option = text == &plan_.expression ? 'e' : 'f';
    if (e == nullptr) {
      engine_.takeError();
      fail(format("--%s \"%s\": %s", option == 'e' ? "expr" : "for", text->c_str(),
                  engineErrorText(status).c_str()));
      return false;
    }
    const char type = expression4type(e);
    expression4free(e);
    if (option == 'f' && type != 'L') {
      fail(format("--for \"%s\" is not a logical expression", text->c_str()));
      return false;
    }
  }
  return true;
}

// Puts the complete new file in place of the old one, the table still held.
int IndexBuild::installOverOld(IndexHandle* fresh) {
  index4close(fresh);
  EngineContext* ctx = engine_.ctx();
  ctx->shareMode = 1;
  ctx->openReadOnly = 0;
  DiskFile old, made;
  if (file4open(&old, ctx, indexName_.c_str(), true) != 0 ||
      file4open(&made, ctx, scratch_.c_str(), true) != 0) {
    const int code = engine_.takeError();
    file4close(&old);
    file4close(&made);
    return fail(format("%s cannot be replaced (%s); it was left as it was", indexName_.c_str(),
                       engineErrorText(code).c_str()));
  }
  bool inPlace = false;
  const int rc = file4replace(&old, &made, &inPlace);
  const int code = rc != 0 ? engine_.takeError() : 0;
  file4close(&old);
  file4close(&made);
  if (inPlace) scratch_.clear();
  if (rc != 0)
    return fail(format("%s could not be replaced by the new index (%s); %s", indexName_.c_str(),
                       engineErrorText(code).c_str(),
                       inPlace ? "the new one is in place" : "the old one was left as it was"));
  return kExitOk;
}

int IndexBuild::build() {
  tags_.insert(tags_.begin() + static_cast<std::ptrdiff_t>(planAt_), plan_);
  std::vector<TagDescription> descriptions;
  for (const TagPlan& t : tags_)
    descriptions.push_back({t.name.c_str(), t.expression.c_str(),
                            t.filter.empty() ? nullptr : t.filter.c_str(), t.unique,
                            static_cast<int16_t>(t.descending ? dbf::kTagDescending : 0)});
  descriptions.push_back({nullptr, nullptr, nullptr, 0, 0});
  EngineContext* ctx = engine_.ctx();
  ctx->newTagCollation = plan_.general ? kCollationGeneral : kCollationMachine;
  if (hadIndex_) {
    scratch_ = indexName_ + ".NEW";
    file4remove(scratch_.c_str());  // left by a run that was stopped
  }
  Progress progress(*call_.console, "index", 0);
  progress.status(format("building %s over %s records",
                         counted(static_cast<int64_t>(tags_.size()), "tag").c_str(),
                         grouped(table4recCount(table_)).c_str()));
  IndexHandle* fresh =
      index4create(table_, hadIndex_ ? scratch_.c_str() : nullptr, descriptions.data());
  progress.finish();
  if (fresh == nullptr) {
    const int location = ctx->errorLocation;
    const int code = engine_.takeError();
    return fail(format("tag %s cannot be made: %s; %s", plan_.name.c_str(),
                       createFailure(code, location).c_str(),
                       hadIndex_ ? "the index was left as it was" : "no index was made"));
  }
  engine_.ctx()->reportTagNameErrors = 0;
  Tag* tag = table4tagByName(table_, plan_.name.c_str());
  const int64_t keys = tag != nullptr ? keyCount(tag) : 0;
  engine_.takeError();
  if (hadIndex_ && installOverOld(fresh) != kExitOk) return kExitFailure;
  std::fprintf(call_.console->out, "%s: tag %s %s (%s); the index has %s\n", indexName_.c_str(),
               plan_.name.c_str(), replaced_ ? "replaced" : "added", counted(keys, "key").c_str(),
               counted(static_cast<int64_t>(tags_.size()), "tag").c_str());
  return kExitOk;
}

int IndexBuild::run() {
  if (!readOldTags() || !encodeExpressions() || !checkExpressions()) return kExitFailure;
  const int status = build();
  const int closed = table4close(table_);
  table_ = nullptr;
  if (closed < 0 && status == kExitOk)
    return fail("closing " + dataName_ + " failed: " + engineErrorText(engine_.takeError()));
  return status;
}

int runIndex(const Invocation& call) {
  if (!call.has("tag")) return call.usageError("--tag NAME is needed");
  if (!call.has("expr")) return call.usageError("--expr EXPR is needed");
  if (call.has("unique") && call.has("candidate"))
    return call.usageError("--unique and --candidate exclude each other");
  TagPlan plan;
  plan.name = upper(call.value("tag"));
  if (plan.name.empty() || plan.name.size() > dbf::kTagNameLength)
    return call.usageError("a tag name has 1 to 10 characters, not '" + call.value("tag") + "'");
  for (char c : plan.name)
    if (c < 0x21 || c > 0x7E)
      return call.usageError("a tag name has printable characters and no blanks, not '" +
                             call.value("tag") + "'");
  plan.expression = call.value("expr");
  if (call.has("for")) plan.filter = call.value("for");
  if (plan.expression.find_first_not_of(' ') == std::string::npos)
    return call.usageError("--expr is empty");
  for (const std::string* text : {&plan.expression, &plan.filter})
    if (text->size() > kMaxExpression)
      return call.usageError("an expression has at most 254 characters");
  plan.unique = call.has("candidate") ? dbf::kCandidateError
                : call.has("unique")  ? dbf::kUniqueIgnore
                                      : dbf::kUniqueNone;
  plan.descending = call.has("descending");
  plan.general = call.has("general");
  return IndexBuild(call, plan).run();
}

int runReindex(const Invocation& call) {
  Engine engine;
  Table* t = openForMaintenance(engine, call, false);
  if (t == nullptr) return kExitFailure;
  const std::string indexName = indexFileName(t->dataFile->fullName);
  if ((t->dataFile->tableFlags & 0x01) == 0) {
    table4close(t);
    std::fprintf(call.console->out,
                 "%s has no index; nothing to rebuild (dbftool index adds "
                 "one)\n",
                 tableFileName(call.table).c_str());
    return kExitOk;
  }
  IndexHandle* h = index4open(t, nullptr);
  if (h == nullptr) {
    const int code = engine.takeError();
    table4close(t);
    if (!file4exists(indexName.c_str()))
      call.console->error(
          format("%s is missing; dbftool index makes a new one", indexName.c_str()));
    else
      call.console->error(
          format("%s cannot be opened (%s); a rebuild needs its headers "
                 "(dbftool check tells more)",
                 indexName.c_str(), engineErrorText(code).c_str()));
    return kExitFailure;
  }
  keepFirstOfEqualKeys(t);
  const int tags = h->file->tagCount;
  const int32_t records = table4recCount(t);
  Progress progress(*call.console, "reindex", 0);
  progress.status(format("rebuilding %s over %s records", counted(tags, "tag").c_str(),
                         grouped(records).c_str()));
  const int rc = table4reindex(t);
  progress.finish();
  const int status = finish(engine, t, rc, "reindex", *call.console);
  if (status != kExitOk) return status;
  std::fprintf(call.console->out, "%s: %s rebuilt from %s records\n", indexName.c_str(),
               counted(tags, "tag").c_str(), grouped(records).c_str());
  return kExitOk;
}

}  // namespace

const CommandSpec& reindexCommand() {
  static const CommandSpec command = {
      "reindex",  "Rebuild the table's index (needs the table to itself)", kReindexDetails, {},
      runReindex,
  };
  return command;
}

const CommandSpec& indexCommand() {
  static const CommandSpec command = {
      "index",
      "Add a tag to the table's index or replace one (needs the table to itself)",
      kIndexDetails,
      {
          {"tag", "NAME", "the tag's name (1 to 10 characters)"},
          {"expr", "EXPR", "its key expression"},
          {"for", "EXPR", "only the records for which EXPR is true"},
          {"unique", nullptr, "one record per key: the first"},
          {"candidate", nullptr, "one record per key: equal keys are refused"},
          {"descending", nullptr, "in descending order"},
          {"general", nullptr, "texts in the GENERAL collation (case- and accent-blind)"},
      },
      runIndex,
  };
  return command;
}

}  // namespace dbftool
