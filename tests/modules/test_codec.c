/* A test codec module: the lossless "codec", whose compressed form of a
 * picture is its raw planar YUV 4:2:0 bytes, so a decode and an encode give
 * back the input. Each loader rule's build overrides one descriptor value
 * (or the entry's name) with a definition of its own. */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "codecs/codec_interface.h"
#include "tests/modules/test_codec_state.h"

#ifndef SIGNATURE
#define SIGNATURE CODEC_SIGNATURE
#endif
#ifndef CHECK_MAJOR
#define CHECK_MAJOR 1
#endif
#ifndef CHECK_MINOR
#define CHECK_MINOR 0
#endif
#ifndef INFO_TEXT_1
#define INFO_TEXT_1 "zentrix test codec"
#endif
#ifndef INFO_TEXT_2
#define INFO_TEXT_2 "raw planar YUV 4:2:0, lossless"
#endif
#ifndef SHUTDOWN
#define SHUTDOWN Shutdown
#endif
#ifndef INITIALIZE_ENTRY
#define INITIALIZE_ENTRY Initialize
#endif
#ifndef DESCRIPTOR
#define DESCRIPTOR (&descriptor)
#endif

static TestCodecState state; /* failure switches are set by the tests */

/* A parallel export calls the entries of several instances at once: every
 * change of the state is made under this lock. */
static volatile char stateLock;

static void LockState(void) {
  while (__atomic_test_and_set(&stateLock, __ATOMIC_ACQUIRE)) {
  }
}

static void UnlockState(void) { __atomic_clear(&stateLock, __ATOMIC_RELEASE); }

typedef struct Instance {
  int32_t width;
  int32_t height;
} Instance;

/* Consumes one failure of a switch (n > 0: the next n calls, < 0: all). */
static int TakeFailure(int32_t* remaining) {
  if (*remaining == 0) return 0;
  if (*remaining > 0) (*remaining)--;
  return 1;
}

/* Counts the call and records its parameters; a refusal or a bad size opens nothing. */
static CodecHandle Open(const CodecOpenParams* params, int32_t* calls, CodecOpenParams* last,
                        int32_t* refuse, int32_t* live) {
  LockState();
  (*calls)++;
  *last = *params;
  int refused = TakeFailure(refuse);
  UnlockState();
  if (refused || params->width <= 0 || params->height <= 0) return 0;
  Instance* instance = (Instance*)calloc(1, sizeof *instance);
  if (!instance) return 0;
  instance->width = params->width;
  instance->height = params->height;
  LockState();
  (*live)++;
  UnlockState();
  return (CodecHandle)instance;
}

static CodecHandle CODEC_CALL OpenDecoder(const CodecOpenParams* params) {
  return Open(params, &state.openDecoderCalls, &state.lastDecoderOpen, &state.refuseDecoderOpens,
              &state.liveDecoders);
}

static CodecHandle CODEC_CALL OpenEncoder(const CodecOpenParams* params) {
  return Open(params, &state.openEncoderCalls, &state.lastEncoderOpen, &state.refuseEncoderOpens,
              &state.liveEncoders);
}

static int32_t CODEC_CALL CloseDecoder(CodecHandle decoder) {
  LockState();
  state.liveDecoders--;
  UnlockState();
  free((Instance*)decoder);
  return 0;
}

static int32_t CODEC_CALL CloseEncoder(CodecHandle encoder) {
  LockState();
  state.liveEncoders--;
  UnlockState();
  free((Instance*)encoder);
  return 0;
}

/* Copies the three planes between one buffer and three; 0 when the input is not one picture. */
static int32_t CopyPlanes(const Instance* instance, int32_t inputLength, int toPlanes, uint8_t* whole,
                          uint8_t* y, uint8_t* u, uint8_t* v) {
  size_t luma = (size_t)instance->width * (size_t)instance->height, chroma = luma / 4;
  if (!whole || inputLength != (int32_t)(luma + 2 * chroma)) return 0;
  uint8_t* planes[3] = {y, u, v};
  size_t offsets[3] = {0, luma, luma + chroma}, sizes[3] = {luma, chroma, chroma};
  for (int i = 0; i < 3; i++) {
    if (toPlanes) memcpy(planes[i], whole + offsets[i], sizes[i]);
    else memcpy(whole + offsets[i], planes[i], sizes[i]);
  }
  return inputLength;
}

static int32_t CODEC_CALL Decode(CodecHandle decoder, CodecFrameParams* frame) {
  CodecDecodeView* view = &frame->decode;
  LockState();
  state.decodeCalls++;
  state.lastKeyFrameSign = view->keyFrameSign;
  int failed = TakeFailure(&state.failDecodes);
  UnlockState();
  if (failed) return 0;
  return CopyPlanes((const Instance*)decoder, view->inputLength, 1, (uint8_t*)view->inputData, view->luma,
                    view->chromaU, view->chromaV);
}

static int32_t CODEC_CALL Encode(CodecHandle encoder, CodecFrameParams* frame) {
  CodecEncodeView* view = &frame->encode;
  /* The key-frame sign as the decode view left it. */
  int16_t sign;
  memcpy(&sign, (const unsigned char*)frame + offsetof(CodecDecodeView, keyFrameSign), sizeof sign);
  LockState();
  state.lastEncodeKeyFrameSign = sign;
  int failed = TakeFailure(&state.failEncodes);
  int32_t extra = state.encodeExtra;
  UnlockState();
  if (failed) return 0;
  int32_t n = CopyPlanes((const Instance*)encoder, view->inputLength, 0, view->output, view->luma,
                         view->chromaU, view->chromaV);
  return n ? n + extra : 0;
}

static int32_t CODEC_CALL Shutdown(void) {
  LockState();
  state.shutdownCalls++;
  UnlockState();
  return 0;
}

static CodecDescriptor descriptor = {
    SIGNATURE, CHECK_MAJOR, CHECK_MINOR, INFO_TEXT_1, INFO_TEXT_2, {0, 0, 0},
    OpenEncoder, CloseEncoder, Encode, OpenDecoder, CloseDecoder, Decode, SHUTDOWN};

CODEC_EXPORT CodecDescriptor* CODEC_CALL INITIALIZE_ENTRY(void) {
  LockState();
  state.initializeCalls++;
  UnlockState();
  (void)&descriptor, (void)&Shutdown; /* a rule may hand out neither */
  return DESCRIPTOR;
}

CODEC_EXPORT TestCodecState* CODEC_CALL TestCodecGetState(void) { return &state; }
