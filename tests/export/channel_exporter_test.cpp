// The channel exporter with the lossless test modules: segments start at key
// frames, split at size changes, get their rate and final name at closing,
// and failures cost single frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "export/channel_exporter.h"
#include "export/codec_modules.h"
#include "tests/avi/avi_test_files.h"
#include "tests/export/export_test_support.h"

namespace {

const PackedTime MARCH_7_2009 = MakePackedTime(2009, 3, 7, 8, 0, 0);
typedef std::vector<int> Results;

Bytes Pic(unsigned seed) { return MakePicture(16, 16, seed); }

std::string Params(const CodecOpenParams& p) {
  char text[96];
  snprintf(text, sizeof text, "mode %d %dx%d format %d rate %d reserved %d type %d", p.mode,
           p.width, p.height, p.format, p.rate, p.reserved, p.codecType);
  return text;
}

class ChannelExporterTest : public ExportFixture {
 protected:
  ModuleProbe tambrix{ProgramFolder() + "tambrix.dll"};
  HeaderInfo info = {};

  void SetUp() override {
    ASSERT_NE(tambrix.state, nullptr);
    CodecModulesInit();
  }
  void TearDown() override {
    for (int i = 0; i < CHANNEL_COUNT; i++) ReleaseExporter(i);
    CodecModulesRelease();
  }
  // As the export run prepares and ends an exporter.
  ChannelExporter* AddExporter(int channel) {
    ChannelExporter* exporter = new ChannelExporter();
    exporter->channelIndex = channel;
    EXPECT_EQ(NameTempSegment(exporter, context->outputFolder), 0);
    GrowBufferInit(&exporter->encoded);
    GrowBufferInit(&exporter->picture);
    return context->exporters[channel] = exporter;
  }
  void ReleaseExporter(int channel) {
    ChannelExporter* exporter = context->exporters[channel];
    if (!exporter) return;
    GrowBufferFree(&exporter->encoded);
    GrowBufferFree(&exporter->picture);
    CloseSegment(context, exporter);
    delete exporter;
    context->exporters[channel] = nullptr;
  }
  // Walks a recording as the export run does: header blocks update `info`,
  // video records go to ExportFrame, whose results are returned in order.
  Results Feed(Bytes file) {
    Results results;
    FILE* stream = fmemopen(file.data(), file.size(), "rb");
    RecordHeader header;
    while (stream && ReadRecordHeader(stream, &header)) {
      unsigned kind = RecordKind(&header);
      if (kind == RECORD_HEADER_BLOCK)
        ReadHeaderBlock(stream, &header, &info);
      else if (RecordPayloadLength(&header) > 0)
        results.push_back(ExportFrame(stream, &header, &info, context));
    }
    if (stream) fclose(stream);
    return results;
  }
  void Header(ChannelMask channels) {
    RecordingBuilder r;
    r.HeaderBlock(MARCH_7_2009, channels);
    Feed(r.file);
  }
  // One 16x16 frame of codec type 2 at 08:05:<second>.
  int Frame(unsigned kind, unsigned channel, unsigned second, const Bytes& picture) {
    RecordingBuilder r;
    r.Frame16(kind, channel, second, picture);
    Results results = Feed(r.file);
    return results.size() == 1 ? results[0] : -100;
  }
};

// Frames before the first header block are dated 0000-00-00.
TEST_F(ChannelExporterTest, SegmentsRunFromAKeyFrameToASizeChange) {
  AddExporter(0);
  std::vector<Bytes> big;
  for (unsigned i = 0; i < 3; i++) big.push_back(MakePicture(640, 480, i));
  RecordingBuilder r;
  r.PlainFrame(1, 0, 2, 3, TimeOfDay(8, 5, 0), big[0]);  // before any key frame
  r.PlainFrame(0, 0, 2, 3, TimeOfDay(8, 5, 1), big[1]);
  r.PlainFrame(1, 0, 2, 3, TimeOfDay(8, 5, 3), big[2]);
  r.PlainFrame(1, 0, 2, 1, TimeOfDay(8, 5, 4), MakePicture(320, 240, 0));  // closes the segment
  EXPECT_EQ(Feed(r.file), (Results{-4, 0, 0, -4}));
  const char* name = "Ch1_00000000_080501_00000000_080503.avi";
  EXPECT_EQ(out.Names(), (NameList{name}));
  AviContents a = ReadAvi(out.File(name));
  ExpectFrames(a, {big[1], big[2]}, {0x10, 0});
  EXPECT_EQ(std::to_string(a.width) + "x" + std::to_string(a.height) + " " + a.handler,
            "640x480 xvid");
  EXPECT_EQ(a.microsPerFrame, 33333u);  // the creation rate stays in the main header
  EXPECT_EQ(a.rate, 1000u);             // 2 frames over 2 s
  EXPECT_EQ(tambrix.state->liveDecoders + tambrix.state->liveEncoders, 0);
}

// A codec change without a size change keeps the segment and its decoder.
// The key-frame sign reaches Decode and, left in its view, Encode.
TEST_F(ChannelExporterTest, CodecsGetTheirOpenParametersAndACodecChangeKeepsTheSegment) {
  ModuleProbe ravex(ProgramFolder() + "ravex.dll"), sorvel(ProgramFolder() + "sorvel.dll");
  AddExporter(2);
  std::vector<Bytes> p;
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 4);
  for (unsigned i = 0; i < 3; i++) {  // codec types 2 (format code 2: mode 3), 1, 0
    p.push_back(MakePicture(640, 480, i));
    r.PlainFrame(i == 2, 2, 2 - i, 3, TimeOfDay(8, 5, i), p[i]);
  }
  EXPECT_EQ(Feed(r.file), (Results{0, 0, 0}));
  EXPECT_EQ(Params(tambrix.state->lastDecoderOpen),
            "mode 3 640x480 format 4 rate 0 reserved 0 type 2");
  EXPECT_EQ(Params(tambrix.state->lastEncoderOpen),
            "mode 2 640x480 format 4 rate 30 reserved 0 type 5");
  EXPECT_EQ(tambrix.state->openDecoderCalls, 1);
  EXPECT_EQ(tambrix.state->decodeCalls, 3);
  EXPECT_EQ(ravex.state->initializeCalls + sorvel.state->initializeCalls, 0);
  EXPECT_EQ(tambrix.state->lastKeyFrameSign, -1);
  EXPECT_EQ(tambrix.state->lastEncodeKeyFrameSign, -1);
  ReleaseExporter(2);
  ExpectFrames(ReadAvi(out.File("Ch3_20090307_080500_20090307_080502.avi")), p, {0x10, 0x10, 0});

  // Extended form: the prefix word's mode and codec type reach the decoder.
  AddExporter(2);
  RecordingBuilder x;
  x.ExtendedFrame(0, 2, 10, 48, 32, TimeOfDay(9, 0, 0), MakePicture(48, 32, 1), 1);
  EXPECT_EQ(Feed(x.file), (Results{0}));
  EXPECT_EQ(Params(tambrix.state->lastDecoderOpen),
            "mode 1 48x32 format 4 rate 0 reserved 0 type 10");
  EXPECT_EQ(tambrix.state->lastKeyFrameSign + tambrix.state->lastEncodeKeyFrameSign, 2);
}

struct RateCase {
  int frames;
  int32_t spanMs;       // from the first frame's time to the last's
  uint32_t streamRate;  // strh rate: whole frames per second times 1000
};

class SegmentRateTest : public ChannelExporterTest,
                        public ::testing::WithParamInterface<RateCase> {};

TEST_P(SegmentRateTest, FollowsTheFrameCountOverTheSegmentsSeconds) {
  AddExporter(0);
  RecordingBuilder r;
  int n = GetParam().frames;
  for (int i = 0; i < n; i++)
    r.ExtendedFrame(i > 0, 0, 2, 16, 16,
                    TimeOfDay(8, 5, 30) + (int32_t)((int64_t)GetParam().spanMs * i / (n - 1)),
                    Pic(1));
  EXPECT_EQ(Feed(r.file), Results(n, 0));
  ReleaseExporter(0);
  ASSERT_EQ(out.Names().size(), 1u);
  AviContents avi = ReadAvi(out.File(out.Names()[0]));
  EXPECT_EQ(avi.totalFrames, (uint32_t)n);
  EXPECT_EQ(avi.rate, GetParam().streamRate);
}

INSTANTIATE_TEST_SUITE_P(Rates, SegmentRateTest,
                         ::testing::Values(RateCase{100, 10000, 10000},
                                           RateCase{290, 10000, 29000},
                                           RateCase{295, 10000, 30000},
                                           RateCase{20, 900, 30000},  // within one second
                                           RateCase{2, -10000, 30000}));

TEST_F(ChannelExporterTest, NamesNumberLaterSegmentsKeepHoursPastMidnightAndReplaceOldFiles) {
  const NameList names = {"Ch5_20090307_250000_20090307_250001.avi",
                          "Ch5_20090307_250002_20090307_250002(2).avi",
                          "Ch5_20090307_250003_20090307_250101(3).avi"};
  ASSERT_EQ(WriteFileBytes(out.File(names[0]).c_str(), Bytes(20, 7)), 0);  // an older export
  AddExporter(4);
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1 << 4);
  uint32_t t = 90000000;  // 25:00:00
  for (unsigned i : {0u, 1u, 2u, 3u, 61u}) {
    unsigned width = i == 2 ? 32 : 16;  // a size change between two key frames
    r.ExtendedFrame(i == 1 || i == 61, 4, 2, width, 16, t + i * 1000, MakePicture(width, 16, i));
  }
  EXPECT_EQ(Feed(r.file), (Results{0, 0, 0, 0, 0}));
  ReleaseExporter(4);
  EXPECT_EQ(out.Names(), names);
  ExpectFrames(ReadAvi(out.File(names[0])), {Pic(0), Pic(1)}, {0x10, 0});
}

// A failed transcode costs its frame only: the segment, its codecs and its
// last time stay.
TEST_F(ChannelExporterTest, AFrameThatFailsToTranscodeIsDroppedAndTheSegmentStaysOpen) {
  ChannelExporter* exporter = AddExporter(0);
  Header(1);
  EXPECT_EQ(Frame(0, 0, 0, Pic(0)), 0);
  int32_t* failures[] = {&tambrix.state->failDecodes, &tambrix.state->failEncodes,
                         &tambrix.state->encodeExtra};  // an encoder that overstates
  for (unsigned i = 0; i < 3; i++) {
    EXPECT_EQ(Frame(1, 0, 1 + 2 * i, Pic(10 + i)), 0);
    *failures[i] = 1;
    EXPECT_EQ(Frame(1, 0, 2 + 2 * i, Pic(20)), -6) << i;
    *failures[i] = 0;
  }
  EXPECT_NE(exporter->avi, nullptr);
  EXPECT_EQ(tambrix.state->openDecoderCalls, 1);
  ReleaseExporter(0);
  ExpectFrames(ReadAvi(out.File("Ch1_20090307_080500_20090307_080505.avi")),
               {Pic(0), Pic(10), Pic(11), Pic(12)}, {0x10, 0, 0, 0});
}

// A segment that cannot be opened leaves the exporter idle, its codec
// instances closed, until the next key frame. Only a file that could not be
// created counts as a failed segment.
TEST_F(ChannelExporterTest, OpensThatFailLeaveTheExporterIdleUntilTheNextKeyFrame) {
  ChannelExporter* exporter = AddExporter(0);
  Header(1);
  tambrix.state->refuseDecoderOpens = 1;
  EXPECT_EQ(Frame(0, 0, 0, Pic(1)), -5);
  EXPECT_EQ(Frame(1, 0, 1, Pic(2)), -4);
  EXPECT_EQ(tambrix.state->openEncoderCalls, 0);
  tambrix.state->refuseEncoderOpens = 1;
  EXPECT_EQ(Frame(0, 0, 2, Pic(3)), -5);
  RecordingBuilder noModule;
  noModule.ExtendedFrame(0, 0, 3, 16, 16, TimeOfDay(8, 5, 3), Pic(4));
  EXPECT_EQ(Feed(noModule.file), (Results{-5}));
  EXPECT_EQ(context->failedSegments, 0);
  snprintf(exporter->tempPath, sizeof exporter->tempPath, "%s",
           out.File("missing" PATH_SEPARATOR "~1.avi").c_str());
  EXPECT_EQ(Frame(0, 0, 4, Pic(5)), -5);
  EXPECT_EQ(context->failedSegments, 1);
  EXPECT_EQ(tambrix.state->liveDecoders + tambrix.state->liveEncoders, 0);
  EXPECT_EQ(exporter->avi, nullptr);
  EXPECT_TRUE(out.Names().empty());

  ASSERT_EQ(NameTempSegment(exporter, context->outputFolder), 0);
  EXPECT_EQ(Frame(0, 0, 5, Pic(6)), 0);
  EXPECT_EQ(tambrix.state->openDecoderCalls, 4);
}

TEST_F(ChannelExporterTest, TranscodeFrameNeedsBuffersThatCanGrow) {
  ChannelExporter exporter = {};
  FrameInfo frame = {};
  frame.width = frame.height = 16;
  CalendarTime time = {};
  EXPECT_EQ(TranscodeFrame(&frame, &time, context, &exporter), -1);
  GrowBufferInit(&exporter.picture);
  EXPECT_EQ(TranscodeFrame(&frame, &time, context, &exporter), -2);
  GrowBufferFree(&exporter.picture);
}

// A temporary file left by an earlier run that never finished is not a
// segment of this run: neither named nor counted.
TEST_F(ChannelExporterTest, ClosingWithoutAnOpenSegmentCountsItButLeavesFilesAlone) {
  ASSERT_EQ(WriteFileBytes(out.File("~1.avi").c_str(), Bytes(50, 1)), 0);
  ChannelExporter* exporter = AddExporter(0);
  EXPECT_EQ(CloseSegment(context, exporter), 0);
  EXPECT_EQ(exporter->segmentCount, 1);
  EXPECT_EQ(out.Names(), (NameList{"~1.avi"}));
  EXPECT_TRUE(ReadBytes(out.File("~1.avi")) == Bytes(50, 1));
  EXPECT_EQ(context->failedSegments, 0);
}

// Records the exporter cannot use cost only themselves; frames without a
// picture size (-3) never reach a codec.
TEST_F(ChannelExporterTest, UnusableRecordsAreReportedAndPassedOver) {
  AddExporter(0);
  RecordingBuilder r;
  r.Frame16(0, 3, 0, Pic(7));                                         // no exporter: -1
  r.ExtendedFrame(0, 0, 2, 0, 16, TimeOfDay(8, 5, 0), Bytes(24, 1));  // width 0
  r.ExtendedFrame(0, 0, 2, 16, 0, TimeOfDay(8, 5, 0), Bytes(24, 1));  // height 0
  r.ExtendedFrame(0, 0, 2, 0, 0, TimeOfDay(8, 5, 0), Bytes());        // prefix only
  r.PlainFrame(0, 0, 2, 0, TimeOfDay(8, 5, 0), Bytes(24, 1));         // size code 0
  r.Record(MakeExtendedHeader(0, 0, TimeOfDay(8, 5, 0), 3), Bytes{1, 2, 3});  // no prefix room
  r.Frame16(0, 0, 1, Pic(5));
  r.Frame16(1, 0, 2, Pic(6));
  Bytes cut(r.file.begin(), r.file.end() - 10);  // the last payload is short: -2
  EXPECT_EQ(Feed(cut), (Results{-1, -3, -3, -3, -3, -3, 0, -2}));
  EXPECT_EQ(tambrix.state->openDecoderCalls, 1);
  EXPECT_EQ(tambrix.state->decodeCalls, 1);
  ReleaseExporter(0);
  ASSERT_EQ(out.Names().size(), 1u);
  ExpectFrames(ReadAvi(out.File(out.Names()[0])), {Pic(5)}, {0x10});
}

// Brings the open segment's file to a few bytes short of the AVI size limit
// (a sparse file: nothing is written in between).
void FillSegmentToTheLimit(ChannelExporter* exporter) {
  ASSERT_NE(exporter->avi, nullptr);
  ASSERT_EQ(fseeko(exporter->avi->writer->aviFile, (off_t)(AVI_FILE_LIMIT - 100), SEEK_SET), 0);
}

TEST_F(ChannelExporterTest, ASegmentAtTheSizeLimitIsClosedAndTheChannelGoesOn) {
  ChannelExporter* exporter = AddExporter(0);
  Header(1);
  EXPECT_EQ(Frame(0, 0, 0, Pic(0)), 0);
  EXPECT_EQ(Frame(1, 0, 1, Pic(1)), 0);
  // A non-key frame that does not fit: the full segment is closed and named;
  // the channel waits for its next key frame.
  FillSegmentToTheLimit(exporter);
  EXPECT_EQ(Frame(1, 0, 2, Pic(2)), -7);
  EXPECT_EQ(Frame(1, 0, 3, Pic(3)), -4);
  EXPECT_EQ(Frame(0, 0, 4, Pic(4)), 0);
  const std::string first = out.File("Ch1_20090307_080500_20090307_080501.avi");
  AviContents avi = ReadAvi(first, false);
  ExpectFrames(avi, {Pic(0), Pic(1)}, {0x10, 0});
  EXPECT_GE(avi.fileSize, (uint64_t)(AVI_FILE_LIMIT - 100));
  std::filesystem::remove(first);  // sparse, but 2 GB long

  // A key frame that does not fit starts the next segment itself.
  FillSegmentToTheLimit(exporter);
  EXPECT_EQ(Frame(0, 0, 5, Pic(5)), 0);
  EXPECT_EQ(Frame(1, 0, 6, Pic(6)), 0);
  const std::string second = out.File("Ch1_20090307_080504_20090307_080504(2).avi");
  ExpectFrames(ReadAvi(second, false), {Pic(4)}, {0x10});
  std::filesystem::remove(second);
  ReleaseExporter(0);
  const char* third = "Ch1_20090307_080505_20090307_080506(3).avi";
  EXPECT_EQ(out.Names(), (NameList{third}));
  ExpectFrames(ReadAvi(out.File(third)), {Pic(5), Pic(6)}, {0x10, 0});
  EXPECT_EQ(context->failedSegments, 0);
}

// Frames lost with the ones before them: the segment goes on, but keeps its
// temporary name and provisional header, and is counted once.
TEST_F(ChannelExporterTest, FramesLostWithTheOnesBeforeThemLeaveTheSegmentUnnamed) {
  ChannelExporter* exporter = AddExporter(0);
  Header(1);
  EXPECT_EQ(Frame(0, 0, 0, Pic(0)), 0);
  Results results;
  {
    FileSizeLimit full(300);  // the stream holds about ten frames; pushing them out fails
    for (unsigned i = 1; i <= 12; i++) results.push_back(Frame(1, 0, i, Pic(i)));
  }
  EXPECT_NE(std::find(results.begin(), results.end(), -7), results.end());
  EXPECT_NE(exporter->avi, nullptr);  // the segment goes on
  EXPECT_EQ(Frame(1, 0, 13, Pic(13)), 0);
  ReleaseExporter(0);
  EXPECT_EQ(out.Names(), (NameList{"~1.avi"}));
  EXPECT_EQ(context->failedSegments, 1);
  EXPECT_EQ(Le32(ReadBytes(out.File("~1.avi")), 4), 0xFFFFFFFFu);
  EXPECT_EQ(tambrix.state->liveDecoders + tambrix.state->liveEncoders, 0);
}

TEST_F(ChannelExporterTest, AFrameThatCannotBeWrittenAloneLeavesANamedButCountedSegment) {
  ChannelExporter* exporter = AddExporter(0);
  std::vector<Bytes> p = {MakePicture(640, 480, 1), MakePicture(640, 480, 2),
                          MakePicture(640, 480, 3)};
  RecordingBuilder first, second, third;
  first.HeaderBlock(MARCH_7_2009, 1);
  first.PlainFrame(0, 0, 2, 3, TimeOfDay(8, 5, 0), p[0]);
  EXPECT_EQ(Feed(first.file), (Results{0}));
  FILE* file = exporter->avi->writer->aviFile;
  ASSERT_EQ(fflush(file), 0);
  second.PlainFrame(1, 0, 2, 3, TimeOfDay(8, 5, 1), p[1]);
  {
    // Room for part of the frame only; nothing written before it is lost.
    FileSizeLimit full((uint64_t)ftello(file) + 10000);
    EXPECT_EQ(Feed(second.file), (Results{-7}));
  }
  third.PlainFrame(1, 0, 2, 3, TimeOfDay(8, 5, 2), p[2]);
  EXPECT_EQ(Feed(third.file), (Results{0}));
  ReleaseExporter(0);
  // A good file that lacks a frame: named, and reported.
  const char* name = "Ch1_20090307_080500_20090307_080502.avi";
  ASSERT_EQ(out.Names(), (NameList{name}));
  ExpectFrames(ReadAvi(out.File(name), false), {p[0], p[2]}, {0x10, 0});
  EXPECT_EQ(context->failedSegments, 1);
}

}  // namespace
