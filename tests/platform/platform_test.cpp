// The platform layer as the core uses it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <stdlib.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

// A fresh folder for the file tests, removed with its files afterwards.
struct TempFolder {
  std::string path;
  TempFolder() {
    char pattern[] = "/tmp/zentrix-platform-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempFolder() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string File(const char* name) const { return path + PATH_SEPARATOR + name; }
};

void WriteText(const std::string& path, const char* text) {
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  fputs(text, file);
  fclose(file);
}

std::string ReadText(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return "<missing>";
  char buffer[256];
  size_t length = fread(buffer, 1, sizeof(buffer), file);
  fclose(file);
  return std::string(buffer, length);
}

bool AllZero(const unsigned char* bytes, size_t count) {
  for (size_t i = 0; i < count; i++)
    if (bytes[i]) return false;
  return true;
}

// --- modules --------------------------------------------------------------

TEST(PlatformModule, LoadsFindsAndCallsInitialize) {
  PlatformModule module = PlatformLoadModule(TEST_MODULE_PATH);
  ASSERT_NE(module, nullptr);
  typedef int* (*InitializeEntry)(void);
  InitializeEntry initialize = (InitializeEntry)PlatformModuleSymbol(module, "Initialize");
  ASSERT_NE(initialize, nullptr);
  EXPECT_EQ(*initialize(), 42);
  EXPECT_EQ(PlatformModuleSymbol(module, "Shutdown"), nullptr);
  PlatformFreeModule(module);
}

TEST(PlatformModule, MissingOrBadFilesGiveNull) {
  TempFolder folder;
  EXPECT_EQ(PlatformLoadModule(folder.File("ravex.dll").c_str()), nullptr);
  WriteText(folder.File("tambrix.dll"), "not a module");
  EXPECT_EQ(PlatformLoadModule(folder.File("tambrix.dll").c_str()), nullptr);
  EXPECT_EQ(PlatformLoadModule(nullptr), nullptr);
  EXPECT_EQ(PlatformModuleSymbol(nullptr, "Initialize"), nullptr);
  PlatformFreeModule(nullptr);
}

// --- program path ---------------------------------------------------------

TEST(PlatformProgramPath, NamesThisTestProgram) {
  char path[PATH_SIZE];
  uint32_t length = PlatformProgramPath(path, PATH_SIZE);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(strlen(path), length);
  EXPECT_EQ(path[0], '/');
  const char* name = strrchr(path, PATH_SEPARATOR_CHAR);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name + 1, "platform_tests");
}

TEST(PlatformProgramPath, RefusesABufferThatIsTooSmall) {
  char path[8];
  memset(path, 'x', sizeof(path));
  EXPECT_EQ(PlatformProgramPath(path, sizeof(path)), 0u);
  EXPECT_EQ(path[0], '\0');
  EXPECT_EQ(PlatformProgramPath(nullptr, 10), 0u);
}

// --- heap -----------------------------------------------------------------

TEST(PlatformHeap, BlocksStartZeroFilled) {
  unsigned char* block = (unsigned char*)PlatformHeapAlloc(4096);
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(AllZero(block, 4096));
  EXPECT_NE(PlatformHeapValidate(block), 0);
  PlatformHeapFree(block);

  void* empty = PlatformHeapAlloc(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(PlatformHeapValidate(empty), 0);
  PlatformHeapFree(empty);
}

TEST(PlatformHeap, ResizeKeepsTheBytesAndZeroFillsTheAddedOnes) {
  unsigned char* block = (unsigned char*)PlatformHeapAlloc(100);
  ASSERT_NE(block, nullptr);
  memset(block, 0xAB, 100);

  block = (unsigned char*)PlatformHeapReAlloc(block, 100000);
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 100; i++) ASSERT_EQ(block[i], 0xAB) << i;
  EXPECT_TRUE(AllZero(block + 100, 100000 - 100));

  // Shrink, then grow again: the bytes cut off must come back as zeros.
  memset(block, 0xCD, 100000);
  block = (unsigned char*)PlatformHeapReAlloc(block, 10);
  ASSERT_NE(block, nullptr);
  block = (unsigned char*)PlatformHeapReAlloc(block, 50);
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 10; i++) ASSERT_EQ(block[i], 0xCD) << i;
  EXPECT_TRUE(AllZero(block + 10, 40));
  PlatformHeapFree(block);
}

TEST(PlatformHeap, ResizeOfNothingAllocates) {
  unsigned char* block = (unsigned char*)PlatformHeapReAlloc(nullptr, 64);
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(AllZero(block, 64));
  PlatformHeapFree(block);
}

TEST(PlatformHeap, FailedAllocationsGiveNullAndKeepTheOldBlock) {
  EXPECT_EQ(PlatformHeapAlloc(SIZE_MAX), nullptr);
  EXPECT_EQ(PlatformHeapAlloc(SIZE_MAX - 8), nullptr);

  unsigned char* block = (unsigned char*)PlatformHeapAlloc(32);
  ASSERT_NE(block, nullptr);
  memset(block, 0x5A, 32);
  EXPECT_EQ(PlatformHeapReAlloc(block, SIZE_MAX - 4), nullptr);
  EXPECT_EQ(PlatformHeapReAlloc(block, (size_t)1 << 50), nullptr);  // no such memory
  EXPECT_NE(PlatformHeapValidate(block), 0);
  for (int i = 0; i < 32; i++) ASSERT_EQ(block[i], 0x5A) << i;
  PlatformHeapFree(block);
}

TEST(PlatformHeap, ValidateTellsHeapBlocksFromOtherPointers) {
  EXPECT_EQ(PlatformHeapValidate(nullptr), 0);
  unsigned char* block = (unsigned char*)PlatformHeapAlloc(256);
  ASSERT_NE(block, nullptr);
  // A pointer into the middle of a block is not a block of its own.
  EXPECT_EQ(PlatformHeapValidate(block + 128), 0);
  // Neither is memory from elsewhere.
  alignas(16) static unsigned char notHeap[64];
  EXPECT_EQ(PlatformHeapValidate(notHeap + 32), 0);
  // Freeing something that is not a block leaves it alone.
  PlatformHeapFree(notHeap + 32);
  PlatformHeapFree(nullptr);
  EXPECT_NE(PlatformHeapValidate(block), 0);
  PlatformHeapFree(block);
}

// --- locks and threads ----------------------------------------------------

struct Counter {
  PlatformLock lock;
  long value;  // not atomic: only the lock keeps it right
};

int CountUp(void* argument) {
  Counter* counter = (Counter*)argument;
  for (int i = 0; i < 100000; i++) {
    PlatformLockEnter(&counter->lock);
    counter->value++;
    PlatformLockLeave(&counter->lock);
  }
  return 7;
}

TEST(PlatformThread, LockKeepsTwoThreadsFromLosingUpdates) {
  Counter counter = {};
  PlatformLockInit(&counter.lock);
  PlatformThread first = PlatformStartThread(CountUp, &counter);
  PlatformThread second = PlatformStartThread(CountUp, &counter);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(PlatformJoinThread(first), 7);
  EXPECT_EQ(PlatformJoinThread(second), 7);
  EXPECT_EQ(counter.value, 200000);
  PlatformLockDelete(&counter.lock);
}

TEST(PlatformThread, LockMayBeEnteredAgainByItsOwner) {
  PlatformLock lock;
  PlatformLockInit(&lock);
  PlatformLockEnter(&lock);
  PlatformLockEnter(&lock);
  PlatformLockLeave(&lock);
  PlatformLockLeave(&lock);
  PlatformLockDelete(&lock);
}

int ReturnArgument(void* argument) { return *(int*)argument; }

TEST(PlatformThread, JoinGivesTheBodysResult) {
  int value = -3;
  PlatformThread thread = PlatformStartThread(ReturnArgument, &value);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(PlatformJoinThread(thread), -3);
  EXPECT_EQ(PlatformStartThread(nullptr, &value), nullptr);
  EXPECT_EQ(PlatformJoinThread(nullptr), -1);
}

std::atomic<int> seenFlag{0};

int WaitForFlag(void* argument) {
  std::atomic<int>* flag = (std::atomic<int>*)argument;
  while (flag->load() != 0) PlatformSleep(1);
  seenFlag = 1;
  return 0;
}

TEST(PlatformThread, WorkerSeesAFlagClearedByAnotherThread) {
  std::atomic<int> flag{1};
  seenFlag = 0;
  PlatformThread thread = PlatformStartThread(WaitForFlag, &flag);
  ASSERT_NE(thread, nullptr);
  PlatformSleep(20);
  EXPECT_EQ(seenFlag.load(), 0);
  flag = 0;
  EXPECT_EQ(PlatformJoinThread(thread), 0);
  EXPECT_EQ(seenFlag.load(), 1);
}

TEST(PlatformSleep, WaitsAtLeastTheGivenTime) {
  auto start = std::chrono::steady_clock::now();
  PlatformSleep(60);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 60);
}

// --- files ----------------------------------------------------------------

TEST(PlatformRename, ReplacesAnExistingFile) {
  TempFolder folder;
  std::string from = folder.File("~3.avi");
  std::string to = folder.File("Ch3_20090307_080500_20090307_080510.avi");
  WriteText(from, "new segment");
  WriteText(to, "old segment, longer than the new one");
  EXPECT_EQ(PlatformRenameReplace(from.c_str(), to.c_str()), 0);
  EXPECT_EQ(ReadText(to), "new segment");
  EXPECT_EQ(ReadText(from), "<missing>");
}

TEST(PlatformRename, MovesToAFreeNameAndFailsWithoutASource) {
  TempFolder folder;
  std::string from = folder.File("a");
  std::string to = folder.File("b");
  WriteText(from, "x");
  EXPECT_EQ(PlatformRenameReplace(from.c_str(), to.c_str()), 0);
  EXPECT_EQ(ReadText(to), "x");
  EXPECT_EQ(PlatformRenameReplace(from.c_str(), to.c_str()), -1);
  EXPECT_EQ(ReadText(to), "x");
  EXPECT_EQ(PlatformRenameReplace(to.c_str(), folder.File("no/such/folder").c_str()), -1);
  EXPECT_EQ(PlatformRenameReplace(nullptr, to.c_str()), -1);
}

TEST(PlatformStream, PositionsBeyondFourGigabytes) {
  TempFolder folder;
  std::string path = folder.File("sparse.bin");
  const int64_t far = (int64_t)5 << 30;  // 5 GiB, a sparse file

  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(PlatformSeek(file, far, SEEK_SET), 0);
  EXPECT_EQ(PlatformTell(file), far);
  ASSERT_EQ(fputc('z', file), 'z');
  ASSERT_EQ(fclose(file), 0);

  file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(PlatformFileLength(file), far + 1);
  EXPECT_EQ(PlatformTell(file), 0);  // the length query does not move the stream
  ASSERT_EQ(PlatformSeek(file, far, SEEK_CUR), 0);
  EXPECT_EQ(fgetc(file), 'z');
  EXPECT_EQ(PlatformTell(file), far + 1);
  ASSERT_EQ(PlatformSeek(file, -((int64_t)3 << 30), SEEK_END), 0);
  EXPECT_EQ(PlatformTell(file), far + 1 - ((int64_t)3 << 30));
  // A forward seek past the end succeeds; the next read then meets the end.
  ASSERT_EQ(PlatformSeek(file, (int64_t)4294967295u, SEEK_CUR), 0);
  EXPECT_EQ(fgetc(file), EOF);
  EXPECT_NE(feof(file), 0);
  // Nothing lies before the start of the file.
  EXPECT_EQ(PlatformSeek(file, -1, SEEK_SET), -1);
  fclose(file);
}

TEST(PlatformStream, NoStreamNoPosition) {
  EXPECT_EQ(PlatformTell(nullptr), -1);
  EXPECT_EQ(PlatformSeek(nullptr, 0, SEEK_SET), -1);
  EXPECT_EQ(PlatformFileLength(nullptr), -1);
}

}  // namespace
