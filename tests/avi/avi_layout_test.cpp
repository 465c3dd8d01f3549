// The bytes of the files the AVI writer produces: headers, stream blocks,
// chunks and index.
#include "tests/avi/avi_test_files.h"

namespace {

// The header of a one-stream file opened at 320x240, 30 frames per second.
std::vector<Word> Header(uint32_t riff, uint32_t frames, uint32_t movi, uint32_t microseconds = 33333,
                         uint32_t rate = 30000, uint32_t width = 320, uint32_t height = 240) {
  return {"RIFF", riff, "AVI ", "LIST", 192, "hdrl", "avih", 56, microseconds, 0xFFFFFFFF, 0, 0x910, frames,
          0, 1, 100000, 320, 240, 0, 0, 0, 0,
          "LIST", 116, "strl", "strh", 56, "vids", "xvid", 0, 0, 0, 1000, rate, 0, frames, 100000, 0xFFFFFFFF,
          width * height, 0, Le16(width), Le16(height),
          "strf", 40, 40, width, height, Le16(1), Le16(24), "xvid", width * height, 0, 0, 0, 0,
          "LIST", movi, "movi"};
}

struct AviLayout : AviFileTest {
  // A video file opened at 320x240 and `rate`, holding `frames` (data, key flag).
  Bytes Video(float rate, std::vector<std::pair<std::string, int32_t>> frames, int32_t width = 0, int32_t height = 0,
              float closeRate = 0) {
    AviHandle* handle = AviCreateVideo(path.c_str(), rate, "xvid", 320, 240);
    EXPECT_NE(handle, nullptr);
    for (const auto& f : frames) EXPECT_EQ(AviWriteFrame(handle, f.first.data(), (int32_t)f.first.size(), f.second), 0);
    EXPECT_EQ(AviClose(handle, width, height, closeRate), 0);
    return ReadFileBytes(path.c_str());
  }
};

TEST_F(AviLayout, HeaderIndexEntriesWithKeyFlagsAndEvenChunkStarts) {
  Bytes f = Video(30.0f, {});
  ASSERT_EQ(f.size(), 232u);
  ExpectRun(f, 0, Header(224, 0, 4));
  ExpectRun(f, 224, {"idx1", 0});

  struct Row { std::string data; int32_t key; uint32_t offset, flags; } rows[] = {
      {std::string(1001, 'k'), 1, 224, 0x10}, {"de", 0, 1234, 0}, {"", 0, 1244, 0}, {"kkkkk", 7, 1252, 0x10}};
  f = Video(30.0f, {{rows[0].data, 1}, {rows[1].data, 0}, {rows[2].data, 0}, {rows[3].data, 7}});
  ASSERT_EQ(f.size(), 1338u);
  ExpectRun(f, 0, Header(1330, 4, 1046));
  ExpectRun(f, 1266, {"idx1", 64});
  for (size_t i = 0; i < 4; i++) {
    const Row& r = rows[i];
    const uint32_t size = (uint32_t)r.data.size();
    ExpectRun(f, 1274 + 16 * i, {"00dc", r.flags, r.offset, size});
    ExpectRun(f, r.offset, {"00dc", size});
    EXPECT_EQ(std::string(f.begin() + r.offset + 8, f.begin() + r.offset + 8 + size + size % 2),
              r.data + std::string(size % 2, '\0'));
  }
}

// The rate is truncated to whole frames per second; the close changes only
// the video block, and only with values above zero.
TEST_F(AviLayout, RatesAndTheValuesGivenAtClose) {
  struct Row { float rate; int32_t closeWidth, closeHeight; float closeRate; uint32_t microseconds, streamRate, width, height; } rows[] = {
      {30.0f, 0, 0, 0.0f, 33333, 30000, 320, 240},   {25.0f, 0, -5, 0.9f, 40000, 25000, 320, 240},
      {29.97f, 0, 0, -1.0f, 34482, 29000, 320, 240}, {30.0f, 704, 576, 12.5f, 33333, 12000, 704, 576},
      {0.5f, 0, 0, 0.0f, 0, 0, 320, 240},  // no whole rate: no frame duration
  };
  for (const Row& r : rows)
    ExpectRun(Video(r.rate, {}, r.closeWidth, r.closeHeight, r.closeRate), 0,
              Header(224, 0, 4, r.microseconds, r.streamRate, r.width, r.height));
}

TEST_F(AviLayout, AudioAndTextStreamsFollowTheVideoStream) {
  AviHandle* handle = AviCreate(path.c_str(), 30.0f, "xvid", 64, 48, 1, 1, 1, 2, 44100, 16);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(AviWriteFrame(handle, "v", 1, 1), 0);
  ASSERT_EQ(AviWriterWriteChunk(handle->writer, handle->audioStream, "aaaa", 4, 0), 0);
  ASSERT_EQ(AviWriterWriteChunk(handle->writer, handle->textStream, "hello", 5, 0), 0);
  ASSERT_EQ(AviClose(handle, 0, 0, 0.0f), 0);
  // Blocks of 88 + 124 + 102 + 84 bytes; video chunk 8 + 1 + pad, audio 8 + 4, text 8 + 5 + pad.
  Bytes f = ReadFileBytes(path.c_str());
  ExpectAt(f, {{16, 378}, {48, 3}, {56, 3}, {140, 1}, {398, "LIST"}, {406, "movi"}, {410, "00dc"}, {420, "01wb"},
               {432, "02tx"}, {446, "idx1"}});
  ExpectRun(f, 212, {"LIST", 94, "strl", "strh", 56, "auds", 0, 0, 0, 0, 1, 44100, 0, 1, 44100, 0, 2, 0, 0,
                     "strf", 18, Le16(1), Le16(2), 44100, 176400, Le16(4), Le16(16), Le16(0),
                     "LIST", 76, "strl", "strh", 56, "txts", 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 1, 0, 0, "strf", 0});
  // Edge values: 8-bit mono at 0 samples per second; 24-bit, 6 channels, a tag above 16 bits.
  f = Written({VideoSpec(8, 8, 30), AudioSpec(0x55, 1, 0, 8), AudioSpec(0xFFFE1, 6, 48000, 24)}, [](AviWriter*) {});
  ExpectAt(f, {{44, 1}, {56, 0}, {64, 1}, {84, Le16(0x55)}, {96, Le16(1)}}, 212);
  ExpectAt(f, {{44, 48000}, {64, 3}, {84, Le16(0xFFE1)}, {86, Le16(6)}, {92, 864000}, {96, Le16(18)}, {98, Le16(24)}},
           314);
}

// Names: "strn" chunks padded to even length, copied at open. Stream numbers:
// two hex digits. The first video stream feeds the main header; without one
// the frame duration and picture size are zero.
TEST_F(AviLayout, NamesStreamNumbersAndTheMainHeader) {
  char cam[] = "cam", mics[] = "mics";
  std::vector<AviStreamSpec> streams(11, VideoSpec(8, 8, 30));
  streams[0] = AudioSpec(1, 1, 8000, 16);
  streams[1] = VideoSpec(352, 288, 25, cam);
  streams[2].name = mics;
  Bytes f = Written(streams, [&](AviWriter* writer) {
    strcpy(cam, "XXX"), strcpy(mics, "XXXX");
    EXPECT_EQ(AviWriterWriteChunk(writer, 10, "abcd", 4, 1), 0);
    EXPECT_EQ(AviWriterWriteChunk(writer, 10, "abcd", 4, 0), 0);
  });
  const size_t stream1 = 88 + 102, stream2 = stream1 + 124 + 12, movi = stream2 + 9 * 124 + 14;
  ExpectAt(f, {{16, (uint32_t)movi - 20}, {32, 40000}, {48, 2}, {64, 352}, {68, 288}, {stream1 + 4, 128},
               {stream1 + 52, 0}, {stream1 + 124, "strn"}, {stream1 + 128, 4}, {stream1 + 132, "cam\0"},
               {stream2 + 4, 130}, {stream2 + 124, "strn"}, {stream2 + 128, 5}, {stream2 + 132, "mics"},
               {stream2 + 136, Le16(0)}, {movi - 124 + 52, 2}, {movi + 12, "0adc"}, {movi + 44, "0adc"}});
  f = Written({AudioSpec(1, 1, 8000, 16)}, [](AviWriter* writer) { AviWriterWriteChunk(writer, 0, "ab", 2, 1); });
  ExpectAt(f, {{32, 0}, {48, 1}, {64, 0}, {68, 0}, {88 + 102 + 12, "00wb"}});
}

}  // namespace
