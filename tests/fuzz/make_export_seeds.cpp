// Writes the seed recordings of the export fuzzer into a folder:
//   make_export_seeds tests/fuzz/corpus/export
// Their pictures are raw planar YUV 4:2:0, as the lossless test modules take
// them, so that the fuzzer starts from frames that reach the AVI files.
#include <cstdio>
#include <string>

#include "tools/record_writer.h"

static Bytes Picture(unsigned width, unsigned height, uint8_t shade) {
  return Bytes(width * height * 3 / 2, shade);
}

static void Frame(Bytes* file, unsigned kind, unsigned channel, unsigned width, unsigned height,
                  uint32_t timeMs, uint8_t shade) {
  Bytes payload(4, 0);
  PutLe32(payload.data(), MakeVideoPrefix(2, 0, width, height));
  Bytes picture = Picture(width, height, shade);
  payload.insert(payload.end(), picture.begin(), picture.end());
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
  Frame(&file, 0, 0, 4, 4, 29100000, 1);
  Frame(&file, 0, 2, 4, 4, 29100000, 2);
  Frame(&file, 1, 0, 4, 4, 29101000, 3);
  Block(&file, 1, 0x5, 7);
  Frame(&file, 1, 2, 4, 4, 29102000, 4);
  Frame(&file, 1, 0, 4, 4, 29102000, 5);
  return file;
}

// A size change, a non-key frame before the next key frame, a kind that
// ends the export walk.
static Bytes SizeChange() {
  Bytes file;
  Block(&file, 1, 0x1, 8);
  Frame(&file, 0, 0, 8, 8, 1000, 1);
  Frame(&file, 1, 0, 8, 8, 2000, 2);
  Frame(&file, 1, 0, 2, 2, 3000, 3);
  Frame(&file, 0, 0, 2, 2, 4000, 4);
  AppendRecord(&file, MakePlainHeader(9, 0, 0, 1, 5000, 4), Bytes(4, 9));
  Frame(&file, 0, 0, 2, 2, 6000, 5);
  return file;
}

// The extended layout naming channel 41 (number 40), plain frames whose
// payload is no picture of their size, records of other kinds.
static Bytes ExtendedAndPlain() {
  Bytes file;
  Block(&file, 2, (1ull << 40) | 1, 9);
  Frame(&file, 0, 40, 2, 2, 86399000, 1);
  AppendRecord(&file, MakePlainHeader(0, 0, 1, 1, 86399100, 16), Bytes(16, 7));
  AppendRecord(&file, MakePlainHeader(2, 0, 0, 0, 86399200, 6), Bytes(6, 8));
  AppendRecord(&file, MakePlainHeader(5, 0, 0, 0, 86399300, 3), Bytes(3, 9));
  Frame(&file, 1, 40, 2, 2, 86399400, 2);
  return file;
}

// Frames before the first header block: dated zero.
static Bytes BeforeTheFirstBlock() {
  Bytes file;
  Frame(&file, 0, 1, 2, 2, 1000, 1);
  Frame(&file, 1, 1, 2, 2, 2000, 2);
  Block(&file, 0, 0x2, 10);
  Frame(&file, 1, 1, 2, 2, 3000, 3);
  return file;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_export_seeds FOLDER\n");
    return 1;
  }
  struct Seed {
    const char* name;
    Bytes bytes;
  } seeds[] = {
      {"two_channels", TwoChannels()},
      {"size_change", SizeChange()},
      {"extended_and_plain", ExtendedAndPlain()},
      {"before_the_first_block", BeforeTheFirstBlock()},
  };
  for (const Seed& seed : seeds) {
    std::string path = std::string(argv[1]) + "/" + seed.name + ".rec";
    if (WriteFileBytes(path.c_str(), seed.bytes) != 0) {
      fprintf(stderr, "make_export_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
