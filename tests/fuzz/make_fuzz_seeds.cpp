// Writes the seed recordings of the fuzz targets (run by hand when they change):
//   make_fuzz_seeds tests/fuzz/corpus
// The export seeds' pictures are raw planar YUV 4:2:0, as the lossless test
// modules take them, so that the fuzzer starts from frames that reach the
// AVI files. (The export corpus's generator_*.rec come from zentrix-mkrec.)
#include <cstdio>
#include <string>

#include "tools/record_writer.h"

// -- record_walk
static Bytes ExtendedFrame(unsigned codecType, unsigned width, unsigned height, uint32_t length) {
  Bytes payload(4, 0);
  PutLe32(payload.data(), MakeVideoPrefix(codecType, 1, width, height));
  payload.resize(4 + length, 0x5A);
  return payload;
}

// Plain form: a version-1 block, frames of three sizes, a kind-2 and a kind-5 record.
static Bytes PlainRecording() {
  Bytes file;
  HeaderBlockLayout layout;
  layout.version = 1;
  layout.blockTime = MakePackedTime(2009, 3, 5, 7, 4, 9);
  layout.channels = 0x5;
  layout.baseCounts[0] = 2;
  AppendHeaderBlock(&file, layout);
  AppendRecord(&file, MakePlainHeader(0, 0, 2, 3, 25200000, 24), Bytes(24, 1));
  AppendRecord(&file, MakePlainHeader(1, 2, 0, 1, 25200040, 12), Bytes(12, 2));
  AppendRecord(&file, MakePlainHeader(6, 2, 1, 2, 25200080, 8), Bytes(8, 3));
  AppendRecord(&file, MakePlainHeader(2, 0, 0, 0, 25200100, 6), Bytes(6, 4));
  AppendRecord(&file, MakePlainHeader(0, 0, 1, 0, 25200120, 5), Bytes(5, 5));
  AppendRecord(&file, MakePlainHeader(5, 0, 0, 0, 25200160, 3), Bytes(3, 6));
  return file;
}

// Extended form: a version-2 block with entries and its extension, frames of
// channel 40 and a kind-2 record with its own prefix.
static Bytes ExtendedRecording() {
  Bytes file;
  HeaderBlockLayout layout;
  layout.version = 2;
  layout.blockTime = MakePackedTime(2012, 12, 31, 23, 59, 50);
  layout.channels = 0x0000010000000001ull;
  layout.baseCounts[1] = 1;
  layout.extension = true;
  layout.extensionCounts[16] = 2;
  AppendHeaderBlock(&file, layout);
  AppendRecord(&file, MakeExtendedHeader(0, 40, 86399000, 20), ExtendedFrame(6, 640, 480, 16));
  AppendRecord(&file, MakeExtendedHeader(1, 40, 86399500, 12), ExtendedFrame(6, 640, 480, 8));
  AppendRecord(&file, MakeExtendedHeader(7, 0, 86399600, 8), ExtendedFrame(3, 320, 240, 4));
  Bytes media(8, 0);
  PutLe32(media.data(), 0x30u | (2u << 8) | (0x3A02u << 10));
  AppendRecord(&file, MakeExtendedHeader(2, 0, 86399700, 8), media);
  AppendRecord(&file, MakeExtendedHeader(0, 1, 86399800, 3), Bytes(3, 7));
  return file;
}

// Short header blocks, empty records and a kind that ends the export walk.
static Bytes ShortBlocks() {
  Bytes file;
  HeaderBlockLayout layout;
  layout.version = 2;
  layout.blockTime = MakePackedTime(2001, 1, 1, 0, 0, 0);
  layout.channels = 0x3;
  Bytes block = MakeHeaderBlockPayload(layout);
  block.resize(20);
  AppendRecord(&file, MakePlainHeader(4, 0, 0, 0, 0, 20), block);
  AppendRecord(&file, MakePlainHeader(4, 0, 0, 0, 0, 0), Bytes());
  AppendRecord(&file, MakePlainHeader(0, 1, 0, 1, 100, 0), Bytes());
  AppendRecord(&file, MakePlainHeader(1, 1, 0, 1, 200, 4), Bytes(4, 8));
  AppendRecord(&file, MakePlainHeader(9, 1, 0, 1, 300, 4), Bytes(4, 9));
  AppendRecord(&file, MakePlainHeader(1, 1, 0, 1, 400, 4), Bytes(4, 10));
  return file;
}

// A skip length that differs from the payload lengths (the scan's rule),
// then a block of version 0, one with a year out of range, and a cut block.
static Bytes DamagedBlocks() {
  Bytes file;
  HeaderBlockLayout layout;
  layout.version = 1;
  layout.skipLength = 6;
  layout.blockTime = MakePackedTime(2999, 6, 15, 12, 30, 0);
  layout.channels = 0x80000000u;
  AppendHeaderBlock(&file, layout);
  AppendRecord(&file, MakePlainHeader(3, 31, 0, 1, 0, 6), Bytes(6, 11));
  AppendRecord(&file, MakePlainHeader(0, 31, 0, 1, 0, 6), Bytes(6, 12));
  layout.version = 0;
  layout.baseCounts[2] = 1;
  AppendHeaderBlock(&file, layout);
  layout.version = 1;
  layout.blockTime = MakePackedTime(3000, 1, 1, 0, 0, 0);
  AppendHeaderBlock(&file, layout);
  layout.blockTime = MakePackedTime(2010, 1, 1, 0, 0, 0);
  layout.version = 2;
  layout.extension = true;
  Bytes cut = MakeHeaderBlockPayload(layout);
  AppendRecord(&file, MakePlainHeader(4, 0, 0, 0, 0, (uint32_t)cut.size()), cut);
  file.resize(file.size() - 100);
  return file;
}

// Only part of a record header.
static Bytes CutHeader() {
  Bytes file;
  AppendRecord(&file, MakePlainHeader(1, 0, 0, 1, 0, 2), Bytes(2, 13));
  RecordHeader next = MakePlainHeader(1, 0, 0, 1, 0, 2);
  file.insert(file.end(), next.bytes, next.bytes + 7);
  return file;
}

// -- export
static void Picture(Bytes* file, unsigned kind, unsigned channel, unsigned width, unsigned height,
                  uint32_t timeMs, uint8_t shade) {
  Bytes payload(4, 0);
  PutLe32(payload.data(), MakeVideoPrefix(2, 0, width, height));
  payload.resize(4 + width * height * 3 / 2, shade);  // raw planar YUV 4:2:0
  AppendRecord(file, MakeExtendedHeader(kind, channel, timeMs, (uint32_t)payload.size()), payload);
}

static void Block(Bytes* file, uint16_t version, ChannelMask channels, unsigned day) {
  HeaderBlockLayout layout;
  layout.version = version;
  layout.blockTime = MakePackedTime(2009, 3, day, 8, 0, 0);
  layout.channels = channels;
  layout.extension = version == 2;
  if (version == 1) layout.baseCounts[3] = 1;
  AppendHeaderBlock(file, layout);
}

// Two channels, key and non-key frames, a second block with entries.
static Bytes TwoChannels() {
  Bytes file;
  Block(&file, 0, 0x5, 7);
  Picture(&file, 0, 0, 4, 4, 29100000, 1);
  Picture(&file, 0, 2, 4, 4, 29100000, 2);
  Picture(&file, 1, 0, 4, 4, 29101000, 3);
  Block(&file, 1, 0x5, 7);
  Picture(&file, 1, 2, 4, 4, 29102000, 4);
  Picture(&file, 1, 0, 4, 4, 29102000, 5);
  return file;
}

// A size change, a non-key frame before the next key frame, a kind that
// ends the export walk.
static Bytes SizeChange() {
  Bytes file;
  Block(&file, 1, 0x1, 8);
  Picture(&file, 0, 0, 8, 8, 1000, 1);
  Picture(&file, 1, 0, 8, 8, 2000, 2);
  Picture(&file, 1, 0, 2, 2, 3000, 3);
  Picture(&file, 0, 0, 2, 2, 4000, 4);
  AppendRecord(&file, MakePlainHeader(9, 0, 0, 1, 5000, 4), Bytes(4, 9));
  Picture(&file, 0, 0, 2, 2, 6000, 5);
  return file;
}

// The extended layout naming channel 41 (number 40), plain frames whose
// payload is no picture of their size, records of other kinds.
static Bytes ExtendedAndPlain() {
  Bytes file;
  Block(&file, 2, (1ull << 40) | 1, 9);
  Picture(&file, 0, 40, 2, 2, 86399000, 1);
  AppendRecord(&file, MakePlainHeader(0, 0, 1, 1, 86399100, 16), Bytes(16, 7));
  AppendRecord(&file, MakePlainHeader(2, 0, 0, 0, 86399200, 6), Bytes(6, 8));
  AppendRecord(&file, MakePlainHeader(5, 0, 0, 0, 86399300, 3), Bytes(3, 9));
  Picture(&file, 1, 40, 2, 2, 86399400, 2);
  return file;
}

// Frames before the first header block: dated zero.
static Bytes BeforeTheFirstBlock() {
  Bytes file;
  Picture(&file, 0, 1, 2, 2, 1000, 1);
  Picture(&file, 1, 1, 2, 2, 2000, 2);
  Block(&file, 0, 0x2, 10);
  Picture(&file, 1, 1, 2, 2, 3000, 3);
  return file;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_fuzz_seeds CORPUS_FOLDER\n");
    return 2;
  }
  const struct {
    const char* name;
    Bytes bytes;
  } seeds[] = {
      {"record_walk/plain", PlainRecording()},
      {"record_walk/extended", ExtendedRecording()},
      {"record_walk/short_blocks", ShortBlocks()},
      {"record_walk/damaged_blocks", DamagedBlocks()},
      {"record_walk/cut_header", CutHeader()},
      {"export/two_channels", TwoChannels()},
      {"export/size_change", SizeChange()},
      {"export/extended_and_plain", ExtendedAndPlain()},
      {"export/before_the_first_block", BeforeTheFirstBlock()},
  };
  for (const auto& seed : seeds) {
    std::string path = std::string(argv[1]) + "/" + seed.name + ".rec";
    if (WriteFileBytes(path.c_str(), seed.bytes) != 0) {
      fprintf(stderr, "make_fuzz_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
