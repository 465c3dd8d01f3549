// Header blocks: short and long forms, versions, entries, the extension,
// the year check, cut files and the two diagnostics.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "recording/header_block.h"
#include "tests/recording/test_streams.h"
#include "tools/record_writer.h"

static const PackedTime TIME_2009 = MakePackedTime(2009, 3, 5, 7, 4, 9);

// What one ReadHeaderBlock call did.
struct BlockRead {
  int code;
  HeaderInfo info;
  std::string output;  // standard output during the call
  int64_t position;    // stream position relative to the first payload byte
};

static HeaderInfo Sentinel() {
  HeaderInfo info;
  memset(&info, 0xA5, sizeof info);
  return info;
}

static void ExpectSentinel(const HeaderInfo& info) {
  HeaderInfo sentinel = Sentinel();
  EXPECT_EQ(sentinel.version, info.version);
  EXPECT_EQ(sentinel.skipLength, info.skipLength);
  EXPECT_EQ(sentinel.blockTime, info.blockTime);
  EXPECT_EQ(sentinel.channels, info.channels);
}

// Reads a record header and the header block behind it.
static BlockRead ReadBlockFrom(FILE* stream) {
  BlockRead result;
  result.info = Sentinel();
  RecordHeader header;
  EXPECT_EQ(1, ReadRecordHeader(stream, &header));
  StdoutCapture capture;
  StartStdoutCapture(&capture);
  result.code = ReadHeaderBlock(stream, &header, &result.info);
  result.output = StopStdoutCapture(&capture);
  result.position = PlatformTell(stream) - RECORD_HEADER_SIZE;
  return result;
}

static Bytes BlockRecord(uint32_t length, const Bytes& bytes) {
  Bytes file;
  AppendRecord(&file, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, length), bytes);
  return file;
}

// A kind-4 record declaring `length` payload bytes, followed by `bytes`
// (which may be fewer or more), read from a file.
static BlockRead ReadBlock(uint32_t length, const Bytes& bytes) {
  FILE* stream = OpenBytes(BlockRecord(length, bytes));
  EXPECT_TRUE(stream);
  if (!stream) return BlockRead();
  BlockRead result = ReadBlockFrom(stream);
  fclose(stream);
  return result;
}

static BlockRead ReadBlock(const Bytes& payload) {
  return ReadBlock((uint32_t)payload.size(), payload);
}

static Bytes Cut(const Bytes& bytes, size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + (ptrdiff_t)length);
}

static HeaderBlockSpec Layout(uint16_t version, ChannelMask channels) {
  HeaderBlockSpec layout;
  layout.version = version;
  layout.skipLength = 0x12345678;
  layout.blockTime = TIME_2009;
  layout.channels = channels;
  return layout;
}

TEST(HeaderBlockShortForm, TwentyBytesAreReadWholeWithTheRestZero) {
  HeaderBlockSpec layout = Layout(2, 0xFFFFFFFFFFFFFFFFull);
  BlockRead read = ReadBlock(Cut(MakeHeaderBlockPayload(layout), 20));
  EXPECT_EQ(0, read.code);
  EXPECT_EQ(0u, read.info.version);  // offset 30 lies beyond the 20 bytes
  EXPECT_EQ(0x12345678u, read.info.skipLength);
  EXPECT_EQ(TIME_2009, read.info.blockTime);
  EXPECT_EQ(0xFFFFFFFFull, read.info.channels);
  EXPECT_EQ(20, read.position);
  EXPECT_EQ("", read.output);
}

TEST(HeaderBlockShortForm, VersionIsNotCheckedAndHasNoExtension) {
  for (uint16_t version : {0, 1, 2, 7}) {
    HeaderBlockSpec layout = Layout(version, 0x8000000180000001ull);
    Bytes payload = MakeHeaderBlockPayload(layout);
    ASSERT_EQ((size_t)HEADER_BASE_SIZE, payload.size());
    // Whatever follows the 168 bytes is not part of this block.
    Bytes file = payload;
    file.resize(file.size() + 400, 0xFF);
    BlockRead read = ReadBlock(HEADER_BASE_SIZE, file);
    EXPECT_EQ(0, read.code) << version;
    EXPECT_EQ(version, read.info.version);
    EXPECT_EQ(0x80000001ull, read.info.channels);
    EXPECT_EQ(HEADER_BASE_SIZE, read.position);
    EXPECT_EQ("", read.output);
  }
}

TEST(HeaderBlockShortForm, CountsOfAShortBlockAreNotSkipped) {
  HeaderBlockSpec layout = Layout(1, 1);
  layout.baseCounts[0] = 100;
  Bytes payload = MakeHeaderBlockPayload(layout);
  BlockRead read = ReadBlock(HEADER_BASE_SIZE - 10, payload);
  EXPECT_EQ(0, read.code);
  EXPECT_EQ(HEADER_BASE_SIZE - 10, read.position);
}

TEST(HeaderBlockShortForm, BlockWithoutItsYearFails) {
  // The year sits in bytes 12 to 14; shorter blocks carry a zero year.
  Bytes payload = MakeHeaderBlockPayload(Layout(1, 1));
  for (size_t length = 1; length <= 12; length++) {
    BlockRead read = ReadBlock(Cut(payload, length));
    EXPECT_EQ(-5, read.code) << length;
    EXPECT_EQ("", read.output);
    ExpectSentinel(read.info);
    EXPECT_EQ((int64_t)length, read.position);
  }
  EXPECT_EQ(0, ReadBlock(Cut(payload, 15)).code);
}

TEST(HeaderBlockShortForm, EveryCutFailsWithTheMessage) {
  Bytes payload = MakeHeaderBlockPayload(Layout(1, 1));
  for (uint32_t length : {1u, 20u, 100u, 168u}) {
    for (size_t cut = 0; cut < length; cut++) {
      BlockRead read = ReadBlock(length, Cut(payload, cut));
      EXPECT_EQ(-1, read.code) << length << " " << cut;
      EXPECT_EQ("file_write() failed\n", read.output);
      ExpectSentinel(read.info);
      EXPECT_EQ((int64_t)cut, read.position);
    }
  }
}

TEST(HeaderBlockLongForm, VersionZeroIsRefusedWithTheMessage) {
  HeaderBlockSpec layout = Layout(0, 1);
  layout.baseCounts[3] = 1;
  Bytes payload = MakeHeaderBlockPayload(layout);
  ASSERT_EQ(172u, payload.size());
  for (uint32_t length : {169u, 172u, 524287u}) {
    BlockRead read = ReadBlock(length, payload);
    EXPECT_EQ(-3, read.code);
    EXPECT_EQ("(pdev->vantel.ver == 0)", read.output);
    ExpectSentinel(read.info);
    EXPECT_EQ(HEADER_BASE_SIZE, read.position);
  }
}

TEST(HeaderBlockLongForm, EntriesDecideWhereTheStreamIsLeft) {
  HeaderBlockSpec layout = Layout(1, 0xF0F0F0F0F0F0F0F0ull);
  layout.baseCounts[0] = 1;
  layout.baseCounts[63] = 2;  // the last count, the second of channel 31
  Bytes payload = MakeHeaderBlockPayload(layout);
  ASSERT_EQ(180u, payload.size());
  Bytes file = payload;
  file.resize(1000, 0x77);
  // The declared length only picks the long form.
  for (uint32_t length : {169u, 180u, 500u, 524287u}) {
    BlockRead read = ReadBlock(length, file);
    EXPECT_EQ(0, read.code) << length;
    EXPECT_EQ(180, read.position);
    EXPECT_EQ(1u, read.info.version);
    EXPECT_EQ(0x12345678u, read.info.skipLength);
    EXPECT_EQ(TIME_2009, read.info.blockTime);
    EXPECT_EQ(0xF0F0F0F0ull, read.info.channels);
    EXPECT_EQ("", read.output);
  }
}

TEST(HeaderBlockLongForm, LargestCountsAreSummedWithoutOverflow) {
  HeaderBlockSpec layout = Layout(3, 1);
  for (int i = 0; i < 64; i++) layout.baseCounts[i] = 65535;
  Bytes base = Cut(MakeHeaderBlockPayload(layout), HEADER_BASE_SIZE);
  // The entries lie beyond the end of the file; the seek passes over them.
  BlockRead read = ReadBlock(1000, base);
  EXPECT_EQ(0, read.code);
  EXPECT_EQ(HEADER_BASE_SIZE + 16776960, read.position);
}

TEST(HeaderBlockLongForm, OnlyVersionTwoHasAnExtension) {
  HeaderBlockSpec layout = Layout(2, 0x8000000100000001ull);
  layout.baseCounts[1] = 2;
  layout.extension = true;
  layout.extensionCounts[0] = 4;
  layout.extensionCounts[63] = 1;
  Bytes payload = MakeHeaderBlockPayload(layout);
  ASSERT_EQ(168u + 8 + 164 + 20, payload.size());
  Bytes file = payload;
  file.resize(file.size() + 50, 0x33);

  BlockRead read = ReadBlock(200, file);
  EXPECT_EQ(0, read.code);
  EXPECT_EQ(2u, read.info.version);
  EXPECT_EQ(0x8000000100000001ull, read.info.channels);
  EXPECT_EQ((int64_t)payload.size(), read.position);

  // The same bytes as version 1 or 3: the extension is not read, the stream
  // stands after the base entries, and channels 32-63 stay empty.
  for (uint16_t version : {1, 3, 0xFFFF}) {
    Bytes other = file;
    PutLe16(&other[30], version);
    read = ReadBlock((uint32_t)payload.size(), other);
    EXPECT_EQ(0, read.code) << version;
    EXPECT_EQ(version, read.info.version);
    EXPECT_EQ(0x00000001ull, read.info.channels);
    EXPECT_EQ(168 + 8, read.position);
  }
}

TEST(HeaderBlockLongForm, ExtensionChannelsComeOnlyFromTheExtension) {
  // A version-2 block's base channel field holds channels 0-31 only.
  HeaderBlockSpec layout = Layout(2, 0xFFFFFFFFull);
  layout.extension = true;
  Bytes payload = MakeHeaderBlockPayload(layout);
  ASSERT_EQ(168u + 164, payload.size());
  BlockRead read = ReadBlock(payload);
  EXPECT_EQ(0, read.code);
  EXPECT_EQ(0xFFFFFFFFull, read.info.channels);

  PutLe32(&payload[168 + 8], 0x00010000);
  read = ReadBlock(payload);
  EXPECT_EQ(0, read.code);
  EXPECT_EQ(0x00010000FFFFFFFFull, read.info.channels);
}

TEST(HeaderBlockLongForm, EveryCutOfAVersionTwoBlock) {
  HeaderBlockSpec layout = Layout(2, 0x0000000500000003ull);
  layout.baseCounts[10] = 2;
  layout.extension = true;
  layout.extensionCounts[20] = 3;
  Bytes payload = MakeHeaderBlockPayload(layout);
  const size_t extensionEnd = 168 + 8 + 164;
  ASSERT_EQ(extensionEnd + 12, payload.size());
  for (size_t cut = 0; cut <= payload.size(); cut++) {
    BlockRead read = ReadBlock((uint32_t)payload.size(), Cut(payload, cut));
    if (cut < HEADER_BASE_SIZE) {
      EXPECT_EQ(-2, read.code) << cut;
      EXPECT_EQ("file_write() failed\n", read.output) << cut;
    } else if (cut < extensionEnd) {
      EXPECT_EQ(-4, read.code) << cut;  // extension cut short: no message
      EXPECT_EQ("", read.output) << cut;
    } else {
      // Only unread entries are missing; they are passed over by a seek.
      EXPECT_EQ(0, read.code) << cut;
      EXPECT_EQ(0x0000000500000003ull, read.info.channels);
      EXPECT_EQ((int64_t)payload.size(), read.position);
      continue;
    }
    ExpectSentinel(read.info);
  }
}

TEST(HeaderBlockLongForm, EveryCutOfAVersionOneBlock) {
  HeaderBlockSpec layout = Layout(1, 3);
  layout.baseCounts[0] = 5;
  Bytes payload = MakeHeaderBlockPayload(layout);
  for (size_t cut = 0; cut <= payload.size(); cut++) {
    BlockRead read = ReadBlock((uint32_t)payload.size(), Cut(payload, cut));
    if (cut < HEADER_BASE_SIZE) {
      EXPECT_EQ(-2, read.code) << cut;
      EXPECT_EQ("file_write() failed\n", read.output);
      EXPECT_EQ((int64_t)cut, read.position);
      ExpectSentinel(read.info);
    } else {
      EXPECT_EQ(0, read.code) << cut;
      EXPECT_EQ((int64_t)payload.size(), read.position);
    }
  }
}

TEST(HeaderBlockLongForm, ExtensionBehindUnreachableEntriesIsNotRead) {
  // In a stream that cannot seek past its end the base entries cannot be
  // passed over, so the bytes there are no extension.
  HeaderBlockSpec layout = Layout(2, 1);
  layout.baseCounts[0] = 100;
  Bytes base = Cut(MakeHeaderBlockPayload(layout), HEADER_BASE_SIZE);
  base.resize(base.size() + 164 + 200, 0xFF);  // 364 bytes, entries need 400
  FILE* stream = OpenMemoryBytes(BlockRecord(1000, base));
  ASSERT_TRUE(stream);
  BlockRead read = ReadBlockFrom(stream);
  fclose(stream);
  EXPECT_EQ(-4, read.code);
  EXPECT_EQ("", read.output);
  ExpectSentinel(read.info);
}

TEST(HeaderBlockYear, OnlyYears1001To2999Pass) {
  struct Case { unsigned year; int code; } cases[] = {
    {0, -5}, {1000, -5}, {1001, 0}, {2009, 0}, {2999, 0}, {3000, -5}, {65535, -5},
  };
  for (const Case& c : cases) {
    HeaderBlockSpec layout = Layout(2, 0x100000001ull);
    layout.blockTime = MakePackedTime(c.year, 12, 31, 23, 59, 59);
    layout.extension = true;
    layout.baseCounts[0] = 1;
    Bytes longPayload = MakeHeaderBlockPayload(layout);
    Bytes shortPayload = Cut(longPayload, HEADER_BASE_SIZE);
    for (const Bytes* payload : {&shortPayload, &longPayload}) {
      BlockRead read = ReadBlock(*payload);
      EXPECT_EQ(c.code, read.code) << c.year << " " << payload->size();
      EXPECT_EQ("", read.output);
      // A refused block still leaves the stream after what it read.
      EXPECT_EQ((int64_t)payload->size(), read.position);
      if (c.code == 0) {
        EXPECT_EQ(c.year, PackedYear(read.info.blockTime));
      } else {
        ExpectSentinel(read.info);
      }
    }
  }
}

TEST(HeaderBlockResult, EveryFieldIsOverwrittenOnSuccess) {
  HeaderBlockSpec layout = Layout(1, 0);
  layout.skipLength = 0;
  layout.blockTime = MakePackedTime(1001, 1, 1, 0, 0, 0);
  BlockRead read = ReadBlock(MakeHeaderBlockPayload(layout));
  EXPECT_EQ(0, read.code);
  EXPECT_EQ(1u, read.info.version);
  EXPECT_EQ(0u, read.info.skipLength);
  EXPECT_EQ(layout.blockTime, read.info.blockTime);
  EXPECT_EQ(0u, read.info.channels);
}

TEST(HeaderBlockResult, ConsecutiveBlocksInOneStream) {
  HeaderBlockSpec first = Layout(2, 0x300000000ull);
  first.extension = true;
  first.extensionCounts[5] = 2;
  HeaderBlockSpec second = Layout(1, 0x4);
  second.blockTime = MakePackedTime(2010, 1, 1, 0, 0, 0);
  Bytes file;
  AppendHeaderBlock(&file, first);
  AppendHeaderBlock(&file, second);
  FILE* stream = OpenBytes(file);
  ASSERT_TRUE(stream);
  BlockRead a = ReadBlockFrom(stream);
  BlockRead b = ReadBlockFrom(stream);
  RecordHeader header;
  EXPECT_EQ(0, ReadRecordHeader(stream, &header));
  fclose(stream);
  EXPECT_EQ(0, a.code);
  EXPECT_EQ(0x300000000ull, a.info.channels);
  EXPECT_EQ(0, b.code);
  EXPECT_EQ(0x4ull, b.info.channels);
  EXPECT_EQ(MakePackedTime(2010, 1, 1, 0, 0, 0), b.info.blockTime);
}
