// One channel's export: its video frames are decoded, re-encoded and written
// to AVI segments that start at key frames and end at picture-size changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "avi/avi_writer.h"
#include "codecs/codec_interface.h"
#include "export/segment_captions.h"
#include "platform/platform.h"
#include "recording/header_block.h"
#include "recording/packed_time.h"
#include "recording/record_stream.h"

struct AppContext;
struct DecodeAhead;

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
  // Copy mode: the codec type of the open segment's frames.
  int32_t segmentCodecType;
  // With captions: the times of the open segment's frames.
  SegmentCaptions captions;
  // The stage that decodes this channel's frames ahead of it in a parallel
  // export (export/export_jobs.h); null when every frame is decoded here.
  DecodeAhead* ahead;
};

void GrowBufferInit(GrowBuffer* buffer);
int GrowBufferEnsure(GrowBuffer* buffer, int32_t size);
void GrowBufferFree(GrowBuffer* buffer);

int OpenSegment(FrameInfo* frame, const CalendarTime* time, AppContext* context,
                ChannelExporter* exporter);
// Decode step of TranscodeFrame: the decode view for frame, with the planes
// in picture (width x height x 3 / 2 bytes), handed to the decoder.
// Returns the decoder's result.
int32_t DecodePicture(const CodecDescriptor* decoder, CodecHandle handle, const FrameInfo* frame,
                      uint8_t* picture, CodecFrameParams* params);
int TranscodeFrame(FrameInfo* frame, const CalendarTime* time, AppContext* context,
                   ChannelExporter* exporter);
int ExportFrame(FILE* stream, const RecordHeader* header, const HeaderInfo* info,
                AppContext* context);
// ExportFrame in two steps. Reading: the payload of a record of a selected
// channel into a buffer of its own (released with free); 0, -1 (no memory:
// the payload is passed over) or -2. Exporting: the steps that follow, with
// ExportFrame's codes from -3 on; the payload stays the caller's.
int ReadFramePayload(FILE* stream, const RecordHeader* header, AppContext* context,
                     uint8_t** payload);
int ExportPayload(const RecordHeader* header, const uint8_t* payload, const HeaderInfo* info,
                  AppContext* context, ChannelExporter* exporter);
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

// Creates the AVI file of a new segment under a free temporary name, with
// the given FourCC, the frame's picture size and the opening rate 30, and
// starts the segment at the frame. Returns 0, or -5 when no file could be
// created (counted once in the context's uncreatedSegments while the
// channel's creates keep failing).
int CreateSegmentFile(const FrameInfo* frame, const CalendarTime* time, AppContext* context,
                      ChannelExporter* exporter, const char* handler);

// Copy mode (the context's options.copy). The FourCC that names the codec of
// a codec type in an AVI file, or null for a type without a known codec.
const char* CopyHandler(int32_t codecType);
// Opens a segment that stores frames unchanged: no codec instance, an AVI
// file under the frame's FourCC. Returns 0, -1 (no known codec) or -5 (the
// AVI file could not be created).
int OpenCopySegment(const FrameInfo* frame, const CalendarTime* time, AppContext* context,
                    ChannelExporter* exporter);
// 1 (and the frame counted in uncopiedFrames) when a copy cannot store the
// frame, its codec type having no known codec; else 0.
int CopyRefusesFrame(AppContext* context, const FrameInfo* frame);
// 1 when a copy's open segment ends before this frame: its codec type differs.
int CopySegmentEnds(const AppContext* context, const ChannelExporter* exporter,
                    const FrameInfo* frame);

// Allocator of each frame's payload buffer (malloc unless replaced); the
// buffer is released with free. Tests replace it to try the no-memory path.
extern void* (*ExportPayloadAllocate)(size_t size);
