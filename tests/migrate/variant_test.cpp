// VARIANT values: type codes, the raw 32-bit word, OLE date conversion and
// rounding, and the text conversion to Windows-1252.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "migrate/variant.h"

namespace {

SYSTEMTIME timeOf(double oleDate) {
  SYSTEMTIME st{};
  EXPECT_NE(VariantTimeToSystemTime(oleDate, &st), 0) << oleDate;
  return st;
}

void expectTime(const SYSTEMTIME& st, int y, int mo, int d, int h, int mi, int s) {
  EXPECT_EQ(st.wYear, y);
  EXPECT_EQ(st.wMonth, mo);
  EXPECT_EQ(st.wDay, d);
  EXPECT_EQ(st.wHour, h);
  EXPECT_EQ(st.wMinute, mi);
  EXPECT_EQ(st.wSecond, s);
  EXPECT_EQ(st.wMilliseconds, 0);
}

double oleDate(int y, int mo, int d, int h, int mi, int s) {
  double v = 0;
  EXPECT_TRUE(oleDateFromParts(y, mo, d, h, mi, s, &v));
  return v;
}

TEST(Variant, TypeCodesAreTheOleNumbers) {
  EXPECT_EQ(VT_EMPTY, 0);
  EXPECT_EQ(VT_NULL, 1);
  EXPECT_EQ(VT_I2, 2);
  EXPECT_EQ(VT_I4, 3);
  EXPECT_EQ(VT_R8, 5);
  EXPECT_EQ(VT_CY, 6);
  EXPECT_EQ(VT_DATE, 7);
  EXPECT_EQ(VT_BSTR, 8);
  EXPECT_EQ(VT_BOOL, 11);
  EXPECT_EQ(VT_UI1, 17);
}

TEST(Variant, RawWordIsDefinedForEveryIntegerKind) {
  VARIANT v;
  VariantInit(&v);
  variantSetR8(&v, -1.0);  // leaves non-zero bytes behind
  variantSetI2(&v, -5);
  EXPECT_EQ(variantRawWord(v), 0xFFFB);  // 16-bit word, upper half zero
  variantSetI4(&v, -1);
  EXPECT_EQ(variantRawWord(v), -1);
  variantSetBool(&v, true);
  EXPECT_EQ(v.boolVal, -1);
  EXPECT_NE(variantRawWord(v), 0);
  variantSetBool(&v, false);
  EXPECT_EQ(variantRawWord(v), 0);
  VariantClear(&v);
}

TEST(Variant, TextIsCopiedAndClearedWithoutLeaks) {
  VARIANT v;
  VariantInit(&v);
  std::string source = "user@example";
  variantSetText(&v, source);
  source[0] = 'X';
  ASSERT_EQ(v.vt, VT_BSTR);
  EXPECT_STREQ(v.pszVal, "user@example");
  variantSetText(&v, std::string_view("ab\0cd", 5));  // replaces, freeing the first
  EXPECT_STREQ(v.pszVal, "ab");
  VariantClear(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  VariantClear(&v);  // twice is harmless
}

TEST(VariantTime, DateOfTheConversionExample) {
  SYSTEMTIME st = timeOf(35962.55111111111);
  expectTime(st, 1998, 6, 16, 13, 13, 36);
  EXPECT_EQ(st.wDayOfWeek, 2);  // a Tuesday
  EXPECT_DOUBLE_EQ(oleDate(1998, 6, 16, 13, 13, 36), 35962.55111111111);
}

TEST(VariantTime, EpochAndDayOfWeek) {
  SYSTEMTIME st = timeOf(0.0);
  expectTime(st, 1899, 12, 30, 0, 0, 0);
  EXPECT_EQ(st.wDayOfWeek, 6);  // Saturday
  expectTime(timeOf(2.0), 1900, 1, 1, 0, 0, 0);
  expectTime(timeOf(36526.0), 2000, 1, 1, 0, 0, 0);
  expectTime(timeOf(36585.0), 2000, 2, 29, 0, 0, 0);  // leap day
}

TEST(VariantTime, RoundsToTheNearestSecond) {
  double base = oleDate(1998, 6, 16, 13, 13, 36);
  expectTime(timeOf(base + 0.4 / 86400), 1998, 6, 16, 13, 13, 36);
  expectTime(timeOf(base + 0.6 / 86400), 1998, 6, 16, 13, 13, 37);
  expectTime(timeOf(base - 0.4 / 86400), 1998, 6, 16, 13, 13, 36);
}

TEST(VariantTime, RoundingCarriesIntoTheNextDayMonthAndYear) {
  double lastSecond = oleDate(1999, 12, 31, 23, 59, 59);
  expectTime(timeOf(lastSecond + 0.7 / 86400), 2000, 1, 1, 0, 0, 0);
  expectTime(timeOf(oleDate(1998, 2, 28, 23, 59, 59) + 0.9 / 86400), 1998, 3, 1, 0, 0, 0);
}

TEST(VariantTime, NegativeDatesCountTheTimeForwardFromTheDay) {
  expectTime(timeOf(-1.25), 1899, 12, 29, 6, 0, 0);
  expectTime(timeOf(-0.5), 1899, 12, 30, 12, 0, 0);
  EXPECT_DOUBLE_EQ(oleDate(1899, 12, 29, 6, 0, 0), -1.25);
  expectTime(timeOf(-1.0 - (86399.7 / 86400)), 1899, 12, 30, 0, 0, 0);  // rounds forward
}

TEST(VariantTime, ValuesOutsideTheCalendarFailAndLeaveTheResult) {
  SYSTEMTIME st{};
  st.wYear = 4242;
  EXPECT_EQ(VariantTimeToSystemTime(std::nan(""), &st), 0);
  EXPECT_EQ(VariantTimeToSystemTime(std::numeric_limits<double>::infinity(), &st), 0);
  EXPECT_EQ(VariantTimeToSystemTime(1e12, &st), 0);
  EXPECT_EQ(VariantTimeToSystemTime(-1e12, &st), 0);
  EXPECT_EQ(VariantTimeToSystemTime(oleDate(9999, 12, 31, 23, 59, 59) + 0.9 / 86400, &st), 0);
  EXPECT_EQ(st.wYear, 4242);
  EXPECT_NE(VariantTimeToSystemTime(oleDate(100, 1, 1, 0, 0, 0), &st), 0);
  EXPECT_EQ(st.wYear, 100);
}

TEST(VariantTime, ImpossibleCalendarTimesAreRefused) {
  double v;
  EXPECT_FALSE(oleDateFromParts(1998, 2, 29, 0, 0, 0, &v));
  EXPECT_FALSE(oleDateFromParts(1900, 2, 29, 0, 0, 0, &v));
  EXPECT_TRUE(oleDateFromParts(2000, 2, 29, 0, 0, 0, &v));
  EXPECT_FALSE(oleDateFromParts(1998, 13, 1, 0, 0, 0, &v));
  EXPECT_FALSE(oleDateFromParts(1998, 6, 31, 0, 0, 0, &v));
  EXPECT_FALSE(oleDateFromParts(1998, 6, 1, 24, 0, 0, &v));
  EXPECT_FALSE(oleDateFromParts(1998, 6, 1, 0, 60, 0, &v));
  EXPECT_FALSE(oleDateFromParts(10000, 1, 1, 0, 0, 0, &v));
}

TEST(Windows1252, ConvertsUtf8AndKeepsStrayBytes) {
  EXPECT_EQ(utf8ToWindows1252("plain ascii"), "plain ascii");
  EXPECT_EQ(utf8ToWindows1252("M\xC3\xBCller"), "M\xFCller");              // ü
  EXPECT_EQ(utf8ToWindows1252("\xE2\x82\xAC 5"), "\x80 5");                // €
  EXPECT_EQ(utf8ToWindows1252("\xE2\x80\x9Cq\xE2\x80\x9D"), "\x93q\x94");  // curly quotes
  EXPECT_EQ(utf8ToWindows1252("\xE5\xBC\xA0"), "?");                       // not in the code page
  EXPECT_EQ(utf8ToWindows1252("caf\xE9"), "caf\xE9");                      // already Windows-1252
  EXPECT_EQ(utf8ToWindows1252("\xC3"), "\xC3");                            // cut sequence
  EXPECT_EQ(utf8ToWindows1252("\xC0\xAF"), "\xC0\xAF");                    // overlong form
  EXPECT_EQ(utf8ToWindows1252("\xED\xA0\x80"), "\xED\xA0\x80");            // surrogate
}

}  // namespace
