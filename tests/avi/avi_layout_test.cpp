// The bytes of the files the AVI writer produces: headers, stream blocks,
// chunks and index, checked field by field at their offsets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/avi/avi_test_files.h"

namespace {

typedef AviFileTest AviLayout;

TEST_F(AviLayout, EveryHeaderFieldAndIndexEntriesWithKeyFlagsAndEvenChunkStarts) {
  AviHandle* handle = AviCreateVideo(path.c_str(), 30.0f, "xvid", 320, 240);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(AviClose(handle, 0, 0, 0.0f), 0);
  const FileBytes empty = ReadBytes(path);
  ASSERT_EQ(empty.size(), 232u);
  ExpectFields(empty, {
      {0, "RIFF"}, {4, 224}, {8, "AVI "}, {12, "LIST"}, {16, 192}, {20, "hdrl"},
      {24, "avih"}, {28, 56}, {32, 33333}, {36, 0xFFFFFFFF}, {40, 0}, {44, 0x910}, {48, 0},
      {52, 0}, {56, 1}, {60, 100000}, {64, 320}, {68, 240}, {72, 0}, {76, 0}, {80, 0}, {84, 0},
      {88, "LIST"}, {92, 116}, {96, "strl"}, {100, "strh"}, {104, 56}, {108, "vids"}, {112, "xvid"},
      {116, 0}, {120, 0}, {124, 0}, {128, 1000}, {132, 30000}, {136, 0}, {140, 0}, {144, 100000},
      {148, 0xFFFFFFFF}, {152, 76800}, {156, 0}, {160, 320, 2}, {162, 240, 2},
      {164, "strf"}, {168, 40}, {172, 40}, {176, 320}, {180, 240}, {184, 1, 2}, {186, 24, 2},
      {188, "xvid"}, {192, 76800}, {196, 0}, {200, 0}, {204, 0}, {208, 0},
      {212, "LIST"}, {216, 4}, {220, "movi"}, {224, "idx1"}, {228, 0},
  });

  handle = AviCreateVideo(path.c_str(), 30.0f, "xvid", 320, 240);
  ASSERT_NE(handle, nullptr);
  struct Row {
    std::string data;
    int32_t key;
    uint32_t offset, flags;
  } rows[] = {{std::string(1001, 'k'), 1, 224, 0x10}, {"de", 0, 1234, 0}, {"", 0, 1244, 0}, {"kkkkk", 7, 1252, 0x10}};
  for (const Row& r : rows)
    ASSERT_EQ(AviWriteFrame(handle, r.data.data(), static_cast<int32_t>(r.data.size()), r.key), 0);
  ASSERT_EQ(AviClose(handle, 0, 0, 0.0f), 0);
  const FileBytes f = ReadBytes(path);
  ASSERT_EQ(f.size(), 1338u);
  ExpectFields(f, {{4, 1330}, {48, 4}, {140, 4}, {216, 1046}, {1266, "idx1"}, {1270, 64}});
  for (size_t i = 0; i < 4; i++) {
    const Row& r = rows[i];
    const uint32_t size = static_cast<uint32_t>(r.data.size());
    ExpectFields(f, {{0, "00dc"}, {4, r.flags}, {8, r.offset}, {12, size}}, 1274 + 16 * i);
    ExpectFields(f, {{0, "00dc"}, {4, size}}, r.offset);
    EXPECT_EQ(std::string(f.begin() + r.offset + 8, f.begin() + r.offset + 8 + size + size % 2),
              r.data + std::string(size % 2, '\0'));
  }
  // Every other header byte is the empty file's.
  for (size_t i = 0; i < 224; i++) {
    bool changed = i / 4 == 1 || i / 4 == 12 || i / 4 == 35 || i / 4 == 54;
    ASSERT_EQ(f[i], changed ? f[i] : empty[i]) << "at " << i;
  }
}

// The rate is truncated to whole frames per second; the close changes only
// the video block, and only with values above zero.
TEST_F(AviLayout, RatesAndTheValuesGivenAtClose) {
  struct Row {
    float rate;
    int32_t closeWidth, closeHeight;
    float closeRate;
    uint32_t microseconds, width, height, streamRate;
  } rows[] = {
      {30.0f, 0, 0, 0.0f, 33333, 320, 240, 30000},   {25.0f, 0, -5, 0.9f, 40000, 320, 240, 25000},
      {29.97f, 0, 0, -1.0f, 34482, 320, 240, 29000}, {30.0f, 704, 576, 12.5f, 33333, 704, 576, 12000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.rate);
    AviHandle* handle = AviCreateVideo(path.c_str(), r.rate, "xvid", 320, 240);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(AviClose(handle, r.closeWidth, r.closeHeight, r.closeRate), 0);
    const uint32_t w = r.width, h = r.height;
    ExpectFields(ReadBytes(path), {{32, r.microseconds}, {64, 320}, {68, 240}, {128, 1000}, {132, r.streamRate},
                                   {152, w * h}, {160, w, 2}, {162, h, 2}, {176, w}, {180, h}, {192, w * h}});
  }
}

TEST_F(AviLayout, AudioAndTextStreamsFollowTheVideoStream) {
  AviHandle* handle = AviCreate(path.c_str(), 30.0f, "xvid", 64, 48, 1, 1, 1, 2, 44100, 16);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(std::vector<int32_t>({handle->streamCount, handle->audioStream, handle->textStream}),
            std::vector<int32_t>({3, 1, 2}));
  ASSERT_EQ(AviWriteFrame(handle, "v", 1, 1), 0);
  ASSERT_EQ(AviWriterWriteChunk(handle->writer, 1, "aaaa", 4, 0), 0);
  ASSERT_EQ(AviWriterWriteChunk(handle->writer, 2, "hello", 5, 0), 0);
  ASSERT_EQ(AviClose(handle, 0, 0, 0.0f), 0);

  // Header: 88 + 124 + 102 + 84 = 398, movi data at 410; video chunk 8 + 1 + pad,
  // audio 8 + 4, text 8 + 5 + pad.
  FileBytes f = ReadBytes(path);
  ExpectFields(f, {{16, 378}, {56, 3}, {48, 3}, {140, 1}, {398, "LIST"}, {406, "movi"}, {410, "00dc"},
                   {420, "01wb"}, {432, "02tx"}, {446, "idx1"}});
  ExpectFields(f, {
      {0, "LIST"}, {4, 94}, {16, 56}, {20, "auds"}, {24, 0}, {28, 0}, {32, 0}, {36, 0}, {40, 1},
      {44, 44100}, {48, 0}, {52, 1}, {56, 44100}, {60, 0}, {64, 2}, {68, 0}, {72, 0}, {76, "strf"},
      {80, 18}, {84, 1, 2}, {86, 2, 2}, {88, 44100}, {92, 176400}, {96, 4, 2}, {98, 16, 2}, {100, 0, 2},
  }, 212);
  ExpectFields(f, {
      {0, "LIST"}, {4, 76}, {20, "txts"}, {24, 0}, {40, 0}, {44, 0}, {48, 0}, {52, 1}, {56, 1},
      {60, 0}, {64, 1}, {76, "strf"}, {80, 0},
  }, 314);

  // Edge values: 8-bit mono at 0 samples per second; 24-bit, 6 channels, a tag above 16 bits.
  f = Written({VideoSpec(8, 8, 30), AudioSpec(0x55, 1, 0, 8), AudioSpec(0xFFFE1, 6, 48000, 24)}, [](AviWriter*) {});
  ExpectFields(f, {{44, 1}, {56, 0}, {64, 1}, {84, 0x55, 2}, {96, 1, 2}}, 212);
  ExpectFields(f, {{44, 48000}, {64, 3}, {84, 0xFFE1, 2}, {86, 6, 2}, {92, 864000}, {96, 18, 2}, {98, 24, 2}}, 314);
}

TEST_F(AviLayout, NamedStreamsCarryStrnChunksPaddedToEvenLength) {
  struct Row {
    std::string name;
    uint32_t size;  // with the NUL
    size_t chunk;   // with its head and pad
  } rows[] = {{"cam", 4, 12}, {"mics", 5, 14}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::string name = r.name;
    FileBytes f = Written({VideoSpec(8, 8, 30, name.c_str())}, [&](AviWriter* writer) {
      name.assign(name.size(), 'X');  // the writer keeps its own copy
      EXPECT_EQ(AviWriterWriteChunk(writer, 0, "ab", 2, 1), 0);
    });
    const size_t movi = 212 + r.chunk;
    ExpectFields(f, {{4, static_cast<uint32_t>(f.size() - 8)}, {16, static_cast<uint32_t>(movi - 20)},
                     {92, static_cast<uint32_t>(116 + r.chunk)}, {212, "strn"}, {216, r.size}, {movi, "LIST"},
                     {movi + 8, "movi"}, {movi + 12, "00dc"}, {movi + 38, static_cast<uint32_t>(movi + 12)}});
    EXPECT_EQ(std::string(f.begin() + 220, f.begin() + 212 + static_cast<long>(r.chunk)),
              r.name + std::string(r.chunk - 8 - r.name.size(), '\0'));
  }
}

TEST_F(AviLayout, StreamNumbersAreTwoHexDigitsAndTheFirstVideoStreamFeedsTheMainHeader) {
  std::vector<AviStreamSpec> streams(11, VideoSpec(8, 8, 30));
  streams[0] = AudioSpec(1, 1, 8000, 16);
  streams[1] = VideoSpec(352, 288, 25);
  FileBytes f = Written(streams, [](AviWriter* writer) {
    EXPECT_EQ(AviWriterWriteChunk(writer, 10, "abcd", 4, 1), 0);
    EXPECT_EQ(AviWriterWriteChunk(writer, 10, "abcd", 4, 0), 0);
  });
  // Chunk and index entry; stream 1 is empty, stream 10 holds both.
  const size_t movi = 88 + 102 + 10 * 124 + 12, stream1 = 88 + 102;
  ExpectFields(f, {{32, 40000}, {64, 352}, {68, 288}, {movi, "0adc"}, {movi + 32, "0adc"}, {stream1 + 52, 0},
                   {stream1 + 9 * 124 + 52, 2}, {48, 2}});
  // Without a video stream the frame duration and picture size are zero.
  f = Written({AudioSpec(1, 1, 8000, 16)}, [](AviWriter* writer) {
    EXPECT_EQ(AviWriterWriteChunk(writer, 0, "ab", 2, 1), 0);
  });
  ExpectFields(f, {{32, 0}, {64, 0}, {68, 0}, {88 + 102 + 12, "00wb"}});
}

}  // namespace
