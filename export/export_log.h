// What an export run did, for a caller that asks (zentrix-cli's report; the
// Windows program never does): every segment file it closed, the frames of
// each channel that it could not export and why, and what its walk met on
// the way (frames of every channel, gaps, damaged places).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "recording/packed_time.h"
#include "recording/recording_info.h"
#include "shell/app_context.h"

// Why a frame of a chosen channel is not in any file.
enum LossReason {
  LOSS_NO_CODEC_MODULE,   // no module for its codec type, or for the output
  LOSS_CODEC_REFUSED,     // a codec would not open, decode or encode
  LOSS_DAMAGED_DATA,      // its payload was cut short or describes no picture
  LOSS_WAITING_FOR_KEY,   // no segment was open and it is no key frame
  LOSS_WRITE_FAILED,      // its segment file could not be created or written
  LOSS_NO_MEMORY,
  LOSS_UNCOPYABLE_CODEC,  // a copy's frame of a codec type with no known codec (3, 7)
  LOSS_REASONS
};

// Names of the reasons as the report writes them, in LossReason order.
extern const char* const LOSS_REASON_NAMES[LOSS_REASONS];

// One segment file as CloseSegment left it.
struct SegmentResult {
  int32_t channelIndex;
  std::string path;   // final name, or the temporary one it kept
  int finalName;      // 0 when it kept its temporary name
  int whole;          // its AVI file was finished with every frame written
  int32_t width;
  int32_t height;
  uint32_t codecTypes;  // bit n: frames of source codec type n
  int copied;           // non-zero: the frames are stored as recorded (--copy)
  int32_t outputCodecType;  // the copied codec type with copied
  CalendarTime firstTime;
  CalendarTime lastTime;
  int32_t frames;
  int32_t keyFrames;
  float rate;  // frames per second in the AVI header
  std::string captionPath;  // its caption file, or empty for none
};

// Held while a segment or a lost frame is logged: in a parallel export the
// pool's threads close segments and lose frames at once.
struct RunLogLock {
  PlatformLock lock;
  RunLogLock() { PlatformLockInit(&lock); }
  ~RunLogLock() { PlatformLockDelete(&lock); }
  RunLogLock(const RunLogLock&) = delete;
  RunLogLock& operator=(const RunLogLock&) = delete;
};

struct ExportRunLog {
  int64_t gapMs;  // set by the caller: gaps longer than this are logged
  // By channel, each channel's in the order they were closed (once the run
  // has finished), so that the list is the same however many threads ran.
  std::vector<SegmentResult> segments;
  int64_t lost[CHANNEL_COUNT][LOSS_REASONS];
  RecordingInfo walked;  // every record the walk took, as the inventory counts them
  RunLogLock guard;
};

// Empties the log at the start of a run over a file of fileSize bytes.
void ExportRunLogStart(ExportRunLog* log, int64_t fileSize);
// A frame of channel that ExportFrame refused with `code`; `openCode` is the
// exporter's last OpenSegment failure (for code -5); copy non-zero when the
// run copies frames rather than transcoding them.
void ExportLogLostFrame(ExportRunLog* log, unsigned channel, int code, int openCode, int copy);
// A segment file that CloseSegment finished or kept.
void ExportLogSegment(ExportRunLog* log, const SegmentResult* segment);
// At the end of a run: puts the segments in channel order.
void ExportRunLogFinish(ExportRunLog* log);
