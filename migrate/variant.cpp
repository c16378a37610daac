// VARIANT values: lifetime, setters, OLE dates and text conversion.
#include "migrate/variant.h"

#include <cmath>
#include <cstring>
#include <string>

void VariantInit(VARIANT* v) {
  v->vt = VT_EMPTY;
  v->cyVal = 0;
}

int VariantClear(VARIANT* v) {
  if ((v->vt == VT_BSTR || v->vt == VT_UI1) && v->pszVal) delete[] v->pszVal;
  VariantInit(v);
  return 0;
}

static void variantReset(VARIANT* v, uint16_t type) {
  VariantClear(v);
  v->vt = type;
}

void variantSetNull(VARIANT* v) { variantReset(v, VT_NULL); }

void variantSetI2(VARIANT* v, int16_t value) {
  variantReset(v, VT_I2);
  v->iVal = value;
}

void variantSetI4(VARIANT* v, int32_t value) {
  variantReset(v, VT_I4);
  v->lVal = value;
}

void variantSetR8(VARIANT* v, double value) {
  variantReset(v, VT_R8);
  v->dblVal = value;
}

void variantSetCy(VARIANT* v, int64_t scaledBy10000) {
  variantReset(v, VT_CY);
  v->cyVal = scaledBy10000;
}

void variantSetDate(VARIANT* v, double oleDate) {
  variantReset(v, VT_DATE);
  v->date = oleDate;
}

void variantSetBool(VARIANT* v, bool value) {
  variantReset(v, VT_BOOL);
  v->boolVal = value ? -1 : 0;
}

void variantSetText(VARIANT* v, std::string_view text) {
  size_t n = text.find('\0');
  if (n == std::string_view::npos) n = text.size();
  char* copy = new char[n + 1];
  std::memcpy(copy, text.data(), n);
  copy[n] = '\0';
  variantReset(v, VT_BSTR);
  v->pszVal = copy;
}

int32_t variantRawWord(const VARIANT& v) {
  int32_t word;
  std::memcpy(&word, &v.cyVal, sizeof word);  // first four value bytes
  return word;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
static int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

static void civilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

static const int64_t kOleEpoch = daysFromCivil(1899, 12, 30);
static const double kOleMin = -657434.0;  // 0100-01-01
static const double kOleMax = 2958466.0;  // 10000-01-01, excluded

int VariantTimeToSystemTime(double oleDate, SYSTEMTIME* st) {
  if (!st || !std::isfinite(oleDate) || oleDate <= kOleMin - 1.0 || oleDate >= kOleMax) return 0;
  double whole = std::trunc(oleDate);
  int64_t seconds = std::llround(std::fabs(oleDate - whole) * 86400.0);
  int64_t day = kOleEpoch + static_cast<int64_t>(whole);
  if (seconds >= 86400) {  // rounded up into the next day
    seconds -= 86400;
    day += 1;
  }
  int64_t year;
  unsigned month, mday;
  civilFromDays(day, &year, &month, &mday);
  if (year < 100 || year > 9999) return 0;
  st->wYear = static_cast<uint16_t>(year);
  st->wMonth = static_cast<uint16_t>(month);
  st->wDay = static_cast<uint16_t>(mday);
  st->wDayOfWeek = static_cast<uint16_t>(((day % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
  st->wHour = static_cast<uint16_t>(seconds / 3600);
  st->wMinute = static_cast<uint16_t>(seconds / 60 % 60);
  st->wSecond = static_cast<uint16_t>(seconds % 60);
  st->wMilliseconds = 0;
  return 1;
}

static bool isLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool oleDateFromParts(int year, int month, int day, int hour, int minute, int second,
                      double* oleDate) {
  static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  int monthDays = kMonthDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
  if (day > monthDays || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 ||
      second > 59)
    return false;
  int64_t days =
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kOleEpoch;
  double fraction = (hour * 3600 + minute * 60 + second) / 86400.0;
  // Before the epoch the fraction still counts forward from the day's start.
  *oleDate =
      days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
  return true;
}

// Windows-1252 bytes 0x80 to 0x9F and the characters they stand for.
static const uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char windows1252Of(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == cp) return static_cast<char>(0x80 + i);
  if (cp >= 0x80 && cp <= 0x9F) return static_cast<char>(cp);  // C1 controls pass through
  return '?';
}

// Length of the valid UTF-8 sequence at s (2 to 4), or 0 when there is none.
static size_t utf8Sequence(std::string_view s, size_t i, uint32_t* cp) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len;
  uint32_t min;
  if (c >= 0xC2 && c <= 0xDF)
    len = 2, *cp = c & 0x1F, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF)
    len = 3, *cp = c & 0x0F, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4)
    len = 4, *cp = c & 0x07, min = 0x10000;
  else
    return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (cc & 0x3F);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return len;
}

std::string utf8ToWindows1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    size_t len = static_cast<unsigned char>(text[i]) >= 0x80 ? utf8Sequence(text, i, &cp) : 0;
    if (len == 0) {
      out.push_back(text[i]);
      ++i;
    } else {
      out.push_back(windows1252Of(cp));
      i += len;
    }
  }
  return out;
}
