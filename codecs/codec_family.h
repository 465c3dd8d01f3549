/* The kind of picture coding behind each codec type that a recording names.
 * The decoders, the copy mode's FourCCs and the sample generator each map a
 * family to their own names, so the types are grouped in one place. */
#ifndef ZENTRIX_CODEC_FAMILY_H
#define ZENTRIX_CODEC_FAMILY_H

#include <stdint.h>

typedef enum CodecFamily {
  CODEC_FAMILY_NONE,  /* types 3 and 7, and types outside 0-15 */
  CODEC_FAMILY_MJPEG,
  CODEC_FAMILY_H263,  /* H.263, and H.263+ (version 2) pictures */
  CODEC_FAMILY_MPEG4, /* MPEG-4 Visual */
  CODEC_FAMILY_H264
} CodecFamily;

static inline CodecFamily CodecTypeFamily(int32_t codecType) {
  switch (codecType) {
    case 0:
      return CODEC_FAMILY_MJPEG;
    case 1:
      return CODEC_FAMILY_H263;
    case 2:
    case 4:
    case 5:
    case 10:
      return CODEC_FAMILY_MPEG4;
    case 6:
    case 8:
    case 9:
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
      return CODEC_FAMILY_H264;
    default:
      return CODEC_FAMILY_NONE;
  }
}

#endif
