// The reading and export paths under damage and at scale: recordings cut and
// damaged at every byte, output folders that fill up at every size, all 64
// channels at once, recordings beyond 4 GiB. Both walks always end, every
// file with a final name is a whole AVI file, and an unfinished one never
// gets one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "export/export_run.h"
#include "recording/channel_scan.h"
#include "shell/progress.h"
#include "tests/export/export_test_support.h"

namespace {

const PackedTime MARCH_7_2009 = MakePackedTime(2009, 3, 7, 8, 0, 0);
const PackedTime MARCH_8_2009 = MakePackedTime(2009, 3, 8, 0, 0, 0);
const ChannelMask SAMPLE_CHANNELS = (1ull << 0) | (1ull << 2) | (1ull << 40);

// Something of everything the walks meet: header blocks of the short, long
// and extended layouts, extended frames of channels 1, 3 and 41, a size
// change, frames before any key frame of their size, records of other kinds
// and a plain frame whose payload is no picture of its size.
struct SampleRecording {
  RecordingBuilder recording;
  std::vector<Bytes> pictures;

  SampleRecording() {
    RecordingBuilder& r = recording;
    r.HeaderBlock(MARCH_7_2009, (1ull << 0) | (1ull << 2), 1);
    Frame(0, 0, 8, 8, TimeOfDay(8, 5, 0));
    Frame(0, 2, 4, 4, TimeOfDay(8, 5, 0));
    r.Record(MakePlainHeader(3, 0, 0, 1, TimeOfDay(8, 5, 0), 5), Bytes(5, 0x33));
    Frame(1, 0, 8, 8, TimeOfDay(8, 5, 1));
    r.HeaderBlock(MARCH_7_2009, SAMPLE_CHANNELS, 2);
    Frame(1, 0, 4, 4, TimeOfDay(8, 5, 2));  // new size, no key frame yet: dropped
    Frame(0, 0, 4, 4, TimeOfDay(8, 5, 2));
    Frame(1, 2, 4, 4, TimeOfDay(8, 5, 2));
    Frame(0, 40, 8, 8, TimeOfDay(8, 5, 2));
    r.Record(MakePlainHeader(2, 0, 0, 1, TimeOfDay(8, 5, 3), 8), Bytes(8, 0x22));
    r.PlainFrame(0, 0, 0, 1, TimeOfDay(8, 5, 3), Bytes(16, 0x11));
    Frame(0, 0, 4, 4, TimeOfDay(8, 5, 3));
    HeaderBlockLayout entries;
    entries.version = 1;
    entries.blockTime = MARCH_8_2009;
    entries.channels = (1ull << 0) | (1ull << 2);
    entries.baseCounts[0] = 2;
    entries.baseCounts[5] = 1;
    r.Block(entries);
    Frame(1, 0, 4, 4, TimeOfDay(0, 0, 1));
    Frame(1, 40, 8, 8, TimeOfDay(0, 0, 1));
  }
  void Frame(unsigned kind, unsigned channel, unsigned width, unsigned height, uint32_t timeMs) {
    pictures.push_back(MakePicture((int)width, (int)height, (unsigned)pictures.size() + 1));
    recording.ExtendedFrame(kind, channel, 2, width, height, timeMs, pictures.back());
  }
};

// One scan and one export of a recording file, as zentrix-cli runs them.
class RobustnessTest : public ExportFixture {
 protected:
  ScratchFolder input;
  std::string path = input.File("recording.dat");

  int Scan() {
    FILE* stream = fopen(path.c_str(), "rb");
    if (!stream) return -100;
    shell.rows.clear();
    int result = ScanRecordingFile(stream, context);
    fclose(stream);
    return result;
  }
  int Export(ChannelMask mask) {
    FILE* stream = fopen(path.c_str(), "rb");
    if (!stream) return -100;
    context->channelMask = mask;
    int result = ExportRecordingFile(stream, context);
    fclose(stream);
    for (ChannelExporter* exporter : context->exporters) EXPECT_EQ(exporter, nullptr);
    return result;
  }
  // Scan and export of bytes; the scan's rows must be channels it can name.
  void Run(const Bytes& file) {
    ASSERT_EQ(WriteFileBytes(path.c_str(), file), 0);
    ASSERT_EQ(Scan(), 0);
    ASSERT_LE(shell.rows.size(), (size_t)CHANNEL_COUNT);
    for (const HeadlessRow& row : shell.rows) {
      ASSERT_TRUE(row.itemData >= 0 && row.itemData < CHANNEL_COUNT);
      ASSERT_EQ(row.columns[0], "Channel " + std::to_string(row.itemData + 1));
    }
    ASSERT_EQ(Export(SAMPLE_CHANNELS), 0);
  }
};

// What an export left in the output folder; the folder is emptied for the
// next run.
struct Output {
  NameList named;      // Ch*.avi
  NameList temporary;  // ~N.avi
  std::vector<AviContents> files;      // of the named ones, in order
  size_t frames = 0;
};

Output Collect(const ScratchFolder& out, bool contiguous = true) {
  Output output;
  for (const std::string& name : out.Names()) {
    std::string file = out.File(name);
    if (name.compare(0, 2, "Ch") == 0) {
      output.named.push_back(name);
      output.files.push_back(ReadAvi(file, contiguous));
      output.frames += output.files.back().frames.size();
    } else if (name[0] == '~') {
      output.temporary.push_back(name);
    } else {
      ADD_FAILURE() << "unexpected file " << name;
    }
    remove(file.c_str());
  }
  return output;
}

// Every named file reads back whole; frames, when known, are pictures of the
// recording.
void ExpectWholeFiles(const Output& output, const std::vector<Bytes>* pictures) {
  for (size_t i = 0; i < output.files.size(); i++) {
    const AviContents& avi = output.files[i];
    ASSERT_TRUE(avi.ok) << output.named[i] << ": " << avi.error;
    EXPECT_EQ(avi.totalFrames, avi.frames.size()) << output.named[i];
    EXPECT_EQ(avi.length, avi.frames.size()) << output.named[i];
    if (!pictures) continue;
    for (const AviFrame& frame : avi.frames) {
      bool known = false;
      for (const Bytes& picture : *pictures) known = known || frame.data == picture;
      EXPECT_TRUE(known) << output.named[i] << " holds a frame the recording does not";
    }
  }
}

// Short reads at every place: the recording ends after every byte count. A
// longer piece never gives fewer frames; the whole one gives all nine. Its
// plain key frame opens a 320 x 240 segment that none of its frames reach:
// closed empty by the next size change, it leaves no file and no number.
TEST_F(RobustnessTest, ARecordingCutAnywhereExportsTheWholeFramesBeforeTheCut) {
  SampleRecording sample;
  const Bytes& whole = sample.recording.file;
  Output output;
  size_t lastFrames = 0;
  for (size_t length = 0; length <= whole.size(); length++) {
    SCOPED_TRACE("cut after " + std::to_string(length) + " bytes");
    Run(Bytes(whole.begin(), whole.begin() + (long)length));
    EXPECT_EQ(context->failedSegments, 0);
    output = Collect(out);
    EXPECT_TRUE(output.temporary.empty());
    ExpectWholeFiles(output, &sample.pictures);
    EXPECT_GE(output.frames, lastFrames);
    lastFrames = output.frames;
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(lastFrames, 9u);
  EXPECT_EQ(output.named, (NameList{"Ch1_20090307_080500_20090307_080501.avi",
                                    "Ch1_20090307_080502_20090307_080502(2).avi",
                                    "Ch1_20090307_080503_20090308_000001(3).avi",
                                    "Ch3_20090307_080500_20090307_080502.avi",
                                    "Ch41_20090307_080502_20090308_000001.avi"}));
}

// Damage at every place: each byte in turn with all its bits flipped, then
// with its lowest bit flipped.
TEST_F(RobustnessTest, ARecordingDamagedAnywhereEndsBothWalksAndLeavesOnlyWholeFiles) {
  SampleRecording sample;
  const Bytes& whole = sample.recording.file;
  for (uint8_t mask : {0xFF, 0x01}) {
    for (size_t at = 0; at < whole.size(); at++) {
      SCOPED_TRACE("byte " + std::to_string(at) + " ^ " + std::to_string(mask));
      Bytes damaged = whole;
      damaged[at] ^= mask;
      Run(damaged);
      EXPECT_EQ(context->failedSegments, 0);
      Output output = Collect(out);
      EXPECT_TRUE(output.temporary.empty());
      // A damaged picture is still a picture of its size: not checked.
      ExpectWholeFiles(output, nullptr);
      if (HasFatalFailure()) return;
    }
  }
}

// Damage to the framing of the records: garbage between two records, a
// record that lost its last bytes, a long header block whose entry counts
// became absurd. The walk finds the records again after the damage: only the
// damaged record is lost, and every file is whole.
TEST_F(RobustnessTest, DamagedFramingCostsOnlyTheDamagedRecord) {
  SampleRecording sample;
  const Bytes& whole = sample.recording.file;
  const std::vector<size_t>& starts = sample.recording.starts;
  ASSERT_EQ(starts.size(), 16u);
  Run(whole);
  const Output clean = Collect(out);
  ASSERT_EQ(clean.frames, 9u);
  Bytes random(37);
  for (size_t i = 0; i < random.size(); i++) random[i] = (uint8_t)(i * 151 + 7);
  // Garbage that reads as a record timed far from the frames before it, an
  // empty record of a kind that ends the walk, and bytes that are no record:
  // the walk is out of step there and must not end.
  Bytes strayEnd;
  AppendRecord(&strayEnd, MakePlainHeader(3, 5, 0, 1, TimeOfDay(20, 0, 0), 4), Bytes(4, 3));
  AppendRecord(&strayEnd, MakePlainHeader(15, 0, 0, 0, 0, 0), Bytes());
  strayEnd.insert(strayEnd.end(), 16, 0xFF);

  struct Damage {
    std::string what;
    Bytes file;
    bool frameLost;  // the damaged record is a frame that may be lost
  };
  std::vector<Damage> damages;
  for (size_t r = 0; r < starts.size(); r++) {
    size_t start = starts[r], end = r + 1 < starts.size() ? starts[r + 1] : whole.size();
    for (const Bytes& noise : {Bytes(16, 0x00), Bytes(16, 0xFF), Bytes(16, 0x5A), random, strayEnd}) {
      if (noise == strayEnd && r < 2) continue;  // no frame before it yet
      Bytes file(whole.begin(), whole.begin() + (long)start);
      file.insert(file.end(), noise.begin(), noise.end());
      file.insert(file.end(), whole.begin() + (long)start, whole.end());
      damages.push_back({std::to_string(noise.size()) + " bytes of " + std::to_string(noise[1]) +
                             " before record " + std::to_string(r),
                         file, false});
    }
    unsigned kind = (whole[start + 8] >> 2) & 15;
    if (end - start >= 18) {
      Bytes file(whole.begin(), whole.begin() + (long)(end - 8));
      file.insert(file.end(), whole.begin() + (long)end, whole.end());
      damages.push_back({"record " + std::to_string(r) + " cut by 8 bytes", file, kind <= 1});
    }
    if (kind == RECORD_HEADER_BLOCK && end - start > 178) {
      Bytes file = whole;
      for (size_t at = start + 10 + 36; at < start + 10 + 164; at++) file[at] = 0xFF;
      damages.push_back({"record " + std::to_string(r) + " with 64 counts of 65,535", file,
                         false});
    }
  }
  ASSERT_EQ(damages.size(), 16u * 5 - 2 + 15 + 2);
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    Run(damage.file);
    Output output = Collect(out);
    EXPECT_TRUE(output.temporary.empty());
    // A frame cut short may still be decoded, with the bytes that followed it.
    ExpectWholeFiles(output, damage.frameLost ? nullptr : &sample.pictures);
    EXPECT_GT(context->damagedPlaces, 0);
    if (damage.frameLost) {
      EXPECT_GE(output.frames, clean.frames - 1);
    } else {
      EXPECT_EQ(output.named, clean.named);
      EXPECT_EQ(output.frames, clean.frames);
    }
    if (HasFatalFailure()) return;
  }
}

// An undamaged recording is walked as written, however its records are
// timed: frames hours apart are all exported, and a record of a kind that
// ends the walk ends it, timed far from the rest or not timed at all.
TEST_F(RobustnessTest, AnUndamagedRecordingIsWalkedAsWrittenWhateverItsTimes) {
  for (uint32_t endTime : {0u, TimeOfDay(20, 0, 0)}) {
    RecordingBuilder r;
    std::vector<Bytes> pictures;
    r.HeaderBlock(MARCH_7_2009, 1);
    for (unsigned hour = 0; hour < 5; hour++) {
      pictures.push_back(MakePicture(8, 8, hour));
      r.ExtendedFrame(hour > 0, 0, 2, 8, 8, TimeOfDay(8 + 2 * hour, 0, 0), pictures.back());
    }
    r.Record(MakePlainHeader(9, 0, 0, 0, endTime, 4), Bytes(4, 9));
    for (unsigned second = 0; second < 4; second++)
      r.ExtendedFrame(1, 0, 2, 8, 8, TimeOfDay(16, 0, second), MakePicture(8, 8, 9));
    ASSERT_EQ(WriteFileBytes(path.c_str(), r.file), 0);
    ASSERT_EQ(Export(1), 0);
    EXPECT_EQ(context->damagedPlaces, 0);
    Output output = Collect(out);
    EXPECT_EQ(output.named, (NameList{"Ch1_20090307_080000_20090307_160000.avi"}));
    ExpectWholeFiles(output, &pictures);
    EXPECT_EQ(output.frames, 5u);
  }
}

// A full disk at every size: the files that get a final name are whole, the
// others keep their temporary names and are counted.
TEST_F(RobustnessTest, AnOutputFolderThatFillsUpNeverGetsABrokenFileUnderAFinalName) {
  SampleRecording sample;
  ASSERT_EQ(WriteFileBytes(path.c_str(), sample.recording.file), 0);
  ASSERT_EQ(Export(SAMPLE_CHANNELS), 0);
  Output clean = Collect(out);
  ASSERT_EQ(clean.named.size(), 5u);
  uint64_t largest = 0;
  for (const AviContents& avi : clean.files) largest = std::max(largest, avi.fileSize);

  int fullRuns = 0;
  for (uint64_t limit = 0; limit <= largest + 64; limit += 7) {
    SCOPED_TRACE("files limited to " + std::to_string(limit) + " bytes");
    int result;
    {
      FileSizeLimit full(limit);
      result = Export(SAMPLE_CHANNELS);
    }
    EXPECT_EQ(result, 0);
    Output output = Collect(out, false);
    ExpectWholeFiles(output, &sample.pictures);
    EXPECT_LE(output.temporary.size(), (size_t)context->failedSegments);
    if (context->failedSegments + context->uncreatedSegments == 0) {
      EXPECT_EQ(output.named, clean.named);
      EXPECT_EQ(output.frames, clean.frames);
    } else {
      fullRuns++;
      EXPECT_LT(output.frames, clean.frames);
    }
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(fullRuns, 10);
}

TEST_F(RobustnessTest, AllSixtyFourChannelsAtOnce) {
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, ~0ull, 2);
  std::vector<Bytes> pictures;
  for (unsigned second = 0; second < 2; second++)
    for (unsigned channel = 0; channel < 64; channel++) {
      pictures.push_back(MakePicture(8, 8, channel * 2 + second));
      r.ExtendedFrame(second == 0 ? 0 : 1, channel, 2, 8, 8, TimeOfDay(8, 5, second),
                      pictures.back());
    }
  ASSERT_EQ(WriteFileBytes(path.c_str(), r.file), 0);
  ASSERT_EQ(Scan(), 0);
  EXPECT_EQ(shell.rows.size(), 64u);
  ASSERT_EQ(Export(~0ull), 0);
  EXPECT_EQ(context->failedSegments, 0);
  NameList names;
  for (int channel = 1; channel <= 64; channel++)
    names.push_back("Ch" + std::to_string(channel) + "_20090307_080500_20090307_080501.avi");
  std::sort(names.begin(), names.end());
  Output output = Collect(out);
  EXPECT_EQ(output.named, names);
  ExpectWholeFiles(output, &pictures);
  EXPECT_EQ(output.frames, 128u);
}

// A long header block whose entries carry the walk 16,776,960 bytes on.
void AppendLongBlock(FILE* file, PackedTime time, ChannelMask channels) {
  HeaderBlockLayout layout;
  layout.version = 1;
  layout.blockTime = time;
  layout.channels = channels;
  Bytes base = MakeHeaderBlockPayload(layout);
  ASSERT_EQ(base.size(), 168u);
  for (size_t at = 36; at < 164; at++) base[at] = 0xFF;  // 64 counts of 65,535
  Bytes record;
  AppendRecord(&record, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, 169), base);
  ASSERT_EQ(fwrite(record.data(), 1, record.size(), file), record.size());
  ASSERT_EQ(PlatformSeek(file, 64 * 65535 * 4, SEEK_CUR), 0);
}

// A sparse recording of 4.3 GB: frames at its start and beyond 4 GiB, header
// blocks in between.
TEST_F(RobustnessTest, ARecordingBeyondFourGigabytesIsExportedToItsEnd) {
  std::vector<Bytes> pictures = {MakePicture(8, 8, 1), MakePicture(8, 8, 2)};
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  RecordingBuilder start, endBlock, endFrame;
  auto write = [file](const RecordingBuilder& r) {
    ASSERT_EQ(fwrite(r.file.data(), 1, r.file.size(), file), r.file.size());
  };
  start.HeaderBlock(MARCH_7_2009, 1);
  start.ExtendedFrame(0, 0, 2, 8, 8, TimeOfDay(8, 5, 0), pictures[0]);
  write(start);
  while (PlatformTell(file) < (4ll << 30)) {
    AppendLongBlock(file, MARCH_7_2009, 1);
    if (HasFatalFailure()) return;
  }
  endBlock.HeaderBlock(MARCH_8_2009, 1);
  write(endBlock);
  const uint64_t lastBlockEnd = (uint64_t)PlatformTell(file);
  endFrame.ExtendedFrame(1, 0, 2, 8, 8, TimeOfDay(8, 5, 1), pictures[1]);
  write(endFrame);
  const uint64_t total = (uint64_t)PlatformTell(file);
  ASSERT_EQ(fclose(file), 0);
  ASSERT_GT(total, 1ull << 32);

  std::vector<std::string> texts;
  shell.user = &texts;
  shell.onProgress = [](HeadlessShell* s, void* user) {
    auto* seen = (std::vector<std::string>*)user;
    std::lock_guard<std::mutex> hold(s->lock);
    if (seen->empty() || seen->back() != s->progressText) seen->push_back(s->progressText);
    // The bar never leaves its signed 32-bit range, nor passes its end.
    EXPECT_LE(s->progressHigh, 2147483647u);
    EXPECT_LE(s->progressPosition, s->progressHigh);
  };

  ASSERT_EQ(Scan(), 0);
  EXPECT_EQ(shell.rows.size(), 1u);
  EXPECT_EQ(shell.rows[0].columns[2], "2009/3/8 0:0:0");

  texts.clear();
  ASSERT_EQ(Export(1), 0);
  // One report a header block, each with the real byte counts; the bar
  // counts units of 4 bytes.
  char size[THOUSANDS_SIZE], last[THOUSANDS_SIZE];
  FormatThousands(total, size);
  FormatThousands(lastBlockEnd, last);
  ASSERT_GE(texts.size(), 258u);
  EXPECT_EQ(texts[texts.size() - 2],
            std::string("Progress: ") + last + "/" + size + " bytes (99 %)");
  EXPECT_EQ(texts.back(), std::string("Progress: ") + size + "/" + size + " bytes (100 %)");
  EXPECT_EQ(shell.progressHigh, (uint32_t)(total >> 2));
  EXPECT_EQ(shell.progressPosition, shell.progressHigh);

  Output output = Collect(out);
  EXPECT_EQ(output.named, (NameList{"Ch1_20090307_080500_20090308_080501.avi"}));
  ExpectWholeFiles(output, &pictures);
  EXPECT_EQ(output.frames, 2u);
}

}  // namespace
