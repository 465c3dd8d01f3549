/* A test codec module. Built once per rule of the module loader, each build
 * with one TEST_CODEC_* definition; without one it is the
 * lossless "codec": the compressed form of a picture is its raw planar
 * YUV 4:2:0 bytes, so a decode and an encode give back the input. */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "codecs/codec_interface.h"
#include "tests/modules/test_codec_state.h"

#if defined(TEST_CODEC_BAD_SIGNATURE)
#define SIGNATURE "CODEX"
#elif defined(TEST_CODEC_SIXTH_LETTER)
#define SIGNATURE "CODECS"
#elif defined(TEST_CODEC_NULL_SIGNATURE)
#define SIGNATURE NULL
#else
#define SIGNATURE CODEC_SIGNATURE
#endif

#if defined(TEST_CODEC_CHECK_MAJOR_2)
#define CHECK_MAJOR 2
#else
#define CHECK_MAJOR 1
#endif

#if defined(TEST_CODEC_CHECK_MINOR_1)
#define CHECK_MINOR 1
#else
#define CHECK_MINOR 0
#endif

#if defined(TEST_CODEC_NULL_INFO_1)
#define INFO_TEXT_1 NULL
#else
#define INFO_TEXT_1 "zentrix test codec"
#endif

#if defined(TEST_CODEC_NULL_INFO_2)
#define INFO_TEXT_2 NULL
#else
#define INFO_TEXT_2 "raw planar YUV 4:2:0, lossless"
#endif

static TestCodecState state; /* failure switches are set by the tests */

typedef struct Instance {
  int32_t width;
  int32_t height;
  int32_t codecType;
} Instance;

/* Consumes one failure of a switch; non-zero when this call must fail. */
static int TakeFailure(int32_t* remaining) {
  if (*remaining < 0) return 1;
  if (*remaining > 0) {
    (*remaining)--;
    return 1;
  }
  return 0;
}

static CodecHandle OpenInstance(const CodecOpenParams* params) {
  if (params->width <= 0 || params->height <= 0) return 0;
  Instance* instance = (Instance*)calloc(1, sizeof *instance);
  if (!instance) return 0;
  instance->width = params->width;
  instance->height = params->height;
  instance->codecType = params->codecType;
  return (CodecHandle)instance;
}

static int32_t LumaBytes(const Instance* instance) {
  return instance->width * instance->height;
}

static int32_t PictureBytes(const Instance* instance) {
  return LumaBytes(instance) * 3 / 2;
}

static CodecHandle CODEC_CALL OpenDecoder(const CodecOpenParams* params) {
  state.openDecoderCalls++;
  state.lastDecoderOpen = *params;
  if (TakeFailure(&state.refuseDecoderOpens)) return 0;
  CodecHandle handle = OpenInstance(params);
  if (handle) state.liveDecoders++;
  return handle;
}

static int32_t CODEC_CALL CloseDecoder(CodecHandle decoder) {
  state.liveDecoders--;
  free((Instance*)decoder);
  return 0;
}

/* The payload holds the three planes one after the other. */
static int32_t CODEC_CALL Decode(CodecHandle decoder, CodecFrameParams* frame) {
  const Instance* instance = (const Instance*)decoder;
  CodecDecodeView* view = &frame->decode;
  state.decodeCalls++;
  state.lastKeyFrameSign = view->keyFrameSign;
  state.lastDecodeLength = view->inputLength;
  state.lastDecoderCodecType = instance->codecType;
  if (TakeFailure(&state.failDecodes)) return 0;
  if (view->inputLength != PictureBytes(instance) || !view->inputData) return 0;
  int32_t luma = LumaBytes(instance);
  int32_t chroma = luma / 4;
  memcpy(view->luma, view->inputData, (size_t)luma);
  memcpy(view->chromaU, view->inputData + luma, (size_t)chroma);
  memcpy(view->chromaV, view->inputData + luma + chroma, (size_t)chroma);
  return view->inputLength;
}

static CodecHandle CODEC_CALL OpenEncoder(const CodecOpenParams* params) {
  state.openEncoderCalls++;
  state.lastEncoderOpen = *params;
  if (TakeFailure(&state.refuseEncoderOpens)) return 0;
  CodecHandle handle = OpenInstance(params);
  if (handle) state.liveEncoders++;
  return handle;
}

static int32_t CODEC_CALL CloseEncoder(CodecHandle encoder) {
  state.liveEncoders--;
  free((Instance*)encoder);
  return 0;
}

static int32_t CODEC_CALL Encode(CodecHandle encoder, CodecFrameParams* frame) {
  const Instance* instance = (const Instance*)encoder;
  CodecEncodeView* view = &frame->encode;
  state.lastEncodeLength = view->inputLength;
  int16_t sign;
  memcpy(&sign, (const unsigned char*)frame + offsetof(CodecDecodeView, keyFrameSign), sizeof sign);
  state.lastEncodeKeyFrameSign = sign;
  if (TakeFailure(&state.failEncodes)) return 0;
  if (view->inputLength != PictureBytes(instance) || !view->output) return 0;
  int32_t luma = LumaBytes(instance);
  int32_t chroma = luma / 4;
  memcpy(view->output, view->luma, (size_t)luma);
  memcpy(view->output + luma, view->chromaU, (size_t)chroma);
  memcpy(view->output + luma + chroma, view->chromaV, (size_t)chroma);
  return luma + 2 * chroma + state.encodeExtra;
}

#if !defined(TEST_CODEC_NULL_SHUTDOWN)
static int32_t CODEC_CALL Shutdown(void) {
  state.shutdownCalls++;
  return 0;
}
#define SHUTDOWN Shutdown
#else
#define SHUTDOWN NULL
#endif

static CodecDescriptor descriptor = {
    SIGNATURE, CHECK_MAJOR, CHECK_MINOR, INFO_TEXT_1, INFO_TEXT_2, {0, 0, 0},
    OpenEncoder, CloseEncoder, Encode, OpenDecoder, CloseDecoder, Decode, SHUTDOWN};

/* A module without the entry exports it under another name. */
#if defined(TEST_CODEC_NO_INITIALIZE)
#define INITIALIZE_ENTRY Initialise
#else
#define INITIALIZE_ENTRY Initialize
#endif

CODEC_EXPORT CodecDescriptor* CODEC_CALL INITIALIZE_ENTRY(void) {
  state.initializeCalls++;
#if defined(TEST_CODEC_INITIALIZE_NULL)
  (void)&descriptor; /* a complete table, never handed out */
  return NULL;
#else
  return &descriptor;
#endif
}

CODEC_EXPORT TestCodecState* CODEC_CALL TestCodecGetState(void) { return &state; }
