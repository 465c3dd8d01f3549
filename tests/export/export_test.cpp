// The channel exporter, the export run and its log, and the codec modules.
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "export/channel_exporter.h"
#include "export/codec_modules.h"
#include "export/export_log.h"
#include "export/export_run.h"
#include "shell/shell.h"
#include "tests/export/export_test_support.h"

const PackedTime MARCH_7_2009 = MakePackedTime(2009, 3, 7, 8, 0, 0);
const std::vector<Bytes> P = [] {  // 16x16 pictures of seeds 0 to 63, one of 48x32
  std::vector<Bytes> pictures;
  for (unsigned seed = 0; seed < 64; seed++) pictures.push_back(MakePicture(16, 16, seed));
  pictures.push_back(MakePicture(48, 32, 0));
  return pictures;
}();
typedef std::vector<int> Results;

template <typename... Values> std::string Words(const Values&... values) {
  std::ostringstream text;
  ((text << values << ' '), ...);
  return text.str();
}

// Channel 1's exporter as the export run prepares it, and whole runs.
struct ExportTest : ExportFixture {
  TestCodecState* const state = ProbeModule(ProgramFolder() + "tambrix.dll");
  const std::string recordingPath = out.path + ".dat";
  ExportRunLog log;
  HeaderInfo info = {};
  ChannelExporter* exporter = nullptr;

  void SetUp() override {
    ASSERT_NE(state, nullptr);
    CodecModulesInit();
    AddExporter();
    snprintf(context->recordingPath, sizeof context->recordingPath, "%s", recordingPath.c_str());
    log.gapMs = 2000;
    context->runLog = &log;
  }
  void TearDown() override {
    ReleaseExporter();
    CodecModulesRelease();
    ExportPayloadAllocate = malloc;
    memset(state, 0, sizeof *state);  // no failure switch outlives its test
    std::remove(recordingPath.c_str());
  }
  void AddExporter() {
    exporter = context->exporters[0] = new ChannelExporter();
    EXPECT_EQ(NameTempSegment(exporter, context->outputFolder), 0);
    GrowBufferInit(&exporter->encoded);
    GrowBufferInit(&exporter->picture);
  }
  void ReleaseExporter(uint64_t room = 0) {  // with room: that many bytes a file
    if (!exporter) return;
    std::unique_ptr<FileSizeLimit> full(room ? new FileSizeLimit(room) : nullptr);
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
    for (RecordHeader header; ReadRecordHeader(stream, &header);) {
      if (RecordKind(&header) == RECORD_HEADER_BLOCK) ReadHeaderBlock(stream, &header, &info);
      if (RecordKind(&header) <= 1) results.push_back(ExportFrame(stream, &header, &info, context));
    }
    fclose(stream);
    return results;
  }
  int Frame(unsigned kind, unsigned second, const Bytes& picture) {
    RecordingBuilder r;
    r.HeaderBlock(MARCH_7_2009, 1);
    r.Frame16(kind, 0, second, picture);
    return Feed(r.file).at(0);
  }
  // Every run ends with its exporters gone, its modules shut down and, unless
  // cancelled, the full report.
  int Run(const RecordingBuilder& recording, ChannelMask mask) {
    EXPECT_EQ(WriteFileBytes(recordingPath.c_str(), recording.file), 0);
    context->channelMask = mask;
    texts.clear();
    shell.progressText = "Static";
    FILE* stream = fopen(recordingPath.c_str(), "rb");
    int result = ExportRecordingFile(stream, context);
    fclose(stream);
    for (ChannelExporter* e : context->exporters) EXPECT_EQ(e, nullptr);
    EXPECT_EQ(state->initializeCalls, state->shutdownCalls);
    EXPECT_EQ(state->liveDecoders + state->liveEncoders, 0);
    EXPECT_EQ(texts.back().find("(100 %)") != std::string::npos, result == 0) << texts.back();
    return result;
  }
  // The counts (lost, damaged, failed, texts), each logged segment and the
  // lost frames by channel and reason.
  std::string Facts() const {
    std::string facts = Words(context->lostFrames.load(), context->damagedPlaces,
                              context->failedSegments.load(), texts.size());
    for (const SegmentResult& s : log.segments)
      facts += "\n" + Words(s.path.substr(out.path.size() + 1), s.captionPath.size() > 4,
                            s.frames, s.keyFrames, s.width, s.height, s.codecTypes,
                            s.outputCodecType, s.rate);
    for (int channel = 0; channel < 3; channel++)
      for (int reason = 0; reason < LOSS_REASONS; reason++)
        if (log.lost[channel][reason])
          facts += "\n" + Words(channel + 1, LOSS_REASON_NAMES[reason], log.lost[channel][reason]);
    return facts;
  }
};
typedef ExportTest ExportRunTest;

std::vector<int> Params(const CodecOpenParams& p) {
  return {p.mode, p.width, p.height, p.format, p.rate, p.reserved, p.codecType};
}

void UseFolders(const std::string& primary, const std::string& fallback) {
  snprintf(primaryFolder, sizeof primaryFolder, "%s", primary.c_str());
  snprintf(fallbackFolder, sizeof fallbackFolder, "%s", fallback.c_str());
}

// Segments run from a key frame to a size change (a codec change keeps them
// and their decoder), dated 0000-00-00 before any block, hours past 24, with
// a caption a frame at index x 1000 / rate (below 1 the opening 30). Codecs
// get their open parameters and key-frame sign. Unusable records: -1..-3.
TEST_F(ExportTest, SegmentsRunFromAKeyFrameToASizeChange) {
  const uint32_t t = TimeOfDay(25, 0, 0);
  context->options.captions = 1;
  RecordingBuilder r, x;
  r.ExtendedFrame(1, 0, 2, 16, 16, t, P[0]);  // before any key frame
  r.ExtendedFrame(0, 0, 2, 16, 16, t + 1000, P[1]);
  r.ExtendedFrame(1, 0, 1, 16, 16, t + 4005, P[2]);  // codec types 2 and 1 in one segment
  r.PlainFrame(1, 0, 0, 1, t + 5000, MakePicture(320, 240, 3));  // closes it
  r.Frame16(0, 3, 0, P[7]);                          // channel 4
  r.ExtendedFrame(0, 0, 2, 0, 16, t, Bytes(24, 1));  // width 0
  r.ExtendedFrame(0, 0, 2, 16, 0, t, Bytes(24, 1));  // height 0
  r.PlainFrame(0, 0, 2, 0, t, Bytes(24, 1));         // size code 0
  EXPECT_EQ(Feed(r.file), (Results{-4, 0, 0, -4, -1, -3, -3, -3}));
  EXPECT_EQ(state->lastKeyFrameSign + state->lastEncodeKeyFrameSign, -2);
  x.ExtendedFrame(0, 0, 10, 48, 32, t + 6000, P[64], 1);
  x.Frame16(1, 0, 0, P[1]);
  EXPECT_EQ(Feed(Bytes(x.file.begin(), x.file.end() - 10)), (Results{0, -2}));
  EXPECT_EQ(state->lastKeyFrameSign + state->lastEncodeKeyFrameSign, 2);
  EXPECT_EQ(Params(state->lastDecoderOpen), (std::vector<int>{1, 48, 32, 4, 0, 0, 10}));
  EXPECT_EQ(Params(state->lastEncoderOpen), (std::vector<int>{2, 48, 32, 4, 30, 0, 5}));
  EXPECT_EQ(state->openDecoderCalls * 10 + state->decodeCalls, 23);
  ReleaseExporter();
  const std::string text = ReadText(out.File("Ch1_00000000_250001_00000000_250004.smi"));
  EXPECT_EQ(text.substr(std::min(text.size(), text.find("<BODY>\n") + 7)),
            " <SYNC Start=0>\n <P Class=LANGCC> 25:00:01.000\n"
            " <SYNC Start=33>\n <P Class=LANGCC> 25:00:04.005\n</BODY>\n</SAMI>\n");
  EXPECT_EQ(TakeFiles(out, P),
            "Ch1_00000000_250001_00000000_250004.avi 16x16 xvid 30000: 1k 2\n"
            "Ch1_00000000_250001_00000000_250004.smi\n"
            "Ch1_00000000_250006_00000000_250006(2).avi 48x32 xvid 30000: 64k\n"
            "Ch1_00000000_250006_00000000_250006(2).smi\n");
}

// The rate: whole frames a whole second, 30 at most or without a span or below 1.
TEST_F(ExportTest, TheRateFollowsTheFrameCountOverTheSegmentsSeconds) {
  const struct { int frames; int32_t span; uint32_t streamRate; } cases[] = {
      {100, 10000, 10000}, {290, 10000, 29000}, {295, 10000, 30000}, {20, 900, 30000},
      {2, -10000, 30000},  {2, 4000, 30000}};
  for (const auto& c : cases) {
    RecordingBuilder r;
    for (int i = 0; i < c.frames; i++)
      r.ExtendedFrame(i > 0, 0, 2, 16, 16, TimeOfDay(8, 5, 30) + c.span * i / (c.frames - 1), P[1]);
    EXPECT_EQ(Feed(r.file), Results(c.frames, 0));
    ReleaseExporter();
    AddExporter();
    EXPECT_NE(TakeFiles(out).find(" " + std::to_string(c.streamRate) + ":"), std::string::npos);
  }
}

// Frames cost only themselves when what they meet fails. Frame i meets: d, e
// a failing decode, encode, x an encoder that overstates (-6); o, O a refused
// decoder, encoder open, z a full disk (-5; files not created are counted
// once and removed); f, after it, a file filled up to the AVI size limit
// (-7), and the segment of a frame written in part is counted.
TEST_F(ExportTest, FailuresCostTheirFramesOnly) {
  const struct { char meets; unsigned kind; int result; } frames[] = {
      {'o', 0, -5}, {' ', 1, -4}, {'O', 0, -5}, {'z', 0, -5}, {'z', 0, -5}, {' ', 0, 0},
      {'d', 1, -6}, {' ', 1, 0},  {'e', 1, -6}, {' ', 1, 0},  {'x', 1, -6}, {'f', 1, 0},
      {' ', 1, -7}, {' ', 1, -4}, {'f', 0, 0},  {' ', 0, 0},  {' ', 1, 0}};
  int32_t* switches[] = {&state->failDecodes, &state->failEncodes, &state->encodeExtra,
                         &state->refuseDecoderOpens, &state->refuseEncoderOpens};
  for (unsigned i = 0; i < sizeof frames / sizeof *frames; i++) {
    const char* names = "dexoO";
    if (strchr(names, frames[i].meets)) *switches[strchr(names, frames[i].meets) - names] = 1;
    std::unique_ptr<FileSizeLimit> full(frames[i].meets == 'z' ? new FileSizeLimit(0) : nullptr);
    EXPECT_EQ(Frame(frames[i].kind, i, P[i]), frames[i].result) << i;
    state->encodeExtra = 0;
    if (frames[i].meets == 'f')
      fseeko(exporter->avi->writer->aviFile, AVI_FILE_LIMIT - 100, SEEK_SET);
  }
  EXPECT_EQ(state->openDecoderCalls * 10 + state->openEncoderCalls, 76);
  RecordingBuilder big[3];  // room for part of a frame: it is lost, the file counted
  for (unsigned i = 0; i < 3; i++) big[i].PlainFrame(i > 0, 0, 2, 3, 0, MakePicture(640, 480, i));
  EXPECT_EQ(Feed(big[0].file), Results{0});
  ASSERT_EQ(fflush(exporter->avi->writer->aviFile), 0);
  {
    FileSizeLimit full((uint64_t)ftello(exporter->avi->writer->aviFile) + 10000);
    EXPECT_EQ(Feed(big[1].file), Results{-7});
  }
  EXPECT_EQ(Feed(big[2].file), Results{0});
  ReleaseExporter();
  EXPECT_EQ(Words(context->uncreatedSegments.load(), context->failedSegments.load(),
                  state->liveDecoders + state->liveEncoders), "1 1 0 ");
  EXPECT_EQ(TakeFiles(out, P, false),
            "Ch1_20090307_000000_20090307_000000(4).avi 640x480 xvid 30000: ?k ?\n"
            "Ch1_20090307_080505_20090307_080511.avi 16x16 xvid 30000: 5k 7 9 11\n"
            "Ch1_20090307_080514_20090307_080514(2).avi 16x16 xvid 30000: 14k\n"
            "Ch1_20090307_080515_20090307_080516(3).avi 16x16 xvid 2000: 15k 16\n");
  GrowBuffer buffer = {};  // ready once initialised; grows only, keeping its bytes
  EXPECT_EQ(GrowBufferEnsure(&buffer, 1), 0);
  GrowBufferInit(&buffer);
  ASSERT_EQ(GrowBufferEnsure(&buffer, 64), 1);
  std::fill_n(buffer.data, 64, 0x5A);
  ASSERT_TRUE(GrowBufferEnsure(&buffer, 10) && GrowBufferEnsure(&buffer, 99));
  const uint8_t* data = buffer.data;  // 64 bytes kept, the others zero
  EXPECT_EQ(std::count(data, data + 99, 0x5A) * 100 + std::count(data + 64, data + 99, 0), 6435);
  GrowBufferFree(&buffer);
}

// No caption file is left for a segment that keeps its temporary name, nor
// one that cannot be created or written whole; each such file is counted.
TEST_F(ExportTest, CaptionFilesAreWholeOrNone) {
  context->options.captions = 1;
  const std::string blocked = "Ch1_20090307_080500_20090307_080500.smi";
  std::filesystem::create_directory(out.File(blocked));  // cannot be created
  EXPECT_EQ(Frame(0, 0, P[0]), 0);
  ReleaseExporter();
  AddExporter();
  context->options.copy = 1;
  for (unsigned i = 0; i < 20; i++) EXPECT_EQ(Frame(i > 0, 10, Bytes(1, 1)), 0);
  ReleaseExporter(1000);  // room for the AVI file, not for the captions
  AddExporter();
  EXPECT_EQ(Frame(0, 20, P[0]), 0);
  ReleaseExporter(300);  // no room to finish the AVI file
  EXPECT_EQ(out.Names(), (NameList{"Ch1_20090307_080500_20090307_080500.avi", blocked,
                                   "Ch1_20090307_080510_20090307_080510.avi", "~1.avi"}));
  EXPECT_EQ(context->failedCaptions * 10 + context->failedSegments, 21);
}

// A payload without memory costs only its frame; a record of a kind above 8
// ends the walk; the worker posts each run's final command.
TEST_F(ExportRunTest, APayloadWithoutMemoryCostsItsFrameAndTheWorkerEndsEachRun) {
  RecordingBuilder r;
  r.HeaderBlock(MARCH_7_2009, 1);
  r.Frame16(0, 0, 0, P[1]);
  r.Record(MakePlainHeader(8, 0, 0, 0, 0, 4), Bytes(4));  // passed over
  r.Frame16(0, 0, 1, P[2]);
  r.Record(MakePlainHeader(12, 0, 0, 0, 0, 4), Bytes(4));  // a kind above 8 ends the walk
  r.Frame16(0, 0, 2, P[3]);
  static int failures;  // the first payload finds no memory
  failures = 1;
  ExportPayloadAllocate = [](size_t size) { return failures-- > 0 ? nullptr : malloc(size); };
  EXPECT_EQ(Run(r, 1), 0);
  EXPECT_EQ(TakeFiles(out, P), "Ch1_20090307_080501_20090307_080501.avi 16x16 xvid 30000: 2k\n");
  context->runFlag = 0;  // cancelled
  EXPECT_EQ(ExportWorker(context), -3);
  context->runFlag = 1;
  EXPECT_EQ(ExportWorker(context), 0);
  EXPECT_EQ(TakeFiles(out, P), "Ch1_20090307_080500_20090307_080501.avi 16x16 xvid 2000: 1k 2k\n");
  snprintf(context->recordingPath, sizeof context->recordingPath, "%s", out.File("-").c_str());
  EXPECT_EQ(ExportWorker(context), -2);
  EXPECT_EQ(shell.commands, (std::vector<int>{RUN_CANCELLED, RUN_COMPLETED, RUN_CANCELLED}));
}

// The log: segments and lost frames by reason (waiting is no loss); a copy
// loads no module and splits at a codec change.
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
  for (int copy : {0, 1}) {
    context->options = {copy, copy};
    const int opens = state->openDecoderCalls;
    EXPECT_EQ(Run(r, 3), 0);
    EXPECT_EQ(state->openDecoderCalls - opens, copy ? 0 : 3);
    EXPECT_EQ(Facts(), copy ? "2 0 0 3 \n"
                              "Ch1_20090307_080501_20090307_080502.avi 1 2 1 16 16 4 2 2 \n"
                              "Ch1_20090307_080509_20090307_080509(2).avi 1 1 1 32 32 4 2 30 \n"
                              "Ch2_20090307_080505_20090307_080505.avi 1 1 1 16 16 4 2 30 \n"
                              "1 damagedData 1 \n1 waitingForKeyFrame 1 \n"
                              "2 waitingForKeyFrame 1 \n2 uncopyableCodecType 1 "
                            : "2 0 0 3 \n"
                              "Ch1_20090307_080501_20090307_080502.avi 0 2 1 16 16 4 5 2 \n"
                              "Ch1_20090307_080509_20090307_080509(2).avi 0 1 1 32 32 4 5 30 \n"
                              "Ch2_20090307_080505_20090307_080506.avi 0 2 1 16 16 1028 5 2 \n"
                              "1 damagedData 1 \n1 waitingForKeyFrame 1 \n2 noCodecModule 1 ");
    TakeFiles(out);
  }
}

// Any number of threads writes the same files and logs the same: size changes,
// an undecodable frame, damaged framing, a cancel, transcoded and copied.
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
  for (int copy : {0, 1}) {
    for (size_t cancel : {0, 5}) {
      for (int jobs : {1, 2, 8}) {
        SCOPED_TRACE(Words(jobs, "jobs, cancel at", cancel, copy ? "copy" : ""));
        context->exportJobs = jobs;
        context->options = {copy, copy};
        context->runFlag = 1;
        cancelAt = cancel;
        EXPECT_EQ(Run(r, 7), cancel ? -1 : 0);
        std::map<std::string, Bytes> files;
        for (const auto& name : out.Names()) files[name] = ReadFileBytes(out.File(name).c_str());
        EXPECT_EQ(TakeFiles(out).find('~'), std::string::npos);  // every file named
        if (jobs == 1) {
          single = files;
          singleFacts = Facts();
          EXPECT_EQ(files.size(), log.segments.size() * (copy ? 2 : 1));  // AVI and captions
          if (!copy) {
            EXPECT_EQ(files.size(), cancel ? 3u : 5u);
            EXPECT_EQ(singleFacts.substr(0, 8), cancel ? "1 1 0 5 " : "2 2 0 8 ");
          }
        }
        EXPECT_EQ(files, single);
        EXPECT_EQ(Facts(), singleFacts);
      }
    }
  }
}

// Each type has its own slot, shut down once, from the first folder that has
// its module (tried again on the next request). A module whose descriptor or
// entry fails a check is refused and unloaded; one without Shutdown is taken.
TEST_F(ExportTest, ModulesAreFoundCheckedAndKeptOneASlot) {
  for (int type : {-1, 3, 7, 16, 19, 20}) EXPECT_EQ(GetVideoCodec(type), nullptr) << type;
  CodecDescriptor* first = GetVideoCodec(2);
  ASSERT_NE(first, nullptr);
  for (int type : {4, 5, 10, 2, 5}) EXPECT_EQ(GetVideoCodec(type), first);
  CodecModulesRelease();
  EXPECT_EQ(state->initializeCalls * 10 + state->shutdownCalls, 44);
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) EXPECT_TRUE(!videoSlots[i] && !audioSlots[i]) << i;
  ScratchFolder empty;
  UseFolders(empty.path, ProgramFolder());
  EXPECT_NE(GetVideoCodec(6), nullptr);  // from the fallback folder
  UseFolders(empty.path, empty.path);
  EXPECT_TRUE(!GetVideoCodec(2) && !videoSlots[2]);
  std::filesystem::copy_file(ProgramFolder() + "tambrix.dll", empty.File("tambrix.dll"));
  EXPECT_NE(GetVideoCodec(2), nullptr);
  EXPECT_EQ(LoadCodecModule(nullptr, CODEC_KIND_VIDEO, 2), nullptr);
  CodecModulesRelease();
  for (std::string rule : {"bad_signature", "sixth_letter", "null_signature", "check_major",
                           "check_minor", "null_info1", "null_info2", "no_initialize",
                           "initialize_null", "null_shutdown"}) {
    SCOPED_TRACE(rule);
    std::string folder = ProgramFolder() + ".." + PATH_SEPARATOR + rule + PATH_SEPARATOR;
    TestCodecState* probe = ProbeModule(folder + "tambrix.dll");
    ASSERT_NE(probe, nullptr) << "rule module missing in " << folder;
    const bool accepted = rule == "null_shutdown";
    UseFolders(folder, folder);
    EXPECT_EQ(GetVideoCodec(2) != nullptr && videoSlots[2] != nullptr, accepted);
    CodecModule* module = LoadCodecModule(folder.c_str(), CODEC_KIND_VIDEO, 2);
    EXPECT_EQ(module != nullptr, accepted);
    UnloadCodecModule(module);
    CodecModulesRelease();
    EXPECT_EQ(probe->initializeCalls, rule == "no_initialize" ? 0 : accepted ? 2 : 3);
    EXPECT_EQ(probe->shutdownCalls, 0);
  }
}

