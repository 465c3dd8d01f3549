// What a recording file holds, gathered record by record during one walk:
// for each channel its frames, when they were recorded, in which codec types
// and picture sizes, and the gaps between them; for the file its header
// blocks, its other records and the places where its framing is damaged.
// The walk feeds the collector one record header (and, for a video record,
// the start of its payload) or one damaged place at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "recording/header_block.h"
#include "recording/record_stream.h"
#include "recording/record_walk.h"

enum {
  INFO_CHANNELS = 64,      // channels a header block can name
  INFO_KINDS = 16,         // record kinds
  INFO_CODEC_TYPES = 16,   // video codec types
  INFO_PREFIX_SIZE = 4,    // payload bytes a video record is described from
  INFO_GAP_MS = 2000       // default: a longer stretch without a frame is a gap
};

// A moment in milliseconds from midnight before 1 January of year 1
// (proleptic Gregorian calendar); a time of day past midnight carries into
// the next day. Frames before the first header block have no date: their
// moment is their time of day alone (day 0).
typedef int64_t InfoTime;

enum : int64_t { INFO_DAY_MS = 86400000 };

struct InfoSize {
  uint16_t width;
  uint16_t height;
  int64_t frames;
};

// No frame of the channel from `start` (the last frame before) to `end`
// (the first frame after).
struct InfoGap {
  InfoTime start;
  InfoTime end;
};

struct ChannelInfo {
  int named;            // some header block names the channel
  int64_t frames;       // video records (kinds 0 and 1)
  int64_t keyFrames;    // of them, kind 0
  int64_t undescribed;  // of them, no picture size could be derived
  int64_t codecFrames[INFO_CODEC_TYPES];
  std::vector<InfoSize> sizes;  // in order of first appearance
  InfoTime first;       // earliest and latest frame
  InfoTime last;
  InfoTime previous;    // the frame before, for the gaps
  int64_t gapMs;        // total length of the gaps
  std::vector<InfoGap> gaps;
};

// Where the walk lost the records (the offset it could not go on from) and
// how many bytes it passed over before it found them again (to the end of
// the file when it found none).
struct DamagedPlace {
  int64_t offset;
  int64_t skipped;
};

struct RecordingInfo {
  int64_t gapMs;
  int64_t fileSize;
  int64_t bytesWalked;         // where the walk ended
  int64_t headerBlocks;        // read successfully
  int64_t failedHeaderBlocks;  // could not be read
  int64_t emptyRecords;        // payload length 0
  int64_t kindRecords[INFO_KINDS];  // records of every kind, header blocks included
  int64_t strayFrames;         // video records of channels above 64
  int endKind;                 // kind that ended the walk, or -1
  ChannelInfo channels[INFO_CHANNELS];
  std::vector<DamagedPlace> damage;
  HeaderInfo latest;  // dates the frames that follow
  int dated;          // a header block has been read
};

void RecordingInfoInit(RecordingInfo* info, int64_t fileSize, int64_t gapMs);

// A header block: `block` as read, or null when it could not be read.
void InfoHeaderBlock(RecordingInfo* info, const HeaderInfo* block);
// Any other record. For a video record of kind 0 or 1, `prefix` holds the
// first `prefixSize` bytes of its payload (up to INFO_PREFIX_SIZE), from
// which the extended form's codec type and picture size are read.
void InfoRecord(RecordingInfo* info, const RecordHeader* header, const uint8_t* prefix,
                size_t prefixSize);
void InfoDamage(RecordingInfo* info, int64_t offset, int64_t skipped);
// The walk ended: at `at`, and at a record of kind `endKind` (-1: none).
void InfoEnd(RecordingInfo* info, int64_t at, int endKind);

// The walk ended as RecordWalkNext said (`ended`), after the record it gave
// at `at` (for an ending kind, that record).
void InfoWalkEnded(RecordingInfo* info, const RecordWalk* walk, int ended,
                   const RecordHeader* header, int64_t at);

// Average frames per second of a channel over its recorded time less its
// gaps; 0 with fewer than two frames.
double ChannelFrameRate(const ChannelInfo* channel);

// Walks the recording at the stream's start with the record walk that the
// export uses, and gathers what it holds. Returns 0, or -1 when *runFlag was
// cleared.
int ReadRecordingInfo(FILE* stream, RecordingInfo* info, const std::atomic<int32_t>* runFlag);

// "YYYY-MM-DD HH:MM:SS.mmm" (a date of 0000-00-00 when there is none) into
// text of at least INFO_TIME_SIZE bytes; returns text.
enum { INFO_TIME_SIZE = 96 };
char* FormatInfoTime(InfoTime time, char* text);
// The moment of a date and a time of day (hours past 23 carry on).
InfoTime MakeInfoTime(unsigned year, unsigned month, unsigned day, int64_t timeOfDayMs);
