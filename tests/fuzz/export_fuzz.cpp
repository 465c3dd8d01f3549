// Arbitrary bytes through the scan and the export of every channel (the lossless test
// modules; --copy and --captions by the input's length): no exporter is left, a final
// name holds a whole one-stream AVI file or its captions, and a temporary file stays
// only when the run counted a failed segment.
#include <algorithm>
#include <filesystem>

#include "export/export_run.h"
#include "recording/channel_scan.h"
#include "shell/headless_shell.h"
#include "tests/fuzz/fuzz_support.h"

namespace fs = std::filesystem;
static std::string folder, recording;  // the output folder; the input, written for each run

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!freopen("/dev/null", "w", stdout)) perror("stdout");  // the header block reader's diagnostics
  folder = ScratchFolder("zentrix-fuzz");
  recording = folder + ".rec";
  atexit([] { fs::remove_all(folder), fs::remove(recording); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(WriteFileBytes(recording.c_str(), Bytes(data, data + size)) == 0, "no input", recording);
  AppContext* context = new AppContext();
  HeadlessShell shell;
  HeadlessShellAttach(context, &shell);
  snprintf(context->outputFolder, sizeof context->outputFolder, "%s", folder.c_str());
  context->runFlag = 1;
  context->channelMask = ~0ull;
  context->options.copy = size & 1;
  context->options.captions = (size >> 1) & 1;
  FILE* stream = fopen(recording.c_str(), "rb");
  Check(stream && ScanRecordingFile(stream, context) == 0 && shell.rows.size() <= 64, "scan", recording);
  rewind(stream);
  Check(ExportRecordingFile(stream, context) == 0, "export did not end normally", recording);
  fclose(stream);
  for (int i = 0; i < CHANNEL_COUNT; i++) Check(!context->exporters[i], "exporter left behind", recording);
  for (const auto& entry : fs::directory_iterator(folder)) {
    const fs::path path = entry.path();
    const std::string name = path.filename().string();
    if (path.extension() == ".smi") {
      Check(context->options.captions && entry.file_size() > 0 && fs::exists(fs::path(path).replace_extension(".avi")),
            "caption file without its AVI file", name);
    } else if (name[0] == '~') {
      Check(context->failedSegments > 0, "temporary file left by a clean run", name);
    } else {
      const Bytes f = ReadFileBytes(path.c_str());
      const std::vector<std::string> ids = CheckAviFile(f, name);
      Check(Le32(f, 16) == 192 && Le32(f, 56) == 1 && Le32(f, 140) == ids.size() &&
                std::count(ids.begin(), ids.end(), "00dc") == (long)ids.size(), "not one video stream", name);
    }
  }
  fs::remove_all(folder);
  fs::create_directory(folder);
  delete context;
  return 0;
}
