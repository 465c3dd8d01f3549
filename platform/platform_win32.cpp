// Win32 side of the platform layer: kernel32 module loading, the program
// file's path, the process heap, critical sections, condition variables,
// MoveFileExA, Sleep, threads, the affinity mask, and the runtime's 64-bit
// stream positions.
#include "platform/platform.h"

#include <windows.h>

#include <io.h>

#include <new>

// ---------------------------------------------------------------------------
// Modules

PlatformModule PlatformLoadModule(const char* path) {
  if (!path) return nullptr;
  return (PlatformModule)LoadLibraryA(path);
}

void* PlatformModuleSymbol(PlatformModule module, const char* name) {
  if (!module || !name) return nullptr;
  return (void*)GetProcAddress((HMODULE)module, name);
}

void PlatformFreeModule(PlatformModule module) {
  if (module) FreeLibrary((HMODULE)module);
}

uint32_t PlatformProgramPath(char* buffer, uint32_t size) {
  if (!buffer || size == 0) return 0;
  DWORD length = GetModuleFileNameA(nullptr, buffer, size);
  // A result of size means the path was cut to fit.
  if (length == 0 || length >= size) {
    buffer[0] = '\0';
    return 0;
  }
  return (uint32_t)length;
}

// ---------------------------------------------------------------------------
// Process heap

void* PlatformHeapAlloc(size_t size) {
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

void* PlatformHeapReAlloc(void* block, size_t size) {
  if (!block) return PlatformHeapAlloc(size);
  return HeapReAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, block, size);
}

int PlatformHeapValidate(void* block) {
  if (!block) return 0;
  return HeapValidate(GetProcessHeap(), 0, block) ? 1 : 0;
}

void PlatformHeapFree(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

// ---------------------------------------------------------------------------
// Locks

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(PlatformLock::storage),
              "PlatformLock is too small for a critical section");

static CRITICAL_SECTION* SectionOf(PlatformLock* lock) {
  return reinterpret_cast<CRITICAL_SECTION*>(lock->storage);
}

void PlatformLockInit(PlatformLock* lock) { InitializeCriticalSection(SectionOf(lock)); }

void PlatformLockEnter(PlatformLock* lock) { EnterCriticalSection(SectionOf(lock)); }

void PlatformLockLeave(PlatformLock* lock) { LeaveCriticalSection(SectionOf(lock)); }

void PlatformLockDelete(PlatformLock* lock) { DeleteCriticalSection(SectionOf(lock)); }

// ---------------------------------------------------------------------------
// Files and time

int PlatformRenameReplace(const char* from, const char* to) {
  if (!from || !to) return -1;
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

int PlatformPathExists(const char* path) {
  return path && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

void PlatformSleep(uint32_t milliseconds) { Sleep(milliseconds); }

// ---------------------------------------------------------------------------
// Threads

struct ThreadRecord {
  HANDLE handle;
  int (*body)(void*);
  void* argument;
};

static DWORD WINAPI ThreadStart(LPVOID argument) {
  ThreadRecord* record = (ThreadRecord*)argument;
  return (DWORD)record->body(record->argument);
}

PlatformThread PlatformStartThread(int (*body)(void*), void* argument) {
  if (!body) return nullptr;
  ThreadRecord* record = new (std::nothrow) ThreadRecord();
  if (!record) return nullptr;
  record->body = body;
  record->argument = argument;
  record->handle = CreateThread(nullptr, 0, ThreadStart, record, 0, nullptr);
  if (!record->handle) {
    delete record;
    return nullptr;
  }
  return record;
}

int PlatformJoinThread(PlatformThread thread) {
  if (!thread) return -1;
  ThreadRecord* record = (ThreadRecord*)thread;
  int result = -1;
  DWORD code = 0;
  if (WaitForSingleObject(record->handle, INFINITE) == WAIT_OBJECT_0 &&
      GetExitCodeThread(record->handle, &code))
    result = (int)code;
  CloseHandle(record->handle);
  delete record;
  return result;
}

static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(PlatformCondition::storage),
              "PlatformCondition is too small for a condition variable");

static CONDITION_VARIABLE* ConditionOf(PlatformCondition* condition) {
  return reinterpret_cast<CONDITION_VARIABLE*>(condition->storage);
}

void PlatformConditionInit(PlatformCondition* condition) {
  InitializeConditionVariable(ConditionOf(condition));
}

void PlatformConditionWait(PlatformCondition* condition, PlatformLock* lock) {
  SleepConditionVariableCS(ConditionOf(condition), SectionOf(lock), INFINITE);
}

void PlatformConditionWakeAll(PlatformCondition* condition) {
  WakeAllConditionVariable(ConditionOf(condition));
}

// A Win32 condition variable holds nothing to release.
void PlatformConditionDelete(PlatformCondition*) {}

int PlatformProcessorCount(void) {
  DWORD_PTR process = 0, system = 0;
  int count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
    for (; process; process &= process - 1) count++;
  return count > 0 ? count : 1;
}

// ---------------------------------------------------------------------------
// 64-bit stream positions

int64_t PlatformTell(FILE* stream) {
  if (!stream) return -1;
  return (int64_t)_ftelli64(stream);
}

int PlatformSeek(FILE* stream, int64_t offset, int whence) {
  if (!stream) return -1;
  return _fseeki64(stream, offset, whence) == 0 ? 0 : -1;
}

int64_t PlatformFileLength(FILE* stream) {
  if (!stream) return -1;
  return (int64_t)_filelengthi64(_fileno(stream));
}
