// Runs arbitrary bytes through both runs as zentrix-cli does: the channel
// scan, then the export of every channel with the lossless test codec
// modules, with or without --copy and --captions (chosen by the input's
// length). Afterwards no exporter is left, every file with a final name is a
// whole AVI file of one video stream or the caption file of one, and a
// temporary file is left only when the run counted a failed segment.
#include <dirent.h>
#include <unistd.h>

#include <filesystem>

#include "export/export_run.h"
#include "recording/channel_scan.h"
#include "shell/app_context.h"
#include "shell/headless_shell.h"
#include "tests/fuzz/fuzz_support.h"

static std::string folder, recording;  // the output folder; the input, written for each run

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The header block reader's diagnostics would flood the fuzzer's output.
  if (!freopen("/dev/null", "w", stdout)) perror("stdout");
  folder = ScratchFolder("zentrix-fuzz");
  recording = folder + ".rec";
  atexit([] {
    unlink(recording.c_str());
    rmdir(folder.c_str());
  });
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
  Check(stream && ScanRecordingFile(stream, context) == 0, "scan did not end normally", recording);
  Check(shell.rows.size() <= 64, "more rows than channels", recording);
  rewind(stream);
  Check(ExportRecordingFile(stream, context) == 0, "export did not end normally", recording);
  fclose(stream);
  for (int i = 0; i < CHANNEL_COUNT; i++) Check(!context->exporters[i], "exporter left behind", recording);

  DIR* directory = opendir(folder.c_str());
  Check(directory, "no output folder", folder);
  while (dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name, path = folder + "/" + name;
    if (name[0] == '.') continue;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".smi") == 0) {
      Check(context->options.captions && ReadFileBytes(path.c_str()).size() > 0 &&
                access((path.substr(0, path.size() - 4) + ".avi").c_str(), F_OK) == 0,
            "caption file without its AVI file", name);
    } else if (name[0] == '~') {
      Check(context->failedSegments > 0, "temporary file left by a clean run", name);
    } else {
      Bytes f = ReadFileBytes(path.c_str());
      std::vector<std::string> ids = CheckAviFile(f, name);
      Check(Le32(f, 16) == 192 && Le32(f, 56) == 1 && Le32(f, 140) == ids.size(),
            "not one video stream with its length", name);
      for (const std::string& id : ids) Check(id == "00dc", "index entry", name);
    }
  }
  closedir(directory);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directory(folder);
  delete context;
  return 0;
}
