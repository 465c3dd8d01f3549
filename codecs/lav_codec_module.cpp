/* A codec module over libavcodec. The same source is built into every module
 * file; MODULE_NAME, MODULE_TYPES (bit n set: the module serves video codec
 * type n) and MODULE_FORMATS (its description) come from the build.
 *
 * Compressed formats by codec type:
 *   0                       Motion JPEG, one JPEG picture per record
 *   1                       H.263+ (H.263 version 2), one picture per record
 *   2, 4, 5, 10             MPEG-4 Visual, one VOP per record
 *   6, 8, 9, 11 to 15       H.264 Annex B, one access unit per record
 * Type 5 is also the output encoder: MPEG-4 Visual without B-frames, one
 * output frame per Encode call, stored by the program under "xvid".
 *
 * The open parameters mean this to these modules:
 *   mode    0 to 3 are accepted and not used: every parameter of these
 *           formats travels in the bitstream. Other values are refused.
 *   format  4, planar YUV 4:2:0 (a luma plane and two quarter-size chroma
 *           planes, tightly packed), the only picture format; others are
 *           refused.
 *   rate    encoder: frames per second of the MPEG-4 time base, 1 to 1000,
 *           0 taken as 30. Decoders ignore it.
 * Width and height must be even (the chroma planes are width x height / 4
 * bytes) and at most MAX_SIDE.
 *
 * Pictures are handed over in limited-range (video) YUV, what MPEG-4 players
 * expect; full-range (JPEG) pictures are scaled into it, and 4:2:2 chroma is
 * averaged down to 4:2:0.
 *
 * Recordings are expected without B-frames: each record yields its picture
 * at once (the decoders run with low delay on one thread). */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <climits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "codecs/codec_family.h"
#include "codecs/codec_interface.h"

#ifndef MODULE_NAME
#error "MODULE_NAME must name the module"
#endif
#ifndef MODULE_TYPES
#error "MODULE_TYPES must list the codec types served"
#endif
#ifndef MODULE_FORMATS
#define MODULE_FORMATS ""
#endif

namespace {

enum {
  OUTPUT_TYPE = 5,
  PICTURE_FORMAT_YUV420 = 4,
  DEFAULT_RATE = 30,
  MAX_RATE = 1000,
  MAX_SIDE = 4096,
  /* Fixed MPEG-4 quantiser of the output encoder. 3 keeps the re-encoded
   * picture well above 35 dB PSNR against the decoded source. */
  OUTPUT_QUANTISER = 3,
  DECODER_TAG = 0x7A646563, /* "zdec" */
  ENCODER_TAG = 0x7A656E63  /* "zenc" */
};

/* The key-frame sign that Decode received survives into Encode: the encode
 * view rewrites only its first five fields and leaves the rest of the record
 * as Decode left it. On every layout the sign's bytes lie in that untouched
 * rest, so the encoder reads them at the decode view's position. */
static_assert(offsetof(CodecDecodeView, keyFrameSign) >= offsetof(CodecEncodeView, leftOver),
              "the key-frame sign lies after the rewritten encode fields");
static_assert(offsetof(CodecDecodeView, keyFrameSign) + sizeof(int16_t) <=
                  offsetof(CodecEncodeView, leftOver) + sizeof(((CodecEncodeView*)0)->leftOver),
              "the key-frame sign lies within the left-over bytes");

struct ModuleDecoder {
  uint32_t tag;
  int32_t width;
  int32_t height;
  AVCodecContext* context;
  AVPacket* packet;
  AVFrame* frame;
};

struct ModuleEncoder {
  uint32_t tag;
  int32_t width;
  int32_t height;
  AVCodecContext* context;
  AVPacket* packet;
  AVFrame* frame;
  int64_t nextPts;
};

int Serves(int32_t type) {
  return type >= 0 && type < 16 && ((MODULE_TYPES >> type) & 1) != 0;
}

AVCodecID DecoderFormat(int32_t type) {
  switch (CodecTypeFamily(type)) {
    case CODEC_FAMILY_MJPEG:
      return AV_CODEC_ID_MJPEG;
    case CODEC_FAMILY_H263:
      /* The H.263 decoder reads H.263+ (version 2) pictures as well. */
      return AV_CODEC_ID_H263;
    case CODEC_FAMILY_MPEG4:
      return AV_CODEC_ID_MPEG4;
    case CODEC_FAMILY_H264:
      return AV_CODEC_ID_H264;
    default:
      return AV_CODEC_ID_NONE;
  }
}

/* The checks both open entries share. */
int ParamsAcceptable(const CodecOpenParams* params) {
  if (!params) return 0;
  if (params->mode < 0 || params->mode > 3) return 0;
  if (params->format != PICTURE_FORMAT_YUV420) return 0;
  if (params->width <= 0 || params->height <= 0) return 0;
  if (params->width > MAX_SIDE || params->height > MAX_SIDE) return 0;
  if ((params->width & 1) || (params->height & 1)) return 0;
  return Serves(params->codecType);
}

int32_t PictureBytes(int32_t width, int32_t height) {
  return width * height * 3 / 2;
}

ModuleDecoder* AsDecoder(CodecHandle handle) {
  ModuleDecoder* decoder = reinterpret_cast<ModuleDecoder*>(handle);
  return decoder && decoder->tag == DECODER_TAG ? decoder : nullptr;
}

ModuleEncoder* AsEncoder(CodecHandle handle) {
  ModuleEncoder* encoder = reinterpret_cast<ModuleEncoder*>(handle);
  return encoder && encoder->tag == ENCODER_TAG ? encoder : nullptr;
}

void FreeDecoder(ModuleDecoder* decoder) {
  if (!decoder) return;
  decoder->tag = 0;
  if (decoder->context) avcodec_free_context(&decoder->context);
  if (decoder->packet) av_packet_free(&decoder->packet);
  if (decoder->frame) av_frame_free(&decoder->frame);
  av_free(decoder);
}

void FreeEncoder(ModuleEncoder* encoder) {
  if (!encoder) return;
  encoder->tag = 0;
  if (encoder->context) avcodec_free_context(&encoder->context);
  if (encoder->packet) av_packet_free(&encoder->packet);
  if (encoder->frame) av_frame_free(&encoder->frame);
  av_free(encoder);
}

/* Full range 0-255 to video range: luma 16-235, chroma 16-240. */
uint8_t FullToVideoLuma(uint8_t v) {
  return (uint8_t)(16 + (v * 219 + 127) / 255);
}

uint8_t FullToVideoChroma(uint8_t v) {
  return (uint8_t)(16 + (v * 224 + 127) / 255);
}

void CopyRow(uint8_t* to, const uint8_t* from, int count, const uint8_t* table) {
  if (!table) {
    memcpy(to, from, (size_t)count);
    return;
  }
  for (int i = 0; i < count; i++) to[i] = table[from[i]];
}

/* Copies plane rows; with averageRows, each output row is the mean of two
 * source rows (4:2:2 chroma to 4:2:0). */
void CopyPlane(uint8_t* to, int width, int height, const uint8_t* from, int stride,
               int averageRows, const uint8_t* table) {
  for (int y = 0; y < height; y++) {
    uint8_t* row = to + (size_t)y * (size_t)width;
    if (!averageRows) {
      CopyRow(row, from + (ptrdiff_t)y * stride, width, table);
      continue;
    }
    const uint8_t* a = from + (ptrdiff_t)(2 * y) * stride;
    const uint8_t* b = a + stride;
    for (int x = 0; x < width; x++) {
      uint8_t mean = (uint8_t)((a[x] + b[x] + 1) / 2);
      row[x] = table ? table[mean] : mean;
    }
  }
}

/* Copies a decoded picture into the caller's tightly packed planes. Returns
 * 1, or 0 when its size or pixel format cannot be handed over. */
int StorePicture(const ModuleDecoder* decoder, const AVFrame* frame, const CodecDecodeView* view) {
  if (frame->width != decoder->width || frame->height != decoder->height) return 0;
  int averageRows;
  int fullRange = frame->color_range == AVCOL_RANGE_JPEG;
  switch (frame->format) {
    case AV_PIX_FMT_YUV420P:
      averageRows = 0;
      break;
    case AV_PIX_FMT_YUVJ420P:
      averageRows = 0;
      fullRange = 1;
      break;
    case AV_PIX_FMT_YUV422P:
      averageRows = 1;
      break;
    case AV_PIX_FMT_YUVJ422P:
      averageRows = 1;
      fullRange = 1;
      break;
    default:
      return 0;
  }
  uint8_t lumaTable[256];
  uint8_t chromaTable[256];
  if (fullRange) {
    for (int v = 0; v < 256; v++) {
      lumaTable[v] = FullToVideoLuma((uint8_t)v);
      chromaTable[v] = FullToVideoChroma((uint8_t)v);
    }
  }
  const int w = decoder->width;
  const int h = decoder->height;
  CopyPlane(view->luma, w, h, frame->data[0], frame->linesize[0], 0, fullRange ? lumaTable : nullptr);
  CopyPlane(view->chromaU, w / 2, h / 2, frame->data[1], frame->linesize[1], averageRows,
            fullRange ? chromaTable : nullptr);
  CopyPlane(view->chromaV, w / 2, h / 2, frame->data[2], frame->linesize[2], averageRows,
            fullRange ? chromaTable : nullptr);
  return 1;
}

int16_t KeyFrameSign(const CodecFrameParams* frame) {
  int16_t sign;
  memcpy(&sign, reinterpret_cast<const unsigned char*>(frame) + offsetof(CodecDecodeView, keyFrameSign),
         sizeof sign);
  return sign;
}

CodecHandle CODEC_CALL OpenDecoder(const CodecOpenParams* params) {
  if (!ParamsAcceptable(params)) return 0;
  const AVCodec* codec = avcodec_find_decoder(DecoderFormat(params->codecType));
  if (!codec) return 0;
  ModuleDecoder* decoder = static_cast<ModuleDecoder*>(av_mallocz(sizeof(ModuleDecoder)));
  if (!decoder) return 0;
  decoder->tag = DECODER_TAG;
  decoder->width = params->width;
  decoder->height = params->height;
  decoder->context = avcodec_alloc_context3(codec);
  decoder->packet = av_packet_alloc();
  decoder->frame = av_frame_alloc();
  if (!decoder->context || !decoder->packet || !decoder->frame) {
    FreeDecoder(decoder);
    return 0;
  }
  decoder->context->width = params->width;
  decoder->context->height = params->height;
  decoder->context->thread_count = 1;
  decoder->context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  if (avcodec_open2(decoder->context, codec, nullptr) < 0) {
    FreeDecoder(decoder);
    return 0;
  }
  return reinterpret_cast<CodecHandle>(decoder);
}

int32_t CODEC_CALL CloseDecoder(CodecHandle handle) {
  ModuleDecoder* decoder = AsDecoder(handle);
  if (!decoder) return 0;
  FreeDecoder(decoder);
  return 1;
}

/* Decodes one record into the given planes. Returns the picture's size in
 * bytes (width x height x 3 / 2), or 0 when the record gives no picture of
 * the size the decoder was opened with. */
int32_t CODEC_CALL Decode(CodecHandle handle, CodecFrameParams* frame) {
  ModuleDecoder* decoder = AsDecoder(handle);
  if (!decoder || !frame) return 0;
  const CodecDecodeView* view = &frame->decode;
  if (view->inputLength <= 0 || !view->inputData) return 0;
  if (!view->luma || !view->chromaU || !view->chromaV) return 0;

  /* A packet without its own buffer is copied, with the input padding the
   * decoders need, when it is sent. */
  AVPacket* packet = decoder->packet;
  packet->data = const_cast<uint8_t*>(view->inputData);
  packet->size = view->inputLength;
  packet->flags = view->keyFrameSign == 1 ? AV_PKT_FLAG_KEY : 0;
  int sent = avcodec_send_packet(decoder->context, packet);
  av_packet_unref(packet);
  if (sent < 0) return 0;

  /* One picture per record; should a stream ever yield more, the latest
   * one is what the caller gets. */
  int got = 0;
  int stored = 0;
  while (avcodec_receive_frame(decoder->context, decoder->frame) >= 0) {
    got = 1;
    stored = StorePicture(decoder, decoder->frame, view);
    av_frame_unref(decoder->frame);
  }
  return got && stored ? PictureBytes(decoder->width, decoder->height) : 0;
}

CodecHandle CODEC_CALL OpenEncoder(const CodecOpenParams* params) {
  if (!ParamsAcceptable(params) || params->codecType != OUTPUT_TYPE) return 0;
  if (params->rate < 0 || params->rate > MAX_RATE) return 0;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  if (!codec) return 0;
  ModuleEncoder* encoder = static_cast<ModuleEncoder*>(av_mallocz(sizeof(ModuleEncoder)));
  if (!encoder) return 0;
  encoder->tag = ENCODER_TAG;
  encoder->width = params->width;
  encoder->height = params->height;
  encoder->context = avcodec_alloc_context3(codec);
  encoder->packet = av_packet_alloc();
  encoder->frame = av_frame_alloc();
  if (!encoder->context || !encoder->packet || !encoder->frame) {
    FreeEncoder(encoder);
    return 0;
  }
  AVCodecContext* context = encoder->context;
  const int rate = params->rate ? params->rate : DEFAULT_RATE;
  context->width = params->width;
  context->height = params->height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = AVRational{1, rate};
  context->framerate = AVRational{rate, 1};
  context->thread_count = 1;
  context->max_b_frames = 0;
  /* Constant quality. */
  context->flags |= AV_CODEC_FLAG_QSCALE;
  context->global_quality = FF_QP2LAMBDA * OUTPUT_QUANTISER;
  /* Intra frames come only where the recording has key frames, so that the
   * AVI index's key flags match the bitstream: no GOP limit of the encoder's
   * own (beyond 600 frames it wants the experimental level), no scene-change
   * intra frames. */
  context->gop_size = INT_MAX;
  context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  if (av_opt_set_int(context->priv_data, "sc_threshold", 1000000000, 0) < 0 ||
      avcodec_open2(context, codec, nullptr) < 0) {
    FreeEncoder(encoder);
    return 0;
  }
  return reinterpret_cast<CodecHandle>(encoder);
}

int32_t CODEC_CALL CloseEncoder(CodecHandle handle) {
  ModuleEncoder* encoder = AsEncoder(handle);
  if (!encoder) return 0;
  FreeEncoder(encoder);
  return 1;
}

/* The caller's planes are lent to the encoder for one Encode call, not
 * copied: the MPEG-4 encoder copies its input into pictures of its own
 * (whose rows are wider than the caller's tight ones, so it never keeps the
 * input itself), and libavcodec lets go of the input frame before
 * avcodec_receive_packet returns. Nothing is freed when the loan ends. */
void EndLoan(void*, uint8_t*) {}

/* Points the frame at the caller's tight planes. Returns 1, or 0 without
 * memory for the buffer references. */
int LendPlanes(AVFrame* picture, const CodecEncodeView* view, int width, int height) {
  uint8_t* const planes[3] = {view->luma, view->chromaU, view->chromaV};
  for (int i = 0; i < 3; i++) {
    const int w = i ? width / 2 : width;
    const int h = i ? height / 2 : height;
    picture->buf[i] = av_buffer_create(planes[i], (size_t)w * (size_t)h, EndLoan, nullptr,
                                       AV_BUFFER_FLAG_READONLY);
    if (!picture->buf[i]) return 0;
    picture->data[i] = planes[i];
    picture->linesize[i] = w;
  }
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = width;
  picture->height = height;
  return 1;
}

/* Encodes one picture. A key-frame sign of +1 left by Decode makes an intra
 * frame, anything else a predicted one. Returns the number of bytes written
 * to the output buffer, or 0: nothing is written when the frame would not
 * fit in width x height x 3 / 2 bytes. */
int32_t CODEC_CALL Encode(CodecHandle handle, CodecFrameParams* frame) {
  ModuleEncoder* encoder = AsEncoder(handle);
  if (!encoder || !frame) return 0;
  const CodecEncodeView* view = &frame->encode;
  const int32_t bound = PictureBytes(encoder->width, encoder->height);
  if (view->inputLength != bound) return 0;
  if (!view->luma || !view->chromaU || !view->chromaV || !view->output) return 0;
  const int intra = KeyFrameSign(frame) == 1;

  AVFrame* picture = encoder->frame;
  if (!LendPlanes(picture, view, encoder->width, encoder->height)) {
    av_frame_unref(picture);
    return 0;
  }
  picture->pict_type = intra ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  /* With a fixed quantiser the encoder takes each picture's own quality. */
  picture->quality = encoder->context->global_quality;
  picture->pts = encoder->nextPts++;

  int sent = avcodec_send_frame(encoder->context, picture);
  av_frame_unref(picture);
  if (sent < 0) return 0;
  AVPacket* packet = encoder->packet;
  if (avcodec_receive_packet(encoder->context, packet) < 0) return 0;
  int32_t written = 0;
  if (packet->size > 0 && packet->size <= bound) {
    memcpy(view->output, packet->data, (size_t)packet->size);
    written = packet->size;
  }
  av_packet_unref(packet);
  return written;
}

/* Instances own everything they use; the module keeps nothing to release. */
int32_t CODEC_CALL Shutdown(void) {
  return 0;
}

const char SIGNATURE[] = CODEC_SIGNATURE;
const char INFO_NAME[] = MODULE_NAME;
const char INFO_FORMATS[] = MODULE_FORMATS;

CodecDescriptor DESCRIPTOR = {
    SIGNATURE,    /* signature */
    1,            /* checkMajor */
    0,            /* checkMinor */
    INFO_NAME,    /* infoText1 */
    INFO_FORMATS, /* infoText2 */
    {0, 0, 0},    /* unused */
    OpenEncoder,  /* OpenEncoder */
    CloseEncoder, /* CloseEncoder */
    Encode,       /* Encode */
    OpenDecoder,  /* OpenDecoder */
    CloseDecoder, /* CloseDecoder */
    Decode,       /* Decode */
    Shutdown      /* Shutdown */
};

}  // namespace

extern "C" CODEC_EXPORT CodecDescriptor* CODEC_CALL Initialize(void) {
  return &DESCRIPTOR;
}
