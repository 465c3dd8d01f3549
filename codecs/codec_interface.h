/* The binary interface between the program and its codec modules. A module
 * exports `Initialize`, which returns its CodecDescriptor. This header is
 * shared by the program (which loads modules) and the modules themselves,
 * so it is plain C. */
#ifndef ZENTRIX_CODEC_INTERFACE_H
#define ZENTRIX_CODEC_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(__i386__)
#define CODEC_CALL __cdecl
#else
#define CODEC_CALL
#endif

#if defined(_WIN32)
#define CODEC_EXPORT __declspec(dllexport)
#else
#define CODEC_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A decoder or encoder instance of the module's choosing; 0 means failure.
 * 32 bits wide on the 32-bit build. */
typedef uintptr_t CodecHandle;

/* Seven signed 32-bit fields, built for one open call. */
typedef struct CodecOpenParams {
  int32_t mode;
  int32_t width;
  int32_t height;
  int32_t format;
  int32_t rate;
  int32_t reserved;
  int32_t codecType;
} CodecOpenParams;

/* The frame record as Decode sees it. The picture is planar YUV 4:2:0. */
typedef struct CodecDecodeView {
  int32_t inputLength;
  const uint8_t* inputData;
  uint32_t zero8;
  uint32_t zero12;
  uint8_t* luma;
  uint8_t* chromaU;
  uint8_t* chromaV;
  int16_t zero28;
  int16_t keyFrameSign; /* +1 key frame, -1 any other */
  uint32_t zero32;
  uint32_t zero36;
} CodecDecodeView;

/* The same storage as Encode sees it, rewritten after a successful Decode. */
typedef struct CodecEncodeView {
  int32_t inputLength; /* width * height * 3 / 2 */
  uint8_t* luma;
  uint8_t* chromaU;
  uint8_t* chromaV;
  uint8_t* output;     /* at least width * height * 3 / 2 bytes */
  uint8_t leftOver[20];
} CodecEncodeView;

typedef union CodecFrameParams {
  CodecDecodeView decode;
  CodecEncodeView encode;
} CodecFrameParams;

typedef struct CodecDescriptor {
  const char* signature; /* "CODEC" */
  uint16_t checkMajor;   /* 1 */
  uint16_t checkMinor;   /* 0 */
  const char* infoText1;
  const char* infoText2;
  uint32_t unused[3];
  CodecHandle(CODEC_CALL* OpenEncoder)(const CodecOpenParams* params);
  int32_t(CODEC_CALL* CloseEncoder)(CodecHandle encoder);
  int32_t(CODEC_CALL* Encode)(CodecHandle encoder, CodecFrameParams* frame);
  CodecHandle(CODEC_CALL* OpenDecoder)(const CodecOpenParams* params);
  int32_t(CODEC_CALL* CloseDecoder)(CodecHandle decoder);
  int32_t(CODEC_CALL* Decode)(CodecHandle decoder, CodecFrameParams* frame);
  int32_t(CODEC_CALL* Shutdown)(void); /* may be null */
} CodecDescriptor;

typedef CodecDescriptor*(CODEC_CALL* CodecInitializeEntry)(void);

#define CODEC_SIGNATURE "CODEC"
#define CODEC_INITIALIZE_NAME "Initialize"

#if defined(_WIN32) && defined(__i386__)
/* The 32-bit layouts are a binary contract with modules built elsewhere. */
#ifdef __cplusplus
#define CODEC_STATIC_ASSERT static_assert
#else
#define CODEC_STATIC_ASSERT _Static_assert
#endif
CODEC_STATIC_ASSERT(sizeof(CodecOpenParams) == 28, "CodecOpenParams is 28 bytes");
CODEC_STATIC_ASSERT(sizeof(CodecFrameParams) == 40, "CodecFrameParams is 40 bytes");
CODEC_STATIC_ASSERT(offsetof(CodecDecodeView, luma) == 16, "luma plane at 16");
CODEC_STATIC_ASSERT(offsetof(CodecDecodeView, chromaV) == 24, "second chroma plane at 24");
CODEC_STATIC_ASSERT(offsetof(CodecDecodeView, keyFrameSign) == 30, "key-frame sign at 30");
CODEC_STATIC_ASSERT(offsetof(CodecEncodeView, output) == 16, "output buffer at 16");
CODEC_STATIC_ASSERT(offsetof(CodecDescriptor, checkMajor) == 4, "checkMajor at 4");
CODEC_STATIC_ASSERT(offsetof(CodecDescriptor, infoText2) == 12, "infoText2 at 12");
CODEC_STATIC_ASSERT(offsetof(CodecDescriptor, OpenEncoder) == 28, "OpenEncoder at 28");
CODEC_STATIC_ASSERT(offsetof(CodecDescriptor, Decode) == 48, "Decode at 48");
CODEC_STATIC_ASSERT(offsetof(CodecDescriptor, Shutdown) == 52, "Shutdown at 52");
CODEC_STATIC_ASSERT(sizeof(CodecDescriptor) == 56, "CodecDescriptor is 56 bytes");
#endif

#ifdef __cplusplus
}
#endif

#endif
