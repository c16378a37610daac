// VARIANT values of the old-database component.
//
// DAO handed every column value over as an OLE automation VARIANT; the
// converters look only at the type code and the value. Texts are 8-bit
// (Windows-1252) NUL-terminated strings owned by the variant. Dates are OLE
// automation dates: days since 1899-12-30, the fraction being the time of
// day (for negative dates the fraction counts forward from the day's start).
#pragma once

#include <cstdint>
#include <string_view>

#include "tables/timestamp.h"  // SYSTEMTIME

// Type codes, as OLE numbers them.
enum : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,     // 16-bit signed integer
  VT_I4 = 3,     // 32-bit signed integer
  VT_R8 = 5,     // double
  VT_CY = 6,     // currency: 64-bit integer scaled by 10000
  VT_DATE = 7,   // OLE automation date
  VT_BSTR = 8,   // 8-bit text here, not OLE's wide string
  VT_BOOL = 11,  // 0 false, -1 true
  VT_UI1 = 17,   // the DAO layer also handed 8-bit text over under this code
};

struct VARIANT {
  uint16_t vt;
  // The setters below zero all eight bytes before storing a value, so the
  // 32-bit word at the start is well defined whatever the type.
  union {
    int16_t iVal;
    int32_t lVal;
    int16_t boolVal;
    double dblVal;
    double date;
    int64_t cyVal;
    char* pszVal;
  };
};

// Makes v empty. Use on a variant whose bytes are not yet meaningful.
void VariantInit(VARIANT* v);

// Frees what v owns (its text) and makes it empty. Always returns 0.
int VariantClear(VARIANT* v);

// Setters: each clears v first, then zeroes the value bytes and stores.
void variantSetNull(VARIANT* v);
void variantSetI2(VARIANT* v, int16_t value);
void variantSetI4(VARIANT* v, int32_t value);
void variantSetR8(VARIANT* v, double value);
void variantSetCy(VARIANT* v, int64_t scaledBy10000);
void variantSetDate(VARIANT* v, double oleDate);
void variantSetBool(VARIANT* v, bool value);
// Stores a NUL-terminated copy of text (embedded NULs end it early).
void variantSetText(VARIANT* v, std::string_view text);

// The 32-bit word at the start of the value, read without looking at the
// type: the value of a VT_I4, the zero-extended value of a VT_I2 or VT_BOOL,
// and meaningless but harmless for the other types.
int32_t variantRawWord(const VARIANT& v);

// Converts an OLE date into a calendar time, rounded to the nearest second
// (milliseconds are always 0). Returns non-zero on success, 0 when the date
// is not a number or lies outside the years 100 to 9999 (then *st is left
// unchanged).
int VariantTimeToSystemTime(double oleDate, SYSTEMTIME* st);

// The OLE date of a calendar time (seconds precision). Returns false for a
// date that does not exist (month 13, 30 February, ...) or lies outside the
// years 100 to 9999.
bool oleDateFromParts(int year, int month, int day, int hour, int minute, int second,
                      double* oleDate);

// Turns UTF-8 text into the Windows-1252 bytes the old server used. Bytes
// that are not part of valid UTF-8 are kept as they are (so text already in
// Windows-1252 passes unchanged); characters Windows-1252 lacks become '?'.
std::string utf8ToWindows1252(std::string_view text);

// The Windows-1252 byte of a Unicode character, '?' when it has none.
char windows1252Of(uint32_t codePoint);
