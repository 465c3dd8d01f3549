// POSIX side of the platform layer: dlopen, /proc/self/exe, a zero-filling
// heap over malloc, pthread mutexes, condition variables and threads, the
// affinity mask, rename, nanosleep, and 64-bit stream positions through
// ftello/fseeko/fstat.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // sched_getaffinity
#endif

#include "platform/platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

static_assert(sizeof(off_t) == 8, "64-bit file offsets are needed");

// ---------------------------------------------------------------------------
// Modules

PlatformModule PlatformLoadModule(const char* path) {
  if (!path) return nullptr;
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* PlatformModuleSymbol(PlatformModule module, const char* name) {
  if (!module || !name) return nullptr;
  return dlsym(module, name);
}

void PlatformFreeModule(PlatformModule module) {
  if (module) dlclose(module);
}

uint32_t PlatformProgramPath(char* buffer, uint32_t size) {
  if (!buffer || size == 0) return 0;
  ssize_t length = readlink("/proc/self/exe", buffer, size);
  // A full buffer may mean a cut path: refuse it like GetModuleFileNameA
  // refuses a path that does not fit with its terminator.
  if (length <= 0 || (size_t)length >= size) {
    buffer[0] = '\0';
    return 0;
  }
  buffer[length] = '\0';
  return (uint32_t)length;
}

// ---------------------------------------------------------------------------
// Process heap
//
// Every block carries a 16-byte header in front of the caller's bytes: the
// block size (so that a resize knows which bytes are new and zero-fills them)
// and a magic value (so that validation can tell a live block from a freed
// one). 16 bytes keep the caller's bytes as aligned as malloc's.

enum { HEAP_HEADER_SIZE = 16 };

static const uint64_t HEAP_MAGIC_LIVE = 0x5A454E5452495848ull;  // "HXIRTNEZ"
static const uint64_t HEAP_MAGIC_FREED = 0x4445455246524548ull;

static unsigned char* HeapHeaderOf(void* block) {
  return (unsigned char*)block - HEAP_HEADER_SIZE;
}

static void HeapWriteHeader(unsigned char* header, uint64_t size, uint64_t magic) {
  memcpy(header, &size, 8);
  memcpy(header + 8, &magic, 8);
}

static uint64_t HeapBlockSize(unsigned char* header) {
  uint64_t size;
  memcpy(&size, header, 8);
  return size;
}

static uint64_t HeapBlockMagic(unsigned char* header) {
  uint64_t magic;
  memcpy(&magic, header + 8, 8);
  return magic;
}

void* PlatformHeapAlloc(size_t size) {
  if (size > (size_t)-1 - HEAP_HEADER_SIZE) return nullptr;
  unsigned char* header = (unsigned char*)calloc(1, HEAP_HEADER_SIZE + size);
  if (!header) return nullptr;
  HeapWriteHeader(header, size, HEAP_MAGIC_LIVE);
  return header + HEAP_HEADER_SIZE;
}

void* PlatformHeapReAlloc(void* block, size_t size) {
  if (!block) return PlatformHeapAlloc(size);
  if (!PlatformHeapValidate(block)) return nullptr;
  if (size > (size_t)-1 - HEAP_HEADER_SIZE) return nullptr;
  unsigned char* header = HeapHeaderOf(block);
  uint64_t oldSize = HeapBlockSize(header);
  unsigned char* moved = (unsigned char*)realloc(header, HEAP_HEADER_SIZE + size);
  if (!moved) return nullptr;  // the old block stays as it was
  if (size > oldSize) memset(moved + HEAP_HEADER_SIZE + oldSize, 0, size - oldSize);
  HeapWriteHeader(moved, size, HEAP_MAGIC_LIVE);
  return moved + HEAP_HEADER_SIZE;
}

int PlatformHeapValidate(void* block) {
  if (!block) return 0;
  return HeapBlockMagic(HeapHeaderOf(block)) == HEAP_MAGIC_LIVE;
}

void PlatformHeapFree(void* block) {
  if (!PlatformHeapValidate(block)) return;
  unsigned char* header = HeapHeaderOf(block);
  HeapWriteHeader(header, 0, HEAP_MAGIC_FREED);
  free(header);
}

// ---------------------------------------------------------------------------
// Locks

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatformLock::storage),
              "PlatformLock is too small for a pthread mutex");

static pthread_mutex_t* MutexOf(PlatformLock* lock) {
  return reinterpret_cast<pthread_mutex_t*>(lock->storage);
}

void PlatformLockInit(PlatformLock* lock) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  // Recursive, like a critical section: the owner may enter again.
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(MutexOf(lock), &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void PlatformLockEnter(PlatformLock* lock) { pthread_mutex_lock(MutexOf(lock)); }

void PlatformLockLeave(PlatformLock* lock) { pthread_mutex_unlock(MutexOf(lock)); }

void PlatformLockDelete(PlatformLock* lock) { pthread_mutex_destroy(MutexOf(lock)); }

// ---------------------------------------------------------------------------
// Files and time

int PlatformRenameReplace(const char* from, const char* to) {
  if (!from || !to) return -1;
  return rename(from, to) == 0 ? 0 : -1;
}

int PlatformPathExists(const char* path) {
  struct stat status;
  return path && lstat(path, &status) == 0;
}

void PlatformSleep(uint32_t milliseconds) {
  struct timespec rest;
  rest.tv_sec = milliseconds / 1000;
  rest.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
  // A signal handler (the CLI's SIGINT) must not cut the pause short.
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

// ---------------------------------------------------------------------------
// Threads

struct ThreadRecord {
  pthread_t id;
  int (*body)(void*);
  void* argument;
  int result;
};

static void* ThreadStart(void* argument) {
  ThreadRecord* record = (ThreadRecord*)argument;
  record->result = record->body(record->argument);
  return nullptr;
}

PlatformThread PlatformStartThread(int (*body)(void*), void* argument) {
  if (!body) return nullptr;
  ThreadRecord* record = new (std::nothrow) ThreadRecord();
  if (!record) return nullptr;
  record->body = body;
  record->argument = argument;
  if (pthread_create(&record->id, nullptr, ThreadStart, record) != 0) {
    delete record;
    return nullptr;
  }
  return record;
}

int PlatformJoinThread(PlatformThread thread) {
  if (!thread) return -1;
  ThreadRecord* record = (ThreadRecord*)thread;
  int result = -1;
  if (pthread_join(record->id, nullptr) == 0) result = record->result;
  delete record;
  return result;
}

static_assert(sizeof(pthread_cond_t) <= sizeof(PlatformCondition::storage),
              "PlatformCondition is too small for a pthread condition variable");

static pthread_cond_t* ConditionOf(PlatformCondition* condition) {
  return reinterpret_cast<pthread_cond_t*>(condition->storage);
}

void PlatformConditionInit(PlatformCondition* condition) {
  pthread_cond_init(ConditionOf(condition), nullptr);
}

void PlatformConditionWait(PlatformCondition* condition, PlatformLock* lock) {
  pthread_cond_wait(ConditionOf(condition), MutexOf(lock));
}

void PlatformConditionWakeAll(PlatformCondition* condition) {
  pthread_cond_broadcast(ConditionOf(condition));
}

void PlatformConditionDelete(PlatformCondition* condition) {
  pthread_cond_destroy(ConditionOf(condition));
}

int PlatformProcessorCount(void) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? (int)online : 1;
}

// ---------------------------------------------------------------------------
// 64-bit stream positions

int64_t PlatformTell(FILE* stream) {
  if (!stream) return -1;
  return (int64_t)ftello(stream);
}

int PlatformSeek(FILE* stream, int64_t offset, int whence) {
  if (!stream) return -1;
  return fseeko(stream, (off_t)offset, whence) == 0 ? 0 : -1;
}

int64_t PlatformFileLength(FILE* stream) {
  if (!stream) return -1;
  struct stat status;
  if (fstat(fileno(stream), &status) != 0) return -1;
  return (int64_t)status.st_size;
}
