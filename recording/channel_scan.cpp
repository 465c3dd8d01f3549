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

// Progress values are byte counts of any size (the reports scale them for
// the bar); a length or position that cannot be found counts as 0.
static uint64_t ProgressValue(int64_t value) {
  return value < 0 ? 0 : (uint64_t)value;
}

// ReadHeaderBlock's code for a block whose year lies outside 1001 to 2999.
enum { BLOCK_DATE_OUT_OF_RANGE = -5 };

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
  uint64_t total = ProgressValue(PlatformFileLength(stream));
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
        int read = ReadHeaderBlock(stream, &header, &info);
        // A block whose date is out of range was read whole and the walk is
        // still in step: only that block is passed over, so that one damaged
        // date does not hide the channels of the rest of the file. After any
        // other failure the stream cannot be trusted, and the scan ends.
        if (read == BLOCK_DATE_OUT_OF_RANGE) {
          if (context->runFlag.load() == 0) break;
          continue;
        }
        if (read < 0) break;
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
