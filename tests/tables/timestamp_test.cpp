// The server's stored time stamps: the known examples, the 31-day calendar's
// consequences and the 32-bit wrap-around.
#include <gtest/gtest.h>

#include "tables/timestamp.h"

namespace {

SYSTEMTIME at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  SYSTEMTIME t{};
  t.wYear = static_cast<uint16_t>(year);
  t.wMonth = static_cast<uint16_t>(month);
  t.wDay = static_cast<uint16_t>(day);
  t.wHour = static_cast<uint16_t>(hour);
  t.wMinute = static_cast<uint16_t>(minute);
  t.wSecond = static_cast<uint16_t>(second);
  return t;
}

void expectFields(const SYSTEMTIME& t, int year, int month, int day, int hour, int minute,
                  int second) {
  EXPECT_EQ(t.wYear, year);
  EXPECT_EQ(t.wMonth, month);
  EXPECT_EQ(t.wDay, day);
  EXPECT_EQ(t.wHour, hour);
  EXPECT_EQ(t.wMinute, minute);
  EXPECT_EQ(t.wSecond, second);
  EXPECT_EQ(t.wDayOfWeek, 0);
  EXPECT_EQ(t.wMilliseconds, 0);
}

TEST(StoredTimestamp, KnownEncodings) {
  EXPECT_EQ(encodeTimestamp(at(1995, 1, 1)), 2764800u);
  SYSTEMTIME t = at(1998, 6, 16, 13, 13, 36);
  EXPECT_EQ(encodeTimestamp(t), 113922816u);
  t.wDayOfWeek = 2;  // ignored, as are the milliseconds
  t.wMilliseconds = 999;
  EXPECT_EQ(encodeTimestamp(t), 113922816u);
}

TEST(StoredTimestamp, DecodesKnownValues) {
  expectFields(decodeTimestamp(2764800), 1995, 1, 1, 0, 0, 0);
  expectFields(decodeTimestamp(113922816), 1998, 6, 16, 13, 13, 36);
}

TEST(StoredTimestamp, LastDayOfDecemberComesBackAsDayZeroOfNextYear) {
  expectFields(decodeTimestamp(encodeTimestamp(at(1998, 12, 31))), 1999, 1, 0, 0, 0, 0);
}

TEST(StoredTimestamp, Day31ComesBackAsDayZeroOfNextMonth) {
  expectFields(decodeTimestamp(encodeTimestamp(at(2001, 3, 31, 23, 59, 59))), 2001, 4, 0, 23, 59,
               59);
}

// Month 12 alone is 372 days, a whole year of this calendar.
TEST(StoredTimestamp, DecemberComesBackAsMonthZeroOfNextYear) {
  expectFields(decodeTimestamp(encodeTimestamp(at(1998, 12, 15, 8, 0, 0))), 1999, 0, 15, 8, 0, 0);
}

TEST(StoredTimestamp, RoundTripsJanuaryToNovemberBelowDay31) {
  for (int month = 1; month <= 11; ++month) {
    for (int day = 1; day <= 30; ++day) {
      SYSTEMTIME t = at(2003, month, day, 17, 42, 5);
      SYSTEMTIME back = decodeTimestamp(encodeTimestamp(t));
      ASSERT_EQ(back.wMonth, month) << "day " << day;
      ASSERT_EQ(back.wDay, day) << "month " << month;
      ASSERT_EQ(back.wYear, 2003);
      ASSERT_EQ(back.wHour, 17);
      ASSERT_EQ(back.wMinute, 42);
      ASSERT_EQ(back.wSecond, 5);
    }
  }
}

TEST(StoredTimestamp, WrapsModulo2To32) {
  // 1994-06-01 lies before the calendar's origin: the count wraps below zero.
  EXPECT_EQ(encodeTimestamp(at(1994, 6, 1)), 4278983296u);
  // About 133 years after 1995 the count wraps past 2^32 back to small numbers.
  EXPECT_EQ(encodeTimestamp(at(2128, 8, 1)), 1272704u);
  // Decoding uses unsigned division over the full 32 bits.
  expectFields(decodeTimestamp(0xFFFFFFFFu), 2128, 7, 17, 6, 28, 15);
}

}  // namespace
