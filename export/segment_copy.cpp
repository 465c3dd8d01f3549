// Copy mode of the channel exporter: every frame goes into the AVI file as
// the recording holds it, under the FourCC of its codec, so that players pick
// the decoder that reads it. No codec module is loaded; a segment also ends
// where the codec type changes, since one AVI stream holds one codec.
#include <cstring>

#include "codecs/codec_family.h"
#include "export/channel_exporter.h"
#include "shell/app_context.h"

const char* CopyHandler(int32_t codecType) {
  switch (CodecTypeFamily(codecType)) {
    case CODEC_FAMILY_MJPEG:
      return "MJPG";
    case CODEC_FAMILY_H263:
      // H.263+ pictures: FFmpeg's H.263 decoder reads version 2 too.
      return "H263";
    case CODEC_FAMILY_MPEG4:
      // MPEG-4 Visual under FFmpeg's own FourCC: decoded without the
      // workarounds that other encoders' FourCCs switch on.
      return "FMP4";
    case CODEC_FAMILY_H264:
      return "H264";
    default:
      return nullptr;
  }
}

int OpenCopySegment(const FrameInfo* frame, const CalendarTime* time, AppContext* context,
                    ChannelExporter* exporter) {
  const char* handler = CopyHandler(frame->codecType);
  if (!handler) return -1;
  return CreateSegmentFile(frame, time, context, exporter, handler);
}

int CopyRefusesFrame(AppContext* context, const FrameInfo* frame) {
  if (!context->options.copy || CopyHandler(frame->codecType)) return 0;
  context->uncopiedFrames++;
  return 1;
}

int CopySegmentEnds(const AppContext* context, const ChannelExporter* exporter,
                    const FrameInfo* frame) {
  return context->options.copy && exporter->avi &&
         frame->codecType != exporter->segmentCodecType;
}
