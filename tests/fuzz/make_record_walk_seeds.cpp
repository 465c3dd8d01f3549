// Writes the seed recordings of the record walk fuzzer into a folder:
//   make_record_walk_seeds tests/fuzz/corpus/record_walk
#include <cstdio>
#include <string>

#include "tools/record_writer.h"

static Bytes Frame(uint32_t length, uint8_t fill) { return Bytes(length, fill); }

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
  AppendRecord(&file, MakePlainHeader(0, 0, 2, 3, 25200000, 24), Frame(24, 1));
  AppendRecord(&file, MakePlainHeader(1, 2, 0, 1, 25200040, 12), Frame(12, 2));
  AppendRecord(&file, MakePlainHeader(6, 2, 1, 2, 25200080, 8), Frame(8, 3));
  AppendRecord(&file, MakePlainHeader(2, 0, 0, 0, 25200100, 6), Frame(6, 4));
  AppendRecord(&file, MakePlainHeader(0, 0, 1, 0, 25200120, 5), Frame(5, 5));
  AppendRecord(&file, MakePlainHeader(5, 0, 0, 0, 25200160, 3), Frame(3, 6));
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
  AppendRecord(&file, MakeExtendedHeader(0, 1, 86399800, 3), Frame(3, 7));
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
  AppendRecord(&file, MakePlainHeader(1, 1, 0, 1, 200, 4), Frame(4, 8));
  AppendRecord(&file, MakePlainHeader(9, 1, 0, 1, 300, 4), Frame(4, 9));
  AppendRecord(&file, MakePlainHeader(1, 1, 0, 1, 400, 4), Frame(4, 10));
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
  AppendRecord(&file, MakePlainHeader(3, 31, 0, 1, 0, 6), Frame(6, 11));
  AppendRecord(&file, MakePlainHeader(0, 31, 0, 1, 0, 6), Frame(6, 12));
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
  AppendRecord(&file, MakePlainHeader(1, 0, 0, 1, 0, 2), Frame(2, 13));
  RecordHeader next = MakePlainHeader(1, 0, 0, 1, 0, 2);
  file.insert(file.end(), next.bytes, next.bytes + 7);
  return file;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_record_walk_seeds FOLDER\n");
    return 2;
  }
  struct Seed { const char* name; Bytes bytes; } seeds[] = {
    {"plain", PlainRecording()},
    {"extended", ExtendedRecording()},
    {"short_blocks", ShortBlocks()},
    {"damaged_blocks", DamagedBlocks()},
    {"cut_header", CutHeader()},
  };
  for (const Seed& seed : seeds) {
    std::string path = std::string(argv[1]) + "/" + seed.name + ".rec";
    if (WriteFileBytes(path.c_str(), seed.bytes) != 0) {
      fprintf(stderr, "make_record_walk_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
