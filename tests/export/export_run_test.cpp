// The export run over whole recording files: which channels get exporters,
// what ends the walk, what a cancel keeps, the progress it reports, and the
// AVI files it leaves.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "export/channel_exporter.h"
#include "export/export_run.h"
#include "shell/progress.h"
#include "tests/avi/avi_test_files.h"
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
      for (ChannelExporter* exporter : test->context->exporters)
        if (exporter) exporters += (exporters.empty() ? "" : " ") +
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

 private:
  std::string lastText = "Static";
};

TEST_F(ExportRunTest, ExportsTheSelectedChannelsIntoAviFilesThatReadBack) {
  std::vector<Bytes> a, c;
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 0x7);
  for (unsigned i = 0; i < 6; i++) {
    uint32_t t = TimeOfDay(8, 5, 0) + i * 500;
    a.push_back(MakePicture(320, 240, i));
    c.push_back(MakePicture(640, 480, 100 + i));
    r.PlainFrame(i % 3 == 0 ? 0 : 1, 0, 2, 1, t, a.back());
    r.PlainFrame(i > 0, 1, 2, 1, t, MakePicture(320, 240, 50 + i));  // not selected
    r.PlainFrame(i > 0, 2, 1, 3, t, c.back());
    if (i == 2) r.HeaderBlock(MARCH_7_2009, 0x7);
  }
  EXPECT_EQ(Run(r, 0x5), 0);
  // Two header blocks, then the 100 % report after the teardown.
  EXPECT_EQ(steps, (NameList{"~1.avi ~3.avi", "~1.avi ~3.avi", ""}));
  const char* first = "Ch1_20090307_080500_20090307_080502.avi";
  const char* third = "Ch3_20090307_080500_20090307_080502.avi";
  ASSERT_EQ(out.Names(), (NameList{first, third}));
  ExpectFrames(ReadAvi(out.File(first)), a, {0x10, 0, 0, 0x10, 0, 0});
  AviContents avi = ReadAvi(out.File(third));
  ExpectFrames(avi, c, {0x10, 0, 0, 0, 0, 0});
  EXPECT_EQ(avi.rate, 3000u);  // 6 frames over 2 s
  EXPECT_EQ(shell.dialogTitle, "Exporting AVI...");
  EXPECT_EQ(shell.progressText, DoneText());
  EXPECT_EQ(shell.progressHigh, recordingSize);
  EXPECT_EQ(shell.progressPosition, recordingSize);
}

// Channel 40 (extended form) shares its low five bits with channel 8 (plain
// form); each selection reaches its own exporter only.
TEST_F(ExportRunTest, OnlyTheSelectedChannelGetsAnExporterAndItsFrames) {
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, (1ull << 63) | (1ull << 40) | (1ull << 35) | (1ull << 31) | 0x100);
  for (unsigned channel : {63u, 40u, 35u, 31u}) r.Frame16(0, channel, 0, Pic(channel));
  r.PlainFrame(0, 8, 2, 1, TimeOfDay(8, 5, 0), MakePicture(320, 240, 8));
  for (int channel : {8, 31, 40, 63}) {
    EXPECT_EQ(Run(r, 1ull << channel), 0);
    std::string number = std::to_string(channel + 1);
    EXPECT_EQ(steps[0], "~" + number + ".avi");
    std::string name = "Ch" + number + "_20090307_080500_20090307_080500.avi";
    ASSERT_EQ(out.Names(), (NameList{name}));
    ExpectFrames(ReadAvi(out.File(name)), {channel == 8 ? MakePicture(320, 240, 8) : Pic(channel)},
                 {0x10});
    std::remove(out.File(name).c_str());
  }
}

// Records of other kinds and empty payloads are passed over; kind 9 ends the
// walk even with an empty payload.
TEST_F(ExportRunTest, ARecordOfKind9EndsTheWalk) {
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.Frame16(0, 0, 0, Pic(0));
  for (unsigned kind : {2u, 3u, 5u, 6u, 7u, 8u})
    r.ExtendedFrame(kind, 0, 2, 16, 16, TimeOfDay(8, 5, 0, 100 * kind), Pic(kind));
  r.Record(MakePlainHeader(4, 0, 0, 0, 0, 0), Bytes());  // header block kind
  r.Record(MakePlainHeader(0, 0, 2, 1, 0, 0), Bytes());  // video kind
  r.Frame16(1, 0, 1, Pic(1));
  r.Record(MakePlainHeader(9, 0, 0, 0, 0, 0), Bytes());
  r.Frame16(1, 0, 2, Pic(2));
  r.HeaderBlock(MARCH_7_2009, 1);
  EXPECT_EQ(Run(r, 1), 0);
  EXPECT_EQ(steps.size(), 2u);  // the second header block was never reached
  EXPECT_EQ(shell.progressText, DoneText());
  const char* name = "Ch1_20090307_080500_20090307_080501.avi";
  ASSERT_EQ(out.Names(), (NameList{name}));
  ExpectFrames(ReadAvi(out.File(name)), {Pic(0), Pic(1)}, {0x10, 0});
}

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
  const char* first = "Ch1_20090307_080500_20090307_080501.avi";
  const char* second = "Ch2_20090307_080500_20090307_080501.avi";
  ASSERT_EQ(out.Names(), (NameList{first, second}));
  ExpectFrames(ReadAvi(out.File(first)), {Pic(0), Pic(1)}, {0x10, 0});
  ExpectFrames(ReadAvi(out.File(second)), {Pic(10), Pic(11)}, {0x10, 0});
  EXPECT_EQ(tambrix.state->initializeCalls, 2);  // slots 2 and 5, unloaded
  EXPECT_EQ(tambrix.state->shutdownCalls, 2);
  EXPECT_EQ(tambrix.state->liveDecoders + tambrix.state->liveEncoders, 0);
}

TEST_F(ExportRunTest, RunsWithoutVideoOfTheSelectedChannelsLeaveNoFile) {
  EXPECT_EQ(Run(RecordingBuilder(), 1), 0);
  EXPECT_EQ(shell.progressText, "Progress: 0/0 bytes (100 %)");
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 0x21);
  r.Frame16(0, 0, 0, Pic(1));
  r.HeaderBlock(MARCH_7_2009, 0x21);
  EXPECT_EQ(Run(r, 1ull << 5), 0);
  EXPECT_EQ(shell.progressText, DoneText());
  EXPECT_TRUE(out.Names().empty());
  // An output folder too long for the final names gets no exporter at all.
  std::string folder = out.path + PATH_SEPARATOR + std::string(PATH_SIZE - out.path.size(), 'd');
  snprintf(context->outputFolder, sizeof context->outputFolder, "%.*s", PATH_SIZE - 20,
           folder.c_str());
  EXPECT_EQ(Run(r, 1), 0);
  EXPECT_EQ(steps[0], "");
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
  const char* name = "Ch1_20090307_080501_20090307_080501.avi";
  ASSERT_EQ(out.Names(), (NameList{name}));
  ExpectFrames(ReadAvi(out.File(name)), {Pic(2)}, {0x10});
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
