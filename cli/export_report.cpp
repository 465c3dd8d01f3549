// The report of an export run: where the files came from, what each holds,
// their SHA-256 hashes, and what could not be exported and why.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include <sys/stat.h>

#include "cli/cli.h"
#include "cli/listing.h"
#include "export/channel_exporter.h"
#include "platform/platform.h"

static const char OUTPUT_CODEC[] = "MPEG-4 Visual, FourCC xvid";

std::string UtcNow() {
  time_t now = time(nullptr);
  struct tm utc;
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// A frame time as the exporter keeps it (hours past 23 carry on; year 0 when
// no header block dated it).
static InfoTime FrameMoment(const CalendarTime& time) {
  int64_t ms = (int64_t)time.hour * 3600000 + time.minute * 60000 + time.second * 1000 +
               time.milliseconds;
  return time.year == 0 ? ms : MakeInfoTime(time.year, time.month, time.day, ms);
}

// A copied segment's codec, by the FourCC its AVI stream is stored under.
static std::string CopiedCodec(int32_t codecType) {
  const char* handler = CopyHandler(codecType);
  if (!handler) return "unknown";
  static const char* const NAMES[][2] = {
      {"MJPG", "Motion JPEG"}, {"H263", "H.263"}, {"FMP4", "MPEG-4 Visual"}, {"H264", "H.264"}};
  for (const auto& name : NAMES)
    if (strcmp(name[0], handler) == 0) return std::string(name[1]) + ", FourCC " + handler;
  return std::string("FourCC ") + handler;
}

// The caption file of a segment: its name and SHA-256, or null for none.
static Json CaptionJson(const std::string& path) {
  if (path.empty()) return nullptr;
  std::string hex;
  return {{"file", BaseName(path)},
          {"sha256", Sha256File(path, &hex) == 0 ? Json(hex) : Json(nullptr)}};
}

static Json SegmentJson(const SegmentResult& segment, bool replaced) {
  Json types = Json::array();
  for (int type = 0; type < 32; type++)
    if ((segment.codecTypes >> type) & 1) types.push_back(type);
  InfoTime first = FrameMoment(segment.firstTime), last = FrameMoment(segment.lastTime);
  Json size = nullptr, hash = nullptr;
  struct stat status;
  std::string hex;
  // A later segment of the same temporary name replaced this one's file.
  if (!replaced && stat(segment.path.c_str(), &status) == 0) {
    size = (int64_t)status.st_size;
    if (Sha256File(segment.path, &hex) == 0) hash = hex;
  }
  return {{"file", BaseName(segment.path)},
          {"path", segment.path},
          {"finalName", segment.finalName != 0},
          {"size", size},
          {"sha256", hash},
          {"channel", segment.channelIndex + 1},
          {"mode", segment.copied ? "copy" : "transcode"},
          {"sourceCodecTypes", types},
          {"outputCodecType", segment.outputCodecType},
          {"outputCodec", segment.copied ? CopiedCodec(segment.outputCodecType) : OUTPUT_CODEC},
          {"captions", CaptionJson(segment.captionPath)},
          {"width", segment.width},
          {"height", segment.height},
          {"firstRecorded", InfoTimeText(first)},
          {"lastRecorded", InfoTimeText(last)},
          {"recordedSeconds", (double)(last - first) / 1000.0},
          {"frames", segment.frames},
          {"keyFrames", segment.keyFrames},
          {"aviFrameRate", segment.rate},
          {"playbackSeconds", segment.rate > 0 ? segment.frames / (double)segment.rate : 0.0}};
}

Json ExportReportJson(const ReportRun& run, const ExportRunLog& log) {
  Json segments = Json::array();
  for (size_t i = 0; i < log.segments.size(); i++) {
    bool replaced = false;
    for (size_t later = i + 1; later < log.segments.size(); later++)
      replaced = replaced || log.segments[later].path == log.segments[i].path;
    segments.push_back(SegmentJson(log.segments[i], replaced));
  }

  Json channels = Json::array();
  for (int n = 0; n < CHANNEL_COUNT; n++) {
    if (!((run.channels >> n) & 1)) continue;
    int64_t written = 0;
    for (const SegmentResult& segment : log.segments)
      if (segment.channelIndex == n) written += segment.frames;
    Json lost = Json::object();
    for (int reason = 0; reason < LOSS_REASONS; reason++)
      lost[LOSS_REASON_NAMES[reason]] = log.lost[n][reason];
    channels.push_back({{"channel", n + 1},
                        {"framesInRecording", log.walked.channels[n].frames},
                        {"framesWritten", written},
                        {"framesNotExported", lost},
                        {"gaps", GapsJson(log.walked.channels[n])}});
  }

  return {{"program", "zentrix-cli"},
          {"version", ZENTRIX_VERSION},
          {"commandLine", run.commandLine},
          {"started", run.started},
          {"ended", run.ended},
          {"result", run.result},
          {"exitStatus", run.exitStatus},
          {"recording", {{"path", run.recordingPath},
                         {"size", run.recordingSize},
                         {"sha256", run.recordingSha256.empty() ? Json(nullptr)
                                                                : Json(run.recordingSha256)}}},
          {"outputFolder", run.outputFolder},
          {"segments", segments},
          {"lostFrames", run.lostFrames},
          {"channels", channels},
          {"gapSeconds", (double)log.walked.gapMs / 1000.0},
          {"damagedPlaces", DamageJson(log.walked)}};
}

int WriteReportFile(const std::string& path, const Json& report, std::string* error) {
  std::string temporary = path + ".part";
  FILE* file = fopen(temporary.c_str(), "wb");
  if (!file) {
    *error = strerror(errno);
    return -1;
  }
  std::string text = report.dump(2) + "\n";
  bool written = fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0;
  if (!written) *error = strerror(errno);
  if (fclose(file) != 0 && written) {
    written = false;
    *error = strerror(errno);
  }
  if (written && PlatformRenameReplace(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    *error = "cannot rename " + temporary + " to it";
  }
  if (!written) remove(temporary.c_str());
  return written ? 0 : -1;
}
