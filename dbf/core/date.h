// Date conversion: day numbers, CCYYMMDD texts and date pictures.
//
// A day number is a signed 32-bit count on which 1 January of year 1 is
// 1721426; 0 or less means "no date". D columns store dates as the eight
// digits CCYYMMDD, eight blanks meaning no date. A date picture such as
// "MM/DD/YY" places the digits of century (C), year (Y), month (M) and day (D);
// a run of three or more M shows the month's name.
#pragma once

#include <cstdint>

inline constexpr int32_t kDayNumberOfYearOne = 1721426;

// Day number of an 8-character CCYYMMDD text: 0 for eight blanks, -1 when
// invalid.
int32_t date4dayNumber(const char* ccyymmdd);
// Writes the 8 characters of |dayNumber| (eight blanks for 0 or less). No NUL.
void date4fromDayNumber(char* dest8, int32_t dayNumber);
// Shapes CCYYMMDD |src8| by |picture| into |dest|, which receives exactly
// strlen(picture) characters (no NUL).
void date4format(const char* src8, char* dest, const char* picture);
// Reads |text| shaped by |picture| into CCYYMMDD |dest8|. Returns 0 when the
// text holds no date, else 1.
int date4parse(char* dest8, const char* text, const char* picture);
// Today as CCYYMMDD (8 characters, no NUL).
void date4today(char* dest8);
// The present time as "HH:MM:SS" (8 characters, no NUL).
void date4timeNow(char* dest8);
// Year, month and day of today (for header dates).
void date4todayParts(int* year, int* month, int* day);
