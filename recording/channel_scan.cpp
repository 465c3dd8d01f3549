// The reading run: walks the recording file once, decodes every header block
// and fills the channel list with one row per channel, showing the times of
// the first and of the latest header block that names it.
#include "recording/channel_scan.h"

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "recording/packed_time.h"
#include "recording/record_stream.h"
#include "shell/app_context.h"
#include "shell/progress.h"
#include "shell/shell.h"

// Progress values are 32-bit and signed on the way to the progress bar: a
// position or length beyond that range (or an unknown one) is held at the edge.
static uint32_t ProgressValue(int64_t value) {
  if (value < 0) return 0;
  if (value > INT32_MAX) return INT32_MAX;
  return (uint32_t)value;
}

int ScanWorker(AppContext* context) {
  if (!context) return -1;

  FILE* stream = fopen(context->recordingPath, "rb");
  if (!stream) {
    ShellPostCommand(context, RUN_CANCELLED);
    return -2;
  }

  int result = ScanRecordingFile(stream, context);
  fclose(stream);
  if (result < 0) {
    ShellPostCommand(context, RUN_CANCELLED);
    return -3;
  }

  // Leave the completed progress in view for a second.
  PlatformSleep(1000);
  ShellPostCommand(context, RUN_COMPLETED);
  return 0;
}

int ScanRecordingFile(FILE* stream, AppContext* context) {
  uint32_t total = ProgressValue(PlatformFileLength(stream));
  ProgressStart(context, total);
  ShellDeleteAllRows(context);
  if (context->runFlag.load() == 0) return -1;

  HeaderInfo info = {};
  int headerSeen = 0;
  RecordHeader header;

  // Every step reads a header and then moves forward (SkipRecordPayload takes
  // an unsigned distance), so the walk always reaches the end of the file.
  while (ReadRecordHeader(stream, &header)) {
    uint32_t length = RecordPayloadLength(&header);
    if (length != 0) {
      if (RecordKind(&header) == RECORD_HEADER_BLOCK) {
        if (ReadHeaderBlock(stream, &header, &info) < 0) break;
        headerSeen = 1;
        MergeChannels(context, &info);
        ProgressStep(context, ProgressValue(PlatformTell(stream)), total);
      } else {
        // Once a header block has been read, its skip length replaces the
        // records' own lengths.
        uint32_t distance = headerSeen ? info.skipLength : length;
        if (SkipRecordPayload(stream, distance) < 0) break;
      }
    }
    if (context->runFlag.load() == 0) break;
  }

  if (context->runFlag.load() == 0) return -1;
  ProgressDone(context, total);
  return 0;
}

int MergeChannels(AppContext* context, const HeaderInfo* info) {
  int channelCount = info->version == 2 ? 64 : 32;
  char time[FORMAT_TIME_SIZE];
  FormatTime(info->blockTime, time);

  for (int n = 0; n < channelCount; n++) {
    if (!((info->channels >> n) & 1)) continue;

    char label[32];
    snprintf(label, sizeof(label), "Channel %d", n + 1);
    int row = ShellFindRow(context, label);
    if (row < 0) {
      row = ShellInsertRow(context, ShellRowCount(context), label, n);
      if (row < 0) continue;  // a later header block tries again
      ShellSetRowText(context, row, 1, time);
    }
    ShellSetRowText(context, row, 2, time);
  }
  return 0;
}
