// The channel exporter: each video frame of one channel is decoded by the
// module of its codec type, re-encoded by the output encoder and appended to
// the AVI file of the channel's current segment. A segment starts at a key
// frame, ends at a change of picture size or at the end of the run, and is
// then renamed after its channel and time range.
#include "export/channel_exporter.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "avi/sami_writer.h"
#include "export/codec_modules.h"
#include "export/export_log.h"
#include "export/export_jobs.h"
#include "shell/app_context.h"

// AviWriteFrame's code for a chunk that would carry the file to 2^31 bytes.
enum { AVI_FILE_FULL = -3 };

// WriteFrameToSegment's report of a segment that has reached that limit.
enum { SEGMENT_FULL = 1 };

enum { SEGMENT_RATE = 30, SEGMENT_CODEC_FORMAT = 4, ENCODER_MODE = 2 };

// Temporary names tried for a segment before its channel gives up.
enum { TEMP_NAME_TRIES = 1000 };

static const char SEGMENT_HANDLER[] = "xvid";

#define TEMP_NAME_FORMAT "%s" PATH_SEPARATOR "~%d.avi"
#define LATER_TEMP_NAME_FORMAT "%s" PATH_SEPARATOR "~%d-%d.avi"
#define FIRST_SEGMENT_FORMAT \
  "%s" PATH_SEPARATOR "Ch%d_%04d%02d%02d_%02d%02d%02d_%04d%02d%02d_%02d%02d%02d.avi"
#define LATER_SEGMENT_FORMAT \
  "%s" PATH_SEPARATOR "Ch%d_%04d%02d%02d_%02d%02d%02d_%04d%02d%02d_%02d%02d%02d(%d).avi"

void* (*ExportPayloadAllocate)(size_t size) = malloc;

// The final name of segment number `number`; -1 when it does not fit.
static int FormatSegmentPath(char* path, const char* folder, const ChannelExporter* exporter,
                             int32_t number) {
  const CalendarTime* a = &exporter->firstTime;
  const CalendarTime* b = &exporter->lastTime;
  int length;
  if (number == 1)
    length = snprintf(path, PATH_SIZE, FIRST_SEGMENT_FORMAT, folder, exporter->channelIndex + 1,
                      a->year, a->month, a->day, a->hour, a->minute, a->second, b->year,
                      b->month, b->day, b->hour, b->minute, b->second);
  else
    length = snprintf(path, PATH_SIZE, LATER_SEGMENT_FORMAT, folder, exporter->channelIndex + 1,
                      a->year, a->month, a->day, a->hour, a->minute, a->second, b->year,
                      b->month, b->day, b->hour, b->minute, b->second, number);
  return (length < 0 || length >= PATH_SIZE) ? -1 : 0;
}

int NameTempSegment(ChannelExporter* exporter, const char* folder) {
  int channel = exporter->channelIndex + 1;
  for (int number = 1; number <= TEMP_NAME_TRIES; number++) {
    int length = number == 1
                     ? snprintf(exporter->tempPath, PATH_SIZE, TEMP_NAME_FORMAT, folder, channel)
                     : snprintf(exporter->tempPath, PATH_SIZE, LATER_TEMP_NAME_FORMAT, folder,
                                channel, number);
    if (length < 0 || length >= PATH_SIZE) break;
    if (!PlatformPathExists(exporter->tempPath)) return 0;
  }
  exporter->tempPath[0] = '\0';
  return -1;
}

// Closes the segment's encoder, then its decoder.
static void CloseCodecInstances(ChannelExporter* exporter) {
  // A decoder is closed only once no other thread decodes with it.
  if (exporter->ahead) DecodeAheadRelease(exporter->ahead);
  if (exporter->encoderHandle) {
    if (exporter->encoder) exporter->encoder->CloseEncoder(exporter->encoderHandle);
    exporter->encoderHandle = 0;
  }
  if (exporter->decoderHandle) {
    if (exporter->decoder) exporter->decoder->CloseDecoder(exporter->decoderHandle);
    exporter->decoderHandle = 0;
  }
}

int OpenSegment(FrameInfo* frame, const CalendarTime* time, AppContext* context,
                ChannelExporter* exporter) {
  if (context->options.copy) return OpenCopySegment(frame, time, context, exporter);
  exporter->decoder = GetVideoCodec(frame->codecType);
  if (!exporter->decoder) return -1;
  exporter->encoder = GetVideoCodec(OUTPUT_CODEC_TYPE);
  if (!exporter->encoder) return -2;

  CodecOpenParams decoderParams;
  memset(&decoderParams, 0, sizeof decoderParams);
  decoderParams.mode = frame->codecMode;
  decoderParams.width = frame->width;
  decoderParams.height = frame->height;
  decoderParams.format = SEGMENT_CODEC_FORMAT;
  decoderParams.rate = 0;
  decoderParams.reserved = 0;
  decoderParams.codecType = frame->codecType;
  exporter->decoderHandle = exporter->decoder->OpenDecoder(&decoderParams);
  if (!exporter->decoderHandle) return -3;

  CodecOpenParams encoderParams;
  memset(&encoderParams, 0, sizeof encoderParams);
  encoderParams.mode = ENCODER_MODE;
  encoderParams.width = frame->width;
  encoderParams.height = frame->height;
  encoderParams.format = SEGMENT_CODEC_FORMAT;
  encoderParams.rate = SEGMENT_RATE;
  encoderParams.reserved = 0;
  encoderParams.codecType = OUTPUT_CODEC_TYPE;
  exporter->encoderHandle = exporter->encoder->OpenEncoder(&encoderParams);
  // A failed open closes what it opened, so that no instance is left behind.
  if (!exporter->encoderHandle) {
    CloseCodecInstances(exporter);
    return -4;
  }

  if (CreateSegmentFile(frame, time, context, exporter, SEGMENT_HANDLER) != 0) {
    CloseCodecInstances(exporter);
    return -5;
  }
  return 0;
}

int CreateSegmentFile(const FrameInfo* frame, const CalendarTime* time, AppContext* context,
                      ChannelExporter* exporter, const char* handler) {
  // Each segment takes a free temporary name when it opens: a file that an
  // earlier segment could not finish is kept, never written over.
  if (NameTempSegment(exporter, context->outputFolder) == 0)
    exporter->avi = AviCreateVideo(exporter->tempPath, (float)SEGMENT_RATE, handler,
                                   frame->width, frame->height);
  if (!exporter->avi) {
    // The output folder refused the file (full, gone, read-only) or no name
    // fits. What a failed create left under the free name holds no video
    // and is removed. The channel's key frames that try again while creates
    // keep failing stand for one segment that could not be created.
    if (exporter->tempPath[0]) remove(exporter->tempPath);
    if (!exporter->createFailed) context->uncreatedSegments++;
    exporter->createFailed = 1;
    return -5;
  }
  exporter->createFailed = 0;

  exporter->segmentIncomplete = 0;
  exporter->keyFrameCount = 0;
  exporter->segmentCodecTypes = 0;
  exporter->frameCount = 0;
  exporter->segmentWidth = frame->width;
  exporter->segmentHeight = frame->height;
  exporter->segmentCodecType = frame->codecType;
  exporter->firstTime = *time;
  return 0;
}

int32_t DecodePicture(const CodecDescriptor* decoder, CodecHandle handle, const FrameInfo* frame,
                      uint8_t* picture, CodecFrameParams* params) {
  int32_t pixels = (int32_t)frame->width * frame->height;
  memset(params, 0, sizeof *params);
  params->decode.inputLength = (int32_t)frame->length;
  params->decode.inputData = frame->payload;
  params->decode.luma = picture;
  params->decode.chromaU = params->decode.luma + pixels;
  params->decode.chromaV = params->decode.chromaU + pixels / 4;
  params->decode.keyFrameSign = frame->kind == RECORD_KEY_FRAME ? 1 : -1;
  return decoder->Decode(handle, params);
}

int TranscodeFrame(FrameInfo* frame, const CalendarTime* time, AppContext* context,
                   ChannelExporter* exporter) {
  (void)time;
  (void)context;
  int32_t pixels = (int32_t)frame->width * frame->height;
  int32_t pictureBytes = pixels * 3 / 2;
  if (!GrowBufferEnsure(&exporter->picture, pictureBytes)) return -1;
  if (!GrowBufferEnsure(&exporter->encoded, pictureBytes)) return -2;
  if (!exporter->decoder || !exporter->decoderHandle) return -3;
  if (!exporter->encoder || !exporter->encoderHandle) return -4;

  CodecFrameParams params;
  int32_t decoded;
  // In a parallel export the frame may have been decoded already, by this
  // segment's decoder, while the frame before it was encoded.
  if (!exporter->ahead || !DecodeAheadTake(exporter->ahead, exporter, &params, &decoded)) {
    decoded = DecodePicture(exporter->decoder, exporter->decoderHandle, frame,
                            exporter->picture.data, &params);
    if (exporter->ahead) DecodeAheadDecoded(exporter->ahead, exporter, frame, &params);
  }
  if (decoded <= 0) return -3;

  // The decoder may have pointed the planes at a picture of its own. Read
  // them before the encode view is written: on 64-bit hosts the two views
  // overlap differently than on the 32-bit build.
  uint8_t* luma = params.decode.luma;
  uint8_t* chromaU = params.decode.chromaU;
  uint8_t* chromaV = params.decode.chromaV;
  params.encode.inputLength = pictureBytes;
  params.encode.luma = luma;
  params.encode.chromaU = chromaU;
  params.encode.chromaV = chromaV;
  params.encode.output = exporter->encoded.data;
  int32_t encodedBytes = exporter->encoder->Encode(exporter->encoderHandle, &params);
  if (encodedBytes <= 0) return -4;
  // A count beyond the output buffer cannot be true; writing it would read
  // past the buffer.
  if (encodedBytes > exporter->encoded.capacity) return -4;

  frame->length = (uint32_t)encodedBytes;
  frame->codecType = OUTPUT_CODEC_TYPE;
  frame->payload = exporter->encoded.data;
  return 0;
}

// The calendar time of a frame: the date of the latest header block and the
// frame's time of day. The hour is not reduced modulo 24.
static CalendarTime FrameTime(const FrameInfo* frame) {
  CalendarTime time;
  memset(&time, 0, sizeof time);
  time.year = frame->year;
  time.month = frame->month;
  time.day = frame->day;
  time.hour = (uint16_t)(frame->timeMs / 3600000u);
  time.minute = (uint16_t)(frame->timeMs / 60000u % 60u);
  time.second = (uint16_t)(frame->timeMs / 1000u % 60u);
  time.milliseconds = (uint16_t)(frame->timeMs % 1000u);
  return time;
}

// Transcodes a frame and appends it to the open segment: 0, -6, -7, or
// SEGMENT_FULL when the AVI file has no room left for it. A frame that the
// writer refuses otherwise (a failed write, no memory for the index) leaves
// the segment incomplete: it is still finished, but counted as failed.
static int WriteFrameToSegment(FrameInfo* frame, const CalendarTime* time, AppContext* context,
                               ChannelExporter* exporter) {
  // A copy stores the frame as the recording holds it.
  if (!context->options.copy && TranscodeFrame(frame, time, context, exporter) < 0) return -6;
  int keyFrame = frame->kind == RECORD_KEY_FRAME ? 1 : 0;
  int written = AviWriteFrame(exporter->avi, frame->payload, (int32_t)frame->length, keyFrame);
  if (written == AVI_FILE_FULL) return SEGMENT_FULL;
  if (written < 0) {
    exporter->segmentIncomplete = 1;
    return -7;
  }
  return 0;
}

int ExportPayload(const RecordHeader* header, const uint8_t* payload, const HeaderInfo* info,
                  AppContext* context, ChannelExporter* exporter) {
  FrameInfo frame;
  memset(&frame, 0, sizeof frame);
  DecodeFrameInfo(&frame, header);
  // Before the first header block the kept HeaderInfo is all zeros, so such
  // frames are dated 0000-00-00: an honest "no date known" in the names.
  frame.year = (uint16_t)PackedYear(info->blockTime);
  frame.month = (uint8_t)PackedMonth(info->blockTime);
  frame.day = (uint8_t)PackedDay(info->blockTime);

  if (!DeriveVideoFormat(&frame, header, payload)) return -3;
  // A picture without pixels would reach the codecs with empty buffers.
  if (frame.width == 0 || frame.height == 0) return -3;

  // The log tells this loss from the others by the code a copy's open would give.
  if (CopyRefusesFrame(context, &frame)) {
    exporter->openFailure = -1;
    return -5;
  }

  CalendarTime time = FrameTime(&frame);

  if (((frame.width != exporter->segmentWidth || frame.height != exporter->segmentHeight) &&
       exporter->avi) ||
      CopySegmentEnds(context, exporter, &frame))
    CloseSegment(context, exporter);

  if (!exporter->avi) {
    if (frame.kind != RECORD_KEY_FRAME) return -4;
    exporter->openFailure = OpenSegment(&frame, &time, context, exporter);
    if (exporter->openFailure < 0) return -5;
  }

  FrameInfo source = frame;  // TranscodeFrame rewrites frame
  int result = WriteFrameToSegment(&frame, &time, context, exporter);
  if (result == SEGMENT_FULL) {
    // The segment has reached the AVI size limit. Close it, so that nothing
    // written so far is lost, and go on in a new segment: at once when this
    // frame is a key frame, else from the channel's next key frame.
    CloseSegment(context, exporter);
    if (source.kind != RECORD_KEY_FRAME) return -7;
    frame = source;
    exporter->openFailure = OpenSegment(&frame, &time, context, exporter);
    if (exporter->openFailure < 0) return -5;
    result = WriteFrameToSegment(&frame, &time, context, exporter);
    if (result == SEGMENT_FULL) result = -7;
  }
  if (result != 0) return result;

  exporter->frameCount++;
  exporter->keyFrameCount += source.kind == RECORD_KEY_FRAME;
  exporter->segmentCodecTypes |= 1u << (source.codecType & 31);
  exporter->segmentWidth = frame.width;
  exporter->segmentHeight = frame.height;
  exporter->lastTime = time;
  NoteCaptionTime(context, &exporter->captions, &time);
  return 0;
}

int ReadFramePayload(FILE* stream, const RecordHeader* header, AppContext* context,
                     uint8_t** payload) {
  uint32_t length = RecordPayloadLength(header);
  unsigned channel = RecordChannel(header);
  ChannelExporter* exporter = channel < CHANNEL_COUNT ? context->exporters[channel] : nullptr;

  // Without memory for the payload (or, against the caller's promise,
  // without an exporter) the payload is passed over, so that the walk stays
  // in step with the records.
  if (exporter) context->videoChannels |= (ChannelMask)1 << channel;
  *payload = exporter ? (uint8_t*)ExportPayloadAllocate(length) : nullptr;
  if (!*payload) {
    SkipRecordPayload(stream, length);
    return -1;
  }
  if (fread(*payload, 1, length, stream) != length) {
    free(*payload);
    *payload = nullptr;
    return -2;
  }
  return 0;
}

int ExportFrame(FILE* stream, const RecordHeader* header, const HeaderInfo* info,
                AppContext* context) {
  uint8_t* payload;
  int read = ReadFramePayload(stream, header, context, &payload);
  if (read < 0) return read;
  int result = ExportPayload(header, payload, info, context,
                             context->exporters[RecordChannel(header)]);
  free(payload);
  return result;
}

// What the log keeps of the open segment, before CloseSegment resets it.
static SegmentResult SegmentResultOf(const AppContext* context, const ChannelExporter* exporter,
                                     float rate) {
  SegmentResult result;
  result.channelIndex = exporter->channelIndex;
  result.finalName = 0;
  result.whole = 0;
  result.width = exporter->segmentWidth;
  result.height = exporter->segmentHeight;
  result.codecTypes = exporter->segmentCodecTypes;
  result.copied = context->options.copy != 0;
  result.outputCodecType = result.copied ? exporter->segmentCodecType : OUTPUT_CODEC_TYPE;
  result.firstTime = exporter->firstTime;
  result.lastTime = exporter->lastTime;
  result.frames = exporter->frameCount;
  result.keyFrames = exporter->keyFrameCount;
  result.rate = rate;
  return result;
}

int CloseSegment(AppContext* context, ChannelExporter* exporter) {
  int32_t seconds = TimeDifference(&exporter->lastTime, &exporter->firstTime);
  double measured = seconds > 0 ? (double)exporter->frameCount / seconds : (double)SEGMENT_RATE;
  float rate = measured > 29.0 ? (float)SEGMENT_RATE : (float)measured;

  // Only a segment that this run opened has a file to finish and name. With
  // none open, a temporary file of this name is not ours (an earlier run
  // that crashed, or a segment that could not be finished) and is left as
  // it is rather than given a name that would claim it for this channel.
  int open = exporter->avi != nullptr;
  int finished = open ? AviClose(exporter->avi, exporter->segmentWidth, exporter->segmentHeight,
                                 rate)
                      : -1;

  // A segment that got no frame (its first key frame could not be
  // transcoded) holds no video, and its end time would be another
  // segment's or none: its file is removed and its number not used.
  int empty = open && exporter->frameCount == 0;
  SegmentResult result = SegmentResultOf(context, exporter, rate);
  int32_t number = empty ? exporter->segmentCount : ++exporter->segmentCount;
  exporter->avi = nullptr;
  exporter->frameCount = 0;
  exporter->segmentWidth = 0;
  exporter->segmentHeight = 0;

  if (empty) {
    remove(exporter->tempPath);
  } else if (open) {
    // A file that could not be finished has no index or a wrong one: it
    // keeps its temporary name, so that no broken file passes for a
    // segment. One whose real final name does not fit a path keeps it too.
    char finalPath[PATH_SIZE];
    int named = finished == 0 &&
                FormatSegmentPath(finalPath, context->outputFolder, exporter, number) == 0 &&
                PlatformRenameReplace(exporter->tempPath, finalPath) == 0;
    if (!named || exporter->segmentIncomplete) context->failedSegments++;
    // The caption file first, so that the log can name it.
    if (named &&
        WriteSegmentCaptions(context, &exporter->captions, finalPath, rate, SEGMENT_RATE) == 0 &&
        context->options.captions) {
      char captionPath[PATH_SIZE];
      SamiFileName(finalPath, captionPath);
      result.captionPath = captionPath;
    }
    if (context->runLog) {
      result.path = named ? finalPath : exporter->tempPath;
      result.finalName = named;
      result.whole = finished == 0 && !exporter->segmentIncomplete;
      ExportLogSegment(context->runLog, &result);
    }
  }
  exporter->segmentIncomplete = 0;
  ClearSegmentCaptions(&exporter->captions);

  CloseCodecInstances(exporter);
  return 0;
}
