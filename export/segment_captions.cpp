// Caption files of finished segments. The frame times are kept while the
// segment is written; the file is written once the segment is finished and
// named, because only then are its final name and its rate known. The SAMI
// caption writer of the AVI output writes it, timed as if each caption came
// with its frame: caption i starts at i x 1000 / rate milliseconds.
#include "export/segment_captions.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "avi/avi_writer.h"
#include "avi/sami_writer.h"
#include "platform/platform.h"
#include "shell/app_context.h"

enum { FIRST_CAPACITY = 1024 };

// Players that read SAMI files (FFmpeg's decoder among them) show only text
// within a paragraph, which the caption writer opens for a caption stream
// with a language.
static const char CAPTION_LANGUAGE[] = "en";

static uint64_t PackCaptionTime(const CalendarTime* time) {
  uint32_t ms = (uint32_t)time->hour * 3600000u + (uint32_t)time->minute * 60000u +
                (uint32_t)time->second * 1000u + time->milliseconds;
  return ((uint64_t)time->year << 48) | ((uint64_t)(time->month & 0xFF) << 40) |
         ((uint64_t)(time->day & 0xFF) << 32) | ms;
}

void NoteCaptionTime(const AppContext* context, SegmentCaptions* captions,
                     const CalendarTime* time) {
  if (!context->options.captions || captions->incomplete) return;
  if (captions->count == captions->capacity) {
    // Doubling keeps the copying linear. A segment's frames stay far below
    // the limits (each takes at least 8 bytes of a file below 2^31 bytes).
    int32_t capacity = captions->capacity == 0             ? (int32_t)FIRST_CAPACITY
                       : captions->capacity > INT32_MAX / 2 ? INT32_MAX
                                                            : captions->capacity * 2;
    if (capacity == captions->capacity || (size_t)capacity > SIZE_MAX / sizeof(uint64_t)) {
      captions->incomplete = 1;
      return;
    }
    uint64_t* grown = (uint64_t*)realloc(captions->times, (size_t)capacity * sizeof(uint64_t));
    if (!grown) {
      captions->incomplete = 1;
      return;
    }
    captions->times = grown;
    captions->capacity = capacity;
  }
  captions->times[captions->count++] = PackCaptionTime(time);
}

void FormatCaptionTime(uint64_t packed, char* text) {
  unsigned year = (unsigned)(packed >> 48);
  unsigned month = (unsigned)(packed >> 40) & 0xFF;
  unsigned day = (unsigned)(packed >> 32) & 0xFF;
  uint32_t ms = (uint32_t)packed;
  // The hour is not reduced modulo 24, as in the segment names.
  unsigned hour = ms / 3600000u, minute = ms / 60000u % 60u, second = ms / 1000u % 60u;
  if (year == 0 && month == 0 && day == 0)
    snprintf(text, CAPTION_TEXT_SIZE, "%02u:%02u:%02u.%03u", hour, minute, second, ms % 1000u);
  else
    snprintf(text, CAPTION_TEXT_SIZE, "%04u-%02u-%02u %02u:%02u:%02u.%03u", year, month, day,
             hour, minute, second, ms % 1000u);
}

// Writes every caption and the closing text: 0 or -3.
static int WriteCaptions(FILE* file, const SegmentCaptions* captions, int32_t rate) {
  // The caption writer times a caption by the video frames its AVI writer
  // has received and that writer's rate: a writer record that carries only
  // those and the caption file.
  AviWriter timing;
  memset(&timing, 0, sizeof timing);
  timing.captionFile = file;
  timing.rate = rate;
  AviStreamSpec stream;
  memset(&stream, 0, sizeof stream);
  stream.kind = AVI_STREAM_TEXT;
  stream.text.caption = 1;
  memcpy(stream.text.language, CAPTION_LANGUAGE, sizeof CAPTION_LANGUAGE);

  char text[CAPTION_TEXT_SIZE];
  for (int32_t i = 0; i < captions->count; i++) {
    FormatCaptionTime(captions->times[i], text);
    timing.videoFrames = i;
    if (SamiWriteCaption(&timing, &stream, text, (int32_t)strlen(text) + 1) != 0) return -3;
  }
  return SamiWriteClosing(file) == 0 ? 0 : -3;
}

int WriteSegmentCaptions(AppContext* context, SegmentCaptions* captions, const char* aviPath,
                         float rate, int32_t openRate) {
  if (!context->options.captions) return 0;
  char name[PATH_SIZE];  // what SamiOpen names the file
  SamiFileName(aviPath, name);
  int result = 0;
  FILE* file = nullptr;
  if (captions->incomplete) {
    result = -1;
  } else if (SamiOpen(CAPTION_LANGUAGE, aviPath, &file) != 0) {
    result = -2;
  } else {
    // The AVI writer takes the whole part of the rate, and keeps the rate it
    // was opened with for one below 1.
    int32_t streamRate = rate >= 1.0f ? (int32_t)rate : openRate;
    result = WriteCaptions(file, captions, streamRate);
    if (fclose(file) != 0 && result == 0) result = -3;
  }
  // No caption file at all rather than one that misses frames.
  if (result == -3 && name[0]) remove(name);
  if (result != 0) context->failedCaptions++;
  return result;
}

void ClearSegmentCaptions(SegmentCaptions* captions) {
  free(captions->times);
  captions->times = nullptr;
  captions->count = 0;
  captions->capacity = 0;
  captions->incomplete = 0;
}
