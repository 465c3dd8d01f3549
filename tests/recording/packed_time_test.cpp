// Packed date-time: layout, day numbers, differences and the text form.
#include <gtest/gtest.h>

#include <string>

#include "tools/record_writer.h"

static CalendarTime Calendar(unsigned year, unsigned month, unsigned day, unsigned hour = 0, unsigned minute = 0,
                             unsigned second = 0, unsigned ms = 0) {
  return CalendarTime{(uint16_t)year,   (uint16_t)month,  0, (uint16_t)day, (uint16_t)hour,
                      (uint16_t)minute, (uint16_t)second, (uint16_t)ms};
}

static PackedTime Date(unsigned year, unsigned month, unsigned day) { return MakePackedTime(year, month, day, 0, 0, 0); }

TEST(PackedTime, StoredValueAndTextWithoutPadding) {
  CalendarTime time = Calendar(2009, 3, 5, 7, 4, 9), overflowing = Calendar(65534, 18, 34, 40, 70, 65, 1000);
  overflowing.dayOfWeek = 0xFFFF;
  EXPECT_EQ(0x00000FB265388480ull, PackTime(&time));  // bytes 80 84 38 65 B2 0F 00 00
  EXPECT_EQ(0u, PackTime(&overflowing) >> 49);
  struct Row { PackedTime time; const char* text; } rows[] = {
    {Date(2010, 1, 1), "2010/1/1 0:0:0"},
    {MakePackedTime(2009, 12, 31, 23, 59, 30), "2009/12/31 23:59:30"},
    {PackTime(&time) | 0xFFFE000000000000ull | 127, "2009/3/5 7:4:9"},  // reserved bits
    {PackTime(&overflowing), "65534/2/2 8:6:1"},  // each field masked to its width
    {~(PackedTime)0, "65535/15/31 31:63:63"},     // the widest text fills the buffer
  };
  for (const Row& row : rows) {
    char text[FORMAT_TIME_SIZE];
    EXPECT_EQ(std::string(row.text), FormatTime(row.time, text));
  }
}

TEST(PackedTime, DayNumbersCountEveryDay) {
  EXPECT_EQ(0, DayNumber(Date(1, 1, 1)));
  EXPECT_EQ(730134, DayNumber(Date(2000, 1, 1)));
  static const unsigned lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (unsigned year : {2000u, 2009u, 2100u}) {
    int32_t expected = DayNumber(Date(year, 1, 1));
    for (unsigned month = 1; month <= 12; month++)
      for (unsigned day = 1; day <= lengths[month - 1] + (month == 2 && year % 4 == 0); day++, expected++)
        ASSERT_EQ(expected, DayNumber(Date(year, month, day))) << year * 10000 + month * 100 + day;
    EXPECT_EQ(expected, DayNumber(Date(year + 1, 1, 1))) << year;
  }
  // Damaged months stay within the table: 0 counts as January, 13 to 15 as December.
  EXPECT_EQ(DayNumber(Date(2009, 1, 10)), DayNumber(Date(2009, 0, 10)));
  for (unsigned month = 13; month <= 15; month++)
    EXPECT_EQ(DayNumber(Date(2008, 12, 10)), DayNumber(Date(2008, month, 10))) << month;
}

TEST(PackedTime, TimeDifferences) {
  struct Row { CalendarTime a, b; int32_t seconds; } rows[] = {
    {Calendar(2010, 1, 1), Calendar(2009, 12, 31, 23, 59, 30), 30},
    {Calendar(2009, 12, 31, 23, 59, 30), Calendar(2010, 1, 1), -30},
    {Calendar(2000, 3, 1), Calendar(2000, 2, 28), 2 * 86400},
    {Calendar(2009, 3, 5, 7, 4, 10, 0), Calendar(2009, 3, 5, 7, 4, 9, 500), 1},  // ms ignored
    // Exact across year 137, where the count of seconds passes 32 bits.
    {Calendar(150, 6, 1, 12), Calendar(120, 6, 1, 11, 59, 59), 10957 * 86400 + 1},
  };
  for (const Row& row : rows) EXPECT_EQ(row.seconds, TimeDifference(&row.a, &row.b)) << row.a.year;
}
