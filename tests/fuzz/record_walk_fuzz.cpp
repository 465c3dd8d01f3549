// Arbitrary bytes walked as the export run does, reading every header block and frame:
// the walk may search back after damage, but never hands out a frame twice, so it ends.
#include "recording/record_walk.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!freopen("/dev/null", "w", stdout)) perror("stdout");  // the header block reader's diagnostics
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes bytes(data, data + size), payload;
  FILE* stream = size ? fmemopen(bytes.data(), size, "rb") : nullptr;
  if (!stream) return 0;
  RecordWalk walk;
  RecordWalkInit(&walk, stream, (int64_t)size);
  int64_t lastProgress = 0, lastFrame = -1, at;
  walk.user = &lastProgress;
  walk.onProgress = [](void* user, int64_t position) {
    Check(position > *(int64_t*)user, "progress went back");
    *(int64_t*)user = position;
  };
  HeaderInfo info = {};
  RecordHeader header;
  int result;
  while ((result = RecordWalkNext(&walk, &header, &at)) == RECORD_WALK_RECORD) {
    const unsigned kind = RecordKind(&header), length = RecordPayloadLength(&header);
    Check(at >= 0 && at + RECORD_HEADER_SIZE <= (int64_t)size && kind <= RECORD_LAST_EXPORT_KIND, "record handed out");
    if (length == 0) continue;
    if (kind == RECORD_HEADER_BLOCK) {
      HeaderInfo previous = info;
      int code = ReadHeaderBlock(stream, &header, &info);
      Check(code >= -5 && (code == 0 || !memcmp(&previous, &info, sizeof info)), "failed block changed its info");
      RecordWalkHeaderBlock(&walk, code == 0 ? &info : nullptr);
    } else if (kind <= RECORD_MEDIA || kind == RECORD_VIDEO_6 || kind == RECORD_VIDEO_7) {
      // As the exporter takes a frame: the payload read into a buffer of
      // exactly its length, where the address sanitizer sees a read beyond it.
      payload.resize(length);
      if (fread(payload.data(), 1, length, stream) != length) continue;
      FrameInfo frame = {};
      DecodeFrameInfo(&frame, &header);
      Check(DeriveVideoFormat(&frame, &header, payload.data()) != 1 ||
                (frame.payload >= payload.data() && frame.payload + frame.length == payload.data() + length),
            "frame data outside the payload");
      Check(at > lastFrame, "a frame taken twice");  // so the walk ends
      lastFrame = at;
      RecordWalkFrameTaken(&walk);
    } else if (RecordWalkSkip(&walk) < 0) {
      result = RECORD_WALK_END;  // a memory stream cannot seek past its end; a file would
      break;
    }
  }
  Check(result == RECORD_WALK_END || result == RECORD_WALK_ENDING_KIND, "walk result");
  RecordWalkFree(&walk);
  fclose(stream);
  return 0;
}
