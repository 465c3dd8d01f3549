// The bytes of the files the AVI writer produces: headers, stream blocks,
// chunks and index, checked field by field at their offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "avi/avi_writer.h"
#include "tests/avi/avi_test_files.h"

namespace {

struct Field32 {
  size_t offset;
  uint32_t value;
  const char* name;
};

void ExpectFields(const FileBytes& bytes, const std::vector<Field32>& fields) {
  for (const Field32& f : fields) EXPECT_EQ(Le32(bytes, f.offset), f.value) << f.name << " at " << f.offset;
}

AviStreamSpec VideoSpec(int32_t width, int32_t height, int32_t rate, const char* name = nullptr) {
  AviStreamSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.kind = AVI_STREAM_VIDEO;
  spec.name = name;
  spec.video.width = width;
  spec.video.height = height;
  spec.video.rate = rate;
  memcpy(spec.video.handler, "xvid", 4);
  return spec;
}

AviStreamSpec AudioSpec(int32_t tag, int32_t channels, int32_t rate, int32_t bits, const char* name = nullptr) {
  AviStreamSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.kind = AVI_STREAM_AUDIO;
  spec.name = name;
  spec.audio.formatTag = tag;
  spec.audio.channels = channels;
  spec.audio.samplesPerSecond = rate;
  spec.audio.bitsPerSample = bits;
  return spec;
}

AviStreamSpec TextSpec(const char* name = nullptr) {
  AviStreamSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.kind = AVI_STREAM_TEXT;
  spec.name = name;
  return spec;
}

class AviLayout : public ::testing::Test {
 protected:
  ScratchDir scratch;
  std::string path = scratch.Path("clip.avi");
};

TEST_F(AviLayout, EmptyVideoFileIs232BytesWithEveryHeaderField) {
  AviHandle* handle = AviCreateVideo(path.c_str(), 30.0f, "xvid", 320, 240);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(AviClose(handle, 0, 0, 0.0f), 0);

  FileBytes f = ReadBytes(path);
  ASSERT_EQ(f.size(), 232u);
  EXPECT_EQ(Tag(f, 0), "RIFF");
  EXPECT_EQ(Tag(f, 8), "AVI ");
  EXPECT_EQ(Tag(f, 12), "LIST");
  EXPECT_EQ(Tag(f, 20), "hdrl");
  EXPECT_EQ(Tag(f, 24), "avih");
  EXPECT_EQ(Tag(f, 88), "LIST");
  EXPECT_EQ(Tag(f, 96), "strl");
  EXPECT_EQ(Tag(f, 100), "strh");
  EXPECT_EQ(Tag(f, 108), "vids");
  EXPECT_EQ(Tag(f, 112), "xvid");
  EXPECT_EQ(Tag(f, 164), "strf");
  EXPECT_EQ(Tag(f, 188), "xvid");
  EXPECT_EQ(Tag(f, 212), "LIST");
  EXPECT_EQ(Tag(f, 220), "movi");
  EXPECT_EQ(Tag(f, 224), "idx1");
  ExpectFields(f, {
      {4, 224, "RIFF size"},
      {16, 192, "hdrl size"},
      {28, 56, "avih size"},
      {32, 33333, "microseconds per frame"},
      {36, 0xFFFFFFFF, "max bytes per second"},
      {40, 0, "padding granularity"},
      {44, 0x910, "flags"},
      {48, 0, "total frames"},
      {52, 0, "initial frames"},
      {56, 1, "streams"},
      {60, 100000, "suggested buffer size"},
      {64, 320, "width"},
      {68, 240, "height"},
      {72, 0, "reserved"}, {76, 0, "reserved"}, {80, 0, "reserved"}, {84, 0, "reserved"},
      {92, 116, "strl size"},
      {104, 56, "strh size"},
      {116, 0, "strh flags"},
      {120, 0, "priority and language"},
      {124, 0, "strh initial frames"},
      {128, 1000, "scale"},
      {132, 30000, "rate"},
      {136, 0, "start"},
      {140, 0, "length"},
      {144, 100000, "strh suggested buffer size"},
      {148, 0xFFFFFFFF, "quality"},
      {152, 76800, "sample size"},
      {156, 0, "frame left and top"},
      {168, 40, "strf size"},
      {172, 40, "biSize"},
      {176, 320, "biWidth"},
      {180, 240, "biHeight"},
      {192, 76800, "biSizeImage"},
      {196, 0, "x resolution"}, {200, 0, "y resolution"}, {204, 0, "colours used"},
      {208, 0, "colours important"},
      {216, 4, "movi size"},
      {228, 0, "index size"},
  });
  EXPECT_EQ(Le16(f, 160), 320);  // frame right
  EXPECT_EQ(Le16(f, 162), 240);  // frame bottom
  EXPECT_EQ(Le16(f, 184), 1);    // planes
  EXPECT_EQ(Le16(f, 186), 24);   // bit count
}

TEST_F(AviLayout, ProvisionalHeaderHasPlaceholdersUntilFinished) {
  AviWriter* writer = nullptr;
  AviStreamSpec video = VideoSpec(64, 48, 30);
  ASSERT_EQ(AviWriterOpen(path.c_str(), 1, &video, &writer), 0);
  EXPECT_EQ(writer->moviDataStart, 224);
  EXPECT_EQ(writer->moviEnd, 0);
  EXPECT_EQ(writer->fileSize, 0);
  ASSERT_EQ(AviWriterWriteChunk(writer, 0, "abcd", 4, 1), 0);
  ASSERT_EQ(fflush(writer->aviFile), 0);

  // What a reader finds in a file whose writer never finished.
  FileBytes f = ReadBytes(path);
  ASSERT_EQ(f.size(), 236u);
  EXPECT_EQ(Le32(f, 4), 0xFFFFFFFFu);    // RIFF size
  EXPECT_EQ(Le32(f, 48), 0u);            // total frames
  EXPECT_EQ(Le32(f, 140), 0u);           // video length
  EXPECT_EQ(Le32(f, 216), 0xFFFFFFFFu);  // movi size
  EXPECT_EQ(Tag(f, 224), "00dc");

  ASSERT_EQ(AviWriterFinish(writer), 0);
  f = ReadBytes(path);
  ASSERT_EQ(f.size(), 236u + 8 + 16);
  EXPECT_EQ(Le32(f, 4), f.size() - 8);
  EXPECT_EQ(Le32(f, 48), 1u);
  EXPECT_EQ(Le32(f, 140), 1u);
  EXPECT_EQ(Le32(f, 216), 16u);
}

TEST_F(AviLayout, OneKeyFrameOf1001BytesGivesThe1258ByteFile) {
  AviHandle* handle = AviCreateVideo(path.c_str(), 30.0f, "xvid", 320, 240);
  ASSERT_NE(handle, nullptr);
  std::vector<uint8_t> frame(1001);
  for (size_t i = 0; i < frame.size(); i++) frame[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(AviWriteFrame(handle, frame.data(), 1001, 1), 0);
  ASSERT_EQ(AviClose(handle, 320, 240, 30.0f), 0);

  FileBytes f = ReadBytes(path);
  ASSERT_EQ(f.size(), 1258u);
  EXPECT_EQ(Le32(f, 4), 1250u);   // RIFF size
  EXPECT_EQ(Le32(f, 48), 1u);     // total frames
  EXPECT_EQ(Le32(f, 140), 1u);    // video length
  EXPECT_EQ(Le32(f, 216), 1014u); // movi size
  EXPECT_EQ(Tag(f, 224), "00dc");
  EXPECT_EQ(Le32(f, 228), 1001u);
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), f.begin() + 232));
  EXPECT_EQ(f[1233], 0);          // pad byte
  EXPECT_EQ(Tag(f, 1234), "idx1");
  EXPECT_EQ(Le32(f, 1238), 16u);
  EXPECT_EQ(Tag(f, 1242), "00dc");
  EXPECT_EQ(Le32(f, 1246), 0x10u);  // key frame
  EXPECT_EQ(Le32(f, 1250), 224u);   // absolute offset
  EXPECT_EQ(Le32(f, 1254), 1001u);
}

TEST_F(AviLayout, IndexEntriesAreAbsoluteWithKeyFlagsAndEvenChunkStarts) {
  AviHandle* handle = AviCreateVideo(path.c_str(), 30.0f, "xvid", 16, 16);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(AviWriteFrame(handle, "key", 3, 1), 0);   // 224: 8 + 3 + pad
  ASSERT_EQ(AviWriteFrame(handle, "de", 2, 0), 0);    // 236: 8 + 2
  ASSERT_EQ(AviWriteFrame(handle, "", 0, 0), 0);      // 246: 8
  ASSERT_EQ(AviWriteFrame(handle, "kkkkk", 5, 7), 0); // 254: any non-zero flag is a key frame
  ASSERT_EQ(AviClose(handle, 0, 0, 0.0f), 0);

  FileBytes f = ReadBytes(path);
  const size_t index = 268;
  ASSERT_EQ(Tag(f, index), "idx1");
  EXPECT_EQ(Le32(f, index + 4), 64u);
  const uint32_t offsets[] = {224, 236, 246, 254};
  const uint32_t flags[] = {0x10, 0, 0, 0x10};
  const uint32_t sizes[] = {3, 2, 0, 5};
  for (int i = 0; i < 4; i++) {
    size_t e = index + 8 + 16 * static_cast<size_t>(i);
    EXPECT_EQ(Tag(f, e), "00dc") << i;
    EXPECT_EQ(Le32(f, e + 4), flags[i]) << i;
    EXPECT_EQ(Le32(f, e + 8), offsets[i]) << i;
    EXPECT_EQ(Le32(f, e + 12), sizes[i]) << i;
    EXPECT_EQ(Tag(f, offsets[i]), "00dc") << i;
    EXPECT_EQ(Le32(f, offsets[i] + 4), sizes[i]) << i;
  }
  EXPECT_EQ(f[224 + 8 + 3], 0);
  EXPECT_EQ(Le32(f, 216), 268u - 224 + 4);
  EXPECT_EQ(Le32(f, 48), 4u);
  EXPECT_EQ(Le32(f, 140), 4u);
}

// Rate as given to the handle layer -> microseconds per frame, strh rate.
struct RateCase {
  float rate;
  uint32_t microseconds;
  uint32_t streamRate;
};

class AviRates : public AviLayout, public ::testing::WithParamInterface<RateCase> {};

TEST_P(AviRates, RateIsTruncatedToWholeFramesPerSecond) {
  const RateCase& c = GetParam();
  AviHandle* handle = AviCreateVideo(path.c_str(), c.rate, "xvid", 8, 8);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(AviClose(handle, 0, 0, 0.0f), 0);
  FileBytes f = ReadBytes(path);
  EXPECT_EQ(Le32(f, 32), c.microseconds);
  EXPECT_EQ(Le32(f, 128), 1000u);
  EXPECT_EQ(Le32(f, 132), c.streamRate);
}

INSTANTIATE_TEST_SUITE_P(Rates, AviRates,
                         ::testing::Values(RateCase{30.0f, 33333, 30000}, RateCase{25.0f, 40000, 25000},
                                           RateCase{29.97f, 34482, 29000}, RateCase{12.9f, 83333, 12000},
                                           RateCase{1.0f, 1000000, 1000}),
                         [](const ::testing::TestParamInfo<RateCase>& info) {
                           return "Rate" + std::to_string(static_cast<int>(info.param.rate * 100));
                         });

TEST_F(AviLayout, CloseChangesOnlyTheVideoBlockAndKeepsValuesNotAboveZero) {
  AviHandle* handle = AviCreateVideo(path.c_str(), 30.0f, "xvid", 320, 240);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(AviClose(handle, 0, -5, -1.0f), 0);
  FileBytes f = ReadBytes(path);
  EXPECT_EQ(Le32(f, 176), 320u);
  EXPECT_EQ(Le32(f, 180), 240u);
  EXPECT_EQ(Le32(f, 132), 30000u);

  handle = AviCreateVideo(path.c_str(), 30.0f, "xvid", 320, 240);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(AviClose(handle, 704, 576, 12.5f), 0);
  f = ReadBytes(path);
  // Main header: as at creation.
  EXPECT_EQ(Le32(f, 32), 33333u);
  EXPECT_EQ(Le32(f, 64), 320u);
  EXPECT_EQ(Le32(f, 68), 240u);
  // Video block: the values given at close.
  EXPECT_EQ(Le32(f, 132), 12000u);
  EXPECT_EQ(Le32(f, 152), 704u * 576u);
  EXPECT_EQ(Le16(f, 160), 704);
  EXPECT_EQ(Le16(f, 162), 576);
  EXPECT_EQ(Le32(f, 176), 704u);
  EXPECT_EQ(Le32(f, 180), 576u);
  EXPECT_EQ(Le32(f, 192), 704u * 576u);

  // A rate below one whole frame keeps the rate given at creation.
  handle = AviCreateVideo(path.c_str(), 25.0f, "xvid", 8, 8);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(AviClose(handle, 0, 0, 0.9f), 0);
  EXPECT_EQ(Le32(ReadBytes(path), 132), 25000u);
}

TEST_F(AviLayout, AudioAndTextStreamsFollowTheVideoStream) {
  AviHandle* handle = AviCreate(path.c_str(), 30.0f, "xvid", 64, 48, 1, 1, 1, 2, 44100, 16);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->streamCount, 3);
  EXPECT_EQ(handle->audioStream, 1);
  EXPECT_EQ(handle->textStream, 2);
  ASSERT_EQ(AviWriteFrame(handle, "v", 1, 1), 0);
  ASSERT_EQ(AviWriterWriteChunk(handle->writer, 1, "aaaa", 4, 0), 0);
  ASSERT_EQ(AviWriterWriteChunk(handle->writer, 2, "hello", 5, 0), 0);
  ASSERT_EQ(AviClose(handle, 0, 0, 0.0f), 0);

  FileBytes f = ReadBytes(path);
  // Header: 88 + 124 + 102 + 84 = 398; movi head to 410.
  EXPECT_EQ(Le32(f, 16), 378u);
  EXPECT_EQ(Le32(f, 56), 3u);
  const size_t a = 212;  // audio block
  EXPECT_EQ(Tag(f, a), "LIST");
  ExpectFields(f, {
      {a + 4, 94, "audio strl size"},
      {a + 16, 56, "strh size"},
      {a + 24, 0, "handler"},
      {a + 28, 0, "flags"}, {a + 32, 0, "priority, language"}, {a + 36, 0, "initial frames"},
      {a + 40, 1, "scale"},
      {a + 44, 44100, "rate"},
      {a + 48, 0, "start"},
      {a + 52, 1, "length"},
      {a + 56, 44100, "suggested buffer size"},
      {a + 60, 0, "quality"},
      {a + 64, 2, "sample size"},
      {a + 68, 0, "frame"}, {a + 72, 0, "frame"},
      {a + 80, 18, "strf size"},
      {a + 88, 44100, "samples per second"},
      {a + 92, 176400, "average bytes per second"},
  });
  EXPECT_EQ(Tag(f, a + 20), "auds");
  EXPECT_EQ(Tag(f, a + 76), "strf");
  EXPECT_EQ(Le16(f, a + 84), 1);    // format tag
  EXPECT_EQ(Le16(f, a + 86), 2);    // channels
  EXPECT_EQ(Le16(f, a + 96), 4);    // block align
  EXPECT_EQ(Le16(f, a + 98), 16);   // bits per sample
  EXPECT_EQ(Le16(f, a + 100), 0);   // extra size

  const size_t t = 314;  // text block
  EXPECT_EQ(Tag(f, t), "LIST");
  EXPECT_EQ(Tag(f, t + 20), "txts");
  EXPECT_EQ(Tag(f, t + 76), "strf");
  ExpectFields(f, {
      {t + 4, 76, "text strl size"},
      {t + 24, 0, "handler"}, {t + 40, 0, "scale"}, {t + 44, 0, "rate"}, {t + 48, 0, "start"},
      {t + 52, 1, "length"},
      {t + 56, 1, "suggested buffer size"},
      {t + 60, 0, "quality"},
      {t + 64, 1, "sample size"},
      {t + 80, 0, "strf size"},
  });
  EXPECT_EQ(Tag(f, 398), "LIST");
  EXPECT_EQ(Tag(f, 406), "movi");
  // Chunks: video at 410 (8 + 1 + pad), audio at 420, text at 432 (8 + 5 + pad).
  EXPECT_EQ(Tag(f, 410), "00dc");
  EXPECT_EQ(Tag(f, 420), "01wb");
  EXPECT_EQ(Tag(f, 432), "02tx");
  EXPECT_EQ(Tag(f, 446), "idx1");
  EXPECT_EQ(Le32(f, 48), 3u);    // total frames: every chunk
  EXPECT_EQ(Le32(f, 140), 1u);   // video length: video chunks only
  EXPECT_EQ(Le32(f, a + 52), 1u);
}

TEST_F(AviLayout, AudioFieldsFollowTheirFormulas) {
  // 8-bit mono at 0 samples per second: rate 1; 24-bit 6-channel 48 kHz.
  AviStreamSpec streams[] = {VideoSpec(8, 8, 30), AudioSpec(0x55, 1, 0, 8), AudioSpec(0xFFFE1, 6, 48000, 24)};
  AviWriter* writer = nullptr;
  ASSERT_EQ(AviWriterOpen(path.c_str(), 3, streams, &writer), 0);
  ASSERT_EQ(AviWriterFinish(writer), 0);
  FileBytes f = ReadBytes(path);
  const size_t a = 212, b = 314;
  EXPECT_EQ(Le32(f, a + 44), 1u);
  EXPECT_EQ(Le32(f, a + 56), 0u);
  EXPECT_EQ(Le32(f, a + 64), 1u);
  EXPECT_EQ(Le16(f, a + 84), 0x55);
  EXPECT_EQ(Le16(f, a + 96), 1);
  EXPECT_EQ(Le32(f, b + 44), 48000u);
  EXPECT_EQ(Le32(f, b + 64), 3u);           // not multiplied by channels
  EXPECT_EQ(Le16(f, b + 84), 0xFFE1);       // low 16 bits of the tag
  EXPECT_EQ(Le16(f, b + 86), 6);
  EXPECT_EQ(Le32(f, b + 92), 864000u);      // 24 * 48000 / 8 * 6
  EXPECT_EQ(Le16(f, b + 96), 18);
  EXPECT_EQ(Le16(f, b + 98), 24);
}

TEST_F(AviLayout, NamedStreamsCarryStrnChunksPaddedToEvenLength) {
  // "cam" + NUL = 4 bytes (even, no pad, chunk 12); "mics" + NUL = 5 (pad, chunk 14);
  // "subtitle" + NUL = 9 (pad, chunk 18).
  char videoName[] = "cam";
  char audioName[] = "mics";
  char textName[] = "subtitle";
  AviStreamSpec streams[] = {VideoSpec(8, 8, 30, videoName), AudioSpec(1, 1, 8000, 16, audioName),
                             TextSpec(textName)};
  AviWriter* writer = nullptr;
  ASSERT_EQ(AviWriterOpen(path.c_str(), 3, streams, &writer), 0);
  // The writer keeps its own copies.
  videoName[0] = audioName[0] = textName[0] = 'X';
  ASSERT_EQ(AviWriterWriteChunk(writer, 0, "ab", 2, 1), 0);
  ASSERT_EQ(AviWriterFinish(writer), 0);

  FileBytes f = ReadBytes(path);
  const size_t v = 88, a = v + 124 + 12, t = a + 102 + 14, movi = t + 84 + 18;
  EXPECT_EQ(Le32(f, 16), movi - 20);
  EXPECT_EQ(Le32(f, v + 4), 116u + 12);
  EXPECT_EQ(Tag(f, v + 124), "strn");
  EXPECT_EQ(Le32(f, v + 128), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[v + 132]), 4), std::string("cam\0", 4));
  EXPECT_EQ(Tag(f, a), "LIST");
  EXPECT_EQ(Le32(f, a + 4), 94u + 14);
  EXPECT_EQ(Tag(f, a + 102), "strn");
  EXPECT_EQ(Le32(f, a + 106), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[a + 110]), 6), std::string("mics\0\0", 6));
  EXPECT_EQ(Tag(f, t), "LIST");
  EXPECT_EQ(Le32(f, t + 4), 76u + 18);
  EXPECT_EQ(Tag(f, t + 84), "strn");
  EXPECT_EQ(Le32(f, t + 88), 9u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[t + 92]), 10), std::string("subtitle\0\0", 10));
  EXPECT_EQ(Tag(f, movi), "LIST");
  EXPECT_EQ(Tag(f, movi + 8), "movi");
  EXPECT_EQ(Tag(f, movi + 12), "00dc");
  EXPECT_EQ(Le32(f, movi + 12 + 10 + 16), movi + 12);  // absolute index offset
  EXPECT_EQ(Le32(f, 4), f.size() - 8);
}

TEST_F(AviLayout, StreamNumbersAreTwoLowerCaseHexDigits) {
  std::vector<AviStreamSpec> streams(11, VideoSpec(8, 8, 30));
  AviWriter* writer = nullptr;
  ASSERT_EQ(AviWriterOpen(path.c_str(), 11, streams.data(), &writer), 0);
  const size_t movi = 88 + 11 * 124 + 12;
  EXPECT_EQ(writer->moviDataStart, static_cast<int64_t>(movi));
  ASSERT_EQ(AviWriterWriteChunk(writer, 10, "abcd", 4, 1), 0);
  ASSERT_EQ(AviWriterWriteChunk(writer, 10, "abcd", 4, 0), 0);
  EXPECT_EQ(writer->chunkCounts[10], 2);
  EXPECT_EQ(writer->chunkCounts[0], 0);
  EXPECT_EQ(writer->videoFrames, 2);
  ASSERT_EQ(AviWriterFinish(writer), 0);

  FileBytes f = ReadBytes(path);
  EXPECT_EQ(Tag(f, movi), "0adc");
  EXPECT_EQ(Tag(f, movi + 24 + 8), "0adc");  // index entry
  EXPECT_EQ(Le32(f, 88 + 52), 0u);           // stream 0 length
  EXPECT_EQ(Le32(f, 88 + 10 * 124 + 52), 2u); // stream 10 length
}

TEST_F(AviLayout, SetVideoFormatChecksItsStream) {
  AviStreamSpec streams[] = {VideoSpec(8, 8, 30), AudioSpec(1, 1, 8000, 16)};
  AviWriter* writer = nullptr;
  ASSERT_EQ(AviWriterOpen(path.c_str(), 2, streams, &writer), 0);
  EXPECT_EQ(AviWriterSetVideoFormat(nullptr, 0, 1, 1, 1), -1);
  EXPECT_EQ(AviWriterSetVideoFormat(writer, 2, 1, 1, 1), -2);
  EXPECT_EQ(AviWriterSetVideoFormat(writer, -1, 1, 1, 1), -2);
  EXPECT_EQ(AviWriterSetVideoFormat(writer, 1, 1, 1, 1), -3);
  EXPECT_EQ(AviWriterSetVideoFormat(writer, 0, 16, 0, 15), 0);
  EXPECT_EQ(writer->streams[0].video.width, 16);
  EXPECT_EQ(writer->streams[0].video.height, 8);
  EXPECT_EQ(writer->streams[0].video.rate, 15);
  EXPECT_EQ(writer->width, 8);  // the main header's values do not move
  EXPECT_EQ(writer->rate, 30);
  ASSERT_EQ(AviWriterFinish(writer), 0);
}

TEST_F(AviLayout, TheFirstVideoStreamFeedsTheMainHeader) {
  AviStreamSpec streams[] = {AudioSpec(1, 1, 8000, 16), VideoSpec(352, 288, 25), VideoSpec(16, 16, 5)};
  AviWriter* writer = nullptr;
  ASSERT_EQ(AviWriterOpen(path.c_str(), 3, streams, &writer), 0);
  ASSERT_EQ(AviWriterFinish(writer), 0);
  FileBytes f = ReadBytes(path);
  EXPECT_EQ(Le32(f, 32), 40000u);
  EXPECT_EQ(Le32(f, 64), 352u);
  EXPECT_EQ(Le32(f, 68), 288u);
}

TEST_F(AviLayout, WithoutAVideoRateTheFrameDurationIsZero) {
  AviStreamSpec audio = AudioSpec(1, 1, 8000, 16);
  AviWriter* writer = nullptr;
  ASSERT_EQ(AviWriterOpen(path.c_str(), 1, &audio, &writer), 0);
  ASSERT_EQ(AviWriterWriteChunk(writer, 0, "ab", 2, 1), 0);
  ASSERT_EQ(AviWriterFinish(writer), 0);
  FileBytes f = ReadBytes(path);
  EXPECT_EQ(Le32(f, 32), 0u);
  EXPECT_EQ(Tag(f, 88 + 102 + 12), "00wb");
}

}  // namespace
