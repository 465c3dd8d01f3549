// The platform layer where the core's tests do not reach it: broken modules, a small path
// buffer, a failed rename, seeks beyond 4 GiB and before the start, heap blocks that shrink,
// fail to grow or come back as zeros, a thread's result. (Threads and locks are the parallel
// export's, also under ThreadSanitizer.)
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/platform.h"

TEST(Platform, ModulesPathsFilesAndHeapBlocks) {
  char pattern[] = "/tmp/zentrix-platform-XXXXXX", small[8] = "xxxxxxx";
  const std::string folder = mkdtemp(pattern), file = folder + "/tambrix.dll";
  std::ofstream(file) << "not a module";
  EXPECT_TRUE(!PlatformLoadModule(file.c_str()) && !PlatformLoadModule(nullptr) &&
              !PlatformModuleSymbol(nullptr, "Initialize"));
  EXPECT_EQ(PlatformProgramPath(small, sizeof small) + small[0], 0u);  // nothing, not a part
  EXPECT_EQ(PlatformRenameReplace((folder + "/~1.avi").c_str(), file.c_str()), -1);
  const int64_t far = (int64_t)5 << 30;  // in a sparse file
  FILE* stream = fopen(file.c_str(), "w+b");
  ASSERT_TRUE(stream && PlatformSeek(stream, far, SEEK_SET) == 0 && fputc('z', stream) == 'z' &&
              PlatformSeek(stream, 0, SEEK_SET) == 0);
  int64_t length = PlatformFileLength(stream), at = PlatformTell(stream);  // the stream stays
  int moved = PlatformSeek(stream, far, SEEK_CUR), z = fgetc(stream);
  int failed = PlatformSeek(stream, -1, SEEK_SET);
  EXPECT_TRUE(length == far + 1 && at == 0 && moved == 0 && z == 'z' && failed == -1 &&
              PlatformTell(stream) == far + 1);
  EXPECT_EQ(PlatformTell(nullptr) + PlatformSeek(nullptr, 0, SEEK_SET) +
                PlatformFileLength(nullptr), -3);
  EXPECT_EQ(fclose(stream) + remove(file.c_str()) + rmdir(folder.c_str()), 0);
  // Bytes cut off by a shrink come back as zeros; a failed resize gives null
  // and keeps the block; only live blocks are valid, and others are not freed.
  char* block = (char*)PlatformHeapAlloc(100);
  ASSERT_NE(block, nullptr);
  memset(block, 0xCD, 100);
  ASSERT_NE(block = (char*)PlatformHeapReAlloc((char*)PlatformHeapReAlloc(block, 10), 50), nullptr);
  alignas(16) static unsigned char notHeap[64];
  PlatformHeapFree(notHeap + 32);
  EXPECT_TRUE(!PlatformHeapValidate(nullptr) && !PlatformHeapValidate(block + 20) &&
              !PlatformHeapValidate(notHeap + 32) && !PlatformHeapAlloc(SIZE_MAX) &&
              !PlatformHeapReAlloc(block, SIZE_MAX - 4) &&
              !PlatformHeapReAlloc(block, (size_t)1 << 50));  // no such memory
  EXPECT_NE(PlatformHeapValidate(block), 0);
  EXPECT_EQ(std::string(block, 50), std::string(10, '\xCD') + std::string(40, '\0'));
  PlatformHeapFree(block);
  block = (char*)PlatformHeapAlloc(50);  // most likely the block just freed: zeros again
  EXPECT_EQ(std::string(block, 50), std::string(50, '\0'));
  PlatformHeapFree(block);
  int seven = 7;
  EXPECT_EQ(PlatformJoinThread(PlatformStartThread([](void* v) { return *(int*)v; }, &seven)), 7);
}
