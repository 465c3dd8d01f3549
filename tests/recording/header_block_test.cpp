// Header blocks: short and long forms, versions, entries, the extension,
// the year check, cut files and the two diagnostics.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "platform/platform.h"
#include "tests/recording/test_streams.h"

static const std::string READ_FAILED = "file_write() failed\n";
static const PackedTime TIME_2009 = MakePackedTime(2009, 3, 5, 7, 4, 9);

// What one ReadHeaderBlock call did: its code, whether it left the info
// alone, its standard output, and the stream position after the record head.
typedef std::tuple<int, bool, std::string, int64_t> BlockRead;

// Reads a kind-4 record declaring `length` payload bytes followed by `bytes`
// (fewer or more, cut to `cut`), from a file or from a stream that cannot
// seek past its end.
static BlockRead ReadBlock(uint32_t length, Bytes bytes, HeaderInfo* info, size_t cut = SIZE_MAX, bool inMemory = false) {
  Bytes file;
  bytes.resize(std::min(cut, bytes.size()));
  AppendRecord(&file, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, length), bytes);
  FILE* stream = inMemory ? OpenMemoryBytes(file) : OpenBytes(file);
  RecordHeader header;
  HeaderInfo sentinel;
  memset(&sentinel, 0xA5, sizeof sentinel);
  *info = sentinel;
  EXPECT_TRUE(stream && ReadRecordHeader(stream, &header));
  testing::internal::CaptureStdout();
  int code = ReadHeaderBlock(stream, &header, info);
  std::string output = testing::internal::GetCapturedStdout();
  int64_t position = PlatformTell(stream) - RECORD_HEADER_SIZE;
  fclose(stream);
  return BlockRead(code, !memcmp(info, &sentinel, sizeof sentinel), output, position);
}

// Short and long forms, versions, entries and dates: the code, the output,
// where the stream stands after the block, and what it read.
TEST(HeaderBlock, FormsVersionsAndDates) {
  HeaderBlockLayout layout = {0, 0x12345678, 0, 0x8000000180000001ull};
  layout.baseCounts[0] = 1;
  layout.baseCounts[63] = 2;  // the last count, the second of channel 31
  const std::string refused = "(pdev->vantel.ver == 0)";
  struct Row { uint16_t version; uint32_t length; int code; int64_t position; std::string output; unsigned year = 2009; };
  const Row rows[] = {
    {1, 168, -5, 168, "", 1000}, {1, 180, 0, 180, "", 1001},  // only years 1001 to 2999 pass; a block
    {1, 168, 0, 168, "", 2999},  {1, 180, -5, 180, "", 3000},  // refused is passed over all the same
    {2, 20, 0, 20, ""},          // short form: the version at offset 30 lies beyond
    {0, 168, 0, 168, ""},        // version 0 passes in the short form,
    {2, 168, 0, 168, ""},        // version 2 has no extension there,
    {1, 158, 0, 158, ""},        // and the entries are not skipped
    {1, 12, -5, 12, ""},         // no year yet
    {0, 169, -3, 168, refused},  // long form
    {0, 524287, -3, 168, refused},
    {1, 169, 0, 180, ""},        // entries passed over, whatever the declared length
    {1, 524287, 0, 180, ""},
    {3, 180, 0, 180, ""},        // only version 2 has an extension
    {0xFFFF, 180, 0, 180, ""},
  };
  for (const Row& row : rows) {
    layout.version = row.version;
    layout.blockTime = MakePackedTime(row.year, 3, 5, 7, 4, 9);
    Bytes payload = MakeHeaderBlockPayload(layout);
    payload.resize(1000, 0x77);
    HeaderInfo info;
    EXPECT_EQ(BlockRead(row.code, row.code != 0, row.output, row.position), ReadBlock(row.length, payload, &info))
        << row.version << " " << row.length << " " << row.year;
    const uint16_t version = row.length > 30 ? row.version : 0;
    if (row.code == 0) {
      EXPECT_EQ(std::make_tuple(version, 0x12345678u, layout.blockTime, 0x80000001ull),
                std::make_tuple(info.version, info.skipLength, info.blockTime, info.channels));
    }
  }
  // The largest counts sum without overflow; the seek passes the file's end.
  layout.version = 1;
  for (uint16_t& count : layout.baseCounts) count = 65535;
  HeaderInfo info;
  EXPECT_EQ(BlockRead(0, false, "", HEADER_BASE_SIZE + 64 * 65535 * 4),
            ReadBlock(1000, MakeHeaderBlockPayload(layout), &info, HEADER_BASE_SIZE));
}

TEST(HeaderBlock, EveryCutFailsAndLeavesTheResultAlone) {
  HeaderInfo info;
  for (uint32_t length : {1u, 20u, 168u})  // short form
    for (size_t cut = 0; cut < length; cut++)
      EXPECT_EQ(BlockRead(-1, true, READ_FAILED, cut), ReadBlock(length, MakeHeaderBlockPayload({}), &info, cut));
  // Version 2: base, base entries, extension (channels 32-63), its entries.
  HeaderBlockLayout layout = {2, 0, TIME_2009, 0x8000000500000003ull};
  layout.baseCounts[10] = 2;
  layout.extension = true;
  layout.extensionCounts[0] = 3;
  layout.extensionCounts[63] = 1;
  const Bytes payload = MakeHeaderBlockPayload(layout);
  const size_t extensionEnd = 168 + 8 + 164, size = payload.size();
  ASSERT_EQ(extensionEnd + 16, size);
  for (size_t cut = 0; cut <= size; cut++) {
    BlockRead read = ReadBlock((uint32_t)size, payload, &info, cut);
    if (cut >= extensionEnd)  // only unread entries are missing
      EXPECT_EQ(std::make_tuple(0, 0x8000000500000003ull, (int64_t)size),
                std::make_tuple(std::get<0>(read), info.channels, std::get<3>(read))) << cut;
    else if (cut < HEADER_BASE_SIZE)
      EXPECT_EQ(BlockRead(-2, true, READ_FAILED, cut), read) << cut;
    else  // after the seek over the base entries, the extension is cut
      EXPECT_EQ(BlockRead(-4, true, "", std::max<int64_t>(cut, 176)), read) << cut;
  }
  // Entries a stream cannot pass over hide the extension behind them.
  layout.baseCounts[10] = 100;  // 400 bytes of entries; the stream holds 196 of them
  EXPECT_EQ(BlockRead(-4, true, "", HEADER_BASE_SIZE), ReadBlock(1000, MakeHeaderBlockPayload(layout), &info, 364, true));
}
