// One channel's export: its video frames are decoded, re-encoded and written
// to AVI segments that start at key frames and end at picture-size changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "avi/avi_writer.h"
#include "codecs/codec_interface.h"
#include "platform/platform.h"
#include "recording/header_block.h"
#include "recording/packed_time.h"
#include "recording/record_stream.h"

struct AppContext;

// A process-heap block that only grows, with its own lock.
struct GrowBuffer {
  int32_t capacity;
  int32_t ready;
  PlatformLock lock;
  uint8_t* data;
};

struct ChannelExporter {
  int32_t channelIndex;
  char tempPath[PATH_SIZE];
  AviHandle* avi;
  int32_t frameCount;
  int32_t segmentCount;
  int32_t segmentWidth;
  int32_t segmentHeight;
  CalendarTime firstTime;
  CalendarTime lastTime;
  CodecDescriptor* decoder;
  CodecDescriptor* encoder;
  CodecHandle decoderHandle;
  CodecHandle encoderHandle;
  GrowBuffer picture;
  GrowBuffer encoded;
  // Non-zero once the AVI writer has refused a frame of the open segment
  // (other than at the size limit): the segment's file lacks that frame.
  int32_t segmentIncomplete;
  // Non-zero while the channel's segment files cannot be created: the key
  // frames that try again count no further segment in the context.
  int32_t createFailed;
  // Of the open segment: key frames written, and the source codec types of
  // its frames (bit n for type n). The last code OpenSegment failed with.
  int32_t keyFrameCount;
  uint32_t segmentCodecTypes;
  int32_t openFailure;
};

void GrowBufferInit(GrowBuffer* buffer);
int GrowBufferEnsure(GrowBuffer* buffer, int32_t size);
void GrowBufferFree(GrowBuffer* buffer);

int OpenSegment(FrameInfo* frame, const CalendarTime* time, AppContext* context,
                ChannelExporter* exporter);
int TranscodeFrame(FrameInfo* frame, const CalendarTime* time, AppContext* context,
                   ChannelExporter* exporter);
int ExportFrame(FILE* stream, const RecordHeader* header, const HeaderInfo* info,
                AppContext* context);
// Always 0. The segment file gets its final name only when it was written
// by this run and finished and that name fits a path; otherwise it keeps its
// temporary name. One that got no frame at all is removed instead. A file
// that holds video but could not be finished or named, or that lacks
// frames, is counted in the context's failedSegments.
int CloseSegment(AppContext* context, ChannelExporter* exporter);

// Sets tempPath to the first name in folder that no file has:
// "~<channel>.avi", else "~<channel>-2.avi", "~<channel>-3.avi" and so on,
// so that no file kept by an earlier segment or run is written over.
// OpenSegment names each segment so. Returns 0, or -1 (tempPath left
// empty) when no free name fits PATH_SIZE.
int NameTempSegment(ChannelExporter* exporter, const char* folder);

// Allocator of each frame's payload buffer (malloc unless replaced); the
// buffer is released with free. Tests replace it to try the no-memory path.
extern void* (*ExportPayloadAllocate)(size_t size);
