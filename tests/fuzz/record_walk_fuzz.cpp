// Walks arbitrary bytes as a recording file, once with the record walk of the
// export run and once by the channel scan's rules, decoding every header
// block and frame. The scan's every record must move the stream forward; the
// record walk may search back after damage, but never hands out a frame
// twice, so both walks end by themselves. Then searches the bytes for
// records as a walk that lost its step does.
#include "platform/platform.h"
#include "recording/header_block.h"
#include "recording/packed_time.h"
#include "recording/record_stream.h"
#include "recording/record_sync.h"
#include "recording/record_walk.h"
#include "tests/fuzz/fuzz_support.h"

static void CheckTime(PackedTime time) {
  char text[FORMAT_TIME_SIZE + 1];
  text[FORMAT_TIME_SIZE] = 'x';
  FormatTime(time, text);
  Check(strlen(text) < FORMAT_TIME_SIZE && text[FORMAT_TIME_SIZE] == 'x', "time text too long");
  DayNumber(time);
  TimeToSeconds(time);
}

// A frame as the exporter takes it: the whole payload read into a buffer of
// exactly its length, then described. Returns 0, or -1 at the end of the data.
static int ConsumeFrame(FILE* stream, const RecordHeader* header, std::vector<uint8_t>* buffer) {
  uint32_t length = RecordPayloadLength(header);
  buffer->resize(length);
  if (fread(buffer->data(), 1, length, stream) != length) return -1;
  // The exact-length buffer lets the address sanitizer see a read beyond it.
  FrameInfo frame;
  memset(&frame, 0, sizeof frame);
  DecodeFrameInfo(&frame, header);
  Check(frame.length == length, "frame length");
  if (DeriveVideoFormat(&frame, header, buffer->data()) == 1) {
    const uint8_t* begin = buffer->data();
    Check(frame.payload >= begin && frame.payload + frame.length == begin + length,
          "frame data outside the payload");
  }
  return 0;
}

static void CheckBlock(int code, const HeaderInfo& previous, const HeaderInfo& info) {
  Check(code >= -5 && code <= 0, "header block code");
  if (code < 0) {
    Check(memcmp(&previous, &info, sizeof info) == 0, "failed block changed its info");
    return;
  }
  CheckTime(info.blockTime);
  Check(info.version == 2 || (info.channels >> 32) == 0, "extension channels");
  Check(PackedYear(info.blockTime) > 1000 && PackedYear(info.blockTime) < 3000, "year");
}

// The export run's walk: frames of every channel are taken.
static void WalkForExport(FILE* stream, size_t size) {
  std::vector<uint8_t> buffer;
  HeaderInfo info;
  memset(&info, 0, sizeof info);
  RecordWalk walk;
  RecordWalkInit(&walk, stream, (int64_t)size);
  int64_t lastProgress = 0, lastFrame = -1;
  walk.user = &lastProgress;
  walk.onProgress = [](void* user, int64_t position) {
    int64_t* last = (int64_t*)user;
    Check(position > *last, "progress went back");
    *last = position;
  };
  RecordHeader header;
  int64_t at;
  size_t records = 0;
  int result;
  while ((result = RecordWalkNext(&walk, &header, &at)) == RECORD_WALK_RECORD) {
    // Between two searches the walk goes forward, a record at a time.
    Check(++records <= (size / RECORD_HEADER_SIZE + 1) * (size_t)(walk.damagedPlaces + 1),
          "walk does not end");
    Check(at >= 0 && at + RECORD_HEADER_SIZE <= (int64_t)size, "record outside the file");
    unsigned kind = RecordKind(&header);
    Check(kind <= RECORD_LAST_EXPORT_KIND, "an ending kind handed out");
    if (RecordPayloadLength(&header) == 0) continue;
    if (kind == RECORD_HEADER_BLOCK) {
      HeaderInfo previous = info;
      int code = ReadHeaderBlock(stream, &header, &info);
      CheckBlock(code, previous, info);
      RecordWalkHeaderBlock(&walk, code == 0 ? &info : nullptr);
    } else if (kind == RECORD_KEY_FRAME || kind == RECORD_FRAME || kind == RECORD_MEDIA ||
               kind == RECORD_VIDEO_6 || kind == RECORD_VIDEO_7) {
      if (ConsumeFrame(stream, &header, &buffer) < 0) continue;
      Check(at > lastFrame, "a frame taken twice");
      lastFrame = at;
      RecordWalkFrameTaken(&walk);
    } else if (RecordWalkSkip(&walk) < 0) {
      // A memory stream cannot seek past its end; a file would, and its
      // next read would end the walk or start a search.
      result = RECORD_WALK_END;
      break;
    }
  }
  Check(result == RECORD_WALK_END || result == RECORD_WALK_ENDING_KIND, "walk result");
  RecordWalkFree(&walk);
}

// The channel scan's rules: header blocks give the distance to skip.
static void WalkForScan(FILE* stream, size_t size) {
  HeaderInfo info;
  memset(&info, 0, sizeof info);
  bool headerSeen = false;
  RecordHeader header;
  size_t records = 0;
  int64_t before = PlatformTell(stream);

  while (ReadRecordHeader(stream, &header)) {
    // Every record starts with a 10-byte read, so there are never more
    // records than that; more would mean the walk went back.
    Check(++records <= size / RECORD_HEADER_SIZE, "walk does not end");
    unsigned kind = RecordKind(&header);
    uint32_t length = RecordPayloadLength(&header);
    if (length == 0) {
      // complete after its header
    } else if (kind == RECORD_HEADER_BLOCK) {
      HeaderInfo previous = info;
      int code = ReadHeaderBlock(stream, &header, &info);
      CheckBlock(code, previous, info);
      if (code < 0) break;
      headerSeen = true;
    } else {
      uint32_t distance = headerSeen ? info.skipLength : length;
      // A memory stream cannot seek past its end; a file would, and its next
      // read would end the walk.
      if (SkipRecordPayload(stream, distance) < 0) break;
    }

    int64_t after = PlatformTell(stream);
    Check(after > before, "record did not move the stream forward");
    before = after;
  }
}

// Searches the bytes for records from start to end, as a walk out of step
// does: each place found lies further on, and records follow from it.
static void Search(FILE* stream, size_t size) {
  RecordReader reader;
  RecordReaderInit(&reader, stream, (int64_t)size);
  uint32_t near = (uint32_t)size * 1000;  // some time of day the walk may have known
  int64_t found = -1;
  for (int searches = 0;; searches++) {
    int64_t next = FindRecords(&reader, found + 1, (int64_t)size, searches % 2 ? &near : nullptr);
    Check(next == -1 || (next > found && next < (int64_t)size), "search went back");
    if (next < 0) break;
    Check(RecordsFollow(&reader, next, 0, nullptr) == 1, "records do not follow where they were found");
    found = next;
  }
  RecordReaderFree(&reader);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The header block reader's diagnostics would flood the fuzzer's output.
  if (!freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  for (int scan = 0; scan < 2; scan++) {
    FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
    Check(stream, "no memory stream");
    if (scan)
      WalkForScan(stream, size);
    else
      WalkForExport(stream, size);
    fclose(stream);
  }
  FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
  Check(stream, "no memory stream");
  Search(stream, size);
  fclose(stream);
  return 0;
}
