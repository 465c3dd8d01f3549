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
#include "platform/platform.h"
#include "recording/header_block.h"
#include "recording/record_stream.h"
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

static uint64_t ProgressPosition(FILE* stream) {
  int64_t position = PlatformTell(stream);
  return position < 0 ? 0 : (uint64_t)position;
}

static int ChannelSelected(const AppContext* context, int channel) {
  return (context->channelMask >> channel) & 1;
}

// One exporter for each selected channel. A channel whose exporter cannot be
// allocated, or whose file names would not fit a path, is left out.
static void CreateExporters(AppContext* context) {
  for (int i = 0; i < CHANNEL_COUNT; i++) context->exporters[i] = nullptr;
  for (int i = 0; i < CHANNEL_COUNT; i++) {
    if (!ChannelSelected(context, i)) continue;
    ChannelExporter* exporter = new (std::nothrow) ChannelExporter();
    if (!exporter) continue;
    exporter->channelIndex = i;
    if (NameTempSegment(exporter, context->outputFolder) != 0) {
      delete exporter;
      continue;
    }
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

// Walks the records until the end of the file, a record kind above 8, a
// payload that cannot be passed over, or a cancel.
static void WalkRecords(FILE* stream, AppContext* context, uint64_t total) {
  HeaderInfo info = {};  // zero date until the first header block
  RecordHeader header;
  while (context->runFlag.load() != 0) {
    if (!ReadRecordHeader(stream, &header)) break;
    unsigned kind = RecordKind(&header);
    if (kind > RECORD_LAST_EXPORT_KIND) break;
    uint32_t length = RecordPayloadLength(&header);
    if (length == 0) continue;

    if (kind == RECORD_KEY_FRAME || kind == RECORD_FRAME) {
      unsigned channel = RecordChannel(&header);
      if (channel < CHANNEL_COUNT && context->exporters[channel]) {
        // A failed frame costs only that frame. A non-key frame that waits
        // for its segment's first key frame (-4) is not a loss of this run.
        enum { WAITING_FOR_KEY_FRAME = -4 };
        int exported = ExportFrame(stream, &header, &info, context);
        if (exported < 0 && exported != WAITING_FOR_KEY_FRAME) context->lostFrames++;
        continue;
      }
    } else if (kind == RECORD_HEADER_BLOCK) {
      // A block that cannot be read leaves the stream where the reader left it.
      if (ReadHeaderBlock(stream, &header, &info) == 0)
        ProgressStep(context, ProgressPosition(stream), total);
      continue;
    }
    if (SkipRecordPayload(stream, length) != 0) break;
  }
}

int ExportRecordingFile(FILE* stream, AppContext* context) {
  uint64_t total = ProgressTotal(stream);
  context->failedSegments = 0;
  context->lostFrames = 0;
  CodecModulesInit();
  CreateExporters(context);

  ShellSetDialogTitle(context, EXPORT_TITLE);
  ProgressStart(context, total);

  WalkRecords(stream, context, total);

  ReleaseExporters(context);
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
