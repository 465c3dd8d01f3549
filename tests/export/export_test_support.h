// Shared pieces of the export tests: scratch folders, recordings built in
// memory, the test codec modules' state, and a reader for the AVI files that
// the export writes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/modules/test_codec_state.h"
#include "tools/record_writer.h"

// A fresh, empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
struct ScratchFolder {
  std::string path;
  ScratchFolder();
  ~ScratchFolder();
  std::string File(const std::string& name) const { return path + PATH_SEPARATOR + name; }
  std::vector<std::string> Names() const;  // sorted file names
};

// The folder of the test program (the lossless modules), ending in a separator.
std::string ProgramFolder();
// The folder of one rule's test modules, ending in a separator.
std::string RuleFolder(const std::string& rule);

// A handle of the test's own on one module file, so that its state outlives
// the unloading done by the code under test. The counters are cleared; the
// failure switches keep the values the module was built with.
struct ModuleProbe {
  PlatformModule module = nullptr;
  TestCodecState* state = nullptr;
  explicit ModuleProbe(const std::string& path);
  ~ModuleProbe();
  ModuleProbe(const ModuleProbe&) = delete;
  ModuleProbe& operator=(const ModuleProbe&) = delete;
  void ClearCounters();
};

// A raw planar YUV 4:2:0 picture, the lossless modules' compressed form;
// its bytes depend on seed.
Bytes MakePicture(int width, int height, unsigned seed);

// Appends records to a recording in memory.
struct RecordingBuilder {
  Bytes file;
  void HeaderBlock(PackedTime time, ChannelMask channels, uint16_t version = 2);
  // Plain form: codec type 0-2, size code 1 = 320x240, 3 = 640x480.
  void PlainFrame(unsigned kind, unsigned channel, unsigned codecType, unsigned sizeCode,
                  uint32_t timeMs, const Bytes& picture);
  // Extended form: the prefix word carries codec type, mode and size.
  void ExtendedFrame(unsigned kind, unsigned channel, unsigned codecType, unsigned width,
                     unsigned height, uint32_t timeMs, const Bytes& picture,
                     unsigned codecMode = 0);
  void Record(const RecordHeader& header, const Bytes& payload);
};

// Milliseconds after midnight.
uint32_t TimeOfDay(unsigned hour, unsigned minute, unsigned second, unsigned ms = 0);

// An AVI file of one video stream as the export writes it.
struct AviFrame {
  Bytes data;
  uint32_t flags = 0;  // index flags: 0x10 key frame
};

struct AviContents {
  bool ok = false;      // the file could be read and its layout holds together
  std::string error;
  uint64_t fileSize = 0;
  uint32_t riffSize = 0;
  uint32_t microsPerFrame = 0;
  uint32_t totalFrames = 0;
  uint32_t streams = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  std::string handler;      // strh
  uint32_t scale = 0;
  uint32_t rate = 0;        // strh rate (frames per second times 1000)
  uint32_t length = 0;      // strh length
  uint32_t streamWidth = 0; // strf
  uint32_t streamHeight = 0;
  std::string compression;  // strf
  uint32_t moviSize = 0;
  uint32_t indexSize = 0;
  std::vector<AviFrame> frames;  // read through the index
};

// Reads the header and the index, then every chunk the index names. With
// contiguous set, the chunks must also lie one after the other from offset
// 224 to the index (false for files made sparse by a test).
AviContents ReadAvi(const std::string& path, bool contiguous = true);

// Expects the file's frames, in order, to be these pictures with these index
// flags, and its counts to agree.
void ExpectFrames(const AviContents& avi, const std::vector<Bytes>& pictures,
                  const std::vector<uint32_t>& flags);
