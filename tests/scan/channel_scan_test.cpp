// The channel scan: rows, their times, skipping, progress, cancel and worker.
#include "recording/channel_scan.h"
#include "shell/shell.h"
#include "tests/export/export_test_support.h"

const PackedTime T1 = MakePackedTime(2009, 3, 5, 7, 4, 9);
const PackedTime T2 = MakePackedTime(2009, 3, 7, 8, 5, 0);
const PackedTime T3 = MakePackedTime(2008, 12, 31, 23, 59, 59);  // earlier than T1

// A recording; a version-1 block takes 178 bytes, long with `entries`.
struct File {
  Bytes bytes;
  File& Block(PackedTime time, ChannelMask channels, uint32_t skip = 0, uint16_t entries = 0) {
    HeaderBlockLayout layout{1, skip, time, channels};
    layout.baseCounts[7] = entries;
    AppendHeaderBlock(&bytes, layout);
    return *this;
  }
  // 0xFF bytes by default: read as a header they name kind 15, longest payload.
  File& Record(unsigned kind, uint32_t length, const Bytes* payload = nullptr) {
    AppendRecord(&bytes, MakePlainHeader(kind, 0, 0, 1, 0, length),
                 payload ? *payload : Bytes(length, 0xFF));
    return *this;
  }
};

struct ScanFixture : ExportFixture {
  std::string path = out.File("recording.dat");
  // A scan: its result and texts, then "label | first | last | item" a row.
  std::string Scan(const File& file) {
    EXPECT_EQ(WriteFileBytes(path.c_str(), file.bytes), 0);
    texts.clear();
    shell.progressText = "Static";  // each run has a new dialog
    FILE* stream = fopen(path.c_str(), "rb");
    std::string result = std::to_string(stream ? ScanRecordingFile(stream, context) : -100);
    if (stream) fclose(stream);
    for (const std::string& text : texts) result += ", " + text;
    for (const HeadlessRow& row : shell.rows)
      result += "\n" + row.columns[0] + " | " + row.columns[1] + " | " + row.columns[2] + " | " +
                std::to_string(row.itemData);
    return result;
  }
};

// Rows in file order with the first and latest block naming the channel,
// replacing an earlier file's; bad years skip their block only; a failed
// insertion is tried again; only version 2 names channels above 32. Each
// block is reported, the end with the full report.
TEST_F(ScanFixture, RowsShowTheFirstAndLatestBlockOfEachChannel) {
  const struct { File file; int failInsertions; std::string scan; } cases[] = {
      {File().Block(T1, 1u).Block(MakePackedTime(3000, 1, 1, 0, 0, 0), 2u)
           .Block(MakePackedTime(1000, 1, 1, 0, 0, 0), 8u, 0, 3).Block(T3, 5u), 0,
       "0, Static, Progress: 178/724 bytes (25 %), Progress: 724/724 bytes (103 %), "
       "Progress: 724/724 bytes (100 %)"
       "\nChannel 1 | 2009/3/5 7:4:9 | 2008/12/31 23:59:59 | 0"
       "\nChannel 3 | 2008/12/31 23:59:59 | 2008/12/31 23:59:59 | 2"},
      {File().Block(T1, 3u).Block(T2, 1u), 1,
       "0, Static, Progress: 178/356 bytes (59 %), Progress: 356/356 bytes (118 %), "
       "Progress: 356/356 bytes (100 %)"
       "\nChannel 2 | 2009/3/5 7:4:9 | 2009/3/5 7:4:9 | 1"
       "\nChannel 1 | 2009/3/7 8:5:0 | 2009/3/7 8:5:0 | 0"},
      {File(), 0, "0, Static, Progress: 0/0 bytes (100 %)"}};
  for (const auto& c : cases) {
    ShellInsertRow(context, 0, "Channel 9", 8);
    shell.failInsertions = c.failInsertions;
    EXPECT_EQ(Scan(c.file), c.scan);
  }
  HeaderInfo info = {3, 0, T1, ~0ull};  // version 3: channels 1 to 32 only
  EXPECT_EQ(MergeChannels(context, &info) + ShellRowCount(context), 32);
}

// Records are passed over by their own length, after a block by its skip
// length (from 2^31 on forward, past the end); kind 4 of length 0 is no block.
TEST_F(ScanFixture, RecordsAreSkippedByTheirLengthThenByTheBlocksSkipLength) {
  const std::string row1 = "\nChannel 1 | 2009/3/5 7:4:9 | 2009/3/5 7:4:9 | 0",
                    row2 = "\nChannel 2 | 2009/3/7 8:5:0 | 2009/3/7 8:5:0 | 1";
  for (uint32_t skip : {30u, 0u, 0x80000000u, 0xFFFFFFF6u, 0xFFFFFFFFu}) {
    const Bytes payload(skip <= 30 ? skip : 30, 0xFF);
    File file;
    file.Record(RECORD_HEADER_BLOCK, 0).Record(0, 25).Record(2, 7).Block(T1, 1u, skip);
    file.Record(RECORD_HEADER_BLOCK, 0).Record(1, 5, &payload).Record(6, 0x7FFFF, &payload);
    const std::string scan = Scan(file.Block(T2, 2u, skip));
    EXPECT_EQ(scan.substr(scan.find("(100 %)\n")), "(100 %)" + row1 + (skip <= 30 ? row2 : ""));
  }
}

// A cancel stops after the record in hand with no final report (before the
// walk: no rows at all); the worker posts each run's final command.
TEST_F(ScanFixture, ACancelStopsBetweenRecordsAndTheWorkerPostsTheFinalCommand) {
  snprintf(context->recordingPath, PATH_SIZE, "%s", path.c_str());
  EXPECT_EQ(ScanWorker(context), -2);  // no file yet
  const File file = File().Block(T1, 1u).Block(T2, 2u).Block(T3, 4u);
  cancelAt = 2;
  EXPECT_EQ(Scan(file), "-1, Static, Progress: 178/534 bytes (35 %)\n"
                        "Channel 1 | 2009/3/5 7:4:9 | 2009/3/5 7:4:9 | 0");
  EXPECT_EQ(Scan(file), "-1, Static");
  EXPECT_EQ(ScanWorker(context), -3);
  context->runFlag = 1;
  cancelAt = 0;
  EXPECT_EQ(ScanWorker(context), 0);
  EXPECT_EQ(shell.commands, (std::vector<int>{RUN_CANCELLED, RUN_CANCELLED, RUN_COMPLETED}));
}

