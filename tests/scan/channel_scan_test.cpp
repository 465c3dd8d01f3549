// The channel scan: rows, their times, the walk's skipping rules, its stops,
// cancelling, progress, and the worker around it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "recording/channel_scan.h"
#include "shell/headless_shell.h"
#include "shell/shell.h"
#include "tools/record_writer.h"

namespace {

typedef std::vector<std::string> Texts;

const PackedTime T1 = MakePackedTime(2009, 3, 5, 7, 4, 9);
const PackedTime T2 = MakePackedTime(2009, 3, 7, 8, 5, 0);
const PackedTime T3 = MakePackedTime(2008, 12, 31, 23, 59, 59);  // earlier than T1

HeaderBlockLayout Layout(PackedTime time, ChannelMask channels, uint32_t skipLength = 0) {
  HeaderBlockLayout layout;
  layout.blockTime = time;
  layout.channels = channels;
  layout.skipLength = skipLength;
  return layout;
}

// A recording built record by record. A version-1 block takes 178 bytes.
struct File {
  Bytes bytes;
  File& Block(const HeaderBlockLayout& layout) { AppendHeaderBlock(&bytes, layout); return *this; }
  File& Block(PackedTime time, ChannelMask channels, uint32_t skip = 0) {
    return Block(Layout(time, channels, skip));
  }
  File& Record(unsigned kind, uint32_t length, const Bytes& payload) {
    AppendRecord(&bytes, MakePlainHeader(kind, 0, 0, 1, 0, length), payload);
    return *this;
  }
  // 0xFF bytes: read as a header by mistake they name kind 15 and the longest payload.
  File& Filler(unsigned kind, uint32_t length) { return Record(kind, length, Bytes(length, 0xFF)); }
};

struct ScanFixture : ::testing::Test {
  AppContext* context = new AppContext();
  HeadlessShell shell;
  std::string path = ::testing::TempDir() + "zentrix-scan-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".dat";
  Texts texts;                // every progress text of the last scan, in order
  int cancelAfterSteps = -1;  // clear the run flag after this many steps
  int steps = 0;

  void SetUp() override {
    HeadlessShellAttach(context, &shell);
    context->runFlag = 1;
    shell.user = this;
    shell.onProgress = [](HeadlessShell* s, void* user) {
      ScanFixture* self = (ScanFixture*)user;
      std::lock_guard<std::mutex> hold(s->lock);
      if (!self->texts.empty() && self->texts.back() == s->progressText) return;
      self->texts.push_back(s->progressText);
      if (s->progressText.find(" %)") != std::string::npos &&
          s->progressText.find("(100 %)") == std::string::npos &&
          ++self->steps == self->cancelAfterSteps)
        self->context->runFlag = 0;
    };
  }

  void TearDown() override {
    delete context;
    remove(path.c_str());
  }

  int Scan(const File& file) {
    EXPECT_EQ(WriteFileBytes(path.c_str(), file.bytes), 0);
    return ScanPath();
  }

  int ScanPath() {
    texts.clear();
    shell.progressText = "Static";  // each run has a new dialog
    FILE* stream = fopen(path.c_str(), "rb");
    if (!stream) return -100;
    int result = ScanRecordingFile(stream, context);
    fclose(stream);
    return result;
  }

  Texts Labels() {
    Texts labels;
    for (const HeadlessRow& row : shell.rows) labels.push_back(row.columns[0]);
    return labels;
  }

  // Each row as "label | first time | last time".
  Texts Rows() {
    Texts rows;
    for (const HeadlessRow& row : shell.rows)
      rows.push_back(row.columns[0] + " | " + row.columns[1] + " | " + row.columns[2]);
    return rows;
  }
};

TEST_F(ScanFixture, RowsFollowFirstSightingWithTheFirstAndLatestBlockTimes) {
  // The file's order counts, not the time's: T3 comes last.
  EXPECT_EQ(Scan(File().Block(T1, (1u << 2) | 1u).Block(T2, 7u).Block(T3, 1u)), 0);
  EXPECT_EQ(Rows(), (Texts{"Channel 1 | 2009/3/5 7:4:9 | 2008/12/31 23:59:59",
                           "Channel 3 | 2009/3/5 7:4:9 | 2009/3/7 8:5:0",
                           "Channel 2 | 2009/3/7 8:5:0 | 2009/3/7 8:5:0"}));
  const int itemData[] = {0, 2, 1};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(shell.rows[i].itemData, itemData[i]);
    EXPECT_EQ(shell.rows[i].image, 0);
  }
}

TEST_F(ScanFixture, OnlyVersionTwoNamesChannelsAbove32) {
  HeaderBlockLayout two = Layout(T1, 1ull | (1ull << 32));
  two.version = 2;
  two.extension = true;
  EXPECT_EQ(Scan(File().Block(two)), 0);
  EXPECT_EQ(Labels(), (Texts{"Channel 1", "Channel 33"}));
  EXPECT_EQ(shell.rows[1].itemData, 32);

  HeaderInfo info = {};
  info.blockTime = T2;
  info.channels = (1ull << 63) | (1ull << 31);
  for (uint16_t version : {0, 1, 3, 2}) {
    EXPECT_EQ(ShellFindRow(context, "Channel 64"), -1) << version;
    info.version = version;
    EXPECT_EQ(MergeChannels(context, &info), 0);
  }
  EXPECT_EQ(Labels(), (Texts{"Channel 1", "Channel 33", "Channel 32", "Channel 64"}));
}

// Before the first header block a record is passed over by its own length,
// after it by the block's skip length, whatever the record's own length says.
// A kind-4 record of length 0 is no block and moves nothing. Skip lengths from
// 2^31 on move forward (past the end), never backwards.
TEST_F(ScanFixture, RecordsAreSkippedByTheirLengthThenByTheBlocksSkipLength) {
  for (uint32_t skip : {30u, 0u, 0x80000000u, 0xFFFFFFF6u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(skip);
    const Bytes payload(skip <= 30 ? skip : 30, 0xFF);
    File file;
    file.Record(RECORD_HEADER_BLOCK, 0, {}).Filler(0, 25).Filler(2, 7).Block(T1, 1u, skip);
    file.Record(RECORD_HEADER_BLOCK, 0, {}).Record(1, 5, payload).Record(6, 0x7FFFF, payload);
    file.Block(T2, 2u, skip);
    EXPECT_EQ(Scan(file), 0);
    EXPECT_EQ(Labels(), (skip <= 30 ? Texts{"Channel 1", "Channel 2"} : Texts{"Channel 1"}));
    EXPECT_EQ(texts.back().substr(texts.back().size() - 7), "(100 %)");
  }
}

// Every header block read is reported; the walk ends at the file's end, a
// header or a block cut short, with the full report.
TEST_F(ScanFixture, ProgressFollowsEveryHeaderBlockAndTheEndIsReportedInFull) {
  File cutHeader = File().Block(T1, 1u);
  cutHeader.bytes.resize(cutHeader.bytes.size() + 6);
  Bytes cutPayload = MakeHeaderBlockPayload(Layout(T2, 2u));
  cutPayload.resize(40);
  const struct {
    File file;
    Texts labels, texts;
  } cases[] = {
      {File(), {}, {"Static", "Progress: 0/0 bytes (100 %)"}},
      {File().Filler(0, 100).Filler(1, 50).Filler(9, 10), {},
       {"Static", "Progress: 190/190 bytes (100 %)"}},
      {File().Block(T1, 1u).Filler(1, 1000).Block(T2, 1u, 1000).Filler(1, 1000), {"Channel 1"},
       {"Static", "Progress: 178/2,376 bytes (7 %)", "Progress: 1,366/2,376 bytes (59 %)",
        "Progress: 2,376/2,376 bytes (100 %)"}},
      {cutHeader, {"Channel 1"},
       {"Static", "Progress: 178/184 bytes (178 %)", "Progress: 184/184 bytes (100 %)"}},
      {File().Block(T1, 1u).Record(RECORD_HEADER_BLOCK, 100, cutPayload), {"Channel 1"},
       {"Static", "Progress: 178/228 bytes (89 %)", "Progress: 228/228 bytes (100 %)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.texts.back());
    ShellInsertRow(context, 0, "Channel 9", 8);  // a row of an earlier file
    EXPECT_EQ(Scan(c.file), 0);
    EXPECT_EQ(Labels(), c.labels);
    EXPECT_EQ(texts, c.texts);
    EXPECT_EQ(shell.progressPosition, c.file.bytes.size());
    EXPECT_EQ(shell.progressHigh, c.file.bytes.size());
  }
}

// A block with a bad year was read whole: the walk is in step, only that
// block is passed over, and the rest of the file still counts.
TEST_F(ScanFixture, ABadYearPassesOverItsBlockOnly) {
  HeaderBlockLayout longBad = Layout(MakePackedTime(1000, 1, 1, 0, 0, 0), 1u << 3);
  longBad.baseCounts[7] = 3;  // entries after the base block: the long form
  EXPECT_EQ(Scan(File().Block(T1, 1u).Block(MakePackedTime(3000, 1, 1, 0, 0, 0), 2u)
                     .Block(longBad).Block(T2, (1u << 2) | 1u)),
            0);
  EXPECT_EQ(Rows(), (Texts{"Channel 1 | 2009/3/5 7:4:9 | 2009/3/7 8:5:0",
                           "Channel 3 | 2009/3/7 8:5:0 | 2009/3/7 8:5:0"}));
  EXPECT_EQ(texts.back(), "Progress: 724/724 bytes (100 %)");
}

TEST_F(ScanFixture, ACancelStopsBetweenRecordsWithoutTheFinalReport) {
  const File file = File().Block(T1, 1u).Block(T2, 2u).Block(T3, 4u);
  cancelAfterSteps = 1;
  EXPECT_EQ(Scan(file), -1);
  // The record in hand was finished; nothing after it was read.
  EXPECT_EQ(Labels(), (Texts{"Channel 1"}));
  EXPECT_EQ(texts, (Texts{"Static", "Progress: 178/534 bytes (35 %)"}));

  // Cleared before the walk: the earlier rows go, nothing is read.
  EXPECT_EQ(Scan(file), -1);
  EXPECT_EQ(ShellRowCount(context), 0);
  EXPECT_EQ(shell.progressHigh, 534u);
  EXPECT_EQ(texts, (Texts{"Static"}));
}

TEST_F(ScanFixture, AFailedInsertionIsTriedAgainByALaterBlock) {
  shell.failInsertions = 1;
  EXPECT_EQ(Scan(File().Block(T1, 3u).Block(T2, 1u)), 0);
  EXPECT_EQ(Rows(), (Texts{"Channel 2 | 2009/3/5 7:4:9 | 2009/3/5 7:4:9",
                           "Channel 1 | 2009/3/7 8:5:0 | 2009/3/7 8:5:0"}));
}

// A sparse file: a block whose skip length carries the walk 4 GiB ahead to a
// second block. The texts count real bytes; the bar counts units of 4 bytes.
TEST_F(ScanFixture, FilesBeyondFourGigabytesAreWalkedAndReportedInFull) {
  const uint32_t skip = 0xFFFFFF00u;
  const Bytes head = File().Block(T1, 1u, skip).Record(1, 0x100, {}).bytes;
  const Bytes tail = File().Block(T2, 2u, skip).bytes;
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(fwrite(head.data(), 1, head.size(), file), head.size());
  ASSERT_EQ(PlatformSeek(file, (int64_t)head.size() + skip, SEEK_SET), 0);
  ASSERT_EQ(fwrite(tail.data(), 1, tail.size(), file), tail.size());
  ASSERT_EQ(fclose(file), 0);

  EXPECT_EQ(ScanPath(), 0);
  EXPECT_EQ(Labels(), (Texts{"Channel 1", "Channel 2"}));
  EXPECT_EQ(texts, (Texts{"Static", "Progress: 178/4,294,967,406 bytes (0 %)",
                          "Progress: 4,294,967,406/4,294,967,406 bytes (100 %)"}));
  EXPECT_EQ(shell.progressHigh, 4294967406u / 4);
  EXPECT_EQ(shell.progressPosition, 4294967406u / 4);
}

int RunScanWorker(void* context) { return ScanWorker((AppContext*)context); }

TEST_F(ScanFixture, TheWorkerPostsTheRunsFinalCommand) {
  EXPECT_EQ(ScanWorker(nullptr), -1);
  snprintf(context->recordingPath, PATH_SIZE, "%s.missing", path.c_str());
  EXPECT_EQ(ScanWorker(context), -2);
  EXPECT_EQ(shell.progressText, "Static");

  File file;
  for (int i = 0; i < 50; i++) file.Block(T1, 1ull << (i % 32));
  ASSERT_EQ(WriteFileBytes(path.c_str(), file.bytes), 0);
  snprintf(context->recordingPath, PATH_SIZE, "%s", path.c_str());
  cancelAfterSteps = 1;
  EXPECT_EQ(ScanWorker(context), -3);
  EXPECT_EQ(shell.commands, (std::vector<int>{RUN_CANCELLED, RUN_CANCELLED}));

  context->runFlag = 1;  // a whole scan on a thread of its own
  PlatformThread worker = PlatformStartThread(RunScanWorker, context);
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(PlatformJoinThread(worker), 0);
  EXPECT_EQ(ShellRowCount(context), 32);
  EXPECT_EQ(shell.commands, (std::vector<int>{RUN_CANCELLED, RUN_CANCELLED, RUN_COMPLETED}));
}

}  // namespace
