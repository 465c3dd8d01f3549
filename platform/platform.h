// The few operating-system services the core needs: module loading, the
// program's own path, the process heap, locks, renaming with replacement,
// sleeping, threads and 64-bit file positions. One Win32 and one POSIX side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Every path buffer holds this many characters, terminator included.
enum { PATH_SIZE = 260 };

// Separator between a folder and a file name in the paths the program makes.
#ifdef _WIN32
#define PATH_SEPARATOR "\\"
#define PATH_SEPARATOR_CHAR '\\'
#else
#define PATH_SEPARATOR "/"
#define PATH_SEPARATOR_CHAR '/'
#endif

// Dynamic modules (LoadLibraryA / dlopen).
typedef void* PlatformModule;
PlatformModule PlatformLoadModule(const char* path);  // null on failure
void* PlatformModuleSymbol(PlatformModule module, const char* name);
void PlatformFreeModule(PlatformModule module);

// Full path of the running program file into buffer (size bytes).
// Returns the length, or 0 on failure.
uint32_t PlatformProgramPath(char* buffer, uint32_t size);

// Process heap. Blocks are zero-filled; a resize zero-fills the added bytes.
void* PlatformHeapAlloc(size_t size);
void* PlatformHeapReAlloc(void* block, size_t size);
int PlatformHeapValidate(void* block);  // non-zero when block is a live heap block
void PlatformHeapFree(void* block);

// A lock (critical section / mutex) held in place.
struct PlatformLock {
  alignas(16) unsigned char storage[64];
};
void PlatformLockInit(PlatformLock* lock);
void PlatformLockEnter(PlatformLock* lock);
void PlatformLockLeave(PlatformLock* lock);
void PlatformLockDelete(PlatformLock* lock);

// Renames from to to, replacing an existing file. Returns 0 or -1.
int PlatformRenameReplace(const char* from, const char* to);

// Non-zero when the folder holds an entry of this path (file, folder, link).
int PlatformPathExists(const char* path);

void PlatformSleep(uint32_t milliseconds);

// Threads: body(argument) runs on a new thread; join waits for it without a
// time limit and releases the handle.
typedef void* PlatformThread;
PlatformThread PlatformStartThread(int (*body)(void*), void* argument);
int PlatformJoinThread(PlatformThread thread);

// A condition variable held in place, waited on with a PlatformLock that
// the caller has entered once.
struct PlatformCondition {
  alignas(16) unsigned char storage[64];
};
void PlatformConditionInit(PlatformCondition* condition);
void PlatformConditionWait(PlatformCondition* condition, PlatformLock* lock);
void PlatformConditionWakeAll(PlatformCondition* condition);
void PlatformConditionDelete(PlatformCondition* condition);

// Processors the process may run on (its affinity), at least 1.
int PlatformProcessorCount(void);

// 64-bit positions on buffered streams.
int64_t PlatformTell(FILE* stream);
int PlatformSeek(FILE* stream, int64_t offset, int whence);  // 0 or -1
int64_t PlatformFileLength(FILE* stream);                    // without moving the stream; -1 on failure
