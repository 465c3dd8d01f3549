/* Call counters and failure switches of a test codec module, reached through
 * its TestCodecGetState on a handle of the test's own (so that the record
 * outlives the unloading done by the code under test). */
#pragma once

#include <stdint.h>

#include "codecs/codec_interface.h"

typedef struct TestCodecState {
  int32_t initializeCalls, shutdownCalls, openDecoderCalls, openEncoderCalls, decodeCalls;
  int32_t liveDecoders, liveEncoders; /* opened and not yet closed */
  /* Failure switches: n > 0 fails the next n calls, a negative value every call. */
  int32_t refuseDecoderOpens, refuseEncoderOpens, failDecodes, failEncodes;
  int32_t encodeExtra; /* added to every successful Encode result: an encoder that overstates */
  CodecOpenParams lastDecoderOpen, lastEncoderOpen;
  /* The key-frame sign Decode got, and as Encode finds it (left in the decode view). */
  int32_t lastKeyFrameSign, lastEncodeKeyFrameSign;
} TestCodecState;

#define TEST_CODEC_STATE_ENTRY "TestCodecGetState"
typedef TestCodecState*(CODEC_CALL* TestCodecStateEntry)(void);
