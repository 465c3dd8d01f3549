// The reading and export paths under damage and at scale: both walks always end, every file with a final
// name is a whole AVI file, and an unfinished one never gets one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "export/export_run.h"
#include "recording/channel_scan.h"
#include "shell/progress.h"
#include "tests/export/export_test_support.h"

namespace {

const PackedTime MARCH_7 = MakePackedTime(2009, 3, 7, 8, 0, 0), MARCH_8 = MakePackedTime(2009, 3, 8, 0, 0, 0);
const ChannelMask SAMPLE_CHANNELS = 1 | 1 << 2 | 1ull << 40;

// Something of everything the walks meet: header blocks of the short, long and extended layouts, frames of
// channels 1, 3 and 41, a size change, frames before any key frame of their size, records of other kinds
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
    HeaderBlockLayout entries;  // long, with entries to pass over
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

// What an export left in the output folder (Ch*.avi, ~N.avi), which is emptied for the next run.
struct Output { NameList named, temporary; size_t frames = 0; uint64_t largest = 0; };

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
  // Every named file reads back whole; its frames, when known, are pictures of the recording.
  Output Collect(const std::vector<Bytes>* pictures, bool contiguous = true) {
    Output output;
    for (const std::string& name : out.Names()) {
      const bool named = name.compare(0, 2, "Ch") == 0;
      const AviContents avi = named ? ReadAvi(out.File(name), contiguous) : AviContents();
      EXPECT_TRUE(named || name[0] == '~') << "unexpected file " << name;
      (named ? output.named : output.temporary).push_back(name);
      remove(out.File(name).c_str());
      EXPECT_TRUE(!named || (avi.ok && avi.totalFrames == avi.frames.size() && avi.length == avi.frames.size()))
          << name << ": " << avi.error;
      for (const AviFrame& frame : avi.frames)
        EXPECT_TRUE(!pictures || std::count(pictures->begin(), pictures->end(), frame.data)) << name;
      output.frames += avi.frames.size(), output.largest = std::max(output.largest, avi.fileSize);
    }
    return output;
  }
  // Scan and export of bytes, the export with files limited to `limit` bytes (-1: none) as on a disk that
  // fills up.
  Output Run(const Bytes& file, const std::vector<Bytes>* pictures, int64_t limit = -1) {
    EXPECT_EQ(WriteFileBytes(path.c_str(), file), 0);
    shell.rows.clear();
    EXPECT_EQ(Walk(ScanRecordingFile), 0);
    std::unique_ptr<FileSizeLimit> full(limit >= 0 ? new FileSizeLimit((uint64_t)limit) : nullptr);
    const int result = Walk(ExportRecordingFile);
    full.reset();
    EXPECT_EQ(result, 0);
    return Collect(pictures, limit < 0);
  }
};

// The sample cut, damaged or written to a full disk. Every run ends both walks; every file with a final
// name is whole, and no temporary one is left but for the files a full disk left unfinished (counted).
// - Cut after every byte count: the frames before the cut, all nine at the end (a longer piece never gives
//   fewer). Its plain key frame opens a 320 x 240 segment that no frame reaches: closed empty by the next
//   size change, it leaves no file and no number.
// - Each byte with all its bits flipped, then its lowest bit (of a picture only its first and last byte:
//   the walks read no other); a damaged picture is still a picture of its size.
// - The framing: garbage before each record, a record that lost its last 8 bytes, a long header block with
//   absurd entry counts. The walk finds the records again: the damage is counted, only that record lost.
// - Files limited to every size: fewer frames when a file fails, else all.
TEST_F(RobustnessTest, ARecordingCutDamagedOrExportedToAFullDiskLeavesOnlyWholeFilesUnderFinalNames) {
  SampleRecording sample;
  const Bytes& whole = sample.r.file;
  const std::vector<size_t>& starts = sample.r.starts;
  enum Kind { CUT, FLIP, FRAMING, FRAME_CUT, FULL };  // FRAME_CUT: a frame record cut short, maybe lost
  struct Damage { Kind kind; Bytes file; int64_t limit; };
  std::vector<Damage> damages;
  for (size_t n = 0; n <= 3 * whole.size(); n++) {
    const size_t at = (n + whole.size() - 1) % whole.size();  // the last byte kept, or the one flipped
    if (n > 0 && at < sample.inside.size() && sample.inside[at]) continue;
    damages.push_back({n <= whole.size() ? CUT : FLIP, whole, -1});
    damages.back().file.resize(std::min(n, whole.size()));
    if (n > whole.size()) damages.back().file[at] ^= n <= 2 * whole.size() ? 0xFF : 0x01;
  }
  // Garbage that reads as a record timed far from the frames before it, an empty record of a kind that
  // ends the walk, and bytes that are no record: the walk is out of step there and must not end.
  Bytes random(37), strayEnd;
  for (size_t i = 0; i < random.size(); i++) random[i] = (uint8_t)(i * 151 + 7);
  AppendRecord(&strayEnd, MakePlainHeader(3, 5, 0, 1, TimeOfDay(20, 0, 0), 4), Bytes(4, 3));
  AppendRecord(&strayEnd, MakePlainHeader(15, 0, 0, 0, 0, 0), Bytes());
  strayEnd.insert(strayEnd.end(), 16, 0xFF);
  for (size_t r = 0; r < starts.size(); r++) {
    const long start = (long)starts[r], end = r + 1 < starts.size() ? (long)starts[r + 1] : (long)whole.size();
    const unsigned kind = (whole[start + 8] >> 2) & 15;
    for (const Bytes& noise : {Bytes(16, 0x00), Bytes(16, 0xFF), Bytes(16, 0x5A), random, strayEnd}) {
      if (noise == strayEnd && r < 2) continue;  // no frame before it yet
      damages.push_back({FRAMING, whole, -1});
      damages.back().file.insert(damages.back().file.begin() + start, noise.begin(), noise.end());
    }
    if (end - start >= 18) {
      damages.push_back({kind <= 1 ? FRAME_CUT : FRAMING, whole, -1});
      damages.back().file.erase(damages.back().file.begin() + end - 8, damages.back().file.begin() + end);
    }
    if (kind == RECORD_HEADER_BLOCK && end - start > 178) {
      damages.push_back({FRAMING, whole, -1});
      std::fill(damages.back().file.begin() + start + 46, damages.back().file.begin() + start + 174, 0xFF);
    }
  }
  const Output clean = Run(whole, &sample.pictures);
  ASSERT_EQ(clean.frames, 9u);
  ASSERT_EQ(clean.named, (NameList{"Ch1_20090307_080500_20090307_080501.avi",
                                   "Ch1_20090307_080502_20090307_080502(2).avi",
                                   "Ch1_20090307_080503_20090308_000001(3).avi",
                                   "Ch3_20090307_080500_20090307_080502.avi",
                                   "Ch41_20090307_080502_20090308_000001.avi"}));
  for (int64_t limit = 0; limit <= (int64_t)clean.largest + 64; limit += 7) damages.push_back({FULL, whole, limit});
  size_t frames = 0, fullRuns = 0;  // of the last cut; runs that filled the disk
  for (size_t i = 0; i < damages.size(); i++) {
    const Kind kind = damages[i].kind;
    SCOPED_TRACE("damage " + std::to_string(i) + " of kind " + std::to_string(kind));
    const Output output = Run(damages[i].file, kind == FLIP || kind == FRAME_CUT ? nullptr : &sample.pictures,
                              damages[i].limit);
    const bool full = context->failedSegments + context->uncreatedSegments > 0;
    const bool same = kind == FRAMING || (kind == FULL && !full);  // the clean run's files
    EXPECT_LE(output.temporary.size(), kind == FULL ? (size_t)context->failedSegments : 0u);
    EXPECT_TRUE(kind > FLIP || context->failedSegments == 0);
    EXPECT_TRUE(kind < FRAMING || kind == FULL || context->damagedPlaces > 0);
    EXPECT_TRUE(!same || (output.named == clean.named && output.frames == clean.frames));
    EXPECT_TRUE(kind != FRAME_CUT || output.frames + 1 >= clean.frames) << output.frames;
    EXPECT_TRUE(kind != FULL || !full || output.frames < clean.frames) << output.frames;
    EXPECT_TRUE(kind != CUT || output.frames >= frames) << output.frames << " after " << frames;
    frames = kind == CUT ? output.frames : frames, fullRuns += kind == FULL && full;
    if (HasFailure()) return;
  }
  EXPECT_EQ(frames, 9u);
  EXPECT_GT(fullRuns, 10u);
}

// A sparse recording of 4.3 GB: frames at its start and beyond 4 GiB, long header blocks in between whose
// entries carry the walk 16,776,960 bytes on. One progress report a header block, with the real byte
// counts; the bar counts units of 4 bytes and never leaves its signed 32-bit range.
TEST_F(RobustnessTest, ARecordingBeyondFourGigabytesIsExportedToItsEnd) {
  std::vector<Bytes> pictures = {MakePicture(8, 8, 1), MakePicture(8, 8, 2)};
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  auto put = [file](const Bytes& bytes) { return fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(); };
  RecordingBuilder start, tail;
  start.HeaderBlock(MARCH_7, 1), start.ExtendedFrame(0, 0, 2, 8, 8, TimeOfDay(8, 5, 0), pictures[0]);
  tail.HeaderBlock(MARCH_8, 1), tail.ExtendedFrame(1, 0, 2, 8, 8, TimeOfDay(8, 5, 1), pictures[1]);
  HeaderBlockLayout layout;
  layout.blockTime = MARCH_7, layout.channels = 1;
  Bytes base = MakeHeaderBlockPayload(layout), block;
  std::fill(base.begin() + 36, base.begin() + 164, 0xFF);  // 64 counts of 65,535
  AppendRecord(&block, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, 169), base);
  ASSERT_TRUE(put(start.file));
  while (PlatformTell(file) < (4ll << 30)) ASSERT_TRUE(put(block) && PlatformSeek(file, 64 * 65535 * 4, SEEK_CUR) == 0);
  ASSERT_TRUE(put(tail.file));
  const uint64_t total = (uint64_t)PlatformTell(file), lastBlockEnd = total - tail.file.size() + tail.starts[1];
  ASSERT_EQ(fclose(file), 0);
  ASSERT_GT(total, 1ull << 32);
  std::vector<std::string> texts;
  shell.user = &texts;
  shell.onProgress = [](HeadlessShell* s, void* user) {
    auto* seen = (std::vector<std::string>*)user;
    std::lock_guard<std::mutex> hold(s->lock);
    if (seen->empty() || seen->back() != s->progressText) seen->push_back(s->progressText);
    EXPECT_TRUE(s->progressHigh <= 2147483647u && s->progressPosition <= s->progressHigh);
  };
  ASSERT_EQ(Walk(ScanRecordingFile), 0);
  ASSERT_EQ(shell.rows.size(), 1u);
  EXPECT_EQ(shell.rows[0].columns[2], "2009/3/8 0:0:0");
  texts.clear();
  ASSERT_EQ(Walk(ExportRecordingFile, 1), 0);
  char size[THOUSANDS_SIZE], last[THOUSANDS_SIZE];
  FormatThousands(total, size), FormatThousands(lastBlockEnd, last);
  ASSERT_GE(texts.size(), 258u);
  EXPECT_EQ(texts[texts.size() - 2], std::string("Progress: ") + last + "/" + size + " bytes (99 %)");
  EXPECT_EQ(texts.back(), std::string("Progress: ") + size + "/" + size + " bytes (100 %)");
  EXPECT_EQ(shell.progressHigh, (uint32_t)(total >> 2));
  EXPECT_EQ(shell.progressPosition, shell.progressHigh);
  const Output output = Collect(&pictures);
  EXPECT_EQ(output.named, (NameList{"Ch1_20090307_080500_20090308_080501.avi"}));
  EXPECT_EQ(output.frames, 2u);
}

}  // namespace
