// dbftool pack and compress-memo: the engine's own pack and memo compression
// on a table opened exclusively, so that no other program has it open while
// records move or the memo file is replaced. A table in use is refused and
// left as it is.
#include "tools/dbftool/maintain.h"

#include "dbf/core/file.h"
#include "dbf/core/table.h"
#include "dbf/index/index.h"
#include "tools/dbftool/cli.h"

namespace dbftool {

namespace {

const char kPackDetails[] =
    "Removes the deleted records from the data file (the engine's pack, which\n"
    "also rebuilds the table's index files as reindex does). The table must not\n"
    "be open in any other program, the mail server included; if it is, nothing\n"
    "is changed.\n"
    "Memos of the removed records stay in the memo file until compress-memo.\n";

const char kCompressDetails[] =
    "Copies every memo that a record refers to into a fresh memo file, in record\n"
    "order and without gaps, and puts it in place of the old one; space left by\n"
    "rewritten memos and by removed records is given back. The table must not be\n"
    "open in any other program; if it is, nothing is changed.\n";

int64_t fileLength(DiskFile* f) { return f->isOpen ? file4length(f) : 0; }

int runPack(const Invocation& call) {
  Engine engine;
  Table* t = openForMaintenance(engine, call);
  if (t == nullptr) return kExitFailure;
  const int32_t before = table4recCount(t);
  const bool hasMemo = t->dataFile->memo.isOpen;
  keepFirstOfEqualKeys(t);  // pack rebuilds the index
  Progress progress(*call.console, "pack", 0);
  progress.status(format("removing deleted records from %s records", grouped(before).c_str()));
  const int rc = table4pack(t);
  progress.finish();
  const int32_t after = rc == 0 ? table4recCount(t) : before;
  const int status = finish(engine, t, rc, "pack", *call.console);
  if (status != kExitOk) return status;
  std::fprintf(call.console->out, "%s: %s records kept, %s deleted records removed\n",
               tableFileName(call.table).c_str(), grouped(after).c_str(),
               grouped(before - after).c_str());
  if (hasMemo && before != after)
    std::fprintf(call.console->out,
                 "Their memos still take room in the memo file; dbftool compress-memo %s gives "
                 "it back.\n",
                 call.table.c_str());
  return kExitOk;
}

int runCompressMemo(const Invocation& call) {
  Engine engine;
  Table* t = openForMaintenance(engine, call);
  if (t == nullptr) return kExitFailure;
  const std::string memoName = memoFileName(t->dataFile->fullName);
  if (!t->dataFile->memo.isOpen) {
    table4close(t);
    std::fprintf(call.console->out, "%s has no memo file; nothing to do\n",
                 tableFileName(call.table).c_str());
    return kExitOk;
  }
  const int64_t before = fileLength(&t->dataFile->memo);
  Progress progress(*call.console, "compress-memo", 0);
  progress.status("copying the memos of " + grouped(table4recCount(t)) + " records");
  const int rc = table4memoCompress(t);
  progress.finish();
  const int64_t after = rc == 0 ? fileLength(&t->dataFile->memo) : before;
  const int status = finish(engine, t, rc, "compress-memo", *call.console);
  if (status != kExitOk) return status;
  std::fprintf(call.console->out, "%s: %s bytes before, %s bytes now\n", memoName.c_str(),
               grouped(before).c_str(), grouped(after).c_str());
  return kExitOk;
}

}  // namespace

Table* openForMaintenance(Engine& engine, const Invocation& call, bool withIndex) {
  std::string error;
  Table* t = openTable(engine, call.table, Access::kExclusive, &error, withIndex);
  if (t == nullptr) call.console->error(error);
  return t;
}

void keepFirstOfEqualKeys(Table* t) {
  for (IndexHandle* h = t->indexes; h != nullptr; h = h->next)
    for (TagHandle* th = h->tags; th != nullptr; th = th->next)
      if ((th->tag->header.options & (dbf::kTagUnique | dbf::kTagCandidate)) != 0)
        th->uniqueMode = dbf::kUniqueIgnore;
}

int finish(Engine& engine, Table* t, int rc, const char* what, const Console& console) {
  const std::string name = t->dataFile->fullName;
  int code = rc < 0 ? engine.takeError() : 0;  // the stored code says more than -1
  if (rc != 0 && code == 0) code = rc;         // a status such as kDuplicate fails too
  const int closed = table4close(t);
  if (closed < 0) {
    const int stored = engine.takeError();
    if (code == 0) code = stored != 0 ? stored : closed;
  }
  if (rc == dbf::kLocked) {
    console.error(
        format("%s of %s: a lock could not be had; nothing was changed", what, name.c_str()));
    return kExitFailure;
  }
  if (code != 0) {
    console.error(format("%s of %s failed: %s", what, name.c_str(), engineErrorText(code).c_str()));
    return kExitFailure;
  }
  return kExitOk;
}

const CommandSpec& packCommand() {
  static const CommandSpec command = {
      "pack", "Remove the deleted records (needs the table to itself)", kPackDetails, {}, runPack,
  };
  return command;
}

const CommandSpec& compressMemoCommand() {
  static const CommandSpec command = {
      "compress-memo",  "Give back the memo file's unused space (needs the table to itself)",
      kCompressDetails, {},
      runCompressMemo,
  };
  return command;
}

}  // namespace dbftool
