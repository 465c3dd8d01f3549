// The channel exporter with the lossless test modules: segments start at key
// frames, split at size changes, get their rate and final name at closing,
// and failures cost single frames.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/channel_exporter.h"
#include "export/codec_modules.h"
#include "shell/app_context.h"
#include "shell/headless_shell.h"
#include "tests/export/export_test_support.h"

namespace {

const PackedTime MARCH_7_2009 = MakePackedTime(2009, 3, 7, 8, 0, 0);

class ChannelExporterTest : public ::testing::Test {
 protected:
  AppContext* context = nullptr;
  HeadlessShell shell;
  ScratchFolder out;
  HeaderInfo info = {};

  void SetUp() override {
    context = new AppContext();
    HeadlessShellAttach(context, &shell);
    snprintf(context->outputFolder, sizeof context->outputFolder, "%s", out.path.c_str());
    context->runFlag = 1;
    CodecModulesInit();
  }

  void TearDown() override {
    for (int i = 0; i < CHANNEL_COUNT; i++) ReleaseExporter(i);
    CodecModulesRelease();
    delete context;
  }

  // As the export run prepares an exporter.
  ChannelExporter* AddExporter(int channel) {
    ChannelExporter* exporter = new ChannelExporter();
    exporter->channelIndex = channel;
    EXPECT_EQ(NameTempSegment(exporter, context->outputFolder), 0);
    GrowBufferInit(&exporter->encoded);
    GrowBufferInit(&exporter->picture);
    context->exporters[channel] = exporter;
    return exporter;
  }

  // As the export run ends an exporter: close, name, release.
  void ReleaseExporter(int channel) {
    ChannelExporter* exporter = context->exporters[channel];
    if (!exporter) return;
    GrowBufferFree(&exporter->encoded);
    GrowBufferFree(&exporter->picture);
    CloseSegment(context, exporter);
    delete exporter;
    context->exporters[channel] = nullptr;
  }

  // Walks a recording: header blocks update `info`, every video record goes
  // to ExportFrame. Returns ExportFrame's results in record order.
  std::vector<int> Feed(const Bytes& file) {
    std::vector<int> results;
    if (file.empty()) return results;
    Bytes copy = file;
    FILE* stream = fmemopen(copy.data(), copy.size(), "rb");
    EXPECT_NE(stream, nullptr);
    if (!stream) return results;
    RecordHeader header;
    while (ReadRecordHeader(stream, &header)) {
      uint32_t length = RecordPayloadLength(&header);
      unsigned kind = RecordKind(&header);
      if (length == 0) continue;
      if (kind == RECORD_HEADER_BLOCK)
        ReadHeaderBlock(stream, &header, &info);
      else if (kind == RECORD_KEY_FRAME || kind == RECORD_FRAME)
        results.push_back(ExportFrame(stream, &header, &info, context));
      else
        SkipRecordPayload(stream, length);
    }
    fclose(stream);
    return results;
  }

  std::vector<int> Feed(const RecordingBuilder& recording) { return Feed(recording.file); }

  void UseModuleFolder(const std::string& folder) {
    snprintf(primaryFolder, sizeof primaryFolder, "%s", folder.c_str());
    snprintf(fallbackFolder, sizeof fallbackFolder, "%s", folder.c_str());
  }
};

TEST_F(ChannelExporterTest, NothingIsWrittenBeforeTheFirstKeyFrame) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  AddExporter(0);
  std::vector<Bytes> p;
  for (unsigned i = 0; i < 5; i++) p.push_back(MakePicture(320, 240, i));
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.PlainFrame(1, 0, 2, 1, TimeOfDay(8, 5, 0), p[0]);
  r.PlainFrame(1, 0, 2, 1, TimeOfDay(8, 5, 0, 500), p[1]);
  r.PlainFrame(0, 0, 2, 1, TimeOfDay(8, 5, 1), p[2]);
  r.PlainFrame(1, 0, 2, 1, TimeOfDay(8, 5, 2), p[3]);
  r.PlainFrame(0, 0, 2, 1, TimeOfDay(8, 5, 3), p[4]);

  EXPECT_EQ(Feed(r), (std::vector<int>{-4, -4, 0, 0, 0}));
  ChannelExporter* exporter = context->exporters[0];
  EXPECT_NE(exporter->avi, nullptr);
  EXPECT_EQ(exporter->frameCount, 3);
  EXPECT_EQ(exporter->firstTime.second, 1);
  EXPECT_EQ(exporter->lastTime.second, 3);
  EXPECT_EQ(out.Names(), (std::vector<std::string>{"~1.avi"}));
  EXPECT_EQ(tambrix.state->lastKeyFrameSign, 1);

  ReleaseExporter(0);
  ASSERT_EQ(out.Names(), (std::vector<std::string>{"Ch1_20090307_080501_20090307_080503.avi"}));
  AviContents avi = ReadAvi(out.File("Ch1_20090307_080501_20090307_080503.avi"));
  ExpectFrames(avi, {p[2], p[3], p[4]}, {0x10, 0, 0x10});
  EXPECT_EQ(avi.width, 320u);
  EXPECT_EQ(avi.height, 240u);
  EXPECT_EQ(avi.streamWidth, 320u);
  EXPECT_EQ(avi.streamHeight, 240u);
  EXPECT_EQ(avi.handler, "xvid");
  EXPECT_EQ(avi.compression, "xvid");
  EXPECT_EQ(avi.microsPerFrame, 33333u);
  // 3 frames over 2 s: 1.5 frames per second, whole frames in the file.
  EXPECT_EQ(avi.rate, 1000u);
  EXPECT_EQ(tambrix.state->liveDecoders, 0);
  EXPECT_EQ(tambrix.state->liveEncoders, 0);
}

TEST_F(ChannelExporterTest, ASizeChangeClosesTheSegmentAndTheNextKeyFrameOpensOne) {
  AddExporter(0);
  std::vector<Bytes> big = {MakePicture(640, 480, 1), MakePicture(640, 480, 2)};
  std::vector<Bytes> small = {MakePicture(320, 240, 3), MakePicture(320, 240, 4),
                              MakePicture(320, 240, 5)};
  RecordingBuilder first;
  first.HeaderBlock(MARCH_7_2009, 1);
  first.PlainFrame(0, 0, 2, 3, TimeOfDay(8, 5, 0), big[0]);
  first.PlainFrame(1, 0, 2, 3, TimeOfDay(8, 5, 1), big[1]);
  first.PlainFrame(1, 0, 2, 1, TimeOfDay(8, 5, 2), small[0]);
  EXPECT_EQ(Feed(first), (std::vector<int>{0, 0, -4}));

  // The change closed and named the first segment at once.
  const char* firstName = "Ch1_20090307_080500_20090307_080501.avi";
  EXPECT_EQ(out.Names(), (std::vector<std::string>{firstName}));
  EXPECT_EQ(context->exporters[0]->avi, nullptr);
  EXPECT_EQ(context->exporters[0]->segmentWidth, 0);
  EXPECT_EQ(context->exporters[0]->segmentCount, 1);

  RecordingBuilder second;
  second.PlainFrame(0, 0, 2, 1, TimeOfDay(8, 5, 3), small[1]);
  second.PlainFrame(1, 0, 2, 1, TimeOfDay(8, 5, 4), small[2]);
  EXPECT_EQ(Feed(second), (std::vector<int>{0, 0}));
  ReleaseExporter(0);

  const char* secondName = "Ch1_20090307_080503_20090307_080504(2).avi";
  EXPECT_EQ(out.Names(), (std::vector<std::string>{firstName, secondName}));
  AviContents a = ReadAvi(out.File(firstName));
  ExpectFrames(a, big, {0x10, 0});
  EXPECT_EQ(a.width, 640u);
  EXPECT_EQ(a.height, 480u);
  AviContents b = ReadAvi(out.File(secondName));
  ExpectFrames(b, {small[1], small[2]}, {0x10, 0});
  EXPECT_EQ(b.width, 320u);
  EXPECT_EQ(b.height, 240u);
}

TEST_F(ChannelExporterTest, ACodecChangeWithoutASizeChangeKeepsTheSegmentAndItsDecoder) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  ModuleProbe ravex(ProgramFolder() + "ravex.dll");
  ModuleProbe sorvel(ProgramFolder() + "sorvel.dll");
  AddExporter(0);
  std::vector<Bytes> p = {MakePicture(320, 240, 1), MakePicture(320, 240, 2),
                          MakePicture(320, 240, 3)};
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.PlainFrame(0, 0, 2, 1, TimeOfDay(8, 5, 0), p[0]);
  r.PlainFrame(1, 0, 0, 1, TimeOfDay(8, 5, 1), p[1]);
  r.PlainFrame(0, 0, 1, 1, TimeOfDay(8, 5, 2), p[2]);
  EXPECT_EQ(Feed(r), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(tambrix.state->decodeCalls, 3);
  EXPECT_EQ(tambrix.state->openDecoderCalls, 1);
  EXPECT_EQ(tambrix.state->lastDecoderCodecType, 2);
  EXPECT_EQ(ravex.state->initializeCalls + ravex.state->decodeCalls, 0);
  EXPECT_EQ(sorvel.state->initializeCalls + sorvel.state->decodeCalls, 0);
  ReleaseExporter(0);
  ASSERT_EQ(out.Names().size(), 1u);
  ExpectFrames(ReadAvi(out.File(out.Names()[0])), p, {0x10, 0, 0x10});
}

TEST_F(ChannelExporterTest, CodecsReceiveTheOpenParametersAndFramesTheyAreOwed) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  AddExporter(2);
  Bytes picture = MakePicture(640, 480, 9);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 4);
  r.PlainFrame(0, 2, 2, 3, TimeOfDay(8, 5, 0), picture);  // format code 2: mode 3
  r.PlainFrame(1, 2, 2, 3, TimeOfDay(8, 5, 0, 40), picture);
  EXPECT_EQ(Feed(r), (std::vector<int>{0, 0}));

  const CodecOpenParams& d = tambrix.state->lastDecoderOpen;
  EXPECT_EQ(d.mode, 3);
  EXPECT_EQ(d.width, 640);
  EXPECT_EQ(d.height, 480);
  EXPECT_EQ(d.format, 4);
  EXPECT_EQ(d.rate, 0);
  EXPECT_EQ(d.reserved, 0);
  EXPECT_EQ(d.codecType, 2);
  const CodecOpenParams& e = tambrix.state->lastEncoderOpen;
  EXPECT_EQ(e.mode, 2);
  EXPECT_EQ(e.width, 640);
  EXPECT_EQ(e.height, 480);
  EXPECT_EQ(e.format, 4);
  EXPECT_EQ(e.rate, 30);
  EXPECT_EQ(e.reserved, 0);
  EXPECT_EQ(e.codecType, 5);
  EXPECT_EQ(tambrix.state->lastDecodeLength, 640 * 480 * 3 / 2);
  EXPECT_EQ(tambrix.state->lastEncodeLength, 640 * 480 * 3 / 2);
  EXPECT_EQ(tambrix.state->lastKeyFrameSign, -1);
  // The encoder finds the sign where Decode's view left it.
  EXPECT_EQ(tambrix.state->lastEncodeKeyFrameSign, -1);

  // Extended form: the prefix word's mode and codec type reach the decoder.
  ReleaseExporter(2);
  AddExporter(2);
  RecordingBuilder x;
  x.ExtendedFrame(0, 2, 10, 48, 32, TimeOfDay(9, 0, 0), MakePicture(48, 32, 1), 1);
  EXPECT_EQ(Feed(x), (std::vector<int>{0}));
  EXPECT_EQ(tambrix.state->lastKeyFrameSign, 1);
  EXPECT_EQ(tambrix.state->lastEncodeKeyFrameSign, 1);
  EXPECT_EQ(tambrix.state->lastDecoderOpen.mode, 1);
  EXPECT_EQ(tambrix.state->lastDecoderOpen.codecType, 10);
  EXPECT_EQ(tambrix.state->lastDecoderOpen.width, 48);
  EXPECT_EQ(tambrix.state->lastDecoderOpen.height, 32);
}

struct RateCase {
  int frames;
  uint32_t spanMs;      // from the first frame's time to the last's
  uint32_t streamRate;  // strh rate: whole frames per second times 1000
};

class SegmentRateTest : public ChannelExporterTest,
                        public ::testing::WithParamInterface<RateCase> {};

TEST_P(SegmentRateTest, FollowsTheFrameCountOverTheSegmentsSeconds) {
  AddExporter(0);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  Bytes picture = MakePicture(16, 16, 1);
  uint32_t start = TimeOfDay(8, 5, 0);
  int n = GetParam().frames;
  for (int i = 0; i < n; i++)
    r.ExtendedFrame(i == 0 ? 0 : 1, 0, 2, 16, 16,
                    start + (uint32_t)((uint64_t)GetParam().spanMs * i / (n - 1)), picture);
  std::vector<int> results = Feed(r);
  EXPECT_EQ(results, std::vector<int>(n, 0));
  ReleaseExporter(0);
  ASSERT_EQ(out.Names().size(), 1u);
  AviContents avi = ReadAvi(out.File(out.Names()[0]));
  ASSERT_TRUE(avi.ok) << avi.error;
  EXPECT_EQ(avi.totalFrames, (uint32_t)n);
  EXPECT_EQ(avi.scale, 1000u);
  EXPECT_EQ(avi.rate, GetParam().streamRate);
  EXPECT_EQ(avi.microsPerFrame, 33333u);  // the main header keeps the creation rate
}

INSTANTIATE_TEST_SUITE_P(Rates, SegmentRateTest,
                         ::testing::Values(RateCase{100, 10000, 10000},
                                           RateCase{290, 10000, 29000},
                                           RateCase{295, 10000, 30000},
                                           RateCase{300, 10000, 30000},
                                           RateCase{20, 900, 30000},   // within one second
                                           RateCase{2, 0, 30000}),
                         [](const ::testing::TestParamInfo<RateCase>& info) {
                           return std::to_string(info.param.frames) + "FramesIn" +
                                  std::to_string(info.param.spanMs) + "Ms";
                         });

TEST_F(ChannelExporterTest, ALastTimeBeforeTheFirstGivesTheRate30) {
  AddExporter(0);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 10), MakePicture(16, 16, 1));
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 2));
  EXPECT_EQ(Feed(r), (std::vector<int>{0, 0}));
  ReleaseExporter(0);
  const char* name = "Ch1_20090307_080510_20090307_080500.avi";
  ASSERT_EQ(out.Names(), (std::vector<std::string>{name}));
  EXPECT_EQ(ReadAvi(out.File(name)).rate, 30000u);
}

TEST_F(ChannelExporterTest, NamesNumberLaterSegmentsAndKeepHoursPastMidnight) {
  AddExporter(4);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1 << 4);
  uint32_t t = 90000000;  // 25:00:00
  ASSERT_EQ(t, TimeOfDay(25, 0, 0));
  r.ExtendedFrame(0, 4, 2, 16, 16, t, MakePicture(16, 16, 1));
  r.ExtendedFrame(1, 4, 2, 16, 16, t + 1000, MakePicture(16, 16, 2));
  r.ExtendedFrame(0, 4, 2, 32, 16, t + 2000, MakePicture(32, 16, 3));
  r.ExtendedFrame(0, 4, 2, 16, 16, t + 3000, MakePicture(16, 16, 4));
  r.ExtendedFrame(1, 4, 2, 16, 16, t + 61000, MakePicture(16, 16, 5));
  EXPECT_EQ(Feed(r), (std::vector<int>{0, 0, 0, 0, 0}));
  ReleaseExporter(4);
  EXPECT_EQ(out.Names(), (std::vector<std::string>{"Ch5_20090307_250000_20090307_250001.avi",
                                                   "Ch5_20090307_250002_20090307_250002(2).avi",
                                                   "Ch5_20090307_250003_20090307_250101(3).avi"}));
}

TEST_F(ChannelExporterTest, AnExistingFileOfTheFinalNameIsReplaced) {
  const char* name = "Ch1_20090307_080500_20090307_080501.avi";
  {
    std::ofstream old(out.File(name), std::ios::binary);
    old << "an older export";
  }
  AddExporter(0);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  Bytes p0 = MakePicture(16, 16, 1), p1 = MakePicture(16, 16, 2);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), p0);
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 1), p1);
  EXPECT_EQ(Feed(r), (std::vector<int>{0, 0}));
  ReleaseExporter(0);
  EXPECT_EQ(out.Names(), (std::vector<std::string>{name}));
  ExpectFrames(ReadAvi(out.File(name)), {p0, p1}, {0x10, 0});
}

TEST_F(ChannelExporterTest, AFrameThatFailsToTranscodeIsDroppedAndTheSegmentStaysOpen) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  AddExporter(0);
  ChannelExporter* exporter = context->exporters[0];
  Bytes p0 = MakePicture(16, 16, 1), p1 = MakePicture(16, 16, 2), p2 = MakePicture(16, 16, 3);
  RecordingBuilder head;
  head.HeaderBlock(MARCH_7_2009, 1);
  head.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), p0);
  EXPECT_EQ(Feed(head), (std::vector<int>{0}));

  tambrix.state->failDecodes = 1;
  RecordingBuilder decodeFails;
  decodeFails.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 5), p1);
  EXPECT_EQ(Feed(decodeFails), (std::vector<int>{-6}));
  EXPECT_NE(exporter->avi, nullptr);
  EXPECT_EQ(exporter->frameCount, 1);
  EXPECT_EQ(exporter->lastTime.second, 0);

  tambrix.state->failEncodes = 1;
  RecordingBuilder encodeFails;
  encodeFails.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 6), p1);
  EXPECT_EQ(Feed(encodeFails), (std::vector<int>{-6}));
  EXPECT_NE(exporter->avi, nullptr);
  EXPECT_EQ(exporter->frameCount, 1);
  EXPECT_EQ(exporter->lastTime.second, 0);

  RecordingBuilder recovers;
  recovers.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 7), p2);
  EXPECT_EQ(Feed(recovers), (std::vector<int>{0}));
  EXPECT_EQ(tambrix.state->openDecoderCalls, 1);
  ReleaseExporter(0);
  const char* name = "Ch1_20090307_080500_20090307_080507.avi";
  ASSERT_EQ(out.Names(), (std::vector<std::string>{name}));
  ExpectFrames(ReadAvi(out.File(name)), {p0, p2}, {0x10, 0});
}

TEST_F(ChannelExporterTest, AnEncoderThatOverstatesItsOutputLosesTheFrame) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  AddExporter(0);
  tambrix.state->encodeExtra = 1;
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  EXPECT_EQ(Feed(r), (std::vector<int>{-6}));
  EXPECT_EQ(context->exporters[0]->frameCount, 0);
}

TEST_F(ChannelExporterTest, ARefusedDecoderLeavesTheExporterIdleAndTheNextKeyFrameTriesAgain) {
  std::string folder = RuleFolder("refuse_decoder");
  ModuleProbe probe(folder + "tambrix.dll");
  ASSERT_NE(probe.state, nullptr);
  UseModuleFolder(folder);
  AddExporter(0);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 1), MakePicture(16, 16, 2));
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 2), MakePicture(16, 16, 3));
  EXPECT_EQ(Feed(r), (std::vector<int>{-5, -4, -5}));
  EXPECT_EQ(probe.state->openDecoderCalls, 2);
  EXPECT_EQ(probe.state->openEncoderCalls, 0);
  EXPECT_EQ(context->exporters[0]->avi, nullptr);
  EXPECT_TRUE(out.Names().empty());
}

TEST_F(ChannelExporterTest, ARefusedEncoderClosesTheDecoderItOpened) {
  std::string folder = RuleFolder("refuse_encoder");
  ModuleProbe probe(folder + "tambrix.dll");
  ASSERT_NE(probe.state, nullptr);
  UseModuleFolder(folder);
  AddExporter(0);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  EXPECT_EQ(Feed(r), (std::vector<int>{-5}));
  EXPECT_EQ(probe.state->openDecoderCalls, 1);
  EXPECT_EQ(probe.state->openEncoderCalls, 1);
  EXPECT_EQ(probe.state->liveDecoders, 0);
  EXPECT_EQ(context->exporters[0]->decoderHandle, 0u);
  EXPECT_EQ(context->exporters[0]->avi, nullptr);
  EXPECT_TRUE(out.Names().empty());
}

class FailingCodecTest : public ChannelExporterTest,
                         public ::testing::WithParamInterface<const char*> {};

TEST_P(FailingCodecTest, LosesEveryFrameButKeepsTheSegmentOpen) {
  std::string folder = RuleFolder(GetParam());
  ModuleProbe probe(folder + "tambrix.dll");
  ASSERT_NE(probe.state, nullptr);
  UseModuleFolder(folder);
  AddExporter(0);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 1), MakePicture(16, 16, 2));
  EXPECT_EQ(Feed(r), (std::vector<int>{-6, -6}));
  EXPECT_NE(context->exporters[0]->avi, nullptr);
  EXPECT_EQ(probe.state->openDecoderCalls, 1);
  ReleaseExporter(0);
  EXPECT_EQ(probe.state->liveDecoders, 0);
  EXPECT_EQ(probe.state->liveEncoders, 0);
  // The segment was opened and is closed without frames.
  ASSERT_EQ(out.Names().size(), 1u);
  AviContents avi = ReadAvi(out.File(out.Names()[0]));
  ASSERT_TRUE(avi.ok) << avi.error;
  EXPECT_EQ(avi.totalFrames, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rules, FailingCodecTest,
                         ::testing::Values("fail_decode", "fail_encode"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

TEST_F(ChannelExporterTest, OpenSegmentReportsEachStepThatFails) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  ChannelExporter* exporter = AddExporter(0);
  FrameInfo frame = {};
  frame.kind = 0;
  frame.width = 16;
  frame.height = 16;
  CalendarTime time = {2009, 3, 0, 7, 8, 5, 0, 0};

  frame.codecType = 3;  // no module serves it
  EXPECT_EQ(OpenSegment(&frame, &time, context, exporter), -1);
  EXPECT_EQ(exporter->decoder, nullptr);

  ScratchFolder onlyRavex;
  std::filesystem::copy_file(ProgramFolder() + "ravex.dll", onlyRavex.File("ravex.dll"));
  UseModuleFolder(onlyRavex.path);
  frame.codecType = 0;  // decodable, but no module for the output type 5
  EXPECT_EQ(OpenSegment(&frame, &time, context, exporter), -2);
  EXPECT_EQ(exporter->encoder, nullptr);

  CodecModulesRelease();
  CodecModulesInit();
  frame.codecType = 2;
  snprintf(exporter->tempPath, sizeof exporter->tempPath, "%s",
           out.File("missing" PATH_SEPARATOR "~1.avi").c_str());
  EXPECT_EQ(OpenSegment(&frame, &time, context, exporter), -5);
  EXPECT_EQ(exporter->avi, nullptr);
  EXPECT_EQ(exporter->decoderHandle, 0u);
  EXPECT_EQ(exporter->encoderHandle, 0u);
  EXPECT_EQ(tambrix.state->liveDecoders, 0);
  EXPECT_EQ(tambrix.state->liveEncoders, 0);

  ASSERT_EQ(NameTempSegment(exporter, context->outputFolder), 0);
  EXPECT_EQ(OpenSegment(&frame, &time, context, exporter), 0);
  EXPECT_NE(exporter->avi, nullptr);
  EXPECT_EQ(exporter->segmentWidth, 16);
  EXPECT_EQ(exporter->segmentHeight, 16);
  EXPECT_EQ(exporter->frameCount, 0);
  EXPECT_EQ(exporter->segmentCount, 0);
  EXPECT_EQ(exporter->firstTime.minute, 5);
  EXPECT_EQ(tambrix.state->liveDecoders, 1);
  EXPECT_EQ(tambrix.state->liveEncoders, 1);
}

TEST_F(ChannelExporterTest, TranscodeFrameNeedsBuffersThatCanGrow) {
  ChannelExporter exporter = {};
  FrameInfo frame = {};
  frame.width = 16;
  frame.height = 16;
  CalendarTime time = {};
  EXPECT_EQ(TranscodeFrame(&frame, &time, context, &exporter), -1);
  GrowBufferInit(&exporter.picture);
  EXPECT_EQ(TranscodeFrame(&frame, &time, context, &exporter), -2);
  GrowBufferFree(&exporter.picture);
}

TEST_F(ChannelExporterTest, CloseSegmentWithoutAnOpenSegmentCountsButWritesNothing) {
  ChannelExporter* exporter = AddExporter(0);
  EXPECT_EQ(CloseSegment(context, exporter), 0);
  EXPECT_EQ(exporter->segmentCount, 1);
  EXPECT_TRUE(out.Names().empty());
}

TEST_F(ChannelExporterTest, AFrameForAChannelWithoutExporterIsPassedOver) {
  AddExporter(0);
  Bytes p0 = MakePicture(16, 16, 1);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 3, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 7));
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 1), p0);
  EXPECT_EQ(Feed(r), (std::vector<int>{-1, 0}));
  ReleaseExporter(0);
  ASSERT_EQ(out.Names().size(), 1u);
  ExpectFrames(ReadAvi(out.File(out.Names()[0])), {p0}, {0x10});
}

TEST_F(ChannelExporterTest, AShortPayloadIsReportedAndNothingWritten) {
  AddExporter(0);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  Bytes cut(r.file.begin(), r.file.end() - 10);
  EXPECT_EQ(Feed(cut), (std::vector<int>{-2}));
  EXPECT_EQ(context->exporters[0]->avi, nullptr);
}

TEST_F(ChannelExporterTest, FramesWithoutAPictureSizeNeverReachACodec) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  AddExporter(0);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.ExtendedFrame(0, 0, 2, 0, 16, TimeOfDay(8, 5, 0), Bytes(24, 1));   // width 0
  r.ExtendedFrame(0, 0, 2, 16, 0, TimeOfDay(8, 5, 0), Bytes(24, 1));   // height 0
  r.ExtendedFrame(0, 0, 2, 0, 0, TimeOfDay(8, 5, 0), Bytes());         // prefix only
  r.PlainFrame(0, 0, 2, 0, TimeOfDay(8, 5, 0), Bytes(24, 1));          // size code 0
  Bytes tooShort = {1, 2, 3};  // extended form without room for its prefix word
  r.Record(MakeExtendedHeader(0, 0, TimeOfDay(8, 5, 0), 3), tooShort);
  Bytes p = MakePicture(16, 16, 5);
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 1), p);
  EXPECT_EQ(Feed(r), (std::vector<int>{-3, -3, -3, -3, -3, 0}));
  EXPECT_EQ(tambrix.state->openDecoderCalls, 1);
  EXPECT_EQ(tambrix.state->decodeCalls, 1);
  ReleaseExporter(0);
  ASSERT_EQ(out.Names().size(), 1u);
  ExpectFrames(ReadAvi(out.File(out.Names()[0])), {p}, {0x10});
}

TEST_F(ChannelExporterTest, FramesBeforeTheFirstHeaderBlockAreDatedZero) {
  AddExporter(0);
  RecordingBuilder r;
  r.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), MakePicture(16, 16, 1));
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 10), MakePicture(16, 16, 2));
  EXPECT_EQ(Feed(r), (std::vector<int>{0, 0}));
  ReleaseExporter(0);
  EXPECT_EQ(out.Names(), (std::vector<std::string>{"Ch1_00000000_080500_00000000_080510.avi"}));
}

// Brings the open segment's file to a few bytes short of the AVI size limit
// (a sparse file: nothing is written in between).
void FillSegmentToTheLimit(ChannelExporter* exporter) {
  ASSERT_NE(exporter->avi, nullptr);
  ASSERT_EQ(fseeko(exporter->avi->writer->aviFile, (off_t)(AVI_FILE_LIMIT - 100), SEEK_SET), 0);
}

TEST_F(ChannelExporterTest, ASegmentAtTheSizeLimitIsClosedAndTheChannelGoesOn) {
  AddExporter(0);
  ChannelExporter* exporter = context->exporters[0];
  std::vector<Bytes> p;
  for (unsigned i = 0; i < 7; i++) p.push_back(MakePicture(16, 16, i));
  RecordingBuilder start;
  start.HeaderBlock(MARCH_7_2009, 1);
  start.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 0), p[0]);
  start.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 1), p[1]);
  EXPECT_EQ(Feed(start), (std::vector<int>{0, 0}));
  FillSegmentToTheLimit(exporter);

  // A non-key frame that does not fit: the full segment is closed and named;
  // the channel waits for its next key frame.
  RecordingBuilder full;
  full.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 2), p[2]);
  full.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 3), p[3]);
  full.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 4), p[4]);
  EXPECT_EQ(Feed(full), (std::vector<int>{-7, -4, 0}));
  const char* firstName = "Ch1_20090307_080500_20090307_080501.avi";
  AviContents first = ReadAvi(out.File(firstName), false);
  ExpectFrames(first, {p[0], p[1]}, {0x10, 0});
  EXPECT_GE(first.fileSize, (uint64_t)(AVI_FILE_LIMIT - 100));
  std::filesystem::remove(out.File(firstName));  // sparse, but 2 GB long

  // A key frame that does not fit starts the next segment itself.
  FillSegmentToTheLimit(exporter);
  RecordingBuilder fullAgain;
  fullAgain.ExtendedFrame(0, 0, 2, 16, 16, TimeOfDay(8, 5, 5), p[5]);
  fullAgain.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 6), p[6]);
  EXPECT_EQ(Feed(fullAgain), (std::vector<int>{0, 0}));
  const char* secondName = "Ch1_20090307_080504_20090307_080504(2).avi";
  ExpectFrames(ReadAvi(out.File(secondName), false), {p[4]}, {0x10});
  std::filesystem::remove(out.File(secondName));

  ReleaseExporter(0);
  const char* thirdName = "Ch1_20090307_080505_20090307_080506(3).avi";
  EXPECT_EQ(out.Names(), (std::vector<std::string>{thirdName}));
  ExpectFrames(ReadAvi(out.File(thirdName)), {p[5], p[6]}, {0x10, 0});
}

TEST_F(ChannelExporterTest, FoldersThatLeaveNoRoomForTheFinalNamesAreRefused) {
  ChannelExporter exporter = {};
  exporter.channelIndex = 63;
  std::string folder(150, 'f');
  ASSERT_EQ(NameTempSegment(&exporter, folder.c_str()), 0);
  EXPECT_EQ(std::string(exporter.tempPath), folder + PATH_SEPARATOR + "~64.avi");
  // Room for "~64.avi" but not for "Ch64_..._...(2147483647).avi".
  std::string tooLong(PATH_SIZE - 20, 'f');
  EXPECT_EQ(NameTempSegment(&exporter, tooLong.c_str()), -1);
  EXPECT_STREQ(exporter.tempPath, "");
}

}  // namespace
