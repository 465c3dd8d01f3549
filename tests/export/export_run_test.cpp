// The export run over whole recording files: which channels get exporters,
// what ends the walk, what a cancel keeps, the progress it reports, and the
// AVI files it leaves.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "export/channel_exporter.h"
#include "export/export_log.h"
#include "export/export_run.h"
#include "shell/progress.h"
#include "tests/export/export_test_support.h"

namespace {

const PackedTime MARCH_7_2009 = MakePackedTime(2009, 3, 7, 8, 0, 0);

Bytes Pic(unsigned seed) { return MakePicture(16, 16, seed); }

class ExportRunTest : public ExportFixture {
 protected:
  ScratchFolder input;
  std::string recordingPath = input.File("recording.dat");
  uint64_t recordingSize = 0;
  // At every new progress text: the temporary files of the exporters that
  // exist then, relative to the output folder ("" for none).
  NameList steps;
  size_t cancelAtStep = 0;  // the user confirms a cancel at this step

  void SetUp() override {
    snprintf(context->recordingPath, sizeof context->recordingPath, "%s", recordingPath.c_str());
    shell.user = this;
    shell.onProgress = [](HeadlessShell* s, void* user) {
      ExportRunTest* test = (ExportRunTest*)user;
      std::lock_guard<std::mutex> hold(s->lock);
      if (s->progressText == test->lastText) return;
      test->lastText = s->progressText;
      std::string exporters;
      // With a pool the exporters' names change on its threads: not read here.
      for (ChannelExporter* exporter : test->context->exporters)
        if (exporter && test->context->exportJobs <= 1) exporters += (exporters.empty() ? "" : " ") +
                                   std::string(exporter->tempPath + test->out.path.size() + 1);
      test->steps.push_back(exporters);
      if (test->steps.size() == test->cancelAtStep) test->context->runFlag = 0;
    };
  }
  void TearDown() override { ExportPayloadAllocate = malloc; }

  void Save(const RecordingBuilder& recording, ChannelMask mask) {
    ASSERT_EQ(WriteFileBytes(recordingPath.c_str(), recording.file), 0);
    recordingSize = recording.file.size();
    context->channelMask = mask;
    steps.clear();
  }
  int Run(const RecordingBuilder& recording, ChannelMask mask) {
    Save(recording, mask);
    FILE* stream = fopen(recordingPath.c_str(), "rb");
    if (!stream) return -100;
    int result = ExportRecordingFile(stream, context);
    fclose(stream);
    return result;
  }
  std::string DoneText() const {
    char size[THOUSANDS_SIZE];
    FormatThousands(recordingSize, size);
    return std::string("Progress: ") + size + "/" + size + " bytes (100 %)";
  }
  // Expects exactly one file in the output folder, with these frames; removes it.
  void ExpectOneFile(const std::string& name, const std::vector<Bytes>& pictures,
                     const std::vector<uint32_t>& flags) {
    ASSERT_EQ(out.Names(), (NameList{name}));
    ExpectFrames(ReadAvi(out.File(name)), pictures, flags);
    std::remove(out.File(name).c_str());
  }

 private:
  std::string lastText = "Static";
};

// Channel 40 (extended form) shares its low five bits with channel 8 (plain
// form); each selection reaches its own exporters only, which exist from the
// first header block until the teardown before the 100 % report.
TEST_F(ExportRunTest, OnlyTheSelectedChannelsGetExportersAndTheirFrames) {
  const ChannelMask named = (1ull << 63) | (1ull << 40) | (1ull << 35) | (1ull << 31) | 0x101;
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, named);
  for (unsigned channel : {63u, 40u, 35u, 31u, 0u}) r.Frame16(0, channel, 0, Pic(channel));
  r.PlainFrame(0, 8, 2, 1, TimeOfDay(8, 5, 0), MakePicture(320, 240, 8));
  r.HeaderBlock(MARCH_7_2009, named);
  r.Frame16(1, 0, 1, Pic(100));
  for (int channel : {8, 31, 40, 63}) {
    EXPECT_EQ(Run(r, 1ull << channel), 0);
    std::string number = std::to_string(channel + 1);
    EXPECT_EQ(steps, (NameList{"~" + number + ".avi", "~" + number + ".avi", ""}));
    ExpectOneFile("Ch" + number + "_20090307_080500_20090307_080500.avi",
                  {channel == 8 ? MakePicture(320, 240, 8) : Pic(channel)}, {0x10});
  }
  EXPECT_EQ(Run(r, 1 | (1ull << 40)), 0);
  EXPECT_EQ(steps[0], "~1.avi ~41.avi");
  EXPECT_EQ(shell.dialogTitle, "Exporting AVI...");
  EXPECT_EQ(shell.progressText, DoneText());
  EXPECT_EQ(shell.progressHigh + shell.progressPosition, 2 * recordingSize);
  EXPECT_EQ(out.Names().size(), 2u);
  std::remove(out.File("Ch41_20090307_080500_20090307_080500.avi").c_str());
  ExpectOneFile("Ch1_20090307_080500_20090307_080501.avi", {Pic(0), Pic(100)}, {0x10, 0});
}

// Records of other kinds and empty payloads are passed over. A record of a
// kind above 8 in a recording whose records follow one another ends the walk
// at once, whatever its length and time, whatever empty records or frames
// follow it, and after a gap of 20 minutes too: no damage, no search back, and
// the progress goes from the first header block to the end.
TEST_F(ExportRunTest, ARecordOfAKindAbove8EndsTheWalk) {
  const struct {
    unsigned kind, length, empties, emptyKind, gapMinutes;
    bool framesAfter;
  } cases[] = {{9, 0, 0, 0, 0, true},   {9, 0, 1, 0, 0, true},   {9, 100, 200, 0, 0, true},
               {12, 8, 1, 3, 0, true},  {15, 4, 0, 0, 20, false}, {9, 0, 0, 0, 20, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE("kind " + std::to_string(c.kind) + ", gap " + std::to_string(c.gapMinutes));
    RecordingBuilder r;
    r.HeaderBlock(MARCH_7_2009, 1);
    r.Frame16(0, 0, 0, Pic(0));
    for (unsigned kind : {2u, 3u, 5u, 6u, 7u, 8u})
      r.ExtendedFrame(kind, 0, 2, 16, 16, TimeOfDay(8, 5, 0, 100 * kind), Pic(kind));
    r.Record(MakePlainHeader(4, 0, 0, 0, 0, 0), Bytes());  // header block kind
    r.Record(MakePlainHeader(0, 0, 2, 1, 0, 0), Bytes());  // video kind
    const uint32_t last = TimeOfDay(8, 5 + c.gapMinutes, 1);
    r.ExtendedFrame(1, 0, 2, 16, 16, last, Pic(1));
    r.Record(MakePlainHeader(c.kind, 0, 0, 0, c.length ? last : 0, c.length), Bytes(c.length));
    for (unsigned i = 0; i < c.empties; i++)
      r.Record(MakePlainHeader(c.emptyKind, 0, 0, 0, 0, 0), Bytes());
    if (c.framesAfter) {
      r.ExtendedFrame(1, 0, 2, 16, 16, last + 1000, Pic(2));
      r.HeaderBlock(MARCH_7_2009, 1);
      r.ExtendedFrame(1, 0, 2, 16, 16, last + 2000, Pic(3));
    }
    EXPECT_EQ(Run(r, 1), 0);
    EXPECT_EQ(context->damagedPlaces, 0);
    EXPECT_EQ(steps.size(), 2u);  // the second header block was never reached
    EXPECT_EQ(shell.progressText, DoneText());
    ExpectOneFile(c.gapMinutes ? "Ch1_20090307_080500_20090307_082501.avi"
                               : "Ch1_20090307_080500_20090307_080501.avi",
                  {Pic(0), Pic(1)}, {0x10, 0});
  }
}

// The segments are named by the frames written so far, and the modules are
// unloaded.
TEST_F(ExportRunTest, ACancelKeepsEverySegmentNamedByTheFramesWrittenSoFar) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  RecordingBuilder r;
  for (unsigned second = 0; second < 3; second++) {  // a header block before every second
    r.HeaderBlock(MARCH_7_2009, 3);
    r.Frame16(second > 0, 0, second, Pic(second));
    r.Frame16(second > 0, 1, second, Pic(10 + second));
  }
  cancelAtStep = 3;
  EXPECT_EQ(Run(r, 3), -1);
  EXPECT_EQ(steps.size(), 3u);
  EXPECT_NE(shell.progressText, DoneText());
  for (ChannelExporter* exporter : context->exporters) EXPECT_EQ(exporter, nullptr);
  ExpectFrames(ReadAvi(out.File("Ch2_20090307_080500_20090307_080501.avi")), {Pic(10), Pic(11)},
               {0x10, 0});
  std::remove(out.File("Ch2_20090307_080500_20090307_080501.avi").c_str());
  ExpectOneFile("Ch1_20090307_080500_20090307_080501.avi", {Pic(0), Pic(1)}, {0x10, 0});
  EXPECT_EQ(tambrix.state->initializeCalls * 10 + tambrix.state->shutdownCalls, 22);  // slots 2, 5
  EXPECT_EQ(tambrix.state->liveDecoders + tambrix.state->liveEncoders, 0);
}

// No file without video of a selected channel; no exporter at all for an
// output folder too long for the final names.
TEST_F(ExportRunTest, RunsWithoutVideoOfTheSelectedChannelsLeaveNoFile) {
  EXPECT_EQ(Run(RecordingBuilder(), 1), 0);
  EXPECT_EQ(shell.progressText, "Progress: 0/0 bytes (100 %)");
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 0x21);
  r.Frame16(0, 0, 0, Pic(1));
  EXPECT_EQ(Run(r, 1ull << 5), 0);
  EXPECT_EQ(steps, (NameList{"~6.avi", ""}));
  std::string folder = out.path + PATH_SEPARATOR + std::string(PATH_SIZE - out.path.size(), 'd');
  snprintf(context->outputFolder, sizeof context->outputFolder, "%.*s", PATH_SIZE - 20,
           folder.c_str());
  EXPECT_EQ(Run(r, 1), 0);  // a folder without room for names: the channel's loss is counted
  EXPECT_EQ(context->uncreatedSegments * 100 + (int)context->videoChannels, 101);
  EXPECT_TRUE(out.Names().empty());
}

TEST_F(ExportRunTest, APayloadWithoutMemoryCostsOnlyItsFrame) {
  static int failures;
  failures = 1;
  ExportPayloadAllocate = [](size_t size) { return failures-- > 0 ? nullptr : malloc(size); };
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.Frame16(0, 0, 0, Pic(1));
  r.Frame16(0, 0, 1, Pic(2));
  EXPECT_EQ(Run(r, 1), 0);
  ExpectOneFile("Ch1_20090307_080501_20090307_080501.avi", {Pic(2)}, {0x10});
}

// A caller's log: each closed segment's facts, the lost frames of each
// channel by reason, and every frame the walk met, with the gaps.
TEST_F(ExportRunTest, TheRunLogsItsSegmentsItsLostFramesAndWhatItsWalkMet) {
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 3);
  r.Frame16(1, 0, 0, Pic(0));  // before any key frame
  r.Frame16(0, 0, 1, Pic(1));
  r.Frame16(1, 0, 2, Pic(2));
  r.PlainFrame(1, 0, 2, 0, TimeOfDay(8, 5, 3), Pic(3));  // size code 0: no picture
  r.ExtendedFrame(0, 1, 3, 16, 16, TimeOfDay(8, 5, 4), Pic(4));  // no module for type 3
  r.ExtendedFrame(0, 0, 2, 32, 32, TimeOfDay(8, 5, 9), MakePicture(32, 32, 5));
  ExportRunLog log;
  log.gapMs = 2000;
  context->runLog = &log;
  EXPECT_EQ(Run(r, 3), 0);
  context->runLog = nullptr;
  ASSERT_EQ(log.segments.size(), 2u);
  const SegmentResult& first = log.segments[0];
  EXPECT_EQ(first.path, out.File("Ch1_20090307_080501_20090307_080502.avi"));
  EXPECT_EQ(log.segments[1].path, out.File("Ch1_20090307_080509_20090307_080509(2).avi"));
  EXPECT_EQ(out.Names().size(), 2u);
  EXPECT_EQ(std::vector<int>({first.finalName, first.width, first.frames, first.keyFrames,
                              (int)first.codecTypes, first.outputCodecType, (int)first.rate,
                              first.firstTime.second, first.lastTime.second}),
            std::vector<int>({1, 16, 2, 1, 1 << 2, 5, 2, 1, 2}));
  EXPECT_EQ(log.segments[1].width * log.segments[1].rate, 32 * 30);
  int64_t lost[2][LOSS_REASONS] = {{0, 0, 1, 1, 0, 0}, {1, 0, 0, 0, 0, 0}};
  for (int channel : {0, 1})
    for (int reason = 0; reason < LOSS_REASONS; reason++)
      EXPECT_EQ(log.lost[channel][reason], lost[channel][reason]) << LOSS_REASON_NAMES[reason];
  EXPECT_EQ(context->lostFrames, 2);  // frames waiting for a key frame are not losses
  EXPECT_EQ(log.walked.channels[0].frames, 5);
  ASSERT_EQ(log.walked.channels[0].gaps.size(), 1u);
  EXPECT_EQ(log.walked.channels[0].gaps[0].end - log.walked.channels[0].gaps[0].start, 6000);
  EXPECT_EQ(log.walked.headerBlocks, 1);

  // Copied with captions: the same segments, each with its codec and caption
  // file, and the frame of type 3 lost as one no copy can store.
  for (const std::string& name : out.Names()) remove(out.File(name).c_str());
  context->options = {1, 1};
  context->runLog = &log;
  EXPECT_EQ(Run(r, 3), 0);
  context->runLog = nullptr;
  ASSERT_EQ(log.segments.size(), 2u);
  EXPECT_EQ(std::vector<int>({log.segments[0].copied, log.segments[0].outputCodecType}),
            std::vector<int>({1, 2}));
  EXPECT_EQ(log.segments[1].captionPath, out.File("Ch1_20090307_080509_20090307_080509(2).smi"));
  EXPECT_EQ(log.lost[1][LOSS_NO_CODEC_MODULE], 0);
  EXPECT_EQ(log.lost[1][LOSS_UNCOPYABLE_CODEC], 1);
}

// Any number of threads writes the same files, byte for byte, and counts and
// logs the same losses and segments: three channels, two of them changing size, a frame that does
// not decode, garbage between records and a record cut short (damaged
// framing), each run whole and cancelled at its fourth header block.
TEST_F(ExportRunTest, EveryNumberOfJobsWritesTheSameFiles) {
  RecordingBuilder r;
  unsigned seed = 0;
  for (unsigned second = 0; second < 6; second++) {
    r.HeaderBlock(MARCH_7_2009, 7);
    for (unsigned i = 0; i < 12; i++) {
      unsigned channel = i % 3, width = second >= 3 && channel != 1 ? 32 : 16;
      unsigned kind = i < 3 && second % 3 == 0 ? 0 : 1;
      r.ExtendedFrame(kind, channel, 2, width, 16, TimeOfDay(8, 5, second, 80 * i),
                      second == 1 && i == 4 ? Bytes(100, 1) : MakePicture(width, 16, ++seed));
    }
    if (second == 2) r.file.insert(r.file.end(), 16, 0x5A);
    if (second == 4) r.file.resize(r.file.size() - 8);
  }
  std::map<std::string, Bytes> single;
  std::vector<int> singleCounts;
  std::string singleFacts;
  for (int copy : {0, 1}) {  // a copy with captions, too
    for (size_t cancel : {0, 4}) {
      for (int jobs : {1, 2, 8}) {
        SCOPED_TRACE(std::to_string(jobs) + " jobs, cancel at " + std::to_string(cancel) +
                     (copy ? ", copy" : ""));
        context->exportJobs = jobs;
        context->options.copy = copy;
        context->options.captions = copy;
        context->runFlag = 1;
        cancelAtStep = cancel;
        ExportRunLog log;
        log.gapMs = 2000;
        context->runLog = &log;
        EXPECT_EQ(Run(r, 7), cancel ? -1 : 0);
        context->runLog = nullptr;
        std::string facts;  // the report's segments and lost frames by reason
        for (const SegmentResult& s : log.segments)
          facts += s.path + " " + s.captionPath + " " + std::to_string(s.frames) + " " +
                   std::to_string(s.keyFrames) + "\n";
        for (int channel = 0; channel < 3; channel++)
          for (int64_t lost : log.lost[channel]) facts += std::to_string(lost) + " ";
        std::map<std::string, Bytes> files;
        for (const std::string& name : out.Names()) {
          files[name] = ReadFileBytes(out.File(name).c_str());
          std::remove(out.File(name).c_str());
        }
        std::vector<int> counts{context->lostFrames, context->damagedPlaces,
                                context->failedSegments, (int)steps.size()};
        if (jobs == 1) {
          single = files;
          singleCounts = counts;
          singleFacts = facts;
          EXPECT_EQ(files.size(), log.segments.size() * (copy ? 2 : 1));  // AVI and captions
          const std::vector<int> whole{2, 2, 0, 7}, cancelled{1, 1, 0, 4};  // lost, damaged, failed, steps
          if (!copy) {
            EXPECT_EQ(files.size(), cancel ? 3u : 5u);
            EXPECT_EQ(counts, cancel ? cancelled : whole);
          }
        }
        EXPECT_EQ(files, single);
        EXPECT_EQ(counts, singleCounts);
        EXPECT_EQ(facts, singleFacts);
      }
    }
  }
  context->options = ExportOptions();
}

TEST_F(ExportRunTest, TheWorkerPostsTheRunsFinalCommand) {
  EXPECT_EQ(ExportWorker(nullptr), -1);
  EXPECT_EQ(ExportWorker(context), -2);  // no recording file
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.Frame16(0, 0, 0, Pic(1));
  Save(r, 1);
  context->runFlag = 0;  // cancelled
  EXPECT_EQ(ExportWorker(context), -3);
  EXPECT_TRUE(out.Names().empty());
  context->runFlag = 1;
  EXPECT_EQ(ExportWorker(context), 0);
  EXPECT_EQ(shell.commands, (std::vector<int>{2, 2, 1}));
  EXPECT_EQ(shell.progressText, DoneText());
  EXPECT_EQ(out.Names(), (NameList{"Ch1_20090307_080500_20090307_080500.avi"}));
}

}  // namespace
