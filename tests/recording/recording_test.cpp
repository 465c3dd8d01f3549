// The reading spine: packed times, record headers and frames, header blocks,
// the walk's steps, and finding records again after damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <tuple>

#include "platform/platform.h"
#include "recording/record_sync.h"
#include "tools/record_writer.h"

namespace {

// A temporary file holding bytes, like a recording on disk: seeks past the end succeed.
FILE* OpenBytes(const Bytes& bytes) {
  FILE* stream = tmpfile();
  if (stream && fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size()) rewind(stream);
  return stream;
}

PackedTime Date(unsigned year, unsigned month, unsigned day) { return MakePackedTime(year, month, day, 0, 0, 0); }

TEST(PackedTime, StoredValueAndTextWithoutPadding) {
  // Calendar times: year, month, day of the week, day, hour, minute, second, milliseconds.
  CalendarTime time = {2009, 3, 0, 5, 7, 4, 9, 0}, overflowing = {65534, 18, 0xFFFF, 34, 40, 70, 65, 1000};
  EXPECT_EQ(0x00000FB265388480ull, PackTime(&time));  // bytes 80 84 38 65 B2 0F 00 00
  struct Row { PackedTime time; const char* text; } rows[] = {
    {Date(2010, 1, 1), "2010/1/1 0:0:0"},
    {MakePackedTime(2009, 12, 31, 23, 59, 30), "2009/12/31 23:59:30"},
    {PackTime(&time) | 0xFFFE000000000000ull | 127, "2009/3/5 7:4:9"},  // reserved bits
    {PackTime(&overflowing), "65534/2/2 8:6:1"},  // each field masked to its width
    {~(PackedTime)0, "65535/15/31 31:63:63"},     // the widest text fills the buffer
  };
  for (const Row& row : rows) {
    char text[FORMAT_TIME_SIZE];
    EXPECT_EQ(std::string(row.text), FormatTime(row.time, text));
  }
}

TEST(PackedTime, DayNumbersCountEveryDayAndDifferencesEverySecond) {
  EXPECT_EQ(0, DayNumber(Date(1, 1, 1)));
  EXPECT_EQ(730134, DayNumber(Date(2000, 1, 1)));
  const unsigned lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (unsigned year : {2000u, 2009u, 2100u}) {
    int32_t expected = DayNumber(Date(year, 1, 1));
    for (unsigned month = 1; month <= 12; month++)
      for (unsigned day = 1; day <= lengths[month - 1] + (month == 2 && year % 4 == 0); day++, expected++)
        ASSERT_EQ(expected, DayNumber(Date(year, month, day))) << year * 10000 + month * 100 + day;
    EXPECT_EQ(expected, DayNumber(Date(year + 1, 1, 1))) << year;
  }
  // Damaged months stay within the table: 0 counts as January, 13 to 15 as December.
  EXPECT_EQ(DayNumber(Date(2009, 1, 10)), DayNumber(Date(2009, 0, 10)));
  for (unsigned month = 13; month <= 15; month++)
    EXPECT_EQ(DayNumber(Date(2008, 12, 10)), DayNumber(Date(2008, month, 10))) << month;
  struct Row { CalendarTime a, b; int32_t seconds; } rows[] = {  // differences in seconds (fields as above)
    {{2010, 1, 0, 1, 0, 0, 0, 0}, {2009, 12, 0, 31, 23, 59, 30, 0}, 30},
    {{2009, 12, 0, 31, 23, 59, 30, 0}, {2010, 1, 0, 1, 0, 0, 0, 0}, -30},
    {{2009, 3, 0, 5, 7, 4, 10, 0}, {2009, 3, 0, 5, 7, 4, 9, 500}, 1},  // ms ignored
    // Exact across year 137, where the count of seconds passes 32 bits.
    {{150, 6, 0, 1, 12, 0, 0, 0}, {120, 6, 0, 1, 11, 59, 59, 0}, 10957 * 86400 + 1},
  };
  for (const Row& row : rows) EXPECT_EQ(row.seconds, TimeDifference(&row.a, &row.b)) << row.a.year;
}

const unsigned KEPT = 0xEE, KEPT16 = 0xEEEE;  // fields a step leaves alone hold these
typedef std::vector<uint64_t> Values;

FrameInfo Decoded(const RecordHeader& header) {
  FrameInfo frame;
  memset(&frame, KEPT, sizeof frame);
  frame.payload = nullptr;
  DecodeFrameInfo(&frame, &header);
  return frame;
}

TEST(RecordHeader, FieldsOfBothFormsAndThePictureOfEveryKind) {
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
  // The picture of every kind and form.
  const uint8_t video[8] = {0x60, 0x01, 0x0A, 0x3C, 1, 2, 3, 4};  // codec 6, mode 1, 640x480
  const uint8_t wide[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  uint8_t media[8] = {}, big[4];
  PutLe32(big, MakeVideoPrefix(3, 2, 1024, 1536));  // as the recording generator writes it
  PutLe32(media, 0xF0u | (2u << 8) | (0xBEEFu << 10) | (0x3Fu << 26));  // codec bits 4-5 = 3, 6-7 set; mode 2
  struct Picture {  // offset: of the frame data in the payload; -1: left alone
    RecordHeader header; const uint8_t* payload; int result;
    unsigned type, mode, width, height; int offset; uint32_t length;
  } pictures[] = {
    {MakePlainHeader(RECORD_KEY_FRAME, 5, 2, 3, 0, 8), video, 1, 2, 3, 640, 480, 0, 8},
    {MakePlainHeader(RECORD_FRAME, 5, 0, 1, 0, 8), video, 1, 0, 0, 320, 240, 0, 8},
    {MakePlainHeader(RECORD_VIDEO_6, 5, 1, 2, 0, 8), video, 1, 1, 0, 640, 240, 0, 8},
    {MakePlainHeader(RECORD_VIDEO_7, 5, 2, 1, 0, 8), video, 1, 2, 3, 320, 240, 0, 8},
    {MakePlainHeader(RECORD_KEY_FRAME, 5, 2, 0, 0, 8), video, 0, 2, 0, KEPT16, KEPT16, -1, 8},
    {MakeExtendedHeader(RECORD_KEY_FRAME, 40, 0, 8), video, 1, 6, 1, 640, 480, 4, 4},
    {MakeExtendedHeader(RECORD_FRAME, 0, 0, 4), wide, 1, 15, 3, 2047, 2047, 4, 0},
    {MakeExtendedHeader(RECORD_VIDEO_7, 0, 0, 4), big, 1, 3, 2, 1024, 1536, 4, 0},
    {MakeExtendedHeader(RECORD_VIDEO_6, 0, 0, 3), video, 0, KEPT, 0, KEPT16, KEPT16, -1, 3},  // < 4
    {MakeExtendedHeader(RECORD_MEDIA, 3, 0, 6), media, 1, 3, 2, 0xBEEF, KEPT16, 4, 2},
    {MakeExtendedHeader(RECORD_MEDIA, 3, 0, 0), media, 0, KEPT, 0, KEPT16, KEPT16, -1, 0},  // < 4
    {MakePlainHeader(RECORD_MEDIA, 3, 2, 3, 0, 6), media, 1, 0, 0, 14850, KEPT16, 0, 6},
    {MakePlainHeader(3, 1, 2, 3, 0, 8), wide, 1, 0, 0, 0, 0, 0, 8},  // other kinds: no picture
    {MakeExtendedHeader(15, 1, 0, 8), wide, 1, 0, 0, 0, 0, 0, 8},
  };
  for (size_t i = 0; i < std::size(pictures); i++) {
    const Picture& row = pictures[i];
    FrameInfo f = Decoded(row.header);
    const int result = DeriveVideoFormat(&f, &row.header, row.payload);
    EXPECT_EQ(Values({(uint64_t)row.result, row.type, row.mode, row.width, row.height, row.length}),
              Values({(uint64_t)result, f.codecType, f.codecMode, f.width, f.height, f.length})) << i;
    EXPECT_EQ(row.offset < 0 ? nullptr : row.payload + row.offset, f.payload) << i;
  }
}

// The kinds of the records whose headers a walk like the export's reads.
std::vector<unsigned> WalkKinds(const Bytes& file) {
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
    EXPECT_TRUE(ReadRecordHeader(stream, &header) && SkipRecordPayload(stream, distance) == 0) << distance;
    EXPECT_EQ(RECORD_HEADER_SIZE + (int64_t)distance, PlatformTell(stream));
    EXPECT_EQ(0, ReadRecordHeader(stream, &header) + fclose(stream));
  }
  FILE* stream = fmemopen(file.data(), file.size(), "rb");  // cannot seek past its end
  ASSERT_EQ(1, ReadRecordHeader(stream, &header));
  EXPECT_EQ(-1, SkipRecordPayload(stream, 1000));
  EXPECT_EQ(0, SkipRecordPayload(stream, 0));
  EXPECT_EQ(0, SkipRecordPayload(stream, 4));
  EXPECT_EQ(14, PlatformTell(stream));
  fclose(stream);
}

const std::string READ_FAILED = "file_write() failed\n";

// What one ReadHeaderBlock call did: its code, whether it left the info
// alone, its standard output, and the stream position after the record head.
typedef std::tuple<int, bool, std::string, int64_t> BlockRead;

// Reads a kind-4 record declaring `length` payload bytes followed by `bytes` (fewer
// or more, cut to `cut`), from a file or a stream that cannot seek past its end.
BlockRead ReadBlock(uint32_t length, Bytes bytes, HeaderInfo* info, size_t cut = SIZE_MAX, bool inMemory = false) {
  Bytes file;
  bytes.resize(std::min(cut, bytes.size()));
  AppendRecord(&file, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, length), bytes);
  FILE* stream = inMemory ? fmemopen(file.data(), file.size(), "rb") : OpenBytes(file);
  RecordHeader header;
  HeaderInfo sentinel;
  memset(&sentinel, 0xA5, sizeof sentinel);
  *info = sentinel;
  EXPECT_TRUE(stream && ReadRecordHeader(stream, &header));
  testing::internal::CaptureStdout();
  int code = ReadHeaderBlock(stream, &header, info);
  std::string output = testing::internal::GetCapturedStdout();
  int64_t position = PlatformTell(stream) - RECORD_HEADER_SIZE;
  fclose(stream);
  return BlockRead(code, !memcmp(info, &sentinel, sizeof sentinel), output, position);
}

// Short and long forms, versions, entries, dates and cut blocks: the code, the
// output, where the stream stands after the block, and what it read.
TEST(HeaderBlock, FormsVersionsDatesAndEveryCut) {
  HeaderBlockLayout layout = {0, 0x12345678, 0, 0x8000000180000001ull};
  layout.baseCounts[0] = 1;
  layout.baseCounts[63] = 2;  // the last count, the second of channel 31
  const std::string refused = "(pdev->vantel.ver == 0)";
  struct Row { uint16_t version; uint32_t length; int code; int64_t at; std::string output; unsigned year = 2009; };
  const Row rows[] = {
    {1, 168, -5, 168, "", 1000}, {1, 180, 0, 180, "", 1001},  // only years 1001 to 2999 pass; a block
    {1, 168, 0, 168, "", 2999},  {1, 180, -5, 180, "", 3000},  // refused is passed over all the same
    {2, 20, 0, 20, ""},          // short form: the version at offset 30 lies beyond
    {0, 168, 0, 168, ""},        // version 0 passes in the short form,
    {2, 168, 0, 168, ""},        // version 2 has no extension there,
    {1, 158, 0, 158, ""},        // and the entries are not skipped
    {1, 12, -5, 12, ""},         // no year yet
    {0, 169, -3, 168, refused},  // long form
    {0, 524287, -3, 168, refused},
    {1, 169, 0, 180, ""},        // entries passed over, whatever the declared length
    {1, 524287, 0, 180, ""},
    {3, 180, 0, 180, ""},        // only version 2 has an extension
    {0xFFFF, 180, 0, 180, ""},
  };
  for (const Row& row : rows) {
    layout.version = row.version;
    layout.blockTime = MakePackedTime(row.year, 3, 5, 7, 4, 9);
    Bytes payload = MakeHeaderBlockPayload(layout);
    payload.resize(1000, 0x77);
    HeaderInfo info;
    EXPECT_EQ(BlockRead(row.code, row.code != 0, row.output, row.at), ReadBlock(row.length, payload, &info))
        << row.version << " " << row.length << " " << row.year;
    const uint16_t version = row.length > 30 ? row.version : 0;  // read at offset 30, or left 0
    if (row.code == 0) {
      EXPECT_EQ(std::make_tuple(version, 0x12345678u, layout.blockTime, 0x80000001ull),
                std::make_tuple(info.version, info.skipLength, info.blockTime, info.channels));
    }
  }
  // Every cut fails and leaves the result alone.
  HeaderInfo info;
  for (uint32_t length : {1u, 20u, 168u})  // short form
    for (size_t cut = 0; cut < length; cut++)
      EXPECT_EQ(BlockRead(-1, true, READ_FAILED, cut), ReadBlock(length, MakeHeaderBlockPayload({}), &info, cut));
  // Version 2: base, base entries, extension (channels 32-63), its entries.
  layout = {2, 0, MakePackedTime(2009, 3, 5, 7, 4, 9), 0x8000000500000003ull};
  layout.baseCounts[10] = 2;
  layout.extension = true;
  layout.extensionCounts[0] = 3;
  layout.extensionCounts[63] = 1;
  const Bytes payload = MakeHeaderBlockPayload(layout);
  const size_t extensionEnd = 168 + 8 + 164, size = payload.size();
  for (size_t cut = 0; cut <= size; cut++) {
    BlockRead read = ReadBlock((uint32_t)size, payload, &info, cut);
    if (cut >= extensionEnd)  // only unread entries are missing
      EXPECT_EQ(std::make_tuple(0, 0x8000000500000003ull, (int64_t)size),
                std::make_tuple(std::get<0>(read), info.channels, std::get<3>(read))) << cut;
    else if (cut < HEADER_BASE_SIZE)
      EXPECT_EQ(BlockRead(-2, true, READ_FAILED, cut), read) << cut;
    else  // after the seek over the base entries, the extension is cut
      EXPECT_EQ(BlockRead(-4, true, "", std::max<int64_t>(cut, 176)), read) << cut;
  }
  // Entries a stream cannot pass over hide the extension behind them.
  layout.baseCounts[10] = 100;  // 400 bytes of entries; the stream holds 196 of them
  EXPECT_EQ(BlockRead(-4, true, "", 168), ReadBlock(1000, MakeHeaderBlockPayload(layout), &info, 364, true));
}

const uint32_t NOON = 12 * 3600 * 1000;

TEST(RecordSync, TimesAreCloseWithinFiveMinutesAcrossMidnightToo) {
  const uint32_t DAY = 24 * 3600 * 1000, WINDOW = 5 * 60 * 1000;
  struct Case { uint32_t a, b; int close; } cases[] = {
    {NOON, NOON + WINDOW, 1}, {NOON + WINDOW + 1, NOON, 0}, {DAY - 1000, 2000, 1}, {DAY - 1000, DAY + 2000, 1},
    {DAY + 2000, 1000, 0},    {DAY - WINDOW, WINDOW + 1, 0}, {0, 134217727, 0}};
  for (const Case& c : cases) EXPECT_EQ(RecordTimesClose(c.a, c.b), c.close) << c.a << " " << c.b;
}

// A reader over bytes, freed with them.
struct Reader {
  explicit Reader(const Bytes& file) : stream(OpenBytes(file)) { RecordReaderInit(&reader, stream, file.size()); }
  ~Reader() { RecordReaderFree(&reader), fclose(stream); }
  FILE* stream;
  RecordReader reader;
};

Bytes Noise(std::mt19937* random, size_t size) {
  Bytes bytes(size);
  for (uint8_t& byte : bytes) byte = (uint8_t)(*random)();
  return bytes;
}

// Frames of two channels with noise for payloads, records of other kinds, header blocks
// of every layout, and a stretch of zeros written over by nothing (as a disk leaves
// them): every record is found from anywhere in the one before, by the time known there.
TEST(RecordSync, EveryRecordIsFoundFromAnywhereInTheRecordBeforeIt) {
  std::mt19937 random(7);
  Bytes file;
  std::vector<size_t> starts;
  std::vector<uint32_t> times;  // 0 for header blocks
  size_t zerosAt = 0;
  for (uint32_t i = 0, time = NOON; i < 120; i++, time += 40) {
    if (i % 30 == 0) {
      HeaderBlockLayout layout = {(uint16_t)(i == 60 ? 2 : 1), 0, MakePackedTime(2009, 3, 7, 12, 0, time / 1000 % 60),
                                  1ull | 1ull << 33};
      layout.extension = i == 60;
      layout.baseCounts[i / 30] = (uint16_t)(i / 30 * 5);
      layout.extensionCounts[1] = 3;
      starts.push_back(file.size()), times.push_back(0);
      AppendHeaderBlock(&file, layout);
    }
    if (i == 45) zerosAt = file.size(), file.resize(file.size() + 5000, 0);
    const unsigned others[] = {2, 3, 5, 6, 7, 8}, kind = i % 7 == 3 ? others[i % 6] : i % 10 != 0;
    Bytes payload = Noise(&random, 40 + random() % 3000);
    starts.push_back(file.size()), times.push_back(time);
    AppendRecord(&file, MakeExtendedHeader(kind, i % 2 * 33, time, (uint32_t)payload.size()), payload);
  }
  Reader r(file);
  const int64_t size = (int64_t)file.size();
  // The zeros read as empty untimed records: the first record after them is found.
  size_t after = 0;
  while (starts[after] <= zerosAt) after++;
  EXPECT_EQ(FindRecords(&r.reader, (int64_t)zerosAt, size, nullptr), (int64_t)starts[after]);
  const uint32_t* near = nullptr;  // the time the walk knew: of the last timed record up to here
  for (size_t i = 0; i < starts.size(); i++) {
    EXPECT_EQ(RecordsFollow(&r.reader, (int64_t)starts[i], 0, nullptr), 1) << "record " << i;
    if (times[i]) near = &times[i];
    // A single record before the zeros is too little to go by: the search finds the records after them.
    if (i + 1 == starts.size()) break;
    const size_t next = i + 1 == after - 1 ? after : i + 1;
    EXPECT_EQ(FindRecords(&r.reader, (int64_t)starts[i] + 1, size, near), (int64_t)starts[next]) << "after " << i;
  }
  // Nothing to find after the last record, nor in a stretch that ends early.
  EXPECT_EQ(FindRecords(&r.reader, (int64_t)starts.back() + 1, size, nullptr), -1);
  EXPECT_EQ(FindRecords(&r.reader, (int64_t)starts[5] + 1, (int64_t)starts[6], nullptr), -1);
  // A stray record whose length points at a header block is no start, unless timed near.
  const size_t block = starts[std::find(times.begin() + 1, times.end(), 0u) - times.begin()];  // the second block
  const uint32_t far = NOON + 3600 * 1000;
  RecordHeader header = MakeExtendedHeader(3, 0, far, 20);
  std::copy(header.bytes, header.bytes + RECORD_HEADER_SIZE, file.begin() + (long)block - 30);
  Reader stray(file);
  EXPECT_EQ(FindRecords(&stray.reader, (int64_t)block - 30, size, nullptr), (int64_t)block);
  EXPECT_EQ(FindRecords(&stray.reader, (int64_t)block - 30, size, &far), (int64_t)block - 30);
}

// Two channels recorded six hours apart, interleaved: each record is timed close to
// the last of its own channel. Records follow on from every record start, timed or
// not, and from no place inside the noise of a payload.
TEST(RecordSync, InterleavedChannelsHoursApartKeepTheirOwnTimes) {
  std::mt19937 random(3);
  Bytes file;
  std::vector<size_t> starts;
  KnownTimes known = {}, none = {};
  for (uint32_t i = 0; i < 12; i++) {
    RecordHeader header = MakeExtendedHeader(i > 1, i % 2, i == 5 ? 0 : NOON + (i % 2) * 6 * 3600 * 1000 + i * 40, 200);
    EXPECT_EQ(KnownTimesFit(&known, &header), i == 0 ? -1 : i == 1 || i == 5 ? 0 : 1) << i;  // -1: none known
    KnownTimesNote(&known, &header);
    starts.push_back(file.size());
    AppendRecord(&file, header, Noise(&random, 200));
  }
  const RecordHeader stranger = MakeExtendedHeader(1, 2, NOON + 6 * 3600 * 1000, 200);  // fits the latest time
  EXPECT_EQ(KnownTimesFit(&known, &stranger), 1);
  Reader r(file);
  for (size_t at = 0, record = 0; at < file.size(); at++) {
    const bool start = record < starts.size() && at == starts[record];
    EXPECT_EQ(RecordsFollowOn(&r.reader, (int64_t)at, start ? &none : &known, 0), start) << at;
    record += start;
  }
}

}  // namespace
