// One walk over the records, with the judgement of what is damage: a record
// is taken when it is where the last one ended and is timed close to the
// times met so far, untimed, or followed by records; a record of a kind
// above 8 ends the walk when records follow it or the file ends after it.
// Anything else puts the walk out of step, and a search finds the records
// again.
#include "recording/record_walk.h"

#include <cstring>

#include "platform/platform.h"
#include "recording/packed_time.h"

// Bytes searched for records between two looks at the run flag.
enum { SEARCH_STRETCH = 16 << 20 };

// How a record read in step is judged.
enum { RECORD_TIMED_CLOSE, RECORD_TAKEN, RECORD_ENDS_WALK, RECORD_OUT_OF_STEP };

void RecordWalkInit(RecordWalk* walk, FILE* stream, int64_t fileLength) {
  memset(walk, 0, sizeof *walk);
  walk->stream = stream;
  RecordReaderInit(&walk->reader, stream, fileLength < 0 ? 0 : fileLength);
  walk->state = WALK_IN_STEP;
  walk->at = -1;
  walk->goodAt = -1;
}

void RecordWalkFree(RecordWalk* walk) { RecordReaderFree(&walk->reader); }

static int Cancelled(const RecordWalk* walk) { return walk->runFlag && walk->runFlag->load() == 0; }

static void Progress(RecordWalk* walk, int64_t position) {
  if (position > walk->reader.fileLength) position = walk->reader.fileLength;
  if (position <= walk->progress) return;
  walk->progress = position;
  if (walk->onProgress) walk->onProgress(walk->user, position);
}

static void KnownGood(RecordWalk* walk, int64_t at, const RecordHeader* header) {
  if (walk->searchFrom < at + 1) walk->searchFrom = at + 1;
  walk->goodAt = at;
  walk->goodTimeKnown = !RecordTimeUnset(header);
  walk->goodTimeMs = RecordTimeOfDay(header);
}

static void Damaged(RecordWalk* walk, int64_t resumeAt) {
  int64_t bytes = resumeAt > walk->lostAt ? resumeAt - walk->lostAt : 0;
  walk->damagedPlaces++;
  walk->damagedBytes += bytes;
  if (walk->onDamage) walk->onDamage(walk->user, walk->lostAt, bytes);
}

// Searches for the records again from where a search may begin: a record
// cut short or a header block with damaged counts may have carried the walk
// past them. 1 with the stream at the records found; 0 when none follow (the
// damage runs to the end of the file); RECORD_WALK_CANCELLED.
static int FindStepAgain(RecordWalk* walk) {
  if (walk->beforeSearch) walk->beforeSearch(walk->user);
  int64_t length = walk->reader.fileLength;
  for (int64_t from = walk->searchFrom; from < length; from += SEARCH_STRETCH) {
    if (Cancelled(walk)) {
      Damaged(walk, from);
      return RECORD_WALK_CANCELLED;
    }
    int64_t found = FindRecords(&walk->reader, from, from + SEARCH_STRETCH,
                                walk->goodTimeKnown ? &walk->goodTimeMs : nullptr);
    if (found == -2) break;  // no memory to search with
    if (found >= 0) {
      Damaged(walk, found);
      walk->searchFrom = found + 1;
      walk->goodTimeKnown = 0;
      walk->state = WALK_FOUND;
      return PlatformSeek(walk->stream, found, SEEK_SET) == 0;
    }
    Progress(walk, from + SEARCH_STRETCH);
  }
  Damaged(walk, length);
  return 0;
}

// Judges the header just read at `at`; leaves the stream after it.
static int JudgeRecord(RecordWalk* walk, int64_t at, const RecordHeader* header) {
  int judgement;
  if (RecordKind(header) > RECORD_LAST_EXPORT_KIND) {
    // Ends the walk unless what follows shows the framing broken here.
    int64_t next = at + RECORD_HEADER_SIZE + RecordPayloadLength(header);
    judgement = RecordsFollowOn(&walk->reader, next, &walk->times, 1) ? RECORD_ENDS_WALK
                                                                    : RECORD_OUT_OF_STEP;
  } else if (walk->state == WALK_FOUND) {
    return RECORD_TAKEN;
  } else if (walk->state == WALK_IN_STEP && RecordTimeUnset(header)) {
    return RECORD_TAKEN;
  } else {
    int fit = walk->state == WALK_IN_STEP ? KnownTimesFit(&walk->times, header) : 0;
    if (fit == 1) return RECORD_TIMED_CLOSE;
    if (fit == -1) return RECORD_TAKEN;
    // Timed far from every time met, or read where a header block that
    // could not be read left the stream: a record when records follow it.
    judgement = RecordsFollowOn(&walk->reader, at, &walk->times, 0) ? RECORD_TAKEN
                                                                  : RECORD_OUT_OF_STEP;
  }
  if (PlatformSeek(walk->stream, at + RECORD_HEADER_SIZE, SEEK_SET) != 0) return RECORD_ENDS_WALK;
  return judgement;
}

static void Lose(RecordWalk* walk, int64_t at) {
  walk->state = WALK_LOST;
  walk->lostAt = at;
}

int RecordWalkNext(RecordWalk* walk, RecordHeader* header, int64_t* offset) {
  for (;;) {
    if (Cancelled(walk)) return RECORD_WALK_CANCELLED;
    if (walk->state == WALK_LOST) {
      int found = FindStepAgain(walk);
      if (found != 1) return found == RECORD_WALK_CANCELLED ? found : RECORD_WALK_END;
    }
    int64_t at = PlatformTell(walk->stream);
    if (!ReadRecordHeader(walk->stream, header)) {
      if (walk->end == walk->reader.fileLength) return RECORD_WALK_END;
      // The last record promised more than the file holds: it was garbage,
      // or its length was.
      Lose(walk, at >= 0 && at < walk->reader.fileLength ? at : walk->at);
      continue;
    }
    int judgement = JudgeRecord(walk, at, header);
    if (judgement == RECORD_OUT_OF_STEP) {
      Lose(walk, at);
      continue;
    }
    *offset = at;
    if (judgement == RECORD_ENDS_WALK) return RECORD_WALK_ENDING_KIND;
    walk->header = *header;
    walk->at = at;
    walk->end = at + RECORD_HEADER_SIZE + RecordPayloadLength(header);
    if (judgement == RECORD_TIMED_CLOSE || walk->state == WALK_FOUND) KnownGood(walk, at, header);
    walk->state = WALK_IN_STEP;
    KnownTimesNote(&walk->times, header);
    return RECORD_WALK_RECORD;
  }
}

int RecordWalkSkip(RecordWalk* walk) {
  return SkipRecordPayload(walk->stream, RecordPayloadLength(&walk->header));
}

void RecordWalkHeaderBlock(RecordWalk* walk, const HeaderInfo* read) {
  int64_t position = PlatformTell(walk->stream);
  walk->end = position;
  if (!read) {
    walk->state = WALK_AFTER_BAD_BLOCK;
    return;
  }
  // Times of day on another day do not compare with those before.
  int32_t day = DayNumber(read->blockTime);
  if (day != walk->day) memset(&walk->times, 0, sizeof walk->times);
  walk->day = day;
  KnownGood(walk, walk->at, &walk->header);
  Progress(walk, position);
}

void RecordWalkFrameTaken(RecordWalk* walk) { KnownGood(walk, walk->at, &walk->header); }

void RecordWalkTakenAt(RecordWalk* walk, int64_t at, const RecordHeader* header) {
  if (at > walk->goodAt) KnownGood(walk, at, header);
}
