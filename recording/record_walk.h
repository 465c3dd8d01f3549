// The walk over the records of a recording file, for the export run and any
// reader that counts what a recording holds: it hands out one record after another, ends at the end of
// the file or at a record of a kind above 8, and where damage has put it out
// of step with the records it finds them again, counting each damaged place
// and the bytes passed over there.
//
// The caller handles each record it is given and leaves the stream at the
// record's end: it reads the payload, or skips it with RecordWalkSkip, and
// tells the walk of header blocks it read (RecordWalkHeaderBlock) and frames
// it took (RecordWalkFrameTaken).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "recording/header_block.h"
#include "recording/record_stream.h"
#include "recording/record_sync.h"

// What RecordWalkNext gives.
enum {
  RECORD_WALK_RECORD = 1,        // a record to handle
  RECORD_WALK_END = 0,           // the file has ended
  RECORD_WALK_ENDING_KIND = -1,  // a record of a kind above 8 ends the walk
  RECORD_WALK_CANCELLED = -2     // the run flag was cleared
};

// Where the walk stands before the next record.
enum RecordWalkState {
  WALK_IN_STEP,         // at the end of the record handed out last
  WALK_FOUND,           // at records a search has found
  WALK_AFTER_BAD_BLOCK, // wherever a header block that could not be read left it
  WALK_LOST             // out of step: records must be searched for
};

struct RecordWalk {
  FILE* stream;
  RecordReader reader;  // looks ahead and searches; holds the file length
  RecordWalkState state;
  RecordHeader header;  // the record handed out last,
  int64_t at;           // where it begins
  int64_t end;          // and where it ends (the file length: the walk is done)
  KnownTimes times;     // the times of the records handed out since
  int32_t day;          // the day of the last header block read (0: none)
  // A search begins after the last record known good (timed close to the
  // one before, a header block read, a frame taken, or records found), so
  // that no frame is handed out twice; its time guides the search.
  int64_t searchFrom;
  int64_t goodAt;  // where the latest record known good begins
  uint32_t goodTimeMs;
  int goodTimeKnown;
  int64_t lostAt;  // where the walk lost step
  int64_t progress;  // the furthest position reported
  int damagedPlaces;
  int64_t damagedBytes;
  // Set by the caller after RecordWalkInit; each may be null.
  const std::atomic<int32_t>* runFlag;  // tested before each record
  void* user;
  void (*onProgress)(void* user, int64_t position);  // never goes back
  void (*onDamage)(void* user, int64_t offset, int64_t bytes);
  // Before a search, so that frames taken on other threads can be told of
  // (RecordWalkTakenAt).
  void (*beforeSearch)(void* user);
};

void RecordWalkInit(RecordWalk* walk, FILE* stream, int64_t fileLength);
void RecordWalkFree(RecordWalk* walk);

// The next record to handle: fills header and offset and returns
// RECORD_WALK_RECORD, or returns how the walk ended (for an ending kind,
// header and offset are that record's).
int RecordWalkNext(RecordWalk* walk, RecordHeader* header, int64_t* offset);

// Skips the payload of the record handed out last. Returns 0, or -1 when
// the seek failed.
int RecordWalkSkip(RecordWalk* walk);

// The record handed out last was a header block: `read` is the info that
// ReadHeaderBlock filled, or null when the block could not be read.
void RecordWalkHeaderBlock(RecordWalk* walk, const HeaderInfo* read);

// The record handed out last was taken as a frame.
void RecordWalkFrameTaken(RecordWalk* walk);
// A record handed out earlier, at `at`, was taken as a frame (by another
// thread). Between two searches the walk only moves forwards: of the records
// known good, the one that begins furthest in the file guides the next search.
void RecordWalkTakenAt(RecordWalk* walk, int64_t at, const RecordHeader* header);
