// Shared pieces of the export tests (see export_test_support.h).
#include "tests/export/export_test_support.h"

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
  char path[PATH_SIZE] = "";
  PlatformProgramPath(path, sizeof path);
  return std::string(path).substr(0, std::string(path).rfind(PATH_SEPARATOR_CHAR) + 1);
}

TestCodecState* ProbeModule(const std::string& path) {
  PlatformModule module = PlatformLoadModule(path.c_str());
  void* entry = module ? PlatformModuleSymbol(module, TEST_CODEC_STATE_ENTRY) : nullptr;
  TestCodecState* state = entry ? ((TestCodecStateEntry)entry)() : nullptr;
  if (state) memset(state, 0, sizeof *state);
  return state;
}

ExportFixture::ExportFixture() {
  HeadlessShellAttach(context, &shell);
  snprintf(context->outputFolder, sizeof context->outputFolder, "%s", out.path.c_str());
  context->runFlag = 1;
  shell.user = this;
  shell.onProgress = [](HeadlessShell* s, void* user) {
    ExportFixture* test = (ExportFixture*)user;
    std::lock_guard<std::mutex> hold(s->lock);
    if (!test->texts.empty() && test->texts.back() == s->progressText) return;
    test->texts.push_back(s->progressText);
    if (test->texts.size() == test->cancelAt) test->context->runFlag = 0;
  };
}

Bytes MakePicture(int width, int height, unsigned seed) {
  Bytes picture((size_t)(width * height * 3 / 2));
  uint32_t value = seed * 2654435761u + 12345u;
  for (uint8_t& byte : picture) {
    value = value * 1103515245u + 12345u;
    byte = (uint8_t)(value >> 16);
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

void RecordingBuilder::ExtendedFrame(unsigned kind, unsigned channel, unsigned codecType,
                                     unsigned width, unsigned height, uint32_t timeMs,
                                     const Bytes& picture, unsigned codecMode) {
  Bytes payload(4);
  PutLe32(payload.data(), MakeVideoPrefix(codecType, codecMode, width, height));
  payload.insert(payload.end(), picture.begin(), picture.end());
  Record(MakeExtendedHeader(kind, channel, timeMs, (uint32_t)payload.size()), payload);
}

static uint32_t Le32(const uint8_t* at) {
  return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

// Fills avi from the file; returns what does not hold together, or "".
static std::string ReadInto(AviContents& avi, FILE* file, bool contiguous) {
  auto read = [file](uint64_t offset, uint8_t* into, size_t size) {
    return fseeko(file, (off_t)offset, SEEK_SET) == 0 && fread(into, 1, size, file) == size;
  };
  fseeko(file, 0, SEEK_END);
  avi.fileSize = (uint64_t)ftello(file);
  uint8_t h[224], head[8];  // the header of one video stream
  if (!read(0, h, sizeof h)) return "short header";
  if (memcmp(h, "RIFF", 4) || memcmp(h + 8, "AVI LIST", 8) || memcmp(h + 20, "hdrlavih", 8) ||
      memcmp(h + 88, "LIST", 4) || memcmp(h + 96, "strlstrh", 8) || memcmp(h + 108, "vids", 4) ||
      memcmp(h + 164, "strf", 4) || memcmp(h + 212, "LIST", 4) || memcmp(h + 220, "movi", 4))
    return "not a one-video AVI header";
  avi.totalFrames = Le32(h + 48);
  avi.width = Le32(h + 64);
  avi.height = Le32(h + 68);
  avi.handler.assign((const char*)h + 112, 4);
  avi.rate = Le32(h + 132);
  avi.length = Le32(h + 140);
  if (Le32(h + 56) != 1 || Le32(h + 176) != avi.width || Le32(h + 180) != avi.height ||
      memcmp(h + 188, h + 112, 4))
    return "stream header disagrees with the main header";
  uint64_t moviEnd = (uint64_t)Le32(h + 216) + sizeof h - 4, expected = sizeof h;
  if (!read(moviEnd, head, 8) || memcmp(head, "idx1", 4)) return "no idx1 at the movi end";
  Bytes index(Le32(head + 4));
  if (index.size() % 16 || moviEnd + 8 + index.size() != avi.fileSize)
    return "the index does not end the file in whole entries";
  if (Le32(h + 4) != avi.fileSize - 8) return "RIFF size is not the file size - 8";
  if (!index.empty() && !read(moviEnd + 8, index.data(), index.size())) return "short index";
  for (size_t at = 0; at < index.size(); at += 16) {
    uint32_t offset = Le32(&index[at + 8]), size = Le32(&index[at + 12]);
    if (memcmp(&index[at], "00dc", 4)) return "index entry is not 00dc";
    if (contiguous && offset != expected) return "chunks are not contiguous";
    if (!read(offset, head, 8) || memcmp(head, "00dc", 4) || Le32(head + 4) != size)
      return "index entry does not match its chunk";
    avi.frames.push_back({Bytes(size), Le32(&index[at + 4])});
    if (size && !read(offset + 8ull, avi.frames.back().data.data(), size)) return "short chunk";
    expected = (uint64_t)offset + 8 + size + (size & 1);
  }
  return contiguous && expected != moviEnd ? "gap before the index" : "";
}

AviContents ReadAvi(const std::string& path, bool contiguous) {
  AviContents avi;
  FILE* file = fopen(path.c_str(), "rb");
  avi.error = file ? ReadInto(avi, file, contiguous) : "cannot open " + path;
  if (file) fclose(file);
  avi.ok = avi.error.empty();
  return avi;
}

std::string TakeFiles(const ScratchFolder& out, const std::vector<Bytes>& pictures,
                      bool contiguous) {
  std::string text;
  for (const std::string& name : out.Names()) {
    text += name;
    if (name.rfind("Ch", 0) == 0 && name.find(".avi") != std::string::npos) {
      AviContents avi = ReadAvi(out.File(name), contiguous);
      text += " " + std::to_string(avi.width) + "x" + std::to_string(avi.height) + " " +
              avi.handler + " " + std::to_string(avi.rate) + ":";
      for (const AviFrame& frame : avi.frames) {
        size_t i = std::find(pictures.begin(), pictures.end(), frame.data) - pictures.begin();
        text += " " + (i < pictures.size() ? std::to_string(i) : "?") + (frame.flags ? "k" : "");
      }
      text += avi.ok ? "" : " " + avi.error;
    }
    text += "\n";
    fs::remove_all(out.File(name));
  }
  return text;
}
