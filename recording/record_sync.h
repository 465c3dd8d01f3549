// Finding the records of a damaged recording file again. The file has no
// marks between records: a walk that has read garbage as a header moves on by
// a garbage length and stays out of step. What tells records from garbage is
// that records follow one another: each one begins where the one before ends,
// has a kind a walk goes on with, and is timed close to the one before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "recording/header_block.h"
#include "recording/record_stream.h"

// Records further apart in time than this are not taken as neighbours.
enum { RECORD_TIME_WINDOW_MS = 5 * 60 * 1000 };

// A record without a time of its own: a header block, a time of 0, or an
// empty record (zeros read as a run of them).
int RecordTimeUnset(const RecordHeader* header);

// Whether two times of day lie within the window, across midnight too.
int RecordTimesClose(uint32_t a, uint32_t b);

// Reads ahead in the stream, which it leaves anywhere: the walk seeks back.
struct RecordReader {
  FILE* stream;
  int64_t fileLength;
  uint8_t* window;  // a stretch of the file, allocated by the first search
  int64_t windowStart;
  size_t windowSize;
  uint8_t scratch[HEADER_BASE_SIZE];  // a header or a block's fixed part read alone
};

void RecordReaderInit(RecordReader* reader, FILE* stream, int64_t fileLength);
void RecordReaderFree(RecordReader* reader);

// 1 when the records from `at` on follow one another as far as their kinds
// and lengths tell and, when `timed`, are timed close together (untimed, as
// a recording may have gaps), or run in step to the end of the file; else 0.
// `near`, when timed: the time the walk knew, or null (see FindRecords).
int RecordsFollow(RecordReader* reader, int64_t at, int timed, const uint32_t* near);

// The first offset in [from, limit) where several records in a row follow one
// another and are timed close together; near the end of the file, where too
// few records are left for that, records timed close to `near` (the last
// time the walk knew, or null). -1 when there is none, -2 when the memory to
// search with cannot be had.
int64_t FindRecords(RecordReader* reader, int64_t from, int64_t limit, const uint32_t* near);

// The times of day a walk has met: the last of each channel and the last of
// all. Channels recorded hours apart each keep their own.
enum { KNOWN_TIME_CHANNELS = 128 };
struct KnownTimes {
  uint32_t channelMs[KNOWN_TIME_CHANNELS];
  uint8_t channelKnown[KNOWN_TIME_CHANNELS];
  uint32_t lastMs;
  int lastKnown;
};

// Notes the time of a record that has one.
void KnownTimesNote(KnownTimes* times, const RecordHeader* header);
// 1 when the record is timed close to the last time of its channel or of the
// walk, 0 when it is timed far from those known, -1 when none is known.
int KnownTimesFit(const KnownTimes* times, const RecordHeader* header);

// Whether the records from `at` on follow one another as a recording's do:
// 1 when they run in step to the end of the file, or when several in a row
// are timed close to the times known or to one another, or when many in a
// row follow with kinds a walk goes on with and sound header blocks; 0 when
// a length runs past the file, a header block is unsound, or the records
// look like the bytes of a payload. The first timed record may be timed far
// from everything known (the recorder was off); a few empty records are
// passed.
// With `afterEnd` (the records after one of a kind that ends a walk) the
// first timed record must be timed close to those known, no kind that ends
// a walk may come, and a long run of empty records is passed.
int RecordsFollowOn(RecordReader* reader, int64_t at, const KnownTimes* times, int afterEnd);
