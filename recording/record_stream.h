// Records of a recording file: the 10-byte record header, the frame
// description derived from it, and the two steps every walker shares.
#pragma once

#include <cstdint>
#include <cstdio>

enum { RECORD_HEADER_SIZE = 10 };

// Kinds of record (bits 2-5 of byte 8).
enum {
  RECORD_KEY_FRAME = 0,
  RECORD_FRAME = 1,
  RECORD_MEDIA = 2,
  RECORD_HEADER_BLOCK = 4,
  RECORD_VIDEO_6 = 6,
  RECORD_VIDEO_7 = 7,
  RECORD_LAST_EXPORT_KIND = 8  // the export walk ends at any kind above this
};

// Format code 3 marks the extended form (a 4-byte prefix word in the payload).
enum { RECORD_FORMAT_EXTENDED = 3 };

// The header exactly as stored; read its fields with the functions below.
struct RecordHeader {
  uint8_t bytes[RECORD_HEADER_SIZE];
};

uint32_t RecordPayloadLength(const RecordHeader* header);  // 0 to 524,287
uint32_t RecordTimeOfDay(const RecordHeader* header);      // milliseconds
unsigned RecordFormatCode(const RecordHeader* header);     // 0-3
unsigned RecordKind(const RecordHeader* header);           // 0-15
unsigned RecordSizeCode(const RecordHeader* header);       // 0-3
unsigned RecordChannel(const RecordHeader* header);        // 0-127

// Decoded description of one media record. `payload` points into the
// caller's payload buffer and owns nothing.
struct FrameInfo {
  uint8_t kind;
  uint8_t channel;
  uint8_t codecType;
  uint32_t length;
  uint32_t timeMs;
  const uint8_t* payload;
  uint16_t width;
  uint16_t height;
  uint8_t codecMode;
  uint16_t year;
  uint8_t month;
  uint8_t day;
};

void DecodeFrameInfo(FrameInfo* frame, const RecordHeader* header);
// payload: the whole payload as read (at least 4 bytes in the extended form).
// Returns 1 when the frame is complete, 0 for a plain video record of size code 0.
int DeriveVideoFormat(FrameInfo* frame, const RecordHeader* header, const uint8_t* payload);

// The walk's reading step: returns 1 when a whole header was read, 0 when the
// walk stops (end-of-file indicator already set, or fewer than 10 bytes).
int ReadRecordHeader(FILE* stream, RecordHeader* header);

// The walk's skipping step: a relative seek forward by `distance` bytes, taken
// as an unsigned count so that a damaged length can never move the walk
// backwards. Returns 0, or -1 when the seek failed.
int SkipRecordPayload(FILE* stream, uint32_t distance);
