// Record headers, frame descriptions and the walk's reading and skipping steps.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "recording/record_stream.h"
#include "tests/recording/test_streams.h"
#include "tools/record_writer.h"

static RecordHeader HeaderOf(std::initializer_list<uint8_t> bytes) {
  RecordHeader header = {};
  size_t i = 0;
  for (uint8_t b : bytes) header.bytes[i++] = b;
  return header;
}

static const uint8_t MARK_BYTE = 0xEE;

// A FrameInfo whose every field holds a recognisable value.
static FrameInfo Marked() {
  FrameInfo frame;
  memset(&frame, 0, sizeof frame);
  frame.kind = 0xEE;
  frame.channel = 0xEE;
  frame.codecType = 0xEE;
  frame.length = 0xEEEEEEEE;
  frame.timeMs = 0xEEEEEEEE;
  frame.payload = &MARK_BYTE;
  frame.width = 0xEEEE;
  frame.height = 0xEEEE;
  frame.codecMode = 0xEE;
  frame.year = 0xEEEE;
  frame.month = 0xEE;
  frame.day = 0xEE;
  return frame;
}

TEST(RecordHeader, FieldsOfThePlainForm) {
  // Every reserved bit set: payload length bits 19-31, time bits 0-4, byte 9 bits 0-2.
  RecordHeader header = HeaderOf({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x92, 0xFF});
  EXPECT_EQ(524287u, RecordPayloadLength(&header));
  EXPECT_EQ(134217727u, RecordTimeOfDay(&header));
  EXPECT_EQ(2u, RecordFormatCode(&header));
  EXPECT_EQ(4u, RecordKind(&header));
  EXPECT_EQ(2u, RecordSizeCode(&header));
  EXPECT_EQ(31u, RecordChannel(&header));  // the size code is no channel bit here

  header = MakePlainHeader(RECORD_FRAME, 17, 1, 3, 86400000, 1234);
  EXPECT_EQ(1234u, RecordPayloadLength(&header));
  EXPECT_EQ(86400000u, RecordTimeOfDay(&header));  // past midnight, not wrapped
  EXPECT_EQ(1u, RecordFormatCode(&header));
  EXPECT_EQ(1u, RecordKind(&header));
  EXPECT_EQ(3u, RecordSizeCode(&header));
  EXPECT_EQ(17u, RecordChannel(&header));
}

TEST(RecordHeader, ExtendedFormAddsChannelBits) {
  RecordHeader extended = HeaderOf({0, 0, 0, 0, 0, 0, 0, 0, 0x43, 0x08});
  EXPECT_EQ(3u, RecordFormatCode(&extended));
  EXPECT_EQ(0u, RecordKind(&extended));
  EXPECT_EQ(33u, RecordChannel(&extended));
  RecordHeader plain = HeaderOf({0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x08});
  EXPECT_EQ(1u, RecordChannel(&plain));

  for (unsigned channel : {0u, 31u, 40u, 63u, 64u, 127u}) {
    RecordHeader header = MakeExtendedHeader(RECORD_KEY_FRAME, channel, 0, 8);
    EXPECT_EQ(channel, RecordChannel(&header));
  }
}

TEST(FrameInfo, DecodeFillsOnlyItsFields) {
  RecordHeader header = HeaderOf({0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x47, 0x08});
  FrameInfo frame = Marked();
  DecodeFrameInfo(&frame, &header);
  EXPECT_EQ(1u, frame.kind);
  EXPECT_EQ(33u, frame.channel);
  EXPECT_EQ(16u, frame.length);
  EXPECT_EQ(0x80000000u >> 5, frame.timeMs);
  EXPECT_EQ(0u, frame.codecMode);
  FrameInfo untouched = Marked();
  EXPECT_EQ(untouched.codecType, frame.codecType);
  EXPECT_EQ(untouched.payload, frame.payload);
  EXPECT_EQ(untouched.width, frame.width);
  EXPECT_EQ(untouched.height, frame.height);
  EXPECT_EQ(untouched.year, frame.year);
  EXPECT_EQ(untouched.month, frame.month);
  EXPECT_EQ(untouched.day, frame.day);
}

TEST(FrameInfo, PlainVideoSizeCodes) {
  uint8_t payload[16] = {};
  struct Case { unsigned kind, format, size, width, height, mode; } cases[] = {
    {RECORD_KEY_FRAME, 2, 3, 640, 480, 3}, {RECORD_FRAME, 0, 1, 320, 240, 0},
    {RECORD_VIDEO_6, 1, 2, 640, 240, 0},   {RECORD_VIDEO_7, 2, 1, 320, 240, 3},
  };
  for (const Case& c : cases) {
    RecordHeader header = MakePlainHeader(c.kind, 5, c.format, c.size, 1000, sizeof payload);
    FrameInfo frame = Marked();
    DecodeFrameInfo(&frame, &header);
    EXPECT_EQ(1, DeriveVideoFormat(&frame, &header, payload)) << c.kind;
    EXPECT_EQ(c.format, frame.codecType);
    EXPECT_EQ(c.mode, frame.codecMode);
    EXPECT_EQ(c.width, frame.width);
    EXPECT_EQ(c.height, frame.height);
    EXPECT_EQ(payload, frame.payload);  // the whole payload is frame data
    EXPECT_EQ(sizeof payload, frame.length);
  }
}

TEST(FrameInfo, PlainVideoWithoutSizeCodeIsIncomplete) {
  uint8_t payload[8] = {};
  RecordHeader header = MakePlainHeader(RECORD_KEY_FRAME, 5, 2, 0, 0, sizeof payload);
  FrameInfo frame = Marked();
  DecodeFrameInfo(&frame, &header);
  EXPECT_EQ(0, DeriveVideoFormat(&frame, &header, payload));
  EXPECT_EQ(2u, frame.codecType);
  EXPECT_EQ(0u, frame.codecMode);  // as DecodeFrameInfo left it
  EXPECT_EQ(0xEEEEu, frame.width);
  EXPECT_EQ(0xEEEEu, frame.height);
  EXPECT_EQ(&MARK_BYTE, frame.payload);
  EXPECT_EQ(sizeof payload, frame.length);
}

TEST(FrameInfo, ExtendedVideoTakesThePrefixWord) {
  std::vector<uint8_t> payload = {0x60, 0x01, 0x0A, 0x3C, 1, 2, 3, 4, 5};
  for (unsigned kind : {0u, 1u, 6u, 7u}) {
    RecordHeader header = MakeExtendedHeader(kind, 40, 0, (uint32_t)payload.size());
    FrameInfo frame = Marked();
    DecodeFrameInfo(&frame, &header);
    EXPECT_EQ(1, DeriveVideoFormat(&frame, &header, payload.data())) << kind;
    EXPECT_EQ(40u, frame.channel);
    EXPECT_EQ(6u, frame.codecType);
    EXPECT_EQ(1u, frame.codecMode);
    EXPECT_EQ(640u, frame.width);
    EXPECT_EQ(480u, frame.height);
    EXPECT_EQ(payload.data() + 4, frame.payload);
    EXPECT_EQ(payload.size() - 4, frame.length);
  }
  // The widest fields the prefix word holds; bits 0-3 are not interpreted.
  uint8_t wide[4];
  PutLe32(wide, MakeVideoPrefix(15, 3, 2047, 2047) | 0xF);
  RecordHeader header = MakeExtendedHeader(RECORD_KEY_FRAME, 0, 0, 4);
  FrameInfo frame = Marked();
  DecodeFrameInfo(&frame, &header);
  EXPECT_EQ(1, DeriveVideoFormat(&frame, &header, wide));
  EXPECT_EQ(15u, frame.codecType);
  EXPECT_EQ(3u, frame.codecMode);
  EXPECT_EQ(2047u, frame.width);
  EXPECT_EQ(2047u, frame.height);
  EXPECT_EQ(0u, frame.length);
}

TEST(FrameInfo, KindTwoRows) {
  uint8_t payload[6];
  // codec bits 4-5 = 3 (bits 6-7 set as well), mode 2, parameter 0xBEEF.
  PutLe32(payload, 0xF0u | (2u << 8) | (0xBEEFu << 10) | (0x3Fu << 26));
  RecordHeader extended = MakeExtendedHeader(RECORD_MEDIA, 3, 0, sizeof payload);
  FrameInfo frame = Marked();
  DecodeFrameInfo(&frame, &extended);
  EXPECT_EQ(1, DeriveVideoFormat(&frame, &extended, payload));
  EXPECT_EQ(3u, frame.codecType);
  EXPECT_EQ(2u, frame.codecMode);
  EXPECT_EQ(0xBEEFu, frame.width);
  EXPECT_EQ(0xEEEEu, frame.height);  // left as it was
  EXPECT_EQ(payload + 4, frame.payload);
  EXPECT_EQ(2u, frame.length);

  RecordHeader plain = MakePlainHeader(RECORD_MEDIA, 3, 2, 3, 0, sizeof payload);
  frame = Marked();
  DecodeFrameInfo(&frame, &plain);
  EXPECT_EQ(1, DeriveVideoFormat(&frame, &plain, payload));
  EXPECT_EQ(0u, frame.codecType);
  EXPECT_EQ(0u, frame.codecMode);
  EXPECT_EQ(14850u, frame.width);
  EXPECT_EQ(0xEEEEu, frame.height);
  EXPECT_EQ(payload, frame.payload);
  EXPECT_EQ(sizeof payload, frame.length);
}

TEST(FrameInfo, OtherKindsDescribeNoPicture) {
  uint8_t payload[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  for (unsigned kind : {3u, 4u, 5u, 8u, 9u, 15u}) {
    RecordHeader headers[2] = {MakePlainHeader(kind, 1, 2, 3, 0, sizeof payload),
                               MakeExtendedHeader(kind, 1, 0, sizeof payload)};
    for (const RecordHeader& header : headers) {
      FrameInfo frame = Marked();
      DecodeFrameInfo(&frame, &header);
      EXPECT_EQ(1, DeriveVideoFormat(&frame, &header, payload)) << kind;
      EXPECT_EQ(0u, frame.codecType);
      EXPECT_EQ(0u, frame.codecMode);
      EXPECT_EQ(0u, frame.width);
      EXPECT_EQ(0u, frame.height);
      EXPECT_EQ(payload, frame.payload);
      EXPECT_EQ(sizeof payload, frame.length);
    }
  }
}

TEST(FrameInfo, ExtendedPayloadTooShortForItsPrefixIsRefused) {
  // Fewer than 4 payload bytes: the prefix word is not read and nothing but
  // DecodeFrameInfo's fields is set.
  uint8_t payload[3] = {0x60, 0x01, 0x0A};
  for (unsigned kind : {0u, 1u, 2u, 6u, 7u}) {
    for (uint32_t length = 0; length < 4; length++) {
      RecordHeader header = MakeExtendedHeader(kind, 0, 0, length);
      FrameInfo frame = Marked();
      DecodeFrameInfo(&frame, &header);
      EXPECT_EQ(0, DeriveVideoFormat(&frame, &header, payload)) << kind << " " << length;
      EXPECT_EQ(length, frame.length);
      EXPECT_EQ(0xEEu, frame.codecType);
      EXPECT_EQ(0xEEEEu, frame.width);
      EXPECT_EQ(&MARK_BYTE, frame.payload);
    }
  }
}

// Walks a stream as the export walk does, listing the kinds of the records
// whose headers were read.
static std::vector<unsigned> WalkKinds(FILE* stream) {
  std::vector<unsigned> kinds;
  RecordHeader header;
  while (ReadRecordHeader(stream, &header)) {
    kinds.push_back(RecordKind(&header));
    uint32_t length = RecordPayloadLength(&header);
    if (length == 0) continue;
    if (SkipRecordPayload(stream, length) != 0) break;
  }
  return kinds;
}

TEST(RecordWalk, EmptyAndCutFilesEndTheWalk) {
  FILE* stream = OpenBytes(Bytes());
  ASSERT_TRUE(stream);
  RecordHeader header;
  EXPECT_EQ(0, ReadRecordHeader(stream, &header));
  fclose(stream);

  Bytes file;
  AppendRecord(&file, MakePlainHeader(1, 0, 0, 1, 0, 3), Bytes(3, 7));
  RecordHeader next = MakePlainHeader(5, 0, 0, 1, 0, 0);
  for (size_t cut = 0; cut < RECORD_HEADER_SIZE; cut++) {
    Bytes cutFile = file;
    cutFile.insert(cutFile.end(), next.bytes, next.bytes + cut);
    stream = OpenBytes(cutFile);
    ASSERT_TRUE(stream);
    EXPECT_EQ(std::vector<unsigned>{1}, WalkKinds(stream)) << cut;
    EXPECT_EQ(0, ReadRecordHeader(stream, &header));  // stays ended
    fclose(stream);
  }
}

TEST(RecordWalk, RecordsFollowEachOtherAndEmptyHeaderBlocksAreNoBlocks) {
  Bytes file;
  AppendRecord(&file, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, 0), Bytes());
  AppendRecord(&file, MakePlainHeader(RECORD_KEY_FRAME, 0, 0, 1, 0, 5), Bytes(5, 0x11));
  AppendRecord(&file, MakeExtendedHeader(RECORD_MEDIA, 70, 0, 0), Bytes());
  AppendRecord(&file, MakeExtendedHeader(9, 70, 0, 1), Bytes(1, 0x22));
  FILE* stream = OpenBytes(file);
  ASSERT_TRUE(stream);
  EXPECT_EQ((std::vector<unsigned>{4, 0, 2, 9}), WalkKinds(stream));
  fclose(stream);
}

TEST(RecordWalk, HugeSkipsMoveForward) {
  Bytes file;
  AppendRecord(&file, MakePlainHeader(RECORD_FRAME, 0, 0, 1, 0, 4), Bytes(4, 0));
  for (uint32_t distance : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    FILE* stream = OpenBytes(file);
    ASSERT_TRUE(stream);
    RecordHeader header;
    ASSERT_EQ(1, ReadRecordHeader(stream, &header));
    EXPECT_EQ(0, SkipRecordPayload(stream, distance));
    EXPECT_EQ(RECORD_HEADER_SIZE + (int64_t)distance, PlatformTell(stream));
    EXPECT_EQ(0, ReadRecordHeader(stream, &header));
    fclose(stream);
  }
}

TEST(RecordWalk, FailedSkipIsReported) {
  Bytes file;
  AppendRecord(&file, MakePlainHeader(RECORD_FRAME, 0, 0, 1, 0, 4), Bytes(4, 0));
  FILE* stream = OpenMemoryBytes(file);
  ASSERT_TRUE(stream);
  RecordHeader header;
  ASSERT_EQ(1, ReadRecordHeader(stream, &header));
  EXPECT_EQ(-1, SkipRecordPayload(stream, 1000));  // beyond the memory stream
  EXPECT_EQ(0, SkipRecordPayload(stream, 0));
  EXPECT_EQ(0, SkipRecordPayload(stream, 4));
  EXPECT_EQ(14, PlatformTell(stream));
  fclose(stream);
}
