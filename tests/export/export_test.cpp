// The export with the lossless test modules: the channel exporter, the run
// and its log for any number of jobs, and the codec module cache.
#include <filesystem>
#include <map>

#include "export/channel_exporter.h"
#include "export/codec_modules.h"
#include "export/export_log.h"
#include "export/export_run.h"
#include "shell/shell.h"
#include "tests/export/export_test_support.h"

namespace {

const PackedTime MARCH_7_2009 = MakePackedTime(2009, 3, 7, 8, 0, 0);
const std::vector<Bytes> P = Pictures(16, 16, 64);
typedef std::vector<int> Results;

// Channel 1's exporter as the export run prepares it, and whole runs.
class ExportTest : public ExportFixture {
 protected:
  ModuleProbe tambrix{ProgramFolder() + "tambrix.dll"};
  TestCodecState* const state = tambrix.state;
  ScratchFolder input;
  const std::string recordingPath = input.File("recording.dat");
  ExportRunLog log;
  HeaderInfo info = {};
  ChannelExporter* exporter = nullptr;

  void SetUp() override {
    ASSERT_NE(state, nullptr);
    CodecModulesInit();
    AddExporter();
    snprintf(context->recordingPath, sizeof context->recordingPath, "%s", recordingPath.c_str());
    log.gapMs = 2000;
  }
  void TearDown() override {
    ReleaseExporter();
    CodecModulesRelease();
    ExportPayloadAllocate = malloc;
  }
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
  // ExportFrame's results for the video records; header blocks set `info`.
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
  // A header block of 7 March 2009 and a 16x16 frame at 08:05:<second>.
  int Frame(unsigned kind, unsigned second, const Bytes& picture) {
    RecordingBuilder r;
    r.HeaderBlock(MARCH_7_2009, 1);
    r.Frame16(kind, 0, second, picture);
    Results results = Feed(r.file);
    return results.size() == 1 ? results[0] : -100;
  }
  // Every run ends with its exporters gone, its modules shut down and, unless
  // cancelled, the full report.
  int Run(const RecordingBuilder& recording, ChannelMask mask) {
    EXPECT_EQ(WriteFileBytes(recordingPath.c_str(), recording.file), 0);
    context->channelMask = mask;
    texts.clear();
    shell.progressText = "Static";
    FILE* stream = fopen(recordingPath.c_str(), "rb");
    int result = stream ? ExportRecordingFile(stream, context) : -100;
    if (stream) fclose(stream);
    for (ChannelExporter* e : context->exporters) EXPECT_EQ(e, nullptr);
    EXPECT_EQ(state->initializeCalls, state->shutdownCalls);
    EXPECT_EQ(state->liveDecoders + state->liveEncoders, 0);
    EXPECT_EQ(texts.back().find("(100 %)") != std::string::npos, result == 0) << texts.back();
    return result;
  }
  // The counts (lost, damaged, failed, texts), each logged segment and the
  // lost frames by channel and reason.
  std::string Facts() const {
    std::string facts = std::to_string(context->lostFrames) + " " +
                        std::to_string(context->damagedPlaces) + " " +
                        std::to_string(context->failedSegments) + " " +
                        std::to_string(texts.size()) + "\n";
    for (const SegmentResult& s : log.segments)
      facts += s.path.substr(out.path.size() + 1) + " " +
               (s.captionPath.empty() ? "-" : s.captionPath.substr(s.captionPath.size() - 4)) +
               " " + std::to_string(s.frames) + "/" + std::to_string(s.keyFrames) + " " +
               std::to_string(s.width) + "x" + std::to_string(s.height) + " " +
               std::to_string(s.codecTypes) + " " + std::to_string(s.outputCodecType) + " " +
               std::to_string((int)s.rate) + "\n";
    for (int channel = 0; channel < 3; channel++)
      for (int reason = 0; reason < LOSS_REASONS; reason++)
        if (log.lost[channel][reason])
          facts += std::to_string(channel + 1) + ":" + LOSS_REASON_NAMES[reason] + " " +
                   std::to_string(log.lost[channel][reason]) + " ";
    return facts;
  }
};
typedef ExportTest ChannelExporterTest;
typedef ExportTest ExportRunTest;
typedef ExportTest CodecModulesTest;

std::vector<int> Params(const CodecOpenParams& p) {
  return {p.mode, p.width, p.height, p.format, p.rate, p.reserved, p.codecType};
}

void UseFolders(const std::string& primary, const std::string& fallback) {
  snprintf(primaryFolder, sizeof primaryFolder, "%s", primary.c_str());
  snprintf(fallbackFolder, sizeof fallbackFolder, "%s", fallback.c_str());
}

// Segments run from a key frame to a size change (a codec change keeps them
// and their decoder), dated 0000-00-00 before any block, hours past 24.
// Codecs get their open parameters and key-frame sign. Unusable records: -1..-3.
TEST_F(ChannelExporterTest, SegmentsRunFromAKeyFrameToASizeChange) {
  const uint32_t t = TimeOfDay(25, 0, 0);
  std::vector<Bytes> p = P;
  p.push_back(MakePicture(48, 32, 0));
  RecordingBuilder r, x;
  r.ExtendedFrame(1, 0, 2, 16, 16, t, P[0]);  // before any key frame
  r.ExtendedFrame(0, 0, 2, 16, 16, t + 1000, P[1]);
  r.ExtendedFrame(1, 0, 1, 16, 16, t + 2000, P[2]);  // codec types 2 and 1 in one segment
  r.PlainFrame(1, 0, 0, 1, t + 3000, MakePicture(320, 240, 3));  // closes it
  r.Frame16(0, 3, 0, P[7]);                          // channel 4
  r.ExtendedFrame(0, 0, 2, 0, 16, t, Bytes(24, 1));  // width 0
  r.ExtendedFrame(0, 0, 2, 16, 0, t, Bytes(24, 1));  // height 0
  r.ExtendedFrame(0, 0, 2, 0, 0, t, Bytes());        // prefix only
  r.PlainFrame(0, 0, 2, 0, t, Bytes(24, 1));         // size code 0
  r.Record(MakeExtendedHeader(0, 0, t, 3), Bytes{1, 2, 3});  // no room for a prefix
  EXPECT_EQ(Feed(r.file), (Results{-4, 0, 0, -4, -1, -3, -3, -3, -3, -3}));
  EXPECT_EQ(state->lastKeyFrameSign + state->lastEncodeKeyFrameSign, -2);
  x.ExtendedFrame(0, 0, 10, 48, 32, t + 5000, p[64], 1);
  x.Frame16(1, 0, 0, P[1]);
  EXPECT_EQ(Feed(Bytes(x.file.begin(), x.file.end() - 10)), (Results{0, -2}));
  EXPECT_EQ(state->lastKeyFrameSign + state->lastEncodeKeyFrameSign, 2);
  EXPECT_EQ(Params(state->lastDecoderOpen), (std::vector<int>{1, 48, 32, 4, 0, 0, 10}));
  EXPECT_EQ(Params(state->lastEncoderOpen), (std::vector<int>{2, 48, 32, 4, 30, 0, 5}));
  EXPECT_EQ(state->openDecoderCalls * 10 + state->decodeCalls, 23);
  ReleaseExporter();
  EXPECT_EQ(TakeFiles(out, p), "Ch1_00000000_250001_00000000_250002.avi 16x16 xvid 2000: 1k 2\n"
                               "Ch1_00000000_250005_00000000_250005(2).avi 48x32 xvid 30000: 64k\n");
}

// The rate is whole frames per whole second, 30 at most or without a span;
// below 1 the file keeps its opening 30.
TEST_F(ChannelExporterTest, TheRateFollowsTheFrameCountOverTheSegmentsSeconds) {
  const struct { int frames; int32_t spanMs; uint32_t streamRate; } cases[] = {
      {100, 10000, 10000}, {290, 10000, 29000}, {295, 10000, 30000}, {20, 900, 30000},
      {2, -10000, 30000},  {2, 4000, 30000}};
  for (const auto& c : cases) {
    RecordingBuilder r;
    for (int i = 0; i < c.frames; i++)
      r.ExtendedFrame(i > 0, 0, 2, 16, 16,
                      TimeOfDay(8, 5, 30) + (int32_t)((int64_t)c.spanMs * i / (c.frames - 1)), P[1]);
    EXPECT_EQ(Feed(r.file), Results(c.frames, 0));
    ReleaseExporter();
    AddExporter();
    EXPECT_EQ(ReadAvi(out.File(out.Names().at(0))).rate, c.streamRate) << c.frames;
    TakeFiles(out);
  }
}

// A failed transcode (-6) costs its frame only; a failed open (-5) idles the
// exporter until a key frame, counting and removing files not created.
// Buffers that cannot grow transcode nothing; they only grow, zero-filled.
TEST_F(ChannelExporterTest, FailuresCostTheirFramesAndAFailedOpenWaitsForAKeyFrame) {
  EXPECT_EQ(Frame(0, 0, P[0]), 0);
  int32_t* failures[] = {&state->failDecodes, &state->failEncodes,
                         &state->encodeExtra};  // an encoder that overstates
  for (unsigned i = 0; i < 3; i++) {
    EXPECT_EQ(Frame(1, 1 + 2 * i, P[1 + 2 * i]), 0);
    *failures[i] = 1;
    EXPECT_EQ(Frame(1, 2 + 2 * i, P[2 + 2 * i]), -6) << i;
    *failures[i] = 0;
  }
  ReleaseExporter();
  EXPECT_EQ(TakeFiles(out, P), "Ch1_20090307_080500_20090307_080505.avi 16x16 xvid 30000: 0k 1 3 5\n");
  AddExporter();
  state->refuseDecoderOpens = 1;
  EXPECT_EQ(Frame(0, 0, P[0]), -5);
  EXPECT_EQ(Frame(1, 1, P[1]), -4);
  EXPECT_EQ(state->openEncoderCalls, 1);  // the first segment's
  state->refuseEncoderOpens = 1;
  EXPECT_EQ(Frame(0, 2, P[2]), -5);
  EXPECT_EQ(context->uncreatedSegments, 0);
  {
    FileSizeLimit full(0);
    EXPECT_EQ(Frame(0, 5, P[5]), -5);
    EXPECT_EQ(Frame(0, 6, P[5]), -5);
  }
  EXPECT_EQ(context->uncreatedSegments * 10 + context->failedSegments, 10);
  EXPECT_EQ(state->liveDecoders + state->liveEncoders, 0);
  EXPECT_TRUE(out.Names().empty());
  EXPECT_EQ(Frame(0, 7, P[6]), 0);
  EXPECT_EQ(state->openDecoderCalls, 6);
  ChannelExporter unready = {};
  FrameInfo frame = {};
  frame.width = frame.height = 16;
  EXPECT_EQ(TranscodeFrame(&frame, nullptr, context, &unready), -1);
  memset(&unready.picture, 0xAB, sizeof unready.picture);  // Init needs no zeroed memory
  GrowBufferInit(&unready.picture);
  EXPECT_EQ(TranscodeFrame(&frame, nullptr, context, &unready), -2);
  uint8_t* data = unready.picture.data;  // grown to 384 bytes
  std::fill_n(data, 64, 0x5A);
  EXPECT_TRUE(GrowBufferEnsure(&unready.picture, 10) && unready.picture.capacity == 384);
  ASSERT_EQ(GrowBufferEnsure(&unready.picture, 1000), 1);
  data = unready.picture.data;
  EXPECT_EQ(std::count(data, data + 64, 0x5A) + std::count(data + 64, data + 1000, 0), 1000);
  EXPECT_EQ(unready.picture.capacity, 1000);
  GrowBufferFree(&unready.picture);
  EXPECT_EQ(GrowBufferEnsure(&unready.picture, 1) + unready.picture.capacity, 0);  // not ready
  GrowBufferFree(&unready.picture);  // a second free does nothing
}

// At the AVI size limit (-7) the segment is closed and the channel goes on at
// a key frame; a frame written in part is lost and its segment counted.
TEST_F(ChannelExporterTest, WritesThatFailCostTheirFramesOnly) {
  const struct { unsigned kind; bool fill; int result; } frames[] = {
      {0, false, 0}, {1, true, 0}, {1, false, -7}, {1, false, -4},
      {0, true, 0},  {0, false, 0}, {1, false, 0}};
  for (unsigned i = 0; i < 7; i++) {
    EXPECT_EQ(Frame(frames[i].kind, i, P[i]), frames[i].result) << i;
    if (frames[i].fill) fseeko(exporter->avi->writer->aviFile, AVI_FILE_LIMIT - 100, SEEK_SET);
  }
  ReleaseExporter();
  EXPECT_EQ(TakeFiles(out, P, false),
            "Ch1_20090307_080500_20090307_080501.avi 16x16 xvid 2000: 0k 1\n"
            "Ch1_20090307_080504_20090307_080504(2).avi 16x16 xvid 30000: 4k\n"
            "Ch1_20090307_080505_20090307_080506(3).avi 16x16 xvid 2000: 5k 6\n");
  EXPECT_EQ(context->failedSegments, 0);
  AddExporter();
  std::vector<Bytes> p = Pictures(640, 480, 3);
  RecordingBuilder r[3];
  for (unsigned i = 0; i < 3; i++) r[i].PlainFrame(i > 0, 0, 2, 3, TimeOfDay(8, 5, i), p[i]);
  EXPECT_EQ(Feed(r[0].file), (Results{0}));
  ASSERT_EQ(fflush(exporter->avi->writer->aviFile), 0);
  {
    FileSizeLimit full((uint64_t)ftello(exporter->avi->writer->aviFile) + 10000);
    EXPECT_EQ(Feed(r[1].file), (Results{-7}));
  }
  EXPECT_EQ(Feed(r[2].file), (Results{0}));
  ReleaseExporter();
  EXPECT_EQ(TakeFiles(out, p, false),
            "Ch1_20090307_080500_20090307_080502.avi 640x480 xvid 1000: 0k 2\n");
  EXPECT_EQ(context->failedSegments, 1);
}

// A caption a frame at index x 1000 / rate (below 1: 30) with its recorded
// time; none for a temporary name, nor half a file.
TEST_F(ChannelExporterTest, CaptionsShowEachFramesTimeWhileTheFrameIsOnScreen) {
  context->options.captions = 1;
  RecordingBuilder r;
  r.Frame16(0, 0, 0, P[0]);
  r.ExtendedFrame(1, 0, 2, 16, 16, TimeOfDay(8, 5, 4, 5), P[1]);  // 2 frames over 4 s
  EXPECT_EQ(Feed(r.file), Results(2, 0));
  ReleaseExporter();
  const std::string text = ReadText(out.File("Ch1_00000000_080500_00000000_080504.smi"));
  EXPECT_EQ(text.rfind("<SAMI>\n<HEAD>\n", 0), 0u) << text;
  EXPECT_EQ(text.substr(std::min(text.size(), text.find("<BODY>\n") + 7)),
            " <SYNC Start=0>\n <P Class=LANGCC> 08:05:00.000\n"
            " <SYNC Start=33>\n <P Class=LANGCC> 08:05:04.005\n</BODY>\n</SAMI>\n");
  TakeFiles(out);
  AddExporter();
  const std::string blocked = "Ch1_20090307_080500_20090307_080500.smi";
  std::filesystem::create_directory(out.File(blocked));  // cannot be created
  EXPECT_EQ(Frame(0, 0, P[0]), 0);
  ReleaseExporter();
  AddExporter();
  context->options.copy = 1;
  for (unsigned i = 0; i < 20; i++) EXPECT_EQ(Frame(i > 0, 10, Bytes(1, 1)), 0);
  auto releaseWithin = [this](uint64_t bytes) {
    FileSizeLimit full(bytes);
    ReleaseExporter();
  };
  releaseWithin(1000);  // room for the AVI file, not for the captions
  AddExporter();
  EXPECT_EQ(Frame(0, 20, P[0]), 0);
  releaseWithin(300);  // no room to finish the AVI file
  EXPECT_EQ(out.Names(), (NameList{"Ch1_20090307_080500_20090307_080500.avi", blocked,
                                   "Ch1_20090307_080510_20090307_080510.avi", "~1.avi"}));
  EXPECT_EQ(context->failedCaptions * 10 + context->failedSegments, 21);
}

// Runs without video, without memory for a payload or without room for
// names lose only that; the worker posts each run's final command.
TEST_F(ExportRunTest, RunsWithoutVideoOrMemoryLoseOnlyThatAndTheWorkerEndsEachRun) {
  EXPECT_EQ(Run(RecordingBuilder(), 1), 0);
  EXPECT_EQ(texts, (NameList{"Static", "Progress: 0/0 bytes (100 %)"}));
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 0x21);
  r.Frame16(0, 0, 0, P[1]);
  r.Frame16(0, 0, 1, P[2]);
  EXPECT_EQ(Run(r, 1ull << 5), 0);
  EXPECT_TRUE(out.Names().empty());
  static int failures;
  failures = 1;
  ExportPayloadAllocate = [](size_t size) { return failures-- > 0 ? nullptr : malloc(size); };
  EXPECT_EQ(Run(r, 1), 0);
  EXPECT_EQ(TakeFiles(out, P), "Ch1_20090307_080501_20090307_080501.avi 16x16 xvid 30000: 2k\n");
  EXPECT_EQ(ExportWorker(nullptr), -1);
  context->runFlag = 0;  // cancelled
  EXPECT_EQ(ExportWorker(context), -3);
  EXPECT_TRUE(out.Names().empty());
  context->runFlag = 1;
  EXPECT_EQ(ExportWorker(context), 0);
  EXPECT_EQ(shell.progressText, "Progress: 1,138/1,138 bytes (100 %)");
  EXPECT_EQ(TakeFiles(out, P), "Ch1_20090307_080500_20090307_080501.avi 16x16 xvid 2000: 1k 2k\n");
  std::string folder = out.path + PATH_SEPARATOR + std::string(PATH_SIZE - out.path.size(), 'd');
  snprintf(context->outputFolder, sizeof context->outputFolder, "%.*s", PATH_SIZE - 20,
           folder.c_str());
  EXPECT_EQ(Run(r, 1), 0);  // no room for names: the channel's loss is counted
  EXPECT_EQ(context->uncreatedSegments * 100 + (int)context->videoChannels, 101);
  EXPECT_TRUE(out.Names().empty());
  snprintf(context->recordingPath, sizeof context->recordingPath, "%s", out.File("-").c_str());
  EXPECT_EQ(ExportWorker(context), -2);
  EXPECT_EQ(shell.commands, (std::vector<int>{RUN_CANCELLED, RUN_COMPLETED, RUN_CANCELLED}));
}

// The log: segments, lost frames by reason (waiting is no loss), the walk's
// frames and gaps; a copy loads no module and splits at a codec change.
TEST_F(ExportRunTest, TheRunLogsItsSegmentsItsLostFramesAndWhatItsWalkMet) {
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 3);
  r.Frame16(1, 0, 0, P[0]);  // before any key frame
  r.Frame16(0, 0, 1, P[1]);
  r.Frame16(1, 0, 2, P[2]);
  r.PlainFrame(1, 0, 2, 0, TimeOfDay(8, 5, 3), P[3]);  // size code 0: no picture
  r.ExtendedFrame(0, 1, 3, 16, 16, TimeOfDay(8, 5, 4), P[4]);  // no module for type 3
  r.Frame16(0, 1, 5, P[5]);
  r.ExtendedFrame(1, 1, 10, 16, 16, TimeOfDay(8, 5, 6), P[6]);  // another codec
  r.ExtendedFrame(0, 0, 2, 32, 32, TimeOfDay(8, 5, 9), MakePicture(32, 32, 5));
  context->runLog = &log;
  for (int copy : {0, 1}) {
    context->options = {copy, copy};
    const int opens = state->openDecoderCalls;
    EXPECT_EQ(Run(r, 3), 0);
    EXPECT_EQ(state->openDecoderCalls - opens, copy ? 0 : 3);
    EXPECT_EQ(Facts(), copy ? "2 0 0 3\n"
                              "Ch1_20090307_080501_20090307_080502.avi .smi 2/1 16x16 4 2 2\n"
                              "Ch1_20090307_080509_20090307_080509(2).avi .smi 1/1 32x32 4 2 30\n"
                              "Ch2_20090307_080505_20090307_080505.avi .smi 1/1 16x16 4 2 30\n"
                              "1:damagedData 1 1:waitingForKeyFrame 1 2:waitingForKeyFrame 1 "
                              "2:uncopyableCodecType 1 "
                            : "2 0 0 3\n"
                              "Ch1_20090307_080501_20090307_080502.avi - 2/1 16x16 4 5 2\n"
                              "Ch1_20090307_080509_20090307_080509(2).avi - 1/1 32x32 4 5 30\n"
                              "Ch2_20090307_080505_20090307_080506.avi - 2/1 16x16 1028 5 2\n"
                              "1:damagedData 1 1:waitingForKeyFrame 1 2:noCodecModule 1 ");
    const ChannelInfo& walked = log.walked.channels[0];
    EXPECT_EQ(std::vector<int64_t>({walked.frames, walked.gapMs, (int64_t)walked.gaps.size(),
                                    log.walked.headerBlocks}),
              std::vector<int64_t>({5, 6000, 1, 1}));
    TakeFiles(out);
  }
  context->runLog = nullptr;
}

// Any number of threads writes the same files, byte for byte, and logs the
// same: size changes, a frame that does not decode, damaged framing, runs
// whole and cancelled at the fourth block, transcoded and copied.
TEST_F(ExportRunTest, EveryNumberOfJobsWritesTheSameFiles) {
  RecordingBuilder r;
  unsigned seed = 0;
  for (unsigned second = 0; second < 6; second++) {
    r.HeaderBlock(MARCH_7_2009, 7);
    for (unsigned i = 0; i < 12; i++) {
      unsigned channel = i % 3, width = second >= 3 && channel != 1 ? 32 : 16;
      r.ExtendedFrame(i < 3 && second % 3 == 0 ? 0 : 1, channel, 2, width, 16,
                      TimeOfDay(8, 5, second, 80 * i),
                      second == 1 && i == 4 ? Bytes(100, 1) : MakePicture(width, 16, ++seed));
    }
    if (second == 2) r.file.insert(r.file.end(), 16, 0x5A);
    if (second == 4) r.file.resize(r.file.size() - 8);
  }
  std::map<std::string, Bytes> single;
  std::string singleFacts;
  context->runLog = &log;
  for (int copy : {0, 1}) {
    for (size_t cancel : {0, 5}) {
      for (int jobs : {1, 2, 8}) {
        SCOPED_TRACE(std::to_string(jobs) + " jobs, cancel at " + std::to_string(cancel) +
                     (copy ? ", copy" : ""));
        context->exportJobs = jobs;
        context->options = {copy, copy};
        context->runFlag = 1;
        cancelAt = cancel;
        EXPECT_EQ(Run(r, 7), cancel ? -1 : 0);
        std::map<std::string, Bytes> files;
        for (const std::string& name : out.Names()) {
          files[name] = ReadFileBytes(out.File(name).c_str());
          EXPECT_EQ(name.rfind("Ch", 0), 0u) << name;
          std::remove(out.File(name).c_str());
        }
        if (jobs == 1) {
          single = files;
          singleFacts = Facts();
          EXPECT_EQ(files.size(), log.segments.size() * (copy ? 2 : 1));  // AVI and captions
          if (!copy) {
            EXPECT_EQ(files.size(), cancel ? 3u : 5u);
            EXPECT_EQ(singleFacts.substr(0, singleFacts.find('\n')), cancel ? "1 1 0 5" : "2 2 0 8");
          }
        }
        EXPECT_EQ(files, single);
        EXPECT_EQ(Facts(), singleFacts);
      }
    }
  }
  context->runLog = nullptr;
  context->options = ExportOptions();
}

// Each type has its own slot, shut down once, from the first folder that has
// its module (tried again on the next request); Init forgets slots.
TEST_F(CodecModulesTest, SlotsAreFilledFromTheFirstFolderThatHasTheModule) {
  EXPECT_EQ(std::string(primaryFolder) + fallbackFolder, ProgramFolder() + ProgramFolder());
  for (int type : {-1, 3, 7, 16, 19, 20}) EXPECT_EQ(GetVideoCodec(type), nullptr) << type;
  CodecDescriptor* first = GetVideoCodec(2);
  ASSERT_NE(first, nullptr);
  for (int type : {4, 5, 10, 2, 5}) EXPECT_EQ(GetVideoCodec(type), first);
  EXPECT_EQ(state->initializeCalls, 4);
  EXPECT_TRUE(videoSlots[2] != videoSlots[4] && videoSlots[5] != videoSlots[10]);
  CodecModulesRelease();
  CodecModulesRelease();  // empty tables: nothing more happens
  EXPECT_EQ(state->shutdownCalls, 4);
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) EXPECT_TRUE(!videoSlots[i] && !audioSlots[i]) << i;
  ASSERT_NE(GetVideoCodec(2), nullptr);
  CodecModule* forgotten = videoSlots[2];
  CodecModulesInit();
  EXPECT_EQ(videoSlots[2], nullptr);
  UnloadCodecModule(forgotten);
  EXPECT_EQ(state->shutdownCalls, 5);
  ScratchFolder empty;
  UseFolders(empty.path, ProgramFolder());
  EXPECT_NE(GetVideoCodec(6), nullptr);  // from the fallback folder
  UseFolders(empty.path, empty.path);
  EXPECT_EQ(GetVideoCodec(2), nullptr);
  EXPECT_EQ(videoSlots[2], nullptr);
  std::filesystem::copy_file(ProgramFolder() + "tambrix.dll", empty.File("tambrix.dll"));
  EXPECT_NE(GetVideoCodec(2), nullptr);
  EXPECT_EQ(GetAudioCodec(0), nullptr);
  std::filesystem::copy_file(ProgramFolder() + "tambrix.dll", empty.File("plovax.dll"));
  EXPECT_TRUE(GetAudioCodec(0) && audioSlots[0] && !videoSlots[0]);
  for (int type : {1, 2, 20}) EXPECT_EQ(GetAudioCodec(type), nullptr);
  std::string folder = ProgramFolder();
  folder.pop_back();
  CodecModule* module = LoadCodecModule(folder.c_str(), CODEC_KIND_VIDEO, 0);
  EXPECT_NE(module, nullptr);
  UnloadCodecModule(module);
  std::string tooLong = ProgramFolder() + std::string(PATH_SIZE - folder.size() - 6, 'x');
  for (const char* refused : {tooLong.c_str(), "", (const char*)nullptr})
    EXPECT_EQ(LoadCodecModule(refused, CODEC_KIND_VIDEO, 2), nullptr);
  EXPECT_EQ(LoadCodecModule(empty.path.c_str(), 2, 0), nullptr);  // no such kind
}

// A module whose descriptor or entry fails a check is refused and unloaded;
// one without Shutdown is accepted.
TEST_F(CodecModulesTest, ModulesThatFailACheckAreRefused) {
  for (std::string rule : {"bad_signature", "sixth_letter", "null_signature", "check_major",
                           "check_minor", "null_info1", "null_info2", "no_initialize",
                           "initialize_null", "null_shutdown"}) {
    SCOPED_TRACE(rule);
    std::string folder = ProgramFolder() + ".." + PATH_SEPARATOR + rule + PATH_SEPARATOR;
    ModuleProbe probe(folder + "tambrix.dll");
    ASSERT_NE(probe.state, nullptr) << "rule module missing in " << folder;
    const bool accepted = rule == "null_shutdown";
    UseFolders(folder, folder);
    EXPECT_EQ(GetVideoCodec(2) != nullptr && videoSlots[2] != nullptr, accepted);
    CodecModule* module = LoadCodecModule(folder.c_str(), CODEC_KIND_VIDEO, 2);
    EXPECT_EQ(module != nullptr, accepted);
    UnloadCodecModule(module);
    CodecModulesRelease();
    EXPECT_EQ(probe.state->initializeCalls, rule == "no_initialize" ? 0 : accepted ? 2 : 3);
    EXPECT_EQ(probe.state->shutdownCalls, 0);
  }
}

}  // namespace
