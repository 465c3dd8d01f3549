// The channel scan: rows, their times, the walk's skipping rules, its stops,
// cancelling, progress, and the worker around it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

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
  File& Record(unsigned kind, uint32_t length) { return Record(kind, length, Bytes(length, 0xFF)); }
};

struct ScanFixture : ::testing::Test {
  AppContext* context = new AppContext();
  HeadlessShell shell;
  std::string path = ::testing::TempDir() + "zentrix-scan-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".dat";
  Texts texts;         // every progress text of the last scan, in order
  size_t cancelAt = 0;  // clear the run flag when this many texts were seen

  void SetUp() override {
    HeadlessShellAttach(context, &shell);
    context->runFlag = 1;
    shell.user = this;
    shell.onProgress = [](HeadlessShell* s, void* user) {
      ScanFixture* self = (ScanFixture*)user;
      std::lock_guard<std::mutex> hold(s->lock);
      if (!self->texts.empty() && self->texts.back() == s->progressText) return;
      self->texts.push_back(s->progressText);
      if (self->texts.size() == self->cancelAt) self->context->runFlag = 0;
    };
  }
  void TearDown() override {
    delete context;
    remove(path.c_str());
  }

  int Scan(const File& file) {
    EXPECT_EQ(WriteFileBytes(path.c_str(), file.bytes), 0);
    texts.clear();
    shell.progressText = "Static";  // each run has a new dialog
    FILE* stream = fopen(path.c_str(), "rb");
    if (!stream) return -100;
    int result = ScanRecordingFile(stream, context);
    fclose(stream);
    return result;
  }
  // Each row as "label | first time | last time | item data", or the labels alone.
  Texts Rows(bool labelsOnly = false) {
    Texts rows;
    for (const HeadlessRow& row : shell.rows)
      rows.push_back(labelsOnly ? row.columns[0]
                                : row.columns[0] + " | " + row.columns[1] + " | " +
                                      row.columns[2] + " | " + std::to_string(row.itemData));
    return rows;
  }
};

// Rows follow the file's order, not the times'. A block with a bad year was
// read whole: only that block is passed over. A failed insertion is tried
// again by a later block. Only version 2 names channels above 32 (zentrix-cli's
// tests scan one).
TEST_F(ScanFixture, RowsShowTheFirstAndLatestBlockOfEachChannel) {
  HeaderBlockLayout longBad = Layout(MakePackedTime(1000, 1, 1, 0, 0, 0), 1u << 3);
  longBad.baseCounts[7] = 3;  // entries after the base block: the long form
  const struct {
    File file;
    int failInsertions;
    Texts rows;
  } cases[] = {
      {File().Block(T1, 5u).Block(T2, 7u).Block(T3, 1u), 0,
       {"Channel 1 | 2009/3/5 7:4:9 | 2008/12/31 23:59:59 | 0",
        "Channel 3 | 2009/3/5 7:4:9 | 2009/3/7 8:5:0 | 2",
        "Channel 2 | 2009/3/7 8:5:0 | 2009/3/7 8:5:0 | 1"}},
      {File().Block(T1, 1u).Block(MakePackedTime(3000, 1, 1, 0, 0, 0), 2u).Block(longBad)
           .Block(T2, 5u), 0,
       {"Channel 1 | 2009/3/5 7:4:9 | 2009/3/7 8:5:0 | 0",
        "Channel 3 | 2009/3/7 8:5:0 | 2009/3/7 8:5:0 | 2"}},
      {File().Block(T1, 3u).Block(T2, 1u), 1,
       {"Channel 2 | 2009/3/5 7:4:9 | 2009/3/5 7:4:9 | 1",
        "Channel 1 | 2009/3/7 8:5:0 | 2009/3/7 8:5:0 | 0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows[0]);
    shell.failInsertions = c.failInsertions;
    EXPECT_EQ(Scan(c.file), 0);
    EXPECT_EQ(Rows(), c.rows);
  }
  HeaderInfo info = {};
  info.channels = (1ull << 63) | (1ull << 31);
  info.version = 3;
  EXPECT_EQ(MergeChannels(context, &info), 0);
  EXPECT_EQ(Rows(true), (Texts{"Channel 2", "Channel 1", "Channel 32"}));
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
    file.Record(RECORD_HEADER_BLOCK, 0).Record(0, 25).Record(2, 7).Block(T1, 1u, skip);
    file.Record(RECORD_HEADER_BLOCK, 0).Record(1, 5, payload).Record(6, 0x7FFFF, payload);
    file.Block(T2, 2u, skip);
    EXPECT_EQ(Scan(file), 0);
    EXPECT_EQ(Rows(true), (skip <= 30 ? Texts{"Channel 1", "Channel 2"} : Texts{"Channel 1"}));
    EXPECT_EQ(texts.back().substr(texts.back().size() - 7), "(100 %)");
  }
}

// Every header block read is reported; the walk ends at the file's end, a
// header or a block cut short, with the full report. Rows of an earlier file go.
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
      {File().Block(T1, 1u).Record(1, 1000).Block(T2, 1u, 1000).Record(1, 1000), {"Channel 1"},
       {"Static", "Progress: 178/2,376 bytes (7 %)", "Progress: 1,366/2,376 bytes (59 %)",
        "Progress: 2,376/2,376 bytes (100 %)"}},
      {cutHeader, {"Channel 1"},
       {"Static", "Progress: 178/184 bytes (178 %)", "Progress: 184/184 bytes (100 %)"}},
      {File().Block(T1, 1u).Record(RECORD_HEADER_BLOCK, 100, cutPayload), {"Channel 1"},
       {"Static", "Progress: 178/228 bytes (89 %)", "Progress: 228/228 bytes (100 %)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.texts.back());
    ShellInsertRow(context, 0, "Channel 9", 8);
    EXPECT_EQ(Scan(c.file), 0);
    EXPECT_EQ(Rows(true), c.labels);
    EXPECT_EQ(texts, c.texts);
    EXPECT_EQ(shell.progressPosition + shell.progressHigh, 2 * c.file.bytes.size());
  }
}

// A cancel finishes the record in hand, reads nothing after it and makes no
// final report; cleared before the walk, the earlier rows go and nothing is
// read. The worker posts each run's final command.
TEST_F(ScanFixture, ACancelStopsBetweenRecordsAndTheWorkerPostsTheFinalCommand) {
  EXPECT_EQ(ScanWorker(nullptr), -1);
  snprintf(context->recordingPath, PATH_SIZE, "%s.missing", path.c_str());
  EXPECT_EQ(ScanWorker(context), -2);
  const File file = File().Block(T1, 1u).Block(T2, 2u).Block(T3, 4u);
  ASSERT_EQ(WriteFileBytes(path.c_str(), file.bytes), 0);
  snprintf(context->recordingPath, PATH_SIZE, "%s", path.c_str());
  cancelAt = 2;
  EXPECT_EQ(ScanWorker(context), -3);
  EXPECT_EQ(Rows(true), (Texts{"Channel 1"}));
  EXPECT_EQ(texts, (Texts{"Static", "Progress: 178/534 bytes (35 %)"}));
  EXPECT_EQ(Scan(file), -1);
  EXPECT_EQ(ShellRowCount(context), 0);
  EXPECT_EQ(texts, (Texts{"Static"}));
  context->runFlag = 1;
  cancelAt = 0;
  EXPECT_EQ(ScanWorker(context), 0);
  EXPECT_EQ(ShellRowCount(context), 3);
  EXPECT_EQ(shell.commands, (std::vector<int>{RUN_CANCELLED, RUN_CANCELLED, RUN_COMPLETED}));
}

}  // namespace
