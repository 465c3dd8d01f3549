// The files the AVI writer produces: headers, chunks, index, rates, the
// 2 GiB limit and the failure codes of opening, writing and finishing.
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

struct AviWriterTest : ::testing::Test {
  ScratchDir scratch;
  std::string path = scratch.Path("clip.avi");
  AviWriter* writer = nullptr;
  AviStreamSpec video = VideoSpec(64, 48, 30);
  // Opens the streams, lets `write` add chunks, finishes and returns the file.
  template <typename Write>
  Bytes Written(std::vector<AviStreamSpec> streams, Write write, int finished = 0) {
    EXPECT_EQ(AviWriterOpen(path.c_str(), (int32_t)streams.size(), streams.data(), &writer), 0);
    if (!writer) return Bytes();
    write(writer);
    EXPECT_EQ(AviWriterFinish(writer), finished);
    return ReadFileBytes(path.c_str());
  }
  // A video file opened at 320x240 and `rate`, holding `frames` (data, key flag).
  Bytes Video(float rate, std::vector<std::pair<std::string, int32_t>> frames, int32_t width = 0, int32_t height = 0,
              float closeRate = 0) {
    AviHandle* handle = AviCreateVideo(path.c_str(), rate, "xvid", 320, 240);
    EXPECT_NE(handle, nullptr);
    for (const auto& f : frames) EXPECT_EQ(AviWriteFrame(handle, f.first.data(), (int32_t)f.first.size(), f.second), 0);
    EXPECT_EQ(AviClose(handle, width, height, closeRate), 0);
    return ReadFileBytes(path.c_str());
  }
  void Open() { ASSERT_EQ(AviWriterOpen(path.c_str(), 1, &video, &writer), 0); }
  int Write(size_t size, int key = 1) {
    std::vector<uint8_t> data(size, 0x5A);
    return AviWriterWriteChunk(writer, 0, data.data(), (int32_t)size, key);
  }
};

TEST_F(AviWriterTest, HeaderIndexEntriesWithKeyFlagsAndEvenChunkStarts) {
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
TEST_F(AviWriterTest, RatesAndTheValuesGivenAtClose) {
  struct Row { float rate; int32_t closeWidth, closeHeight; float closeRate; uint32_t us, streamRate, width, height; };
  const Row rows[] = {
      {30.0f, 0, 0, 0.0f, 33333, 30000, 320, 240},   {25.0f, 0, -5, 0.9f, 40000, 25000, 320, 240},
      {29.97f, 0, 0, -1.0f, 34482, 29000, 320, 240}, {30.0f, 704, 576, 12.5f, 33333, 12000, 704, 576},
      {0.5f, 0, 0, 0.0f, 0, 0, 320, 240},  // no whole rate: no frame duration
  };
  for (const Row& r : rows)
    ExpectRun(Video(r.rate, {}, r.closeWidth, r.closeHeight, r.closeRate), 0,
              Header(224, 0, 4, r.us, r.streamRate, r.width, r.height));
}

TEST_F(AviWriterTest, TheIndexGrowsPastAThousandEntriesAndKeepsEveryOne) {
  Bytes f = Written({video}, [&](AviWriter*) {
    for (int i = 0; i < 1001; i++) ASSERT_EQ(Write(i < 1000 ? 1 : 4, i % 10 == 0 && i < 1000), 0);
  });
  const size_t index = 224 + 1000 * 10 + 12;  // 1000 chunks of 10 bytes, then one of 12
  ASSERT_EQ(f.size(), index + 8 + 1001 * 16);
  ExpectAt(f, {{48, 1001}, {index, "idx1"}, {index + 4, 1001 * 16}, {index + 8 + 16 * 1000 + 12, 4}});
  for (uint32_t i = 0; i < 1001; i++) ExpectRun(f, index + 12 + 16 * i, {i % 10 || i > 999 ? 0 : 0x10u, 224 + 10 * i});
}

TEST_F(AviWriterTest, ChunkThatWouldReach2GiBFailsAndLeavesTheFileUnchanged) {
  Open();
  ASSERT_EQ(fseeko(writer->aviFile, AVI_FILE_LIMIT - 100, SEEK_SET), 0);  // a hole, not 2 GiB written
  // 8 + 92 bytes end exactly at 2^31; 91 bytes take a pad byte and end there too.
  for (size_t size : {92, 91, 200}) EXPECT_EQ(Write(size), -3) << size;
  ASSERT_EQ(fflush(writer->aviFile), 0);
  EXPECT_EQ(FileLength(path), 224);
  // A smaller chunk still fits, ending 2 bytes below the limit; then not even an empty one.
  EXPECT_EQ(Write(90) * 10 + Write(0), -3);
  EXPECT_EQ(AviWriterFinish(writer), 0);
  Bytes index(8);
  FILE* file = fopen(path.c_str(), "rb");
  EXPECT_TRUE(fseeko(file, AVI_FILE_LIMIT - 2, SEEK_SET) == 0 && fread(index.data(), 1, 8, file) == 8u);
  fclose(file);
  ExpectRun(index, 0, {"idx1", 16});  // one entry: the refused chunks left none
}

// Refused arguments write nothing. Streams the export does not write: audio and text
// blocks, names padded to even length, two hex digits a stream, the first video stream
// in the main header.
TEST_F(AviWriterTest, RefusedArgumentsAndStreamsOfEveryKind) {
  EXPECT_EQ(AviWriterWriteChunk(nullptr, 0, "x", 1, 1) + AviWriterFinish(nullptr) + AviWriteFrame(nullptr, "x", 1, 1) +
                AviClose(nullptr, 1, 1, 30.0f) + AviWriterSetVideoFormat(nullptr, 0, 1, 1, 1), -5);  // each -1
  AviStreamSpec audio = CaptionSpec(""), text = CaptionSpec("");
  audio.kind = AVI_STREAM_AUDIO, audio.audio = {1, 2, 44100, 16}, text.text.caption = 0;
  std::vector<AviStreamSpec> streams = {audio, VideoSpec(352, 288, 25), text};
  streams.resize(11, video);
  streams[1].name = "mics";
  Bytes f = Written(streams, [](AviWriter* w) {
    EXPECT_EQ(AviWriterWriteChunk(w, -1, "x", 1, 1) + AviWriterWriteChunk(w, 11, "x", 1, 1), -4);  // no such stream
    EXPECT_EQ(AviWriterWriteChunk(w, 1, "x", -1, 1) + AviWriterWriteChunk(w, 1, nullptr, 4, 1), -6);  // no data
    EXPECT_EQ(AviWriterSetVideoFormat(w, 11, 1, 1, 1) * 10 + AviWriterSetVideoFormat(w, 0, 1, 1, 1), -23);  // -2, -3
    EXPECT_EQ(AviWriterWriteChunk(w, 10, "abcd", 4, 1) + AviWriterWriteChunk(w, 2, "t", 1, 0), 0);
  });
  // Blocks at 88 (audio), 190 (video, named), 328 (text), 412 (video); "movi" at 1404.
  ExpectAt(f, {{16, 1384}, {32, 40000}, {48, 2}, {56, 11}, {64, 352}, {68, 288}, {194, 130}, {314, "strn"}, {318, 5},
               {322, "mics"}, {326, Le16(0)}, {1416, "0adc"}, {1428, "02tx"}, {1438, "idx1"}});
  ExpectRun(f, 88, {"LIST", 94, "strl", "strh", 56, "auds", 0, 0, 0, 0, 1, 44100, 0, 1, 44100, 0, 2, 0, 0, "strf", 18,
                    Le16(1), Le16(2), 44100, 176400, Le16(4), Le16(16), Le16(0)});
  ExpectRun(f, 328, {"LIST", 76, "strl", "strh", 56, "txts", 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 1, 0, 0, "strf", 0});
}

TEST_F(AviWriterTest, OpenFailuresLeaveNoWriterAndNoNewFile) {
  AviStreamSpec bad = video, captions[] = {video, CaptionSpec("en"), CaptionSpec("")};
  bad.kind = 3;
  const std::string missing = scratch.Path("no/such/folder/clip.avi");
  struct Row { const char* path; int32_t count; const AviStreamSpec* streams; int code; } rows[] = {
      {nullptr, 1, &video, -1},    {path.c_str(), 0, &video, -1},   {path.c_str(), 1, nullptr, -1},
      {path.c_str(), 1, &bad, -1}, {path.c_str(), 3, captions, -3}, {missing.c_str(), 1, &video, -5},
      {"/dev/full", 1, &video, -6},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(AviWriterOpen(r.path, r.count, r.streams, &writer), r.code) << r.code;
    EXPECT_EQ(writer, nullptr);
  }
  EXPECT_EQ(FileLength(path) + FileLength(scratch.Path("clip.smi")), -2);
  FileSizeLimit limit(100);  // the disk fills within the provisional header
  EXPECT_EQ(AviWriterOpen(path.c_str(), 1, &video, &writer), -6);
  EXPECT_EQ(writer, nullptr);
}

// A failed write whose stream drops chunks already indexed leaves the file unfinished,
// its provisional header in place. A chunk that fails part-way, all before it on disk,
// is taken back: the index starts where it did, and "movi" holds whole chunks only.
TEST_F(AviWriterTest, FailedChunkWritesLoseTheFileOrAreTakenBack) {
  Bytes f = Written({video}, [&](AviWriter*) {
    for (int i = 0; i < 3; i++) ASSERT_EQ(Write(1000), 0);
    EXPECT_EQ(FileLength(path), 224);  // the stream still holds the three chunks
    FileSizeLimit limit(1000);
    EXPECT_LE(Write(5000), -5);  // -5 to -8: the write failed
  }, -2);
  ExpectAt(f, {{4, 0xFFFFFFFF}, {48, 0}});
  f = Written({video}, [&](AviWriter*) {
    ASSERT_EQ(Write(1000), 0);
    ASSERT_EQ(fflush(writer->aviFile), 0);
    FileSizeLimit limit(224 + 1008 + 3000);
    EXPECT_EQ(Write(5000), -7);
  });
  ASSERT_EQ(f.size(), 224 + 1008 + 8 + 16);
  ExpectAt(f, {{216, 1008 + 4}, {1232, "idx1"}, {1236, 16}});
}

TEST_F(AviWriterTest, FinishingOnAFullDiskReportsTheFailure) {
  struct Row { int chunks; bool flushed; uint64_t limit; int code; } rows[] = {  // flushed: the chunks on disk
      {1, false, 224, -3},
      {1001, true, 224 + 1001 * 10 + 100, -2},  // room for the index head, not its entries
      {1, true, 258, 0},                        // exactly enough: the final header overwrites
  };
  for (const Row& r : rows) {
    Open();
    for (int i = 0; i < r.chunks; i++) ASSERT_EQ(Write(2), 0);
    ASSERT_TRUE(!r.flushed || fflush(writer->aviFile) == 0);
    {
      FileSizeLimit limit(r.limit);
      EXPECT_EQ(AviWriterFinish(writer), r.code) << r.chunks;
    }
    Bytes f = ReadFileBytes(path.c_str());
    ExpectAt(f, {{4, r.code == 0 ? (uint32_t)f.size() - 8 : 0xFFFFFFFF}, {48, r.code == 0 ? 1u : 0u}});
    EXPECT_TRUE(r.code == -2 || f.size() == r.limit) << f.size();
  }
}

}  // namespace
