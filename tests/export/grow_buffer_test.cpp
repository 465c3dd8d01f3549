// GrowBuffer: grows to exactly the size asked for, never shrinks, keeps its
// bytes, and refuses to work when it is not ready.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "export/channel_exporter.h"

namespace {

bool AllZero(const uint8_t* data, int32_t from, int32_t to) {
  return std::all_of(data + from, data + to, [](uint8_t b) { return b == 0; });
}

TEST(GrowBufferTest, StartsEmptyAndGrowsToExactlyTheSizeAskedFor) {
  GrowBuffer buffer;
  memset(&buffer, 0xAB, sizeof buffer);  // Init must not rely on zeroed memory
  GrowBufferInit(&buffer);
  EXPECT_EQ(buffer.ready, 1);
  EXPECT_EQ(buffer.capacity, 0);
  EXPECT_EQ(buffer.data, nullptr);

  ASSERT_EQ(GrowBufferEnsure(&buffer, 100), 1);
  EXPECT_EQ(buffer.capacity, 100);
  ASSERT_NE(buffer.data, nullptr);
  EXPECT_TRUE(AllZero(buffer.data, 0, 100));
  GrowBufferFree(&buffer);
}

TEST(GrowBufferTest, NeverShrinksAndKeepsItsBytesWhenItGrows) {
  GrowBuffer buffer;
  GrowBufferInit(&buffer);
  ASSERT_EQ(GrowBufferEnsure(&buffer, 64), 1);
  memset(buffer.data, 0x5A, 64);
  uint8_t* block = buffer.data;

  EXPECT_EQ(GrowBufferEnsure(&buffer, 10), 1);
  EXPECT_EQ(GrowBufferEnsure(&buffer, 64), 1);
  EXPECT_EQ(GrowBufferEnsure(&buffer, 0), 1);
  EXPECT_EQ(GrowBufferEnsure(&buffer, -5), 1);
  EXPECT_EQ(buffer.capacity, 64);
  EXPECT_EQ(buffer.data, block);

  ASSERT_EQ(GrowBufferEnsure(&buffer, 100000), 1);
  EXPECT_EQ(buffer.capacity, 100000);
  for (int i = 0; i < 64; i++) ASSERT_EQ(buffer.data[i], 0x5A) << i;
  EXPECT_TRUE(AllZero(buffer.data, 64, 100000));
  GrowBufferFree(&buffer);
}

TEST(GrowBufferTest, ABufferThatIsNotReadyRefusesToGrow) {
  GrowBuffer buffer;
  memset(&buffer, 0, sizeof buffer);
  EXPECT_EQ(GrowBufferEnsure(&buffer, 1), 0);
  EXPECT_EQ(buffer.data, nullptr);
  GrowBufferFree(&buffer);  // left alone

  GrowBufferInit(&buffer);
  ASSERT_EQ(GrowBufferEnsure(&buffer, 32), 1);
  GrowBufferFree(&buffer);
  EXPECT_EQ(buffer.ready, 0);
  EXPECT_EQ(buffer.capacity, 0);
  EXPECT_EQ(buffer.data, nullptr);
  EXPECT_EQ(GrowBufferEnsure(&buffer, 1), 0);
  GrowBufferFree(&buffer);  // a second free does nothing

  // Ready again after a new Init.
  GrowBufferInit(&buffer);
  EXPECT_EQ(GrowBufferEnsure(&buffer, 8), 1);
  GrowBufferFree(&buffer);
}

struct GrowJob {
  GrowBuffer* buffer;
  int32_t step;
  int failures;
};

int GrowMany(void* argument) {
  GrowJob* job = (GrowJob*)argument;
  for (int32_t size = job->step; size <= 200 * job->step; size += job->step)
    if (GrowBufferEnsure(job->buffer, size) != 1) job->failures++;
  return 0;
}

TEST(GrowBufferTest, TwoThreadsGrowingOneBufferEndAtTheLargerSize) {
  GrowBuffer buffer;
  GrowBufferInit(&buffer);
  GrowJob a = {&buffer, 7, 0};
  GrowJob b = {&buffer, 11, 0};
  PlatformThread first = PlatformStartThread(GrowMany, &a);
  PlatformThread second = PlatformStartThread(GrowMany, &b);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  PlatformJoinThread(first);
  PlatformJoinThread(second);
  EXPECT_EQ(a.failures + b.failures, 0);
  EXPECT_EQ(buffer.capacity, 2200);
  EXPECT_TRUE(AllZero(buffer.data, 0, 2200));
  GrowBufferFree(&buffer);
}

}  // namespace
