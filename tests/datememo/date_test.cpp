// Tests of the date conversions: day numbers, CCYYMMDD, pictures.
#include "dbf/core/date.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string fromDay(int32_t day) {
  char out[8];
  date4fromDayNumber(out, day);
  return std::string(out, 8);
}

std::string format(const char* ccyymmdd, const char* picture) {
  std::string out(std::char_traits<char>::length(picture), '?');
  date4format(ccyymmdd, out.data(), picture);
  return out;
}

std::string parse(const char* text, const char* picture, int* result = nullptr) {
  char out[8];
  const int r = date4parse(out, text, picture);
  if (result != nullptr) *result = r;
  return std::string(out, 8);
}

TEST(DayNumber, KnownDaysBothWays) {
  EXPECT_EQ(date4dayNumber("00010101"), 1721426);
  EXPECT_EQ(fromDay(1721426), "00010101");
  EXPECT_EQ(date4dayNumber("19990101"), 2451180);
  EXPECT_EQ(fromDay(2451180), "19990101");
  EXPECT_EQ(date4dayNumber("19700101"), 2440588);  // the Unix epoch's Julian day
}

TEST(DayNumber, LeapYearsAreGregorian) {
  EXPECT_EQ(date4dayNumber("19000229"), -1);
  EXPECT_GT(date4dayNumber("20000229"), 0);
  EXPECT_GT(date4dayNumber("19960229"), 0);
  EXPECT_EQ(date4dayNumber("19970229"), -1);
  EXPECT_EQ(date4dayNumber("20000301") - date4dayNumber("20000228"), 2);
  EXPECT_EQ(date4dayNumber("19000301") - date4dayNumber("19000228"), 1);
}

TEST(DayNumber, BlanksAndInvalidTexts) {
  EXPECT_EQ(date4dayNumber("        "), 0);
  EXPECT_EQ(date4dayNumber("1999010A"), -1);
  EXPECT_EQ(date4dayNumber("19991301"), -1);
  EXPECT_EQ(date4dayNumber("19990001"), -1);
  EXPECT_EQ(date4dayNumber("19990100"), -1);
  EXPECT_EQ(date4dayNumber("19990431"), -1);
  EXPECT_EQ(date4dayNumber("1999-1-1"), -1);
  EXPECT_EQ(date4dayNumber("    0101"), date4dayNumber("00000101"));
}

TEST(DayNumber, NoDateAndUnrepresentableDays) {
  EXPECT_EQ(fromDay(0), "        ");
  EXPECT_EQ(fromDay(-5), "        ");
  EXPECT_EQ(fromDay(INT32_MAX), "        ");  // beyond year 9999
  EXPECT_EQ(fromDay(1000), "        ");       // before year 0
  EXPECT_EQ(fromDay(date4dayNumber("99991231")), "99991231");
  EXPECT_EQ(fromDay(date4dayNumber("99991231") + 1), "        ");
  EXPECT_EQ(fromDay(date4dayNumber("00000101")), "00000101");
}

// Every day number gives its own date or none, never another day's or an
// invalid one (1721060 came out as "00000100"): up to the end of year 1, and
// around the end of year 9999.
TEST(DayNumber, EveryDayGivesItsOwnDateOrNone) {
  EXPECT_EQ(fromDay(1721060), "        ");
  auto check = [](int32_t day) {
    const std::string text = fromDay(day);
    if (text != "        ") {
      ASSERT_EQ(date4dayNumber(text.c_str()), day) << text;
    }
  };
  for (int32_t day = 1; day <= date4dayNumber("00011231"); day++) check(day);
  for (int32_t day = date4dayNumber("99990101"); day <= date4dayNumber("99991231") + 400; day++)
    check(day);
}

TEST(DayNumber, EveryDayOfFourCenturiesRoundTrips) {
  // 1600-2400 crosses every kind of leap rule and year boundary.
  const int32_t first = date4dayNumber("16000101");
  const int32_t last = date4dayNumber("24001231");
  int32_t previous = first - 1;
  for (int32_t day = first; day <= last; day++) {
    const std::string text = fromDay(day);
    ASSERT_EQ(date4dayNumber(text.c_str()), day) << text;
    ASSERT_GT(text, fromDay(previous));
    previous = day;
  }
}

TEST(PictureFormat, DigitsFollowThePicture) {
  EXPECT_EQ(format("19981207", "MM/DD/YY"), "12/07/98");
  EXPECT_EQ(format("19981207", "CCYY.MM.DD"), "1998.12.07");
  EXPECT_EQ(format("19981207", "dd-mm-ccyy"), "07-12-1998");  // lower case is upper-cased
  EXPECT_EQ(format("        ", "MM/DD/YY"), "  /  /  ");
  // A longer run keeps its extra letters; a single letter takes one digit.
  EXPECT_EQ(format("19981207", "YYYY"), "98YY");
  EXPECT_EQ(format("19981207", "D"), "0");
}

TEST(PictureFormat, MonthNames) {
  EXPECT_EQ(format("19981207", "DD MMMMMMMMM CCYY"), "07 December  1998");
  EXPECT_EQ(format("19980115", "MMM"), "Jan");
  EXPECT_EQ(format("19980515", "MMMMMMMMM"), "May      ");
  EXPECT_EQ(format("19980915", "MMMMMMMMMMMM"), "September   ");  // at most 9 letters shown
  EXPECT_EQ(format("19980515", "MMMM"), "May ");
  EXPECT_EQ(format("1998  15", "DD MMM"), "15    ");
  EXPECT_EQ(format("19981315", "MMM"), "Dec");  // out of range months are clamped
  EXPECT_EQ(format("19980015", "MMM"), "Jan");
}

TEST(PictureFormat, LongPicturesAreFilledWhole) {
  const std::string picture = std::string(300, '-') + "CCYYMMDD";
  EXPECT_EQ(format("19981207", picture.c_str()), std::string(300, '-') + "19981207");
}

TEST(PictureParse, DigitsAndDefaults) {
  char century[3] = {0, 0, 0};
  {
    char today[8];
    date4today(today);
    century[0] = today[0];
    century[1] = today[1];
  }
  EXPECT_EQ(parse("12/07/98", "MM/DD/YY"), std::string(century) + "981207");
  EXPECT_EQ(parse("07.12.1998", "DD.MM.CCYY"), "19981207");
  EXPECT_EQ(parse("1998", "CCYY"), "19980101");
  int result = -1;
  EXPECT_EQ(parse("        ", "MM/DD/YY", &result), "        ");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(parse("", "MM/DD/YY", &result), "        ");  // shorter text reads as blanks
  EXPECT_EQ(result, 0);
  // No Y: the year digits are 01; blanks inside the date become zeros.
  EXPECT_EQ(parse("12/ 7/98", "MM/DD/CC", &result), "98011207");
  EXPECT_EQ(result, 1);
}

TEST(PictureParse, MonthNames) {
  EXPECT_EQ(parse("07 Dec 1998", "DD MMM CCYY"), "19981207");
  EXPECT_EQ(parse("07 december 1998", "DD MMMMMMMM CCYY"), "19981207");
  EXPECT_EQ(parse("07 MAY 1998", "DD MMM CCYY"), "19980507");
  EXPECT_EQ(parse("07 Ju  1998", "DD MMM CCYY"), "19980607");  // first name beginning so
  EXPECT_EQ(parse("07 Xyz 1998", "DD MMM CCYY"), "19980007");  // no match: month blank, then 0
  EXPECT_EQ(parse("07     1998", "DD MMM CCYY"), "19980007");  // an empty month matches nothing
}

TEST(Today, ShapesOfTodayAndNow) {
  char today[8];
  date4today(today);
  EXPECT_GT(date4dayNumber(today), date4dayNumber("20000101"));
  int y = 0, m = 0, d = 0;
  date4todayParts(&y, &m, &d);
  char parts[9];
  std::snprintf(parts, sizeof parts, "%04d%02d%02d", y, m, d);
  // Midnight may pass between the two calls; either day is right.
  EXPECT_LE(date4dayNumber(today), date4dayNumber(parts));
  char now[8];
  date4timeNow(now);
  EXPECT_EQ(now[2], ':');
  EXPECT_EQ(now[5], ':');
  for (int i : {0, 1, 3, 4, 6, 7}) EXPECT_TRUE(now[i] >= '0' && now[i] <= '9');
}

}  // namespace
