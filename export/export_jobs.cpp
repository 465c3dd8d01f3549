// The parallel export. The walk reads each wanted frame's payload and queues
// it on its channel; a pool of threads takes the work of the channels:
//
// - the export stage runs ExportPayload on a channel's oldest frame: the
//   segment decisions, the encode and the write, in recording order, one
//   frame of a channel at a time;
// - the decode stage decodes a channel's next frame with its segment's
//   decoder while the export stage encodes the frame before it. It decodes
//   a frame only when every decode before it on that decoder is settled and
//   the frame is sure to go to the same segment (same picture size); the
//   export stage takes the result only if the decoder is still the one that
//   made it. Otherwise the export stage decodes the frame itself, as a run
//   without the pool does. So every decoder sees the same calls in the same
//   order as in a run on one thread, and the files are the same.
//
// Frames in the queues, and pictures decoded ahead, are a fixed number for
// the pool, whatever the length of the recording or the number of channels.
// One lock guards the queues and the decode stage's state.
//
// A cancel stops the walk; the frames it has read are still exported, as a
// run on one thread finishes the record at hand. A channel holds at most
// FRAMES_PER_CHANNEL of them, so that this takes a moment only.
#include "export/export_jobs.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "export/channel_exporter.h"
#include "export/export_log.h"
#include "platform/platform.h"
#include "shell/app_context.h"

// Frames queued or being exported, and pictures decoded ahead, per thread;
// frames that one channel may hold. The queues are deep enough for a thread
// to export a run of one channel's frames before it turns to another:
// a decoder and an encoder that change places every frame lose the
// processor's caches.
enum { FRAMES_PER_JOB = 24, PICTURES_PER_JOB = 3, FRAMES_PER_CHANNEL = 16 };

// Pictures that one channel may hold decoded ahead of its export stage.
enum { AHEAD_PER_CHANNEL = 4 };

// The walk, once it waits for room, is woken when there is room for this
// many frames, not for each frame exported: a wake a frame would take the
// processor from a transcode a frame.
enum { WALK_RUN = 8 };

// ExportPayload's code for a frame that waits for its segment's first key
// frame: not a loss.
enum { WAITING_FOR_KEY_FRAME = -4 };

struct JobFrame {
  JobFrame* next;
  RecordHeader header;
  HeaderInfo info;
  uint8_t* payload;
  int64_t at;
  uint64_t number;  // 1, 2, ... among its channel's frames
  FrameInfo frame;  // as the exporter will see it; describable: it has a picture
  int describable;
  // Set when the decode stage decoded the frame.
  GrowBuffer* picture;
  int decoded;
  uint32_t generation;
  CodecHandle decoderHandle;
  int32_t result;
  CodecFrameParams params;
};

// One channel's queue and decode stage. The frames run from `first` (the
// export stage's next) through `unseen` (the decode stage's next) to `last`.
struct DecodeAhead {
  ExportJobs* jobs;
  ChannelExporter* exporter;
  JobFrame* first;
  JobFrame* unseen;
  JobFrame* last;
  JobFrame* current;  // the frame the export stage works on
  uint64_t queued;    // frames queued so far
  int waiting;        // frames in the queue
  int exporting;      // the export stage runs on a thread
  int decoding;       // the decode stage runs Decode on a thread
  int held;           // pictures decoded ahead and not yet exported
  // Every decode of frames up to this number is done, or known never to
  // happen: the decode stage may look at the frame after it.
  uint64_t settled;
  // The decoder the decode stage may use: a segment's decoder, from the
  // export stage's decode of frame `chainThrough` on (the frames after it
  // that the stage has decoded or passed over move it on), for pictures of
  // chainWidth x chainHeight. A closing decoder ends it and changes the
  // generation.
  uint32_t generation;
  int chainValid;
  const CodecDescriptor* chainDecoder;
  CodecHandle chainHandle;
  int32_t chainWidth;
  int32_t chainHeight;
  uint64_t chainThrough;
};

struct ExportJobs {
  AppContext* context;
  PlatformLock lock;
  PlatformCondition workReady;  // a stage may run, or the pool stops
  PlatformCondition frameDone;  // the queues emptied, or a decode ended
  PlatformCondition roomReady;  // the walk may queue a run of frames
  DecodeAhead* walkWaits;       // the channel the walk waits to queue on
  int threadCount;
  PlatformThread threads[EXPORT_JOBS_LIMIT];
  JobFrame* frames;
  JobFrame* freeFrames;
  int frameCount;
  int framesOut;  // frames queued or being exported
  GrowBuffer* pictures;
  GrowBuffer** freePictures;
  int pictureCount;
  int freePictureCount;
  DecodeAhead channels[CHANNEL_COUNT];
  int nextChannel;  // where the threads look for work first, in turn
  int stopping;
  ExportedFrame latest;
};

static void WakeAll(ExportJobs* jobs) {
  PlatformConditionWakeAll(&jobs->workReady);
  PlatformConditionWakeAll(&jobs->frameDone);
}

// Whether the walk may queue `run` frames on the channel.
static int RoomFor(const ExportJobs* jobs, const DecodeAhead* channel, int run) {
  return jobs->frameCount - jobs->framesOut >= run &&
         channel->waiting <= FRAMES_PER_CHANNEL - run;
}

static int PictureBytes(const FrameInfo* frame) {
  return (int32_t)frame->width * frame->height * 3 / 2;
}

// Whether the decode stage decodes `frame` ahead with the channel's chain.
static int ChainTakes(const DecodeAhead* channel, const JobFrame* frame) {
  return channel->chainValid && channel->chainThrough + 1 == frame->number &&
         frame->frame.width == channel->chainWidth && frame->frame.height == channel->chainHeight;
}

// Lets the decode stage pass over the frames it leaves to the export stage:
// a frame without a picture (never decoded: the chain goes on past it), and
// one that the chain cannot take (the export stage decodes it). Stops at a
// frame to decode ahead, or at one it may not look at yet.
static void PassFrames(DecodeAhead* channel) {
  while (channel->unseen && !channel->decoding && channel->settled + 1 >= channel->unseen->number) {
    JobFrame* frame = channel->unseen;
    if (!frame->describable) {
      if (channel->chainValid && channel->chainThrough + 1 == frame->number)
        channel->chainThrough = frame->number;
      if (channel->settled + 1 == frame->number) channel->settled = frame->number;
    } else if (ChainTakes(channel, frame)) {
      return;
    }
    channel->unseen = frame->next;
  }
}

// The decode stage may decode its next frame now.
static int DecodeReady(const ExportJobs* jobs, const DecodeAhead* channel) {
  return channel->unseen && !channel->decoding && ChainTakes(channel, channel->unseen) &&
         channel->held < AHEAD_PER_CHANNEL && jobs->freePictureCount > 0;
}

// The export stage may run: its frame was decoded ahead or passed over, or
// the decode stage has not begun it, and then the export stage decodes it on
// its own thread. So the threads of a pool with as many channels at work
// each keep to their channels and decode what they encode, and decode ahead
// only when they would otherwise wait.
static int ExportReady(const DecodeAhead* channel) {
  return channel->first && !channel->exporting &&
         (channel->first != channel->unseen || !channel->decoding);
}

static void FreeFrame(ExportJobs* jobs, DecodeAhead* channel, JobFrame* frame) {
  free(frame->payload);
  frame->payload = nullptr;
  if (frame->picture) {
    jobs->freePictures[jobs->freePictureCount++] = frame->picture;
    frame->picture = nullptr;
    channel->held--;
  }
  channel->waiting--;
  frame->next = jobs->freeFrames;
  jobs->freeFrames = frame;
  jobs->framesOut--;
  if (jobs->walkWaits && RoomFor(jobs, jobs->walkWaits, WALK_RUN))
    PlatformConditionWakeAll(&jobs->roomReady);
}

// Decodes the channel's next frame ahead. Entered and left with the lock held.
static void RunDecode(ExportJobs* jobs, DecodeAhead* channel) {
  JobFrame* frame = channel->unseen;
  GrowBuffer* picture = jobs->freePictures[--jobs->freePictureCount];
  frame->picture = picture;
  channel->held++;
  channel->decoding = 1;
  uint32_t generation = channel->generation;
  const CodecDescriptor* decoder = channel->chainDecoder;
  CodecHandle handle = channel->chainHandle;
  PlatformLockLeave(&jobs->lock);

  CodecFrameParams params;
  int ready = GrowBufferEnsure(picture, PictureBytes(&frame->frame));
  int32_t result = ready ? DecodePicture(decoder, handle, &frame->frame, picture->data, &params) : 0;

  PlatformLockEnter(&jobs->lock);
  channel->decoding = 0;
  if (ready) {
    frame->decoded = 1;
    frame->generation = generation;
    frame->decoderHandle = handle;
    frame->result = result;
    frame->params = params;
    channel->settled = frame->number;
    // A decoder that hands out a picture of its own overwrites it at its
    // next decode: the export stage decodes the frames after this one.
    if (generation == channel->generation) {
      channel->chainThrough = frame->number;
      if (params.decode.luma != picture->data) channel->chainValid = 0;
    }
  }
  // Without room for the picture the frame is left to the export stage.
  channel->unseen = frame->next;
  PassFrames(channel);
  WakeAll(jobs);
}

// Exports the channel's oldest frame. Entered and left with the lock held.
static void RunExport(ExportJobs* jobs, DecodeAhead* channel) {
  JobFrame* frame = channel->first;
  channel->exporting = 1;
  channel->current = frame;
  // A frame the decode stage has not begun is the export stage's to decode;
  // the decode stage looks at the next once this decode is settled.
  if (frame == channel->unseen) channel->unseen = frame->next;
  PlatformLockLeave(&jobs->lock);

  AppContext* context = jobs->context;
  int result = ExportPayload(&frame->header, frame->payload, &frame->info, context,
                             channel->exporter);
  // A failed frame costs only that frame; one that waits for its segment's
  // first key frame is not a loss.
  if (result < 0 && result != WAITING_FOR_KEY_FRAME) context->lostFrames++;
  if (result < 0 && context->runLog)
    ExportLogLostFrame(context->runLog, channel->exporter->channelIndex, result,
                       channel->exporter->openFailure, context->options.copy);

  PlatformLockEnter(&jobs->lock);
  if (result >= 0 && frame->at > jobs->latest.at) {
    jobs->latest.at = frame->at;
    jobs->latest.header = frame->header;
  }
  channel->exporting = 0;
  channel->current = nullptr;
  channel->first = frame->next;
  if (!channel->first) channel->last = nullptr;
  if (channel->settled < frame->number) channel->settled = frame->number;
  FreeFrame(jobs, channel, frame);
  PassFrames(channel);
  WakeAll(jobs);
}

// A thread of the pool. It keeps to the channel and stage it ran last while
// that stage has work, so that a channel's decoder and encoder stay in one
// processor's caches; otherwise it takes an export stage, then a decode
// stage, the channels in turn.
static int JobThread(void* argument) {
  ExportJobs* jobs = (ExportJobs*)argument;
  DecodeAhead* last = nullptr;
  int lastDecoded = 0;
  PlatformLockEnter(&jobs->lock);
  for (;;) {
    DecodeAhead* exportable = nullptr;
    DecodeAhead* decodable = nullptr;
    if (last && !lastDecoded && ExportReady(last)) exportable = last;
    else if (last && lastDecoded && DecodeReady(jobs, last)) decodable = last;
    for (int i = 0; i < CHANNEL_COUNT && !exportable && !decodable; i++) {
      DecodeAhead* channel = &jobs->channels[(jobs->nextChannel + i) % CHANNEL_COUNT];
      if (!channel->exporter) continue;
      if (ExportReady(channel)) exportable = channel;
    }
    for (int i = 0; i < CHANNEL_COUNT && !exportable && !decodable; i++) {
      DecodeAhead* channel = &jobs->channels[(jobs->nextChannel + i) % CHANNEL_COUNT];
      if (channel->exporter && DecodeReady(jobs, channel)) decodable = channel;
    }
    if (exportable) {
      if (exportable != last) jobs->nextChannel = (int)(exportable - jobs->channels + 1) % CHANNEL_COUNT;
      last = exportable;
      lastDecoded = 0;
      RunExport(jobs, exportable);
    } else if (decodable) {
      last = decodable;
      lastDecoded = 1;
      RunDecode(jobs, decodable);
    } else if (jobs->stopping) {
      break;
    } else {
      PlatformConditionWait(&jobs->workReady, &jobs->lock);
    }
  }
  PlatformLockLeave(&jobs->lock);
  return 0;
}

static void FreeJobs(ExportJobs* jobs) {
  for (int i = 0; i < jobs->pictureCount; i++) GrowBufferFree(&jobs->pictures[i]);
  delete[] jobs->pictures;
  delete[] jobs->freePictures;
  delete[] jobs->frames;
  PlatformConditionDelete(&jobs->workReady);
  PlatformConditionDelete(&jobs->frameDone);
  PlatformConditionDelete(&jobs->roomReady);
  PlatformLockDelete(&jobs->lock);
  delete jobs;
}

ExportJobs* ExportJobsStart(AppContext* context, int threads) {
  if (threads > EXPORT_JOBS_LIMIT) threads = EXPORT_JOBS_LIMIT;
  if (threads < 1) return nullptr;
  ExportJobs* jobs = new (std::nothrow) ExportJobs();
  if (!jobs) return nullptr;
  jobs->context = context;
  jobs->latest.at = -1;
  PlatformLockInit(&jobs->lock);
  PlatformConditionInit(&jobs->workReady);
  PlatformConditionInit(&jobs->frameDone);
  PlatformConditionInit(&jobs->roomReady);
  jobs->frameCount = FRAMES_PER_JOB * threads;
  jobs->pictureCount = PICTURES_PER_JOB * threads;
  jobs->frames = new (std::nothrow) JobFrame[jobs->frameCount]();
  jobs->pictures = new (std::nothrow) GrowBuffer[jobs->pictureCount]();
  jobs->freePictures = new (std::nothrow) GrowBuffer*[jobs->pictureCount]();
  if (!jobs->frames || !jobs->pictures || !jobs->freePictures) {
    jobs->pictureCount = 0;
    FreeJobs(jobs);
    return nullptr;
  }
  for (int i = 0; i < jobs->frameCount; i++) {
    jobs->frames[i].next = jobs->freeFrames;
    jobs->freeFrames = &jobs->frames[i];
  }
  for (int i = 0; i < jobs->pictureCount; i++) {
    GrowBufferInit(&jobs->pictures[i]);
    jobs->freePictures[jobs->freePictureCount++] = &jobs->pictures[i];
  }
  for (int i = 0; i < CHANNEL_COUNT; i++) {
    DecodeAhead* channel = &jobs->channels[i];
    channel->jobs = jobs;
    channel->exporter = context->exporters[i];
    if (channel->exporter) channel->exporter->ahead = channel;
  }
  for (int i = 0; i < threads; i++) {
    PlatformThread thread = PlatformStartThread(JobThread, jobs);
    if (!thread) break;
    jobs->threads[jobs->threadCount++] = thread;
  }
  if (jobs->threadCount == 0) {
    for (DecodeAhead& channel : jobs->channels)
      if (channel.exporter) channel.exporter->ahead = nullptr;
    FreeJobs(jobs);
    return nullptr;
  }
  return jobs;
}

int ExportJobsFrame(ExportJobs* jobs, FILE* stream, const RecordHeader* header,
                    const HeaderInfo* info, int64_t at) {
  AppContext* context = jobs->context;
  uint8_t* payload;
  int read = ReadFramePayload(stream, header, context, &payload);
  if (read < 0) return read;

  // What the exporter will make of the frame: a frame with a picture may be
  // decoded ahead. The date plays no part in that.
  FrameInfo frame;
  memset(&frame, 0, sizeof frame);
  DecodeFrameInfo(&frame, header);
  int describable = DeriveVideoFormat(&frame, header, payload) && frame.width && frame.height;

  DecodeAhead* channel = &jobs->channels[RecordChannel(header)];
  PlatformLockEnter(&jobs->lock);
  while (!RoomFor(jobs, channel, 1)) {
    jobs->walkWaits = channel;
    PlatformConditionWait(&jobs->roomReady, &jobs->lock);
  }
  jobs->walkWaits = nullptr;
  JobFrame* job = jobs->freeFrames;
  jobs->freeFrames = job->next;
  jobs->framesOut++;
  channel->waiting++;
  memset(job, 0, sizeof *job);
  job->header = *header;
  job->info = *info;
  job->payload = payload;
  job->at = at;
  job->number = ++channel->queued;
  job->frame = frame;
  job->describable = describable;
  if (channel->last)
    channel->last->next = job;
  else
    channel->first = job;
  channel->last = job;
  if (!channel->unseen) channel->unseen = job;
  PassFrames(channel);
  PlatformConditionWakeAll(&jobs->workReady);
  PlatformLockLeave(&jobs->lock);
  return 0;
}

void ExportJobsWait(ExportJobs* jobs, ExportedFrame* latest) {
  PlatformLockEnter(&jobs->lock);
  while (jobs->framesOut > 0) PlatformConditionWait(&jobs->frameDone, &jobs->lock);
  if (latest) *latest = jobs->latest;
  jobs->latest.at = -1;
  PlatformLockLeave(&jobs->lock);
}

void ExportJobsStop(ExportJobs* jobs) {
  if (!jobs) return;
  ExportJobsWait(jobs, nullptr);
  PlatformLockEnter(&jobs->lock);
  jobs->stopping = 1;
  PlatformConditionWakeAll(&jobs->workReady);
  PlatformLockLeave(&jobs->lock);
  for (int i = 0; i < jobs->threadCount; i++) PlatformJoinThread(jobs->threads[i]);
  for (DecodeAhead& channel : jobs->channels)
    if (channel.exporter) channel.exporter->ahead = nullptr;
  FreeJobs(jobs);
}

int DecodeAheadTake(DecodeAhead* ahead, const ChannelExporter* exporter, CodecFrameParams* params,
                    int32_t* result) {
  ExportJobs* jobs = ahead->jobs;
  PlatformLockEnter(&jobs->lock);
  const JobFrame* frame = ahead->current;
  int taken = frame && frame->decoded && frame->generation == ahead->generation &&
              frame->decoderHandle == exporter->decoderHandle;
  if (taken) {
    *params = frame->params;
    *result = frame->result;
  }
  PlatformLockLeave(&jobs->lock);
  return taken;
}

void DecodeAheadDecoded(DecodeAhead* ahead, const ChannelExporter* exporter,
                        const FrameInfo* frame, const CodecFrameParams* params) {
  ExportJobs* jobs = ahead->jobs;
  PlatformLockEnter(&jobs->lock);
  uint64_t number = ahead->current ? ahead->current->number : 0;
  // A decoder that hands out a picture of its own is not used ahead.
  ahead->chainValid = number > 0 && params->decode.luma == exporter->picture.data;
  ahead->chainDecoder = exporter->decoder;
  ahead->chainHandle = exporter->decoderHandle;
  ahead->chainWidth = frame->width;
  ahead->chainHeight = frame->height;
  ahead->chainThrough = number;
  if (ahead->settled < number) ahead->settled = number;
  PassFrames(ahead);
  PlatformConditionWakeAll(&jobs->workReady);
  PlatformLockLeave(&jobs->lock);
}

void DecodeAheadRelease(DecodeAhead* ahead) {
  ExportJobs* jobs = ahead->jobs;
  PlatformLockEnter(&jobs->lock);
  while (ahead->decoding) PlatformConditionWait(&jobs->frameDone, &jobs->lock);
  ahead->generation++;
  ahead->chainValid = 0;
  PlatformLockLeave(&jobs->lock);
}
