#include "tools/dbftool/dump.h"

#include <memory>

#include "dbf/core/table.h"
#include "dbf/expr/query.h"
#include "dbf/index/index.h"
#include "tools/dbftool/cli.h"
#include "tools/dbftool/codepage.h"
#include "tools/dbftool/engine.h"
#include "tools/dbftool/fields.h"

namespace dbftool {

namespace {

const char kDetails[] =
    "Writes the table's records to standard output, in record order, as CSV (RFC\n"
    "4180: a header line of column names, CRLF line ends) or as JSON lines (one\n"
    "object per record). Texts are converted to UTF-8 from the table's code page:\n"
    "Windows-1252 for code page marks 0 and 3, code page 437 for mark 1, and\n"
    "Windows-1252 with a warning for any other mark. Memo texts are included;\n"
    "binary values are shown in base64. Deleted records are left out unless\n"
    "--deleted is given. A memo that cannot be read is written empty, after a\n"
    "warning, and the exit status is then 1.\n"
    "\n"
    "The condition of --where is an expression of the engine's dBASE language,\n"
    "for example \"MSGID1 = 17 .AND. UPPER(RECPUSER) = 'POSTMASTER'\".\n"
    "\n"
    "--tag NAME writes the records in the order of that tag of the table's index\n"
    "(a descending tag from the highest key down); a tag with a FOR expression\n"
    "gives only the records it holds. A table whose index cannot be read is\n"
    "written out in record order without it, after a warning.\n";

// A failure of the run, or of the request (exit status 2).
struct Failure {
  int status;
  std::string text;
};

class Dump {
 public:
  Dump(const DumpRequest& request, const Console& console) : request_(request), console_(console) {}
  ~Dump() {
    if (query_ != nullptr) query4free(query_, 0);
    if (table_ != nullptr) table4close(table_);
  }

  int run() {
    Failure failure{kExitOk, ""};
    if (!openTable(&failure)) return fail(failure);
    decoder_ = std::make_unique<TextDecoder>(table_->dataFile->codePageMark);
    if (!decoder_->knowsMark())
      console_.warning(
          format("%s has code page mark 0x%02X, which dbftool does not know; "
                 "texts are read as Windows-1252",
                 table_->dataFile->fullName, table_->dataFile->codePageMark));
    if (!chooseColumns(&failure) || !chooseOrder(&failure) || !startQuery(&failure))
      return fail(failure);
    return writeRecords();
  }

 private:
  int fail(const Failure& f) {
    if (f.status == kExitUsage) {
      std::fprintf(console_.err, "dbftool dump: %s\nTry 'dbftool dump --help'.\n", f.text.c_str());
    } else {
      console_.error(f.text);
    }
    return f.status;
  }

  // Opens the table with its production index; one whose index cannot be
  // read is opened without it, unless the order of a tag was asked for.
  bool openTable(Failure* failure) {
    std::string error;
    table_ = dbftool::openTable(engine_, request_.table, Access::kRead, &error);
    if (table_ != nullptr) return true;
    std::string plainError;
    table_ = dbftool::openTable(engine_, request_.table, Access::kRead, &plainError, false);
    if (table_ == nullptr) {
      *failure = {kExitFailure, plainError};
      return false;
    }
    if (!request_.tag.empty()) {
      *failure = {kExitFailure, error + "; without it there is no tag order"};
      return false;
    }
    console_.warning(error + "; the records are read without the index");
    return true;
  }

  bool chooseOrder(Failure* failure) {
    if (request_.tag.empty()) return true;
    engine_.ctx()->reportTagNameErrors = 0;
    Tag* tag = table4tagByName(table_, request_.tag.c_str());
    if (tag == nullptr) {
      *failure = {kExitUsage,
                  table_->indexes == nullptr
                      ? format("%s has no index, so no tag '%s'", table_->dataFile->fullName,
                               request_.tag.c_str())
                      : format("%s has no tag '%s' (its tags: %s)", table_->dataFile->fullName,
                               request_.tag.c_str(), tagList().c_str())};
      return false;
    }
    if (table4selectTag(table_, tag) != 0) {
      *failure = {kExitFailure,
                  "selecting the tag failed: " + engineErrorText(engine_.takeError())};
      return false;
    }
    return true;
  }

  std::string tagList() {
    std::string list;
    for (IndexHandle* h = table_->indexes; h != nullptr; h = h->next)
      for (TagHandle* th = h->tags; th != nullptr; th = th->next)
        list += std::string(list.empty() ? "" : ", ") + th->tag->name;
    return list;
  }

  bool chooseColumns(Failure* failure) {
    if (request_.columns.empty()) {
      for (int n = 1; n <= table4columnCount(table_); ++n) fields_.emplace_back(table_, n);
      return true;
    }
    for (const std::string& name : request_.columns) {
      const int n = table4columnByName(table_, name.c_str());
      engine_.takeError();
      if (n < 1 || table_->columns[n - 1].type == '0') {
        *failure = {kExitUsage,
                    format("%s has no column '%s' (its columns: %s)", table_->dataFile->fullName,
                           name.c_str(), columnList().c_str())};
        return false;
      }
      for (const FieldFormatter& f : fields_)
        if (f.name() == table_->columns[n - 1].name) {
          *failure = {kExitUsage, format("--columns names %s twice", f.name().c_str())};
          return false;
        }
      fields_.emplace_back(table_, n);
    }
    return true;
  }

  std::string columnList() {
    std::string list;
    for (int n = 1; n <= table4columnCount(table_); ++n)
      list += std::string(n > 1 ? ", " : "") + table_->columns[n - 1].name;
    return list;
  }

  bool startQuery(Failure* failure) {
    std::string condition;
    if (!decoder_->encode(request_.where, &condition)) {
      *failure = {kExitUsage, format("the condition holds characters that the table's code page "
                                     "(%s) cannot store",
                                     decoder_->name())};
      return false;
    }
    query_ = query4init(table_);
    if (query_ == nullptr || query4setExpression(query_, condition.c_str()) != 0) {
      *failure = {kExitFailure, "out of memory"};
      return false;
    }
    first_ = query4top(query_);
    if (first_ >= 0) return true;
    const int code = engine_.takeError();
    const bool compile = (code <= dbf::kErrExprCommaOrParen && code >= dbf::kErrExprForeignAlias) ||
                         code == dbf::kErrExprNotOneValue || code == dbf::kErrColumnName;
    if (!request_.where.empty() && compile)
      *failure = {kExitUsage, format("--where \"%s\": %s", request_.where.c_str(),
                                     engineErrorText(code).c_str())};
    else
      *failure = {kExitFailure, format("reading %s failed: %s", table_->dataFile->fullName,
                                       engineErrorText(code).c_str())};
    return false;
  }

  int writeRecords() {
    OutputBuffer out(console_.out);
    std::unique_ptr<RecordWriter> writer = makeRecordWriter(request_.format, out, *decoder_);
    std::vector<std::string> names;
    if (request_.deleted) names.push_back("_DELETED");
    for (const FieldFormatter& f : fields_) names.push_back(f.name());
    writer->begin(names);

    Progress progress(console_, "dump", table4recCount(table_));
    int64_t written = 0;
    int64_t visited = 0;
    int rc = first_;
    for (; rc == 0 && written != request_.limit; rc = query4skip(query_, 1)) {
      progress.update(++visited);
      const bool deleted = table4deleted(table_) == 1;
      if (deleted && !request_.deleted) continue;
      writer->beginRecord();
      if (request_.deleted) writer->boolean(deleted);
      for (const FieldFormatter& f : fields_)
        if (!f.write(*writer)) memoUnreadable(f);
      writer->endRecord();
      ++written;
    }
    progress.finish();
    if (rc < 0) {
      out.flush();
      return fail({kExitFailure, format("reading %s failed after %lld records: %s",
                                        table_->dataFile->fullName, static_cast<long long>(written),
                                        engineErrorText(engine_.takeError()).c_str())});
    }
    if (!out.flush()) return fail({kExitFailure, "writing the output failed"});
    if (unreadableMemos_ > 0)
      return fail({kExitFailure,
                   format("%s of %s could not be read (written empty)",
                          counted(unreadableMemos_, "memo").c_str(), table_->dataFile->fullName)});
    return kExitOk;
  }

  void memoUnreadable(const FieldFormatter& f) {
    ++unreadableMemos_;
    const int code = engine_.takeError();
    console_.warning(format("record %d, %s: the memo cannot be read (%s); left empty",
                            table_->recordNumber, f.name().c_str(), engineErrorText(code).c_str()));
  }

  const DumpRequest& request_;
  const Console& console_;
  Engine engine_;
  Table* table_ = nullptr;
  Query* query_ = nullptr;
  int first_ = 0;
  std::unique_ptr<TextDecoder> decoder_;
  std::vector<FieldFormatter> fields_;
  int64_t unreadableMemos_ = 0;
};

std::vector<std::string> splitNames(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    std::string name = list.substr(start, comma == std::string::npos ? comma : comma - start);
    const size_t first = name.find_first_not_of(' ');
    const size_t last = name.find_last_not_of(' ');
    names.push_back(first == std::string::npos ? "" : name.substr(first, last - first + 1));
    if (comma == std::string::npos) return names;
    start = comma + 1;
  }
}

int runDump(const Invocation& call) {
  DumpRequest request;
  request.table = call.table;
  if (call.has("format")) {
    const std::string& f = call.value("format");
    if (f == "csv")
      request.format = OutputFormat::kCsv;
    else if (f == "json")
      request.format = OutputFormat::kJson;
    else
      return call.usageError("--format is csv or json, not '" + f + "'");
  }
  if (call.has("columns")) {
    request.columns = splitNames(call.value("columns"));
    for (const std::string& name : request.columns)
      if (name.empty()) return call.usageError("--columns has an empty name");
  }
  if (call.has("where")) request.where = call.value("where");
  if (call.has("tag")) {
    request.tag = call.value("tag");
    if (request.tag.empty()) return call.usageError("--tag needs a tag name");
  }
  request.deleted = call.has("deleted");
  if (call.has("limit") && !call.count("limit", &request.limit))
    return call.usageError("--limit needs a number of records, not '" + call.value("limit") + "'");
  return dumpTable(request, *call.console);
}

}  // namespace

int dumpTable(const DumpRequest& request, const Console& console) {
  return Dump(request, console).run();
}

const CommandSpec& dumpCommand() {
  static const CommandSpec command = {
      "dump",
      "Write the records as CSV or JSON lines",
      kDetails,
      {
          {"format", "csv|json", "output format (default csv)"},
          {"columns", "A,B,...", "only these columns, in this order"},
          {"where", "EXPR", "only the records for which EXPR is true"},
          {"deleted", nullptr, "include deleted records (field _DELETED tells them)"},
          {"limit", "N", "at most N records"},
          {"tag", "NAME", "in the order of this tag of the production index"},
      },
      runDump,
  };
  return command;
}

}  // namespace dbftool
