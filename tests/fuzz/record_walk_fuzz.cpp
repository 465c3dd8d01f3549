// Walks arbitrary bytes as a recording file with the record walk of the
// export run, reading every header block and frame: the walk may search back
// after damage, but never hands out a frame twice, so it ends by itself. Then
// searches the bytes for records as a walk that lost its step does.
#include "recording/header_block.h"
#include "recording/record_walk.h"
#include "tests/fuzz/fuzz_support.h"

// A frame as the exporter takes it: the whole payload read into a buffer of
// exactly its length (so that the address sanitizer sees a read beyond it),
// then described. Returns 0, or -1 at the end of the data.
static int ConsumeFrame(FILE* stream, const RecordHeader* header, Bytes* buffer) {
  uint32_t length = RecordPayloadLength(header);
  buffer->resize(length);
  if (fread(buffer->data(), 1, length, stream) != length) return -1;
  FrameInfo frame = {};
  DecodeFrameInfo(&frame, header);
  Check(frame.length == length, "frame length");
  if (DeriveVideoFormat(&frame, header, buffer->data()) == 1)
    Check(frame.payload >= buffer->data() && frame.payload + frame.length == buffer->data() + length,
          "frame data outside the payload");
  return 0;
}

static void Walk(FILE* stream, size_t size) {
  Bytes buffer;
  HeaderInfo info = {};
  RecordWalk walk;
  RecordWalkInit(&walk, stream, (int64_t)size);
  int64_t lastProgress = 0, lastFrame = -1, at;
  walk.user = &lastProgress;
  walk.onProgress = [](void* user, int64_t position) {
    Check(position > *(int64_t*)user, "progress went back");
    *(int64_t*)user = position;
  };
  RecordHeader header;
  size_t records = 0;
  int result;
  while ((result = RecordWalkNext(&walk, &header, &at)) == RECORD_WALK_RECORD) {
    // Between two searches the walk goes forward, a record at a time.
    Check(++records <= (size / RECORD_HEADER_SIZE + 1) * (size_t)(walk.damagedPlaces + 1), "walk does not end");
    Check(at >= 0 && at + RECORD_HEADER_SIZE <= (int64_t)size, "record outside the file");
    unsigned kind = RecordKind(&header);
    Check(kind <= RECORD_LAST_EXPORT_KIND, "an ending kind handed out");
    if (RecordPayloadLength(&header) == 0) continue;
    if (kind == RECORD_HEADER_BLOCK) {
      HeaderInfo previous = info;
      int code = ReadHeaderBlock(stream, &header, &info);
      Check(code >= -5 && code <= 0, "header block code");
      Check(code == 0 || !memcmp(&previous, &info, sizeof info), "failed block changed its info");
      Check(code < 0 || info.version == 2 || (info.channels >> 32) == 0, "extension channels");
      Check(code < 0 || (PackedYear(info.blockTime) > 1000 && PackedYear(info.blockTime) < 3000), "year");
      RecordWalkHeaderBlock(&walk, code == 0 ? &info : nullptr);
    } else if (kind <= RECORD_MEDIA || kind == RECORD_VIDEO_6 || kind == RECORD_VIDEO_7) {
      if (ConsumeFrame(stream, &header, &buffer) < 0) continue;
      Check(at > lastFrame, "a frame taken twice");
      lastFrame = at;
      RecordWalkFrameTaken(&walk);
    } else if (RecordWalkSkip(&walk) < 0) {
      result = RECORD_WALK_END;  // a memory stream cannot seek past its end; a file would
      break;
    }
  }
  Check(result == RECORD_WALK_END || result == RECORD_WALK_ENDING_KIND, "walk result");
  RecordWalkFree(&walk);
}

// Searches from start to end, as a walk out of step does: each place found
// lies further on, and records follow from it.
static void Search(FILE* stream, size_t size) {
  RecordReader reader;
  RecordReaderInit(&reader, stream, (int64_t)size);
  uint32_t near = (uint32_t)size * 1000;  // some time of day the walk may have known
  for (int64_t found = -1, searches = 0;; searches++) {
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
  if (!freopen("/dev/null", "w", stdout)) perror("stdout");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Bytes bytes(data, data + size);
  for (void (*run)(FILE*, size_t) : {Walk, Search}) {
    FILE* stream = fmemopen(bytes.data(), size, "rb");
    Check(stream, "no memory stream");
    run(stream, size);
    fclose(stream);
  }
  return 0;
}
