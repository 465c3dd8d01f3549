// Finding records again: no place inside a payload of noise, a stretch of
// zeros or a header block is taken for records, and every record is found
// from anywhere before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "recording/record_sync.h"
#include "tests/recording/test_streams.h"

namespace {

const uint32_t NOON = 12 * 3600 * 1000;

TEST(RecordSync, TimesAreCloseWithinFiveMinutesAcrossMidnightToo) {
  const uint32_t DAY = 24 * 3600 * 1000, WINDOW = 5 * 60 * 1000;
  struct Case { uint32_t a, b; int close; } cases[] = {
    {NOON, NOON + WINDOW, 1}, {NOON + WINDOW + 1, NOON, 0}, {DAY - 1000, 2000, 1}, {DAY - 1000, DAY + 2000, 1},
    {DAY + 2000, 1000, 0},    {DAY - WINDOW, WINDOW + 1, 0}, {0, 134217727, 0}};
  for (const Case& c : cases) EXPECT_EQ(RecordTimesClose(c.a, c.b), c.close) << c.a << " " << c.b;
}

// A reader over bytes, freed with them.
struct Reader {
  explicit Reader(const Bytes& bytes) : stream(OpenBytes(bytes)) { RecordReaderInit(&reader, stream, (int64_t)bytes.size()); }
  ~Reader() { RecordReaderFree(&reader), fclose(stream); }
  FILE* stream;
  RecordReader reader;
};

Bytes Noise(std::mt19937* random, size_t size) {
  Bytes bytes(size);
  for (uint8_t& byte : bytes) byte = (uint8_t)(*random)();
  return bytes;
}

// Frames of two channels with noise for payloads, records of other kinds,
// header blocks of every layout, and a stretch of zeros written over by
// nothing (as a disk leaves them): every record is found from anywhere in the
// record before it, using the time the walk knew there.
TEST(RecordSync, EveryRecordIsFoundFromAnywhereInTheRecordBeforeIt) {
  std::mt19937 random(7);
  Bytes file;
  std::vector<size_t> starts;
  std::vector<uint32_t> times;  // 0 for header blocks
  size_t zerosAt = 0;
  for (uint32_t i = 0, time = NOON; i < 120; i++, time += 40) {
    if (i % 30 == 0) {
      HeaderBlockLayout layout = {(uint16_t)(i == 60 ? 2 : 1), 0, MakePackedTime(2009, 3, 7, 12, 0, time / 1000 % 60),
                                  1ull | 1ull << 33};
      layout.extension = i == 60;
      layout.baseCounts[i / 30] = (uint16_t)(i / 30 * 5);
      layout.extensionCounts[1] = 3;
      starts.push_back(file.size()), times.push_back(0);
      AppendHeaderBlock(&file, layout);
    }
    if (i == 45) zerosAt = file.size(), file.resize(file.size() + 5000, 0);
    const unsigned others[] = {2, 3, 5, 6, 7, 8}, kind = i % 7 == 3 ? others[i % 6] : i % 10 != 0;
    Bytes payload = Noise(&random, 40 + random() % 3000);
    starts.push_back(file.size()), times.push_back(time);
    AppendRecord(&file, MakeExtendedHeader(kind, i % 2 * 33, time, (uint32_t)payload.size()), payload);
  }
  Reader r(file);
  const int64_t size = (int64_t)file.size();
  // The zeros read as empty records without a time; the first record after
  // them is found from anywhere in them.
  size_t after = 0;
  while (starts[after] <= zerosAt) after++;
  EXPECT_EQ(FindRecords(&r.reader, (int64_t)zerosAt, size, nullptr), (int64_t)starts[after]);
  const uint32_t* near = nullptr;  // the time the walk knew: of the last timed record up to here
  for (size_t i = 0; i < starts.size(); i++) {
    SCOPED_TRACE("record " + std::to_string(i) + " at " + std::to_string(starts[i]));
    EXPECT_EQ(RecordsFollow(&r.reader, (int64_t)starts[i], 0, nullptr), 1);
    if (times[i]) near = &times[i];
    // A single record before the zeros is too little to go by: the search finds the records after them.
    if (i + 1 == starts.size()) break;
    EXPECT_EQ(FindRecords(&r.reader, (int64_t)starts[i] + 1, size, near), (int64_t)starts[i + 1 == after - 1 ? after : i + 1]);
  }
  // Nothing to find after the last record, nor in a stretch that ends early.
  EXPECT_EQ(FindRecords(&r.reader, (int64_t)starts.back() + 1, size, nullptr), -1);
  EXPECT_EQ(FindRecords(&r.reader, (int64_t)starts[5] + 1, (int64_t)starts[6], nullptr), -1);
  // A stray record whose length points exactly at a header block is no place
  // to start from, unless it is timed close to the time the walk knew.
  const size_t block = starts[std::find(times.begin() + 1, times.end(), 0u) - times.begin()];  // the second header block
  const uint32_t far = NOON + 3600 * 1000;
  RecordHeader header = MakeExtendedHeader(3, 0, far, 20);
  std::copy(header.bytes, header.bytes + RECORD_HEADER_SIZE, file.begin() + (long)block - 30);
  Reader stray(file);
  EXPECT_EQ(FindRecords(&stray.reader, (int64_t)block - 30, size, nullptr), (int64_t)block);
  EXPECT_EQ(FindRecords(&stray.reader, (int64_t)block - 30, size, &far), (int64_t)block - 30);
}

// Two channels recorded six hours apart, interleaved: every record is timed
// close to the last of its own channel, so a walk takes each without looking
// ahead. Records follow on from every record start, timed or not, and from no
// place inside the noise of a payload.
TEST(RecordSync, InterleavedChannelsHoursApartKeepTheirOwnTimes) {
  std::mt19937 random(3);
  Bytes file;
  std::vector<size_t> starts;
  KnownTimes known = {}, none = {};
  for (uint32_t i = 0; i < 12; i++) {
    RecordHeader header = MakeExtendedHeader(i > 1, i % 2, i == 5 ? 0 : NOON + (i % 2) * 6 * 3600 * 1000 + i * 40, 200);
    EXPECT_EQ(KnownTimesFit(&known, &header), i == 0 ? -1 : i == 1 || i == 5 ? 0 : 1) << i;  // -1: none known
    KnownTimesNote(&known, &header);
    starts.push_back(file.size());
    AppendRecord(&file, header, Noise(&random, 200));
  }
  Reader r(file);
  for (size_t at = 0, record = 0; at < file.size(); at++) {
    const bool start = record < starts.size() && at == starts[record];
    EXPECT_EQ(RecordsFollowOn(&r.reader, (int64_t)at, start ? &none : &known, 0), start) << at;
    record += start;
  }
}

}  // namespace
