// Packed date-time: field readers, packing, day numbers, seconds and text.
#include "recording/packed_time.h"

#include <cstdio>

// Days before the first of each month in a common year.
static const uint16_t DAYS_BEFORE_MONTH[12] = {
  0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334
};

unsigned PackedYear(PackedTime time) { return (unsigned)((time >> 33) & 0xFFFF); }
unsigned PackedMonth(PackedTime time) { return (unsigned)((time >> 29) & 15); }
unsigned PackedDay(PackedTime time) { return (unsigned)((time >> 24) & 31); }
unsigned PackedHour(PackedTime time) { return (unsigned)((time >> 19) & 31); }
unsigned PackedMinute(PackedTime time) { return (unsigned)((time >> 13) & 63); }
unsigned PackedSecond(PackedTime time) { return (unsigned)((time >> 7) & 63); }

PackedTime PackTime(const CalendarTime* time) {
  PackedTime packed = 0;
  packed |= (PackedTime)(time->milliseconds & 127);
  packed |= (PackedTime)(time->second & 63) << 7;
  packed |= (PackedTime)(time->minute & 63) << 13;
  packed |= (PackedTime)(time->hour & 31) << 19;
  packed |= (PackedTime)(time->day & 31) << 24;
  packed |= (PackedTime)(time->month & 15) << 29;
  packed |= (PackedTime)time->year << 33;
  return packed;
}

// Every year divisible by 4 is a leap year, century years included. A damaged
// month (0 or 13-15) is clamped to January or December, so the table is never
// left and the count still grows with the month.
int32_t DayNumber(PackedTime time) {
  int32_t year = (int32_t)PackedYear(time);
  unsigned month = PackedMonth(time);
  int32_t day = (int32_t)PackedDay(time);
  if (month < 1) month = 1;
  if (month > 12) month = 12;
  int32_t days = 365 * year + (year - 1) / 4 + DAYS_BEFORE_MONTH[month - 1] + day - 366;
  if (month > 2 && year % 4 == 0) days += 1;
  return days;
}

// Wraps modulo 2^32 at every step; only differences of two results mean much.
uint32_t TimeToSeconds(PackedTime time) {
  uint32_t seconds = (uint32_t)DayNumber(time);
  seconds = seconds * 24u + PackedHour(time);
  seconds = seconds * 60u + PackedMinute(time);
  seconds = seconds * 60u + PackedSecond(time);
  return seconds;
}

int32_t TimeDifference(const CalendarTime* a, const CalendarTime* b) {
  uint32_t difference = TimeToSeconds(PackTime(a)) - TimeToSeconds(PackTime(b));
  return (int32_t)difference;
}

char* FormatTime(PackedTime time, char* text) {
  snprintf(text, FORMAT_TIME_SIZE, "%d/%d/%d %d:%d:%d", (int)PackedYear(time),
           (int)PackedMonth(time), (int)PackedDay(time), (int)PackedHour(time),
           (int)PackedMinute(time), (int)PackedSecond(time));
  return text;
}
