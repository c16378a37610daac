// Date conversion: day numbers, CCYYMMDD texts and date pictures.
//
// Day numbers count days on the proleptic Gregorian calendar; 1 January of
// year 1 is day 1721426. D columns hold the eight characters CCYYMMDD. Only
// dates that fit those eight characters (years 0 to 9999) are ever written;
// every text handed in is treated as untrusted.
#include "dbf/core/date.h"

#include <cstring>
#include <ctime>
#include <mutex>

#include "dbf/core/os.h"

namespace {

constexpr int32_t kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr int kMonthLength[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Each name sits in a 10-character slot; at most 9 characters are ever shown.
constexpr char kMonthNames[12][10] = {"January",   "February", "March",    "April",
                                      "May",       "June",     "July",     "August",
                                      "September", "October",  "November", "December"};

// 31 December 9999, the last day eight digits can hold.
constexpr int32_t kLastRepresentableDay = 5373484;

bool isLeapYear(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int32_t daysBeforeYear(int32_t year) {
  const int32_t y = year - 1;
  return 365 * y + y / 4 - y / 100 + y / 400;
}

int32_t daysBeforeMonth(int32_t year, int month) {
  int32_t days = kDaysBeforeMonth[month - 1];
  if (month > 2 && isLeapYear(year)) days += 1;
  return days;
}

int monthLength(int32_t year, int month) {
  if (month == 2 && isLeapYear(year)) return 29;
  return kMonthLength[month - 1];
}

// Reads up to |n| characters as a number the way the stored texts are read:
// leading blanks are skipped, the number ends at the first non-digit.
int32_t numberOf(const char* text, int n) {
  int i = 0;
  while (i < n && text[i] == ' ') i++;
  int32_t value = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; i++) value = value * 10 + (text[i] - '0');
  return value;
}

bool allBlanks(const char* text, int n) {
  for (int i = 0; i < n; i++) {
    if (text[i] != ' ') return false;
  }
  return true;
}

void writeDigits(char* dest, int32_t value, int width) {
  for (int i = width - 1; i >= 0; i--) {
    dest[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The picture's letter at |i|, upper-cased: pictures are read case-blind.
char letterAt(const char* picture, size_t i) { return upper(picture[i]); }

// The first run of three or more 'M' (either case) in a picture.
bool findMonthNameRun(const char* picture, size_t length, size_t* start, size_t* runLength) {
  for (size_t i = 0; i < length;) {
    if (letterAt(picture, i) != 'M') {
      i++;
      continue;
    }
    size_t j = i;
    while (j < length && letterAt(picture, j) == 'M') j++;
    if (j - i >= 3) {
      *start = i;
      *runLength = j - i;
      return true;
    }
    i = j;
  }
  return false;
}

struct LocalTime {
  int year, month, day, hour, minute, second;
};

// The present local time: the clock of the OS interface, turned into the local
// calendar by the C library. std::localtime shares one static result, hence
// the lock.
LocalTime localNow() {
  static std::mutex guard;
  int64_t seconds = 0;
  int32_t milliseconds = 0;
  os4get()->clock(&seconds, &milliseconds);
  const std::time_t now = static_cast<std::time_t>(seconds);
  std::lock_guard<std::mutex> hold(guard);
  const std::tm* tm = std::localtime(&now);
  if (tm == nullptr) return LocalTime{1970, 1, 1, 0, 0, 0};
  return LocalTime{tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday,
                   tm->tm_hour,        tm->tm_min,     tm->tm_sec};
}

}  // namespace

int32_t date4dayNumber(const char* ccyymmdd) {
  for (int i = 0; i < 8; i++) {
    const char c = ccyymmdd[i];
    if (c != ' ' && (c < '0' || c > '9')) return -1;
  }
  const int32_t year = numberOf(ccyymmdd, 4);
  if (year == 0 && allBlanks(ccyymmdd, 8)) return 0;
  const int month = static_cast<int>(numberOf(ccyymmdd + 4, 2));
  const int day = static_cast<int>(numberOf(ccyymmdd + 6, 2));
  if (year < 0 || month < 1 || month > 12) return -1;
  if (day < 1 || day > monthLength(year, month)) return -1;
  return daysBeforeYear(year) + daysBeforeMonth(year, month) + day + 1721425;
}

void date4fromDayNumber(char* dest8, int32_t dayNumber) {
  // Beyond 9999 the year needs more than four digits (and the arithmetic
  // below would overflow); such a day is shown as no date.
  if (dayNumber <= 0 || dayNumber > kLastRepresentableDay) {
    std::memset(dest8, ' ', 8);
    return;
  }
  const int32_t n = dayNumber - 1721425;
  const int32_t a = static_cast<int32_t>(n / 365.2425);
  int32_t year = a + 1;
  int32_t rest = n - daysBeforeYear(year);
  if (rest <= 0) {
    year = a;
    rest = n - daysBeforeYear(year);
  }
  const int32_t yearLength = isLeapYear(year) ? 366 : 365;
  if (rest > yearLength) {
    rest -= yearLength;
    year++;
  }
  int month = 1;
  for (int m = 12; m >= 1; m--) {
    if (daysBeforeMonth(year, m) < rest) {
      month = m;
      break;
    }
  }
  const int32_t day = rest - daysBeforeMonth(year, month);
  // Days before year 1 do not all come out as dates (1721060 gave day 0 of
  // January of year 0): what is no valid CCYYMMDD is no date, never a wrong one.
  if (year < 0 || day < 1 || day > monthLength(year, month)) {
    std::memset(dest8, ' ', 8);
    return;
  }
  writeDigits(dest8, year, 4);
  writeDigits(dest8 + 4, month, 2);
  writeDigits(dest8 + 6, day, 2);
}

void date4format(const char* src8, char* dest, const char* picture) {
  const char* pic = picture;
  const size_t length = std::strlen(picture);
  for (size_t i = 0; i < length; i++) dest[i] = letterAt(pic, i);

  static const char kPattern[4] = {'C', 'Y', 'M', 'D'};
  for (int run = 0; run < 4; run++) {
    const char letter = kPattern[run];
    size_t pos = 0;
    while (pos < length && letterAt(pic, pos) != letter) pos++;
    if (pos == length) continue;
    dest[pos] = src8[2 * run];
    if (pos + 1 < length && letterAt(pic, pos + 1) == letter) dest[pos + 1] = src8[2 * run + 1];
  }

  size_t start = 0;
  size_t runLength = 0;
  if (!findMonthNameRun(pic, length, &start, &runLength)) return;
  if (src8[4] == ' ' && src8[5] == ' ') {
    std::memset(dest + start, ' ', runLength);
    return;
  }
  int month = static_cast<int>(numberOf(src8 + 4, 2));
  if (month < 1) month = 1;
  if (month > 12) month = 12;
  const char* name = kMonthNames[month - 1];
  const size_t shown = runLength < 9 ? runLength : 9;
  const size_t nameLength = std::strlen(name);
  for (size_t i = 0; i < runLength; i++) {
    dest[start + i] = (i < shown && i < nameLength) ? name[i] : ' ';
  }
}

int date4parse(char* dest8, const char* text, const char* picture) {
  const char* pic = picture;
  const size_t length = std::strlen(picture);
  const size_t textLength = std::strlen(text);
  std::memset(dest8, ' ', 8);

  // Positions of the text beyond its end read as blanks.
  auto textAt = [&](size_t pos) { return pos < textLength ? text[pos] : ' '; };

  static const char kPattern[4] = {'C', 'Y', 'M', 'D'};
  bool present[4] = {false, false, false, false};
  for (int run = 0; run < 4; run++) {
    int taken = 0;
    for (size_t pos = 0; pos < length && taken < 2; pos++) {
      if (letterAt(pic, pos) != kPattern[run]) continue;
      dest8[2 * run + taken] = textAt(pos);
      taken++;
    }
    present[run] = taken > 0;
  }
  if (allBlanks(dest8, 8)) return 0;

  if (!present[0]) {
    char today[8];
    date4today(today);
    dest8[0] = today[0];
    dest8[1] = today[1];
  }
  if (!present[1]) std::memcpy(dest8 + 2, "01", 2);
  if (!present[2]) std::memcpy(dest8 + 4, "01", 2);
  if (!present[3]) std::memcpy(dest8 + 6, "01", 2);

  size_t start = 0;
  size_t runLength = 0;
  if (findMonthNameRun(pic, length, &start, &runLength)) {
    char given[4] = {0, 0, 0, 0};
    size_t n = 0;
    for (; n < 3 && start + n < textLength; n++) given[n] = lower(text[start + n]);
    while (n > 0 && given[n - 1] == ' ') given[--n] = '\0';
    if (n > 0) given[0] = upper(given[0]);
    dest8[4] = ' ';
    dest8[5] = ' ';
    // An empty month text matches no name (every name begins with nothing).
    for (int m = 0; n > 0 && m < 12; m++) {
      if (std::strncmp(kMonthNames[m], given, n) == 0) {
        writeDigits(dest8 + 4, m + 1, 2);
        break;
      }
    }
  }

  for (int i = 0; i < 8; i++) {
    if (dest8[i] == ' ') dest8[i] = '0';
  }
  return 1;
}

void date4todayParts(int* year, int* month, int* day) {
  const LocalTime now = localNow();
  *year = now.year;
  *month = now.month;
  *day = now.day;
}

void date4today(char* dest8) {
  const LocalTime now = localNow();
  writeDigits(dest8, now.year, 4);
  writeDigits(dest8 + 4, now.month, 2);
  writeDigits(dest8 + 6, now.day, 2);
}

void date4timeNow(char* dest8) {
  const LocalTime now = localNow();
  writeDigits(dest8, now.hour, 2);
  dest8[2] = ':';
  writeDigits(dest8 + 3, now.minute, 2);
  dest8[5] = ':';
  writeDigits(dest8 + 6, now.second, 2);
}
