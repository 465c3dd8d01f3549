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
  char pattern[32] = "/tmp/zentrix-platform-XXXXXX";
  std::string path = mkdtemp(pattern);
  ~TempFolder() { fs::remove_all(path); }
  std::string File(const char* name) const { return path + PATH_SEPARATOR + name; }
};

static std::string ReadText(const std::string& path) {
  std::ifstream file(path);
  return file ? std::string(std::istreambuf_iterator<char>(file), {}) : "<missing>";
}

// Loading real modules is checked with the codec modules of the export tests.
TEST(PlatformModule, MissingBadAndNullModulesGiveNull) {
  TempFolder folder;
  std::ofstream(folder.File("tambrix.dll")) << "not a module";
  for (const char* name : {"ravex.dll", "tambrix.dll"}) EXPECT_EQ(PlatformLoadModule(folder.File(name).c_str()), nullptr);
  EXPECT_EQ(PlatformLoadModule(nullptr), nullptr);
  EXPECT_EQ(PlatformModuleSymbol(nullptr, "Initialize"), nullptr);
}

TEST(PlatformProgramPath, NamesThisProgramOrRefusesASmallBuffer) {
  char path[PATH_SIZE], small[8] = "xxxxxxx";
  const uint32_t length = PlatformProgramPath(path, PATH_SIZE);
  EXPECT_EQ(length, strlen(path));
  EXPECT_TRUE(fs::path(path).is_absolute() && fs::equivalent(path, "/proc/self/exe"));
  EXPECT_EQ(PlatformProgramPath(small, sizeof small), 0u);
  EXPECT_EQ(small[0], '\0');
}

// Blocks as a string, to compare them with what they should hold.
static std::string Bytes(const void* block, size_t size) { return std::string((const char*)block, size); }

TEST(PlatformHeap, ZeroFillValidationAndFailedResizes) {
  char* block = (char*)PlatformHeapReAlloc(nullptr, 100);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(Bytes(block, 100), std::string(100, '\0'));
  memset(block, 0xAB, 100);
  block = (char*)PlatformHeapReAlloc(block, 100000);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(Bytes(block, 100000), std::string(100, '\xAB') + std::string(99900, '\0'));
  // Shrink, then grow again: the bytes cut off come back as zeros.
  memset(block, 0xCD, 100000);
  block = (char*)PlatformHeapReAlloc((char*)PlatformHeapReAlloc(block, 10), 50);
  ASSERT_NE(block, nullptr);
  const std::string kept = std::string(10, '\xCD') + std::string(40, '\0');
  EXPECT_EQ(Bytes(block, 50), kept);
  // Only live blocks are valid; a failed resize gives null and keeps the block.
  alignas(16) static unsigned char notHeap[64];
  EXPECT_EQ(PlatformHeapValidate(nullptr) || PlatformHeapValidate(block + 20) || PlatformHeapValidate(notHeap + 32), 0);
  PlatformHeapFree(notHeap + 32);  // not a block: left alone
  EXPECT_EQ(PlatformHeapReAlloc(block, SIZE_MAX - 4), nullptr);
  EXPECT_EQ(PlatformHeapReAlloc(block, (size_t)1 << 50), nullptr);  // no such memory
  EXPECT_NE(PlatformHeapValidate(block), 0);
  EXPECT_EQ(Bytes(block, 50), kept);
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
  PlatformThread first = PlatformStartThread(countUp, &counter), second = PlatformStartThread(countUp, &counter);
  EXPECT_EQ(PlatformJoinThread(first) + PlatformJoinThread(second), -14);
  EXPECT_EQ(counter.value, 40000);
  PlatformLockDelete(&counter.lock);
  EXPECT_EQ(PlatformStartThread(nullptr, &counter), nullptr);
  EXPECT_EQ(PlatformJoinThread(nullptr), -1);
}

TEST(PlatformFiles, RenameReplacesAndPositionsGoBeyondFourGigabytes) {
  TempFolder folder;
  std::string from = folder.File("~3.avi"), to = folder.File("Ch3_20090307_080500.avi");
  std::ofstream(from) << "new segment";
  std::ofstream(to) << "old segment, longer than the new one";
  EXPECT_EQ(PlatformRenameReplace(from.c_str(), to.c_str()), 0);
  EXPECT_EQ(ReadText(to) + ReadText(from), "new segment<missing>");
  EXPECT_EQ(PlatformRenameReplace(from.c_str(), to.c_str()), -1);

  const int64_t far = (int64_t)5 << 30;  // a sparse file of 5 GiB
  FILE* file = fopen(to.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(PlatformSeek(file, far, SEEK_SET), 0);
  ASSERT_EQ(fputc('z', file), 'z');
  ASSERT_EQ(fclose(file), 0);
  file = fopen(to.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(PlatformFileLength(file), far + 1);
  EXPECT_EQ(PlatformTell(file), 0);  // the length query does not move the stream
  ASSERT_EQ(PlatformSeek(file, far, SEEK_CUR), 0);
  EXPECT_EQ(fgetc(file), 'z');
  EXPECT_EQ(PlatformTell(file), far + 1);
  EXPECT_EQ(PlatformSeek(file, -1, SEEK_SET), -1);
  fclose(file);
  EXPECT_EQ(PlatformTell(nullptr) + PlatformSeek(nullptr, 0, SEEK_SET) + PlatformFileLength(nullptr), -3);
}
