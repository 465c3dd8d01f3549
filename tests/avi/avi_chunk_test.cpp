// Chunk writing, index growth, the 2 GiB limit and the failure codes of
// opening, writing and finishing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "avi/avi_writer.h"
#include "tests/avi/avi_test_files.h"

namespace {

AviStreamSpec Video(int32_t width, int32_t height, int32_t rate) {
  AviStreamSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.kind = AVI_STREAM_VIDEO;
  spec.video.width = width;
  spec.video.height = height;
  spec.video.rate = rate;
  memcpy(spec.video.handler, "xvid", 4);
  return spec;
}

AviStreamSpec Caption(const char* language) {
  AviStreamSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.kind = AVI_STREAM_TEXT;
  spec.text.caption = 1;
  strncpy(spec.text.language, language, sizeof spec.text.language - 1);
  return spec;
}

class AviChunks : public ::testing::Test {
 protected:
  ScratchDir scratch;
  std::string path = scratch.Path("clip.avi");
  AviWriter* writer = nullptr;
  AviStreamSpec video = Video(64, 48, 30);

  void Open() { ASSERT_EQ(AviWriterOpen(path.c_str(), 1, &video, &writer), 0); }
};

TEST_F(AviChunks, The1001stChunkGrowsTheIndexByAThousandEntries) {
  Open();
  EXPECT_EQ(writer->indexCapacity, 0);
  EXPECT_EQ(writer->index, nullptr);
  ASSERT_EQ(AviWriterWriteChunk(writer, 0, "x", 1, 1), 0);
  EXPECT_EQ(writer->indexCapacity, 1000);
  for (int i = 1; i < 1000; i++) ASSERT_EQ(AviWriterWriteChunk(writer, 0, "x", 1, i % 10 == 0), 0);
  EXPECT_EQ(writer->indexUsed, 1000);
  EXPECT_EQ(writer->indexCapacity, 1000);
  ASSERT_EQ(AviWriterWriteChunk(writer, 0, "last", 4, 0), 0);
  EXPECT_EQ(writer->indexUsed, 1001);
  EXPECT_EQ(writer->indexCapacity, 2000);
  ASSERT_EQ(AviWriterFinish(writer), 0);

  // Every entry survived the resize: 1000 chunks of 10 bytes, then one of 12.
  FileBytes f = ReadBytes(path);
  const size_t index = 224 + 1000 * 10 + 12;
  ASSERT_EQ(Tag(f, index), "idx1");
  EXPECT_EQ(Le32(f, index + 4), 1001u * 16);
  for (size_t i = 0; i < 1001; i++) {
    size_t e = index + 8 + 16 * i;
    ASSERT_EQ(Le32(f, e + 8), 224 + 10 * i) << i;
    ASSERT_EQ(Le32(f, e + 4), (i < 1000 && i % 10 == 0) ? 0x10u : 0u) << i;
  }
  EXPECT_EQ(Le32(f, index + 8 + 16 * 1000 + 12), 4u);
  EXPECT_EQ(Le32(f, 48), 1001u);
  EXPECT_EQ(f.size(), index + 8 + 1001 * 16);
}

TEST_F(AviChunks, ChunkThatWouldReach2GiBFailsAndLeavesTheFileUnchanged) {
  Open();
  // Move the writer to just below 2^31 without writing 2 GiB: the file gets a hole.
  const int64_t start = AVI_FILE_LIMIT - 100;
  ASSERT_EQ(fseeko(writer->aviFile, start, SEEK_SET), 0);
  std::vector<uint8_t> data(200, 0x5A);
  // 8 + 92 bytes end exactly at 2^31; 91 bytes take a pad byte and end there too.
  EXPECT_EQ(AviWriterWriteChunk(writer, 0, data.data(), 92, 1), -3);
  EXPECT_EQ(AviWriterWriteChunk(writer, 0, data.data(), 91, 1), -3);
  EXPECT_EQ(AviWriterWriteChunk(writer, 0, data.data(), 200, 1), -3);
  ASSERT_EQ(fflush(writer->aviFile), 0);
  EXPECT_EQ(FileLength(path), 224);
  EXPECT_EQ(ftello(writer->aviFile), start);
  EXPECT_EQ(writer->indexUsed, 0);
  EXPECT_EQ(writer->chunkCounts[0], 0);

  // A smaller chunk still fits: it ends 2 bytes below the limit.
  EXPECT_EQ(AviWriterWriteChunk(writer, 0, data.data(), 90, 1), 0);
  ASSERT_EQ(fflush(writer->aviFile), 0);
  EXPECT_EQ(FileLength(path), AVI_FILE_LIMIT - 2);
  EXPECT_EQ(writer->indexUsed, 1);
  // Even the smallest chunk no longer fits.
  EXPECT_EQ(AviWriterWriteChunk(writer, 0, data.data(), 0, 1), -3);
  EXPECT_EQ(AviWriterFinish(writer), 0);
  FileBytes head(8);
  FILE* file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(fseeko(file, AVI_FILE_LIMIT - 2, SEEK_SET), 0);
  ASSERT_EQ(fread(head.data(), 1, 8, file), 8u);
  fclose(file);
  EXPECT_EQ(Tag(head, 0), "idx1");
  EXPECT_EQ(Le32(head, 4), 16u);
  remove(path.c_str());
}

TEST_F(AviChunks, ArgumentsOutsideTheWritersDomainAreRefused) {
  EXPECT_EQ(AviWriterWriteChunk(nullptr, 0, "x", 1, 1), -1);
  EXPECT_EQ(AviWriterFinish(nullptr), -1);
  EXPECT_EQ(AviWriteFrame(nullptr, "x", 1, 1), -1);
  EXPECT_EQ(AviClose(nullptr, 1, 1, 30.0f), -1);
  Open();
  EXPECT_EQ(AviWriterWriteChunk(writer, -1, "x", 1, 1), -2);
  EXPECT_EQ(AviWriterWriteChunk(writer, 1, "x", 1, 1), -2);
  EXPECT_EQ(AviWriterWriteChunk(writer, 0, "x", -1, 1), -3);
  EXPECT_EQ(AviWriterWriteChunk(writer, 0, nullptr, 4, 1), -3);
  EXPECT_EQ(writer->indexUsed, 0);
  ASSERT_EQ(AviWriterFinish(writer), 0);
  EXPECT_EQ(FileLength(path), 232);
}

TEST_F(AviChunks, OpenRefusesBadArgumentsWithoutCreatingAFile) {
  AviStreamSpec bad = video;
  bad.kind = 3;
  EXPECT_EQ(AviWriterOpen(nullptr, 1, &video, &writer), -1);
  EXPECT_EQ(AviWriterOpen(path.c_str(), 0, &video, &writer), -1);
  EXPECT_EQ(AviWriterOpen(path.c_str(), -2, &video, &writer), -1);
  EXPECT_EQ(AviWriterOpen(path.c_str(), 1, nullptr, &writer), -1);
  EXPECT_EQ(AviWriterOpen(path.c_str(), 1, &bad, &writer), -1);
  EXPECT_EQ(writer, nullptr);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(AviCreateVideo(nullptr, 30.0f, "xvid", 8, 8), nullptr);
}

TEST_F(AviChunks, TwoCaptionStreamsFailBeforeAnyFileIsCreated) {
  AviStreamSpec streams[] = {video, Caption("en"), Caption("")};
  EXPECT_EQ(AviWriterOpen(path.c_str(), 3, streams, &writer), -3);
  EXPECT_EQ(writer, nullptr);
  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(FileExists(scratch.Path("clip.smi")));
}

TEST_F(AviChunks, AFileThatCannotBeCreatedGivesNoHandle) {
  std::string missing = scratch.Path("no/such/folder/clip.avi");
  EXPECT_EQ(AviWriterOpen(missing.c_str(), 1, &video, &writer), -5);
  EXPECT_EQ(writer, nullptr);
  EXPECT_EQ(AviCreateVideo(missing.c_str(), 30.0f, "xvid", 8, 8), nullptr);
}

TEST_F(AviChunks, AFullDiskFailsTheProvisionalHeader) {
  EXPECT_EQ(AviWriterOpen("/dev/full", 1, &video, &writer), -6);
  EXPECT_EQ(writer, nullptr);
  EXPECT_EQ(AviCreateVideo("/dev/full", 30.0f, "xvid", 8, 8), nullptr);
  // Same with a file that may not grow past 100 bytes.
  FileSizeLimit limit(100);
  EXPECT_EQ(AviWriterOpen(path.c_str(), 1, &video, &writer), -6);
  EXPECT_EQ(writer, nullptr);
}

TEST_F(AviChunks, AChunkThatCannotBeWrittenIsNotIndexed) {
  Open();
  ASSERT_EQ(AviWriterWriteChunk(writer, 0, "good", 4, 1), 0);
  ASSERT_EQ(fflush(writer->aviFile), 0);
  std::vector<uint8_t> big(100000, 1);
  {
    FileSizeLimit limit(4096);
    EXPECT_EQ(AviWriterWriteChunk(writer, 0, big.data(), static_cast<int32_t>(big.size()), 1), -7);
    EXPECT_EQ(writer->indexUsed, 1);
    EXPECT_EQ(writer->chunkCounts[0], 1);
    EXPECT_EQ(writer->videoFrames, 1);
  }
  // The disk has room again: the next chunk takes the failed chunk's index slot
  // and lies where the stream left off.
  int64_t position = ftello(writer->aviFile);
  ASSERT_EQ(AviWriterWriteChunk(writer, 0, "next", 4, 0), 0);
  EXPECT_EQ(writer->indexUsed, 2);
  EXPECT_EQ(Le32(FileBytes(writer->index[1].bytes, writer->index[1].bytes + 16), 8),
            static_cast<uint32_t>(position));
  ASSERT_EQ(AviWriterFinish(writer), 0);
  FileBytes f = ReadBytes(path);
  EXPECT_EQ(Le32(f, 48), 2u);
  EXPECT_EQ(Tag(f, static_cast<size_t>(position)), "00dc");
}

TEST_F(AviChunks, FinishingOnAFullDiskReportsTheFailure) {
  Open();
  ASSERT_EQ(AviWriterWriteChunk(writer, 0, "frame", 5, 1), 0);
  // The chunk and the index are still in the stream's buffer; the disk is full.
  FileSizeLimit limit(224);
  EXPECT_EQ(AviWriterFinish(writer), -3);
  FileBytes f = ReadBytes(path);
  ASSERT_EQ(f.size(), 224u);
  EXPECT_EQ(Le32(f, 4), 0xFFFFFFFFu);  // still the provisional header
}

TEST_F(AviChunks, AnIndexThatCannotBeWrittenFailsTheFinish) {
  Open();
  for (int i = 0; i < 1001; i++) ASSERT_EQ(AviWriterWriteChunk(writer, 0, "ab", 2, 1), 0);
  ASSERT_EQ(fflush(writer->aviFile), 0);
  const int64_t moviEnd = 224 + 1001 * 10;
  // Room for the index head but not for its 16,016 bytes of entries.
  FileSizeLimit limit(static_cast<uint64_t>(moviEnd) + 100);
  EXPECT_EQ(AviWriterFinish(writer), -2);
  FileBytes f = ReadBytes(path);
  EXPECT_EQ(Le32(f, 4), 0xFFFFFFFFu);  // no final header after a failed index
  EXPECT_EQ(Le32(f, 48), 0u);
}

TEST_F(AviChunks, FinishingWithExactlyEnoughRoomSucceeds) {
  Open();
  // The final header overwrites the provisional one and does not grow the file.
  ASSERT_EQ(AviWriterWriteChunk(writer, 0, "frame", 5, 1), 0);
  ASSERT_EQ(fflush(writer->aviFile), 0);
  FileSizeLimit limit(224 + 14 + 8 + 16);
  EXPECT_EQ(AviWriterFinish(writer), 0);
  FileBytes f = ReadBytes(path);
  ASSERT_EQ(f.size(), 262u);
  EXPECT_EQ(Le32(f, 4), 254u);
}

}  // namespace
