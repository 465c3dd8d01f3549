// Shared pieces of the export tests (see export_test_support.h).
#include "tests/export/export_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
  static std::atomic<int> counter{0};
  fs::path base = fs::temp_directory_path();
  path = (base / ("zentrix-export-" + std::to_string(getpid()) + "-" +
                  std::to_string(counter++)))
             .string();
  fs::remove_all(path);
  fs::create_directories(path);
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

std::vector<std::string> ScratchFolder::Names() const {
  std::vector<std::string> names;
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
  if (!module) return;
  TestCodecStateEntry entry =
      (TestCodecStateEntry)PlatformModuleSymbol(module, TEST_CODEC_STATE_ENTRY);
  if (entry) state = entry();
  if (state) ClearCounters();
}

ModuleProbe::~ModuleProbe() { PlatformFreeModule(module); }

void ModuleProbe::ClearCounters() {
  state->initializeCalls = 0;
  state->shutdownCalls = 0;
  state->openDecoderCalls = 0;
  state->openEncoderCalls = 0;
  state->closeDecoderCalls = 0;
  state->closeEncoderCalls = 0;
  state->decodeCalls = 0;
  state->encodeCalls = 0;
  state->liveDecoders = 0;
  state->liveEncoders = 0;
  state->encodeExtra = 0;
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
  HeaderBlockSpec spec;
  spec.version = version;
  spec.blockTime = time;
  spec.channels = channels;
  spec.extension = version == 2;
  AppendHeaderBlock(&file, spec);
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

void RecordingBuilder::Record(const RecordHeader& header, const Bytes& payload) {
  AppendRecord(&file, header, payload);
}

uint32_t TimeOfDay(unsigned hour, unsigned minute, unsigned second, unsigned ms) {
  return ((hour * 60u + minute) * 60u + second) * 1000u + ms;
}

static uint32_t Le32(const uint8_t* at) {
  return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) |
         ((uint32_t)at[3] << 24);
}

static bool ReadAt(FILE* file, uint64_t offset, uint8_t* into, size_t size) {
  if (fseeko(file, (off_t)offset, SEEK_SET) != 0) return false;
  return fread(into, 1, size, file) == size;
}

enum { ONE_VIDEO_HEADER = 224 };

static AviContents Fail(AviContents contents, FILE* file, const std::string& why) {
  if (file) fclose(file);
  contents.ok = false;
  contents.error = why;
  return contents;
}

AviContents ReadAvi(const std::string& path, bool contiguous) {
  AviContents avi;
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return Fail(avi, nullptr, "cannot open " + path);
  fseeko(file, 0, SEEK_END);
  avi.fileSize = (uint64_t)ftello(file);

  uint8_t h[ONE_VIDEO_HEADER];
  if (!ReadAt(file, 0, h, sizeof h)) return Fail(avi, file, "short header");
  if (memcmp(h, "RIFF", 4) || memcmp(h + 8, "AVI ", 4) || memcmp(h + 12, "LIST", 4) ||
      memcmp(h + 20, "hdrl", 4) || memcmp(h + 24, "avih", 4) || memcmp(h + 88, "LIST", 4) ||
      memcmp(h + 96, "strl", 4) || memcmp(h + 100, "strh", 4) || memcmp(h + 108, "vids", 4) ||
      memcmp(h + 164, "strf", 4) || memcmp(h + 212, "LIST", 4) || memcmp(h + 220, "movi", 4))
    return Fail(avi, file, "not a one-video AVI header");
  avi.riffSize = Le32(h + 4);
  avi.microsPerFrame = Le32(h + 32);
  avi.totalFrames = Le32(h + 48);
  avi.streams = Le32(h + 56);
  avi.width = Le32(h + 64);
  avi.height = Le32(h + 68);
  avi.handler.assign((const char*)h + 112, 4);
  avi.scale = Le32(h + 128);
  avi.rate = Le32(h + 132);
  avi.length = Le32(h + 140);
  avi.streamWidth = Le32(h + 176);
  avi.streamHeight = Le32(h + 180);
  avi.compression.assign((const char*)h + 188, 4);
  avi.moviSize = Le32(h + 216);

  uint64_t moviEnd = (uint64_t)avi.moviSize + ONE_VIDEO_HEADER - 4;
  uint8_t indexHead[8];
  if (!ReadAt(file, moviEnd, indexHead, 8) || memcmp(indexHead, "idx1", 4))
    return Fail(avi, file, "no idx1 at the movi end");
  avi.indexSize = Le32(indexHead + 4);
  if (avi.indexSize % 16) return Fail(avi, file, "index size not a multiple of 16");
  if (moviEnd + 8 + avi.indexSize != avi.fileSize) return Fail(avi, file, "file does not end at the index");
  if (avi.riffSize != avi.fileSize - 8) return Fail(avi, file, "RIFF size is not the file size - 8");

  Bytes index(avi.indexSize);
  if (!index.empty() && !ReadAt(file, moviEnd + 8, index.data(), index.size()))
    return Fail(avi, file, "short index");
  uint64_t expected = ONE_VIDEO_HEADER;
  for (size_t at = 0; at < index.size(); at += 16) {
    const uint8_t* entry = &index[at];
    if (memcmp(entry, "00dc", 4)) return Fail(avi, file, "index entry is not 00dc");
    uint32_t offset = Le32(entry + 8);
    uint32_t size = Le32(entry + 12);
    if (contiguous && offset != expected) return Fail(avi, file, "chunks are not contiguous");
    uint8_t chunkHead[8];
    if (!ReadAt(file, offset, chunkHead, 8) || memcmp(chunkHead, "00dc", 4) ||
        Le32(chunkHead + 4) != size)
      return Fail(avi, file, "index entry does not match its chunk");
    AviFrame frame;
    frame.flags = Le32(entry + 4);
    frame.data.resize(size);
    if (size && !ReadAt(file, (uint64_t)offset + 8, frame.data.data(), size))
      return Fail(avi, file, "short chunk");
    avi.frames.push_back(std::move(frame));
    expected = (uint64_t)offset + 8 + size + (size & 1);
  }
  if (contiguous && expected != moviEnd) return Fail(avi, file, "gap before the index");
  fclose(file);
  avi.ok = true;
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
