// GrowBuffer: grows to exactly the size asked for, never shrinks, keeps its
// bytes, zero-fills what it adds, and refuses to work when it is not ready.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "export/channel_exporter.h"

namespace {

bool All(const uint8_t* data, int32_t from, int32_t to, uint8_t value) {
  return std::all_of(data + from, data + to, [value](uint8_t b) { return b == value; });
}

TEST(GrowBufferTest, GrowsOnlyKeepsItsBytesAndZeroFills) {
  GrowBuffer buffer;
  memset(&buffer, 0, sizeof buffer);
  EXPECT_EQ(GrowBufferEnsure(&buffer, 1), 0);  // not initialised
  memset(&buffer, 0xAB, sizeof buffer);        // Init must not rely on zeroed memory
  GrowBufferInit(&buffer);
  ASSERT_EQ(GrowBufferEnsure(&buffer, 64), 1);
  EXPECT_TRUE(All(buffer.data, 0, 64, 0));
  memset(buffer.data, 0x5A, 64);
  uint8_t* block = buffer.data;
  for (int32_t smaller : {10, 64, 0, -5}) EXPECT_EQ(GrowBufferEnsure(&buffer, smaller), 1);
  EXPECT_TRUE(buffer.capacity == 64 && buffer.data == block);
  ASSERT_EQ(GrowBufferEnsure(&buffer, 100000), 1);
  EXPECT_EQ(buffer.capacity, 100000);
  EXPECT_TRUE(All(buffer.data, 0, 64, 0x5A) && All(buffer.data, 64, 100000, 0));
  GrowBufferFree(&buffer);
  EXPECT_TRUE(buffer.capacity == 0 && buffer.data == nullptr);
  EXPECT_EQ(GrowBufferEnsure(&buffer, 1), 0);  // freed: not ready
  GrowBufferFree(&buffer);                     // a second free does nothing
}

TEST(GrowBufferTest, TwoThreadsGrowingOneBufferEndAtTheLargerSize) {
  static GrowBuffer buffer;
  GrowBufferInit(&buffer);
  auto growMany = [](void* step) {  // 200 steps of 7 or 11 bytes
    for (int32_t size = *(int32_t*)step; size <= 200 * *(int32_t*)step; size += *(int32_t*)step)
      if (GrowBufferEnsure(&buffer, size) != 1) return 1;
    return 0;
  };
  int32_t steps[] = {7, 11};
  PlatformThread first = PlatformStartThread(growMany, &steps[0]);
  PlatformThread second = PlatformStartThread(growMany, &steps[1]);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(PlatformJoinThread(first) + PlatformJoinThread(second), 0);
  EXPECT_EQ(buffer.capacity, 2200);
  EXPECT_TRUE(All(buffer.data, 0, 2200, 0));
  GrowBufferFree(&buffer);
}

}  // namespace
