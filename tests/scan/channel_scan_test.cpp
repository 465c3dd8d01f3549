// The channel scan: rows, their times, the walk's skipping rules, its stops,
// cancelling, and the worker around it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <stdlib.h>

#include "platform/platform.h"
#include "recording/channel_scan.h"
#include "shell/headless_shell.h"
#include "shell/shell.h"
#include "tools/record_writer.h"

namespace {

const PackedTime T1 = MakePackedTime(2009, 3, 5, 7, 4, 9);
const PackedTime T2 = MakePackedTime(2009, 3, 7, 8, 5, 0);
const PackedTime T3 = MakePackedTime(2008, 12, 31, 23, 59, 59);  // earlier than T1

HeaderBlockSpec Block(PackedTime time, ChannelMask channels, uint32_t skipLength = 0) {
  HeaderBlockSpec layout;
  layout.blockTime = time;
  layout.channels = channels;
  layout.skipLength = skipLength;
  return layout;
}

// A media record of `length` payload bytes, all 0xFF: read as a header by
// mistake they would name kind 15 and the longest payload.
void AppendFiller(Bytes* file, unsigned kind, uint32_t length) {
  AppendRecord(file, MakePlainHeader(kind, 0, 0, 1, 1000, length), Bytes(length, 0xFF));
}

struct ScanFixture : ::testing::Test {
  AppContext* context = new AppContext();
  HeadlessShell shell;
  std::string folder;
  std::string path;
  std::vector<std::string> texts;       // every progress text shown, in order
  int cancelAfterSteps = -1;            // clear the run flag after this many steps
  int steps = 0;

  void SetUp() override {
    char pattern[] = "/tmp/zentrix-scan-XXXXXX";
    folder = mkdtemp(pattern);
    path = folder + "/recording.dat";
    HeadlessShellAttach(context, &shell);
    context->runFlag = 1;
    shell.user = this;
    shell.onProgress = [](HeadlessShell* s, void* user) {
      ScanFixture* self = (ScanFixture*)user;
      std::string text;
      {
        std::lock_guard<std::mutex> hold(s->lock);
        text = s->progressText;
      }
      if (!self->texts.empty() && self->texts.back() == text) return;
      self->texts.push_back(text);
      if (text.rfind("Progress:", 0) == 0 && text.find("(100 %)") == std::string::npos &&
          ++self->steps == self->cancelAfterSteps)
        self->context->runFlag = 0;
    };
  }

  void TearDown() override {
    delete context;
    std::system(("rm -rf '" + folder + "'").c_str());
  }

  int Scan(const Bytes& file) {
    EXPECT_EQ(WriteFileBytes(path.c_str(), file), 0);
    return ScanPath();
  }

  int ScanPath() {
    FILE* stream = fopen(path.c_str(), "rb");
    EXPECT_NE(stream, nullptr);
    if (!stream) return -100;
    int result = ScanRecordingFile(stream, context);
    fclose(stream);
    return result;
  }

  std::vector<std::string> RowLabels() {
    std::vector<std::string> labels;
    for (const HeadlessRow& row : shell.rows) labels.push_back(row.columns[0]);
    return labels;
  }

  bool Completed() const {
    return !texts.empty() && texts.back().find("(100 %)") != std::string::npos;
  }
};

typedef std::vector<std::string> Labels;

TEST_F(ScanFixture, RowsAppearInTheOrderChannelsAreFirstMet) {
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, (1u << 2) | (1u << 0)));
  AppendHeaderBlock(&file, Block(T2, (1u << 0) | (1u << 1) | (1u << 2)));
  EXPECT_EQ(Scan(file), 0);

  EXPECT_EQ(RowLabels(), (Labels{"Channel 1", "Channel 3", "Channel 2"}));
  EXPECT_EQ(shell.rows[0].itemData, 0);
  EXPECT_EQ(shell.rows[1].itemData, 2);
  EXPECT_EQ(shell.rows[2].itemData, 1);
  for (const HeadlessRow& row : shell.rows) EXPECT_EQ(row.image, 0);
  EXPECT_EQ(shell.rows[2].columns[1], "2009/3/7 8:5:0");
  EXPECT_EQ(shell.rows[2].columns[2], "2009/3/7 8:5:0");
}

TEST_F(ScanFixture, FirstAndLastTimesFollowFileOrder) {
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, 1u << 4));
  AppendFiller(&file, 1, 40);
  AppendHeaderBlock(&file, Block(T2, 1u << 4));
  AppendHeaderBlock(&file, Block(T3, 1u << 4));
  EXPECT_EQ(Scan(file), 0);

  ASSERT_EQ(RowLabels(), (Labels{"Channel 5"}));
  EXPECT_EQ(shell.rows[0].columns[1], "2009/3/5 7:4:9");
  EXPECT_EQ(shell.rows[0].columns[2], "2008/12/31 23:59:59");
}

TEST_F(ScanFixture, VersionTwoBlocksNameChannelsAbove32) {
  HeaderBlockSpec layout = Block(T1, 1ull | (1ull << 32));
  layout.version = 2;
  layout.extension = true;
  Bytes file;
  AppendHeaderBlock(&file, layout);
  EXPECT_EQ(Scan(file), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 1", "Channel 33"}));
  EXPECT_EQ(shell.rows[1].itemData, 32);
}

TEST_F(ScanFixture, MergeLooksAtChannelsAbove32OnlyForVersionTwo) {
  HeaderInfo info = {};
  info.version = 1;
  info.blockTime = T1;
  info.channels = (1ull << 63) | (1ull << 31);
  EXPECT_EQ(MergeChannels(context, &info), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 32"}));

  info.version = 2;
  info.blockTime = T2;
  EXPECT_EQ(MergeChannels(context, &info), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 32", "Channel 64"}));
  EXPECT_EQ(shell.rows[0].columns[1], "2009/3/5 7:4:9");
  EXPECT_EQ(shell.rows[0].columns[2], "2009/3/7 8:5:0");
  EXPECT_EQ(shell.rows[1].columns[1], "2009/3/7 8:5:0");
}

TEST_F(ScanFixture, RecordsAreSkippedByTheirLengthUntilTheFirstHeaderBlock) {
  const uint32_t skip = 30;
  Bytes file;
  AppendFiller(&file, 0, 25);                 // own length before any block
  AppendFiller(&file, 2, 7);
  AppendHeaderBlock(&file, Block(T1, 1u << 0, skip));
  // After the block every non-header record is skipped by 30 bytes, whatever
  // its own length says.
  AppendRecord(&file, MakePlainHeader(1, 0, 0, 1, 0, 5), Bytes(skip, 0xFF));
  AppendRecord(&file, MakePlainHeader(6, 0, 0, 1, 0, 500), Bytes(skip, 0xFF));
  AppendHeaderBlock(&file, Block(T2, 1u << 1, skip));
  EXPECT_EQ(Scan(file), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 1", "Channel 2"}));
  EXPECT_TRUE(Completed());
}

TEST_F(ScanFixture, EmptyHeaderBlockRecordIsNotABlock) {
  Bytes file;
  AppendRecord(&file, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, 0), nullptr, 0);
  AppendHeaderBlock(&file, Block(T1, 1u << 6));
  AppendRecord(&file, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, 0), nullptr, 0);
  AppendHeaderBlock(&file, Block(T2, 1u << 7));
  EXPECT_EQ(Scan(file), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 7", "Channel 8"}));
}

TEST_F(ScanFixture, BadYearEndsTheScanKeepingTheRows) {
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, 1u << 0));
  AppendHeaderBlock(&file, Block(MakePackedTime(3000, 1, 1, 0, 0, 0), 1u << 1));
  AppendHeaderBlock(&file, Block(T2, 1u << 2));
  EXPECT_EQ(Scan(file), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 1"}));
  EXPECT_EQ(shell.rows[0].columns[2], "2009/3/5 7:4:9");
  char done[64];
  snprintf(done, sizeof(done), "Progress: %zu/%zu bytes (100 %%)", file.size(), file.size());
  EXPECT_EQ(texts.back(), done);
}

TEST_F(ScanFixture, ShortHeaderBlockEndsTheScan) {
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, 1u << 0));
  // A block that promises 100 bytes but the file ends after 40.
  Bytes payload = MakeHeaderBlockPayload(Block(T2, 1u << 1));
  payload.resize(40);
  AppendRecord(&file, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, 100), payload);
  EXPECT_EQ(Scan(file), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 1"}));
  EXPECT_TRUE(Completed());
}

TEST_F(ScanFixture, CancelBetweenRecordsStopsWithoutTheFinalReport) {
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, 1u << 0));
  AppendHeaderBlock(&file, Block(T2, 1u << 1));
  AppendHeaderBlock(&file, Block(T3, 1u << 2));
  cancelAfterSteps = 1;
  EXPECT_EQ(Scan(file), -1);
  // The record in hand was finished; nothing after it was read.
  EXPECT_EQ(RowLabels(), (Labels{"Channel 1"}));
  EXPECT_FALSE(Completed());
  EXPECT_EQ(steps, 1);
}

TEST_F(ScanFixture, ClearedRunFlagStopsBeforeTheWalk) {
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, 1u << 0));
  ShellInsertRow(context, 0, "Channel 9", 8);  // rows of an earlier file
  context->runFlag = 0;
  EXPECT_EQ(Scan(file), -1);
  EXPECT_EQ(ShellRowCount(context), 0);
  EXPECT_EQ(shell.progressHigh, (uint32_t)file.size());
  EXPECT_EQ(shell.progressText, "Static");
}

TEST_F(ScanFixture, HugeSkipLengthsStillEndTheScan) {
  // Read as signed 32-bit values these lengths would seek backwards and
  // repeat the walk for ever; they move forward past the end instead.
  for (uint32_t skip : {0x80000000u, 0xFFFFFFF6u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(skip);
    Bytes file;
    AppendHeaderBlock(&file, Block(T1, 1u << 0, skip));
    AppendFiller(&file, 1, 20);
    AppendHeaderBlock(&file, Block(T2, 1u << 1, skip));
    texts.clear();
    EXPECT_EQ(Scan(file), 0);
    EXPECT_EQ(RowLabels(), (Labels{"Channel 1"}));
    EXPECT_TRUE(Completed());
  }
}

TEST_F(ScanFixture, ZeroSkipLengthWalksOnHeaderByHeader) {
  // A skip length of 0 reads the next header right after the record's
  // header; the walk still moves forward by ten bytes each time.
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, 1u << 0, 0));
  AppendRecord(&file, MakePlainHeader(1, 0, 0, 1, 0, 0x7FFFF), nullptr, 0);
  AppendHeaderBlock(&file, Block(T2, 1u << 1, 0));
  EXPECT_EQ(Scan(file), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 1", "Channel 2"}));
}

TEST_F(ScanFixture, FailedInsertionIsTriedAgainByALaterBlock) {
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, (1u << 0) | (1u << 1)));
  AppendHeaderBlock(&file, Block(T2, 1u << 0));
  shell.failInsertions = 1;
  EXPECT_EQ(Scan(file), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 2", "Channel 1"}));
  // Channel 1 got its row from the second block, so both times are T2's.
  EXPECT_EQ(shell.rows[1].columns[1], "2009/3/7 8:5:0");
  EXPECT_EQ(shell.rows[1].columns[2], "2009/3/7 8:5:0");
  EXPECT_EQ(shell.rows[0].columns[1], "2009/3/5 7:4:9");
}

TEST_F(ScanFixture, FileWithoutHeaderBlocksCompletesWithAnEmptyList) {
  Bytes file;
  AppendFiller(&file, 0, 100);
  AppendFiller(&file, 1, 50);
  AppendFiller(&file, 9, 10);
  ShellInsertRow(context, 0, "Channel 9", 8);
  EXPECT_EQ(Scan(file), 0);
  EXPECT_EQ(ShellRowCount(context), 0);
  EXPECT_EQ(texts, (std::vector<std::string>{"Static", "Progress: 190/190 bytes (100 %)"}));
  EXPECT_EQ(shell.progressPosition, 190u);
}

TEST_F(ScanFixture, EmptyFileAndCutHeaderEndNormally) {
  EXPECT_EQ(Scan(Bytes()), 0);
  EXPECT_EQ(shell.progressText, "Progress: 0/0 bytes (100 %)");

  Bytes file;
  AppendHeaderBlock(&file, Block(T1, 1u << 0));
  file.insert(file.end(), 6, 0);  // a header cut short
  EXPECT_EQ(Scan(file), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 1"}));
}

TEST_F(ScanFixture, EveryHeaderBlockReportsItsPosition) {
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, 1u << 0));
  size_t afterFirst = file.size();
  AppendFiller(&file, 1, 1000);
  AppendHeaderBlock(&file, Block(T2, 1u << 0, 1000));
  size_t afterSecond = file.size();
  AppendFiller(&file, 1, 1000);
  EXPECT_EQ(Scan(file), 0);

  // 178 + 1,010 + 178 + 1,010 bytes; hundredths of 23 bytes.
  ASSERT_EQ(file.size(), 2376u);
  ASSERT_EQ(afterFirst, 178u);
  ASSERT_EQ(afterSecond, 1366u);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Static",
                       "Progress: 178/2,376 bytes (7 %)",
                       "Progress: 1,366/2,376 bytes (59 %)",
                       "Progress: 2,376/2,376 bytes (100 %)",
                   }));
  EXPECT_EQ(shell.progressHigh, (uint32_t)file.size());
}

TEST_F(ScanFixture, FilesBeyondFourGigabytesAreWalkedAndReportedClamped) {
  // A sparse file: a block whose skip length carries the walk 4.5 GiB ahead
  // to a second block, then the end.
  const uint32_t skip = 0xFFFFFF00u;
  Bytes head;
  AppendHeaderBlock(&head, Block(T1, 1u << 0, skip));
  AppendRecord(&head, MakePlainHeader(1, 0, 0, 1, 0, 0x100), nullptr, 0);
  Bytes tail;
  AppendHeaderBlock(&tail, Block(T2, 1u << 1, skip));
  int64_t tailAt = (int64_t)head.size() + skip;

  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(fwrite(head.data(), 1, head.size(), file), head.size());
  ASSERT_EQ(PlatformSeek(file, tailAt, SEEK_SET), 0);
  ASSERT_EQ(fwrite(tail.data(), 1, tail.size(), file), tail.size());
  ASSERT_EQ(fclose(file), 0);

  EXPECT_EQ(ScanPath(), 0);
  EXPECT_EQ(RowLabels(), (Labels{"Channel 1", "Channel 2"}));
  EXPECT_EQ(shell.progressHigh, 2147483647u);
  // The second block's position and the final report read the same text.
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[1], "Progress: 178/2,147,483,647 bytes (0 %)");
  EXPECT_EQ(texts[2], "Progress: 2,147,483,647/2,147,483,647 bytes (100 %)");
}

// --- the worker ----------------------------------------------------------

TEST_F(ScanFixture, WorkerPostsCompletedAfterAScan) {
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, 1u << 3));
  ASSERT_EQ(WriteFileBytes(path.c_str(), file), 0);
  snprintf(context->recordingPath, PATH_SIZE, "%s", path.c_str());
  EXPECT_EQ(ScanWorker(context), 0);
  EXPECT_EQ(shell.commands, (std::vector<int>{RUN_COMPLETED}));
  EXPECT_EQ(RowLabels(), (Labels{"Channel 4"}));
}

TEST_F(ScanFixture, WorkerPostsCancelWhenTheFileCannotBeOpened) {
  snprintf(context->recordingPath, PATH_SIZE, "%s/missing.dat", folder.c_str());
  EXPECT_EQ(ScanWorker(context), -2);
  EXPECT_EQ(shell.commands, (std::vector<int>{RUN_CANCELLED}));
  EXPECT_EQ(shell.progressText, "Static");
}

TEST_F(ScanFixture, WorkerPostsCancelAfterACancelledScan) {
  Bytes file;
  AppendHeaderBlock(&file, Block(T1, 1u << 3));
  AppendHeaderBlock(&file, Block(T1, 1u << 4));
  ASSERT_EQ(WriteFileBytes(path.c_str(), file), 0);
  snprintf(context->recordingPath, PATH_SIZE, "%s", path.c_str());
  cancelAfterSteps = 1;
  EXPECT_EQ(ScanWorker(context), -3);
  EXPECT_EQ(shell.commands, (std::vector<int>{RUN_CANCELLED}));
}

TEST(ScanWorker, NoContextEndsAtOnce) { EXPECT_EQ(ScanWorker(nullptr), -1); }

int RunScanWorker(void* context) { return ScanWorker((AppContext*)context); }

TEST_F(ScanFixture, WorkerRunsOnItsOwnThread) {
  Bytes file;
  for (int i = 0; i < 50; i++) AppendHeaderBlock(&file, Block(T1, 1ull << (i % 32)));
  ASSERT_EQ(WriteFileBytes(path.c_str(), file), 0);
  snprintf(context->recordingPath, PATH_SIZE, "%s", path.c_str());
  shell.onProgress = nullptr;
  PlatformThread worker = PlatformStartThread(RunScanWorker, context);
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(PlatformJoinThread(worker), 0);
  EXPECT_EQ(ShellRowCount(context), 32);
  EXPECT_EQ(shell.commands, (std::vector<int>{RUN_COMPLETED}));
}

}  // namespace
