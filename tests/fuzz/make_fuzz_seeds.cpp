// Writes the fuzz targets' seed recordings (by hand, when they change): make_fuzz_seeds
// tests/fuzz/corpus. The export seeds' pictures are raw YUV 4:2:0, as the lossless test
// modules take them, so that they reach AVI files (generator_*.rec come from zentrix-mkrec).
#include <cstdio>
#include <string>

#include "tools/record_writer.h"

static Bytes file;  // the seed being written

static void Plain(unsigned kind, unsigned ch, unsigned codec, unsigned size, uint32_t ms, uint32_t n, uint8_t fill) {
  AppendRecord(&file, MakePlainHeader(kind, ch, codec, size, ms, n), Bytes(n, fill));
}

// An extended record: the prefix word, then `length` bytes.
static void Extended(unsigned kind, unsigned channel, uint32_t timeMs, uint32_t prefix, uint32_t length, uint8_t fill) {
  Bytes payload(4 + length, fill);
  PutLe32(payload.data(), prefix);
  AppendRecord(&file, MakeExtendedHeader(kind, channel, timeMs, 4 + length), payload);
}

static void Picture(unsigned kind, unsigned channel, unsigned width, unsigned height, uint32_t timeMs, uint8_t shade) {
  Extended(kind, channel, timeMs, MakeVideoPrefix(2, 0, width, height), width * height * 3 / 2, shade);
}

// A header block (the extension with version 2); counts 0-63: base block, 64-127: extension.
static void Block(uint16_t version, PackedTime time, ChannelMask channels,
                  std::initializer_list<std::pair<int, uint16_t>> counts = {}, uint32_t skip = 0) {
  HeaderBlockLayout layout = {version, skip, time, channels};
  layout.extension = version == 2;
  for (auto c : counts) (c.first < 64 ? layout.baseCounts[c.first] : layout.extensionCounts[c.first - 64]) = c.second;
  AppendHeaderBlock(&file, layout);
}

// The export seeds' blocks, dated 2009-03-day at 8:00.
static PackedTime March(unsigned day) { return MakePackedTime(2009, 3, day, 8, 0, 0); }

static const struct { const char* name; void (*write)(); } SEEDS[] = {
    {"record_walk/plain", [] {  // a version-1 block, frames of three sizes, kinds 2 and 5, a cut header
       Block(1, MakePackedTime(2009, 3, 5, 7, 4, 9), 0x5, {{0, 2}});
       Plain(0, 0, 2, 3, 25200000, 24, 1), Plain(1, 2, 0, 1, 25200040, 12, 2), Plain(6, 2, 1, 2, 25200080, 8, 3);
       Plain(2, 0, 0, 0, 25200100, 6, 4), Plain(0, 0, 1, 0, 25200120, 5, 5), Plain(5, 0, 0, 0, 25200160, 3, 6);
       Plain(1, 0, 0, 1, 0, 2, 13), file.resize(file.size() - 5);
     }},
    // A version-2 block with entries and its extension, a short block, empty records, a kind that ends the walk.
    {"record_walk/extended", [] {
       Block(2, MakePackedTime(2012, 12, 31, 23, 59, 50), 1ull << 40 | 1, {{1, 1}, {80, 2}});
       const uint32_t vga = MakeVideoPrefix(6, 1, 640, 480), media = 0x30u | (2u << 8) | (0x3A02u << 10);
       Extended(0, 40, 86399000, vga, 16, 0x5A), Extended(1, 40, 86399500, vga, 8, 0x5A);
       Extended(7, 0, 86399600, MakeVideoPrefix(3, 1, 320, 240), 4, 0x5A), Extended(2, 0, 86399700, media, 4, 0);
       AppendRecord(&file, MakeExtendedHeader(0, 1, 86399800, 3), Bytes(3, 7));
       HeaderBlockLayout layout = {2, 0, MakePackedTime(2001, 1, 1, 0, 0, 0), 0x3};
       AppendRecord(&file, MakePlainHeader(4, 0, 0, 0, 0, 20), MakeHeaderBlockPayload(layout).data(), 20);
       Plain(4, 0, 0, 0, 0, 0, 0), Plain(0, 1, 0, 1, 100, 0, 0), Plain(1, 1, 0, 1, 200, 4, 8);
       Plain(9, 1, 0, 1, 300, 4, 9), Plain(1, 1, 0, 1, 400, 4, 10);
     }},
    {"record_walk/damaged_blocks", [] {  // a skip length, version 0, year 3000, a cut block
       Block(1, MakePackedTime(2999, 6, 15, 12, 30, 0), 0x80000000u, {}, 6);
       Plain(3, 31, 0, 1, 0, 6, 11), Plain(0, 31, 0, 1, 0, 6, 12);
       Block(0, MakePackedTime(2999, 6, 15, 12, 30, 0), 0x80000000u, {{2, 1}}, 6);
       Block(1, MakePackedTime(3000, 1, 1, 0, 0, 0), 0x80000000u, {{2, 1}}, 6);
       Block(2, MakePackedTime(2010, 1, 1, 0, 0, 0), 0x80000000u, {{2, 1}}, 6);
       file.resize(file.size() - 100);
     }},
    {"export/two_channels", [] {  // frames before the first block, key and non-key frames of two channels
       Picture(0, 1, 2, 2, 1000, 1), Picture(1, 1, 2, 2, 2000, 2), Block(0, March(7), 0x5);
       Picture(0, 0, 4, 4, 29100000, 1), Picture(0, 2, 4, 4, 29100000, 2), Picture(1, 0, 4, 4, 29101000, 3);
       Block(1, March(7), 0x5, {{3, 1}}), Picture(1, 2, 4, 4, 29102000, 4), Picture(1, 0, 4, 4, 29102000, 5);
     }},
    // Channel 41, plain frames whose payload is no picture, other kinds, a size change, an ending kind.
    {"export/size_change", [] {
       Block(2, March(9), 1ull << 40 | 1);
       Picture(0, 40, 2, 2, 86399000, 1), Plain(0, 0, 1, 1, 86399100, 16, 7), Plain(2, 0, 0, 0, 86399200, 6, 8);
       Plain(5, 0, 0, 0, 86399300, 3, 9), Picture(1, 40, 2, 2, 86399400, 2), Block(1, March(8), 0x1, {{3, 1}});
       Picture(0, 0, 8, 8, 1000, 1), Picture(1, 0, 8, 8, 2000, 2), Picture(1, 0, 2, 2, 3000, 3);
       Picture(0, 0, 2, 2, 4000, 4), Plain(9, 0, 0, 1, 5000, 4, 9), Picture(0, 0, 2, 2, 6000, 5);
     }},
};

int main(int argc, char** argv) {
  if (argc != 2) return fprintf(stderr, "usage: make_fuzz_seeds CORPUS_FOLDER\n"), 2;
  for (const auto& seed : SEEDS) {
    file.clear(), seed.write();
    const std::string path = std::string(argv[1]) + "/" + seed.name + ".rec";
    if (WriteFileBytes(path.c_str(), file) != 0) return fprintf(stderr, "cannot write %s\n", path.c_str()), 1;
  }
  return 0;
}
