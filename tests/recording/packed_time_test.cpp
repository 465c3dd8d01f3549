// Packed date-time: layout, day numbers, differences and the text form.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "recording/packed_time.h"

static CalendarTime Calendar(unsigned year, unsigned month, unsigned day, unsigned hour = 0,
                             unsigned minute = 0, unsigned second = 0,
                             unsigned milliseconds = 0) {
  CalendarTime time = {};
  time.year = (uint16_t)year;
  time.month = (uint16_t)month;
  time.day = (uint16_t)day;
  time.hour = (uint16_t)hour;
  time.minute = (uint16_t)minute;
  time.second = (uint16_t)second;
  time.milliseconds = (uint16_t)milliseconds;
  return time;
}

static PackedTime Pack(unsigned year, unsigned month, unsigned day, unsigned hour = 0,
                       unsigned minute = 0, unsigned second = 0) {
  CalendarTime time = Calendar(year, month, day, hour, minute, second);
  return PackTime(&time);
}

static std::string Text(PackedTime time) {
  char text[FORMAT_TIME_SIZE];
  return FormatTime(time, text);
}

TEST(PackedTime, StoredBytesAndTextOfAKnownTime) {
  PackedTime packed = Pack(2009, 3, 5, 7, 4, 9);
  const uint8_t expected[8] = {0x80, 0x84, 0x38, 0x65, 0xB2, 0x0F, 0x00, 0x00};
  for (int i = 0; i < 8; i++) EXPECT_EQ(expected[i], (uint8_t)(packed >> (8 * i))) << "byte " << i;
  EXPECT_EQ("2009/3/5 7:4:9", Text(packed));
  EXPECT_EQ(2009u, PackedYear(packed));
  EXPECT_EQ(3u, PackedMonth(packed));
  EXPECT_EQ(5u, PackedDay(packed));
  EXPECT_EQ(7u, PackedHour(packed));
  EXPECT_EQ(4u, PackedMinute(packed));
  EXPECT_EQ(9u, PackedSecond(packed));
}

TEST(PackedTime, PackMasksEveryFieldToItsWidth) {
  CalendarTime time = Calendar(65535, 17, 33, 40, 70, 65, 1000);
  time.dayOfWeek = 0xFFFF;
  PackedTime packed = PackTime(&time);
  EXPECT_EQ(65535u, PackedYear(packed));
  EXPECT_EQ(1u, PackedMonth(packed));    // 17 & 15
  EXPECT_EQ(1u, PackedDay(packed));      // 33 & 31
  EXPECT_EQ(8u, PackedHour(packed));     // 40 & 31
  EXPECT_EQ(6u, PackedMinute(packed));   // 70 & 63
  EXPECT_EQ(1u, PackedSecond(packed));   // 65 & 63
  EXPECT_EQ(1000u & 127u, (unsigned)(packed & 127));
  EXPECT_EQ(0u, (unsigned)(packed >> 49));  // reserved bits stay clear
}

TEST(PackedTime, MonthStraddlesTheTwoHalves) {
  PackedTime packed = Pack(0, 8, 0);
  EXPECT_EQ(0u, (uint32_t)packed);               // bits 0-2 of 8 are clear
  EXPECT_EQ(1u, (uint32_t)(packed >> 32));       // bit 3 is bit 0 of the high half
  EXPECT_EQ(8u, PackedMonth(packed));
  EXPECT_EQ(7u, PackedMonth(Pack(0, 7, 0)));
  EXPECT_EQ(0xE0000000u, (uint32_t)Pack(0, 7, 0));
}

TEST(PackedTime, ReadersIgnoreReservedAndSubSecondBits) {
  PackedTime packed = Pack(2009, 3, 5, 7, 4, 9) | 0xFFFE000000000000ull | 127;
  EXPECT_EQ("2009/3/5 7:4:9", Text(packed));
  EXPECT_EQ(DayNumber(Pack(2009, 3, 5)), DayNumber(packed));
}

TEST(PackedTime, DayNumbersOfKnownDates) {
  EXPECT_EQ(0, DayNumber(Pack(1, 1, 1)));
  EXPECT_EQ(730134, DayNumber(Pack(2000, 1, 1)));
  EXPECT_EQ(730192, DayNumber(Pack(2000, 2, 28)));
  EXPECT_EQ(730194, DayNumber(Pack(2000, 3, 1)));
  // 2100 counts as a leap year too.
  EXPECT_EQ(2, DayNumber(Pack(2100, 3, 1)) - DayNumber(Pack(2100, 2, 28)));
  // A common year has no 29 February between.
  EXPECT_EQ(1, DayNumber(Pack(2009, 3, 1)) - DayNumber(Pack(2009, 2, 28)));
  EXPECT_EQ(365, DayNumber(Pack(2010, 1, 1)) - DayNumber(Pack(2009, 1, 1)));
  EXPECT_EQ(366, DayNumber(Pack(2001, 1, 1)) - DayNumber(Pack(2000, 1, 1)));
}

TEST(PackedTime, DayNumbersRunWithoutGapsThroughAYear) {
  static const int lengths[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int32_t expected = DayNumber(Pack(2008, 1, 1));
  for (unsigned month = 1; month <= 12; month++) {
    for (int day = 1; day <= lengths[month - 1]; day++) {
      ASSERT_EQ(expected, DayNumber(Pack(2008, month, (unsigned)day)))
          << "2008/" << month << "/" << day;
      expected++;
    }
  }
  EXPECT_EQ(expected, DayNumber(Pack(2009, 1, 1)));
}

TEST(PackedTime, DamagedMonthsStayWithinTheTable) {
  // Month 0 counts as January, months 13 to 15 as December.
  EXPECT_EQ(DayNumber(Pack(2009, 1, 10)), DayNumber(Pack(2009, 0, 10)));
  for (unsigned month = 13; month <= 15; month++) {
    EXPECT_EQ(DayNumber(Pack(2008, 12, 10)), DayNumber(Pack(2008, month, 10))) << month;
  }
}

TEST(PackedTime, SecondsWrapButDifferencesStayExact) {
  EXPECT_EQ(0u, TimeToSeconds(Pack(1, 1, 1)));
  EXPECT_EQ(3723u, TimeToSeconds(Pack(1, 1, 1, 1, 2, 3)));
  // From the year 137 on the count exceeds 32 bits; a difference across that
  // point is still exact.
  CalendarTime later = Calendar(150, 6, 1, 12);
  CalendarTime earlier = Calendar(120, 6, 1, 11, 59, 59);
  int64_t days = (int64_t)DayNumber(PackTime(&later)) - DayNumber(PackTime(&earlier));
  EXPECT_GT((int64_t)DayNumber(PackTime(&later)) * 86400, (int64_t)UINT32_MAX);
  EXPECT_EQ(days * 86400 + 1, TimeDifference(&later, &earlier));
  EXPECT_EQ(-(days * 86400 + 1), TimeDifference(&earlier, &later));
}

TEST(PackedTime, DifferencesAcrossNewYearAndLeapDays) {
  CalendarTime before = Calendar(2009, 12, 31, 23, 59, 30);
  CalendarTime after = Calendar(2010, 1, 1);
  EXPECT_EQ(30, TimeDifference(&after, &before));
  EXPECT_EQ(-30, TimeDifference(&before, &after));

  for (unsigned year : {2000u, 2100u}) {
    CalendarTime february = Calendar(year, 2, 28);
    CalendarTime march = Calendar(year, 3, 1);
    EXPECT_EQ(172800, TimeDifference(&march, &february)) << year;
  }
  CalendarTime same = Calendar(2009, 3, 5, 7, 4, 9);
  EXPECT_EQ(0, TimeDifference(&same, &same));
}

TEST(PackedTime, MillisecondsPlayNoPartInDifferences) {
  CalendarTime a0 = Calendar(2009, 3, 5, 7, 4, 10, 0);
  CalendarTime a999 = Calendar(2009, 3, 5, 7, 4, 10, 999);
  CalendarTime b = Calendar(2009, 3, 5, 7, 4, 9, 500);
  EXPECT_EQ(1, TimeDifference(&a0, &b));
  EXPECT_EQ(1, TimeDifference(&a999, &b));
  // The day of week is ignored as well.
  a999.dayOfWeek = 6;
  EXPECT_EQ(1, TimeDifference(&a999, &b));
}

TEST(PackedTime, TextHasNoPaddingAndFitsItsBuffer) {
  EXPECT_EQ("2010/1/1 0:0:0", Text(Pack(2010, 1, 1)));
  EXPECT_EQ("2009/12/31 23:59:30", Text(Pack(2009, 12, 31, 23, 59, 30)));
  // The widest text the fields can hold, every field at its maximum.
  char text[FORMAT_TIME_SIZE + 8];
  memset(text, 'x', sizeof text);
  EXPECT_STREQ("65535/15/31 31:63:63", FormatTime(~(PackedTime)0, text));
  EXPECT_EQ('x', text[FORMAT_TIME_SIZE]);
}
