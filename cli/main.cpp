// zentrix-cli: lists the channels of a recording file, or exports chosen
// channels to AVI files, from the command line.
//
//   zentrix-cli scan RECORDING
//   zentrix-cli info RECORDING [--json] [--gap SECONDS]
//   zentrix-cli export RECORDING OUTDIR [--channels LIST] [--report FILE] [--copy]
//                      [--captions] [--jobs N]
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#define getpid _getpid
#define dup _dup
#define dup2 _dup2
#define close _close
#else
#include <unistd.h>
#endif

#include "cli/cli.h"
#include "cli/listing.h"
#include "export/export_jobs.h"
#include "export/export_log.h"
#include "export/export_run.h"
#include "platform/platform.h"
#include "recording/channel_scan.h"
#include "recording/recording_info.h"
#include "shell/headless_shell.h"
#include "shell/progress.h"
#include "shell/shell.h"

#ifndef ZENTRIX_VERSION
#define ZENTRIX_VERSION "1.1.0"
#endif

static const char PROGRAM[] = "zentrix-cli";

// Room that the shortest final segment name needs after the output folder:
// "/Ch1_20090307_080500_20090307_080510.avi" and its terminator. In a folder
// with less room no segment could ever be named; with more, a segment whose
// own name does not fit keeps its temporary name and is reported.
enum { SEGMENT_NAME_ROOM = 41 };

static const char USAGE[] =
    "Usage: zentrix-cli scan RECORDING\n"
    "       zentrix-cli info RECORDING [--json] [--gap SECONDS]\n"
    "       zentrix-cli export RECORDING OUTDIR [--channels LIST] [--report FILE]\n"
    "                          [--copy] [--captions] [--jobs N]\n"
    "       zentrix-cli --help | --version\n"
    "\n"
    "Commands:\n"
    "  scan     list the channels of RECORDING, one line each:\n"
    "           Channel N<TAB>first date/time<TAB>last date/time\n"
    "  info     show what RECORDING holds: per channel its frames, first and\n"
    "           last frame, codec types, picture sizes, frame rate and gaps;\n"
    "           for the file its header blocks, other records and damage\n"
    "  export   write the video of the chosen channels to AVI files in OUTDIR\n"
    "           and print the path of every finished file (and caption file)\n"
    "\n"
    "Options:\n"
    "  --channels LIST  channels to export: numbers 1-64 separated by commas,\n"
    "                   or all (the default: every channel that has video)\n"
    "  --report FILE    after the export, whatever its end, write a JSON report\n"
    "                   to FILE: the recording and every file written, with\n"
    "                   their SHA-256 hashes, and the frames not exported\n"
    "  --jobs N         threads that decode and encode frames, 1-64 (the default:\n"
    "                   one for each processor the program may use); the files\n"
    "                   are the same for every N\n"
    "  --json           info: print JSON instead of columns\n"
    "  --gap SECONDS    info and the report: a stretch longer than this without\n"
    "                   a frame of a channel is a gap (default 2)\n"
    "  --copy           store every frame as the recording holds it, not one byte\n"
    "                   changed (Motion JPEG, H.263, MPEG-4 or H.264 in the AVI\n"
    "                   file) instead of re-encoding it to MPEG-4; frames of codec\n"
    "                   types 3 and 7 (no known codec) are left out and counted\n"
    "  --captions       write a SAMI caption file beside every AVI file (same name,\n"
    "                   .smi) that shows each frame's recorded date and time while\n"
    "                   the frame is on screen, e.g. 2009-03-07 08:05:03.120\n"
    "  --help           show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "Example: keep the original frames of channels 1 and 3, with their times:\n"
    "  zentrix-cli export rec.dat out --channels 1,3 --copy --captions\n"
    "\n"
    "Exit status: 0 done; 1 usage error; 2 the recording cannot be opened;\n"
    "3 OUTDIR is missing or not writable; 4 the list could not be written to\n"
    "standard output; 5 video is missing: some AVI files could not be written\n"
    "(a full disk; files that could not be finished or named keep temporary\n"
    "names ~N.avi, ~N-2.avi, ... and are listed), or a chosen channel with\n"
    "video got no file, or a caption file could not be written (none is\n"
    "left); 130 interrupted by Ctrl+C, 143 by SIGTERM (the files finished so\n"
    "far are closed, named and listed).\n";

static int UsageError(const std::string& message) {
  fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", PROGRAM,
          message.c_str(), PROGRAM);
  return EXIT_USAGE;
}

// The command line taken apart.
struct Arguments {
  std::vector<std::string> operands;  // command first
  const char* channels = nullptr;
  const char* report = nullptr;
  const char* gap = nullptr;
  const char* jobs = nullptr;
  bool json = false;
  bool copy = false;
  bool captions = false;
  bool help = false;
  bool version = false;
};

static int ParseArguments(int argc, char** argv, Arguments* arguments) {
  bool optionsDone = false;
  for (int i = 1; i < argc; i++) {
    const char* argument = argv[i];
    if (optionsDone || argument[0] != '-' || argument[1] == '\0') {
      arguments->operands.push_back(argument);
    } else if (strcmp(argument, "--") == 0) {
      optionsDone = true;
    } else if (strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0) {
      arguments->help = true;
    } else if (strcmp(argument, "--version") == 0) {
      arguments->version = true;
    } else if (strcmp(argument, "--copy") == 0) {
      arguments->copy = true;
    } else if (strcmp(argument, "--captions") == 0) {
      arguments->captions = true;
    } else if (strcmp(argument, "--channels") == 0) {
      if (i + 1 >= argc) return UsageError("--channels needs a list");
      arguments->channels = argv[++i];
    } else if (strncmp(argument, "--channels=", 11) == 0) {
      arguments->channels = argument + 11;
    } else if (strcmp(argument, "--report") == 0) {
      if (i + 1 >= argc) return UsageError("--report needs a FILE");
      arguments->report = argv[++i];
    } else if (strcmp(argument, "--gap") == 0) {
      if (i + 1 >= argc) return UsageError("--gap needs a number of seconds");
      arguments->gap = argv[++i];
    } else if (strcmp(argument, "--json") == 0) {
      arguments->json = true;
    } else if (strcmp(argument, "--jobs") == 0) {
      if (i + 1 >= argc) return UsageError("--jobs needs a number");
      arguments->jobs = argv[++i];
    } else if (strncmp(argument, "--jobs=", 7) == 0) {
      arguments->jobs = argument + 7;
    } else {
      return UsageError(std::string("unknown option '") + argument + "'");
    }
  }
  return 0;
}

// Opens the recording for reading; prints why not and gives null.
static FILE* OpenRecording(const std::string& path, AppContext* context) {
  if (path.size() >= PATH_SIZE) {
    fprintf(stderr, "%s: cannot open recording '%s': path too long\n", PROGRAM, path.c_str());
    return nullptr;
  }
  snprintf(context->recordingPath, PATH_SIZE, "%s", path.c_str());
  FILE* stream = fopen(path.c_str(), "rb");
  if (!stream) {
    fprintf(stderr, "%s: cannot open recording '%s': %s\n", PROGRAM, path.c_str(),
            strerror(errno));
    return nullptr;
  }
  struct stat status;
  if (fstat(fileno(stream), &status) == 0 && S_ISDIR(status.st_mode)) {
    fprintf(stderr, "%s: cannot open recording '%s': it is a folder\n", PROGRAM, path.c_str());
    fclose(stream);
    return nullptr;
  }
  return stream;
}

static bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

// Checks that the output folder exists and takes files, and stores it in the
// context without its trailing separator. Returns 0 or EXIT_OUTPUT_FOLDER.
static int SetOutputFolder(const std::string& given, AppContext* context) {
  std::string folder = given;
  while (!folder.empty() && IsSeparator(folder.back())) folder.pop_back();
  if (folder.size() + SEGMENT_NAME_ROOM > PATH_SIZE) {
    fprintf(stderr, "%s: output folder '%s': path too long for the segment files\n",
            PROGRAM, given.c_str());
    return EXIT_OUTPUT_FOLDER;
  }

  struct stat status;
  std::string probeFolder = folder.empty() ? given : folder;
  if (stat(probeFolder.c_str(), &status) != 0) {
    fprintf(stderr, "%s: output folder '%s' does not exist\n", PROGRAM, given.c_str());
    return EXIT_OUTPUT_FOLDER;
  }
  if (!S_ISDIR(status.st_mode)) {
    fprintf(stderr, "%s: output folder '%s' is not a folder\n", PROGRAM, given.c_str());
    return EXIT_OUTPUT_FOLDER;
  }

  // Permission bits do not tell (an administrator writes anywhere, a
  // read-only file system refuses everyone): try a file.
  char probe[PATH_SIZE + 64];
  snprintf(probe, sizeof(probe), "%s" PATH_SEPARATOR ".zentrix-cli-%d.tmp", folder.c_str(),
           (int)getpid());
  FILE* file = fopen(probe, "wb");
  if (!file) {
    fprintf(stderr, "%s: output folder '%s' is not writable: %s\n", PROGRAM, given.c_str(),
            strerror(errno));
    return EXIT_OUTPUT_FOLDER;
  }
  fclose(file);
  remove(probe);

  snprintf(context->outputFolder, PATH_SIZE, "%s", folder.c_str());
  return 0;
}

// The status of a run that a signal stopped, with its message.
static int Interrupted(const char* what) {
  fprintf(stderr, "%s: interrupted%s\n", PROGRAM, what);
  int signalNumber = InterruptSignal();
  return EXIT_SIGNALLED + (signalNumber > 0 ? signalNumber : SIGINT);
}

// Options that belong to other commands than the one given.
static int ForeignOption(const Arguments& arguments, const std::string& command) {
  if (arguments.channels && command != "export")
    return UsageError("--channels belongs to the export command");
  if (arguments.report && command != "export")
    return UsageError("--report belongs to the export command");
  if (arguments.copy && command != "export")
    return UsageError("--copy belongs to the export command");
  if (arguments.captions && command != "export")
    return UsageError("--captions belongs to the export command");
  if (arguments.jobs && command != "export")
    return UsageError("--jobs belongs to the export command");
  if (arguments.json && command != "info") return UsageError("--json belongs to the info command");
  if (arguments.gap && command == "scan")
    return UsageError("--gap belongs to the info and export commands");
  return 0;
}

// --gap SECONDS as milliseconds (INFO_GAP_MS without it).
static int ParseGap(const Arguments& arguments, int64_t* gapMs) {
  *gapMs = INFO_GAP_MS;
  if (!arguments.gap) return 0;
  char* end = nullptr;
  double seconds = strtod(arguments.gap, &end);
  if (end == arguments.gap || *end != '\0' || !(seconds > 0) || seconds > 1e9)
    return UsageError(std::string("bad --gap '") + arguments.gap +
                      "': give a number of seconds above 0");
  *gapMs = (int64_t)(seconds * 1000.0 + 0.5);
  if (*gapMs < 1) *gapMs = 1;
  return 0;
}

// Walks the recording from its start for its inventory. The header block
// reader's two diagnostic lines go to standard error meanwhile, so that
// standard output carries only the listing. Returns 0, or -1 when cancelled.
static int WalkInventory(FILE* stream, RecordingInfo* info, AppContext* context) {
  int64_t length = PlatformFileLength(stream);
  RecordingInfoInit(info, length < 0 ? 0 : length, info->gapMs);
  if (PlatformSeek(stream, 0, SEEK_SET) != 0) return 0;
  clearerr(stream);
  fflush(stdout);
  int saved = dup(1);
  if (saved >= 0) dup2(2, 1);
  int result = ReadRecordingInfo(stream, info, &context->runFlag);
  fflush(stdout);
  if (saved >= 0) {
    dup2(saved, 1);
    close(saved);
  }
  return result;
}

static std::string Thousands(int64_t value) {
  char text[THOUSANDS_SIZE];
  return FormatThousands(value < 0 ? 0 : (uint64_t)value, text);
}

// Says on standard error why a recording gives no channel, from what a walk
// found in it: it is empty, no record can be found in it, or its records
// name none.
static void SayWhyNoChannels(const RecordingInfo* info, const std::string& path) {
  int64_t frames = 0;
  for (const ChannelInfo& channel : info->channels) frames += channel.frames;
  // How far the walk read: to where it ended, over the records it took
  // and the stretches it searched.
  int64_t read = info->bytesWalked + (info->endKind >= 0 ? RECORD_HEADER_SIZE : 0);
  for (const DamagedPlace& place : info->damage)
    if (place.offset + place.skipped > read) read = place.offset + place.skipped;
  if (read > info->fileSize) read = info->fileSize;
  int64_t broke = info->damage.empty() ? info->bytesWalked : info->damage[0].offset;
  if (info->fileSize == 0)
    fprintf(stderr, "%s: '%s' is empty: it holds no records\n", PROGRAM, path.c_str());
  else if (info->headerBlocks == 0 && frames == 0)
    fprintf(stderr, "%s: '%s' does not look like a recording file: no header block and no "
                    "video record in the %s bytes read of %s; the framing broke at offset %s\n",
            PROGRAM, path.c_str(), Thousands(read).c_str(), Thousands(info->fileSize).c_str(),
            Thousands(broke).c_str());
  else if (info->headerBlocks == 0)
    fprintf(stderr, "%s: '%s' has %s video record%s but no header block to name %s "
                    "channels\n",
            PROGRAM, path.c_str(), Thousands(frames).c_str(), frames == 1 ? "" : "s",
            frames == 1 ? "its" : "their");
  else
    fprintf(stderr, "%s: the %s header blocks of '%s' name no channel\n", PROGRAM,
            Thousands(info->headerBlocks).c_str(), path.c_str());
}

static int ScanCommand(const Arguments& arguments, AppContext* context, HeadlessShell* shell) {
  if (arguments.operands.size() != 2)
    return UsageError("scan needs exactly one RECORDING");

  FILE* stream = OpenRecording(arguments.operands[1], context);
  if (!stream) return EXIT_RECORDING;

  TerminalProgressAttach(shell);
  int result = ScanRecordingFile(stream, context);
  TerminalProgressEnd(shell);
  if (result < 0) {
    fclose(stream);
    return Interrupted("");
  }

  for (const HeadlessRow& row : shell->rows)
    printf("%s\t%s\t%s\n", row.columns[0].c_str(), row.columns[1].c_str(),
           row.columns[2].c_str());
  int status = EXIT_DONE;
  if (shell->rows.empty()) {
    RecordingInfo* info = new RecordingInfo();
    info->gapMs = INFO_GAP_MS;
    if (WalkInventory(stream, info, context) < 0)
      status = Interrupted("");
    else
      SayWhyNoChannels(info, arguments.operands[1]);
    delete info;
  }
  fclose(stream);
  return status;
}

static int InfoCommand(const Arguments& arguments, AppContext* context) {
  if (arguments.operands.size() != 2)
    return UsageError("info needs exactly one RECORDING");
  RecordingInfo* info = new RecordingInfo();
  int status = ParseGap(arguments, &info->gapMs);
  FILE* stream = status == 0 ? OpenRecording(arguments.operands[1], context) : nullptr;
  if (status == 0 && !stream) status = EXIT_RECORDING;
  if (status == 0) {
    int result = WalkInventory(stream, info, context);
    fclose(stream);
    if (result < 0)
      status = Interrupted("");
    else if (arguments.json)
      printf("%s\n", RecordingInfoJson(arguments.operands[1], *info).dump(2).c_str());
    else
      PrintRecordingInfo(stdout, arguments.operands[1], *info);
  }
  delete info;
  return status;
}

// Prints the caption file of a segment file that the run wrote, when it has one.
static void PrintCaptionFile(const char* folder, const std::string& aviName) {
  std::string caption = aviName.substr(0, aviName.size() - 4) + ".smi";  // "....avi"
  std::string path = std::string(folder) + PATH_SEPARATOR + caption;
  struct stat status;
  if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) printf("%s\n", path.c_str());
}

// What the export leaves for its report besides the run's log.
struct ExportState {
  ReportRun run;
  std::thread hasher;  // hashes the recording while the export runs
};

static int RunExport(const Arguments& arguments, AppContext* context, HeadlessShell* shell,
                     ExportState* state) {
  ChannelMask mask = 0;
  bool all = true;
  if (arguments.channels) {
    std::string error;
    int parsed = ParseChannelList(arguments.channels, &mask, &error);
    if (parsed < 0) return UsageError(error);
    all = parsed == 1;
  }
  int jobs = PlatformProcessorCount();
  if (arguments.jobs) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(arguments.jobs, &end, 10);
    if (!isdigit((unsigned char)arguments.jobs[0]) || *end != '\0' || errno != 0 || value < 1 ||
        value > EXPORT_JOBS_LIMIT)
      return UsageError(std::string("--jobs needs a number from 1 to ") +
                        std::to_string(EXPORT_JOBS_LIMIT) + ", not '" + arguments.jobs + "'");
    jobs = (int)value;
  }
  context->exportJobs = jobs < EXPORT_JOBS_LIMIT ? jobs : EXPORT_JOBS_LIMIT;

  FILE* stream = OpenRecording(arguments.operands[1], context);
  if (!stream) return EXIT_RECORDING;
  int64_t length = PlatformFileLength(stream);
  state->run.recordingSize = length < 0 ? 0 : length;
  struct stat status;
  // A pipe cannot be read twice: only a file is hashed.
  if (arguments.report && fstat(fileno(stream), &status) == 0 && S_ISREG(status.st_mode)) {
    ReportRun* run = &state->run;
    state->hasher = std::thread([run]() {
      if (Sha256File(run->recordingPath, &run->recordingSha256) != 0) run->recordingSha256.clear();
    });
  }
  int folderStatus = SetOutputFolder(arguments.operands[2], context);
  if (folderStatus != 0) {
    fclose(stream);
    return folderStatus;
  }
  state->run.outputFolder = context->outputFolder;

  TerminalProgressAttach(shell);
  ChannelMask listed = 0;
  if (all) {
    // Every channel: damaged header blocks can hide a channel from the
    // scan's list, but not its frames from the export walk.
    if (ScanRecordingFile(stream, context) < 0) {
      TerminalProgressEnd(shell);
      fclose(stream);
      return Interrupted("");
    }
    for (const HeadlessRow& row : shell->rows) listed |= (ChannelMask)1 << row.itemData;
    mask = ~(ChannelMask)0;
    if (PlatformSeek(stream, 0, SEEK_SET) != 0) {
      TerminalProgressEnd(shell);
      fclose(stream);
      fprintf(stderr, "%s: cannot read recording '%s' a second time\n", PROGRAM,
              arguments.operands[1].c_str());
      return EXIT_RECORDING;
    }
    clearerr(stream);
  }

  context->channelMask = mask;
  context->options.copy = arguments.copy ? 1 : 0;
  context->options.captions = arguments.captions ? 1 : 0;
  std::vector<SegmentFile> before = ListSegmentFiles(context->outputFolder);
  std::vector<SegmentFile> temporaryBefore = ListTemporaryFiles(context->outputFolder);
  int result = ExportRecordingFile(stream, context);
  TerminalProgressEnd(shell);
  fclose(stream);
  state->run.lostFrames = context->lostFrames;

  // Files are listed after a cancel too: the run closed and named them.
  std::vector<SegmentFile> after = ListSegmentFiles(context->outputFolder);
  std::vector<SegmentFile> written = NewSegmentFiles(before, after, mask);
  for (const SegmentFile& file : written) {
    printf("%s" PATH_SEPARATOR "%s\n", context->outputFolder, file.name.c_str());
    if (arguments.captions) PrintCaptionFile(context->outputFolder, file.name);
  }
  const RecordingInfo* walked = &context->runLog->walked;
  if (all && listed == 0 && written.empty() && result >= 0) {
    SayWhyNoChannels(walked, arguments.operands[1]);
    fprintf(stderr, "%s: the recording names no channels; nothing to export\n", PROGRAM);
  }
  // The report's channels: those chosen, or with all of them those that
  // have video or are named.
  state->run.channels = mask;
  for (int n = 0; all && n < CHANNEL_COUNT; n++)
    if (walked->channels[n].frames == 0 && !walked->channels[n].named)
      state->run.channels &= ~((ChannelMask)1 << n);
  ChannelMask unlisted = 0;
  for (const SegmentFile& file : written)
    if (all && !((listed >> (file.channel - 1)) & 1)) unlisted |= (ChannelMask)1 << (file.channel - 1);
  for (int i = 0; i < CHANNEL_COUNT; i++)
    if ((unlisted >> i) & 1)
      fprintf(stderr, "%s: channel %d has video but is not in the scan's list (no header block "
                      "that could be read names it): exported too\n", PROGRAM, i + 1);

  // Segment files that could not be written: say so, and name the ones that
  // this run left under their temporary names. A whole file that only missed
  // its final name (a path too long for it) is told apart: no video is lost.
  int failed = context->failedSegments, uncreated = context->uncreatedSegments;
  std::vector<SegmentFile> unfinished =
      NewSegmentFiles(temporaryBefore, ListTemporaryFiles(context->outputFolder), mask);
  std::vector<std::string> wholeButUnnamed;
  for (const SegmentResult& segment : context->runLog->segments)
    if (!segment.finalName && segment.whole)
      wholeButUnnamed.push_back(BaseName(segment.path));
  int unnamed = (int)wholeButUnnamed.size();
  if (failed > unnamed)
    fprintf(stderr, "%s: %d segment file%s could not be written completely in '%s' "
                    "(is the disk full?): video is missing\n",
            PROGRAM, failed - unnamed, failed - unnamed == 1 ? "" : "s", context->outputFolder);
  if (unnamed > 0)
    fprintf(stderr, "%s: %d segment file%s could not be given %s final name in '%s' (the path "
                    "would be too long, or the name could not be taken); %s video is whole\n",
            PROGRAM, unnamed, unnamed == 1 ? "" : "s", unnamed == 1 ? "its" : "their",
            context->outputFolder, unnamed == 1 ? "its" : "their");
  for (const SegmentFile& file : unfinished) {
    int whole = std::find(wholeButUnnamed.begin(), wholeButUnnamed.end(), file.name) !=
                wholeButUnnamed.end();
    fprintf(stderr, "%s: %s, kept as %s" PATH_SEPARATOR "%s\n", PROGRAM,
            whole ? "finished but not named" : "could not be finished", context->outputFolder,
            file.name.c_str());
  }
  if (uncreated > 0)
    fprintf(stderr, "%s: %d segment file%s could not be created in '%s' (is the disk full?): "
                    "video is missing\n",
            PROGRAM, uncreated, uncreated == 1 ? "" : "s", context->outputFolder);

  if (context->failedCaptions > 0)
    fprintf(stderr, "%s: %d caption file%s could not be written in '%s' (is the disk full?); "
                    "their AVI files are whole\n",
            PROGRAM, context->failedCaptions.load(), context->failedCaptions == 1 ? "" : "s",
            context->outputFolder);

  // Frames that could not be transcoded are missing from the files: say so,
  // with the likeliest cause first, rather than report a clean export.
  // A full disk has been reported above: the frames it cost are its own.
  int uncopied = context->uncopiedFrames;
  int lost = context->lostFrames - uncopied;
  if (uncopied > 0)
    fprintf(stderr, "%s: %d frame%s of the chosen channels could not be copied: their codec "
                    "type (3 or 7) names no known codec\n",
            PROGRAM, uncopied, uncopied == 1 ? "" : "s");
  if (lost > 0 && failed == 0 && uncreated == 0 && arguments.copy)
    fprintf(stderr, "%s: %d frame%s of the chosen channels could not be exported (damaged "
                    "data)\n",
            PROGRAM, lost, lost == 1 ? "" : "s");
  else if (lost > 0 && failed == 0 && uncreated == 0)
    fprintf(stderr, "%s: %d frame%s of the chosen channels could not be exported (no codec "
                    "module for their codec type next to %s, a codec that refused them, or "
                    "damaged data)\n",
            PROGRAM, lost, lost == 1 ? "" : "s", PROGRAM);

  // A chosen channel with video but no file, final or kept, is never a
  // clean export, whatever the cause.
  ChannelMask withFile = 0;
  for (const SegmentFile& file : NewSegmentFiles(before, after, mask))
    withFile |= (ChannelMask)1 << (file.channel - 1);
  for (const SegmentFile& file : unfinished) withFile |= (ChannelMask)1 << (file.channel - 1);
  int unwritten = 0;
  for (int channel = 0; channel < CHANNEL_COUNT; channel++) {
    if (!((context->videoChannels & ~withFile) >> channel & 1)) continue;
    fprintf(stderr, "%s: channel %d has video, but no file was written for it\n", PROGRAM,
            channel + 1);
    unwritten++;
  }

  // Damaged stretches of the recording: the frames in them are gone, and the
  // user should know that the files are not the whole recording.
  if (context->damagedPlaces > 0)
    fprintf(stderr, "%s: the recording is damaged in %d place%s; the export went on with the "
                    "records found after each\n",
            PROGRAM, context->damagedPlaces, context->damagedPlaces == 1 ? "" : "s");

  if (result < 0) return Interrupted("; the files listed were finished");

  // A chosen channel that the whole walk met no video of.
  for (int n = 0; !all && n < CHANNEL_COUNT; n++)
    if (((mask >> n) & 1) && walked->channels[n].frames == 0)
      fprintf(stderr, "%s: channel %d has no video in the recording%s\n", PROGRAM, n + 1,
              walked->channels[n].named ? " (its header blocks name it)" : "");
  return failed > 0 || uncreated > 0 || unwritten > 0 || context->failedCaptions > 0
             ? EXIT_WRITE_FAILED
             : EXIT_DONE;
}

// The export, and its report whatever its end.
static int ExportCommand(const Arguments& arguments, AppContext* context, HeadlessShell* shell,
                         int argc, char** argv) {
  if (arguments.operands.size() != 3)
    return UsageError("export needs a RECORDING and an OUTDIR");
  ExportRunLog* log = new ExportRunLog();
  int status = ParseGap(arguments, &log->gapMs);
  if (status != 0) {
    delete log;
    return status;
  }
  ExportRunLogStart(log, 0);
  context->runLog = log;
  ExportState* state = new ExportState();
  ReportRun& run = state->run;
  for (int i = 0; i < argc; i++) run.commandLine.push_back(argv[i]);
  run.started = UtcNow();
  run.recordingPath = arguments.operands[1];
  run.recordingSize = 0;
  run.channels = 0;
  run.lostFrames = 0;

  status = RunExport(arguments, context, shell, state);
  if (state->hasher.joinable()) state->hasher.join();
  context->runLog = nullptr;

  if (arguments.report && status != EXIT_USAGE) {
    run.ended = UtcNow();
    run.exitStatus = status;
    run.result = status == EXIT_DONE ? "completed" : status > EXIT_SIGNALLED ? "cancelled" : "failed";
    std::string error;
    if (WriteReportFile(arguments.report, ExportReportJson(run, *log), &error) != 0) {
      fprintf(stderr, "%s: cannot write the report '%s': %s\n", PROGRAM, arguments.report,
              error.c_str());
      if (status == EXIT_DONE) status = EXIT_WRITE_FAILED;
    }
  }
  delete state;
  delete log;
  return status;
}

// A list that did not reach its reader (a full disk, a closed pipe) is a
// failure, not a completed run.
static int FinishOutput(int status) {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "%s: cannot write to standard output: %s\n", PROGRAM, strerror(errno));
    if (status == EXIT_DONE) return EXIT_STANDARD_OUTPUT;
  }
  return status;
}

int main(int argc, char** argv) {
  Arguments arguments;
  int status = ParseArguments(argc, argv, &arguments);
  if (status != 0) return status;
  if (arguments.help) {
    fputs(USAGE, stdout);
    return FinishOutput(EXIT_DONE);
  }
  if (arguments.version) {
    printf("%s %s\n", PROGRAM, ZENTRIX_VERSION);
    return FinishOutput(EXIT_DONE);
  }
  if (arguments.operands.empty()) return UsageError("no command given (scan, info or export)");

  const std::string& command = arguments.operands[0];
  if (command != "scan" && command != "info" && command != "export")
    return UsageError("unknown command '" + command + "' (use scan, info or export)");
  status = ForeignOption(arguments, command);
  if (status != 0) return status;

  AppContext* context = new AppContext();
  HeadlessShell shell;
  HeadlessShellAttach(context, &shell);
  context->runFlag = 1;
  InstallInterruptHandler(&context->runFlag);

  if (command == "scan")
    status = ScanCommand(arguments, context, &shell);
  else if (command == "info")
    status = InfoCommand(arguments, context);
  else
    status = ExportCommand(arguments, context, &shell, argc, argv);

  InstallInterruptHandler(nullptr);
  delete context;
  return FinishOutput(status);
}
