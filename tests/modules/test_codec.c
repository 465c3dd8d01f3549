/* A test codec module: the lossless "codec", whose compressed form of a
 * picture is its raw planar YUV 4:2:0 bytes. A loader rule's build names its
 * entry otherwise (INITIALIZE_ENTRY) or breaks its descriptor (BREAK). */
#include <stdlib.h>
#include <string.h>

#include "codecs/codec_interface.h"
#include "tests/modules/test_codec_state.h"

#ifndef INITIALIZE_ENTRY
#define INITIALIZE_ENTRY Initialize
#endif

static TestCodecState state; /* failure switches are set by the tests */

/* A parallel export calls several instances at once: the state changes under
 * this lock or atomically. */
static volatile char stateLock;
static void Lock(void) { while (__atomic_test_and_set(&stateLock, __ATOMIC_ACQUIRE)) continue; }
static void Unlock(void) { __atomic_clear(&stateLock, __ATOMIC_RELEASE); }
static void Add(int32_t* counter, int32_t n) { __atomic_add_fetch(counter, n, __ATOMIC_SEQ_CST); }

static int TakeFailure(int32_t* failures) { /* consumes one failure of a switch */
  int failing = *failures != 0;
  if (*failures > 0) (*failures)--;
  return failing;
}

/* Counts the call and records its parameters, its instance's copy (none when refused). */
static CodecHandle Open(const CodecOpenParams* params, int32_t* calls, CodecOpenParams* last,
                        int32_t* refuse, int32_t* live) {
  Lock();
  (*calls)++, *last = *params;
  int refused = TakeFailure(refuse);
  Unlock();
  if (refused || params->width <= 0 || params->height <= 0) return 0;
  CodecOpenParams* instance = (CodecOpenParams*)malloc(sizeof *instance);
  if (instance) *instance = *params, Add(live, 1);
  return (CodecHandle)instance;
}

static CodecHandle CODEC_CALL OpenDecoder(const CodecOpenParams* p) {
  return Open(p, &state.openDecoderCalls, &state.lastDecoderOpen, &state.refuseDecoderOpens,
              &state.liveDecoders);
}
static CodecHandle CODEC_CALL OpenEncoder(const CodecOpenParams* p) {
  return Open(p, &state.openEncoderCalls, &state.lastEncoderOpen, &state.refuseEncoderOpens,
              &state.liveEncoders);
}
static int32_t CODEC_CALL CloseDecoder(CodecHandle h) {
  return Add(&state.liveDecoders, -1), free((void*)h), 0;
}
static int32_t CODEC_CALL CloseEncoder(CodecHandle h) {
  return Add(&state.liveEncoders, -1), free((void*)h), 0;
}

/* Copies the three planes between one buffer and three; 0 unless one picture of the size. */
static int32_t CopyPlanes(CodecHandle instance, int32_t length, int toPlanes, uint8_t* whole,
                          uint8_t* planes[3]) {
  const CodecOpenParams* params = (const CodecOpenParams*)instance;
  size_t luma = (size_t)params->width * (size_t)params->height;
  size_t sizes[3] = {luma, luma / 4, luma / 4};
  if (!whole || length != (int32_t)(luma + 2 * sizes[1])) return 0;
  for (int i = 0; i < 3; whole += sizes[i++]) {
    if (toPlanes) memcpy(planes[i], whole, sizes[i]);
    else memcpy(whole, planes[i], sizes[i]);
  }
  return length;
}

static int32_t CODEC_CALL Decode(CodecHandle decoder, CodecFrameParams* frame) {
  CodecDecodeView* view = &frame->decode;
  Lock();
  state.decodeCalls++, state.lastKeyFrameSign = view->keyFrameSign;
  int failed = TakeFailure(&state.failDecodes);
  Unlock();
  return failed ? 0 : CopyPlanes(decoder, view->inputLength, 1, (uint8_t*)view->inputData,
                                 (uint8_t*[3]){view->luma, view->chromaU, view->chromaV});
}

static int32_t CODEC_CALL Encode(CodecHandle encoder, CodecFrameParams* frame) {
  CodecEncodeView* view = &frame->encode;
  Lock();
  state.lastEncodeKeyFrameSign = frame->decode.keyFrameSign; /* as the decode view left it */
  int failed = TakeFailure(&state.failEncodes);
  int32_t extra = state.encodeExtra;
  Unlock();
  int32_t n = failed ? 0 : CopyPlanes(encoder, view->inputLength, 0, view->output,
                                      (uint8_t*[3]){view->luma, view->chromaU, view->chromaV});
  return n ? n + extra : 0;
}

static int32_t CODEC_CALL Shutdown(void) { return Add(&state.shutdownCalls, 1), 0; }

static CodecDescriptor descriptor = {
    CODEC_SIGNATURE, 1, 0, "zentrix test codec", "raw planar YUV 4:2:0, lossless", {0, 0, 0},
    OpenEncoder, CloseEncoder, Encode, OpenDecoder, CloseDecoder, Decode, Shutdown};

CODEC_EXPORT CodecDescriptor* CODEC_CALL INITIALIZE_ENTRY(void) {
  Add(&state.initializeCalls, 1);
#ifdef BREAK
  BREAK;
#endif
  return &descriptor;
}

CODEC_EXPORT TestCodecState* CODEC_CALL TestCodecGetState(void) { return &state; }
