// Compressed frame data for the codec types of a recording, made with
// libavcodec: Motion JPEG (type 0), H.263+ (type 1), MPEG-4 Visual (types 2,
// 4, 5, 10) and H.264 Annex B through libx264 (types 6, 8, 9, 11-15). One
// record's frame data per picture, no B-frames; H.264 key frames carry their
// SPS and PPS.
#pragma once

#include <cstdint>

#include "tools/record_writer.h"

struct StreamEncoder;

// The format behind a codec type ("mjpeg", "h263p", "mpeg4", "h264"), or
// null for the types that have no format (3, 7, 16 and above).
const char* StreamFormatName(int codecType);

// An encoder for pictures of width x height (even), with a key frame every
// keyInterval pictures (Motion JPEG: every picture). Null on failure.
StreamEncoder* StreamEncoderOpen(int codecType, int width, int height, int fps,
                                 int keyInterval);

// Encodes one YUV 4:2:0 picture (limited range, tightly packed) and appends
// its frame data to out; *key is 1 for a key frame. Returns 0, or -1 when the
// picture could not be sent, -2 when no frame came back.
int StreamEncoderEncode(StreamEncoder* encoder, const uint8_t* picture, Bytes* out, int* key);

void StreamEncoderClose(StreamEncoder* encoder);
