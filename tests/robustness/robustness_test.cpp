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

const PackedTime MARCH_7 = MakePackedTime(2009, 3, 7, 8, 0, 0), MARCH_8 = MakePackedTime(2009, 3, 8, 0, 0, 0);
const ChannelMask SAMPLE_CHANNELS = 1 | 1 << 2 | 1ull << 40;

// Something of everything the walks meet: header blocks of the short, long
// and extended layouts, extended frames of channels 1, 3 and 41, a size
// change, frames before any key frame of their size, records of other kinds
// and a plain frame whose payload is no picture of its size.
struct SampleRecording {
  RecordingBuilder r;
  std::vector<Bytes> pictures;
  std::vector<bool> inside;  // of each byte: inside a picture, not its first or last byte

  SampleRecording() {
    r.HeaderBlock(MARCH_7, 1 | 1 << 2, 1);
    Frame(0, 0, 8, 0), Frame(0, 2, 4, 0);
    r.Record(MakePlainHeader(3, 0, 0, 1, TimeOfDay(8, 5, 0), 5), Bytes(5, 0x33));
    Frame(1, 0, 8, 1);
    r.HeaderBlock(MARCH_7, SAMPLE_CHANNELS, 2);
    Frame(1, 0, 4, 2);  // new size, no key frame yet: dropped
    Frame(0, 0, 4, 2), Frame(1, 2, 4, 2), Frame(0, 40, 8, 2);
    r.Record(MakePlainHeader(2, 0, 0, 1, TimeOfDay(8, 5, 3), 8), Bytes(8, 0x22));
    r.PlainFrame(0, 0, 0, 1, TimeOfDay(8, 5, 3), Bytes(16, 0x11));
    Frame(0, 0, 4, 3);
    HeaderBlockLayout entries;  // long, with entries to skip
    entries.blockTime = MARCH_8, entries.channels = 1 | 1 << 2;
    entries.baseCounts[0] = 2, entries.baseCounts[5] = 1;
    r.Block(entries);
    Frame(1, 0, 4, 1, 0), Frame(1, 40, 8, 1, 0);
  }
  // A frame of a side x side picture at 08:05:second (or hour:00:second).
  void Frame(unsigned kind, unsigned channel, unsigned side, unsigned second, unsigned hour = 8) {
    pictures.push_back(MakePicture((int)side, (int)side, (unsigned)pictures.size() + 1));
    r.ExtendedFrame(kind, channel, 2, side, side, TimeOfDay(hour, hour ? 5 : 0, second), pictures.back());
    inside.resize(r.file.size() - pictures.back().size() + 1), inside.resize(r.file.size() - 1, true);
  }
};

// What an export left in the output folder, which is emptied for the next run.
struct Output {
  NameList named, temporary;  // Ch*.avi, ~N.avi
  std::vector<AviContents> files;  // of the named ones, in order
  size_t frames = 0;
};

class RobustnessTest : public ExportFixture {
 protected:
  ScratchFolder input;
  std::string path = input.File("recording.dat");

  // A scan or an export of the recording file, as zentrix-cli runs them.
  int Walk(int (*walk)(FILE*, AppContext*), ChannelMask mask = SAMPLE_CHANNELS) {
    FILE* stream = fopen(path.c_str(), "rb");
    if (!stream) return -100;
    context->channelMask = mask;
    const int result = walk(stream, context);
    fclose(stream);
    for (ChannelExporter* exporter : context->exporters) EXPECT_EQ(exporter, nullptr);
    return result;
  }
  Output Collect(bool contiguous = true) {
    Output output;
    for (const std::string& name : out.Names()) {
      const std::string file = out.File(name);
      if (name.compare(0, 2, "Ch") == 0) {
        output.named.push_back(name), output.files.push_back(ReadAvi(file, contiguous));
        output.frames += output.files.back().frames.size();
      } else {
        EXPECT_EQ(name[0], '~') << "unexpected file " << name;
        output.temporary.push_back(name);
      }
      remove(file.c_str());
    }
    return output;
  }
  // Scan and export of bytes; the scan's rows must be channels it can name.
  Output Run(const Bytes& file, ChannelMask mask = SAMPLE_CHANNELS) {
    EXPECT_EQ(WriteFileBytes(path.c_str(), file), 0);
    shell.rows.clear();
    EXPECT_EQ(Walk(ScanRecordingFile), 0);
    EXPECT_LE(shell.rows.size(), (size_t)CHANNEL_COUNT);
    for (const HeadlessRow& row : shell.rows) {
      EXPECT_TRUE(row.itemData >= 0 && row.itemData < CHANNEL_COUNT);
      EXPECT_EQ(row.columns[0], "Channel " + std::to_string(row.itemData + 1));
    }
    EXPECT_EQ(Walk(ExportRecordingFile, mask), 0);
    return Collect();
  }
};

// Every named file reads back whole; frames, when known, are pictures of the
// recording.
void ExpectWholeFiles(const Output& output, const std::vector<Bytes>* pictures) {
  for (size_t i = 0; i < output.files.size(); i++) {
    const AviContents& avi = output.files[i];
    ASSERT_TRUE(avi.ok) << output.named[i] << ": " << avi.error;
    EXPECT_EQ(avi.totalFrames, avi.frames.size()) << output.named[i];
    EXPECT_EQ(avi.length, avi.frames.size()) << output.named[i];
    for (const AviFrame& frame : avi.frames)
      EXPECT_TRUE(!pictures || std::count(pictures->begin(), pictures->end(), frame.data))
          << output.named[i] << " holds a frame the recording does not";
  }
}

// Short reads and damage at every place: the recording ends after every byte
// count; then each byte in turn has all its bits flipped, then its lowest
// bit (inside a picture only its first and last byte: the walks never read
// the others). Both walks end and leave only whole files; a damaged picture
// is still a picture of its size, so only cut ones are compared. A longer
// piece never gives fewer frames; the whole one gives all nine. Its plain key
// frame opens a 320 x 240 segment that none of its frames reach: closed empty
// by the next size change, it leaves no file and no number.
TEST_F(RobustnessTest, ARecordingCutOrDamagedAnywhereEndsBothWalksAndLeavesOnlyWholeFiles) {
  SampleRecording sample;
  const Bytes& whole = sample.r.file;
  size_t frames = 0;
  for (size_t n = 0; n <= 3 * whole.size(); n++) {
    const bool cut = n <= whole.size();
    const size_t at = (n + whole.size() - 1) % whole.size();  // the last byte kept, or the one flipped
    if (n > 0 && at < sample.inside.size() && sample.inside[at]) continue;
    Bytes file(whole.begin(), whole.begin() + (long)std::min(n, whole.size()));
    if (!cut) file[at] ^= n <= 2 * whole.size() ? 0xFF : 0x01;
    SCOPED_TRACE((cut ? "cut after byte " : "flipped byte ") + std::to_string(at));
    const Output output = Run(file);
    EXPECT_EQ(context->failedSegments, 0);
    EXPECT_TRUE(output.temporary.empty());
    ExpectWholeFiles(output, cut ? &sample.pictures : nullptr);
    EXPECT_GE(output.frames, cut ? frames : 0);
    frames = cut ? output.frames : frames;
    const NameList names = {"Ch1_20090307_080500_20090307_080501.avi",
                            "Ch1_20090307_080502_20090307_080502(2).avi",
                            "Ch1_20090307_080503_20090308_000001(3).avi",
                            "Ch3_20090307_080500_20090307_080502.avi",
                            "Ch41_20090307_080502_20090308_000001.avi"};
    EXPECT_TRUE(n != whole.size() || output.named == names);
    if (HasFailure()) return;
  }
  EXPECT_EQ(frames, 9u);
}

// Damage to the framing of the records: garbage before each record, a record
// that lost its last bytes, a long header block whose entry counts became
// absurd. The walk finds the records again after the damage: only the
// damaged record is lost, and every file is whole.
TEST_F(RobustnessTest, DamagedFramingCostsOnlyTheDamagedRecord) {
  SampleRecording sample;
  const Bytes& whole = sample.r.file;
  const std::vector<size_t>& starts = sample.r.starts;
  const Output clean = Run(whole);
  ASSERT_EQ(clean.frames, 9u);
  Bytes random(37), strayEnd;
  for (size_t i = 0; i < random.size(); i++) random[i] = (uint8_t)(i * 151 + 7);
  // Garbage that reads as a record timed far from the frames before it, an
  // empty record of a kind that ends the walk, and bytes that are no record:
  // the walk is out of step there and must not end.
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
    const size_t start = starts[r], end = r + 1 < starts.size() ? starts[r + 1] : whole.size();
    const std::string record = "record " + std::to_string(r);
    for (const Bytes& noise : {Bytes(16, 0x00), Bytes(16, 0xFF), Bytes(16, 0x5A), random, strayEnd}) {
      if (noise == strayEnd && r < 2) continue;  // no frame before it yet
      Bytes file = whole;
      file.insert(file.begin() + (long)start, noise.begin(), noise.end());
      damages.push_back({std::to_string(noise.size()) + " bytes of " + std::to_string(noise[1]) +
                         " before " + record, file, false});
    }
    const unsigned kind = (whole[start + 8] >> 2) & 15;
    if (end - start >= 18) {
      Bytes file = whole;
      file.erase(file.begin() + (long)end - 8, file.begin() + (long)end);
      damages.push_back({record + " cut by 8 bytes", file, kind <= 1});
    }
    if (kind == RECORD_HEADER_BLOCK && end - start > 178) {
      Bytes file = whole;
      std::fill(file.begin() + (long)start + 46, file.begin() + (long)start + 174, 0xFF);
      damages.push_back({record + " with 64 counts of 65,535", file, false});
    }
  }
  ASSERT_EQ(damages.size(), 16u * 5 - 2 + 15 + 2);
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    const Output output = Run(damage.file);
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
// ends the walk ends it, timed far from the rest or not timed at all. All 64
// channels at once are listed and exported.
TEST_F(RobustnessTest, AnUndamagedRecordingIsWalkedAsWrittenWhateverItsTimesAndChannels) {
  for (uint32_t endTime : {0u, TimeOfDay(20, 0, 0)}) {
    RecordingBuilder r;
    std::vector<Bytes> pictures;
    r.HeaderBlock(MARCH_7, 1);
    for (unsigned hour = 0; hour < 5; hour++) {
      pictures.push_back(MakePicture(8, 8, hour));
      r.ExtendedFrame(hour > 0, 0, 2, 8, 8, TimeOfDay(8 + 2 * hour, 0, 0), pictures.back());
    }
    r.Record(MakePlainHeader(9, 0, 0, 0, endTime, 4), Bytes(4, 9));
    for (unsigned second = 0; second < 4; second++)
      r.ExtendedFrame(1, 0, 2, 8, 8, TimeOfDay(16, 0, second), MakePicture(8, 8, 9));
    const Output output = Run(r.file, 1);
    EXPECT_EQ(context->damagedPlaces, 0);
    EXPECT_EQ(output.named, (NameList{"Ch1_20090307_080000_20090307_160000.avi"}));
    ExpectWholeFiles(output, &pictures);
    EXPECT_EQ(output.frames, 5u);
  }
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7, ~0ull, 2);
  std::vector<Bytes> pictures;
  NameList names;
  for (unsigned channel = 0; channel < 128; channel++) {  // two frames a channel
    pictures.push_back(MakePicture(8, 8, channel));
    r.ExtendedFrame(channel > 63, channel % 64, 2, 8, 8, TimeOfDay(8, 5, channel / 64), pictures.back());
    if (channel < 64) names.push_back("Ch" + std::to_string(channel + 1) + "_20090307_080500_20090307_080501.avi");
  }
  std::sort(names.begin(), names.end());
  const Output output = Run(r.file, ~0ull);
  EXPECT_EQ(shell.rows.size(), 64u);
  EXPECT_EQ(context->failedSegments, 0);
  EXPECT_EQ(output.named, names);
  ExpectWholeFiles(output, &pictures);
  EXPECT_EQ(output.frames, 128u);
}

// A full disk at every size: the files that get a final name are whole, the
// others keep their temporary names and are counted.
TEST_F(RobustnessTest, AnOutputFolderThatFillsUpNeverGetsABrokenFileUnderAFinalName) {
  SampleRecording sample;
  const Output clean = Run(sample.r.file);
  ASSERT_EQ(clean.named.size(), 5u);
  uint64_t largest = 0;
  for (const AviContents& avi : clean.files) largest = std::max(largest, avi.fileSize);
  int fullRuns = 0;
  for (uint64_t limit = 0; limit <= largest + 64; limit += 7) {
    SCOPED_TRACE("files limited to " + std::to_string(limit) + " bytes");
    int result;
    {
      FileSizeLimit full(limit);
      result = Walk(ExportRecordingFile);
    }
    EXPECT_EQ(result, 0);
    const Output output = Collect(false);
    ExpectWholeFiles(output, &sample.pictures);
    EXPECT_LE(output.temporary.size(), (size_t)context->failedSegments);
    const bool full = context->failedSegments + context->uncreatedSegments > 0;
    fullRuns += full;
    if (full) {
      EXPECT_LT(output.frames, clean.frames);
    } else {
      EXPECT_EQ(output.named, clean.named);
      EXPECT_EQ(output.frames, clean.frames);
    }
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(fullRuns, 10);
}

// A sparse recording of 4.3 GB: frames at its start and beyond 4 GiB, long
// header blocks in between whose entries carry the walk 16,776,960 bytes on.
TEST_F(RobustnessTest, ARecordingBeyondFourGigabytesIsExportedToItsEnd) {
  std::vector<Bytes> pictures = {MakePicture(8, 8, 1), MakePicture(8, 8, 2)};
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  RecordingBuilder start, end, frame;
  start.HeaderBlock(MARCH_7, 1);
  start.ExtendedFrame(0, 0, 2, 8, 8, TimeOfDay(8, 5, 0), pictures[0]);
  HeaderBlockLayout layout;
  layout.blockTime = MARCH_7, layout.channels = 1;
  Bytes base = MakeHeaderBlockPayload(layout), block;
  std::fill(base.begin() + 36, base.begin() + 164, 0xFF);  // 64 counts of 65,535
  AppendRecord(&block, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, 169), base);
  end.HeaderBlock(MARCH_8, 1);
  frame.ExtendedFrame(1, 0, 2, 8, 8, TimeOfDay(8, 5, 1), pictures[1]);
  ASSERT_EQ(fwrite(start.file.data(), 1, start.file.size(), file), start.file.size());
  while (PlatformTell(file) < (4ll << 30)) {
    ASSERT_EQ(fwrite(block.data(), 1, block.size(), file), block.size());
    ASSERT_EQ(PlatformSeek(file, 64 * 65535 * 4, SEEK_CUR), 0);
  }
  ASSERT_EQ(fwrite(end.file.data(), 1, end.file.size(), file), end.file.size());
  const uint64_t lastBlockEnd = (uint64_t)PlatformTell(file);
  ASSERT_EQ(fwrite(frame.file.data(), 1, frame.file.size(), file), frame.file.size());
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
  ASSERT_EQ(Walk(ScanRecordingFile), 0);
  EXPECT_EQ(shell.rows.size(), 1u);
  EXPECT_EQ(shell.rows[0].columns[2], "2009/3/8 0:0:0");
  texts.clear();
  ASSERT_EQ(Walk(ExportRecordingFile, 1), 0);
  // One report a header block, each with the real byte counts; the bar
  // counts units of 4 bytes.
  char size[THOUSANDS_SIZE], last[THOUSANDS_SIZE];
  FormatThousands(total, size);
  FormatThousands(lastBlockEnd, last);
  ASSERT_GE(texts.size(), 258u);
  EXPECT_EQ(texts[texts.size() - 2], std::string("Progress: ") + last + "/" + size + " bytes (99 %)");
  EXPECT_EQ(texts.back(), std::string("Progress: ") + size + "/" + size + " bytes (100 %)");
  EXPECT_EQ(shell.progressHigh, (uint32_t)(total >> 2));
  EXPECT_EQ(shell.progressPosition, shell.progressHigh);
  const Output output = Collect();
  EXPECT_EQ(output.named, (NameList{"Ch1_20090307_080500_20090308_080501.avi"}));
  ExpectWholeFiles(output, &pictures);
  EXPECT_EQ(output.frames, 2u);
}

}  // namespace
