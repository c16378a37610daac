// dbftool info: what a table is made of, read from its files as they are.
#include "tools/dbftool/check.h"
#include "tools/dbftool/cli.h"
#include "tools/dbftool/codepage.h"

namespace dbftool {

namespace {

const char kDetails[] =
    "Shows the layout and version byte, the date of the last update, the number\n"
    "of records (live and deleted), the record length, the code page mark, every\n"
    "column (name, type, width, decimals, whether it may be null), the memo\n"
    "file (block size, blocks used by memos and free) and the production index:\n"
    "every tag with its key and FOR expressions, key length, unique or candidate,\n"
    "ascending or descending, collation, number of keys and levels. Counting needs\n"
    "one pass over the records, the memo headers and the index's nodes.\n";

// Counts problems and keeps the first, for a table info cannot show.
class ProblemCounter : public ProblemSink {
 public:
  void problem(const std::string& where, const std::string& text) override {
    if (count_++ == 0) first_ = where + ": " + text;
  }
  int64_t count() const { return count_; }
  const std::string& first() const { return first_; }

 private:
  int64_t count_ = 0;
  std::string first_;
};

const char* layoutName(uint8_t version) {
  switch (version) {
    case 0x30:
      return "FoxPro 3.0";
    case 0x03:
      return "dBASE, no memo";
    case 0x83:
      return "dBASE with memo";
    case 0xF5:
      return "FoxPro 2 with memo";
    default:
      return "unknown";
  }
}

std::string typeName(const ColumnLayout& c, bool fox) {
  std::string name;
  switch (c.type) {
    case 'C':
      name = "C character";
      break;
    case 'N':
      name = "N numeric";
      break;
    case 'F':
      name = "F float";
      break;
    case 'D':
      name = "D date";
      break;
    case 'L':
      name = "L logical";
      break;
    case 'M':
      name = "M memo";
      break;
    case 'G':
      name = "G general";
      break;
    case 'B':
      name = fox ? "B double" : "B binary memo";
      break;
    case 'I':
      name = "I integer";
      break;
    case 'T':
      name = "T datetime";
      break;
    case 'Y':
      name = "Y currency";
      break;
    default:
      name = format("%c unknown", c.type >= ' ' ? c.type : '?');
  }
  if ((c.flags & 0x04) != 0 && (c.type == 'C' || c.type == 'M')) name += ", binary";
  return name;
}

std::string codePageText(uint8_t mark) {
  const TextDecoder decoder(mark);
  const char* meaning = mark == 0 ? "none, texts read as " : "";
  if (!decoder.knowsMark()) meaning = "not known, texts read as ";
  return format("0x%02X (%s%s)", mark, meaning, decoder.name());
}

void printTable(FILE* out, const CheckSubject& s) {
  const TableLayout& l = s.layout;
  std::fprintf(out, "Table          %s\n", l.file.c_str());
  std::fprintf(out, "Layout         %s (version byte 0x%02X)\n", layoutName(l.version), l.version);
  std::fprintf(out, "Last update    %04d-%02d-%02d\n", l.lastUpdate[0], l.lastUpdate[1],
               l.lastUpdate[2]);
  std::fprintf(out, "Records        %s (%s live, %s deleted)\n", grouped(l.recordCount).c_str(),
               grouped(s.records.live).c_str(), grouped(s.records.deleted).c_str());
  std::fprintf(out, "Record length  %u bytes\n", l.recordLength);
  std::fprintf(out, "Header length  %u bytes\n", l.headerLength);
  std::fprintf(out, "Code page      %s\n", codePageText(l.codePageMark).c_str());
  std::fprintf(out, "Flags          0x%02X%s%s\n", l.flags,
               (l.flags & 0x01) ? ", production index" : "",
               l.fox30() && (l.flags & 0x02) ? ", memo file" : "");
}

void printColumns(FILE* out, const TableLayout& l) {
  const int count = static_cast<int>(l.columns.size()) - (l.nullFlagsColumn >= 0 ? 1 : 0);
  std::fprintf(out, "Columns        %d\n", count);
  std::fprintf(out, "  %3s  %-10s  %-17s %5s %4s  %s\n", "#", "Name", "Type", "Width", "Dec",
               "Null");
  for (int i = 0; i < count; ++i) {
    const ColumnLayout& c = l.columns[i];
    std::fprintf(out, "  %3d  %-10s  %-17s %5u %4u  %s\n", i + 1, c.name.c_str(),
                 typeName(c, l.fox30()).c_str(), c.length, c.decimals,
                 c.nullBit >= 0 ? "yes" : "no");
  }
  if (l.nullFlagsColumn >= 0)
    std::fprintf(out, "  (and _NullFlags, %u bytes, for the %d columns that may be null)\n",
                 l.columns[l.nullFlagsColumn].length, l.nullableColumns);
}

void printMemo(FILE* out, const CheckSubject& s) {
  const MemoStatistics& m = s.memo;
  if (!m.present) return;
  const int64_t data = int64_t{m.nextFree} - m.firstBlock;
  const int64_t free = data - m.usedBlocks;
  std::fprintf(out, "Memo file      %s\n", s.files.memoName().c_str());
  std::fprintf(out, "  Block size   %u bytes\n", m.blockSize);
  std::fprintf(out, "  Blocks       %s after the header: %s used by %s memos, %s free\n",
               grouped(data).c_str(), grouped(m.usedBlocks).c_str(), grouped(m.memos).c_str(),
               grouped(free > 0 ? free : 0).c_str());
  std::fprintf(out, "  File length  %s bytes\n", grouped(m.fileLength).c_str());
}

int runInfo(const Invocation& call) {
  const Console& console = *call.console;
  CheckSubject subject(console, "info");
  subject.compareKeys = false;
  std::string error;
  bool unlocked = false;
  if (!subject.files.open(call.table, false, &unlocked, &error)) {
    console.error(error);
    return kExitFailure;
  }
  ProblemCounter problems;
  runSections(checkSections(), subject, problems);
  if (!subject.readable) {
    console.error(format("cannot read %s: %s (dbftool check %s tells more)",
                         subject.files.dataName().c_str(), problems.first().c_str(),
                         call.table.c_str()));
    return kExitFailure;
  }
  FILE* out = console.out;
  printTable(out, subject);
  printColumns(out, subject.layout);
  printMemo(out, subject);
  printIndex(out, subject.index);
  if (problems.count() > 0)
    std::fprintf(out, "Problems       %s (dbftool check %s lists them)\n",
                 grouped(problems.count()).c_str(), call.table.c_str());
  std::fflush(out);
  return kExitOk;
}

}  // namespace

const CommandSpec& infoCommand() {
  static const CommandSpec command = {
      "info", "Show the table's layout, columns, memo file and index", kDetails, {}, runInfo,
  };
  return command;
}

}  // namespace dbftool
