// Finding records again: no place inside a payload of noise, a stretch of
// zeros or a header block is taken for records, and every record is found
// from anywhere before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "recording/record_sync.h"
#include "tests/recording/test_streams.h"

namespace {

const uint32_t NOON = 12 * 3600 * 1000;

TEST(RecordSyncTest, TimesAreCloseWithinFiveMinutesAcrossMidnightToo) {
  const uint32_t DAY = 24 * 3600 * 1000, WINDOW = 5 * 60 * 1000;
  struct Case {
    uint32_t a, b;
    int close;
  } cases[] = {{NOON, NOON + WINDOW, 1},  {NOON + WINDOW + 1, NOON, 0},
               {DAY - 1000, 2000, 1},     {DAY - 1000, DAY + 2000, 1},
               {DAY + 2000, 1000, 0},     {DAY - WINDOW, WINDOW + 1, 0},
               {0, 134217727, 0}};
  for (const Case& c : cases) EXPECT_EQ(RecordTimesClose(c.a, c.b), c.close) << c.a << " " << c.b;
}

// Frames of two channels with noise for payloads, records of other kinds,
// header blocks of every layout, and a stretch of zeros written over by
// nothing (as a disk leaves them). Notes where each record starts and its time.
struct NoisyRecording {
  Bytes file;
  std::vector<size_t> starts;
  std::vector<uint32_t> times;  // 0 for header blocks
  size_t zerosAt = 0;

  NoisyRecording() {
    std::mt19937 random(7);
    uint32_t time = NOON;
    for (int i = 0; i < 120; i++) {
      if (i % 30 == 0) Block(i / 30, time);
      if (i == 45) {
        zerosAt = file.size();
        file.resize(file.size() + 5000, 0);
      }
      Bytes payload(40 + random() % 3000);
      for (uint8_t& byte : payload) byte = (uint8_t)random();
      const unsigned others[] = {2, 3, 5, 6, 7, 8};
      unsigned kind = i % 7 == 3 ? others[i % 6] : i % 10 != 0;
      Note(time);
      AppendRecord(&file, MakeExtendedHeader(kind, i % 2 * 33, time, (uint32_t)payload.size()),
                   payload);
      time += 40;
    }
  }
  void Block(int layout, uint32_t time) {
    HeaderBlockLayout block;
    block.version = layout == 2 ? 2 : 1;
    block.extension = layout == 2;
    block.blockTime = MakePackedTime(2009, 3, 7, 12, 0, time / 1000 % 60);
    block.channels = 1ull | (1ull << 33);
    block.baseCounts[layout] = (uint16_t)(layout * 5);
    block.extensionCounts[1] = 3;
    Note(0);
    AppendHeaderBlock(&file, block);
  }
  void Note(uint32_t time) {
    starts.push_back(file.size());
    times.push_back(time);
  }
};

TEST(RecordSyncTest, EveryRecordIsFoundFromAnywhereInTheRecordBeforeIt) {
  NoisyRecording r;
  FILE* stream = OpenBytes(r.file);
  ASSERT_NE(stream, nullptr);
  RecordReader reader;
  RecordReaderInit(&reader, stream, (int64_t)r.file.size());
  // The zeros read as empty records without a time; the first record after
  // them is found from anywhere in them.
  size_t after = 0;
  while (r.starts[after] <= r.zerosAt) after++;
  EXPECT_EQ(FindRecords(&reader, (int64_t)r.zerosAt, (int64_t)r.file.size(), nullptr),
            (int64_t)r.starts[after]);
  for (size_t i = 0; i < r.starts.size(); i++) {
    SCOPED_TRACE("record " + std::to_string(i) + " at " + std::to_string(r.starts[i]));
    EXPECT_EQ(RecordsFollow(&reader, (int64_t)r.starts[i], 0, nullptr), 1);
    if (i + 1 == r.starts.size()) break;
    // The time the walk knew: of the last timed record at or before this one.
    const uint32_t* near = nullptr;
    for (size_t k = 0; k <= i; k++)
      if (r.times[k]) near = &r.times[k];
    // A single record before the zeros is too little to go by: the search
    // finds the records after them.
    size_t next = i + 1 == after - 1 ? after : i + 1;
    EXPECT_EQ(FindRecords(&reader, (int64_t)r.starts[i] + 1, (int64_t)r.file.size(), near),
              (int64_t)r.starts[next]);
  }
  // A stray record whose length points exactly at a header block is no place
  // to start from, unless it is timed close to the time the walk knew.
  size_t block = 0;
  while (r.times[block] != 0 || block == 0) block++;
  Bytes stray = r.file;
  const uint32_t far = NOON + 3600 * 1000;
  RecordHeader header = MakeExtendedHeader(3, 0, far, 20);
  std::copy(header.bytes, header.bytes + RECORD_HEADER_SIZE, stray.begin() + (long)r.starts[block] - 30);
  FILE* strayStream = OpenBytes(stray);
  ASSERT_NE(strayStream, nullptr);
  RecordReader strayReader;
  RecordReaderInit(&strayReader, strayStream, (int64_t)stray.size());
  int64_t from = (int64_t)r.starts[block] - 30;
  EXPECT_EQ(FindRecords(&strayReader, from, (int64_t)stray.size(), nullptr), (int64_t)r.starts[block]);
  EXPECT_EQ(FindRecords(&strayReader, from, (int64_t)stray.size(), &far), from);
  RecordReaderFree(&strayReader);
  fclose(strayStream);
  // Nothing to find after the last record, nor in a stretch that ends early.
  EXPECT_EQ(FindRecords(&reader, (int64_t)r.starts.back() + 1, (int64_t)r.file.size(), nullptr),
            -1);
  EXPECT_EQ(FindRecords(&reader, (int64_t)r.starts[5] + 1, (int64_t)r.starts[6], nullptr), -1);
  RecordReaderFree(&reader);
  fclose(stream);
}

// A recording with hours between its records, and a record of a kind that
// ends a walk timed far from them: records follow from every one, untimed.
TEST(RecordSyncTest, RecordsFarApartInTimeStillFollowOneAnother) {
  Bytes file;
  std::vector<size_t> starts;
  for (uint32_t hour = 0; hour < 6; hour++) {
    starts.push_back(file.size());
    AppendRecord(&file, MakeExtendedHeader(hour == 5 ? 9 : 0, 0, hour * 3600000 + 1, 20),
                 Bytes(20, (uint8_t)hour));
  }
  FILE* stream = OpenBytes(file);
  ASSERT_NE(stream, nullptr);
  RecordReader reader;
  RecordReaderInit(&reader, stream, (int64_t)file.size());
  for (size_t i = 0; i + 1 < starts.size(); i++) EXPECT_EQ(RecordsFollow(&reader, starts[i], 0, nullptr), 1);
  // Timed, they do not: no search starts there.
  EXPECT_EQ(FindRecords(&reader, 0, (int64_t)file.size(), nullptr), -1);
  RecordReaderFree(&reader);
  fclose(stream);
}

// Two channels recorded six hours apart, interleaved: every record is timed
// close to the last of its own channel, so a walk takes each without looking
// ahead. Records follow on from every record start, timed or not, and from no
// place inside the noise of a payload.
TEST(RecordSyncTest, InterleavedChannelsHoursApartKeepTheirOwnTimes) {
  std::mt19937 random(3);
  Bytes file;
  std::vector<size_t> starts;
  KnownTimes known = {}, none = {};
  for (uint32_t i = 0; i < 12; i++) {
    uint32_t time = NOON + (i % 2) * 6 * 3600 * 1000 + i * 40;
    RecordHeader header = MakeExtendedHeader(i > 1, i % 2, i == 5 ? 0 : time, 200);
    if (i >= 2 && i != 5) {
      EXPECT_EQ(KnownTimesFit(&known, &header), 1) << i;
    }
    KnownTimesNote(&known, &header);
    starts.push_back(file.size());
    Bytes payload(200);
    for (uint8_t& byte : payload) byte = (uint8_t)random();
    AppendRecord(&file, header, payload);
  }
  FILE* stream = OpenBytes(file);
  ASSERT_NE(stream, nullptr);
  RecordReader reader;
  RecordReaderInit(&reader, stream, (int64_t)file.size());
  for (size_t at = 0, record = 0; at < file.size(); at++) {
    bool start = record < starts.size() && at == starts[record];
    EXPECT_EQ(RecordsFollowOn(&reader, (int64_t)at, start ? &none : &known, 0), start) << at;
    record += start;
  }
  RecordReaderFree(&reader);
  fclose(stream);
}

}  // namespace
