// Packed date-time of header blocks and the calendar record of frame times.
#pragma once

#include <cstdint>

// 64-bit packed date-time, stored little-endian in the file:
// bits 0-6 sub-second, 7-12 second, 13-18 minute, 19-23 hour, 24-28 day,
// 29-32 month, 33-48 year, 49-63 reserved.
typedef uint64_t PackedTime;

struct CalendarTime {
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// Longest FormatTime text ("65535/15/31 31:63:63") plus its terminator.
enum { FORMAT_TIME_SIZE = 21 };

// Field readers of a packed value.
unsigned PackedYear(PackedTime time);
unsigned PackedMonth(PackedTime time);
unsigned PackedDay(PackedTime time);
unsigned PackedHour(PackedTime time);
unsigned PackedMinute(PackedTime time);
unsigned PackedSecond(PackedTime time);

PackedTime PackTime(const CalendarTime* time);
int32_t DayNumber(PackedTime time);
uint32_t TimeToSeconds(PackedTime time);
int32_t TimeDifference(const CalendarTime* a, const CalendarTime* b);
// Writes "%d/%d/%d %d:%d:%d" into text (FORMAT_TIME_SIZE bytes) and returns it.
char* FormatTime(PackedTime time, char* text);
