// The codec module cache: which module file serves which codec type, where
// modules are looked for, and the loaded modules of one export run.
#pragma once

#include <cstdint>

#include "codecs/codec_interface.h"
#include "platform/platform.h"

enum {
  CODEC_SLOT_COUNT = 20,
  VIDEO_TYPE_COUNT = 16,
  AUDIO_TYPE_COUNT = 2,
  OUTPUT_CODEC_TYPE = 5
};

enum {
  CODEC_KIND_VIDEO = 0,
  CODEC_KIND_AUDIO = 1
};

extern const char* const VIDEO_MODULE_FILES[VIDEO_TYPE_COUNT];
extern const char* const AUDIO_MODULE_FILES[AUDIO_TYPE_COUNT];

// One loaded module in one slot; from the process heap.
struct CodecModule {
  CodecDescriptor* descriptor;
  PlatformModule module;
};

// Process-wide state of the cache.
extern char primaryFolder[PATH_SIZE];
extern char fallbackFolder[PATH_SIZE];
extern CodecModule* videoSlots[CODEC_SLOT_COUNT];
extern CodecModule* audioSlots[CODEC_SLOT_COUNT];

int CodecModulesInit(void);
CodecDescriptor* GetVideoCodec(int32_t type);
CodecDescriptor* GetAudioCodec(int32_t type);
void CodecModulesRelease(void);
CodecModule* LoadCodecModule(const char* folder, int32_t kind, int32_t type);
void UnloadCodecModule(CodecModule* module);
void SafeHeapFree(void* block);
