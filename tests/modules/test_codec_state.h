/* Call counters and failure switches of the test codec modules. A test
 * reaches a module's record through its exported TestCodecGetState, on a
 * handle of its own to the same module file (so that the record outlives the
 * run's unloading). */
#ifndef ZENTRIX_TEST_CODEC_STATE_H
#define ZENTRIX_TEST_CODEC_STATE_H

#include <stdint.h>

#include "codecs/codec_interface.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TestCodecState {
  /* Calls, counted as they arrive. */
  int32_t initializeCalls;
  int32_t shutdownCalls;
  int32_t openDecoderCalls;
  int32_t openEncoderCalls;
  int32_t decodeCalls;
  /* Instances opened and not yet closed. */
  int32_t liveDecoders;
  int32_t liveEncoders;

  /* Failure switches: n > 0 fails the next n calls, a negative value every
   * call, 0 none. */
  int32_t refuseDecoderOpens;
  int32_t refuseEncoderOpens;
  int32_t failDecodes;
  int32_t failEncodes;
  /* Added to every successful Encode result: an encoder that overstates. */
  int32_t encodeExtra;

  /* What the last calls received. */
  CodecOpenParams lastDecoderOpen;
  CodecOpenParams lastEncoderOpen;
  int32_t lastKeyFrameSign;
  /* The key-frame sign as Encode finds it: left over from the decode view. */
  int32_t lastEncodeKeyFrameSign;
} TestCodecState;

#define TEST_CODEC_STATE_ENTRY "TestCodecGetState"
typedef TestCodecState*(CODEC_CALL* TestCodecStateEntry)(void);

#ifdef __cplusplus
}
#endif

#endif
