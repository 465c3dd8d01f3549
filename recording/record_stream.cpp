// Record headers: field readers, frame descriptions and the walk's two steps.
#include "recording/record_stream.h"

#include "platform/platform.h"

static uint32_t GetLe32(const uint8_t* at) {
  return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) |
         ((uint32_t)at[3] << 24);
}

uint32_t RecordPayloadLength(const RecordHeader* header) {
  return GetLe32(&header->bytes[0]) & 0x7FFFF;
}

uint32_t RecordTimeOfDay(const RecordHeader* header) {
  return GetLe32(&header->bytes[4]) >> 5;
}

unsigned RecordFormatCode(const RecordHeader* header) { return header->bytes[8] & 3; }
unsigned RecordKind(const RecordHeader* header) { return (header->bytes[8] >> 2) & 15; }
unsigned RecordSizeCode(const RecordHeader* header) { return header->bytes[8] >> 6; }

// Plain form: the 5 bits of byte 9. Extended form: the size-code bits above them.
unsigned RecordChannel(const RecordHeader* header) {
  unsigned channel = header->bytes[9] >> 3;
  if (RecordFormatCode(header) == RECORD_FORMAT_EXTENDED)
    channel |= RecordSizeCode(header) << 5;
  return channel;
}

void DecodeFrameInfo(FrameInfo* frame, const RecordHeader* header) {
  frame->length = RecordPayloadLength(header);
  frame->timeMs = RecordTimeOfDay(header);
  frame->kind = (uint8_t)RecordKind(header);
  frame->channel = (uint8_t)RecordChannel(header);
  frame->codecMode = 0;
}

static int IsVideoKind(unsigned kind) {
  return kind == RECORD_KEY_FRAME || kind == RECORD_FRAME || kind == RECORD_VIDEO_6 ||
         kind == RECORD_VIDEO_7;
}

// Width and height of the plain form's picture-size codes 1-3.
static const uint16_t PLAIN_WIDTH[4] = {0, 320, 640, 640};
static const uint16_t PLAIN_HEIGHT[4] = {0, 240, 240, 480};

int DeriveVideoFormat(FrameInfo* frame, const RecordHeader* header, const uint8_t* payload) {
  unsigned kind = RecordKind(header);
  unsigned formatCode = RecordFormatCode(header);

  if (formatCode == RECORD_FORMAT_EXTENDED && (IsVideoKind(kind) || kind == RECORD_MEDIA)) {
    // A payload too short for its prefix word describes no frame.
    if (frame->length < 4) return 0;
    uint32_t prefix = GetLe32(payload);
    frame->codecMode = (uint8_t)((prefix >> 8) & 3);
    if (kind == RECORD_MEDIA) {
      frame->codecType = (uint8_t)((prefix >> 4) & 3);
      frame->width = (uint16_t)((prefix >> 10) & 0xFFFF);
    } else {
      frame->codecType = (uint8_t)((prefix >> 4) & 15);
      frame->width = (uint16_t)((prefix >> 10) & 0x7FF);
      frame->height = (uint16_t)((prefix >> 21) & 0x7FF);
    }
    frame->payload = payload + 4;
    frame->length -= 4;
    return 1;
  }

  if (formatCode != RECORD_FORMAT_EXTENDED && IsVideoKind(kind)) {
    unsigned sizeCode = RecordSizeCode(header);
    frame->codecType = (uint8_t)formatCode;
    if (sizeCode == 0) return 0;
    frame->codecMode = (uint8_t)(formatCode == 2 ? 3 : 0);
    frame->width = PLAIN_WIDTH[sizeCode];
    frame->height = PLAIN_HEIGHT[sizeCode];
    frame->payload = payload;
    return 1;
  }

  if (formatCode != RECORD_FORMAT_EXTENDED && kind == RECORD_MEDIA) {
    frame->codecType = 0;
    frame->codecMode = 0;
    frame->width = 14850;
    frame->payload = payload;
    return 1;
  }

  // Any other kind, in either form.
  frame->codecType = 0;
  frame->codecMode = 0;
  frame->width = 0;
  frame->height = 0;
  frame->payload = payload;
  return 1;
}

int ReadRecordHeader(FILE* stream, RecordHeader* header) {
  if (feof(stream)) return 0;
  if (fread(header->bytes, 1, RECORD_HEADER_SIZE, stream) != RECORD_HEADER_SIZE) return 0;
  return 1;
}

// 64-bit seek: a distance of 2^31 or more still moves forward.
int SkipRecordPayload(FILE* stream, uint32_t distance) {
  if (distance == 0) return 0;
  return PlatformSeek(stream, (int64_t)distance, SEEK_CUR) == 0 ? 0 : -1;
}
