// Header blocks: short and long forms, versions, entries, the extension,
// the year check, cut files and the two diagnostics.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "platform/platform.h"
#include "recording/header_block.h"
#include "tests/recording/test_streams.h"

static const PackedTime TIME_2009 = MakePackedTime(2009, 3, 5, 7, 4, 9);
static const char* const READ_FAILED = "file_write() failed\n";
typedef std::vector<uint64_t> Values;

// What one ReadHeaderBlock call did, starting from a HeaderInfo of 0xA5 bytes.
struct BlockRead {
  int code;
  HeaderInfo info;
  std::string output;  // standard output during the call
  int64_t position;    // stream position relative to the first payload byte
  bool Unchanged() const {
    HeaderInfo sentinel;
    memset(&sentinel, 0xA5, sizeof sentinel);
    return memcmp(&info, &sentinel, sizeof info) == 0;
  }
};

// Reads a kind-4 record declaring `length` payload bytes followed by `bytes`
// (fewer or more), from a file or from a stream that cannot seek past its end.
static BlockRead ReadBlock(uint32_t length, const Bytes& bytes, bool inMemory = false) {
  Bytes file;
  AppendRecord(&file, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, length), bytes);
  FILE* stream = inMemory ? OpenMemoryBytes(file) : OpenBytes(file);
  FILE* sink = tmpfile();
  BlockRead read = {};
  memset(&read.info, 0xA5, sizeof read.info);
  RecordHeader header;
  if (!stream || !sink || !ReadRecordHeader(stream, &header)) {
    ADD_FAILURE() << "no stream";
    return read;
  }
  fflush(stdout);
  int savedStdout = dup(fileno(stdout));
  dup2(fileno(sink), fileno(stdout));
  read.code = ReadHeaderBlock(stream, &header, &read.info);
  fflush(stdout);
  dup2(savedStdout, fileno(stdout));
  close(savedStdout);
  rewind(sink);
  for (int c; (c = fgetc(sink)) != EOF;) read.output += (char)c;
  read.position = PlatformTell(stream) - RECORD_HEADER_SIZE;
  fclose(sink);
  fclose(stream);
  return read;
}

static Bytes Cut(const Bytes& bytes, size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + (ptrdiff_t)length);
}

static HeaderBlockLayout Layout(uint16_t version, ChannelMask channels) {
  return {version, 0x12345678, TIME_2009, channels};
}

TEST(HeaderBlock, FormsAndVersions) {
  HeaderBlockLayout layout = Layout(0, 0x8000000180000001ull);
  layout.baseCounts[0] = 1;
  layout.baseCounts[63] = 2;  // the last count, the second of channel 31
  const char* const refused = "(pdev->vantel.ver == 0)";
  struct Row {
    uint16_t version; uint32_t length; int code, readVersion, position; const char* output;
  };
  const Row rows[] = {
    {2, 20, 0, 0, 20, ""},             // short form: the version at offset 30 lies beyond
    {0, 168, 0, 0, 168, ""},           // version 0 passes in the short form,
    {2, 168, 0, 2, 168, ""},           // version 2 has no extension there,
    {1, 158, 0, 1, 158, ""},           // and the entries are not skipped
    {1, 12, -5, 0, 12, ""},            // no year yet
    {0, 169, -3, 0, 168, refused},     // long form
    {0, 524287, -3, 0, 168, refused},
    {1, 169, 0, 1, 180, ""},           // entries passed over, whatever the declared length
    {1, 524287, 0, 1, 180, ""},
    {3, 180, 0, 3, 180, ""},           // only version 2 has an extension
    {0xFFFF, 180, 0, 0xFFFF, 180, ""},
  };
  for (const Row& row : rows) {
    layout.version = row.version;
    Bytes file = MakeHeaderBlockPayload(layout);
    file.resize(1000, 0x77);
    BlockRead read = ReadBlock(row.length, file);
    SCOPED_TRACE(testing::Message() << "version " << row.version << " length " << row.length);
    EXPECT_EQ(std::make_tuple(row.code, row.position, std::string(row.output)),
              std::make_tuple(read.code, read.position, read.output));
    if (row.code != 0) EXPECT_TRUE(read.Unchanged());
    else EXPECT_EQ(Values({(uint64_t)row.readVersion, 0x12345678u, TIME_2009, 0x80000001ull}),
                   Values({read.info.version, read.info.skipLength, read.info.blockTime, read.info.channels}));
  }
  // The largest counts sum without overflow; the seek passes the file's end.
  layout.version = 1;
  for (uint16_t& count : layout.baseCounts) count = 65535;
  BlockRead read = ReadBlock(1000, Cut(MakeHeaderBlockPayload(layout), HEADER_BASE_SIZE));
  EXPECT_EQ(0, read.code);
  EXPECT_EQ(HEADER_BASE_SIZE + 64 * 65535 * 4, read.position);
}

TEST(HeaderBlock, EveryCutFailsAndLeavesTheResultAlone) {
  for (uint32_t length : {1u, 20u, 168u}) {  // short form
    Bytes payload = MakeHeaderBlockPayload(Layout(1, 1));
    for (size_t cut = 0; cut < length; cut++) {
      BlockRead read = ReadBlock(length, Cut(payload, cut));
      EXPECT_EQ(std::make_tuple(-1, std::string(READ_FAILED), true, (int64_t)cut),
                std::make_tuple(read.code, read.output, read.Unchanged(), read.position)) << length << " " << cut;
    }
  }
  // Version 2: base, base entries, extension (channels 32-63), its entries.
  HeaderBlockLayout layout = Layout(2, 0x8000000500000003ull);
  layout.baseCounts[10] = 2;
  layout.extension = true;
  layout.extensionCounts[0] = 3;
  layout.extensionCounts[63] = 1;
  Bytes payload = MakeHeaderBlockPayload(layout);
  const size_t extensionEnd = 168 + 8 + 164;
  ASSERT_EQ(extensionEnd + 16, payload.size());
  for (size_t cut = 0; cut <= payload.size(); cut++) {
    BlockRead read = ReadBlock((uint32_t)payload.size(), Cut(payload, cut));
    if (cut >= extensionEnd)  // only unread entries are missing
      EXPECT_EQ(std::make_tuple(0, 0x8000000500000003ull, (int64_t)payload.size()),
                std::make_tuple(read.code, read.info.channels, read.position)) << cut;
    else
      EXPECT_EQ(std::make_tuple(cut < HEADER_BASE_SIZE ? -2 : -4, std::string(cut < HEADER_BASE_SIZE ? READ_FAILED : ""), true),
                std::make_tuple(read.code, read.output, read.Unchanged())) << cut;
  }
  // Entries a stream cannot pass over hide the extension behind them.
  layout.baseCounts[10] = 100;
  Bytes base = Cut(MakeHeaderBlockPayload(layout), HEADER_BASE_SIZE);
  base.resize(base.size() + 164 + 200, 0xFF);  // 364 bytes, the entries need 400
  BlockRead read = ReadBlock(1000, base, true);
  EXPECT_EQ(std::make_tuple(-4, std::string(), true), std::make_tuple(read.code, read.output, read.Unchanged()));
}

TEST(HeaderBlock, OnlyYears1001To2999Pass) {
  for (unsigned year : {1000u, 1001u, 2999u, 3000u}) {
    HeaderBlockLayout layout = Layout(2, 0x100000001ull);
    layout.blockTime = MakePackedTime(year, 12, 31, 23, 59, 59);
    layout.extension = true;
    layout.baseCounts[0] = 1;
    Bytes longPayload = MakeHeaderBlockPayload(layout);
    for (const Bytes& payload : {Cut(longPayload, HEADER_BASE_SIZE), longPayload}) {
      BlockRead read = ReadBlock((uint32_t)payload.size(), payload);
      bool valid = year > 1000 && year < 3000;  // the block is passed over even when refused
      EXPECT_EQ(std::make_tuple(valid ? 0 : -5, std::string(), (int64_t)payload.size(), !valid),
                std::make_tuple(read.code, read.output, read.position, read.Unchanged())) << year << " " << payload.size();
    }
  }
}
