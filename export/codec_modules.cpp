// The codec module cache: module files are looked for in the program's own
// folder, accepted when their descriptor checks out, and kept one per codec
// type (slot) until the end of the export run.
#include "export/codec_modules.h"

#include <cstdio>
#include <cstring>

// Module file of each video codec type; null where no module exists.
const char* const VIDEO_MODULE_FILES[VIDEO_TYPE_COUNT] = {
    "ravex.dll",    // 0
    "sorvel.dll",   // 1
    "tambrix.dll",  // 2
    nullptr,        // 3
    "tambrix.dll",  // 4
    "tambrix.dll",  // 5: also the output encoder
    "quonix.dll",   // 6
    nullptr,        // 7
    "quonix.dll",   // 8
    "quonix.dll",   // 9
    "tambrix.dll",  // 10
    "quonix.dll",   // 11
    "quonix.dll",   // 12
    "quonix.dll",   // 13
    "quonix.dll",   // 14
    "quonix.dll",   // 15
};

const char* const AUDIO_MODULE_FILES[AUDIO_TYPE_COUNT] = {
    "plovax.dll",  // 0
    "wickel.dll",  // 1
};

char primaryFolder[PATH_SIZE];
char fallbackFolder[PATH_SIZE];
CodecModule* videoSlots[CODEC_SLOT_COUNT];
CodecModule* audioSlots[CODEC_SLOT_COUNT];

int CodecModulesInit(void) {
  // Modules still recorded from an earlier run are forgotten, not unloaded.
  memset(videoSlots, 0, sizeof videoSlots);
  memset(audioSlots, 0, sizeof audioSlots);

  char path[PATH_SIZE];
  if (PlatformProgramPath(path, sizeof path) == 0) path[0] = '\0';
  char* lastSeparator = strrchr(path, PATH_SEPARATOR_CHAR);
  if (lastSeparator)
    lastSeparator[1] = '\0';  // keep the separator: the folder ends in one
  else
    path[0] = '\0';  // no folder known: every load will fail

  memcpy(primaryFolder, path, sizeof primaryFolder);
  memcpy(fallbackFolder, path, sizeof fallbackFolder);
  return 1;
}

// Unloads a module that was loaded but not accepted.
static CodecModule* RefuseModule(PlatformModule module) {
  PlatformFreeModule(module);
  return nullptr;
}

// The descriptor checks, in order: "CODEC" with its terminator, version 1.0,
// both info texts present. strncmp stops at a shorter text's terminator, so
// a signature such as "COD" is never read past its end.
static int DescriptorAccepted(const CodecDescriptor* descriptor) {
  if (!descriptor->signature) return 0;
  if (strncmp(descriptor->signature, CODEC_SIGNATURE, sizeof CODEC_SIGNATURE) != 0) return 0;
  if (descriptor->checkMajor != 1) return 0;
  if (descriptor->checkMinor != 0) return 0;
  if (!descriptor->infoText1) return 0;
  if (!descriptor->infoText2) return 0;
  return 1;
}

CodecModule* LoadCodecModule(const char* folder, int32_t kind, int32_t type) {
  const char* name = nullptr;
  if (kind == CODEC_KIND_VIDEO && type >= 0 && type < VIDEO_TYPE_COUNT)
    name = VIDEO_MODULE_FILES[type];
  else if (kind == CODEC_KIND_AUDIO && type >= 0 && type < AUDIO_TYPE_COUNT)
    name = AUDIO_MODULE_FILES[type];
  if (!name) return nullptr;

  // An empty folder would turn into a search of the system's library path.
  if (!folder || !folder[0]) return nullptr;

  char path[PATH_SIZE];
  size_t folderLength = strlen(folder);
  const char* separator = folder[folderLength - 1] == PATH_SEPARATOR_CHAR ? "" : PATH_SEPARATOR;
  int length = snprintf(path, sizeof path, "%s%s%s", folder, separator, name);
  if (length < 0 || length >= (int)sizeof path) return nullptr;

  PlatformModule module = PlatformLoadModule(path);
  if (!module) return nullptr;

  CodecInitializeEntry initialize =
      (CodecInitializeEntry)PlatformModuleSymbol(module, CODEC_INITIALIZE_NAME);
  if (!initialize) return RefuseModule(module);
  CodecDescriptor* descriptor = initialize();
  if (!descriptor) return RefuseModule(module);
  if (!DescriptorAccepted(descriptor)) return RefuseModule(module);

  CodecModule* record = (CodecModule*)PlatformHeapAlloc(sizeof(CodecModule));
  if (!record) return RefuseModule(module);
  record->descriptor = descriptor;
  record->module = module;
  return record;
}

void UnloadCodecModule(CodecModule* module) {
  if (!module) return;
  if (module->descriptor && module->descriptor->Shutdown) module->descriptor->Shutdown();
  if (module->module) PlatformFreeModule(module->module);
  SafeHeapFree(module);
}

// The threads of a parallel export open segments at the same time: the
// slots are looked at and filled under this lock, made on first use and
// kept for the life of the process like the slots.
struct CacheLock {
  PlatformLock lock;
  CacheLock() { PlatformLockInit(&lock); }
};

static PlatformLock* SlotLock(void) {
  static CacheLock cacheLock;
  return &cacheLock.lock;
}

// The slot of a type, loading its module on first use; an empty slot is
// tried again on the next request.
static CodecDescriptor* GetCodec(CodecModule** slots, int32_t kind, int32_t type) {
  if (type < 0 || type >= CODEC_SLOT_COUNT) return nullptr;
  PlatformLock* lock = SlotLock();
  PlatformLockEnter(lock);
  if (!slots[type]) {
    slots[type] = LoadCodecModule(primaryFolder, kind, type);
    if (!slots[type]) slots[type] = LoadCodecModule(fallbackFolder, kind, type);
  }
  CodecDescriptor* descriptor = slots[type] ? slots[type]->descriptor : nullptr;
  PlatformLockLeave(lock);
  return descriptor;
}

CodecDescriptor* GetVideoCodec(int32_t type) {
  return GetCodec(videoSlots, CODEC_KIND_VIDEO, type);
}

CodecDescriptor* GetAudioCodec(int32_t type) {
  return GetCodec(audioSlots, CODEC_KIND_AUDIO, type);
}

void CodecModulesRelease(void) {
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) {
    UnloadCodecModule(videoSlots[i]);
    videoSlots[i] = nullptr;
  }
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) {
    UnloadCodecModule(audioSlots[i]);
    audioSlots[i] = nullptr;
  }
}

// Only a block that the heap knows as live is freed; anything else is left alone.
void SafeHeapFree(void* block) {
  if (!block) return;
  if (PlatformHeapValidate(block)) PlatformHeapFree(block);
}
