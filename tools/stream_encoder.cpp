// Frame data of the recording's codec types (see stream_encoder.h).
#include "tools/stream_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <cstring>

#include "codecs/codec_family.h"

struct StreamEncoder {
  AVCodecContext* context;
  AVFrame* frame;
  AVPacket* packet;
  int fullRange;  // Motion JPEG takes full-range samples
  int64_t nextPts;
};

// Quantiser of the fixed-quality formats; H.264 uses a constant rate factor.
enum { SOURCE_QUANTISER = 3, SOURCE_CRF = 18 };

const char* StreamFormatName(int codecType) {
  switch (CodecTypeFamily(codecType)) {
    case CODEC_FAMILY_MJPEG:
      return "mjpeg";
    case CODEC_FAMILY_H263:
      return "h263p";
    case CODEC_FAMILY_MPEG4:
      return "mpeg4";
    case CODEC_FAMILY_H264:
      return "h264";
    default:
      return nullptr;
  }
}

void StreamEncoderClose(StreamEncoder* encoder) {
  if (!encoder) return;
  avcodec_free_context(&encoder->context);
  av_frame_free(&encoder->frame);
  av_packet_free(&encoder->packet);
  delete encoder;
}

StreamEncoder* StreamEncoderOpen(int codecType, int width, int height, int fps,
                                 int keyInterval) {
  const char* format = StreamFormatName(codecType);
  if (!format || width <= 0 || height <= 0 || (width & 1) || (height & 1) || fps <= 0) {
    return nullptr;
  }
  const int h264 = strcmp(format, "h264") == 0;
  const AVCodec* codec = avcodec_find_encoder_by_name(h264 ? "libx264" : format);
  if (!codec) return nullptr;
  StreamEncoder* encoder = new StreamEncoder();
  encoder->context = avcodec_alloc_context3(codec);
  encoder->frame = av_frame_alloc();
  encoder->packet = av_packet_alloc();
  if (!encoder->context || !encoder->frame || !encoder->packet) {
    StreamEncoderClose(encoder);
    return nullptr;
  }
  AVCodecContext* c = encoder->context;
  c->width = width;
  c->height = height;
  c->time_base = AVRational{1, fps};
  c->framerate = AVRational{fps, 1};
  c->thread_count = 1;
  c->max_b_frames = 0;
  c->gop_size = keyInterval > 0 ? keyInterval : fps;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  AVDictionary* options = nullptr;
  if (strcmp(format, "mjpeg") == 0) {
    c->pix_fmt = AV_PIX_FMT_YUVJ420P;
    c->color_range = AVCOL_RANGE_JPEG;
    encoder->fullRange = 1;
  }
  if (h264) {
    c->keyint_min = c->gop_size;
    av_dict_set(&options, "preset", "veryfast", 0);
    av_dict_set(&options, "tune", "zerolatency", 0);
    av_dict_set_int(&options, "crf", SOURCE_CRF, 0);
    av_dict_set_int(&options, "sc_threshold", 0, 0);
  } else {
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = FF_QP2LAMBDA * SOURCE_QUANTISER;
    if (!encoder->fullRange) av_dict_set_int(&options, "sc_threshold", 1000000000, 0);
  }
  int opened = avcodec_open2(c, codec, &options);
  av_dict_free(&options);
  encoder->frame->format = c->pix_fmt;
  encoder->frame->width = width;
  encoder->frame->height = height;
  if (opened < 0 || av_frame_get_buffer(encoder->frame, 0) < 0) {
    StreamEncoderClose(encoder);
    return nullptr;
  }
  return encoder;
}

static void LoadPlane(AVFrame* frame, int plane, const uint8_t* from, int width, int height,
                      const uint8_t* table) {
  for (int y = 0; y < height; y++) {
    uint8_t* row = frame->data[plane] + (ptrdiff_t)y * frame->linesize[plane];
    const uint8_t* source = from + (size_t)y * (size_t)width;
    if (!table) {
      memcpy(row, source, (size_t)width);
    } else {
      for (int x = 0; x < width; x++) row[x] = table[source[x]];
    }
  }
}

int StreamEncoderEncode(StreamEncoder* encoder, const uint8_t* picture, Bytes* out, int* key) {
  AVCodecContext* c = encoder->context;
  const int w = c->width;
  const int h = c->height;
  uint8_t lumaTable[256];
  uint8_t chromaTable[256];
  if (encoder->fullRange) {
    // Video range (16-235, 16-240) to the full range of JPEG.
    for (int v = 0; v < 256; v++) {
      int y = ((v - 16) * 255 + 109) / 219;
      int u = ((v - 128) * 255) / 224 + 128;
      lumaTable[v] = (uint8_t)(y < 0 ? 0 : y > 255 ? 255 : y);
      chromaTable[v] = (uint8_t)(u < 0 ? 0 : u > 255 ? 255 : u);
    }
  }
  if (av_frame_make_writable(encoder->frame) < 0) return -1;
  const uint8_t* cb = picture + (size_t)w * h;
  const uint8_t* cr = cb + (size_t)w * h / 4;
  LoadPlane(encoder->frame, 0, picture, w, h, encoder->fullRange ? lumaTable : nullptr);
  LoadPlane(encoder->frame, 1, cb, w / 2, h / 2, encoder->fullRange ? chromaTable : nullptr);
  LoadPlane(encoder->frame, 2, cr, w / 2, h / 2, encoder->fullRange ? chromaTable : nullptr);
  // With a fixed quantiser the encoder takes each picture's own quality.
  encoder->frame->quality = c->global_quality;
  encoder->frame->pts = encoder->nextPts++;
  if (avcodec_send_frame(c, encoder->frame) < 0) return -1;
  if (avcodec_receive_packet(c, encoder->packet) < 0) return -2;
  out->insert(out->end(), encoder->packet->data, encoder->packet->data + encoder->packet->size);
  *key = (encoder->packet->flags & AV_PKT_FLAG_KEY) != 0;
  av_packet_unref(encoder->packet);
  return 0;
}
