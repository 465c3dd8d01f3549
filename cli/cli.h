// Pieces of zentrix-cli shared by its files.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "recording/header_block.h"
#include "shell/headless_shell.h"

// Exit status of the program.
enum {
  EXIT_DONE = 0,
  EXIT_USAGE = 1,
  EXIT_RECORDING = 2,
  EXIT_OUTPUT_FOLDER = 3,
  EXIT_STANDARD_OUTPUT = 4,
  EXIT_WRITE_FAILED = 5,
  EXIT_SIGNALLED = 128  // plus the number of the signal that stopped the run
};

// --channels: comma-separated user-visible channel numbers 1-64, or "all".
// Returns 0 with the set in *mask (0 for "all"), 1 when the list is "all",
// or -1 with a message in *error.
int ParseChannelList(const char* text, ChannelMask* mask, std::string* error);

// A segment file of the output folder (Ch*.avi) and what tells one file of
// that name from another that replaced it.
struct SegmentFile {
  std::string name;
  int channel;   // user-visible channel number from the name
  int segment;   // 1, or N of a "(N)" before the extension
  uint64_t identity[3];
};

// The last part of a path: the file's name.
std::string BaseName(const std::string& path);

// The segment files of folder; an unreadable folder gives none.
std::vector<SegmentFile> ListSegmentFiles(const char* folder);
// The temporary segment files of folder ("~N.avi" segment 1, "~N-K.avi"
// segment K).
std::vector<SegmentFile> ListTemporaryFiles(const char* folder);
// Files of after that are not in before under the same name and identity,
// whose channel lies in mask, ordered by channel and segment.
std::vector<SegmentFile> NewSegmentFiles(const std::vector<SegmentFile>& before,
                                         const std::vector<SegmentFile>& after,
                                         ChannelMask mask);

// Stderr progress: a live line while stderr is a terminal, nothing otherwise.
void TerminalProgressAttach(HeadlessShell* shell);
void TerminalProgressEnd(HeadlessShell* shell);

// SIGINT (Ctrl+C) and SIGTERM clear *runFlag, like a confirmed cancel, so
// that the run closes and names what it has written; a second one ends the
// program at once. With null, signals change nothing any more.
void InstallInterruptHandler(std::atomic<int32_t>* runFlag);
// The signal that cleared the run flag, or 0.
int InterruptSignal(void);
