// Keys of the compound index: their lengths by result type, the null marker,
// the byte comparison every tag uses, and search keys made from text.
//
// Encodings (the index file format fixes them; expression4key builds keys of
// records the same way): character keys as they are or as GENERAL weights;
// numbers, dates (day numbers) and date-times as order-preserving doubles;
// currency and integers big-endian with the top bit inverted; logicals as
// "T" or "F". A key with the null marker has one more leading byte: 0x80, or
// a key of zeros for a null value.
#include <cmath>
#include <cstring>

#include "dbf/core/context.h"
#include "dbf/core/date.h"
#include "dbf/core/table.h"
#include "dbf/expr/evaluator.h"
#include "dbf/expr/expression.h"
#include "dbf/index/node.h"

using namespace dbf;

namespace {

constexpr int kLocationFromText = 91820;
constexpr int32_t kInt32Min = -2147483647 - 1;
constexpr int32_t kInt32Max = 2147483647;

// Currency values are kept in ten-thousandths.
int64_t currencyUnits(double value) {
  const double scaled = std::nearbyint(value * 10000.0);
  constexpr double kLimit = 9.2e18;
  if (std::isnan(scaled)) return 0;
  if (scaled > kLimit) return static_cast<int64_t>(kLimit);
  if (scaled < -kLimit) return static_cast<int64_t>(-kLimit);
  return static_cast<int64_t>(scaled);
}

// The primary weights of |text|: a GENERAL search key that finds every key
// with the same letters, whatever their case and accents.
int generalPrefix(const Tag* tag, const char* text, int length, char* out, int room) {
  char key[2 * kMaxKeyLength];
  if (length > kMaxKeyLength) length = kMaxKeyLength;
  collation4key(&tag->collation, text, length, key, 2 * length);
  int n = collation4primaryLength(reinterpret_cast<const uint8_t*>(key), 2 * length);
  if (n > room) n = room;
  std::memcpy(out, key, static_cast<size_t>(n));
  return n;
}

// Encodes |text| as a key of the tag's type into |out| (room bytes). The
// length, or -910 for a type that makes no key.
int encodeText(const Tag* tag, const char* text, int length, char* out, int room) {
  switch (tag->keyType) {
    case 'C':
      if (tag->collation.kind == kCollationGeneral)
        return generalPrefix(tag, text, length, out, room);
      if (length > room) length = room;
      std::memcpy(out, text, static_cast<size_t>(length));
      return length;
    case 'N':
    case 'n':
      if (tag->keyExpression != nullptr && tag->keyExpression->usesCurrency)
        key4encodeInteger(out, currencyUnits(text4double(text, length)), 8);
      else
        key4encodeDouble(out, key4textDouble(text, length));
      return 8;
    case 'D':
    case 'd':
    case 'T':
      if (length < 8) return kErrParameter;
      key4encodeDouble(out, date4dayNumber(text));
      return 8;
    case 'Y':
      key4encodeInteger(out, currencyUnits(text4double(text, length)), 8);
      return 8;
    case 'I':
      key4encodeInteger(out, double4clampInt(text4double(text, length), kInt32Min, kInt32Max), 4);
      return 4;
    case 'L': {
      const char c = length > 0 ? text[0] : ' ';
      out[0] = c == 'T' || c == 't' || c == 'Y' || c == 'y' ? 'T' : 'F';
      return 1;
    }
    default:
      return kErrKeyType;
  }
}

}  // namespace

double key4textDouble(const char* text, int width) {
  const double value = text4double(text, width);
  if (value != 0) return value;
  int i = 0;
  while (i < width && text[i] == ' ') ++i;
  return i < width && text[i] == '-' ? -0.0 : value;
}

int key4compareBytes(const uint8_t* stored, const uint8_t* search, int length) {
  for (int i = 0; i < length; ++i)
    if (stored[i] != search[i]) return stored[i] > search[i] ? -1 : i;
  return length;
}

int key4length(const Expression* e, bool general, bool nullMarker) {
  int length;
  switch (e->type) {
    case 'C':
      length = general ? 2 * e->width : e->width;
      break;
    case 'N':
    case 'n':
    case 'D':
    case 'd':
    case 'T':
    case 'Y':
      length = 8;
      break;
    case 'I':
      length = 4;
      break;
    case 'L':
      length = 1;
      break;
    default:
      return kErrKeyType;
  }
  return nullMarker ? length + 1 : length;
}

bool key4nullMarker(const Expression* e, uint8_t options) {
  if ((options & kTagCandidate) != 0) return false;
  for (int i = 0; i < e->stepCount; ++i) {
    const ExpressionStep& s = e->steps[i];
    if (s.sameTable && s.column != nullptr && s.column->nullable != 0) return true;
  }
  return false;
}

int order4keyFromText(Tag* tag, const char* text, int length, char* out) {
  if (tag == nullptr || text == nullptr || out == nullptr || length < 0)
    return engine4error(tag != nullptr ? tag->ctx : nullptr, kErrNullHandle, kLocationFromText);
  const int marker = tag->nullMarker ? 1 : 0;
  if (marker) out[0] = static_cast<char>(0x80);
  const int n = encodeText(tag, text, length, out + marker, tag->header.keyLength - marker);
  if (n < 0) return engine4error(tag->ctx, n, kLocationFromText, tag->name);
  return n + marker;
}
