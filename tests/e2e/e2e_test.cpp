// End to end: zentrix-mkrec writes a recording and a manifest of what it
// wrote; zentrix-cli scans and exports it; ffprobe and ffmpeg read every AVI
// file. The expected channel list and segments are worked out from the
// manifest by the rules a user sees: one row per channel named by a header
// block, one file per run of frames of one size that starts at a key frame.
// A copy must hold the recording's frame data byte for byte (its MD5s are
// taken from the recording itself), and caption files one caption a frame.
// Last, the generator's own promises.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/synthetic_video.h"

extern "C" {
#include <libavutil/md5.h>
}

namespace fs = std::filesystem;

namespace {

typedef std::vector<std::string> Texts;
typedef nlohmann::json Json;

std::string Quote(const std::string& path) { return "'" + path + "'"; }  // no quotes in ours

const std::string BIN = ZENTRIX_BIN_DIR + std::string("/"), FFPROBE = Quote(FFPROBE_PATH);
const std::string FFMPEG = Quote(FFMPEG_PATH);
const uint32_t SEED = 11;

// Runs a shell command; returns its exit status and the lines it printed.
int Shell(const std::string& command, Texts* lines, std::string* text = nullptr) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[65536];
  for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  const int status = pipe ? pclose(pipe) : -1;
  std::istringstream in(output);
  lines->clear();
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines->push_back(line);
  if (text) *text = output;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The value of a rate that ffprobe prints as a fraction at the end of a line.
double Rate(const std::string& line) {
  const size_t comma = line.rfind(','), slash = line.rfind('/');
  if (comma == std::string::npos || slash == std::string::npos || slash < comma) return 0;
  return std::stod(line.substr(comma + 1)) / std::stod(line.substr(slash + 1));
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The first word a command prints (a digest, a count).
std::string FirstWord(const std::string& command) {
  Texts lines;
  Shell(command, &lines);
  return lines.empty() ? "" : lines[0].substr(0, lines[0].find_first_of(" \t"));
}

// A JSON file that python3 -m json.tool accepts, parsed.
Json ReadJson(const fs::path& path) {
  Texts lines;
  EXPECT_EQ(Shell("python3 -m json.tool " + Quote(path) + " >/dev/null", &lines), 0) << path;
  return Json::parse(Slurp(path), nullptr, false);
}

struct Segment {
  std::string name;  // up to the last frame's stamp
  int channel, width, height;
  std::vector<int> indices;  // the pattern's pictures, in file order
  Texts flags, types;        // each one's index key flag and picture type
  std::string last;
  int codec;
  std::vector<size_t> records;  // each frame's place among the recording's frame records
  Texts times;                  // each frame's recorded time as its caption shows it
};

// A frame's date and time of day as info shows it: hours past 23 carry
// into the next day.
std::string FrameMoment(int year, int month, int day, unsigned ms) {
  struct tm date = {};
  date.tm_year = year - 1900, date.tm_mon = month - 1, date.tm_mday = day;
  time_t seconds = timegm(&date) + ms / 1000;
  char text[64];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", gmtime_r(&seconds, &date));
  return std::string(text) + "." + std::to_string(1000 + ms % 1000).substr(1);
}

// What info must say of a channel, from the manifest's list of its frames:
// frames, key frames, first and last frame, codec types and picture sizes
// with their counts, and each stretch of more than 2 s without a frame.
struct ChannelFacts {
  int frames = 0, keys = 0;
  std::string first, last, previousAt;
  int64_t previous = 0;
  std::map<int, int> codecs;
  Json sizes = Json::array(), gaps = Json::array();

  void Add(int kind, int codec, int width, int height, const std::string& at, int64_t ms) {
    if (frames == 0) first = last = at;
    if (frames > 0 && ms - previous > 2000)
      gaps.push_back({{"from", previousAt}, {"to", at}, {"seconds", (ms - previous) / 1000.0}});
    first = std::min(first, at), last = std::max(last, at), previous = ms, previousAt = at;
    frames++, keys += kind == 0, codecs[codec]++;
    for (Json& size : sizes)
      if (size["width"] == width && size["height"] == height)
        return void(size["frames"] = size["frames"].get<int>() + 1);
    sizes.push_back({{"width", width}, {"height", height}, {"frames", 1}});
  }
  Json Info() const {
    Json types = Json::array();
    for (const auto& entry : codecs)
      types.push_back({{"codecType", entry.first}, {"frames", entry.second}});
    return {{"frames", frames}, {"keyFrames", keys}, {"first", first}, {"last", last},
            {"codecTypes", types}, {"sizes", sizes}, {"gaps", gaps}};
  }
};

// What a manifest promises: the scan's channel list, the header-block
// layouts (-1 cut, 0 short, 1 long, 2 extended), the files of an export of
// every channel and what info says of each channel (by user-visible number).
struct Manifest {
  Texts scan;
  std::set<int> layouts;
  std::vector<Segment> segments;
  std::map<int, ChannelFacts> info;
};

Manifest ReadManifest(const fs::path& path) {
  Manifest m;
  std::ifstream in(path);
  std::map<int, size_t> rows;  // of the channels, in order of first appearance
  std::map<int, std::string> first;
  std::map<int, Segment> open;
  std::map<int, int> files;
  auto close = [&](Segment& s) {
    const int n = ++files[s.channel];
    s.name += s.last + (n > 1 ? "(" + std::to_string(n) + ")" : "") + ".avi";
    m.segments.push_back(s);
    s = Segment();
  };
  std::string word, mask;
  int version, y, mo, d, h, mi, sec, channel, index, kind, codec, width, height;
  unsigned long long offset;
  unsigned length, ms;
  char text[64], time[64];
  size_t record = 0;
  while (in >> word) {
    if (word == "block") {
      in >> offset >> length >> version >> y >> mo >> d >> h >> mi >> sec >> mask;
      snprintf(text, sizeof text, "%d/%d/%d %d:%d:%d", y, mo, d, h, mi, sec);
      m.layouts.insert(length < 168 ? -1 : length == 168 ? 0 : version);
      for (int n = 0; n < (version == 2 ? 64 : 32); n++) {
        if (!((std::stoull(mask, nullptr, 16) >> n) & 1)) continue;
        if (!first.count(n)) first[n] = text, rows[n] = m.scan.size(), m.scan.emplace_back();
        m.scan[rows[n]] = "Channel " + std::to_string(n + 1) + "\t" + first[n] + "\t" + text;
      }
    } else {
      EXPECT_EQ(word, "frame");
      in >> channel >> index >> kind >> codec >> width >> height >> ms >> y >> mo >> d >> length;
      snprintf(text, sizeof text, "%04d%02d%02d_%02u%02u%02u", y, mo, d, ms / 3600000,
               ms / 60000 % 60, ms / 1000 % 60);
      struct tm date = {};
      date.tm_year = y - 1900, date.tm_mon = mo - 1, date.tm_mday = d;
      m.info[channel].Add(kind, codec, width, height, FrameMoment(y, mo, d, ms),
                          timegm(&date) * 1000ll + ms);
      snprintf(time, sizeof time, "%04d-%02d-%02d %02u:%02u:%02u.%03u", y, mo, d, ms / 3600000,
               ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
      record++;
      Segment& s = open[channel];
      if (!s.indices.empty() && (width != s.width || height != s.height)) close(s);
      if (s.indices.empty()) {
        if (kind != 0) continue;  // a file starts at a key frame
        s = {"Ch" + std::to_string(channel) + "_" + text + "_", channel, width, height,
             {}, {}, {}, "", codec, {}, {}};
      }
      s.records.push_back(record - 1);
      s.times.push_back(time);
      s.indices.push_back(index);
      s.flags.push_back(kind == 0 ? "K" : "_");
      s.types.push_back(kind == 0 ? "I" : "P");
      s.last = text;
    }
  }
  for (auto& entry : open)
    if (!entry.second.indices.empty()) close(entry.second);
  return m;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "zentrix-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir = pattern;  // its own folder: tests of several builds may run at once
    recording = dir / "sample.rec";
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir);
  }

  int Mkrec(const std::string& arguments, std::string* out) {
    Texts lines;
    return Shell(Quote(BIN + "zentrix-mkrec") + " " + arguments + " 2>&1", &lines, out);
  }

  void GenerateAndScan(const std::string& options) {
    std::string out, manifest = dir / "manifest.txt";
    ASSERT_EQ(Mkrec(options + " --seed " + std::to_string(SEED) + " --manifest " +
                    Quote(manifest) + " " + Quote(recording), &out), 0) << out;
    m = ReadManifest(manifest);
    ASSERT_FALSE(m.segments.empty());
    Texts lines;
    ASSERT_EQ(Shell(Quote(BIN + "zentrix-cli") + " scan " + Quote(recording), &lines), 0);
    EXPECT_EQ(lines, m.scan);
    CheckInfo();
  }

  // info --json: every channel named by a header block or with video, and
  // for those with video the manifest's facts.
  void CheckInfo() {
    Texts lines;
    const fs::path json = dir / "info.json";
    ASSERT_EQ(Shell(Quote(BIN + "zentrix-cli") + " info --json " + Quote(recording) + " > " +
                    Quote(json), &lines), 0);
    const Json info = ReadJson(json);
    std::set<int> expected, listed;
    for (const std::string& row : m.scan) expected.insert(std::stoi(row.substr(8)));
    for (const auto& entry : m.info) expected.insert(entry.first);
    for (const Json& channel : info["channels"]) {
      const int number = channel["channel"];
      listed.insert(number);
      SCOPED_TRACE("channel " + std::to_string(number));
      if (!m.info.count(number)) {
        EXPECT_EQ(channel["frames"], 0);
        continue;
      }
      const Json facts = m.info[number].Info();
      for (const auto& fact : facts.items())
        EXPECT_EQ(channel[fact.key()], fact.value()) << fact.key();
    }
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(info["damagedPlaces"], Json::array());
  }

  // Exports the chosen channels (none: all) with the given options into a
  // new folder and checks that exactly the expected files (and with
  // --captions their caption files) were printed and left there, then each.
  void Export(const std::vector<int>& channels = {}, const std::string& options = "") {
    const fs::path folder = dir / ("out" + std::to_string(++exports));
    fs::create_directories(folder);
    std::string choice;
    for (int c : channels) choice += (choice.empty() ? " --channels " : ",") + std::to_string(c);
    const bool copy = options.find("--copy") != std::string::npos;
    const bool captions = options.find("--captions") != std::string::npos;
    Texts paths, printed, present;
    std::vector<const Segment*> chosen;
    const fs::path report = dir / ("report" + std::to_string(exports) + ".json");
    EXPECT_EQ(Shell(Quote(BIN + "zentrix-cli") + " export " + Quote(recording) + " " +
                    Quote(folder) + choice + " --jobs 3 --report " + Quote(report) + " " + options,
                    &printed), 0);
    for (const Segment& s : m.segments)
      if (channels.empty() || std::count(channels.begin(), channels.end(), s.channel)) {
        chosen.push_back(&s), paths.push_back(folder / s.name);
        if (captions) paths.push_back(fs::path(paths.back()).replace_extension(".smi"));
      }
    for (const auto& entry : fs::directory_iterator(folder)) present.push_back(entry.path());
    for (auto* list : {&paths, &printed, &present}) std::sort(list->begin(), list->end());
    EXPECT_EQ(printed, paths);
    EXPECT_EQ(present, paths);  // no temporary file, no extra segment
    for (const Segment* s : chosen) {
      double rate = 0;
      copy ? CheckCopy(folder / s->name, *s, &rate) : CheckFile(folder / s->name, *s, &rate);
      if (captions) CheckCaptions(folder / s->name, *s, rate);
    }
    CheckReport(ReadJson(report), chosen, options);
    // One thread writes the same files, byte for byte.
    const fs::path single = folder.string() + "-single";
    fs::create_directories(single);
    EXPECT_EQ(Shell(Quote(BIN + "zentrix-cli") + " export " + Quote(recording) + " " +
                    Quote(single) + choice + " --jobs 1 " + options, &printed), 0);
    for (const std::string& path : paths)
      EXPECT_EQ(Slurp(single / fs::path(path).filename()), Slurp(path));
  }

  // The report's hashes are sha256sum's (of the caption files too), its
  // frame counts ffprobe's and the manifest's, its mode the run's, and
  // nothing was lost.
  void CheckReport(const Json& report, const std::vector<const Segment*>& chosen,
                   const std::string& options) {
    EXPECT_EQ(report["result"], "completed");
    EXPECT_EQ(report["recording"]["sha256"], FirstWord("sha256sum " + Quote(recording)));
    EXPECT_EQ(report["lostFrames"], 0);
    ASSERT_EQ(report["segments"].size(), chosen.size());
    for (const Json& segment : report["segments"]) {
      const std::string path = segment["path"];
      SCOPED_TRACE(path);
      EXPECT_EQ(segment["sha256"], FirstWord("sha256sum " + Quote(path)));
      const bool copied = options.find("--copy") != std::string::npos;
      EXPECT_EQ(segment["mode"], copied ? "copy" : "transcode");
      const std::string smi = fs::path(path).replace_extension(".smi").string();
      EXPECT_EQ(segment["captions"], options.find("--captions") == std::string::npos ? Json(nullptr)
                : Json({{"file", fs::path(smi).filename().string()},
                        {"sha256", FirstWord("sha256sum " + Quote(smi))}}));
      EXPECT_EQ(segment["frames"], std::stoi(FirstWord(
          FFPROBE + " -v error -count_frames -select_streams v:0 -show_entries "
          "stream=nb_read_frames -of csv=p=0 " + Quote(path))));
      for (const Segment* s : chosen) {
        if (fs::path(path).filename() == s->name) {
          EXPECT_EQ(segment["frames"], s->indices.size());
        }
      }
    }
  }

  // The MD5 of every frame record's frame data (after the prefix word of the
  // extended form), in file order: the records' own 10-byte heads are read
  // here, the lengths of the generator's records being exact.
  Texts FrameMd5s() {
    const std::string file = Slurp(recording);
    Texts sums;
    for (size_t at = 0; at + 10 <= file.size();) {
      const uint8_t* head = (const uint8_t*)file.data() + at;
      const size_t length = (head[0] | head[1] << 8 | head[2] << 16) & 0x7FFFF;
      const size_t skip = (head[8] & 3) == 3 ? 4 : 0;
      if (((head[8] >> 2) & 15) <= 1 && length > skip) {
        uint8_t md5[16];
        char hex[33];
        av_md5_sum(md5, head + 10 + skip, length - skip);
        for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02x", md5[i]);
        sums.push_back(hex);
      }
      at += 10 + length;
    }
    return sums;
  }

  // The frames exactly as recorded, under the FourCC of their codec: ffmpeg
  // copies them out with the recording's MD5s and decodes them without a
  // complaint; the index carries the recording's key flags.
  void CheckCopy(const fs::path& path, const Segment& s, double* rate) {
    SCOPED_TRACE(s.name);
    static const char* const CODECS[16][2] = {
        {"mjpeg", "MJPG"}, {"h263", "H263"}, {"mpeg4", "FMP4"}, {"", ""},
        {"mpeg4", "FMP4"}, {"mpeg4", "FMP4"}, {"h264", "H264"}, {"", ""},
        {"h264", "H264"},  {"h264", "H264"}, {"mpeg4", "FMP4"}, {"h264", "H264"},
        {"h264", "H264"},  {"h264", "H264"}, {"h264", "H264"}, {"h264", "H264"}};
    if (md5s.empty()) md5s = FrameMd5s();
    Texts lines, expected, sums;
    std::string out;
    EXPECT_EQ(Shell(FFPROBE + " -v error -select_streams v:0 -show_entries stream=codec_name,"
                    "codec_tag_string,width,height,avg_frame_rate -of csv " + Quote(path),
                    &lines), 0);
    ASSERT_EQ(lines.size(), 1u);
    *rate = Rate(lines[0]);
    EXPECT_EQ(lines[0].substr(0, lines[0].rfind(',')),
              std::string("stream,") + CODECS[s.codec][0] + "," + CODECS[s.codec][1] + "," +
                  std::to_string(s.width) + "," + std::to_string(s.height));
    // One run: the packets copied out to their MD5s, and all of them decoded.
    const fs::path errors = dir / "errors.txt";
    EXPECT_EQ(Shell(FFMPEG + " -nostdin -v error -i " + Quote(path) + " -c copy -f framemd5 - "
                    "-f null - 2>" + Quote(errors), &lines), 0);
    for (const std::string& line : lines)
      if (line[0] != '#') sums.push_back(line.substr(line.rfind(' ') + 1));
    for (size_t record : s.records) expected.push_back(md5s.at(record));
    EXPECT_EQ(sums, expected);
    EXPECT_EQ(Slurp(errors), "");
    const std::string avi = Slurp(path);
    Texts flags;
    const size_t index = avi.rfind("idx1");
    for (size_t i = index + 8; index != std::string::npos && i + 16 <= avi.size(); i += 16)
      flags.push_back(avi[i + 4] & 0x10 ? "K" : "_");
    EXPECT_EQ(flags, s.flags);
  }

  // One caption a frame as FFmpeg reads the caption file: starting at the
  // frame's time in the AVI file at its final rate, showing its recorded time.
  void CheckCaptions(const fs::path& avi, const Segment& s, double rate) {
    const fs::path smi = fs::path(avi).replace_extension(".smi");
    SCOPED_TRACE(smi.filename().string());
    Texts lines, texts;
    ASSERT_GT(rate, 0);
    ASSERT_EQ(Shell(FFPROBE + " -v error -show_entries packet=pts -of csv=p=0 " + Quote(smi),
                    &lines), 0);
    ASSERT_EQ(lines.size(), s.times.size());
    for (size_t i = 0; i < lines.size(); i++)
      EXPECT_NEAR(std::stod(lines[i]), i * 1000 / rate, 1.0) << i;
    ASSERT_EQ(Shell(FFMPEG + " -nostdin -v error -i " + Quote(smi) + " -f srt -", &lines), 0);
    for (const std::string& line : lines)  // number, times, text: the texts
      if (line.find("-->") == std::string::npos && line.find_first_not_of("0123456789") !=
                                                       std::string::npos)
        texts.push_back(line);
    EXPECT_EQ(texts, s.times);
  }

  // MPEG-4 under the FourCC xvid, of the segment's size, one index entry a
  // frame with the recording's key flag (AVIIF_KEYFRAME; ffprobe takes its
  // flags from the bitstream instead) and intra pictures exactly there;
  // ffmpeg decodes it without a complaint to the generator's pictures.
  void CheckFile(const fs::path& path, const Segment& s, double* rate) {
    SCOPED_TRACE(s.name);
    const std::string avi = Slurp(path);
    Texts flags, lines;
    const size_t index = avi.rfind("idx1");  // 16-byte entries behind an 8-byte chunk header
    for (size_t i = index + 8; index != std::string::npos && i + 16 <= avi.size(); i += 16)
      flags.push_back(avi[i + 4] & 0x10 ? "K" : "_");
    EXPECT_EQ(flags, s.flags);
    EXPECT_EQ(Shell(FFPROBE + " -v error -select_streams v:0 -show_entries stream=codec_name,"
                    "codec_tag_string,width,height,avg_frame_rate:frame=pict_type -of csv " +
                    Quote(path), &lines), 0);
    Texts expected{"stream,mpeg4,xvid," + std::to_string(s.width) + "," +
                   std::to_string(s.height)};
    for (const std::string& type : s.types) expected.push_back("frame," + type);
    std::stable_sort(lines.begin(), lines.end(),  // the stream line first, then the frames
                     [](const auto& a, const auto& b) { return a[0] > b[0]; });
    ASSERT_FALSE(lines.empty());
    *rate = Rate(lines[0]);
    lines[0].erase(lines[0].rfind(','));
    EXPECT_EQ(lines, expected);
    const fs::path raw = dir / "decoded.yuv";
    std::string out;
    EXPECT_EQ(Shell(FFMPEG + " -nostdin -y -v error -i " + Quote(path) +
                    " -f rawvideo -pix_fmt yuv420p " + Quote(raw) + " 2>&1", &lines, &out), 0);
    EXPECT_EQ(out, "");  // not a single complaint
    const std::string pictures = Slurp(raw);
    const size_t size = PictureSize(s.width, s.height);
    ASSERT_EQ(pictures.size(), size * s.indices.size());
    std::vector<uint8_t> source(size);
    double sum = 0;
    for (size_t i = 0; i < s.indices.size(); i++) {
      DrawPattern(source.data(), s.width, s.height, SEED, s.channel, s.indices[i]);
      sum += PicturePsnr(source.data(), (const uint8_t*)pictures.data() + i * size, size);
    }
    const double psnr = sum / (double)s.indices.size();
    printf("[ psnr     ] %s: %zu frames %dx%d, %.2f dB against the source\n", s.name.c_str(),
           s.indices.size(), s.width, s.height, psnr);
    EXPECT_GE(psnr, 35.0);
  }

  fs::path dir, recording;
  Manifest m;
  Texts md5s;  // of the recording's frame records
  int exports = 0;
};

// The plain form: Motion JPEG, H.263+ and MPEG-4 (types 0, 1, 2) with a size
// change, a gap, every header-block layout and records of the other kinds;
// then only some channels.
TEST_F(EndToEnd, PlainFormWithEveryPlainCodecAndASizeChange) {
  GenerateAndScan("--form plain --channels 1,2,3 --codecs 0,1,2 --sizes 320x240,640x240 "
                  "--duration 6 --fps 3 --key-interval 4 --layout mixed --extras --gap 1,2.5");
  EXPECT_EQ(m.layouts, (std::set<int>{-1, 0, 1, 2}));
  Export();
  Export({1, 3}, "--captions");
}

// The extended form: every H.264 and MPEG-4 type and both other formats on
// channels up to 64, version-2 blocks, a gap, and a stretch that runs past
// midnight (time of day above 24 hours: hour 24 in the names).
TEST_F(EndToEnd, ExtendedFormWithEveryCodecTypeUpToChannel64PastMidnight) {
  GenerateAndScan("--channels 3,9,17,31,32,33,34,40,47,50,55,60,63,64 "
                  "--codecs 2,4,5,6,8,9,10,11,12,13,14,15,0,1 --sizes 128x96,96x64 "
                  "--duration 3 --fps 4 --key-interval 3 --layout ext --block-interval 2 "
                  "--start '2009-12-31 23:59:59' --gap 1.5,0.5 --extras");
  EXPECT_TRUE(std::any_of(m.segments.begin(), m.segments.end(), [](const Segment& s) {
    return s.name.find("_20091231_24") != std::string::npos;  // 31 December, hour 24
  }));
  Export();
}

// Damaged copies: info finds every frame before the damage and the damaged
// places that the export walk finds; the report's damaged places and lost
// frames are those that zentrix-cli's standard error tells of.
TEST_F(EndToEnd, InfoAndTheReportFindTheDamageTheExportFinds) {
  GenerateAndScan("--channels 1,2 --codecs 6,2 --sizes 160x120 --duration 4 --fps 5");
  const std::string cli = Quote(BIN + "zentrix-cli");
  for (const char* kind : {"cut-boundary", "cut-inside", "flip", "block-year", "block-counts",
                           "garbage", "short-record"}) {
    SCOPED_TRACE(kind);
    const fs::path damaged = dir / (std::string(kind) + ".rec"), out = dir / kind;
    const fs::path info = dir / "damaged-info.json", report = dir / "damaged-report.json";
    Texts lines;
    std::string said, err;
    ASSERT_EQ(Shell("python3 " + Quote(ZENTRIX_SOURCE_DIR "/scripts/damage_recording.py") + " " +
                    kind + " " + Quote(recording) + " " + Quote(damaged) + " 5", &lines, &said), 0);
    const int before = std::stoi(said.substr(said.rfind("; ") + 2));
    fs::create_directories(out);
    ASSERT_EQ(Shell(cli + " info --json " + Quote(damaged) + " > " + Quote(info), &lines), 0);
    ASSERT_EQ(Shell(cli + " export " + Quote(damaged) + " " + Quote(out) + " --report " +
                    Quote(report) + " 2>&1 >/dev/null", &lines, &err), 0);
    const Json found = ReadJson(info), told = ReadJson(report);
    int frames = 0, damage = 0, lost = 0;
    for (const Json& channel : told["channels"]) frames += channel["framesInRecording"].get<int>();
    EXPECT_GE(found["videoFrames"], before);
    EXPECT_EQ(found["videoFrames"], frames);
    EXPECT_EQ(found["damagedPlaces"], told["damagedPlaces"]);
    sscanf(err.c_str() + std::min(err.size(), err.find("damaged in ")), "damaged in %d", &damage);
    sscanf(err.c_str() + std::min(err.size(), err.find("cli: ") + 5), "%d frame", &lost);
    EXPECT_EQ(told["damagedPlaces"].size(), damage) << err;
    EXPECT_EQ(told["lostFrames"], lost) << err;
  }
}

// A copy of every codec type in both forms (the plain one with a size
// change) keeps each frame as recorded and shows its time. 30 pictures a
// second: the rate the MPEG-4 and H.264 streams carry is then no lower than
// the one the AVI file states (ffmpeg would otherwise map two frames to one
// tick).
TEST_F(EndToEnd, CopyKeepsEveryFrameOfEveryCodecTypeAndCaptionsShowTheirTimes) {
  GenerateAndScan("--form plain --channels 1,2,3 --codecs 0,1,2 --sizes 320x240,640x480 "
                  "--duration 2 --fps 30 --key-interval 20 --layout mixed --extras");
  Export({}, "--copy --captions");
  md5s.clear();
  GenerateAndScan("--channels 1-14,64 --codecs 0,1,2,4,5,6,8,9,10,11,12,13,14,15 "
                  "--sizes 128x96 --duration 2 --fps 30 --key-interval 20 --layout ext "
                  "--block-interval 2 --extras");
  Export({}, "--copy --captions");
  Export({2, 64}, "--copy");
}

// A seed gives the same file, another seed another. Bad options end with
// status 2, a failed write with 1; each says why and leaves no file behind.
TEST_F(EndToEnd, MkrecIsRepeatableAndRefusesWhatTheRecordFormCannotCarry) {
  std::string out, options = "--channels 1,2 --codecs 6,2 --sizes 160x120 --duration 1 --seed ";
  for (std::string run : {"5 a.rec", "5 b.rec", "6 c.rec"})
    ASSERT_EQ(Mkrec(options + run.substr(0, 2) + Quote(dir / run.substr(2)), &out), 0) << out;
  const std::string a = Slurp(dir / "a.rec");  // compared as a whole, not printed
  EXPECT_TRUE(!a.empty() && a == Slurp(dir / "b.rec")) << "the same seed gave another file";
  EXPECT_TRUE(a != Slurp(dir / "c.rec")) << "another seed gave the same file";

  const std::string bad = " " + Quote(dir / "bad.rec");
  const struct {
    std::string options;
    int status;
    std::string message;
  } cases[] = {
      {"--form plain --codecs 6" + bad, 2, "zentrix-mkrec: "},  // H.264 needs the extended form
      {"--form plain --channels 33" + bad, 2, "zentrix-mkrec: "},    // the plain form: 32 channels
      {"--form plain --sizes 160x120" + bad, 2, "zentrix-mkrec: "},  // and three picture sizes
      {"--sizes 321x240" + bad, 2, "zentrix-mkrec: "},  // odd sizes have no 4:2:0 layout
      {"--codecs 3" + bad, 2, "zentrix-mkrec: "},       // no format behind type 3
      {"--channels 65" + bad, 2, "zentrix-mkrec: "},
      {"--duration 0" + bad, 2, "zentrix-mkrec: "},
      {"--fps" + bad, 2, "zentrix-mkrec: "},
      {"--colour red" + bad, 2, "zentrix-mkrec: "},
      {"--duration 1", 2, "no output file"},
      {"--duration 1 " + Quote(dir / "missing" / "a.rec"), 2, "cannot create"},
      {"--duration 1 /dev/full", 1, "writing /dev/full failed"},
      {"--duration 1 --gap 0,5" + bad, 1, "no frames"},  // the gap covers the whole recording
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Mkrec(c.options, &out), c.status) << c.options;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.options << ": " << out;
    EXPECT_FALSE(fs::exists(dir / "bad.rec")) << c.options;
  }
}

}  // namespace
