// GrowBuffer: grows to exactly the size asked for, never shrinks, keeps its
// bytes, zero-fills what it adds, and refuses to work when it is not ready.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "export/channel_exporter.h"

namespace {

bool AllZero(const uint8_t* data, int32_t from, int32_t to) {
  return std::all_of(data + from, data + to, [](uint8_t b) { return b == 0; });
}

TEST(GrowBufferTest, GrowsOnlyKeepsItsBytesAndZeroFills) {
  GrowBuffer buffer;
  memset(&buffer, 0xAB, sizeof buffer);  // Init must not rely on zeroed memory
  GrowBufferInit(&buffer);
  EXPECT_EQ(buffer.capacity, 0);
  EXPECT_EQ(buffer.data, nullptr);
  ASSERT_EQ(GrowBufferEnsure(&buffer, 64), 1);
  EXPECT_TRUE(AllZero(buffer.data, 0, 64));
  memset(buffer.data, 0x5A, 64);
  uint8_t* block = buffer.data;
  for (int32_t smaller : {10, 64, 0, -5}) EXPECT_EQ(GrowBufferEnsure(&buffer, smaller), 1);
  EXPECT_EQ(buffer.capacity, 64);
  EXPECT_EQ(buffer.data, block);

  ASSERT_EQ(GrowBufferEnsure(&buffer, 100000), 1);
  EXPECT_EQ(buffer.capacity, 100000);
  EXPECT_TRUE(std::all_of(buffer.data, buffer.data + 64, [](uint8_t b) { return b == 0x5A; }));
  EXPECT_TRUE(AllZero(buffer.data, 64, 100000));
  GrowBufferFree(&buffer);
  EXPECT_EQ(buffer.capacity, 0);
  EXPECT_EQ(buffer.data, nullptr);
}

TEST(GrowBufferTest, ABufferThatIsNotReadyRefusesToGrow) {
  GrowBuffer buffer;
  memset(&buffer, 0, sizeof buffer);
  EXPECT_EQ(GrowBufferEnsure(&buffer, 1), 0);
  EXPECT_EQ(buffer.data, nullptr);
  GrowBufferInit(&buffer);
  ASSERT_EQ(GrowBufferEnsure(&buffer, 32), 1);
  GrowBufferFree(&buffer);
  EXPECT_EQ(GrowBufferEnsure(&buffer, 1), 0);  // freed: not ready
  GrowBufferFree(&buffer);                     // a second free does nothing
}

TEST(GrowBufferTest, TwoThreadsGrowingOneBufferEndAtTheLargerSize) {
  GrowBuffer buffer;
  GrowBufferInit(&buffer);
  static GrowBuffer* shared;
  shared = &buffer;
  auto growMany = [](void* step) {  // 200 steps of 7 or 11 bytes
    for (int32_t size = *(int32_t*)step; size <= 200 * *(int32_t*)step; size += *(int32_t*)step)
      if (GrowBufferEnsure(shared, size) != 1) return 1;
    return 0;
  };
  int32_t steps[] = {7, 11};
  PlatformThread first = PlatformStartThread(growMany, &steps[0]);
  PlatformThread second = PlatformStartThread(growMany, &steps[1]);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(PlatformJoinThread(first) + PlatformJoinThread(second), 0);
  EXPECT_EQ(buffer.capacity, 2200);
  EXPECT_TRUE(AllZero(buffer.data, 0, 2200));
  GrowBufferFree(&buffer);
}

}  // namespace
