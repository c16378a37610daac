#include "tools/dbftool/fields.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "dbf/core/date.h"
#include "dbf/core/table.h"

namespace dbftool {

namespace {

uint32_t load32(const char* p) {
  const auto* b = reinterpret_cast<const uint8_t*>(p);
  return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}

uint64_t load64(const char* p) { return load32(p) | (uint64_t{load32(p + 4)} << 32); }

// The descriptor flags of column |number|, as the file stores them.
uint8_t descriptorFlags(const Table* t, int number) {
  return t->dataFile->descriptors[32 * (number - 1) + 18];
}

size_t trimmedLength(const char* p, size_t n) {
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
  return n;
}

void writeDate(RecordWriter& out, const char* p) {
  const int32_t day = date4dayNumber(p);
  if (day > 0) {
    char iso[10] = {p[0], p[1], p[2], p[3], '-', p[4], p[5], '-', p[6], p[7]};
    out.ascii(iso, sizeof iso);
    return;
  }
  bool blank = true;
  for (int i = 0; i < 8; ++i) blank = blank && (p[i] == ' ' || p[i] == '0' || p[i] == '\0');
  if (blank)
    out.null();
  else
    out.text(p, trimmedLength(p, 8));
}

void writeLogical(RecordWriter& out, char c) {
  if (std::strchr("TtYy", c) != nullptr && c != 0)
    out.boolean(true);
  else if (std::strchr("FfNn", c) != nullptr && c != 0)
    out.boolean(false);
  else if (c == '?' || c == ' ' || c == 0)
    out.null();
  else
    out.text(&c, 1);
}

void writeDouble(RecordWriter& out, const char* p) {
  double v;
  const uint64_t bits = load64(p);
  std::memcpy(&v, &bits, sizeof v);
  if (!std::isfinite(v)) {
    out.null();
    return;
  }
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, v);
  out.number(text, static_cast<size_t>(r.ptr - text));
}

void writeCurrency(RecordWriter& out, const char* p) {
  const auto v = static_cast<int64_t>(load64(p));
  const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%s%llu.%04llu", v < 0 ? "-" : "",
                              static_cast<unsigned long long>(magnitude / 10000),
                              static_cast<unsigned long long>(magnitude % 10000));
  out.number(text, static_cast<size_t>(n));
}

void writeDateTime(RecordWriter& out, const char* p) {
  const auto day = static_cast<int32_t>(load32(p));
  const uint32_t ms = load32(p + 4);
  if (day <= 0) {
    out.null();
    return;
  }
  char date[8];
  date4fromDayNumber(date, day);
  char text[32];
  const uint32_t seconds = ms / 1000;
  int n = std::snprintf(text, sizeof text, "%.4s-%.2s-%.2sT%02u:%02u:%02u", date, date + 4,
                        date + 6, seconds / 3600 % 100, seconds / 60 % 60, seconds % 60);
  if (ms % 1000 != 0) n += std::snprintf(text + n, sizeof text - n, ".%03u", ms % 1000);
  out.ascii(text, static_cast<size_t>(n));
}

}  // namespace

std::string base64(const char* bytes, size_t n) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (size_t i = 0; i < n; i += 3) {
    const auto* b = reinterpret_cast<const uint8_t*>(bytes + i);
    const uint32_t left = static_cast<uint32_t>(n - i);
    const uint32_t v = (uint32_t{b[0]} << 16) | (left > 1 ? uint32_t{b[1]} << 8 : 0) |
                       (left > 2 ? uint32_t{b[2]} : 0);
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(left > 1 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back(left > 2 ? kAlphabet[v & 63] : '=');
  }
  return out;
}

FieldFormatter::FieldFormatter(Table* t, int number)
    : table_(t), column_(table4column(t, number)), name_(column_->name) {
  offset_ = column_->offset;
  length_ = column_->length;
  const bool binary = (descriptorFlags(t, number) & 0x04) != 0;
  switch (column_->type) {
    case 'N':
    case 'F':
      kind_ = Kind::kNumeric;
      break;
    case 'D':
      kind_ = Kind::kDate;
      break;
    case 'L':
      kind_ = Kind::kLogical;
      break;
    case 'M':
      kind_ = binary ? Kind::kBinaryMemo : Kind::kMemo;
      break;
    case 'G':
      kind_ = Kind::kBinaryMemo;
      break;
    case 'I':
      kind_ = Kind::kInteger;
      break;
    case 'B':
      kind_ = column_->kind == kColumnKindMemo ? Kind::kBinaryMemo : Kind::kDouble;
      break;
    case 'Y':
      kind_ = Kind::kCurrency;
      break;
    case 'T':
      kind_ = Kind::kDateTime;
      break;
    default:
      kind_ = binary ? Kind::kBinary : Kind::kText;
  }
  const Column& flags = t->columns[t->columnCount - 1];
  if (column_->nullable != 0 && flags.type == '0' && column_->nullBit / 8 < flags.length) {
    nullByte_ = flags.offset + column_->nullBit / 8;
    nullMask_ = static_cast<uint8_t>(1u << (column_->nullBit % 8));
  }
}

bool FieldFormatter::isNull(const char* record) const {
  return nullByte_ >= 0 && (static_cast<uint8_t>(record[nullByte_]) & nullMask_) != 0;
}

bool FieldFormatter::write(RecordWriter& out) const {
  const char* record = table_->record;
  const char* p = record + offset_;
  if (isNull(record)) {
    out.null();
    return true;
  }
  switch (kind_) {
    case Kind::kText:
      out.text(p, trimmedLength(p, length_));
      break;
    case Kind::kBinary:
      out.ascii(base64(p, length_).c_str(), (length_ + 2) / 3 * 4);
      break;
    case Kind::kNumeric: {
      size_t first = 0, n = length_;
      while (first < n && p[first] == ' ') ++first;
      n = trimmedLength(p, n);
      if (first >= n)
        out.null();
      else
        out.numeric(p + first, n - first);
      break;
    }
    case Kind::kDate:
      writeDate(out, p);
      break;
    case Kind::kLogical:
      writeLogical(out, p[0]);
      break;
    case Kind::kMemo:
    case Kind::kBinaryMemo: {
      uint32_t n = 0;
      const char* memo = column4memoText(column_, &n);
      if (memo == nullptr) {
        out.null();
        return false;
      }
      if (n == 0) {
        out.null();  // the engine keeps no empty memos: this record has none
      } else if (kind_ == Kind::kMemo) {
        out.text(memo, n);
      } else {
        const std::string encoded = base64(memo, n);
        out.ascii(encoded.data(), encoded.size());
      }
      break;
    }
    case Kind::kInteger: {
      char text[16];
      const auto r = std::to_chars(text, text + sizeof text, static_cast<int32_t>(load32(p)));
      out.number(text, static_cast<size_t>(r.ptr - text));
      break;
    }
    case Kind::kDouble:
      writeDouble(out, p);
      break;
    case Kind::kCurrency:
      writeCurrency(out, p);
      break;
    case Kind::kDateTime:
      writeDateTime(out, p);
      break;
  }
  return true;
}

}  // namespace dbftool
