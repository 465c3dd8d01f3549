// Caption files of finished segments: the recorded date and time of every
// frame, shown while that frame is on screen.
#pragma once

#include <cstdint>

#include "recording/packed_time.h"

struct AppContext;

// The times of the frames written to the open segment, in order, each in 8
// bytes: year (16 bits), month and day (8 bits each) and the milliseconds of
// the day (32 bits). Half of what the AVI writer's index holds a frame.
struct SegmentCaptions {
  uint64_t* times;
  int32_t count;
  int32_t capacity;
  // Non-zero once a time could not be kept: the segment gets no caption file.
  int32_t incomplete;
};

// Notes the time of the frame just written to the open segment, when the run
// makes captions.
void NoteCaptionTime(const AppContext* context, SegmentCaptions* captions,
                     const CalendarTime* time);

// Writes the caption file of a segment whose AVI file was finished and named
// aviPath, timed by the rate its video stream ended with: its whole part, or
// openRate when that is below 1. Returns 0, or a negative step code (with
// the context's failedCaptions counted) and no caption file written: -1
// times are missing, -2 the file could not be created, -3 a caption or the
// closing text could not be written (the file is removed). Does nothing
// without captions.
int WriteSegmentCaptions(AppContext* context, SegmentCaptions* captions, const char* aviPath,
                         float rate, int32_t openRate);

// Forgets the times of the segment and releases their memory.
void ClearSegmentCaptions(SegmentCaptions* captions);

// The caption text of a frame time: "2009-03-07 08:05:03.120", or
// "08:05:03.120" for a frame without a date (before any header block).
// text holds CAPTION_TEXT_SIZE bytes.
enum { CAPTION_TEXT_SIZE = 32 };
void FormatCaptionTime(uint64_t packed, char* text);
