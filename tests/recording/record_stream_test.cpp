// Record headers, frame descriptions and the walk's reading and skipping steps.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "platform/platform.h"
#include "tests/recording/test_streams.h"

static const unsigned KEPT = 0xEE, KEPT16 = 0xEEEE;  // fields a step leaves alone hold these
typedef std::vector<uint64_t> Values;

static FrameInfo Decoded(const RecordHeader& header) {
  FrameInfo frame;
  memset(&frame, KEPT, sizeof frame);
  frame.payload = nullptr;
  DecodeFrameInfo(&frame, &header);
  return frame;
}

TEST(RecordHeader, FieldsOfBothForms) {
  struct Row { RecordHeader header; uint32_t length, time; unsigned format, kind, size, channel; } rows[] = {
    // Every reserved bit set; in the plain form the size code is no channel bit.
    {{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x92, 0xFF}}, 524287, 134217727, 2, 4, 2, 31},
    {{{0x10, 0, 0, 0, 0, 0, 0, 0x80, 0x43, 0x08}}, 16, 0x04000000, 3, 0, 1, 33},  // extended
    {{{0, 0, 0, 0, 0x20, 0, 0, 0, 0x00, 0x08}}, 0, 1, 0, 0, 0, 1},                // plain
    {{{0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFB}}, 0, 0, 3, 15, 3, 127},
  };
  for (const Row& row : rows) {
    const RecordHeader* h = &row.header;
    FrameInfo f = Decoded(row.header);
    EXPECT_EQ(Values({row.length, row.time, row.format, row.kind, row.size, row.channel, row.kind, row.channel,
                      row.length, row.time, 0, KEPT, KEPT16}),
              Values({RecordPayloadLength(h), RecordTimeOfDay(h), RecordFormatCode(h), RecordKind(h), RecordSizeCode(h),
                      RecordChannel(h), f.kind, f.channel, f.length, f.timeMs, f.codecMode, f.codecType, f.width}))
        << row.channel;
  }
}

TEST(FrameInfo, PictureOfEveryKindAndForm) {
  const uint8_t video[8] = {0x60, 0x01, 0x0A, 0x3C, 1, 2, 3, 4};  // codec 6, mode 1, 640x480
  const uint8_t wide[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  uint8_t media[8] = {};
  PutLe32(media, 0xF0u | (2u << 8) | (0xBEEFu << 10) | (0x3Fu << 26));  // codec bits 4-5 = 3, 6-7 set; mode 2
  struct Row {  // offset: of the frame data in the payload; -1: left alone
    RecordHeader header; const uint8_t* payload; int result; unsigned type, mode, width, height; int offset; uint32_t length;
  } rows[] = {
    {MakePlainHeader(RECORD_KEY_FRAME, 5, 2, 3, 0, 8), video, 1, 2, 3, 640, 480, 0, 8},
    {MakePlainHeader(RECORD_FRAME, 5, 0, 1, 0, 8), video, 1, 0, 0, 320, 240, 0, 8},
    {MakePlainHeader(RECORD_VIDEO_6, 5, 1, 2, 0, 8), video, 1, 1, 0, 640, 240, 0, 8},
    {MakePlainHeader(RECORD_VIDEO_7, 5, 2, 1, 0, 8), video, 1, 2, 3, 320, 240, 0, 8},
    {MakePlainHeader(RECORD_KEY_FRAME, 5, 2, 0, 0, 8), video, 0, 2, 0, KEPT16, KEPT16, -1, 8},
    {MakeExtendedHeader(RECORD_KEY_FRAME, 40, 0, 8), video, 1, 6, 1, 640, 480, 4, 4},
    {MakeExtendedHeader(RECORD_FRAME, 0, 0, 4), wide, 1, 15, 3, 2047, 2047, 4, 0},
    {MakeExtendedHeader(RECORD_VIDEO_6, 0, 0, 3), video, 0, KEPT, 0, KEPT16, KEPT16, -1, 3},  // < 4
    {MakeExtendedHeader(RECORD_MEDIA, 3, 0, 6), media, 1, 3, 2, 0xBEEF, KEPT16, 4, 2},
    {MakeExtendedHeader(RECORD_MEDIA, 3, 0, 0), media, 0, KEPT, 0, KEPT16, KEPT16, -1, 0},  // < 4
    {MakePlainHeader(RECORD_MEDIA, 3, 2, 3, 0, 6), media, 1, 0, 0, 14850, KEPT16, 0, 6},
    {MakePlainHeader(3, 1, 2, 3, 0, 8), wide, 1, 0, 0, 0, 0, 0, 8},  // other kinds: no picture
    {MakeExtendedHeader(15, 1, 0, 8), wide, 1, 0, 0, 0, 0, 0, 8},
  };
  for (size_t i = 0; i < std::size(rows); i++) {
    const Row& row = rows[i];
    FrameInfo f = Decoded(row.header);
    const int result = DeriveVideoFormat(&f, &row.header, row.payload);
    EXPECT_EQ(Values({(uint64_t)row.result, row.type, row.mode, row.width, row.height, row.length}),
              Values({(uint64_t)result, f.codecType, f.codecMode, f.width, f.height, f.length})) << i;
    EXPECT_EQ(row.offset < 0 ? nullptr : row.payload + row.offset, f.payload) << i;
  }
}

// The kinds of the records whose headers a walk like the export's reads.
static std::vector<unsigned> WalkKinds(const Bytes& file) {
  std::vector<unsigned> kinds;
  FILE* stream = OpenBytes(file);
  RecordHeader header;
  while (ReadRecordHeader(stream, &header)) {
    kinds.push_back(RecordKind(&header));
    if (SkipRecordPayload(stream, RecordPayloadLength(&header)) != 0) break;
  }
  fclose(stream);
  return kinds;
}

// Records follow each other to the end or to a cut header; a damaged length
// of 2^31 or more still moves forward; a stream that cannot seek past its end
// reports the failed skip.
TEST(RecordWalk, RecordsFollowEachOtherAndSkipsMoveForward) {
  EXPECT_TRUE(WalkKinds(Bytes()).empty());
  Bytes file;
  AppendRecord(&file, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, 0), Bytes());
  AppendRecord(&file, MakePlainHeader(RECORD_KEY_FRAME, 0, 0, 1, 0, 5), Bytes(5, 0x11));
  AppendRecord(&file, MakeExtendedHeader(RECORD_MEDIA, 70, 0, 0), Bytes());
  AppendRecord(&file, MakeExtendedHeader(9, 70, 0, 1), Bytes(1, 0x22));
  RecordHeader header, next = MakePlainHeader(5, 0, 0, 1, 0, 0);
  for (size_t cut = 0; cut < RECORD_HEADER_SIZE; cut++) {
    Bytes cutFile = file;
    cutFile.insert(cutFile.end(), next.bytes, next.bytes + cut);
    EXPECT_EQ((std::vector<unsigned>{4, 0, 2, 9}), WalkKinds(cutFile)) << cut;
  }
  for (uint32_t distance : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    FILE* stream = OpenBytes(file);
    ASSERT_EQ(1, ReadRecordHeader(stream, &header));
    EXPECT_EQ(0, SkipRecordPayload(stream, distance));
    EXPECT_EQ(RECORD_HEADER_SIZE + (int64_t)distance, PlatformTell(stream));
    EXPECT_EQ(0, ReadRecordHeader(stream, &header));
    fclose(stream);
  }
  FILE* stream = OpenMemoryBytes(file);
  ASSERT_EQ(1, ReadRecordHeader(stream, &header));
  EXPECT_EQ(-1, SkipRecordPayload(stream, 1000));
  EXPECT_EQ(0, SkipRecordPayload(stream, 0));
  EXPECT_EQ(0, SkipRecordPayload(stream, 4));
  EXPECT_EQ(14, PlatformTell(stream));
  fclose(stream);
}
