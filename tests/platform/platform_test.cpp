// The platform layer as the core uses it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace fs = std::filesystem;

// A fresh folder for the file tests, removed with its files afterwards.
struct TempFolder {
  std::string path;
  TempFolder() {
    char pattern[] = "/tmp/zentrix-platform-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempFolder() { fs::remove_all(path); }
  std::string File(const char* name) const { return path + PATH_SEPARATOR + name; }
};

static void WriteText(const std::string& path, const char* text) { std::ofstream(path) << text; }

static std::string ReadText(const std::string& path) {
  std::ifstream file(path);
  return file ? std::string(std::istreambuf_iterator<char>(file), {}) : "<missing>";
}

static long CountBytes(const void* bytes, size_t count, unsigned char value) {
  return (long)std::count((const unsigned char*)bytes, (const unsigned char*)bytes + count, value);
}

// Loading real modules and finding their symbols is checked with the codec
// modules of the export tests.
TEST(PlatformModule, MissingBadAndNullModulesGiveNull) {
  TempFolder folder;
  EXPECT_EQ(PlatformLoadModule(folder.File("ravex.dll").c_str()), nullptr);
  WriteText(folder.File("tambrix.dll"), "not a module");
  EXPECT_EQ(PlatformLoadModule(folder.File("tambrix.dll").c_str()), nullptr);
  EXPECT_EQ(PlatformLoadModule(nullptr), nullptr);
  EXPECT_EQ(PlatformModuleSymbol(nullptr, "Initialize"), nullptr);
  PlatformFreeModule(nullptr);
}

TEST(PlatformProgramPath, NamesThisProgramOrRefusesASmallBuffer) {
  char path[PATH_SIZE];
  uint32_t length = PlatformProgramPath(path, PATH_SIZE);
  EXPECT_EQ(length, strlen(path));
  EXPECT_TRUE(fs::path(path).is_absolute() && fs::equivalent(path, "/proc/self/exe"));
  char small[8] = "xxxxxxx";
  EXPECT_EQ(PlatformProgramPath(small, sizeof small), 0u);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(PlatformProgramPath(nullptr, 10), 0u);
}

TEST(PlatformHeap, ZeroFillValidationAndFailedResizes) {
  unsigned char* block = (unsigned char*)PlatformHeapReAlloc(nullptr, 100);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(CountBytes(block, 100, 0), 100);
  memset(block, 0xAB, 100);
  block = (unsigned char*)PlatformHeapReAlloc(block, 100000);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(CountBytes(block, 100, 0xAB), 100);
  EXPECT_EQ(CountBytes(block + 100, 100000 - 100, 0), 100000 - 100);
  // Shrink, then grow again: the bytes cut off come back as zeros.
  memset(block, 0xCD, 100000);
  block = (unsigned char*)PlatformHeapReAlloc(block, 10);
  block = (unsigned char*)PlatformHeapReAlloc(block, 50);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(CountBytes(block, 10, 0xCD), 10);
  EXPECT_EQ(CountBytes(block + 10, 40, 0), 40);
  // Only live blocks are valid; a failed resize gives null and keeps the block.
  EXPECT_EQ(PlatformHeapValidate(nullptr), 0);
  EXPECT_EQ(PlatformHeapValidate(block + 20), 0);  // inside a block
  alignas(16) static unsigned char notHeap[64];
  EXPECT_EQ(PlatformHeapValidate(notHeap + 32), 0);
  PlatformHeapFree(notHeap + 32);  // not a block: left alone
  EXPECT_EQ(PlatformHeapReAlloc(block, SIZE_MAX - 4), nullptr);
  EXPECT_EQ(PlatformHeapReAlloc(block, (size_t)1 << 50), nullptr);  // no such memory
  EXPECT_NE(PlatformHeapValidate(block), 0);
  EXPECT_EQ(CountBytes(block, 10, 0xCD) + CountBytes(block + 10, 40, 0), 50);
  EXPECT_EQ(PlatformHeapAlloc(SIZE_MAX), nullptr);
  PlatformHeapFree(block);
}

TEST(PlatformThread, JoinGivesTheResultAndTheLockKeepsEveryUpdate) {
  struct Counter { PlatformLock lock; long value; } counter = {};  // only the lock guards value
  auto countUp = [](void* argument) {
    Counter* counter = (Counter*)argument;
    for (int i = 0; i < 20000; i++) {
      PlatformLockEnter(&counter->lock);
      long seen = counter->value;
      std::this_thread::yield();  // without the lock, the other thread gets in here
      counter->value = seen + 1;
      PlatformLockLeave(&counter->lock);
    }
    return -7;
  };
  PlatformLockInit(&counter.lock);
  PlatformThread first = PlatformStartThread(countUp, &counter);
  PlatformThread second = PlatformStartThread(countUp, &counter);
  EXPECT_EQ(PlatformJoinThread(first), -7);
  EXPECT_EQ(PlatformJoinThread(second), -7);
  EXPECT_EQ(counter.value, 40000);
  PlatformLockDelete(&counter.lock);
  EXPECT_EQ(PlatformStartThread(nullptr, &counter), nullptr);
  EXPECT_EQ(PlatformJoinThread(nullptr), -1);
}

TEST(PlatformRename, ReplacesMovesAndFails) {
  TempFolder folder;
  std::string from = folder.File("~3.avi"), to = folder.File("Ch3_20090307_080500.avi");
  WriteText(from, "new segment");
  WriteText(to, "old segment, longer than the new one");
  EXPECT_EQ(PlatformRenameReplace(from.c_str(), to.c_str()), 0);
  EXPECT_EQ(ReadText(to), "new segment");
  EXPECT_EQ(ReadText(from), "<missing>");
  EXPECT_EQ(PlatformRenameReplace(from.c_str(), to.c_str()), -1);
  EXPECT_EQ(PlatformRenameReplace(nullptr, to.c_str()), -1);
}

TEST(PlatformStream, PositionsBeyondFourGigabytes) {
  TempFolder folder;
  std::string path = folder.File("sparse.bin");
  const int64_t far = (int64_t)5 << 30;  // a sparse file of 5 GiB
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(PlatformSeek(file, far, SEEK_SET), 0);
  ASSERT_EQ(fputc('z', file), 'z');
  ASSERT_EQ(fclose(file), 0);

  file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(PlatformFileLength(file), far + 1);
  EXPECT_EQ(PlatformTell(file), 0);  // the length query does not move the stream
  ASSERT_EQ(PlatformSeek(file, far, SEEK_CUR), 0);
  EXPECT_EQ(fgetc(file), 'z');
  EXPECT_EQ(PlatformTell(file), far + 1);
  EXPECT_EQ(PlatformSeek(file, -1, SEEK_SET), -1);
  fclose(file);
  EXPECT_EQ(PlatformTell(nullptr), -1);
  EXPECT_EQ(PlatformSeek(nullptr, 0, SEEK_SET), -1);
  EXPECT_EQ(PlatformFileLength(nullptr), -1);
}
