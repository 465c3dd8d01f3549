// Chunk writing, index growth, the 2 GiB limit and the failure codes of
// opening, writing and finishing.
#include "tests/avi/avi_test_files.h"

namespace {

struct AviChunks : AviFileTest {
  AviStreamSpec video = VideoSpec(64, 48, 30);
  void Open() { ASSERT_EQ(AviWriterOpen(path.c_str(), 1, &video, &writer), 0); }
  int Write(size_t size, int key = 1) {
    std::vector<uint8_t> data(size, 0x5A);
    return AviWriterWriteChunk(writer, 0, data.data(), (int32_t)size, key);
  }
};

TEST_F(AviChunks, TheIndexGrowsPastAThousandEntriesAndKeepsEveryOne) {
  Bytes f = Written({video}, [&](AviWriter*) {
    for (int i = 0; i < 1001; i++) ASSERT_EQ(Write(i < 1000 ? 1 : 4, i % 10 == 0 && i < 1000), 0);
  });
  const size_t index = 224 + 1000 * 10 + 12;  // 1000 chunks of 10 bytes, then one of 12
  ASSERT_EQ(f.size(), index + 8 + 1001 * 16);
  ExpectAt(f, {{48, 1001}, {index, "idx1"}, {index + 4, 1001 * 16}, {index + 8 + 16 * 1000 + 12, 4}});
  for (uint32_t i = 0; i < 1001; i++) ExpectRun(f, index + 12 + 16 * i, {i < 1000 && i % 10 == 0 ? 0x10u : 0, 224 + 10 * i});
}

TEST_F(AviChunks, ChunkThatWouldReach2GiBFailsAndLeavesTheFileUnchanged) {
  Open();
  ASSERT_EQ(fseeko(writer->aviFile, AVI_FILE_LIMIT - 100, SEEK_SET), 0);  // a hole, not 2 GiB written
  // 8 + 92 bytes end exactly at 2^31; 91 bytes take a pad byte and end there too.
  for (size_t size : {92, 91, 200}) EXPECT_EQ(Write(size), -3) << size;
  ASSERT_EQ(fflush(writer->aviFile), 0);
  EXPECT_EQ(FileLength(path), 224);
  // A smaller chunk still fits, ending 2 bytes below the limit; then not even an empty one.
  EXPECT_EQ(Write(90), 0);
  EXPECT_EQ(Write(0), -3);
  EXPECT_EQ(AviWriterFinish(writer), 0);
  Bytes index(8);
  FILE* file = fopen(path.c_str(), "rb");
  EXPECT_TRUE(fseeko(file, AVI_FILE_LIMIT - 2, SEEK_SET) == 0 && fread(index.data(), 1, 8, file) == 8u);
  fclose(file);
  ExpectRun(index, 0, {"idx1", 16});  // one entry: the refused chunks left none
}

TEST_F(AviChunks, ArgumentsOutsideTheWritersDomainAreRefused) {
  EXPECT_EQ(AviWriterWriteChunk(nullptr, 0, "x", 1, 1) + AviWriterFinish(nullptr) + AviWriteFrame(nullptr, "x", 1, 1) +
                AviClose(nullptr, 1, 1, 30.0f) + AviWriterSetVideoFormat(nullptr, 0, 1, 1, 1), -5);  // each -1
  Bytes f = Written({video, AudioSpec(1, 1, 8000, 16)}, [](AviWriter* writer) {
    EXPECT_EQ(AviWriterWriteChunk(writer, -1, "x", 1, 1), -2);
    EXPECT_EQ(AviWriterWriteChunk(writer, 2, "x", 1, 1), -2);
    EXPECT_EQ(AviWriterWriteChunk(writer, 0, "x", -1, 1), -3);
    EXPECT_EQ(AviWriterWriteChunk(writer, 0, nullptr, 4, 1), -3);
    EXPECT_EQ(AviWriterSetVideoFormat(writer, 2, 1, 1, 1), -2);
    EXPECT_EQ(AviWriterSetVideoFormat(writer, 1, 1, 1, 1), -3);  // not a video stream
  });
  EXPECT_EQ(f.size(), 88u + 124 + 102 + 20);  // no chunk
}

TEST_F(AviChunks, OpenFailuresLeaveNoWriterAndNoNewFile) {
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
  EXPECT_EQ(AviCreateVideo(missing.c_str(), 30.0f, "xvid", 8, 8), nullptr);
  FileSizeLimit limit(100);  // the disk fills within the provisional header
  EXPECT_EQ(AviWriterOpen(path.c_str(), 1, &video, &writer), -6);
  EXPECT_EQ(writer, nullptr);
}

// A failed write whose stream drops chunks already indexed leaves the file
// unfinished, its provisional header in place: the index would point at
// missing bytes. A chunk that fails part-way, all before it on disk, is taken
// back: the next chunk starts where it did, and "movi" holds whole chunks only.
TEST_F(AviChunks, FailedChunkWritesLoseTheFileOrAreTakenBack) {
  Bytes f = Written({video}, [&](AviWriter*) {
    for (int i = 0; i < 3; i++) ASSERT_EQ(Write(1000), 0);
    EXPECT_EQ(FileLength(path), 224);  // the stream still holds the three chunks
    FileSizeLimit limit(1000);
    int result = Write(5000);
    EXPECT_TRUE(result <= -5 && result >= -8) << result;
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

TEST_F(AviChunks, FinishingOnAFullDiskReportsTheFailure) {
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
