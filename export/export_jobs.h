// The parallel export: while the walk reads the recording file, a pool of
// threads exports the frames it hands over. Each channel's frames are
// exported strictly in recording order, by one thread at a time, with the
// exporter's own steps (ExportPayload); a second stage decodes a channel's
// next frame with its segment's decoder while the frame before it is
// encoded and written. The files are the same as those of a run without
// the pool, byte for byte.
#pragma once

#include <cstdint>
#include <cstdio>

#include "codecs/codec_interface.h"
#include "recording/header_block.h"
#include "recording/record_stream.h"

struct AppContext;
struct ChannelExporter;
struct DecodeAhead;
struct ExportJobs;

// Threads a pool takes at most.
enum { EXPORT_JOBS_LIMIT = 64 };

// A frame that was exported, and where its record began in the file.
struct ExportedFrame {
  int64_t at;  // -1: none
  RecordHeader header;
};

// Starts `jobs` threads (at most EXPORT_JOBS_LIMIT) for the context's
// exporters, which must exist. Null when not one thread could be started:
// the walk then exports the frames itself.
ExportJobs* ExportJobsStart(AppContext* context, int jobs);

// Reads the payload of a video record of a selected channel, as
// ExportFrame does, and queues the frame; waits while the queues (or the
// frame's channel's) are full.
// Returns 0, or ExportFrame's -1 or -2 (nothing queued). `at` is where the
// record began.
int ExportJobsFrame(ExportJobs* jobs, FILE* stream, const RecordHeader* header,
                    const HeaderInfo* info, int64_t at);

// Waits until every queued frame has been exported, after a cancel too.
// *latest gets the exported frame that began furthest in the file since the
// last call (at -1: none).
void ExportJobsWait(ExportJobs* jobs, ExportedFrame* latest);

// Waits as ExportJobsWait does, ends the threads, detaches the exporters
// and releases the pool. Does nothing with null.
void ExportJobsStop(ExportJobs* jobs);

// The exporter's side of the decode stage (called from TranscodeFrame and
// from the closing of a segment's codec instances, on the thread that
// exports the frame):
// Take: when the frame being exported was decoded ahead by the exporter's
// current decoder, copies that decode's record and result and returns 1.
int DecodeAheadTake(DecodeAhead* ahead, const ChannelExporter* exporter, CodecFrameParams* params,
                    int32_t* result);
// Decoded: the exporter decoded the frame itself; the stage may go on from
// there with the same decoder.
void DecodeAheadDecoded(DecodeAhead* ahead, const ChannelExporter* exporter,
                        const FrameInfo* frame, const CodecFrameParams* params);
// Release: the decoder is about to be closed; waits for a decode in progress.
void DecodeAheadRelease(DecodeAhead* ahead);
