// Time stamps as the mail server stores them in numeric columns (RECVTIME and
// the like): a 32-bit count of seconds on a calendar of twelve 31-day months
// (372-day years) counted from 1995, computed with 32-bit wrap-around.
//
// Because every month has 31 days on that calendar, a real date does not always
// come back unchanged: day 31 of a month decodes as day 0 of the next month
// (31 December as day 0 of month 1 of the next year), and any December date
// decodes as month 0 of the next year, since month 12 pushes the day count past
// 372. The stored numbers are what the server reads, so both directions keep
// exactly this arithmetic.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>  // the system's SYSTEMTIME has the same eight 16-bit fields
#else
// The Win32 calendar time structure: eight unsigned 16-bit fields, month and
// day 1-based, day of week 0 = Sunday.
struct SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};
#endif

// (wYear - 1995) * 32140800 + wMonth * 2678400 + wDay * 86400 + wHour * 3600 +
// wMinute * 60 + wSecond, wrapping modulo 2^32. wMonth and wDay are used as
// given; wDayOfWeek and wMilliseconds are ignored.
// 1995-01-01 00:00:00 gives 2764800; 1998-06-16 13:13:36 gives 113922816.
uint32_t encodeTimestamp(const SYSTEMTIME& time);

// The calendar fields of |seconds| by unsigned division; wDayOfWeek and
// wMilliseconds are 0.
SYSTEMTIME decodeTimestamp(uint32_t seconds);
