// Builds small Jet 4 files; see jet_builder.h. Pages: 0 header, 1 unused,
// 2 and 3 the catalog's definition and rows, 4 the usage maps (one row per
// table), then one page per long-value row, then per table its definition
// and data pages.
#include "tests/migrate/jet_builder.h"

#include <cstring>

#include "migrate/jet_file.h"

namespace jetbuild {
namespace {

void put16(std::string& s, size_t at, uint32_t v) {
  s[at] = static_cast<char>(v & 0xFF), s[at + 1] = static_cast<char>(v >> 8 & 0xFF);
}
void put32(std::string& s, size_t at, uint32_t v) {
  put16(s, at, v & 0xFFFF), put16(s, at + 2, v >> 16);
}
std::string u16(uint32_t v) {
  std::string s(2, '\0');
  put16(s, 0, v);
  return s;
}
std::string u32(uint32_t v) {
  std::string s(4, '\0');
  put32(s, 0, v);
  return s;
}
std::string ucs2(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += c, out += '\0';
  return out;
}

// A data page of rows (slot flags given per row), stored from the end.
std::string dataPage(uint32_t owner, const std::vector<std::string>& rows,
                     const std::vector<uint32_t>& flags) {
  std::string page(kPage, '\0');
  page[0] = 1, page[1] = 1;
  put32(page, 4, owner);
  put16(page, 12, static_cast<uint32_t>(rows.size()));
  size_t end = kPage;
  for (size_t i = 0; i < rows.size(); ++i) {
    end -= rows[i].size();
    page.replace(end, rows[i].size(), rows[i]);
    put16(page, 14 + 2 * i, static_cast<uint32_t>(end) | (i < flags.size() ? flags[i] : 0));
  }
  return page;
}

// A row: column count, fixed values, variable values, end of data, the
// variable offsets backwards, their count, the null mask.
std::string encodeRow(const std::vector<Column>& columns, const std::vector<Cell>& cells) {
  std::string row = u16(static_cast<uint32_t>(cells.size())), variable;
  std::vector<uint32_t> offsets;
  std::string mask((cells.size() + 7) / 8, '\0');
  for (size_t i = 0; i < cells.size(); ++i) {
    const Column& c = columns[i];
    bool present = cells[i].has_value() && (c.type != kJetBool || !cells[i]->empty());
    if (present) mask[i / 8] = static_cast<char>(mask[i / 8] | 1 << (i % 8));
    if (c.type == kJetBool) continue;
    if (c.fixed)
      row += present ? *cells[i] : std::string(static_cast<size_t>(c.size), '\0');
    else
      offsets.push_back(static_cast<uint32_t>(variable.size())), variable += cells[i].value_or("");
  }
  const uint32_t base = static_cast<uint32_t>(row.size());
  row += variable;
  std::string table = u16(base + static_cast<uint32_t>(variable.size()));
  for (size_t i = offsets.size(); i-- > 0;) table += u16(base + offsets[i]);
  return row + table + u16(static_cast<uint32_t>(offsets.size())) + mask;
}

std::string definitionPage(const std::vector<Column>& columns, uint32_t usageMap,
                           uint32_t rows) {
  std::string page(kPage, '\0');
  page[0] = 2, page[1] = 1;
  put32(page, 16, rows);
  page[40] = 0x4E;
  int variable = 0;
  for (const Column& c : columns) variable += !c.fixed;
  put16(page, 41, static_cast<uint32_t>(columns.size()));
  put16(page, 43, static_cast<uint32_t>(variable));
  put16(page, 45, static_cast<uint32_t>(columns.size()));
  put32(page, 55, usageMap);
  size_t at = 63, fixedOffset = 0;
  int varIndex = 0;
  for (size_t i = 0; i < columns.size(); ++i, at += 25) {
    const Column& c = columns[i];
    page[at] = static_cast<char>(c.type);
    put16(page, at + 5, static_cast<uint32_t>(i));
    put16(page, at + 7, c.fixed ? 0 : static_cast<uint32_t>(varIndex++));
    put16(page, at + 9, static_cast<uint32_t>(i));
    page[at + 15] = c.fixed ? 1 : 0;
    put16(page, at + 21, static_cast<uint32_t>(fixedOffset));
    put16(page, at + 23, static_cast<uint32_t>(c.size));
    if (c.fixed && c.type != kJetBool) fixedOffset += static_cast<size_t>(c.size);
  }
  for (const Column& c : columns) {
    std::string name = u16(static_cast<uint32_t>(2 * c.name.size())) + ucs2(c.name);
    page.replace(at, name.size(), name);
    at += name.size();
  }
  return page;
}

// A usage map of type 0 covering pages 0 to 127.
std::string usageMap(const std::vector<uint32_t>& pages) {
  std::string map(1 + 4 + 16, '\0');
  for (uint32_t p : pages) map[5 + p / 8] = static_cast<char>(map[5 + p / 8] | 1 << (p % 8));
  return map;
}

}  // namespace

Cell longValue(int32_t v) { return u32(static_cast<uint32_t>(v)); }
Cell text(const std::string& ascii) { return ucs2(ascii); }
Cell compressedText(const std::string& ascii) { return "\xFF\xFE" + ascii; }
Cell boolean(bool v) { return std::string(v ? "1" : ""); }

uint32_t FileBuilder::putLong(const std::string& bytes) {
  longRows_.push_back(bytes);
  return static_cast<uint32_t>(5 + longRows_.size() - 1) << 8;
}

Cell FileBuilder::inlineMemo(const std::string& ascii) {
  std::string data = ucs2(ascii);
  return u32(static_cast<uint32_t>(data.size()) | 0x80000000u) + u32(0) + u32(0) + data;
}

Cell FileBuilder::rowMemo(const std::string& ascii) {
  std::string data = ucs2(ascii);
  uint32_t pointer = putLong(data);
  return u32(static_cast<uint32_t>(data.size()) | 0x40000000u) + u32(pointer) + u32(0);
}

Cell FileBuilder::chainMemo(const std::string& ascii, size_t part) {
  std::string data = ucs2(ascii);
  uint32_t first = 0;
  for (size_t at = 0; at < data.size(); at += 2 * part) {
    bool last = at + 2 * part >= data.size();
    uint32_t next = last ? 0 : static_cast<uint32_t>(5 + longRows_.size() + 1) << 8;
    uint32_t pointer = putLong(u32(next) + data.substr(at, 2 * part));
    if (at == 0) first = pointer;
  }
  return u32(static_cast<uint32_t>(data.size())) + u32(first) + u32(0);
}

std::string FileBuilder::build() {
  std::vector<std::string> pages(5 + longRows_.size(), std::string(kPage, '\0'));
  pages[0][1] = 1;
  std::memcpy(&pages[0][4], "Standard Jet DB", 16);
  pages[0][0x14] = 1;  // Jet 4
  for (size_t i = 0; i < longRows_.size(); ++i) {
    pages[5 + i] = dataPage(0, {longRows_[i]}, {});
    std::memcpy(&pages[5 + i][4], "LVAL", 4);
  }

  const std::vector<Column> catalog = {
      {"Id", kJetLong, true, 4}, {"Type", kJetInt, true, 2}, {"Name", kJetText, false, 0}};
  std::vector<std::string> catalogRows = {
      encodeRow(catalog, {longValue(2), u16(1), text("MSysObjects")})};
  std::vector<std::string> maps = {usageMap({3})};
  for (size_t t = 0; t < tables_.size(); ++t) {
    const Table& table = tables_[t];
    const uint32_t definition = static_cast<uint32_t>(pages.size());
    catalogRows.push_back(encodeRow(catalog, {longValue(static_cast<int32_t>(definition)), u16(1),
                                              compressedText(table.name)}));
    uint32_t rows = 0;
    for (const auto& page : table.pages) rows += static_cast<uint32_t>(page.size());
    pages.push_back(
        definitionPage(table.columns, 4 << 8 | static_cast<uint32_t>(t + 1), rows));
    const uint32_t first = definition + 1;
    const uint32_t movedTo = first + static_cast<uint32_t>(table.pages.size());
    std::vector<uint32_t> dataPages;
    std::string movedPage;
    for (size_t p = 0; p < table.pages.size(); ++p) {
      std::vector<std::string> encoded;
      for (const auto& cells : table.pages[p]) encoded.push_back(encodeRow(table.columns, cells));
      std::vector<uint32_t> flags(encoded.size(), 0);
      if (moveAndDelete_ && t + 1 == tables_.size() && p == 0) {
        movedPage = dataPage(definition, {encoded[0]}, {0x8000});
        encoded[0] = u32(movedTo << 8);
        encoded.push_back("a deleted row");
        flags[0] = 0x4000;
        flags.push_back(0x8000);
      }
      dataPages.push_back(first + static_cast<uint32_t>(p));
      pages.push_back(dataPage(definition, encoded, flags));
    }
    if (!movedPage.empty()) {
      dataPages.push_back(movedTo);
      pages.push_back(movedPage);
    }
    maps.push_back(usageMap(dataPages));
  }
  catalogRows.push_back(encodeRow(catalog, {longValue(0), u16(5), text("Query1")}));  // no table
  pages[2] = definitionPage(catalog, 4 << 8, static_cast<uint32_t>(catalogRows.size()));
  pages[3] = dataPage(2, catalogRows, {});
  pages[4] = dataPage(0, maps, {});
  std::string file;
  for (const std::string& page : pages) file += page;
  return file;
}

}  // namespace jetbuild
