// The export run over whole recording files: which channels get exporters,
// what ends the walk, what a cancel keeps, the progress it reports, and the
// AVI files it leaves.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "export/channel_exporter.h"
#include "export/codec_modules.h"
#include "export/export_run.h"
#include "shell/app_context.h"
#include "shell/headless_shell.h"
#include "shell/progress.h"
#include "tests/export/export_test_support.h"

namespace {

const PackedTime MARCH_7_2009 = MakePackedTime(2009, 3, 7, 8, 0, 0);
const PackedTime MARCH_8_2009 = MakePackedTime(2009, 3, 8, 0, 0, 0);

class ExportRunTest : public ::testing::Test {
 protected:
  AppContext* context = nullptr;
  HeadlessShell shell;
  ScratchFolder out;
  ScratchFolder input;
  std::string recordingPath;
  uint64_t recordingSize = 0;

  // Called at every new progress text of the walk.
  std::function<void(const std::string& text)> onStep;
  std::string lastText = "Static";

  void SetUp() override {
    context = new AppContext();
    HeadlessShellAttach(context, &shell);
    snprintf(context->outputFolder, sizeof context->outputFolder, "%s", out.path.c_str());
    context->runFlag = 1;
    recordingPath = input.File("recording.dat");
    snprintf(context->recordingPath, sizeof context->recordingPath, "%s", recordingPath.c_str());
    shell.user = this;
    shell.onProgress = [](HeadlessShell* s, void* user) {
      ExportRunTest* test = (ExportRunTest*)user;
      std::string text;
      {
        std::lock_guard<std::mutex> hold(s->lock);
        text = s->progressText;
      }
      if (text == test->lastText) return;
      test->lastText = text;
      if (test->onStep) test->onStep(text);
    };
  }

  void TearDown() override {
    delete context;
    ExportPayloadAllocate = malloc;
  }

  void Save(const RecordingBuilder& recording) {
    ASSERT_EQ(WriteFileBytes(recordingPath.c_str(), recording.file), 0);
    recordingSize = recording.file.size();
  }

  int Run(const RecordingBuilder& recording, ChannelMask mask) {
    Save(recording);
    context->channelMask = mask;
    FILE* stream = fopen(recordingPath.c_str(), "rb");
    EXPECT_NE(stream, nullptr);
    if (!stream) return -100;
    int result = ExportRecordingFile(stream, context);
    fclose(stream);
    return result;
  }

  // The channels that hold an exporter right now.
  std::vector<int> ExporterChannels() const {
    std::vector<int> channels;
    for (int i = 0; i < CHANNEL_COUNT; i++)
      if (context->exporters[i]) channels.push_back(i);
    return channels;
  }

  std::string DoneText() const {
    char size[THOUSANDS_SIZE];
    FormatThousands((uint32_t)recordingSize, size);
    return std::string("Progress: ") + size + "/" + size + " bytes (100 %)";
  }
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
    r.PlainFrame(i == 0 ? 0 : 1, 1, 2, 1, t, MakePicture(320, 240, 50 + i));  // not selected
    r.PlainFrame(i == 0 ? 0 : 1, 2, 1, 3, t, c.back());
    if (i == 2) r.HeaderBlock(MARCH_7_2009, 0x7);
  }

  std::vector<std::vector<int>> seen;
  std::vector<std::string> tempPaths;
  onStep = [&](const std::string&) {
    seen.push_back(ExporterChannels());
    if (tempPaths.empty())
      for (int i : ExporterChannels()) tempPaths.push_back(context->exporters[i]->tempPath);
  };
  EXPECT_EQ(Run(r, 0x5), 0);

  ASSERT_EQ(seen.size(), 3u);  // two header blocks, then the 100 % report
  EXPECT_EQ(seen[0], (std::vector<int>{0, 2}));
  EXPECT_EQ(seen[1], (std::vector<int>{0, 2}));
  EXPECT_TRUE(seen[2].empty());
  EXPECT_EQ(tempPaths, (std::vector<std::string>{out.File("~1.avi"), out.File("~3.avi")}));
  EXPECT_TRUE(ExporterChannels().empty());

  const char* first = "Ch1_20090307_080500_20090307_080502.avi";
  const char* third = "Ch3_20090307_080500_20090307_080502.avi";
  ASSERT_EQ(out.Names(), (std::vector<std::string>{first, third}));
  ExpectFrames(ReadAvi(out.File(first)), a, {0x10, 0, 0, 0x10, 0, 0});
  AviContents avi = ReadAvi(out.File(third));
  ExpectFrames(avi, c, {0x10, 0, 0, 0, 0, 0});
  EXPECT_EQ(avi.width, 640u);
  EXPECT_EQ(avi.height, 480u);
  EXPECT_EQ(avi.rate, 3000u);  // 6 frames over 2 s

  EXPECT_EQ(shell.dialogTitle, "Exporting AVI...");
  EXPECT_EQ(shell.progressText, DoneText());
  EXPECT_EQ(shell.progressHigh, recordingSize);
  EXPECT_EQ(shell.progressPosition, recordingSize);
}

TEST_F(ExportRunTest, AHeaderBlockWithANewDateDatesTheFramesAfterIt) {
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(23, 59, 59), MakePicture(16, 16, 1));
  r.HeaderBlock(MARCH_8_2009, 1);
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(0, 0, 1), MakePicture(16, 16, 2));
  // A block whose year is out of range is not read: the date stays.
  HeaderBlockSpec bad;
  bad.blockTime = MakePackedTime(3000, 1, 1, 0, 0, 0);
  bad.channels = 1;
  AppendHeaderBlock(&r.file, bad);
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(0, 0, 2), MakePicture(16, 16, 3));
  EXPECT_EQ(Run(r, 1), 0);
  EXPECT_EQ(out.Names(), (std::vector<std::string>{"Ch1_20090307_235959_20090308_000002.avi"}));
}

TEST_F(ExportRunTest, Channel40InTheExtendedFormReachesOnlyTheExporterOfChannel40) {
  Bytes wide = MakePicture(32, 16, 40), plain = MakePicture(320, 240, 8);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, (1ull << 40) | (1ull << 8));
  r.ExtendedFrame(0, 40, 2, 32, 16, TimeOfDay(8, 5, 0), wide);
  r.PlainFrame(0, 8, 2, 1, TimeOfDay(8, 5, 0), plain);

  EXPECT_EQ(Run(r, 1ull << 40), 0);
  const char* forty = "Ch41_20090307_080500_20090307_080500.avi";
  ASSERT_EQ(out.Names(), (std::vector<std::string>{forty}));
  ExpectFrames(ReadAvi(out.File(forty)), {wide}, {0x10});
  std::remove(out.File(forty).c_str());

  // Channel 40 shares its low five bits with channel 8; it never reaches it.
  EXPECT_EQ(Run(r, 1ull << 8), 0);
  const char* eight = "Ch9_20090307_080500_20090307_080500.avi";
  ASSERT_EQ(out.Names(), (std::vector<std::string>{eight}));
  ExpectFrames(ReadAvi(out.File(eight)), {plain}, {0x10});
}

TEST_F(ExportRunTest, SelectingChannel63CreatesOnlyItsExporter) {
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, (1ull << 63) | (1ull << 31) | (1ull << 35));
  r.ExtendedFrame(0, 63, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 63));
  r.ExtendedFrame(0, 35, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 35));
  r.ExtendedFrame(0, 31, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 31));

  std::vector<int> during;
  onStep = [&](const std::string&) {
    if (during.empty()) during = ExporterChannels();
  };
  EXPECT_EQ(Run(r, 1ull << 63), 0);
  EXPECT_EQ(during, (std::vector<int>{63}));
  EXPECT_EQ(out.Names(), (std::vector<std::string>{"Ch64_20090307_080500_20090307_080500.avi"}));
  std::remove(out.File(out.Names()[0]).c_str());

  during.clear();
  EXPECT_EQ(Run(r, 1ull << 31), 0);
  EXPECT_EQ(during, (std::vector<int>{31}));
  EXPECT_EQ(out.Names(), (std::vector<std::string>{"Ch32_20090307_080500_20090307_080500.avi"}));
}

TEST_F(ExportRunTest, ARecordOfKind9EndsTheWalk) {
  Bytes p0 = MakePicture(16, 16, 1);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), p0);
  // Kind 9 ends the walk even with an empty payload.
  r.Record(MakePlainHeader(9, 0, 0, 0, 0, 0), Bytes());
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 1), MakePicture(16, 16, 2));
  r.HeaderBlock(MARCH_7_2009, 1);
  int steps = 0;
  onStep = [&](const std::string& text) {
    if (text != DoneText()) steps++;
  };
  EXPECT_EQ(Run(r, 1), 0);
  EXPECT_EQ(steps, 1);  // the second header block was never reached
  const char* name = "Ch1_20090307_080500_20090307_080500.avi";
  ASSERT_EQ(out.Names(), (std::vector<std::string>{name}));
  ExpectFrames(ReadAvi(out.File(name)), {p0}, {0x10});
  EXPECT_EQ(shell.progressText, DoneText());
}

TEST_F(ExportRunTest, RecordsOfOtherKindsArePassedOver) {
  Bytes p0 = MakePicture(16, 16, 1), p1 = MakePicture(16, 16, 2);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), p0);
  for (unsigned kind : {2u, 3u, 5u, 6u, 7u, 8u})
    r.ExtendedFrame(kind, 0, 2, 16, 16, TimeOfDay(8, 5, 0, 100 * kind), MakePicture(16, 16, kind));
  r.Record(MakePlainHeader(4, 0, 0, 0, 0, 0), Bytes());  // header block kind, empty payload
  r.Record(MakePlainHeader(0, 0, 2, 1, 0, 0), Bytes());  // video kind, empty payload
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 1), p1);
  EXPECT_EQ(Run(r, 1), 0);
  const char* name = "Ch1_20090307_080500_20090307_080501.avi";
  ASSERT_EQ(out.Names(), (std::vector<std::string>{name}));
  ExpectFrames(ReadAvi(out.File(name)), {p0, p1}, {0x10, 0});
}

TEST_F(ExportRunTest, ACancelKeepsEverySegmentNamedByTheFramesWrittenSoFar) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  std::vector<Bytes> p;
  for (unsigned i = 0; i < 6; i++) p.push_back(MakePicture(16, 16, i));
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 3);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), p[0]);
  r.ExtendedFrame(0, 1, 2, 16, 16, TimeOfDay(8, 5, 0), p[1]);
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 1), p[2]);
  r.HeaderBlock(MARCH_7_2009, 3);
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 2), p[3]);
  r.ExtendedFrame(1, 1, 2, 16, 16, TimeOfDay(8, 5, 2), p[4]);
  r.HeaderBlock(MARCH_7_2009, 3);

  int steps = 0;
  onStep = [&](const std::string&) {
    if (++steps == 2) context->runFlag = 0;  // the user confirms a cancel
  };
  EXPECT_EQ(Run(r, 3), -1);
  EXPECT_EQ(steps, 2);
  EXPECT_NE(shell.progressText, DoneText());
  EXPECT_TRUE(ExporterChannels().empty());
  const char* first = "Ch1_20090307_080500_20090307_080501.avi";
  const char* second = "Ch2_20090307_080500_20090307_080500.avi";
  ASSERT_EQ(out.Names(), (std::vector<std::string>{first, second}));
  ExpectFrames(ReadAvi(out.File(first)), {p[0], p[2]}, {0x10, 0});
  ExpectFrames(ReadAvi(out.File(second)), {p[1]}, {0x10});
  // Cancelled or not, the run leaves no module loaded.
  EXPECT_GT(tambrix.state->initializeCalls, 0);
  EXPECT_EQ(tambrix.state->shutdownCalls, tambrix.state->initializeCalls);
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) EXPECT_EQ(videoSlots[i], nullptr);
}

TEST_F(ExportRunTest, ACompletedRunUnloadsItsModules) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  EXPECT_EQ(Run(r, 1), 0);
  EXPECT_EQ(tambrix.state->initializeCalls, 2);  // slots 2 and 5
  EXPECT_EQ(tambrix.state->shutdownCalls, 2);
  EXPECT_EQ(tambrix.state->liveDecoders, 0);
  EXPECT_EQ(tambrix.state->liveEncoders, 0);
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) EXPECT_EQ(videoSlots[i], nullptr);
}

TEST_F(ExportRunTest, AChannelWithoutVideoLeavesNoFile) {
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 0x21);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  r.HeaderBlock(MARCH_7_2009, 0x21);
  EXPECT_EQ(Run(r, 1ull << 5), 0);
  EXPECT_TRUE(out.Names().empty());
  EXPECT_EQ(shell.progressText, DoneText());
}

TEST_F(ExportRunTest, AnEmptyFileCompletesWithTheFullReport) {
  RecordingBuilder r;
  EXPECT_EQ(Run(r, 1), 0);
  EXPECT_EQ(shell.progressText, "Progress: 0/0 bytes (100 %)");
  EXPECT_TRUE(out.Names().empty());
}

TEST_F(ExportRunTest, AnOutputFolderTooLongForTheFileNamesExportsNothing) {
  std::string folder = out.path + PATH_SEPARATOR + std::string(PATH_SIZE - out.path.size() - 20, 'd');
  snprintf(context->outputFolder, sizeof context->outputFolder, "%s", folder.c_str());
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  std::vector<int> during = {-1};
  onStep = [&](const std::string&) {
    if (during == std::vector<int>{-1}) during = ExporterChannels();
  };
  EXPECT_EQ(Run(r, 1), 0);
  EXPECT_TRUE(during.empty());
  EXPECT_TRUE(out.Names().empty());
}

TEST_F(ExportRunTest, APayloadWithoutMemoryCostsOnlyItsFrame) {
  static int failures;
  failures = 1;
  ExportPayloadAllocate = [](size_t size) -> void* {
    if (failures > 0) {
      failures--;
      return nullptr;
    }
    return malloc(size);
  };
  Bytes p1 = MakePicture(16, 16, 2);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 1), p1);
  EXPECT_EQ(Run(r, 1), 0);
  const char* name = "Ch1_20090307_080501_20090307_080501.avi";
  ASSERT_EQ(out.Names(), (std::vector<std::string>{name}));
  ExpectFrames(ReadAvi(out.File(name)), {p1}, {0x10});
}

TEST_F(ExportRunTest, TheWorkerPostsTheRunsFinalCommand) {
  EXPECT_EQ(ExportWorker(nullptr), -1);

  // No recording file.
  EXPECT_EQ(ExportWorker(context), -2);
  EXPECT_EQ(shell.commands, (std::vector<int>{2}));

  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  Save(r);
  context->channelMask = 1;

  // A cancelled run.
  context->runFlag = 0;
  EXPECT_EQ(ExportWorker(context), -3);
  EXPECT_EQ(shell.commands, (std::vector<int>{2, 2}));
  EXPECT_TRUE(out.Names().empty());

  // A completed run.
  context->runFlag = 1;
  EXPECT_EQ(ExportWorker(context), 0);
  EXPECT_EQ(shell.commands, (std::vector<int>{2, 2, 1}));
  EXPECT_EQ(shell.progressText, DoneText());
  EXPECT_EQ(out.Names(), (std::vector<std::string>{"Ch1_20090307_080500_20090307_080500.avi"}));
}

}  // namespace
