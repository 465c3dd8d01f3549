// Runs arbitrary bytes through both runs as zentrix-cli does: the channel
// scan, then the export of every channel, with the lossless test codec
// modules beside the program. Afterwards no exporter is left, every file with
// a final name is a whole AVI file whose index points at its chunks, and a
// temporary file is left only when the run counted a failed segment.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "export/export_run.h"
#include "recording/channel_scan.h"
#include "shell/app_context.h"
#include "shell/headless_shell.h"
#include "tools/record_writer.h"

static std::string folder;     // output folder, made once
static std::string recording;  // the input, written for each run

static void Check(bool condition, const char* what, const std::string& name) {
  if (!condition) {
    fprintf(stderr, "export: %s: %s\n", name.c_str(), what);
    abort();
  }
}

static uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
  return (uint32_t)bytes[at] | ((uint32_t)bytes[at + 1] << 8) | ((uint32_t)bytes[at + 2] << 16) |
         ((uint32_t)bytes[at + 3] << 24);
}

// One video stream: a 224-byte header, the chunks, the index at the movi end.
static void CheckSegmentFile(const std::string& name) {
  std::vector<uint8_t> f = ReadFileBytes((folder + "/" + name).c_str());
  Check(f.size() >= 232, "shorter than an empty AVI file", name);
  Check(memcmp(f.data(), "RIFF", 4) == 0 && memcmp(&f[8], "AVI ", 4) == 0, "no RIFF AVI", name);
  Check(Le32(f, 4) == f.size() - 8, "RIFF size", name);
  Check(memcmp(&f[212], "LIST", 4) == 0 && memcmp(&f[220], "movi", 4) == 0, "no movi", name);
  uint64_t moviEnd = 220 + (uint64_t)Le32(f, 216);
  Check(moviEnd + 8 <= f.size() && memcmp(&f[moviEnd], "idx1", 4) == 0, "no index", name);
  uint32_t indexSize = Le32(f, moviEnd + 4);
  Check(moviEnd + 8 + indexSize == f.size() && indexSize % 16 == 0, "index size", name);
  Check(Le32(f, 48) == indexSize / 16 && Le32(f, 140) == indexSize / 16, "frame counts", name);
  for (uint64_t at = moviEnd + 8; at < f.size(); at += 16) {
    uint64_t offset = Le32(f, at + 8);
    uint64_t size = Le32(f, at + 12);
    Check(memcmp(&f[at], "00dc", 4) == 0, "index entry", name);
    Check(offset >= 224 && offset + 8 + size <= moviEnd, "chunk outside the movi list", name);
    Check(memcmp(&f[offset], "00dc", 4) == 0 && Le32(f, offset + 4) == size, "chunk head", name);
  }
}

static void RemoveScratch(void) {
  unlink(recording.c_str());
  rmdir(folder.c_str());
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The header block reader's diagnostics would flood the fuzzer's output.
  if (!freopen("/dev/null", "w", stdout)) return 0;
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zentrix-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) abort();
  folder = buffer.data();
  recording = folder + ".rec";
  atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* input = fopen(recording.c_str(), "wb");
  if (!input) abort();
  if (size && fwrite(data, 1, size, input) != size) abort();
  if (fclose(input) != 0) abort();

  AppContext* context = new AppContext();
  HeadlessShell shell;
  HeadlessShellAttach(context, &shell);
  snprintf(context->outputFolder, sizeof context->outputFolder, "%s", folder.c_str());
  context->runFlag = 1;
  context->channelMask = ~0ull;

  FILE* stream = fopen(recording.c_str(), "rb");
  if (!stream) abort();
  Check(ScanRecordingFile(stream, context) == 0, "scan did not end normally", recording);
  Check(shell.rows.size() <= 64, "more rows than channels", recording);
  rewind(stream);
  Check(ExportRecordingFile(stream, context) == 0, "export did not end normally", recording);
  fclose(stream);
  for (int i = 0; i < CHANNEL_COUNT; i++)
    Check(context->exporters[i] == nullptr, "exporter left behind", recording);

  DIR* directory = opendir(folder.c_str());
  if (!directory) abort();
  std::vector<std::string> names;
  while (dirent* entry = readdir(directory))
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  closedir(directory);
  for (const std::string& name : names) {
    if (name[0] == '~')
      Check(context->failedSegments > 0, "temporary file left by a clean run", name);
    else
      CheckSegmentFile(name);
    unlink((folder + "/" + name).c_str());
  }
  delete context;
  return 0;
}
