// Shared pieces of the export tests: scratch folders, an application context,
// recordings built in memory, the test codec modules' state, and the reader
// for the AVI files that the export writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/app_context.h"
#include "shell/headless_shell.h"
#include "tests/avi/avi_test_files.h"
#include "tests/modules/test_codec_state.h"
#include "tools/record_writer.h"

typedef std::vector<std::string> NameList;

// A scratch folder that also lists its files.
struct ScratchFolder {
  ScratchDir scratch;
  const std::string path = scratch.dir;
  std::string File(const std::string& name) const { return path + PATH_SEPARATOR + name; }
  NameList Names() const;  // sorted file names
};

// The folder of the test program (the lossless modules) and of one rule's
// test modules, each ending in a separator.
std::string ProgramFolder();
std::string RuleFolder(const std::string& rule);

// The test's own handle on one module file: its state outlives the unloading
// done by the code under test, and is cleared on both ends.
struct ModuleProbe {
  PlatformModule module = nullptr;
  TestCodecState* state = nullptr;
  explicit ModuleProbe(const std::string& path);
  ~ModuleProbe();
  ModuleProbe(const ModuleProbe&) = delete;
  ModuleProbe& operator=(const ModuleProbe&) = delete;
};

// A raw planar YUV 4:2:0 picture (the lossless modules' compressed form)
// whose bytes depend on seed.
Bytes MakePicture(int width, int height, unsigned seed);

uint32_t TimeOfDay(unsigned hour, unsigned minute, unsigned second, unsigned ms = 0);

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
                  uint32_t timeMs, const Bytes& picture);
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

// An application context on a headless shell that exports into `out`.
class ExportFixture : public ::testing::Test {
 protected:
  AppContext* context = new AppContext();
  HeadlessShell shell;
  ScratchFolder out;
  ExportFixture() {
    HeadlessShellAttach(context, &shell);
    snprintf(context->outputFolder, sizeof context->outputFolder, "%s", out.path.c_str());
    context->runFlag = 1;
  }
  ~ExportFixture() override { delete context; }
};

// An AVI file of one video stream as the export writes it.
struct AviFrame {
  Bytes data;
  uint32_t flags = 0;  // index flags: 0x10 key frame
};
struct AviContents {
  bool ok = false;  // the file could be read and its layout holds together
  std::string error;
  uint64_t fileSize = 0;
  uint32_t microsPerFrame = 0, totalFrames = 0, width = 0, height = 0;
  std::string handler;                                 // strh, also strf's compression
  uint32_t rate = 0, length = 0, indexSize = 0;        // strh rate: frames per second x 1000
  std::vector<AviFrame> frames;                        // read through the index
};

// Reads the header, the index and every chunk it names; with contiguous set,
// the chunks must also lie back to back (false for sparse files).
AviContents ReadAvi(const std::string& path, bool contiguous = true);

// Expects exactly these pictures with these index flags, and agreeing counts.
void ExpectFrames(const AviContents& avi, const std::vector<Bytes>& pictures,
                  const std::vector<uint32_t>& flags);
