#include "tools/dbftool/inspect.h"

#include <algorithm>
#include <cstring>

#include "dbf/core/codes.h"
#include "dbf/core/context.h"

namespace dbftool {

namespace {

constexpr uint32_t kFoxAreaLength = 263;   // zeros after the FoxPro 3.0 descriptors
constexpr uint32_t kMemoHeaderSize = 512;  // of an .FPT file
constexpr uint32_t kChunk = 1 << 20;       // bytes read at once

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
uint32_t getBig32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Reads |n| bytes at |pos|; on failure reports it and clears the engine's error.
bool readAt(TableFiles& files, DiskFile& f, int64_t pos, void* buf, uint32_t n,
            const std::string& where, ProblemSink& problems) {
  if (file4readAll(&f, pos, buf, n) == 0) return true;
  const int code = files.engine().takeError();
  problems.problem(where, format("reading %u bytes at offset %lld failed: %s", n,
                                 static_cast<long long>(pos), engineErrorText(code).c_str()));
  return false;
}

// What the engine requires of a column's length for its type; null when the
// length fits, else the rule broken.
const char* lengthRule(char type, uint32_t length, bool fox) {
  switch (type) {
    case 'C':
    case 'N':
    case 'F':
    case 'L':
      return length == 0 ? "a length of at least 1" : nullptr;
    case 'D':
      return length == 8 ? nullptr : "a length of 8";
    case 'M':
    case 'G':
      return length == 4 || length == 10 ? nullptr : "a length of 4 or 10";
    case 'B':
      return length == (fox ? 8u : 10u) ? nullptr : (fox ? "a length of 8" : "a length of 10");
    case 'I':
      return length == 4 ? nullptr : "a length of 4";
    case 'T':
    case 'Y':
      return length == 8 ? nullptr : "a length of 8";
    default:
      return length == 0 ? "a length of at least 1" : nullptr;
  }
}

bool foxOnly(char type) { return type == 'I' || type == 'T' || type == 'Y' || type == '0'; }

// Parses descriptor |i| at |p| into |c|, reporting what the engine would
// refuse or misread.
void readDescriptor(const uint8_t* p, int i, uint32_t offset, bool fox, ColumnLayout* c,
                    const std::string& leaf, ProblemSink& problems) {
  size_t n = 0;
  while (n < 11 && p[n] != 0) ++n;
  c->name.assign(reinterpret_cast<const char*>(p), n > 10 ? 10 : n);
  c->type = static_cast<char>(p[11] >= 'a' && p[11] <= 'z' ? p[11] - 'a' + 'A' : p[11]);
  c->length = c->type == 'C' ? get16(p + 16) : p[16];
  c->decimals = c->type == 'C' ? 0 : p[17];
  c->flags = p[18];
  c->offset = offset;
  c->memo = c->type == 'M' || c->type == 'G' || (c->type == 'B' && !fox);

  const std::string label = format("column %d (%s)", i + 1, c->name.c_str());
  if (c->name.empty()) problems.problem(leaf, format("column %d has no name", i + 1));
  for (char ch : c->name)
    if (static_cast<uint8_t>(ch) <= ' ' || static_cast<uint8_t>(ch) >= 0x7F) {
      problems.problem(leaf, label + " has a name with characters no column name holds");
      break;
    }
  if (std::strchr("CNFDLMGBITY0", c->type) == nullptr || c->type == 0) {
    problems.problem(leaf, format("%s has type '%c' (0x%02X), which the engine does not read",
                                  label.c_str(), c->type >= ' ' ? c->type : '?', p[11]));
  } else if (!fox && foxOnly(c->type)) {
    problems.problem(leaf, format("%s has type '%c', which only the FoxPro 3.0 layout has",
                                  label.c_str(), c->type));
  } else if (const char* rule = lengthRule(c->type, c->length, fox)) {
    problems.problem(leaf, format("%s of type '%c' is %u bytes long; the type needs %s",
                                  label.c_str(), c->type, c->length, rule));
  }
  if ((c->type == 'N' || c->type == 'F') && c->decimals > 0 && c->decimals >= c->length)
    problems.problem(
        leaf, format("%s has %u decimals in a width of %u", label.c_str(), c->decimals, c->length));
  // FoxPro files record where each column starts; dBASE files leave it open.
  const uint32_t stored = get32(p + 12);
  if (fox && stored != offset)
    problems.problem(leaf, format("%s says it starts at byte %u of the record; the columns "
                                  "before it end at byte %u",
                                  label.c_str(), stored, offset));
}

void checkNullFlags(TableLayout* layout, ProblemSink& problems) {
  const std::string& leaf = layout->leaf;
  std::vector<ColumnLayout>& cols = layout->columns;
  int nullable = 0;
  for (size_t i = 0; i < cols.size(); ++i) {
    if (cols[i].type == '0') {
      if (layout->nullFlagsColumn >= 0 || i + 1 != cols.size() ||
          upper(cols[i].name) != "_NULLFLAGS")
        problems.problem(leaf, format("column %d (%s) of type '0' is not the one _NullFlags "
                                      "column after all others",
                                      static_cast<int>(i + 1), cols[i].name.c_str()));
      else
        layout->nullFlagsColumn = static_cast<int>(i);
    } else if (layout->fox30() && (cols[i].flags & 0x02) != 0) {
      cols[i].nullBit = nullable++;
    }
  }
  layout->nullableColumns = nullable;
  if (nullable == 0) return;
  if (layout->nullFlagsColumn < 0) {
    problems.problem(leaf,
                     format("%d columns may be null, but there is no _NullFlags column", nullable));
  } else if (cols[layout->nullFlagsColumn].length * 8 < static_cast<uint32_t>(nullable)) {
    problems.problem(leaf, format("_NullFlags has %u bits for %d columns that may be null",
                                  cols[layout->nullFlagsColumn].length * 8, nullable));
    layout->nullFlagsColumn = -1;
  }
  if (layout->nullFlagsColumn < 0)
    for (ColumnLayout& c : cols) c.nullBit = -1;
}

// The record count against the length of the file.
bool checkRecordCount(TableFiles& files, TableLayout* layout, ProblemSink& problems) {
  const int64_t space = layout->fileLength - layout->headerLength;
  const int64_t length = layout->recordLength;
  const int64_t count = layout->recordCount;
  const int64_t whole = space / length;
  layout->recordsToRead = std::min(count, whole);
  if (count > whole) {
    std::string text = format("the header counts %lld records, the file holds only %lld",
                              static_cast<long long>(count), static_cast<long long>(whole));
    if (space % length != 0)
      text += format(" and %lld bytes of one more", static_cast<long long>(space % length));
    problems.problem(layout->leaf, text);
    return true;
  }
  const int64_t extra = space - count * length;
  if (extra == 0) return true;
  if (extra == 1) {
    uint8_t last = 0;
    if (!readAt(files, files.data(), layout->fileLength - 1, &last, 1, layout->leaf, problems))
      return false;
    if (last == 0x1A) return true;  // the end-of-file mark
  }
  std::string text = format(
      "the file holds %lld bytes after the last of the %lld records the "
      "header counts",
      static_cast<long long>(extra), static_cast<long long>(count));
  if (extra >= length)
    text += format(" (%lld whole records)", static_cast<long long>(extra / length));
  problems.problem(layout->leaf, text);
  return true;
}

}  // namespace

std::string leafOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool TableLayout::hasMemoColumns() const {
  for (const ColumnLayout& c : columns)
    if (c.memo) return true;
  return false;
}

TableFiles::~TableFiles() {
  if (locked_) file4unlock(&data_, kLockWholeFile, kLockWholeFileLength);
  file4close(&index_);
  file4close(&memo_);
  file4close(&data_);
  engine_.takeError();
}

bool TableFiles::open(const std::string& name, bool consistent, bool* unlocked,
                      std::string* error) {
  EngineContext* ctx = engine_.ctx();
  dataName_ = tableFileName(name);
  if (dataName_.empty()) {
    *error = format("'%s' is not a table name", name.c_str());
    return false;
  }
  ctx->shareMode = 0;
  ctx->openReadOnly = consistent ? 0 : 1;
  int rc = file4open(&data_, ctx, dataName_.c_str(), true);
  int code = rc != 0 ? engine_.takeError() : 0;
  bool nobodyWrites = false;
  if (code == dbf::kErrOpen && consistent) {
    // Someone has the file open so that nobody may write it: reading alone
    // is allowed, and consistent as it is.
    ctx->openReadOnly = 1;
    rc = file4open(&data_, ctx, dataName_.c_str(), true);
    code = rc != 0 ? engine_.takeError() : 0;
    nobodyWrites = rc == 0;
  }
  if (rc != 0) {
    *error = openFailure(dataName_, code, Access::kRead);
    return false;
  }
  *unlocked = consistent && !nobodyWrites && data_.readOnly;
  if (consistent && !data_.readOnly) {
    rc = file4lock(&data_, kLockWholeFile, kLockWholeFileLength);
    if (rc != 0) {
      *error = rc == dbf::kLocked
                   ? format(
                         "%s is locked by another program that is changing it; try again "
                         "later",
                         dataName_.c_str())
                   : format("cannot lock %s: %s", dataName_.c_str(),
                            engineErrorText(engine_.takeError()).c_str());
      return false;
    }
    locked_ = true;
  }
  return true;
}

namespace {

// Opens |name| beside the data file for reading into |file|: 1 opened, 0
// missing, -1 failed with a message in |error|.
int openBeside(Engine& engine, const std::string& name, DiskFile* file, std::string* error) {
  if (name.empty() || !file4exists(name.c_str())) return 0;
  EngineContext* ctx = engine.ctx();
  ctx->shareMode = 0;
  ctx->openReadOnly = 1;
  if (file4open(file, ctx, name.c_str(), true) == 0) return 1;
  *error = format("cannot open %s: %s", name.c_str(), engineErrorText(engine.takeError()).c_str());
  return -1;
}

}  // namespace

int TableFiles::openMemo(std::string* error) {
  memoName_ = memoFileName(dataName_);
  return openBeside(engine_, memoName_, &memo_, error);
}

int TableFiles::openIndex(std::string* error) {
  indexName_ = indexFileName(dataName_);
  return openBeside(engine_, indexName_, &index_, error);
}

bool readLayout(TableFiles& files, TableLayout* layout, ProblemSink& problems) {
  layout->file = files.dataName();
  layout->leaf = leafOf(layout->file);
  const std::string& leaf = layout->leaf;
  layout->fileLength = file4length(&files.data());
  if (layout->fileLength < 0) {
    problems.problem(
        leaf, "the file length cannot be read: " + engineErrorText(files.engine().takeError()));
    return false;
  }
  if (layout->fileLength < 32) {
    problems.problem(leaf, format("the file is %lld bytes long, too short for a table header",
                                  static_cast<long long>(layout->fileLength)));
    return false;
  }
  uint8_t h[32];
  if (!readAt(files, files.data(), 0, h, 32, leaf, problems)) return false;
  layout->version = h[0];
  layout->lastUpdate[0] = 1900 + h[1];
  layout->lastUpdate[1] = h[2];
  layout->lastUpdate[2] = h[3];
  layout->recordCount = get32(h + 4);
  layout->headerLength = get16(h + 8);
  layout->recordLength = get16(h + 10);
  layout->flags = h[28];
  layout->codePageMark = h[29];

  if (std::strchr("\x03\x30\x83\xF5", layout->version) == nullptr || layout->version == 0)
    problems.problem(leaf, format("version byte 0x%02X is not a layout the engine reads (0x03, "
                                  "0x30, 0x83, 0xF5)",
                                  layout->version));
  if (layout->headerLength <= 32 || layout->headerLength > layout->fileLength) {
    problems.problem(
        leaf, format("the header length %u does not fit a file of %lld bytes", layout->headerLength,
                     static_cast<long long>(layout->fileLength)));
    return false;
  }
  std::vector<uint8_t> area(layout->headerLength - 32);
  if (!readAt(files, files.data(), 32, area.data(), static_cast<uint32_t>(area.size()), leaf,
              problems))
    return false;
  size_t count = 0;
  while (32 * count < area.size() && area[32 * count] != 0x0D) ++count;
  if (32 * count >= area.size()) {
    problems.problem(leaf, format("the column descriptors have no end mark (0x0D) within the "
                                  "header length %u",
                                  layout->headerLength));
    return false;
  }
  if (count == 0) {
    problems.problem(leaf, "the table has no columns");
    return false;
  }
  const uint32_t needed =
      static_cast<uint32_t>(32 * count + 33) + (layout->fox30() ? kFoxAreaLength : 0);
  if (layout->headerLength < needed)
    problems.problem(leaf, format("the header length %u leaves no room for the %u-byte area "
                                  "that follows the descriptors (%u bytes needed)",
                                  layout->headerLength, kFoxAreaLength, needed));

  uint32_t offset = 1;
  layout->columns.resize(count);
  for (size_t i = 0; i < count; ++i) {
    readDescriptor(&area[32 * i], static_cast<int>(i), offset, layout->fox30(), &layout->columns[i],
                   leaf, problems);
    offset += layout->columns[i].length;
    for (size_t k = 0; k < i; ++k)
      if (!layout->columns[i].name.empty() &&
          upper(layout->columns[k].name) == upper(layout->columns[i].name)) {
        problems.problem(leaf,
                         format("columns %d and %d are both named %s", static_cast<int>(k + 1),
                                static_cast<int>(i + 1), layout->columns[i].name.c_str()));
        break;
      }
  }
  checkNullFlags(layout, problems);
  if (layout->recordLength != offset) {
    problems.problem(leaf, format("the header gives a record length of %u; the columns make %u",
                                  layout->recordLength, offset));
    return false;
  }
  return checkRecordCount(files, layout, problems);
}

namespace {

// The block number in a memo reference: 0 for none, -1 when it is no number.
int64_t memoBlock(const uint8_t* p, const ColumnLayout& c, bool fox) {
  if (fox && c.length == 4) return get32(p);
  uint32_t i = 0;
  while (i < c.length && (p[i] == ' ' || p[i] == 0)) ++i;
  int64_t block = 0;
  uint32_t digits = 0;
  for (; i < c.length && p[i] >= '0' && p[i] <= '9'; ++i, ++digits)
    block = block * 10 + (p[i] - '0');
  while (i < c.length && (p[i] == ' ' || p[i] == 0)) ++i;
  if (i != c.length || block > 0xFFFFFFFFLL) return -1;
  return block;
}

}  // namespace

bool walkRecords(TableFiles& files, const TableLayout& layout, const std::string& progressLabel,
                 const Console& console, RecordStatistics* stats, ProblemSink& problems,
                 RecordObserver* observer) {
  const uint32_t length = layout.recordLength;
  const int64_t total = layout.recordsToRead;
  const uint32_t perChunk = std::max<uint32_t>(1, kChunk / length);
  std::vector<uint8_t> buffer(size_t{perChunk} * length);
  std::vector<uint16_t> memoColumns;
  for (size_t i = 0; i < layout.columns.size(); ++i)
    if (layout.columns[i].memo) memoColumns.push_back(static_cast<uint16_t>(i));
  const ColumnLayout* nullFlags =
      layout.nullFlagsColumn >= 0 ? &layout.columns[layout.nullFlagsColumn] : nullptr;

  Progress progress(console, progressLabel, total);
  if (observer != nullptr) observer->start(layout);
  for (int64_t first = 0; first < total; first += perChunk) {
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(perChunk, total - first));
    const int64_t pos = layout.headerLength + first * length;
    if (!readAt(files, files.data(), pos, buffer.data(), n * length, layout.leaf, problems))
      return false;
    for (uint32_t k = 0; k < n; ++k) {
      const uint8_t* rec = &buffer[size_t{k} * length];
      const auto number = static_cast<uint32_t>(first + k + 1);
      auto where = [&] { return layout.leaf + " record " + std::to_string(number); };
      if (rec[0] == ' ') {
        ++stats->live;
      } else {
        ++stats->deleted;
        if (rec[0] != '*')
          problems.problem(where(),
                           format("the deletion flag 0x%02X is neither a blank nor '*'", rec[0]));
      }
      if (nullFlags != nullptr) {
        for (uint32_t bit = layout.nullableColumns; bit < nullFlags->length * 8; ++bit)
          if ((rec[nullFlags->offset + bit / 8] >> (bit % 8)) & 1) {
            problems.problem(where(), format("_NullFlags sets bit %u, which no column owns", bit));
            break;
          }
      }
      for (uint16_t i : memoColumns) {
        const ColumnLayout& c = layout.columns[i];
        if (c.nullBit >= 0 && nullFlags != nullptr &&
            ((rec[nullFlags->offset + c.nullBit / 8] >> (c.nullBit % 8)) & 1))
          continue;  // a null memo has no memo, whatever its bytes say
        const int64_t block = memoBlock(rec + c.offset, c, layout.fox30());
        if (block < 0)
          problems.problem(where(), format("%s: the memo reference '%.*s' is not a block number",
                                           c.name.c_str(), static_cast<int>(c.length),
                                           reinterpret_cast<const char*>(rec + c.offset)));
        else if (block > 0)
          stats->memos.push_back({static_cast<uint32_t>(block), number, i});
      }
      if (observer != nullptr) observer->record(number, rec);
      progress.update(first + k + 1);
    }
  }
  return true;
}

namespace {

// Reads 8-byte memo block headers at rising positions through a large window,
// so that a pass over sorted references reads the memo file once, in order.
class BlockHeaderReader {
 public:
  BlockHeaderReader(DiskFile& file, int64_t fileLength) : file_(file), fileLength_(fileLength) {}

  // False when the read failed (the engine's error is left in the context).
  bool read(int64_t pos, uint8_t* out) {
    if (pos < start_ || pos + 8 > start_ + static_cast<int64_t>(window_.size())) {
      const int64_t n = std::min<int64_t>(kChunk, fileLength_ - pos);
      window_.resize(static_cast<size_t>(n));
      start_ = pos;
      if (file4readAll(&file_, pos, window_.data(), static_cast<uint32_t>(n)) != 0) {
        window_.clear();
        return false;
      }
    }
    std::memcpy(out, &window_[static_cast<size_t>(pos - start_)], 8);
    return true;
  }

 private:
  DiskFile& file_;
  int64_t fileLength_;
  int64_t start_ = 0;
  std::vector<uint8_t> window_;
};

std::string referenceName(const TableLayout& layout, const MemoReference& r) {
  return format("record %u (%s)", r.record, layout.columns[r.column].name.c_str());
}

}  // namespace

void analyseMemos(TableFiles& files, const TableLayout& layout, const std::string& progressLabel,
                  const Console& console, RecordStatistics* records, MemoStatistics* stats,
                  ProblemSink& problems) {
  std::vector<MemoReference>& refs = records->memos;
  const std::string& leaf = layout.leaf;
  std::string error;
  const int opened = files.openMemo(&error);
  const std::string memoLeaf = leafOf(files.memoName());
  if (opened < 0) {
    problems.problem(memoLeaf, error);
    return;
  }
  if (!layout.namesMemoFile()) {
    if (!refs.empty())
      problems.problem(leaf, format("%s to memos, but the header names no memo file (flags "
                                    "0x%02X), so the memos are never read",
                                    counted(static_cast<int64_t>(refs.size()), "reference").c_str(),
                                    layout.flags));
    return;
  }
  if (opened == 0) {
    problems.problem(leaf, format("the header names a memo file, but %s is missing; the table "
                                  "cannot be opened",
                                  memoLeaf.c_str()));
    return;
  }
  DiskFile& memo = files.memo();
  stats->present = true;
  stats->fileLength = file4length(&memo);
  uint8_t h[8];
  if (stats->fileLength < 0) {
    problems.problem(
        memoLeaf, "the file length cannot be read: " + engineErrorText(files.engine().takeError()));
    return;
  }
  if (stats->fileLength < 8) {
    problems.problem(memoLeaf, format("the file is %lld bytes long, too short for a memo header",
                                      static_cast<long long>(stats->fileLength)));
    return;
  }
  if (!readAt(files, memo, 0, h, 8, memoLeaf, problems)) return;
  stats->nextFree = getBig32(h);
  stats->blockSize = (uint32_t{h[6]} << 8) | h[7];
  if (stats->blockSize == 0) {
    problems.problem(memoLeaf, "the block size is 0");
    return;
  }
  if (stats->fileLength < kMemoHeaderSize)
    problems.problem(memoLeaf,
                     format("the file is %lld bytes long, shorter than its %u-byte header",
                            static_cast<long long>(stats->fileLength), kMemoHeaderSize));
  const uint32_t size = stats->blockSize;
  stats->firstBlock = size <= kMemoHeaderSize ? kMemoHeaderSize / size : 1;
  if (stats->nextFree < stats->firstBlock)
    problems.problem(memoLeaf, format("the next free block %u lies in the header (the first "
                                      "block after it is %u)",
                                      stats->nextFree, stats->firstBlock));

  std::sort(refs.begin(), refs.end(), [](const MemoReference& a, const MemoReference& b) {
    return a.block != b.block ? a.block < b.block : a.record < b.record;
  });
  BlockHeaderReader reader(memo, stats->fileLength);
  Progress progress(console, progressLabel, static_cast<int64_t>(refs.size()), "memos");
  int64_t done = 0;
  int64_t coveredTo = 0;  // end of the runs seen so far, in blocks
  const MemoReference* coveredBy = nullptr;
  for (const MemoReference& r : refs) {
    progress.update(++done);
    auto where = [&] { return leaf + " " + referenceName(layout, r); };
    const int64_t start = int64_t{r.block} * size;
    if (r.block < stats->firstBlock) {
      problems.problem(where(),
                       format("the memo block %u lies in the memo file's header", r.block));
      continue;
    }
    uint8_t bh[8];
    if (start + 8 > stats->fileLength) {
      problems.problem(where(), format("the memo block %u lies beyond the end of %s", r.block,
                                       memoLeaf.c_str()));
      continue;
    }
    if (!reader.read(start, bh)) {
      problems.problem(where(),
                       "the memo cannot be read: " + engineErrorText(files.engine().takeError()));
      continue;
    }
    const int64_t length = getBig32(bh + 4);
    if (start + 8 + length > stats->fileLength) {
      problems.problem(where(), format("the memo at block %u claims %lld bytes, more than %s holds",
                                       r.block, static_cast<long long>(length), memoLeaf.c_str()));
      continue;
    }
    ++stats->memos;
    const int64_t end = r.block + (length + 8 + size - 1) / size;  // first block after the run
    if (end > stats->nextFree)
      problems.problem(where(), format("the memo at block %u ends at block %lld, but the next "
                                       "free block is %u: a new memo would overwrite it",
                                       r.block, static_cast<long long>(end - 1), stats->nextFree));
    if (r.block < coveredTo) {
      problems.problem(where(), format("the memo at block %u shares blocks with the memo of %s",
                                       r.block, referenceName(layout, *coveredBy).c_str()));
    }
    if (end > coveredTo) {
      stats->usedBlocks += end - std::max<int64_t>(coveredTo, r.block);
      coveredTo = end;
      coveredBy = &r;
    }
  }
}

}  // namespace dbftool
