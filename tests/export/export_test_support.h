// Shared pieces of the export tests: scratch folders, an application context,
// recordings built in memory, codec module state, and an AVI file reader.
#pragma once

#include "platform/platform.h"
#include "shell/app_context.h"
#include "shell/headless_shell.h"
#include "tests/avi/avi_test_files.h"
#include "tests/modules/test_codec_state.h"
#include "tools/record_writer.h"

typedef std::vector<std::string> NameList;

// A scratch folder that also lists its files (sorted).
struct ScratchFolder {
  ScratchDir scratch;
  const std::string path = scratch.dir;
  std::string File(const std::string& name) const { return path + PATH_SEPARATOR + name; }
  NameList Names() const;
};

// The folder of the test program (the lossless modules), ending in a separator.
std::string ProgramFolder();
// The cleared state of a test codec module, loaded for good so that the state
// outlives the unloading done by the code under test; null without it.
TestCodecState* ProbeModule(const std::string& path);

// A raw YUV 4:2:0 picture (the lossless modules' compressed form) of seed.
Bytes MakePicture(int width, int height, unsigned seed);

inline uint32_t TimeOfDay(unsigned hour, unsigned minute, unsigned second, unsigned ms = 0) {
  return ((hour * 60u + minute) * 60u + second) * 1000u + ms;
}

// Appends records to a recording in memory, noting where each one starts.
struct RecordingBuilder {
  Bytes file;
  std::vector<size_t> starts;
  void HeaderBlock(PackedTime time, ChannelMask channels, uint16_t version = 2);
  void Block(const HeaderBlockLayout& block) {
    starts.push_back(file.size());
    AppendHeaderBlock(&file, block);
  }
  // Plain form: codec type 0-2, size code 1 = 320x240, 3 = 640x480.
  void PlainFrame(unsigned kind, unsigned channel, unsigned codecType, unsigned sizeCode,
                  uint32_t timeMs, const Bytes& picture) {
    Record(MakePlainHeader(kind, channel, codecType, sizeCode, timeMs, (uint32_t)picture.size()),
           picture);
  }
  // Extended form: the prefix word carries codec type, mode and size.
  void ExtendedFrame(unsigned kind, unsigned channel, unsigned codecType, unsigned width,
                     unsigned height, uint32_t timeMs, const Bytes& picture,
                     unsigned codecMode = 0);
  // Extended form, codec type 2, 16x16, at 08:05:<second>.
  void Frame16(unsigned kind, unsigned channel, unsigned second, const Bytes& picture) {
    ExtendedFrame(kind, channel, 2, 16, 16, TimeOfDay(8, 5, second), picture);
  }
  void Record(const RecordHeader& header, const Bytes& payload) {
    starts.push_back(file.size());
    AppendRecord(&file, header, payload);
  }
};

// A context on a headless shell exporting into `out`; new progress texts are
// noted, and the user cancels at the cancelAt-th.
struct ExportFixture : ::testing::Test {
  AppContext* context = new AppContext();
  HeadlessShell shell;
  ScratchFolder out;
  std::vector<std::string> texts;
  size_t cancelAt = 0;
  ExportFixture();
  ~ExportFixture() override { delete context; }
};

// An AVI file of one video stream as the export writes it.
struct AviFrame {
  Bytes data;
  uint32_t flags;  // index flags: 0x10 key frame
};
struct AviContents {
  bool ok = false;  // the file could be read and its layout holds together
  std::string error, handler;  // strh's handler, also strf's compression
  uint64_t fileSize = 0;
  uint32_t totalFrames = 0, width = 0, height = 0, rate = 0, length = 0;  // rate: fps x 1000
  std::vector<AviFrame> frames;  // read through the index
};

// Reads the header, the index and every chunk it names, which with contiguous
// set must lie back to back (not so in sparse files).
AviContents ReadAvi(const std::string& path, bool contiguous = true);

// The files in `out`, removed, as a line each; a named AVI file with size,
// FourCC, rate and frames (index in `pictures`, "k" for a key frame).
std::string TakeFiles(const ScratchFolder& out, const std::vector<Bytes>& pictures = {},
                      bool contiguous = true);
