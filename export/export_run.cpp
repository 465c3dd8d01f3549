// The export run: one walk over the recording file on the worker thread.
// Header blocks date the frames that follow them and drive the progress
// display; every video record of a selected channel goes to that channel's
// exporter. Whether the walk ends or is cancelled, every exporter then closes
// and names its open segment.
#include "export/export_run.h"

#include <cstdint>
#include <new>

#include "export/channel_exporter.h"
#include "export/codec_modules.h"
#include "export/export_jobs.h"
#include "export/export_log.h"
#include "platform/platform.h"
#include "recording/header_block.h"
#include "recording/record_walk.h"
#include "shell/app_context.h"
#include "shell/progress.h"
#include "shell/shell.h"

static const char EXPORT_TITLE[] = "Exporting AVI...";

enum { COMPLETED_PAUSE_MS = 1000 };

// The file length and the stream position as the progress reports take them:
// byte counts of any size (the reports scale them for the bar); one that
// cannot be found counts as 0.
static uint64_t ProgressTotal(FILE* stream) {
  int64_t length = PlatformFileLength(stream);
  return length < 0 ? 0 : (uint64_t)length;
}

static int ChannelSelected(const AppContext* context, int channel) {
  return (context->channelMask >> channel) & 1;
}

// One exporter for each selected channel. A channel whose exporter cannot be
// allocated is left out. Names are tested when a segment gets them.
static void CreateExporters(AppContext* context) {
  context->uncreatedSegments = 0;
  context->videoChannels = 0;
  for (int i = 0; i < CHANNEL_COUNT; i++) context->exporters[i] = nullptr;
  for (int i = 0; i < CHANNEL_COUNT; i++) {
    if (!ChannelSelected(context, i)) continue;
    ChannelExporter* exporter = new (std::nothrow) ChannelExporter();
    if (!exporter) continue;
    exporter->channelIndex = i;
    NameTempSegment(exporter, context->outputFolder);  // again at each segment's open
    GrowBufferInit(&exporter->encoded);
    GrowBufferInit(&exporter->picture);
    context->exporters[i] = exporter;
  }
}

// Closes and names every open segment and releases the exporters.
static void ReleaseExporters(AppContext* context) {
  for (int i = 0; i < CHANNEL_COUNT; i++) {
    ChannelExporter* exporter = context->exporters[i];
    if (!exporter || !ChannelSelected(context, i)) continue;
    GrowBufferFree(&exporter->encoded);
    GrowBufferFree(&exporter->picture);
    CloseSegment(context, exporter);
    delete exporter;
    context->exporters[i] = nullptr;
  }
}

// What the walk's reports reach: the progress display, the threads that
// export frames (none: the walk exports them itself) and the caller's log.
struct WalkProgress {
  AppContext* context;
  uint64_t total;
  ExportJobs* jobs;
  RecordWalk* walk;
  ExportRunLog* log;
};

static void ReportProgress(void* user, int64_t position) {
  WalkProgress* progress = (WalkProgress*)user;
  uint64_t at = position < 0 ? 0 : (uint64_t)position;
  ProgressStep(progress->context, at < progress->total ? at : progress->total, progress->total);
}

static void LogDamage(void* user, int64_t offset, int64_t bytes) {
  InfoDamage(&((WalkProgress*)user)->log->walked, offset, bytes);
}

// Before the walk searches for records: the frames that other threads export
// are waited for, since those exported are known good, as the walk's own are.
static void WaitForFrames(void* user) {
  WalkProgress* progress = (WalkProgress*)user;
  ExportedFrame latest;
  ExportJobsWait(progress->jobs, &latest);
  if (latest.at >= 0) RecordWalkTakenAt(progress->walk, latest.at, &latest.header);
}

// Walks the records until the end of the file, a record kind above 8, or a
// cancel, handing every frame of a selected channel to its exporter (or to
// the threads that export frames) and reading every header block.
static void WalkRecords(FILE* stream, AppContext* context, ExportJobs* jobs, uint64_t total) {
  HeaderInfo info = {};  // zero date until the first header block
  ExportRunLog* log = context->runLog;
  RecordWalk walk;
  WalkProgress progress = {context, total, jobs, &walk, log};
  RecordWalkInit(&walk, stream, PlatformFileLength(stream));
  walk.runFlag = &context->runFlag;
  walk.user = &progress;
  walk.onProgress = ReportProgress;
  if (log) walk.onDamage = LogDamage;
  if (jobs) walk.beforeSearch = WaitForFrames;
  RecordHeader header;
  int64_t at = 0;
  int ended;
  while ((ended = RecordWalkNext(&walk, &header, &at)) == RECORD_WALK_RECORD) {
    unsigned kind = RecordKind(&header);
    unsigned channel = RecordChannel(&header);
    int empty = RecordPayloadLength(&header) == 0;
    // The log counts every record as the inventory does.
    if (log && (kind != RECORD_HEADER_BLOCK || empty)) InfoRecord(&log->walked, &header, nullptr, 0);
    if (empty) continue;
    if (kind == RECORD_HEADER_BLOCK) {
      // A block that cannot be read leaves the kept info as it was.
      int read = ReadHeaderBlock(stream, &header, &info);
      RecordWalkHeaderBlock(&walk, read == 0 ? &info : nullptr);
      if (log) InfoHeaderBlock(&log->walked, read == 0 ? &info : nullptr);
    } else if ((kind == RECORD_KEY_FRAME || kind == RECORD_FRAME) && channel < CHANNEL_COUNT &&
               context->exporters[channel]) {
      // A failed frame costs only that frame. A non-key frame that waits for
      // its segment's first key frame (-4) is not a loss of this run.
      // Queued frames count when their thread has exported them.
      enum { WAITING_FOR_KEY_FRAME = -4 };
      if (jobs) {
        int read = ExportJobsFrame(jobs, stream, &header, &info, at);
        if (read < 0) context->lostFrames++;
        if (read < 0 && log) ExportLogLostFrame(log, channel, read, 0, context->options.copy);
        continue;
      }
      int exported = ExportFrame(stream, &header, &info, context);
      if (exported >= 0) RecordWalkFrameTaken(&walk);
      if (exported < 0 && exported != WAITING_FOR_KEY_FRAME) context->lostFrames++;
      if (exported < 0 && log)
        ExportLogLostFrame(log, channel, exported, context->exporters[channel]->openFailure,
                           context->options.copy);
    } else if (RecordWalkSkip(&walk) != 0) {
      break;
    }
  }
  context->damagedPlaces = walk.damagedPlaces;
  if (log) InfoWalkEnded(&log->walked, &walk, ended, &header, at);
  RecordWalkFree(&walk);
}

int ExportRecordingFile(FILE* stream, AppContext* context) {
  uint64_t total = ProgressTotal(stream);
  context->failedSegments = 0;
  context->lostFrames = 0;
  context->damagedPlaces = 0;
  if (context->runLog) ExportRunLogStart(context->runLog, PlatformFileLength(stream));
  context->uncopiedFrames = 0;
  context->failedCaptions = 0;
  CodecModulesInit();
  CreateExporters(context);
  ExportJobs* jobs = context->exportJobs > 1 ? ExportJobsStart(context, context->exportJobs)
                                             : nullptr;

  ShellSetDialogTitle(context, EXPORT_TITLE);
  ProgressStart(context, total);

  WalkRecords(stream, context, jobs, total);

  ExportJobsStop(jobs);
  ReleaseExporters(context);
  if (context->runLog) ExportRunLogFinish(context->runLog);
  // Modules are unloaded after a cancel too: nothing is left loaded that the
  // next run's CodecModulesInit would only forget.
  CodecModulesRelease();
  if (context->runFlag.load() == 0) return -1;
  ProgressDone(context, total);
  return 0;
}

int ExportWorker(AppContext* context) {
  if (!context) return -1;
  FILE* stream = fopen(context->recordingPath, "rb");
  if (!stream) {
    ShellPostCommand(context, RUN_CANCELLED);
    return -2;
  }
  if (ExportRecordingFile(stream, context) < 0) {
    fclose(stream);
    ShellPostCommand(context, RUN_CANCELLED);
    return -3;
  }
  fclose(stream);
  PlatformSleep(COMPLETED_PAUSE_MS);
  ShellPostCommand(context, RUN_COMPLETED);
  return 0;
}
