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
#include "recording/record_sync.h"
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

// A header block with damaged counts can carry the stream past the end.
static uint64_t ProgressPosition(FILE* stream, uint64_t total) {
  int64_t position = PlatformTell(stream);
  if (position < 0) return 0;
  return (uint64_t)position < total ? (uint64_t)position : total;
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

// What the walk knows of the records behind it: where a search for records
// may begin (after the last record known good, the last frame exported and
// the last place a search found) and the time of that record, where the next
// record should begin, the latest time of day and whether it can be trusted
// (it cannot when its record was only taken because records followed it),
// and whether the last record was a header block that could not be read (the
// stream then stands wherever the reader left it).
struct WalkStep {
  int64_t searchFrom;
  uint32_t goodTimeMs;
  int goodTimeKnown;
  int64_t end;
  uint32_t timeMs;
  int timeKnown;
  int timeTrusted;
  int blockFailed;
};

// A record known good: searches begin after it, near its time.
static void KnownGood(WalkStep* step, int64_t at, const RecordHeader* header) {
  if (step->searchFrom < at + 1) step->searchFrom = at + 1;
  step->goodTimeKnown = !RecordTimeUnset(header);
  step->goodTimeMs = RecordTimeOfDay(header);
}

enum { RECORD_CLOSE, RECORD_TAKEN, RECORD_FOLLOWED, WALK_ENDS, OUT_OF_STEP };

// Bytes searched for records between two looks at the run flag.
enum { SEARCH_STRETCH = 16 << 20 };

// Whether the header just read at `at` is a record. Most are by their time:
// timed close to the record before (RECORD_CLOSE), or without a time to
// compare (RECORD_TAKEN). A record timed far from the one before, or read
// after a header block that failed, is one when records follow from it
// (RECORD_FOLLOWED). A kind that ends the walk ends it when records follow
// it (timed close to the walk's time, when it is in step and the record's
// time is 0 or close to it), or when the file ends after it while in step.
// Leaves the stream after the header.
static int JudgeRecord(FILE* stream, RecordReader* reader, const WalkStep* step, int64_t at,
                       const RecordHeader* header) {
  uint32_t time = RecordTimeOfDay(header);
  int unset = RecordTimeUnset(header);
  int close = step->timeKnown && RecordTimesClose(step->timeMs, time);
  int judgement;
  if (RecordKind(header) > RECORD_LAST_EXPORT_KIND) {
    // In step, such a record ends where the file does or a record begins.
    int64_t next = at + RECORD_HEADER_SIZE + RecordPayloadLength(header);
    int inStep = (time == 0 || close) && step->timeTrusted && !step->blockFailed;
    const uint32_t* near = inStep && step->timeKnown ? &step->timeMs : nullptr;
    int ends = (inStep && next == reader->fileLength) || RecordsFollow(reader, next, 1, near);
    judgement = ends ? WALK_ENDS : OUT_OF_STEP;
  } else if (step->blockFailed || (!unset && step->timeKnown && !close)) {
    judgement = RecordsFollow(reader, at, 0, nullptr) ? RECORD_FOLLOWED : OUT_OF_STEP;
  } else {
    return close && !unset ? RECORD_CLOSE : RECORD_TAKEN;
  }
  if (PlatformSeek(stream, at + RECORD_HEADER_SIZE, SEEK_SET) != 0) return WALK_ENDS;
  return judgement;
}

// Searches for the records again, from where the walk may search: a cut
// record or a header block with damaged counts may have carried it past
// them. Leaves the stream at the records found and returns 1; 0 when none
// follow or the run is cancelled.
static int FindStepAgain(FILE* stream, AppContext* context, RecordReader* reader,
                         WalkStep* step, uint64_t total) {
  context->damagedPlaces++;
  for (int64_t at = step->searchFrom; at < reader->fileLength; at += SEARCH_STRETCH) {
    if (context->runFlag.load() == 0) return 0;
    int64_t found = FindRecords(reader, at, at + SEARCH_STRETCH,
                                step->goodTimeKnown ? &step->goodTimeMs : nullptr);
    if (found == -2) return 0;
    if (found >= 0) {
      step->searchFrom = found + 1;
      step->goodTimeKnown = 0;
      step->timeKnown = 0;
      step->timeTrusted = 1;
      step->blockFailed = 0;
      return PlatformSeek(stream, found, SEEK_SET) == 0;
    }
    uint64_t searched = (uint64_t)(at + SEARCH_STRETCH);
    ProgressStep(context, searched < total ? searched : total, total);
  }
  return 0;
}

// Walks the records until the end of the file, a record kind above 8, or a
// cancel. Where damage has put it out of step with the records, it finds
// them again further on.
static void WalkRecords(FILE* stream, AppContext* context, uint64_t total) {
  HeaderInfo info = {};  // zero date until the first header block
  RecordHeader header;
  RecordReader reader;
  RecordReaderInit(&reader, stream, PlatformFileLength(stream));
  WalkStep step = {0, 0, 0, 0, 0, 0, 1, 0};  // in step at the start
  while (context->runFlag.load() != 0) {
    int64_t at = PlatformTell(stream);
    if (!ReadRecordHeader(stream, &header)) {
      // The last record promised more than the file holds: it was garbage,
      // or its length was.
      if (step.end != reader.fileLength && FindStepAgain(stream, context, &reader, &step, total))
        continue;
      break;
    }
    int judgement = JudgeRecord(stream, &reader, &step, at, &header);
    if (judgement == WALK_ENDS) break;
    if (judgement == OUT_OF_STEP) {
      if (FindStepAgain(stream, context, &reader, &step, total)) continue;
      break;
    }

    unsigned kind = RecordKind(&header);
    uint32_t length = RecordPayloadLength(&header);
    // A record timed close to a trusted one before it is known good: no
    // later search need look before it.
    if (!RecordTimeUnset(&header)) {
      if (judgement == RECORD_CLOSE && step.timeTrusted) KnownGood(&step, at, &header);
      if (judgement != RECORD_CLOSE) step.timeTrusted = judgement == RECORD_TAKEN;
      step.timeMs = RecordTimeOfDay(&header);
      step.timeKnown = 1;
    }
    step.end = at + RECORD_HEADER_SIZE + length;
    step.blockFailed = 0;
    if (length == 0) continue;

    if (kind == RECORD_KEY_FRAME || kind == RECORD_FRAME) {
      unsigned channel = RecordChannel(&header);
      if (channel < CHANNEL_COUNT && context->exporters[channel]) {
        // A failed frame costs only that frame. A non-key frame that waits
        // for its segment's first key frame (-4) is not a loss of this run.
        // A frame is never exported twice: searches begin after it.
        enum { WAITING_FOR_KEY_FRAME = -4 };
        int exported = ExportFrame(stream, &header, &info, context);
        if (exported >= 0) KnownGood(&step, at, &header);
        if (exported < 0 && exported != WAITING_FOR_KEY_FRAME) context->lostFrames++;
        continue;
      }
    } else if (kind == RECORD_HEADER_BLOCK) {
      // A block that cannot be read leaves the stream where the reader left
      // it; one that was read is known good.
      step.blockFailed = ReadHeaderBlock(stream, &header, &info) != 0;
      step.end = PlatformTell(stream);
      if (!step.blockFailed) {
        KnownGood(&step, at, &header);
        ProgressStep(context, ProgressPosition(stream, total), total);
      }
      continue;
    }
    if (SkipRecordPayload(stream, length) != 0) break;
  }
  RecordReaderFree(&reader);
}

int ExportRecordingFile(FILE* stream, AppContext* context) {
  uint64_t total = ProgressTotal(stream);
  context->failedSegments = 0;
  context->lostFrames = 0;
  context->damagedPlaces = 0;
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
