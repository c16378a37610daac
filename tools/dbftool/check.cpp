#include "tools/dbftool/check.h"

#include "tools/dbftool/cli.h"

namespace dbftool {

namespace {

const char kDetails[] =
    "Reads the data file, its memo file and its production index (.CDX) and\n"
    "reports every inconsistency, one line each, then a summary line: the header\n"
    "against the file length and the column descriptors, every record's deletion\n"
    "flag and _NullFlags, every memo reference against the memo file (inside it,\n"
    "below its next free block, no two records sharing a block), the whole\n"
    "structure of the index (headers, every node, sibling chains, key order, the\n"
    "free-node list), and every live record's key in every tag (exactly once,\n"
    "under its own key, in the tags whose FOR expression it passes). Nothing is\n"
    "written. While it reads, the table is locked as programs that change it lock\n"
    "it, so that it is seen whole.\n"
    "\n"
    "Exit status 0 when the table is sound, 1 when it is not (or cannot be read).\n";

class DataSection : public CheckSection {
 public:
  bool run(CheckSubject& s, ProblemSink& problems) override {
    s.readable = readLayout(s.files, &s.layout, problems) &&
                 walkRecords(s.files, s.layout, s.task + (" " + s.layout.leaf), s.console,
                             &s.records, problems, s.recordObserver);
    return s.readable;
  }
  std::string summary(const CheckSubject& s) const override {
    return s.readable ? counted(s.records.live + s.records.deleted, "record") : "";
  }
};

class MemoSection : public CheckSection {
 public:
  bool run(CheckSubject& s, ProblemSink& problems) override {
    ran_ = s.layout.namesMemoFile() || s.layout.hasMemoColumns();
    if (ran_)
      analyseMemos(s.files, s.layout, s.task + (" " + s.layout.leaf), s.console, &s.records,
                   &s.memo, problems);
    return true;
  }
  std::string summary(const CheckSubject& s) const override {
    return ran_ ? counted(s.memo.memos, "memo") : "";
  }

 private:
  bool ran_ = false;
};

int runCheck(const Invocation& call) {
  int64_t limit = 100;
  if (call.has("max-problems") && !call.count("max-problems", &limit))
    return call.usageError("--max-problems needs a number, not '" + call.value("max-problems") +
                           "'");
  return checkTable(call.table, limit, *call.console);
}

}  // namespace

void ProblemPrinter::problem(const std::string& where, const std::string& text) {
  if (limit_ == 0 || count_ < limit_) std::fprintf(out_, "%s: %s\n", where.c_str(), text.c_str());
  ++count_;
}

std::vector<std::unique_ptr<CheckSection>> checkSections() {
  std::vector<std::unique_ptr<CheckSection>> sections;
  sections.push_back(std::make_unique<DataSection>());
  sections.push_back(std::make_unique<MemoSection>());
  sections.push_back(makeIndexSection());
  return sections;
}

std::vector<std::string> runSections(const std::vector<std::unique_ptr<CheckSection>>& sections,
                                     CheckSubject& subject, ProblemSink& problems) {
  std::vector<std::string> summaries;
  for (const auto& section : sections) section->attach(subject, problems);
  for (const auto& section : sections) {
    const bool goOn = section->run(subject, problems);
    const std::string text = section->summary(subject);
    if (!text.empty()) summaries.push_back(text);
    if (!goOn) break;
  }
  return summaries;
}

int checkTable(const std::string& table, int64_t limit, const Console& console) {
  CheckSubject subject(console, "check");
  std::string error;
  bool unlocked = false;
  if (!subject.files.open(table, true, &unlocked, &error)) {
    console.error(error);
    return kExitFailure;
  }
  if (unlocked)
    console.warning(subject.files.dataName() +
                    " may not be written by you, so it is read without the table lock; a "
                    "program changing it meanwhile can make changes in progress look like "
                    "problems");
  ProblemPrinter printer(console.out, limit);
  const std::vector<std::string> summaries = runSections(checkSections(), subject, printer);
  std::string what;
  for (const std::string& s : summaries) what += (what.empty() ? "" : ", ") + s;
  const std::string name = subject.layout.leaf.empty() ? table : subject.layout.leaf;
  std::string line = name + ": ";
  if (printer.count() == 0) {
    line += "ok";
  } else {
    line += counted(printer.count(), "problem");
    if (printer.truncated())
      line += format(" (the first %lld shown)", static_cast<long long>(limit));
  }
  if (!what.empty()) line += " (" + what + ")";
  std::fprintf(console.out, "%s\n", line.c_str());
  std::fflush(console.out);
  return printer.count() == 0 ? kExitOk : kExitFailure;
}

const CommandSpec& checkCommand() {
  static const CommandSpec command = {
      "check",  "Check the data, memo and index files for damage (read-only)",
      kDetails, {{"max-problems", "N", "print at most N problems (default 100, 0: all)"}},
      runCheck,
  };
  return command;
}

}  // namespace dbftool
