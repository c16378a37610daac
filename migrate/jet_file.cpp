// The Access file reader: pages, table definitions, usage maps, rows and
// long values. Every number taken from the file is checked against what was
// read before it is used as an offset, a length, a count or a page number.
#include "migrate/jet_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <strings.h>

#include "migrate/old_db_exception.h"
#include "migrate/variant.h"

namespace {

// Page types (first byte of a page).
constexpr unsigned char kPageHeader = 0x00;
constexpr unsigned char kPageData = 0x01;
constexpr unsigned char kPageDefinition = 0x02;
constexpr unsigned char kPageUsageMap = 0x05;

// Flags of a data page's row slot; the rest is the row's offset.
constexpr unsigned kSlotDeleted = 0x8000;
constexpr unsigned kSlotPointer = 0x4000;
constexpr unsigned kSlotOffset = 0x1FFF;

// Long-value (memo) header: 4 bytes length and flags, 4 bytes row pointer,
// 4 bytes unused.
constexpr size_t kLongValueHeader = 12;
constexpr uint32_t kLongInline = 0x80000000u;
constexpr uint32_t kLongOneRow = 0x40000000u;
constexpr uint32_t kLongLengthMask = 0x3FFFFFFFu;

constexpr uint32_t kCatalogPage = 2;  // definition of MSysObjects
constexpr int kCatalogTableType = 1;  // Type of a table in MSysObjects

uint16_t u16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t u64(const unsigned char* p) {
  return static_cast<uint64_t>(u32(p)) | static_cast<uint64_t>(u32(p + 4)) << 32;
}
const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

double doubleOf(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

float floatOf(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Bytes a fixed value of this type occupies; 0 for the kinds whose size the
// definition gives.
size_t fixedSizeOf(int type) {
  switch (type) {
    case kJetByte:
      return 1;
    case kJetInt:
      return 2;
    case kJetLong:
    case kJetFloat:
      return 4;
    case kJetMoney:
    case kJetDouble:
    case kJetDateTime:
      return 8;
    case kJetGuid:
      return 16;
    case kJetNumeric:
      return 17;
    default:
      return 0;
  }
}

// A scaled decimal: a sign byte, then a 128-bit magnitude as four 32-bit
// words, the most significant first. Rendered as decimal text and read
// back, so that the double is the one the written number stands for.
double numericOf(const unsigned char* p, int scale) {
  uint32_t words[4];
  for (int i = 0; i < 4; ++i) words[i] = u32(p + 1 + 4 * i);
  std::string digits;
  bool zero;
  do {  // long division of the four words by ten
    uint64_t rest = 0;
    zero = true;
    for (uint32_t& word : words) {
      uint64_t part = rest << 32 | word;
      word = static_cast<uint32_t>(part / 10);
      rest = part % 10;
      zero &= word == 0;
    }
    digits.insert(digits.begin(), static_cast<char>('0' + rest));
  } while (!zero);
  if (scale > 0) {
    if (digits.size() <= static_cast<size_t>(scale))
      digits.insert(0, static_cast<size_t>(scale) + 1 - digits.size(), '0');
    digits.insert(digits.size() - static_cast<size_t>(scale), 1, '.');
  }
  if (p[0] & 0x80) digits.insert(0, 1, '-');
  return std::strtod(digits.c_str(), nullptr);
}

std::string guidOf(const unsigned char* p) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", u32(p),
                u16(p + 4), u16(p + 6), p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
  return text;
}

class FileSource : public JetSource {
 public:
  explicit FileSource(std::ifstream in) : in_(std::move(in)) {
    in_.seekg(0, std::ios::end);
    size_ = static_cast<uint64_t>(in_.tellg());
  }
  uint64_t size() override { return size_; }
  bool read(uint64_t pos, void* buffer, size_t len) override {
    if (pos > size_ || len > size_ - pos) return false;
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(pos));
    in_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(len));
    return static_cast<size_t>(in_.gcount()) == len;
  }

 private:
  std::ifstream in_;
  uint64_t size_ = 0;
};

class MemorySource : public JetSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() override { return bytes_.size(); }
  bool read(uint64_t pos, void* buffer, size_t len) override {
    if (pos > bytes_.size() || len > bytes_.size() - pos) return false;
    std::memcpy(buffer, bytes_.data() + pos, len);
    return true;
  }

 private:
  std::string bytes_;
};

}  // namespace

std::unique_ptr<JetSource> jetFileSource(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throwDaoException(kDaoCannotOpen, "Cannot open Access database '" + path + "'.");
  return std::make_unique<FileSource>(std::move(in));
}

std::unique_ptr<JetSource> jetMemorySource(std::string bytes) {
  return std::make_unique<MemorySource>(std::move(bytes));
}

// --- the file --------------------------------------------------------------

JetDatabase::JetDatabase(std::unique_ptr<JetSource> source) : source_(std::move(source)) {
  unsigned char head[0x18];
  if (!source_->read(0, head, sizeof head) || head[0] != kPageHeader)
    throwDaoException(kDaoCannotOpen, "Not an Access database.");
  jet3_ = head[0x14] == 0;
  pageSize_ = jet3_ ? 2048 : 4096;
  pageCount_ = static_cast<uint32_t>(std::min<uint64_t>(source_->size() / pageSize_, 0xFFFFFFu));
  try {
    JetTableDef catalog = readDefinition(kCatalogPage, "MSysObjects");
    int id = -1, name = -1, type = -1;
    for (size_t i = 0; i < catalog.columns.size(); ++i) {
      const std::string& column = catalog.columns[i].name;
      if (strcasecmp(column.c_str(), "Id") == 0) id = static_cast<int>(i);
      if (strcasecmp(column.c_str(), "Name") == 0) name = static_cast<int>(i);
      if (strcasecmp(column.c_str(), "Type") == 0) type = static_cast<int>(i);
    }
    if (id < 0 || name < 0 || type < 0) damaged("the catalog lacks Id, Name or Type");
    Rows rows(this, catalog);
    std::vector<JetValue> row;
    while (rows.next(&row)) {
      if ((row[type].integer & 0x7F) != kCatalogTableType || row[name].vt != 8) continue;
      tableNames_.push_back(row[name].text);
      tablePages_.push_back(static_cast<uint32_t>(row[id].integer) & 0xFFFFFFu);
    }
  } catch (CException* e) {
    char message[512];
    e->GetErrorMessage(message, sizeof message);
    e->Delete();
    throwDaoException(kDaoCannotOpen, std::string("Cannot read the catalog: ") + message);
  }
}

JetDatabase::~JetDatabase() = default;

void JetDatabase::damaged(const std::string& what) const {
  throwDaoException(kDaoEngineError, "The Access database is damaged: " + what + ".");
}

JetDatabase::PagePtr JetDatabase::page(uint32_t number) {
  auto found = cache_.find(number);
  if (found != cache_.end()) return found->second;
  if (number >= pageCount_) damaged("page " + std::to_string(number) + " lies beyond the end");
  auto data = std::make_shared<std::string>(pageSize_, '\0');
  if (!source_->read(static_cast<uint64_t>(number) * pageSize_, data->data(), pageSize_))
    damaged("page " + std::to_string(number) + " cannot be read");
  if (cache_.size() >= 64) cache_.clear();  // the pages of a scan are read in order
  cache_.emplace(number, data);
  return data;
}

// Text as stored: Windows-1252 bytes in Jet 3; in Jet 4 UCS-2, or its
// compressed form (after 0xFF 0xFE, one byte per character whose high byte
// is 0, a 0 byte switching to and from two-byte characters).
std::string JetDatabase::text(const unsigned char* data, size_t len) const {
  if (jet3_) return std::string(reinterpret_cast<const char*>(data), len);
  std::u16string units;
  if (len >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    bool compressed = true;
    for (size_t i = 2; i < len;) {
      if (data[i] == 0) {
        compressed = !compressed;
        ++i;
      } else if (compressed) {
        units.push_back(data[i++]);
      } else if (i + 1 < len) {
        units.push_back(static_cast<char16_t>(u16(data + i)));
        i += 2;
      } else {
        break;
      }
    }
  } else {
    for (size_t i = 0; i + 1 < len; i += 2) units.push_back(static_cast<char16_t>(u16(data + i)));
  }
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    char16_t unit = units[i];
    bool pair = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() &&
                units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
    out.push_back(pair ? '?' : windows1252Of(unit));
    if (pair) ++i;
  }
  return out;
}

// --- table definitions -------------------------------------------------------

// A definition spread over pages, read with bounds checks.
class DefinitionBytes {
 public:
  std::string data;
  void need(uint64_t offset, uint64_t len, const char* what) const {
    if (offset > data.size() || len > data.size() - offset)
      throwDaoException(kDaoEngineError,
                        std::string("The Access database is damaged: the table definition "
                                    "ends inside its ") +
                            what + ".");
  }
  const unsigned char* at(uint64_t offset, uint64_t len, const char* what) const {
    need(offset, len, what);
    return bytes(data) + offset;
  }
};

JetTableDef JetDatabase::readDefinition(uint32_t first, const std::string& name) {
  DefinitionBytes def;
  std::set<uint32_t> seen;
  for (uint32_t next = first; next != 0;) {
    if (!seen.insert(next).second) damaged("the definition of '" + name + "' runs in a circle");
    PagePtr p = page(next);
    if ((*p)[0] != kPageDefinition)
      damaged("page " + std::to_string(next) + " is no table definition of '" + name + "'");
    // The first page counts from its start; later pages add what follows
    // their 8-byte header.
    def.data.append(seen.size() == 1 ? *p : p->substr(8));
    next = u32(bytes(*p) + 4);
  }

  JetTableDef table;
  table.name = name;
  table.page = first;
  const uint64_t numColsAt = jet3_ ? 25 : 45, realIdxAt = jet3_ ? 31 : 51,
                 usageAt = jet3_ ? 35 : 55, firstIdxAt = jet3_ ? 43 : 63;
  const uint64_t columnCount = u16(def.at(numColsAt, 2, "header"));
  const uint64_t realIndexes = u32(def.at(realIdxAt, 4, "header"));
  table.usageMap = u32(def.at(usageAt, 4, "header"));
  table.rowCount = u32(def.at(jet3_ ? 12 : 16, 4, "header"));
  const uint64_t idxEntry = jet3_ ? 8 : 12, colEntry = jet3_ ? 18 : 25;
  uint64_t pos = firstIdxAt + realIndexes * idxEntry;
  def.need(pos, columnCount * colEntry, "column descriptors");
  for (uint64_t i = 0; i < columnCount; ++i, pos += colEntry) {
    const unsigned char* e = def.at(pos, colEntry, "column descriptors");
    JetColumn c;
    c.type = e[0];
    if (jet3_) {
      c.number = u16(e + 1), c.varIndex = u16(e + 3), c.scale = e[10];
      c.fixed = e[13] & 0x01, c.fixedOffset = u16(e + 14), c.length = u16(e + 16);
    } else {
      c.number = u16(e + 5), c.varIndex = u16(e + 7), c.scale = e[12];
      c.fixed = e[15] & 0x01, c.fixedOffset = u16(e + 21), c.length = u16(e + 23);
    }
    table.columns.push_back(c);
  }
  for (JetColumn& c : table.columns) {
    size_t len = jet3_ ? *def.at(pos, 1, "column names") : u16(def.at(pos, 2, "column names"));
    pos += jet3_ ? 1 : 2;
    c.name = text(def.at(pos, len, "column names"), len);
    pos += len;
  }
  // Table order is the order of the column numbers, which the descriptors
  // need not follow.
  std::stable_sort(table.columns.begin(), table.columns.end(),
                   [](const JetColumn& a, const JetColumn& b) { return a.number < b.number; });
  return table;
}

JetTableDef JetDatabase::table(const std::string& name) {
  for (size_t i = 0; i < tableNames_.size(); ++i)
    if (strcasecmp(tableNames_[i].c_str(), name.c_str()) == 0)
      return readDefinition(tablePages_[i], tableNames_[i]);
  throwDaoException(kDaoItemNotFound, "Table '" + name + "' not found in this collection.");
}

// --- pages and rows ----------------------------------------------------------

int JetDatabase::slotCount(const std::string& p) const {
  const size_t countAt = jet3_ ? 8 : 12;
  int count = u16(bytes(p) + countAt);
  if (countAt + 2 + 2 * static_cast<size_t>(count) > pageSize_)
    damaged("a data page claims " + std::to_string(count) + " rows");
  return count;
}

// Bounds of the row in a slot of a data page, and the slot's flags. A row
// runs from its offset to the offset of the row before it (rows are stored
// from the end of the page backwards).
int JetDatabase::rowBounds(const std::string& p, int slot, size_t* start, size_t* end) const {
  const size_t slotsAt = jet3_ ? 10 : 14;
  const int count = slotCount(p);
  if (slot < 0 || slot >= count) damaged("a row pointer names a missing row");
  unsigned raw = u16(bytes(p) + slotsAt + 2 * slot);
  *start = raw & kSlotOffset;
  *end = slot == 0 ? pageSize_ : (u16(bytes(p) + slotsAt + 2 * (slot - 1)) & kSlotOffset);
  if (raw & kSlotDeleted) return static_cast<int>(raw & (kSlotDeleted | kSlotPointer));
  if (*start < slotsAt + 2 * static_cast<size_t>(count) || *start > *end || *end > pageSize_)
    damaged("a row lies outside its page");
  return static_cast<int>(raw & (kSlotDeleted | kSlotPointer));
}

// The bytes of the row a pointer (page << 8 | row) names. A moved row is
// marked deleted at its new place (so that a scan does not meet it twice);
// any other row a pointer names must be live.
std::string JetDatabase::rowAt(uint32_t pointer, const char* what, bool moved) {
  PagePtr p = page(pointer >> 8);
  if ((*p)[0] != kPageData) damaged(std::string("a pointer to ") + what + " names no data page");
  size_t start, end;
  int flags = rowBounds(*p, static_cast<int>(pointer & 0xFF), &start, &end);
  if ((flags & kSlotPointer) || ((flags & kSlotDeleted) && !moved))
    damaged(std::string("a pointer to ") + what + " names no row");
  if ((flags & kSlotDeleted) && (start < (jet3_ ? 10u : 14u) || start > end || end > pageSize_))
    damaged(std::string("a pointer to ") + what + " names a row outside its page");
  return p->substr(start, end - start);
}

// The data pages of a table, in page order, from its usage map: either a
// bitmap of pages from a start page, or a list of bitmap pages (type 5), each
// covering the pages that fit its bits.
std::vector<uint32_t> JetDatabase::dataPages(const JetTableDef& table) {
  std::string map = rowAt(table.usageMap, "the usage map");
  std::vector<uint32_t> pages;
  auto addBits = [&](const unsigned char* bits, size_t len, uint64_t firstPage) {
    for (size_t i = 0; i < len; ++i)
      for (int k = 0; k < 8; ++k)
        if (bits[i] >> k & 1) {
          uint64_t number = firstPage + i * 8 + static_cast<uint64_t>(k);
          if (number < pageCount_) pages.push_back(static_cast<uint32_t>(number));
        }
  };
  if (map.empty()) damaged("the usage map of '" + table.name + "' is empty");
  if (map[0] == 0) {
    if (map.size() < 5) damaged("the usage map of '" + table.name + "' is cut short");
    addBits(bytes(map) + 5, map.size() - 5, u32(bytes(map) + 1));
  } else if (map[0] == 1) {
    const uint64_t perPage = (pageSize_ - 4) * 8ull;
    for (size_t j = 0; 1 + 4 * j + 4 <= map.size(); ++j) {
      uint32_t number = u32(bytes(map) + 1 + 4 * j);
      if (number == 0) continue;
      PagePtr bitmap = page(number);
      if ((*bitmap)[0] != kPageUsageMap) damaged("a usage map names no bitmap page");
      addBits(bytes(*bitmap) + 4, pageSize_ - 4, j * perPage);
    }
  } else {
    damaged("the usage map of '" + table.name + "' is of unknown kind");
  }
  return pages;
}

JetDatabase::Rows::Rows(JetDatabase* db, JetTableDef table)
    : db_(db), table_(std::move(table)), pages_(db_->dataPages(table_)) {}

bool JetDatabase::Rows::next(std::vector<JetValue>* values) {
  while (pageIndex_ < pages_.size()) {
    PagePtr p = db_->page(pages_[pageIndex_]);
    // A page the map names that no longer holds this table's rows (freed
    // and reused) has nothing of it.
    if ((*p)[0] != kPageData || u32(bytes(*p) + 4) != table_.page || slot_ >= db_->slotCount(*p)) {
      ++pageIndex_;
      slot_ = 0;
      continue;
    }
    size_t start, end;
    int flags = db_->rowBounds(*p, slot_++, &start, &end);
    if (flags & kSlotDeleted) continue;
    if (flags & kSlotPointer) {
      // The row moved to another page when it grew; its old place holds
      // the pointer, and the moved row is marked deleted there.
      if (end - start < 4) db_->damaged("a moved row's pointer is cut short");
      std::string moved = db_->rowAt(u32(bytes(*p) + start), "a moved row", true);
      db_->decodeRow(table_, bytes(moved), moved.size(), values);
    } else {
      db_->decodeRow(table_, bytes(*p) + start, end - start, values);
    }
    return true;
  }
  return false;
}

// A row: column count (1 byte in Jet 3, 2 in Jet 4), fixed values, variable
// values, then from the end backwards: null mask, variable count, (Jet 3: a
// jump table), the variable offsets, the end-of-data offset.
void JetDatabase::decodeRow(const JetTableDef& table, const unsigned char* row, size_t len,
                            std::vector<JetValue>* values) {
  const size_t head = jet3_ ? 1 : 2;
  if (len < head) damaged("a row of '" + table.name + "' is empty");
  const size_t rowColumns = jet3_ ? row[0] : u16(row);
  const size_t maskBytes = (rowColumns + 7) / 8;
  if (len < head + maskBytes) damaged("a row of '" + table.name + "' is cut short");
  const unsigned char* mask = row + len - maskBytes;
  auto present = [&](int number) {
    return static_cast<size_t>(number) < rowColumns && (mask[number / 8] >> (number % 8) & 1);
  };

  // The variable part, when the table has variable columns.
  bool anyVariable = false;
  for (const JetColumn& c : table.columns) anyVariable |= !c.fixed;
  std::vector<size_t> offsets;  // entry i starts variable value i; the last is the end
  size_t fixedEnd = len - maskBytes;
  if (anyVariable) {
    size_t tail = len - maskBytes;  // bytes before the null mask
    size_t count, jumps = 0;
    if (jet3_) {
      if (tail < head + 1) damaged("a row of '" + table.name + "' is cut short");
      count = row[tail - 1];
      jumps = (len - 1) / 256;
      if (tail < head + 1 + jumps + count + 1)
        damaged("a row of '" + table.name + "' is cut short");
      const unsigned char* jump = row + tail - 1 - jumps;
      for (size_t i = 0; i <= count; ++i) {
        size_t offset = row[tail - 1 - jumps - 1 - i];
        for (size_t j = 0; j < jumps; ++j)
          if (jump[j] <= i) offset += 256;
        offsets.push_back(offset);
      }
      fixedEnd = tail - 1 - jumps - count - 1;
    } else {
      if (tail < head + 2) damaged("a row of '" + table.name + "' is cut short");
      count = u16(row + tail - 2);
      if (tail < head + 2 + 2 * (count + 1)) damaged("a row of '" + table.name + "' is cut short");
      for (size_t i = 0; i <= count; ++i) offsets.push_back(u16(row + tail - 2 - 2 * (i + 1)));
      fixedEnd = tail - 2 - 2 * (count + 1);
    }
    for (size_t i = 0; i < offsets.size(); ++i)
      if (offsets[i] < head || offsets[i] > fixedEnd || (i > 0 && offsets[i] < offsets[i - 1]))
        damaged("a row of '" + table.name + "' has disordered offsets");
  }

  values->assign(table.columns.size(), JetValue{});
  for (size_t i = 0; i < table.columns.size(); ++i) {
    const JetColumn& c = table.columns[i];
    JetValue& v = (*values)[i];
    if (c.type == kJetBool) {
      v.vt = VT_BOOL;
      v.integer = present(c.number) ? -1 : 0;
      continue;
    }
    if (!present(c.number)) {
      v.vt = VT_NULL;
      continue;
    }
    if (c.fixed) {
      size_t size = fixedSizeOf(c.type);
      if (size == 0) size = static_cast<size_t>(c.length);
      size_t at = head + static_cast<size_t>(c.fixedOffset);
      if (at > fixedEnd || size > fixedEnd - at)
        damaged("column '" + c.name + "' lies outside its row");
      decodeValue(c, row + at, size, &v);
    } else if (static_cast<size_t>(c.varIndex) + 1 < offsets.size()) {
      size_t from = offsets[c.varIndex], to = offsets[c.varIndex + 1];
      decodeValue(c, row + from, to - from, &v);
    } else {
      decodeValue(c, row, 0, &v);  // added after the row was written: empty
    }
  }
}

void JetDatabase::decodeValue(const JetColumn& c, const unsigned char* p, size_t len, JetValue* v) {
  size_t need = fixedSizeOf(c.type);
  if (need > 0 && len < need) damaged("column '" + c.name + "' is cut short");
  switch (c.type) {
    case kJetByte:
      v->vt = VT_I2, v->integer = p[0];
      return;
    case kJetInt:
      v->vt = VT_I2, v->integer = static_cast<int16_t>(u16(p));
      return;
    case kJetLong:
      v->vt = VT_I4, v->integer = static_cast<int32_t>(u32(p));
      return;
    case kJetMoney:
      v->vt = VT_CY, v->integer = static_cast<int64_t>(u64(p));
      return;
    case kJetFloat:
      v->vt = VT_R8, v->real = floatOf(u32(p));
      return;
    case kJetDouble:
      v->vt = VT_R8, v->real = doubleOf(u64(p));
      return;
    case kJetDateTime:
      v->vt = VT_DATE, v->real = doubleOf(u64(p));
      return;
    case kJetNumeric:
      v->vt = VT_R8, v->real = numericOf(p, c.scale);
      return;
    case kJetGuid:
      v->vt = VT_BSTR, v->text = guidOf(p);
      return;
    case kJetText:
      v->vt = VT_BSTR, v->text = text(p, len);
      return;
    case kJetMemo: {
      std::string value = longValue(p, len);
      v->vt = VT_BSTR, v->text = text(bytes(value), value.size());
      return;
    }
    default:
      v->vt = VT_EMPTY;  // binary and OLE values: not read
      return;
  }
}

// A long value from its 12-byte header: inline after the header, in one row
// of a long-value page, or in a chain of such rows, each starting with the
// pointer to the next.
std::string JetDatabase::longValue(const unsigned char* header, size_t len) {
  if (len < kLongValueHeader) damaged("a memo header is cut short");
  const uint32_t word = u32(header);
  const uint64_t length = word & kLongLengthMask;
  if (length > static_cast<uint64_t>(pageCount_) * pageSize_)
    damaged("a memo is longer than the file");
  if (word & kLongInline) {
    if (length > len - kLongValueHeader) damaged("an inline memo is cut short");
    return std::string(reinterpret_cast<const char*>(header + kLongValueHeader), length);
  }
  uint32_t pointer = u32(header + 4);
  if (word & kLongOneRow) {
    std::string row = rowAt(pointer, "a memo");
    if (row.size() < length) damaged("a memo is cut short");
    row.resize(length);
    return row;
  }
  std::string value;
  std::set<uint32_t> seen;
  while (value.size() < length) {
    if (pointer == 0 || !seen.insert(pointer).second) damaged("a memo's chain is broken");
    std::string row = rowAt(pointer, "a memo");
    if (row.size() < 4) damaged("a memo part is cut short");
    pointer = u32(bytes(row));
    value.append(row, 4);
  }
  value.resize(length);
  return value;
}
