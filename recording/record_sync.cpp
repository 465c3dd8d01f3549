// Telling records from garbage by how they follow one another, and finding
// the next place where they do.
#include "recording/record_sync.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

enum {
  DAY_MS = 24 * 60 * 60 * 1000,
  CHAIN_RECORDS = 4,  // records in a row that show the walk is in step
  CHAIN_BLOCKS = 8,   // header blocks in a row that show it as well
  CHAIN_STEPS = 16,   // records looked at before giving up,
  CHAIN_EMPTY = 1024, // and empty records passed
  RECORD_LARGEST = RECORD_HEADER_SIZE + 0x7FFFF,
  // A search reads the file in windows that hold a whole chain of the
  // largest records ahead of every offset it tries.
  CHAIN_SPAN = CHAIN_RECORDS * RECORD_LARGEST,
  WINDOW_SIZE = 2 * CHAIN_SPAN
};

int RecordTimeUnset(const RecordHeader* header) {
  return RecordKind(header) == RECORD_HEADER_BLOCK || RecordTimeOfDay(header) == 0 ||
         RecordPayloadLength(header) == 0;
}

int RecordTimesClose(uint32_t a, uint32_t b) {
  uint32_t apart = a > b ? a - b : b - a;
  // Times may run on past midnight, or start again from 0 there.
  return apart <= RECORD_TIME_WINDOW_MS ||
         (apart <= DAY_MS && DAY_MS - apart <= RECORD_TIME_WINDOW_MS);
}

void RecordReaderInit(RecordReader* reader, FILE* stream, int64_t fileLength) {
  memset(reader, 0, sizeof *reader);
  reader->stream = stream;
  reader->fileLength = fileLength;
}

void RecordReaderFree(RecordReader* reader) {
  free(reader->window);
  reader->window = nullptr;
  reader->windowSize = 0;
}

// `size` bytes at `at`, from the window when it holds them, else read alone;
// null when the file ends before them. Valid until the next call.
static const uint8_t* Fetch(RecordReader* reader, int64_t at, size_t size) {
  if (at < 0 || size > sizeof reader->scratch || at + (int64_t)size > reader->fileLength)
    return nullptr;
  if (reader->window && at >= reader->windowStart &&
      at + (int64_t)size <= reader->windowStart + (int64_t)reader->windowSize)
    return reader->window + (at - reader->windowStart);
  if (PlatformSeek(reader->stream, at, SEEK_SET) != 0) return nullptr;
  if (fread(reader->scratch, 1, size, reader->stream) != size) return nullptr;
  return reader->scratch;
}

// Where the walk goes on after the header block at `at`: behind its entries
// and extension when it is longer than its fixed part. Beyond the file's end
// when the file ends inside the block; -1 for a block no walk can read, or,
// when `strict`, one without a valid date or whose entries do not end where
// its payload does (a search takes no chances: garbage read as a block could
// carry it anywhere).
static int64_t HeaderBlockEnd(RecordReader* reader, int64_t at, uint32_t length, int strict) {
  int64_t payload = at + RECORD_HEADER_SIZE;
  uint8_t base[HEADER_BASE_SIZE] = {};
  size_t fixed = length < (uint32_t)HEADER_BASE_SIZE ? length : (size_t)HEADER_BASE_SIZE;
  const uint8_t* bytes = Fetch(reader, payload, fixed);
  if (!bytes) return strict ? -1 : reader->fileLength + 1;
  memcpy(base, bytes, fixed);
  if (strict && !HeaderBlockDated(base)) return -1;
  if (length <= HEADER_BASE_SIZE) return payload + length;
  unsigned version = HeaderBlockVersion(base);
  if (version == 0) return -1;
  int64_t end = payload + HEADER_BASE_SIZE + HeaderEntryBytes(base);
  if (version == 2) {
    const uint8_t* extension = Fetch(reader, end, HEADER_EXTENSION_SIZE);
    if (!extension) return strict ? -1 : reader->fileLength + 1;
    end += HEADER_EXTENSION_SIZE + HeaderEntryBytes(extension);
  }
  if (strict && end != payload + length) return -1;
  return end;
}

// Follows the records from `at`. 1 when CHAIN_RECORDS records follow one
// another with kinds a walk goes on with, or CHAIN_BLOCKS header blocks do.
// Untimed, any record counts, and a run of them that reaches the end of the
// file or a kind that ends a walk is enough. Timed, only records with a time
// count, each timed close to the one before (so a stretch of zeros, which
// reads as empty untimed records, is no place to start from); fewer of them
// end the chain in step at a kind that ends a walk timed as a neighbour, or
// where the file ends, when two are timed close to `near` (when known); at
// the end of the file one timed close to `near` is enough.
static int ChainHolds(RecordReader* reader, int64_t at, int timed, const uint32_t* near) {
  int records = 0, untimed = 0, empty = 0, blocks = 0, timeKnown = 0, firstNear = 0;
  uint32_t lastTime = 0;
  for (int steps = 0; steps < CHAIN_STEPS && empty < CHAIN_EMPTY; steps++) {
    // Empty records count for nothing: zeros read as a run of them.
    if (blocks >= CHAIN_BLOCKS || records + (timed ? 0 : untimed) >= CHAIN_RECORDS) return 1;
    int enough = timed ? records >= 2 && (!near || firstNear) : records + untimed + blocks > 0;
    int endsHere = enough || (timed && records == 1 && firstNear);
    if (at == reader->fileLength) return endsHere;
    const uint8_t* bytes = Fetch(reader, at, RECORD_HEADER_SIZE);
    // The file ends inside a record: records cut short, or a garbage length.
    if (!bytes) return !timed && enough;
    RecordHeader header;
    memcpy(header.bytes, bytes, RECORD_HEADER_SIZE);
    uint32_t length = RecordPayloadLength(&header);
    uint32_t time = RecordTimeOfDay(&header);
    int unset = RecordTimeUnset(&header);
    if (RecordKind(&header) > RECORD_LAST_EXPORT_KIND)
      return enough && (!timed || time == 0 || !timeKnown || RecordTimesClose(lastTime, time));
    // Timed, nothing may come between the first two timed records but a
    // header block, and that only when the first is timed close to `near`:
    // garbage whose length points at a block, or into zeros before records,
    // would pass for a record.
    int between = timed && records == 1;
    if (RecordKind(&header) == RECORD_HEADER_BLOCK && length > 0) {
      if (between && !firstNear) return 0;
      at = HeaderBlockEnd(reader, at, length, timed);
      if (at < 0) return 0;
      blocks++;
      // A header block dates what follows anew: times before it do not count.
      timeKnown = 0;
      if (records == 0) near = nullptr;
      continue;
    }
    if (unset) {
      // A search starts at a timed record or a dated header block, never at
      // a run of zeros that happens to lead to one.
      if (timed && records + blocks == 0) return 0;
      if (between) return 0;
      // Empty records cost nothing to pass.
      if (length == 0) {
        empty++;
        steps--;
      } else {
        untimed++;
      }
    } else {
      if (timed && timeKnown && !RecordTimesClose(lastTime, time)) return 0;
      if (records == 0) firstNear = near && RecordTimesClose(*near, time);
      lastTime = time;
      timeKnown = 1;
      records++;
    }
    at += RECORD_HEADER_SIZE + length;
  }
  return 0;
}

int RecordsFollow(RecordReader* reader, int64_t at, int timed, const uint32_t* near) {
  return ChainHolds(reader, at, timed, near);
}

int64_t FindRecords(RecordReader* reader, int64_t from, int64_t limit, const uint32_t* near) {
  if (!reader->window) {
    reader->window = (uint8_t*)malloc(WINDOW_SIZE);
    if (!reader->window) return -2;
    reader->windowSize = 0;
  }
  if (limit > reader->fileLength) limit = reader->fileLength;
  for (int64_t at = from < 0 ? 0 : from; at < limit; at++) {
    int64_t windowEnd = reader->windowStart + (int64_t)reader->windowSize;
    // Keep a whole chain ahead of `at` in the window.
    if (at < reader->windowStart || (at + CHAIN_SPAN > windowEnd && windowEnd < reader->fileLength)) {
      int64_t wanted = reader->fileLength - at;
      if (wanted > (int64_t)WINDOW_SIZE) wanted = WINDOW_SIZE;
      reader->windowStart = at;
      reader->windowSize = 0;
      if (PlatformSeek(reader->stream, at, SEEK_SET) == 0)
        reader->windowSize = fread(reader->window, 1, (size_t)wanted, reader->stream);
      // A file that cannot be read on is searched no further.
      if ((int64_t)reader->windowSize < wanted) return -1;
    }
    if (ChainHolds(reader, at, 1, near)) return at;
  }
  return -1;
}

void KnownTimesNote(KnownTimes* times, const RecordHeader* header) {
  if (RecordTimeUnset(header)) return;
  uint32_t time = RecordTimeOfDay(header);
  unsigned channel = RecordChannel(header);
  times->channelMs[channel] = time;
  times->channelKnown[channel] = 1;
  times->lastMs = time;
  times->lastKnown = 1;
}

int KnownTimesFit(const KnownTimes* times, const RecordHeader* header) {
  uint32_t time = RecordTimeOfDay(header);
  unsigned channel = RecordChannel(header);
  if (times->channelKnown[channel] && RecordTimesClose(times->channelMs[channel], time)) return 1;
  if (times->lastKnown && RecordTimesClose(times->lastMs, time)) return 1;
  return times->channelKnown[channel] || times->lastKnown ? 0 : -1;
}

enum {
  FOLLOW_TIMED = 3,      // records timed close to a time met before them,
  FOLLOW_FRAMED = 16,    // or records with kinds a walk goes on with,
  FOLLOW_BLOCKS = 2,     // or sound header blocks, that show records follow
  FOLLOW_STEPS = 24,     // records looked at before giving up
  // Empty records passed: zeros read as a run of them, and a record read in
  // the bytes of a payload often leads into the zeros that pad a frame and
  // through them, one time in ten, to records again.
  FOLLOW_EMPTY = 8,
  FOLLOW_EMPTY_AFTER_END = 1024
};

// The bytes of a payload read as records have a random kind (more than a
// third of them end a walk, and a header block among them is unsound) and a
// random time: a run of them rarely passes for records.
int RecordsFollowOn(RecordReader* reader, int64_t at, const KnownTimes* times, int afterEnd) {
  uint32_t chainMs[FOLLOW_STEPS];
  int chainTimes = 0, timed = 0, framed = 0, blocks = 0, empty = 0;
  for (int steps = 0; steps < FOLLOW_STEPS;) {
    if (timed >= FOLLOW_TIMED || framed >= FOLLOW_FRAMED || blocks >= FOLLOW_BLOCKS) return 1;
    if (at == reader->fileLength) return 1;
    const uint8_t* bytes = Fetch(reader, at, RECORD_HEADER_SIZE);
    // The file ends inside a header, or a length ran past it.
    if (!bytes) return 0;
    RecordHeader header;
    memcpy(header.bytes, bytes, RECORD_HEADER_SIZE);
    uint32_t length = RecordPayloadLength(&header);
    if (length == 0) {
      if (++empty > (afterEnd ? FOLLOW_EMPTY_AFTER_END : FOLLOW_EMPTY)) return 0;
      at += RECORD_HEADER_SIZE;
      continue;
    }
    steps++;
    unsigned kind = RecordKind(&header);
    if (kind == RECORD_HEADER_BLOCK) {
      at = HeaderBlockEnd(reader, at, length, 1);
      if (at < 0) return 0;
      blocks++;
      framed++;
      continue;
    }
    if (kind <= RECORD_LAST_EXPORT_KIND)
      framed++;
    else if (afterEnd)
      return 0;
    if (!RecordTimeUnset(&header)) {
      uint32_t time = RecordTimeOfDay(&header);
      int fit = KnownTimesFit(times, &header);
      int close = fit == 1;
      for (int i = 0; i < chainTimes && !close; i++) close = RecordTimesClose(chainMs[i], time);
      if (close)
        timed++;
      else if (afterEnd && chainTimes == 0 && fit == 0)
        return 0;
      chainMs[chainTimes++] = time;
    }
    at += RECORD_HEADER_SIZE + length;
  }
  return 0;
}
