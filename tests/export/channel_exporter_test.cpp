// The channel exporter with the lossless test modules: segments start at key
// frames, split at size changes, get their rate and final name at closing,
// and failures cost single frames.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "export/channel_exporter.h"
#include "export/codec_modules.h"
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
  ChannelExporter* exporter = nullptr;  // of channel 1, the only one

  void SetUp() override {
    ASSERT_NE(tambrix.state, nullptr);
    CodecModulesInit();
    AddExporter();
  }
  void TearDown() override {
    ReleaseExporter();
    CodecModulesRelease();
  }
  // As the export run prepares and ends an exporter.
  void AddExporter() {
    exporter = context->exporters[0] = new ChannelExporter();
    EXPECT_EQ(NameTempSegment(exporter, context->outputFolder), 0);
    GrowBufferInit(&exporter->encoded);
    GrowBufferInit(&exporter->picture);
  }
  void ReleaseExporter() {
    if (!exporter) return;
    GrowBufferFree(&exporter->encoded);
    GrowBufferFree(&exporter->picture);
    CloseSegment(context, exporter);
    delete exporter;
    exporter = context->exporters[0] = nullptr;
  }
  // Walks a recording as the export run does: header blocks update `info`,
  // video records go to ExportFrame, whose results are returned in order.
  Results Feed(Bytes file) {
    Results results;
    FILE* stream = fmemopen(file.data(), file.size(), "rb");
    RecordHeader header;
    while (stream && ReadRecordHeader(stream, &header)) {
      if (RecordKind(&header) == RECORD_HEADER_BLOCK)
        ReadHeaderBlock(stream, &header, &info);
      else if (RecordPayloadLength(&header) > 0)
        results.push_back(ExportFrame(stream, &header, &info, context));
    }
    if (stream) fclose(stream);
    return results;
  }
  // A header block of 7 March 2009 and one 16x16 frame at 08:05:<second>.
  int Frame(unsigned kind, unsigned second, const Bytes& picture) {
    RecordingBuilder r;
    r.HeaderBlock(MARCH_7_2009, 1);
    r.Frame16(kind, 0, second, picture);
    Results results = Feed(r.file);
    return results.size() == 1 ? results[0] : -100;
  }
};

// Frames before the first header block are dated 0000-00-00; hours go on
// past midnight. The creation rate stays in the main header.
TEST_F(ChannelExporterTest, SegmentsRunFromAKeyFrameToASizeChange) {
  std::vector<Bytes> big;
  for (unsigned i = 0; i < 3; i++) big.push_back(MakePicture(640, 480, i));
  const uint32_t t = 90000000;  // 25:00:00
  RecordingBuilder r;
  r.PlainFrame(1, 0, 2, 3, t, big[0]);  // before any key frame
  r.PlainFrame(0, 0, 2, 3, t + 1000, big[1]);
  r.PlainFrame(1, 0, 2, 3, t + 3000, big[2]);
  r.PlainFrame(1, 0, 2, 1, t + 4000, MakePicture(320, 240, 0));  // closes the segment
  EXPECT_EQ(Feed(r.file), (Results{-4, 0, 0, -4}));
  const char* name = "Ch1_00000000_250001_00000000_250003.avi";
  EXPECT_EQ(out.Names(), (NameList{name}));
  AviContents a = ReadAvi(out.File(name));
  ExpectFrames(a, {big[1], big[2]}, {0x10, 0});
  EXPECT_EQ(std::to_string(a.width) + "x" + std::to_string(a.height) + " " + a.handler +
                " " + std::to_string(a.microsPerFrame) + " " + std::to_string(a.rate),
            "640x480 xvid 33333 1000");  // 2 frames over 2 s
  EXPECT_EQ(tambrix.state->liveDecoders + tambrix.state->liveEncoders, 0);
}

// The rate is whole frames per second over the segment's whole seconds, 30
// at most and when the span is under a second or runs backwards.
TEST_F(ChannelExporterTest, TheRateFollowsTheFrameCountOverTheSegmentsSeconds) {
  const struct { int frames; int32_t spanMs; uint32_t streamRate; } cases[] = {
      {100, 10000, 10000}, {290, 10000, 29000}, {295, 10000, 30000}, {20, 900, 30000},
      {2, -10000, 30000}};
  for (const auto& c : cases) {
    RecordingBuilder r;
    for (int i = 0; i < c.frames; i++)
      r.ExtendedFrame(i > 0, 0, 2, 16, 16,
                      TimeOfDay(8, 5, 30) + (int32_t)((int64_t)c.spanMs * i / (c.frames - 1)),
                      Pic(1));
    EXPECT_EQ(Feed(r.file), Results(c.frames, 0));
    ReleaseExporter();
    AddExporter();
    ASSERT_EQ(out.Names().size(), 1u);
    AviContents avi = ReadAvi(out.File(out.Names()[0]));
    EXPECT_EQ(avi.rate, c.streamRate) << c.frames;
    std::filesystem::remove(out.File(out.Names()[0]));
  }
}

// A codec change without a size change keeps the segment and its decoder.
// The key-frame sign reaches Decode and, left in its view, Encode; the
// extended form's prefix word gives the decoder its mode and codec type.
TEST_F(ChannelExporterTest, CodecsGetTheirOpenParametersAndACodecChangeKeepsTheSegment) {
  std::vector<Bytes> p;
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  for (unsigned i = 0; i < 3; i++) {  // codec types 2, 1, 0
    p.push_back(MakePicture(640, 480, i));
    r.PlainFrame(i == 2, 0, 2 - i, 3, TimeOfDay(8, 5, i), p[i]);
  }
  EXPECT_EQ(Feed(r.file), (Results{0, 0, 0}));
  EXPECT_EQ(Params(tambrix.state->lastDecoderOpen),
            "mode 3 640x480 format 4 rate 0 reserved 0 type 2");
  EXPECT_EQ(Params(tambrix.state->lastEncoderOpen),
            "mode 2 640x480 format 4 rate 30 reserved 0 type 5");
  EXPECT_EQ(tambrix.state->openDecoderCalls * 10 + tambrix.state->decodeCalls, 13);
  EXPECT_EQ(tambrix.state->lastKeyFrameSign + tambrix.state->lastEncodeKeyFrameSign, -2);
  ReleaseExporter();
  ExpectFrames(ReadAvi(out.File("Ch1_20090307_080500_20090307_080502.avi")), p, {0x10, 0x10, 0});

  AddExporter();
  RecordingBuilder x;
  x.ExtendedFrame(0, 0, 10, 48, 32, TimeOfDay(9, 0, 0), MakePicture(48, 32, 1), 1);
  EXPECT_EQ(Feed(x.file), (Results{0}));
  EXPECT_EQ(Params(tambrix.state->lastDecoderOpen),
            "mode 1 48x32 format 4 rate 0 reserved 0 type 10");
  EXPECT_EQ(tambrix.state->lastKeyFrameSign + tambrix.state->lastEncodeKeyFrameSign, 2);
}

// Records the exporter cannot use cost only themselves; frames without a
// picture size (-3) never reach a codec.
TEST_F(ChannelExporterTest, UnusableRecordsAreReportedAndPassedOver) {
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
  EXPECT_EQ(tambrix.state->openDecoderCalls * 10 + tambrix.state->decodeCalls, 11);
  ReleaseExporter();
  ASSERT_EQ(out.Names().size(), 1u);
  ExpectFrames(ReadAvi(out.File(out.Names()[0])), {Pic(5)}, {0x10});
}

// A failed transcode costs its frame only: the segment, its codecs and its
// last time stay. Without buffers that can grow nothing is transcoded.
TEST_F(ChannelExporterTest, AFrameThatFailsToTranscodeIsDroppedAndTheSegmentStaysOpen) {
  EXPECT_EQ(Frame(0, 0, Pic(0)), 0);
  int32_t* failures[] = {&tambrix.state->failDecodes, &tambrix.state->failEncodes,
                         &tambrix.state->encodeExtra};  // an encoder that overstates
  for (unsigned i = 0; i < 3; i++) {
    EXPECT_EQ(Frame(1, 1 + 2 * i, Pic(10 + i)), 0);
    *failures[i] = 1;
    EXPECT_EQ(Frame(1, 2 + 2 * i, Pic(20)), -6) << i;
    *failures[i] = 0;
  }
  EXPECT_EQ(tambrix.state->openDecoderCalls, 1);
  ReleaseExporter();
  ExpectFrames(ReadAvi(out.File("Ch1_20090307_080500_20090307_080505.avi")),
               {Pic(0), Pic(10), Pic(11), Pic(12)}, {0x10, 0, 0, 0});

  ChannelExporter unready = {};
  FrameInfo frame = {};
  frame.width = frame.height = 16;
  CalendarTime time = {};
  EXPECT_EQ(TranscodeFrame(&frame, &time, context, &unready), -1);
  GrowBufferInit(&unready.picture);
  EXPECT_EQ(TranscodeFrame(&frame, &time, context, &unready), -2);
  GrowBufferFree(&unready.picture);
}

// A segment that cannot be opened leaves the exporter idle, its codec
// instances closed, until the next key frame. Only files that could not be
// created count, once for the key frames that try in vain, and what a
// failed create left (an empty file on a full disk) is removed.
TEST_F(ChannelExporterTest, OpensThatFailLeaveTheExporterIdleUntilTheNextKeyFrame) {
  tambrix.state->refuseDecoderOpens = 1;
  EXPECT_EQ(Frame(0, 0, Pic(1)), -5);
  EXPECT_EQ(Frame(1, 1, Pic(2)), -4);
  EXPECT_EQ(tambrix.state->openEncoderCalls, 0);
  tambrix.state->refuseEncoderOpens = 1;
  EXPECT_EQ(Frame(0, 2, Pic(3)), -5);
  EXPECT_EQ(context->uncreatedSegments, 0);
  {
    FileSizeLimit full(0);
    EXPECT_EQ(Frame(0, 5, Pic(5)), -5);
    EXPECT_EQ(Frame(0, 6, Pic(5)), -5);
  }
  EXPECT_EQ(context->uncreatedSegments * 10 + context->failedSegments, 10);
  EXPECT_EQ(tambrix.state->liveDecoders + tambrix.state->liveEncoders, 0);
  EXPECT_TRUE(out.Names().empty());
  EXPECT_EQ(Frame(0, 7, Pic(6)), 0);
  EXPECT_EQ(tambrix.state->openDecoderCalls, 5);
}

// A non-key frame that does not fit under the AVI size limit closes and
// names the full segment, and the channel waits for its next key frame; a
// key frame that does not fit starts the next segment itself. The files are
// sparse: nothing is written up to a few bytes short of the limit.
TEST_F(ChannelExporterTest, ASegmentAtTheSizeLimitIsClosedAndTheChannelGoesOn) {
  auto fill = [this] {
    ASSERT_NE(exporter->avi, nullptr);
    ASSERT_EQ(fseeko(exporter->avi->writer->aviFile, (off_t)(AVI_FILE_LIMIT - 100), SEEK_SET), 0);
  };
  EXPECT_EQ(Frame(0, 0, Pic(0)), 0);
  EXPECT_EQ(Frame(1, 1, Pic(1)), 0);
  fill();
  EXPECT_EQ(Frame(1, 2, Pic(2)), -7);
  EXPECT_EQ(Frame(1, 3, Pic(3)), -4);
  EXPECT_EQ(Frame(0, 4, Pic(4)), 0);
  fill();
  EXPECT_EQ(Frame(0, 5, Pic(5)), 0);
  EXPECT_EQ(Frame(1, 6, Pic(6)), 0);
  ReleaseExporter();
  const NameList names = {"Ch1_20090307_080500_20090307_080501.avi",
                          "Ch1_20090307_080504_20090307_080504(2).avi",
                          "Ch1_20090307_080505_20090307_080506(3).avi"};
  EXPECT_EQ(out.Names(), names);
  const std::vector<std::vector<Bytes>> pictures = {{Pic(0), Pic(1)}, {Pic(4)}, {Pic(5), Pic(6)}};
  const std::vector<std::vector<uint32_t>> flags = {{0x10, 0}, {0x10}, {0x10, 0}};
  for (size_t i = 0; i < names.size(); i++) {
    AviContents avi = ReadAvi(out.File(names[i]), false);
    ExpectFrames(avi, pictures[i], flags[i]);
    EXPECT_EQ(avi.fileSize >= (uint64_t)(AVI_FILE_LIMIT - 100), i < 2) << names[i];
    std::filesystem::remove(out.File(names[i]));
  }
  EXPECT_EQ(context->failedSegments, 0);
}

// Room for part of a frame only: that frame is lost, nothing written before
// it; later frames still go in, and the finished file is named but counted.
TEST_F(ChannelExporterTest, AFrameThatCannotBeWrittenLeavesANamedButCountedSegment) {
  std::vector<Bytes> p;
  RecordingBuilder r[3];
  r[0].HeaderBlock(MARCH_7_2009, 1);
  for (unsigned i = 0; i < 3; i++) {
    p.push_back(MakePicture(640, 480, i));
    r[i].PlainFrame(i > 0, 0, 2, 3, TimeOfDay(8, 5, i), p[i]);
  }
  EXPECT_EQ(Feed(r[0].file), (Results{0}));
  FILE* file = exporter->avi->writer->aviFile;
  ASSERT_EQ(fflush(file), 0);
  {
    FileSizeLimit full((uint64_t)ftello(file) + 10000);
    EXPECT_EQ(Feed(r[1].file), (Results{-7}));
  }
  EXPECT_EQ(Feed(r[2].file), (Results{0}));
  ReleaseExporter();
  const char* name = "Ch1_20090307_080500_20090307_080502.avi";
  ASSERT_EQ(out.Names(), (NameList{name}));
  ExpectFrames(ReadAvi(out.File(name), false), {p[0], p[2]}, {0x10, 0});
  EXPECT_EQ(context->failedSegments, 1);
}

// A copy stores each frame's data unchanged (odd lengths that no decoder
// would take) under its codec's FourCC, without a codec module; a codec
// change closes the segment, and a frame of a type without a known codec
// (3, 7) is counted and passed over without closing it.
TEST_F(ChannelExporterTest, ACopyStoresEveryFrameAsRecordedUnderItsCodecsFourCC) {
  context->options.copy = 1;
  const struct { unsigned type; const char* handler; } types[] = {
      {0, "MJPG"}, {1, "H263"},  {2, "FMP4"},  {4, "FMP4"},  {5, "FMP4"},  {10, "FMP4"},
      {6, "H264"}, {8, "H264"},  {9, "H264"},  {11, "H264"}, {12, "H264"}, {13, "H264"},
      {14, "H264"}, {15, "H264"}};
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  Results expected;
  for (unsigned i = 0; i < 14; i++) {
    r.ExtendedFrame(0, 0, types[i].type, 16, 16, TimeOfDay(8, 5, 2 * i), Bytes(i + 1, 0xA0));
    r.ExtendedFrame(0, 0, i % 2 ? 3 : 7, 16, 16, TimeOfDay(8, 5, 2 * i), Bytes(9, 0));
    r.ExtendedFrame(1, 0, types[i].type, 16, 16, TimeOfDay(8, 5, 2 * i + 1), Bytes(i + 2, i));
    expected.insert(expected.end(), {0, -5, 0});
  }
  r.PlainFrame(0, 0, 1, 1, TimeOfDay(9, 0, 0), Bytes(3, 7));  // the whole payload
  expected.push_back(0);
  EXPECT_EQ(Feed(r.file), expected);
  EXPECT_EQ(context->uncopiedFrames, 14);
  ReleaseExporter();
  EXPECT_EQ(tambrix.state->openDecoderCalls + tambrix.state->openEncoderCalls, 0);
  ASSERT_EQ(out.Names().size(), 15u);
  for (unsigned i = 0; i < 15; i++) {
    char name[64];
    snprintf(name, sizeof name, i == 0 ? "Ch1_20090307_0805%02u_20090307_0805%02u.avi"
                                       : "Ch1_20090307_0805%02u_20090307_0805%02u(%u).avi",
             2 * i, 2 * i + 1, i + 1);
    if (i == 14) snprintf(name, sizeof name, "Ch1_20090307_090000_20090307_090000(15).avi");
    AviContents avi = ReadAvi(out.File(name));
    EXPECT_EQ(avi.handler, i < 14 ? types[i].handler : "H263") << name;
    if (i < 14)
      ExpectFrames(avi, {Bytes(i + 1, 0xA0), Bytes(i + 2, i)}, {0x10, 0});
    else
      ExpectFrames(avi, {Bytes(3, 7)}, {0x10});
  }
}

// Each named segment's caption file holds one caption a frame at index x
// 1000 / the rate its AVI file ended with (a rate below 1 keeps the opening
// 30), showing the frame's recorded time, without a date before any header
// block. No caption file is left for a segment that keeps its temporary
// name, nor a half-written one.
TEST_F(ChannelExporterTest, CaptionsShowEachFramesTimeWhileTheFrameIsOnScreen) {
  context->options.captions = 1;
  RecordingBuilder r;
  r.Frame16(0, 0, 0, Pic(0));  // 08:05:00, no date yet
  r.HeaderBlock(MARCH_7_2009, 1);
  for (unsigned i = 0; i < 3; i++)  // 3 frames over 2 s: the rate is 1
    r.ExtendedFrame(i > 0, 0, 2, 32, 16, TimeOfDay(8, 5, 1 + i, i == 2 ? 5 : 250),
                    MakePicture(32, 16, i));
  r.Frame16(0, 0, 0, Pic(3));
  r.Frame16(1, 0, 4, Pic(4));  // 2 frames over 4 s
  EXPECT_EQ(Feed(r.file), Results(6, 0));
  ReleaseExporter();
  const std::string body = "</STYLE>\n</HEAD>\n<BODY>\n", end = "</BODY>\n</SAMI>\n";
  const struct { const char* name; std::string captions; } files[] = {
      {"Ch1_00000000_080500_00000000_080500.smi",
       " <SYNC Start=0>\n <P Class=LANGCC> 08:05:00.000\n"},
      {"Ch1_20090307_080501_20090307_080503(2).smi",
       " <SYNC Start=0>\n <P Class=LANGCC> 2009-03-07 08:05:01.250\n"
       " <SYNC Start=1000>\n <P Class=LANGCC> 2009-03-07 08:05:02.250\n"
       " <SYNC Start=2000>\n <P Class=LANGCC> 2009-03-07 08:05:03.005\n"},
      {"Ch1_20090307_080500_20090307_080504(3).smi",
       " <SYNC Start=0>\n <P Class=LANGCC> 2009-03-07 08:05:00.000\n"
       " <SYNC Start=33>\n <P Class=LANGCC> 2009-03-07 08:05:04.000\n"}};
  for (const auto& file : files) {
    const std::string text = ReadText(out.File(file.name));
    EXPECT_EQ(text.rfind("<SAMI>\n<HEAD>\n", 0), 0u) << file.name;
    EXPECT_EQ(text.substr(std::min(text.size(), text.find(body) + body.size())),
              file.captions + end) << file.name;
  }
  EXPECT_EQ(out.Names().size(), 6u);
  EXPECT_EQ(context->failedCaptions, 0);
  for (const std::string& name : out.Names()) std::filesystem::remove(out.File(name));

  // A caption file that cannot be created, one that cannot be written whole,
  // and a segment whose file cannot be finished.
  AddExporter();
  const std::string blocked = "Ch1_20090307_080500_20090307_080500.smi";
  std::filesystem::create_directory(out.File(blocked));
  EXPECT_EQ(Frame(0, 0, Pic(0)), 0);
  ReleaseExporter();
  AddExporter();
  context->options.copy = 1;
  RecordingBuilder tiny;
  for (unsigned i = 0; i < 20; i++) tiny.Frame16(i > 0, 0, 10, Bytes(1, 1));
  EXPECT_EQ(Feed(tiny.file), Results(20, 0));
  {
    FileSizeLimit full(1000);  // the AVI file's 752 bytes, not the captions
    ReleaseExporter();
  }
  AddExporter();
  EXPECT_EQ(Frame(0, 20, Pic(0)), 0);
  {
    FileSizeLimit full(300);
    ReleaseExporter();
  }
  EXPECT_EQ(out.Names(), (NameList{"Ch1_20090307_080500_20090307_080500.avi", blocked,
                                   "Ch1_20090307_080510_20090307_080510.avi", "~1.avi"}));
  EXPECT_EQ(context->failedCaptions, 2);
  EXPECT_EQ(context->failedSegments, 1);
}

}  // namespace
