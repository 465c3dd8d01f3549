// Shared pieces of the export tests (see export_test_support.h).
#include "tests/export/export_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

NameList ScratchFolder::Names() const {
  NameList names;
  for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string ProgramFolder() {
  char path[PATH_SIZE];
  if (PlatformProgramPath(path, sizeof path) == 0) return std::string();
  std::string folder(path);
  return folder.substr(0, folder.rfind(PATH_SEPARATOR_CHAR) + 1);
}

std::string RuleFolder(const std::string& rule) {
  return ProgramFolder() + ".." + PATH_SEPARATOR + rule + PATH_SEPARATOR;
}

ModuleProbe::ModuleProbe(const std::string& path) {
  module = PlatformLoadModule(path.c_str());
  void* entry = module ? PlatformModuleSymbol(module, TEST_CODEC_STATE_ENTRY) : nullptr;
  if (entry) state = ((TestCodecStateEntry)entry)();
  if (state) memset(state, 0, sizeof *state);
}

ModuleProbe::~ModuleProbe() {
  if (state) memset(state, 0, sizeof *state);  // no failure switch outlives its test
  PlatformFreeModule(module);
}

Bytes MakePicture(int width, int height, unsigned seed) {
  Bytes picture((size_t)(width * height * 3 / 2));
  uint32_t value = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < picture.size(); i++) {
    value = value * 1103515245u + 12345u;
    picture[i] = (uint8_t)(value >> 16);
  }
  return picture;
}

void RecordingBuilder::HeaderBlock(PackedTime time, ChannelMask channels, uint16_t version) {
  HeaderBlockLayout block;
  block.version = version;
  block.blockTime = time;
  block.channels = channels;
  block.extension = version == 2;
  Block(block);
}

void RecordingBuilder::PlainFrame(unsigned kind, unsigned channel, unsigned codecType,
                                  unsigned sizeCode, uint32_t timeMs, const Bytes& picture) {
  Record(MakePlainHeader(kind, channel, codecType, sizeCode, timeMs, (uint32_t)picture.size()),
         picture);
}

void RecordingBuilder::ExtendedFrame(unsigned kind, unsigned channel, unsigned codecType,
                                     unsigned width, unsigned height, uint32_t timeMs,
                                     const Bytes& picture, unsigned codecMode) {
  Bytes payload(4);
  PutLe32(payload.data(), MakeVideoPrefix(codecType, codecMode, width, height));
  payload.insert(payload.end(), picture.begin(), picture.end());
  Record(MakeExtendedHeader(kind, channel, timeMs, (uint32_t)payload.size()), payload);
}

uint32_t TimeOfDay(unsigned hour, unsigned minute, unsigned second, unsigned ms) {
  return ((hour * 60u + minute) * 60u + second) * 1000u + ms;
}

static uint32_t Le32(const uint8_t* at) {
  return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) |
         ((uint32_t)at[3] << 24);
}

enum { ONE_VIDEO_HEADER = 224 };

// Fills avi from the file; returns what does not hold together, or "".
static std::string ReadInto(AviContents& avi, FILE* file, bool contiguous) {
  auto read = [file](uint64_t offset, uint8_t* into, size_t size) {
    return fseeko(file, (off_t)offset, SEEK_SET) == 0 && fread(into, 1, size, file) == size;
  };
  fseeko(file, 0, SEEK_END);
  avi.fileSize = (uint64_t)ftello(file);
  uint8_t h[ONE_VIDEO_HEADER];
  if (!read(0, h, sizeof h)) return "short header";
  if (memcmp(h, "RIFF", 4) || memcmp(h + 8, "AVI LIST", 8) || memcmp(h + 20, "hdrlavih", 8) ||
      memcmp(h + 88, "LIST", 4) || memcmp(h + 96, "strlstrh", 8) || memcmp(h + 108, "vids", 4) ||
      memcmp(h + 164, "strf", 4) || memcmp(h + 212, "LIST", 4) || memcmp(h + 220, "movi", 4))
    return "not a one-video AVI header";
  avi.microsPerFrame = Le32(h + 32);
  avi.totalFrames = Le32(h + 48);
  avi.width = Le32(h + 64);
  avi.height = Le32(h + 68);
  avi.handler.assign((const char*)h + 112, 4);
  avi.rate = Le32(h + 132);
  avi.length = Le32(h + 140);
  if (Le32(h + 56) != 1 || Le32(h + 176) != avi.width || Le32(h + 180) != avi.height ||
      memcmp(h + 188, h + 112, 4))
    return "stream header disagrees with the main header";

  uint64_t moviEnd = (uint64_t)Le32(h + 216) + ONE_VIDEO_HEADER - 4;
  uint8_t head[8];
  if (!read(moviEnd, head, 8) || memcmp(head, "idx1", 4)) return "no idx1 at the movi end";
  avi.indexSize = Le32(head + 4);
  if (avi.indexSize % 16 || moviEnd + 8 + avi.indexSize != avi.fileSize)
    return "the index does not end the file in whole entries";
  if (Le32(h + 4) != avi.fileSize - 8) return "RIFF size is not the file size - 8";
  Bytes index(avi.indexSize);
  if (!index.empty() && !read(moviEnd + 8, index.data(), index.size())) return "short index";
  uint64_t expected = ONE_VIDEO_HEADER;
  for (size_t at = 0; at < index.size(); at += 16) {
    uint32_t offset = Le32(&index[at + 8]), size = Le32(&index[at + 12]);
    if (memcmp(&index[at], "00dc", 4)) return "index entry is not 00dc";
    if (contiguous && offset != expected) return "chunks are not contiguous";
    if (!read(offset, head, 8) || memcmp(head, "00dc", 4) || Le32(head + 4) != size)
      return "index entry does not match its chunk";
    AviFrame frame;
    frame.flags = Le32(&index[at + 4]);
    frame.data.resize(size);
    if (size && !read((uint64_t)offset + 8, frame.data.data(), size)) return "short chunk";
    avi.frames.push_back(std::move(frame));
    expected = (uint64_t)offset + 8 + size + (size & 1);
  }
  if (contiguous && expected != moviEnd) return "gap before the index";
  return "";
}

AviContents ReadAvi(const std::string& path, bool contiguous) {
  AviContents avi;
  FILE* file = fopen(path.c_str(), "rb");
  avi.error = file ? ReadInto(avi, file, contiguous) : "cannot open " + path;
  if (file) fclose(file);
  avi.ok = avi.error.empty();
  return avi;
}

void ExpectFrames(const AviContents& avi, const std::vector<Bytes>& pictures,
                  const std::vector<uint32_t>& flags) {
  ASSERT_TRUE(avi.ok) << avi.error;
  ASSERT_EQ(avi.frames.size(), pictures.size());
  EXPECT_EQ(avi.totalFrames, pictures.size());
  EXPECT_EQ(avi.length, pictures.size());
  EXPECT_EQ(avi.indexSize, 16 * pictures.size());
  for (size_t i = 0; i < pictures.size(); i++) {
    EXPECT_TRUE(avi.frames[i].data == pictures[i]) << "frame " << i;
    EXPECT_EQ(avi.frames[i].flags, flags[i]) << "frame " << i;
  }
}
