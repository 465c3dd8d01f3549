// The export run's log for its caller.
#include "export/export_log.h"

#include <algorithm>
#include <cstring>

const char* const LOSS_REASON_NAMES[LOSS_REASONS] = {
    "noCodecModule", "codecRefused", "damagedData", "waitingForKeyFrame", "writeFailed",
    "noMemory", "uncopyableCodecType"};

void ExportRunLogStart(ExportRunLog* log, int64_t fileSize) {
  log->segments.clear();
  memset(log->lost, 0, sizeof log->lost);
  RecordingInfoInit(&log->walked, fileSize, log->gapMs);
}

// ExportFrame's codes (and OpenSegment's behind its -5) by reason.
static LossReason ReasonOf(int code, int openCode, int copy) {
  switch (code) {
    case -1: return LOSS_NO_MEMORY;
    case -2:
    case -3: return LOSS_DAMAGED_DATA;
    case -4: return LOSS_WAITING_FOR_KEY;
    case -5:
      // A copy loads no module: its -1 is a codec type it cannot store.
      if (copy && openCode == -1) return LOSS_UNCOPYABLE_CODEC;
      if (openCode == -1 || openCode == -2) return LOSS_NO_CODEC_MODULE;
      if (openCode == -5) return LOSS_WRITE_FAILED;
      return LOSS_CODEC_REFUSED;
    case -6: return LOSS_CODEC_REFUSED;
    default: return LOSS_WRITE_FAILED;
  }
}

void ExportLogLostFrame(ExportRunLog* log, unsigned channel, int code, int openCode, int copy) {
  if (channel >= CHANNEL_COUNT) return;
  PlatformLockEnter(&log->guard.lock);
  log->lost[channel][ReasonOf(code, openCode, copy)]++;
  PlatformLockLeave(&log->guard.lock);
}

void ExportLogSegment(ExportRunLog* log, const SegmentResult* segment) {
  PlatformLockEnter(&log->guard.lock);
  log->segments.push_back(*segment);
  PlatformLockLeave(&log->guard.lock);
}

// A channel's segments are closed one after another by whichever thread
// exports its frames, so a stable sort by channel gives one order for any
// number of threads.
void ExportRunLogFinish(ExportRunLog* log) {
  std::stable_sort(log->segments.begin(), log->segments.end(),
                   [](const SegmentResult& a, const SegmentResult& b) {
                     return a.channelIndex < b.channelIndex;
                   });
}
