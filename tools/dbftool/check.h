// dbftool check: a read-only integrity check of a table, one line per
// problem and a summary line, in the manner of an integrity check of a
// database: the header against the file length and the descriptors, every
// record's deletion flag and _NullFlags, every memo reference against the
// memo file (inside it, below its next free block, no two records sharing a
// block), and the production index: its whole structure and every record's
// key in every tag (indexes.h).
//
// The check is made of sections that run in order on one CheckSubject; each
// adds its problems and a part of the summary. An index section joins them by
// adding one more CheckSection to checkSections().
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/dbftool/engine.h"
#include "tools/dbftool/indexes.h"
#include "tools/dbftool/inspect.h"

namespace dbftool {

// What the sections share: the open files and what earlier sections found.
struct CheckSubject {
  CheckSubject(const Console& c, const char* what) : console(c), task(what), files(engine) {}

  const Console& console;
  const char* task;         // "check" or "info", for progress
  bool compareKeys = true;  // compare the index's keys with the records (info does not)
  bool readable = false;    // the records could be read
  Engine engine;
  TableFiles files;
  TableLayout layout;
  RecordStatistics records;
  MemoStatistics memo;
  IndexStatistics index;
  // Shown every record as the data section reads it (set by a section's
  // attach).
  RecordObserver* recordObserver = nullptr;
};

class CheckSection {
 public:
  virtual ~CheckSection() = default;
  // Before any section runs: a section that needs to see the records sets
  // subject.recordObserver, and reports what it finds there to |problems|.
  virtual void attach(CheckSubject& /*subject*/, ProblemSink& /*problems*/) {}
  // Runs the checks of this section. False when the table is too damaged
  // for the sections after it to run.
  virtual bool run(CheckSubject& subject, ProblemSink& problems) = 0;
  // What this section went through, for the summary ("50 records"); empty
  // when it had nothing to do.
  virtual std::string summary(const CheckSubject& subject) const = 0;
};

// The sections of a full check, in order.
std::vector<std::unique_ptr<CheckSection>> checkSections();

// Runs |sections| on |subject|; the summaries of the sections that ran.
std::vector<std::string> runSections(const std::vector<std::unique_ptr<CheckSection>>& sections,
                                     CheckSubject& subject, ProblemSink& problems);

// Problems printed one per line to a stream, at most |limit| of them (0: no
// limit), all of them counted.
class ProblemPrinter : public ProblemSink {
 public:
  ProblemPrinter(FILE* out, int64_t limit) : out_(out), limit_(limit) {}
  void problem(const std::string& where, const std::string& text) override;
  int64_t count() const { return count_; }
  bool truncated() const { return limit_ > 0 && count_ > limit_; }

 private:
  FILE* out_;
  int64_t limit_;
  int64_t count_ = 0;
};

// Checks |table| and prints the result to console.out; the exit status
// (0 sound, 1 problems found or the check could not run).
int checkTable(const std::string& table, int64_t limit, const Console& console);

}  // namespace dbftool
