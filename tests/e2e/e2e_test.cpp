// End to end: zentrix-mkrec writes a recording and a manifest of what it
// wrote; zentrix-cli scans, describes and exports it; ffmpeg reads every file
// written. What the program must show and write is worked out from the
// manifest: a scan row per channel named by a header block, a file per run of
// frames of one size from a key frame, in a copy the recording's frame data
// byte for byte, and one caption a frame.
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

#include "tests/avi/avi_test_files.h"
#include "tools/stream_encoder.h"
#include "tools/synthetic_video.h"

extern "C" {
#include <libavutil/md5.h>
}

namespace fs = std::filesystem;

namespace {

typedef std::vector<std::string> Texts;
typedef nlohmann::json Json;

std::string Q(const std::string& path) { return "'" + path + "'"; }  // no quotes in ours

const std::string BIN = ZENTRIX_BIN_DIR "/", CLI = Q(BIN + "zentrix-cli") + " ";
const std::string MKREC = Q(BIN + "zentrix-mkrec") + " ", FFMPEG = Q(FFMPEG_PATH) + " -nostdin -v error ";
const uint32_t SEED = 11;

// Runs a shell command: its exit status, and in *out what it printed.
int Sh(const std::string& command, std::string* out = nullptr) {
  std::string text;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[65536];
  for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int status = pipe ? pclose(pipe) : -1;
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Texts Lines(const std::string& text) {  // without the empty ones
  Texts lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Sha256(const fs::path& path) {
  std::string out;
  Sh("sha256sum " + Q(path), &out);
  return out.substr(0, 64);
}

Json ReadJson(const fs::path& path) {
  const Json json = Json::parse(Slurp(path), nullptr, false);
  EXPECT_FALSE(json.is_discarded()) << path << " is no JSON";
  return json;
}

// Each field of want, as have holds it.
void ExpectFields(const Json& have, const Json& want) {
  for (const auto& field : want.items()) EXPECT_EQ(have[field.key()], field.value()) << field.key();
}

// The MD5 of each frame record's frame data (after the prefix word of the
// extended form), in file order, from the records' own heads.
Texts FrameMd5s(const std::string& file) {
  Texts sums;
  for (size_t at = 0, length; at + 10 <= file.size(); at += 10 + length) {
    const uint8_t* head = (const uint8_t*)file.data() + at;
    const size_t skip = (head[8] & 3) == 3 ? 4 : 0;
    length = (head[0] | head[1] << 8 | head[2] << 16) & 0x7FFFF;
    if (((head[8] >> 2) & 15) > 1 || length <= skip) continue;
    uint8_t md5[16];
    char hex[33];
    av_md5_sum(md5, head + 10 + skip, length - skip);
    for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02x", md5[i]);
    sums.push_back(hex);
  }
  return sums;
}

// A file that an export of every channel must write.
struct Segment {
  std::string name, last;  // name: up to the last frame's stamp
  int channel, codec, width, height;
  std::string flags;            // each frame's key flag, K or _, in file order
  std::vector<int> pictures;    // each frame's picture of the pattern
  std::vector<size_t> records;  // each frame's place among the recording's frame records
  Texts times;                  // each frame's recorded time as its caption shows it
};

// What a manifest promises: the scan's rows, the header-block layouts (-1
// cut, 0 short, 1 long, 2 extended), the files of an export of every channel
// and what info says of each channel with video.
struct Manifest {
  Texts scan;
  std::set<int> layouts;
  std::vector<Segment> segments;
  std::map<int, Json> info;
};

// Counts a frame in the entry of list whose other fields are key's.
void Count(Json& list, Json key) {
  for (Json& entry : list) {
    Json fields = entry;
    fields.erase("frames");
    if (fields == key) return void(entry["frames"] = entry["frames"].get<int>() + 1);
  }
  key["frames"] = 1;
  list.push_back(key);
}

Manifest ReadManifest(const fs::path& path) {
  Manifest m;
  std::ifstream in(path);
  std::map<int, size_t> rows;  // of the channels, in order of first appearance
  std::map<int, std::string> first;
  std::map<int, Segment> open;
  std::map<int, int> files;
  std::map<int, int64_t> previous;  // each channel's last frame time (ms)
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
  char text[64], stamp[64], time[64], moment[80];
  for (size_t records = 0; in >> word;) {
    if (word == "block") {
      in >> offset >> length >> version >> y >> mo >> d >> h >> mi >> sec >> mask;
      snprintf(text, sizeof text, "%d/%d/%d %d:%d:%d", y, mo, d, h, mi, sec);
      m.layouts.insert(length < 168 ? -1 : length == 168 ? 0 : version);
      for (int n = 0; n < 64; n++) {
        if (!((std::stoull(mask, nullptr, 16) >> n) & 1)) continue;
        if (!first.count(n)) first[n] = text, rows[n] = m.scan.size(), m.scan.emplace_back();
        m.scan[rows[n]] = "Channel " + std::to_string(n + 1) + "\t" + first[n] + "\t" + text;
      }
      continue;
    }
    EXPECT_EQ(word, "frame");
    in >> channel >> index >> kind >> codec >> width >> height >> ms >> y >> mo >> d >> length;
    // Names and captions show hours past 23 as they are; info carries them into the next day.
    const unsigned hour = ms / 3600000, minute = ms / 60000 % 60, second = ms / 1000 % 60;
    snprintf(stamp, sizeof stamp, "%04d%02d%02d_%02u%02u%02u", y, mo, d, hour, minute, second);
    snprintf(time, sizeof time, "%04d-%02d-%02d %02u:%02u:%02u.%03u", y, mo, d, hour, minute, second,
             ms % 1000);
    struct tm date = {};
    date.tm_year = y - 1900, date.tm_mon = mo - 1, date.tm_mday = d;
    const int64_t at = timegm(&date) * 1000ll + ms;
    const time_t seconds = (time_t)(at / 1000);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", gmtime_r(&seconds, &date));
    snprintf(moment, sizeof moment, "%s.%03u", text, ms % 1000);
    Json& f = m.info[channel];
    if (f.is_null())
      f = {{"frames", 0}, {"keyFrames", 0}, {"first", moment}, {"codecTypes", Json::array()},
           {"sizes", Json::array()}, {"gaps", Json::array()}};
    else if (at - previous[channel] > 2000)  // more than 2 s without a frame
      f["gaps"].push_back({{"from", f["last"]}, {"to", moment}, {"seconds", (at - previous[channel]) / 1000.0}});
    f["frames"] = f["frames"].get<int>() + 1, f["keyFrames"] = f["keyFrames"].get<int>() + (kind == 0);
    f["last"] = moment, previous[channel] = at;
    Count(f["codecTypes"], {{"codecType", codec}}), Count(f["sizes"], {{"width", width}, {"height", height}});
    Segment& s = open[channel];
    const size_t record = records++;
    if (!s.flags.empty() && (width != s.width || height != s.height)) close(s);
    if (s.flags.empty() && kind != 0) continue;  // a file starts at a key frame
    if (s.flags.empty())
      s = {"Ch" + std::to_string(channel) + "_" + stamp + "_", "", channel, codec, width, height, "", {}, {}, {}};
    s.flags += kind == 0 ? 'K' : '_', s.pictures.push_back(index), s.records.push_back(record);
    s.times.push_back(time), s.last = stamp;
  }
  for (auto& entry : open)
    if (!entry.second.flags.empty()) close(entry.second);
  return m;
}

class EndToEnd : public ::testing::Test {
 protected:
  ScratchDir scratch;  // its own folder: tests of several builds may run at once
  const fs::path dir = scratch.dir, recording = dir / "sample.rec";
  Manifest m;
  Texts md5s;  // of the recording's frame records
  int exports = 0;

  // A recording with its manifest. scan lists its rows; info --json lists
  // every channel named by a header block or with video, with the manifest's
  // facts for those with video, and no damage.
  void Generate(const std::string& options) {
    std::string out;
    ASSERT_EQ(Sh(MKREC + options + " --seed " + std::to_string(SEED) + " --manifest " +
                 Q(dir / "manifest") + " " + Q(recording) + " 2>&1", &out), 0) << out;
    m = ReadManifest(dir / "manifest");
    md5s = FrameMd5s(Slurp(recording));
    ASSERT_EQ(Sh(CLI + "scan " + Q(recording), &out), 0);
    EXPECT_EQ(Lines(out), m.scan);
    ASSERT_EQ(Sh(CLI + "info --json " + Q(recording) + " > " + Q(dir / "info.json")), 0);
    const Json info = ReadJson(dir / "info.json");
    std::set<int> expected, listed;
    for (const std::string& row : m.scan) expected.insert(std::stoi(row.substr(8)));
    for (const auto& entry : m.info) expected.insert(entry.first);
    for (const Json& channel : info["channels"]) {
      const int number = channel["channel"];
      SCOPED_TRACE("channel " + std::to_string(number));
      listed.insert(number);
      ExpectFields(channel, m.info.count(number) ? m.info[number] : Json{{"frames", 0}});
    }
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(info["damagedPlaces"], Json::array());
  }

  // Exports the chosen channels (none: all) with the options into a new
  // folder: exactly the expected files (with --captions their caption files
  // too) are printed and left there, the report tells of each, each holds
  // what it must, and one thread writes the same bytes.
  void Export(const std::vector<int>& channels = {}, const std::string& options = "") {
    const std::string n = std::to_string(++exports);
    const fs::path folder = dir / ("out" + n), single = dir / ("one" + n), report = dir / "report";
    fs::create_directories(folder), fs::create_directories(single);
    const bool copy = options.find("--copy") != std::string::npos;
    const bool captions = options.find("--captions") != std::string::npos;
    std::string choice, out, inputs, outputs;
    for (int c : channels) choice += (choice.empty() ? " --channels " : ",") + std::to_string(c);
    EXPECT_EQ(Sh(CLI + "export " + Q(recording) + " " + Q(folder) + choice + " --jobs 3 --report " +
                 Q(report) + " " + options, &out), 0);
    Texts paths, printed = Lines(out), present;
    std::vector<const Segment*> chosen;
    for (const Segment& s : m.segments)
      if (channels.empty() || std::count(channels.begin(), channels.end(), s.channel)) {
        chosen.push_back(&s), paths.push_back(folder / s.name);
        if (captions) paths.push_back(fs::path(paths.back()).replace_extension(".smi"));
      }
    for (const auto& entry : fs::directory_iterator(folder)) present.push_back(entry.path());
    for (auto* list : {&paths, &printed, &present}) std::sort(list->begin(), list->end());
    EXPECT_EQ(printed, paths);
    EXPECT_EQ(present, paths);  // no temporary file, no extra segment
    // The report: hashes of sha256sum's, frame counts of the manifest, the run's mode.
    const Json told = ReadJson(report);
    ExpectFields(told, {{"result", "completed"}, {"lostFrames", 0}});
    EXPECT_EQ(told["recording"]["sha256"], Sha256(recording));
    EXPECT_EQ(told["segments"].size(), chosen.size());
    std::map<std::string, Json> listed;
    for (const Json& segment : told["segments"]) listed[segment["file"]] = segment;
    // ffmpeg reads every file in one run; of the i-th it writes the packets'
    // MD5s, the decoded pictures, the intra pictures' MD5s and the captions.
    for (size_t i = 0, input = 0; i < chosen.size(); i++) {
      const fs::path path = folder / chosen[i]->name, smi = fs::path(path).replace_extension(".smi");
      SCOPED_TRACE(chosen[i]->name);
      ExpectFields(listed[chosen[i]->name],
                   {{"path", path.string()}, {"sha256", Sha256(path)}, {"mode", copy ? "copy" : "transcode"},
                    {"frames", chosen[i]->flags.size()},
                    {"captions", captions ? Json{{"file", smi.filename()}, {"sha256", Sha256(smi)}} : Json()}});
      const std::string map = " -map " + std::to_string(input++), to = " " + Q(dir / std::to_string(i));
      inputs += " -i " + Q(path) + (captions ? " -i " + Q(smi) : "");
      outputs += map + ":v -c copy -f framemd5" + to + ".md5" + map + ":v -f rawvideo -pix_fmt yuv420p" + to +
                 ".yuv" + map + ":v -vf 'select=eq(pict_type\\,I)' -fps_mode passthrough -f framemd5" + to +
                 ".intra" + (captions ? " -map " + std::to_string(input++) + " -f srt" + to + ".srt" : "");
    }
    EXPECT_EQ(Sh(FFMPEG + "-y" + inputs + outputs + " 2>&1", &out), 0);
    EXPECT_EQ(out, "");  // not a single complaint
    for (size_t i = 0; i < chosen.size(); i++) CheckFile(folder, i, *chosen[i], copy, captions);
    EXPECT_EQ(Sh(CLI + "export " + Q(recording) + " " + Q(single) + choice + " --jobs 1 " + options +
                 " >/dev/null"), 0);
    for (const std::string& path : paths)
      EXPECT_EQ(Slurp(single / fs::path(path).filename()), Slurp(path)) << path;
  }

  // The i-th file of an export: under its codec's FourCC (xvid when
  // transcoded) and of its size; one index entry a frame with the
  // recording's key flag (AVIIF_KEYFRAME; ffmpeg takes its flags from the
  // bitstream) and intra pictures exactly there. A copy's packets are the
  // recording's frame data, and every file decodes to the generator's
  // pictures. Captions: one a frame, from the frame's time at the file's
  // rate, showing its recorded time.
  void CheckFile(const fs::path& folder, size_t i, const Segment& s, bool copy, bool captions) {
    SCOPED_TRACE(s.name);
    static const std::map<std::string, Texts> CODECS = {  // of the generator's formats: ffmpeg's name, FourCC
        {"mjpeg", {"mjpeg", "MJPG"}}, {"h263p", {"h263", "H263"}}, {"mpeg4", {"mpeg4", "FMP4"}}, {"h264", {"h264", "H264"}}};
    const Texts codec = copy ? CODECS.at(StreamFormatName(s.codec)) : Texts{"mpeg4", "xvid"};
    const std::string avi = Slurp(folder / s.name);
    const std::string n = (dir / std::to_string(i)).string(), pictures = Slurp(n + ".yuv");
    std::string flags, intra(s.flags.size(), '_');
    const size_t index = avi.rfind("idx1");  // 16-byte entries behind an 8-byte chunk header
    for (size_t at = index + 8; index != std::string::npos && at + 16 <= avi.size(); at += 16)
      flags += avi[at + 4] & 0x10 ? 'K' : '_';
    EXPECT_EQ(flags, s.flags);
    EXPECT_EQ(avi.substr(avi.find("strh") + 12, 4) + avi.substr(avi.find("strf") + 24, 4), codec[1] + codec[1]);
    Texts head, sums, recorded, texts;
    double tick = 0, ticks = 0;  // seconds a frame, as a fraction
    for (const std::string& line : Lines(Slurp(n + ".md5"))) {
      if (line.compare(0, 4, "#cod") == 0 || line.compare(0, 4, "#dim") == 0) head.push_back(line);
      if (line[0] != '#') sums.push_back(line.substr(line.rfind(' ') + 1));
      sscanf(line.c_str(), "#tb 0: %lf/%lf", &tick, &ticks);
    }
    EXPECT_EQ(head, (Texts{"#codec_id 0: " + codec[0],
                           "#dimensions 0: " + std::to_string(s.width) + "x" + std::to_string(s.height)}));
    for (size_t record : s.records) recorded.push_back(md5s.at(record));
    EXPECT_EQ(sums, copy ? recorded : sums);
    for (const std::string& line : Lines(Slurp(n + ".intra"))) {
      size_t pts = 0;
      if (sscanf(line.c_str(), "0, %*d, %zu", &pts) == 1 && pts < intra.size()) intra[pts] = 'K';
    }
    EXPECT_EQ(intra, s.flags);
    const size_t size = PictureSize(s.width, s.height);
    ASSERT_EQ(pictures.size(), size * s.pictures.size());
    std::vector<uint8_t> source(size);
    double sum = 0;
    for (size_t f = 0; f < s.pictures.size(); f++) {
      DrawPattern(source.data(), s.width, s.height, SEED, s.channel, s.pictures[f]);
      sum += PicturePsnr(source.data(), (const uint8_t*)pictures.data() + f * size, size);
    }
    EXPECT_GE(sum / (double)s.pictures.size(), 35.0);
    size_t caption = 0;
    for (const std::string& line : Lines(captions ? Slurp(n + ".srt") : "")) {  // number, times, text
      int hour, minute, second, ms;
      if (sscanf(line.c_str(), "%d:%d:%d,%d -->", &hour, &minute, &second, &ms) == 4)
        EXPECT_NEAR(((hour * 60 + minute) * 60 + second) * 1000 + ms, caption++ * 1000 * tick / ticks, 1.0);
      else if (line.find_first_not_of("0123456789") != std::string::npos)
        texts.push_back(line);
    }
    EXPECT_EQ(texts, captions ? s.times : Texts());
  }
};

// The plain form: Motion JPEG, H.263+ and MPEG-4 (types 0, 1, 2) with a size
// change, a gap, every header-block layout and records of the other kinds;
// transcoded, then only some channels with captions. Then copied at 30
// pictures a second: the rate the MPEG-4 stream carries is then no lower than
// the one the AVI file states (ffmpeg would otherwise map two frames to one tick).
TEST_F(EndToEnd, PlainFormTranscodedAndCopiedWithEveryPlainCodecAndASizeChange) {
  Generate("--form plain --channels 1,2,3 --codecs 0,1,2 --sizes 320x240,640x240 --duration 6 "
           "--fps 3 --key-interval 4 --layout mixed --extras --gap 1,2.5");
  EXPECT_EQ(m.layouts, (std::set<int>{-1, 0, 1, 2}));
  Export();
  Export({1, 3}, "--captions");
  Generate("--form plain --channels 1,2,3 --codecs 0,1,2 --sizes 320x240,640x480 --duration 2 "
           "--fps 30 --key-interval 20 --layout mixed --extras");
  Export({}, "--copy --captions");
}

// The extended form: every codec type on channels up to 64, version-2
// blocks, two sizes, a gap and a stretch past midnight (time of day above 24
// hours: hour 24 in the names); transcoded, and copied with captions (the
// channels named one by one).
TEST_F(EndToEnd, ExtendedFormWithEveryCodecTypeUpToChannel64PastMidnight) {
  Generate("--channels 3,9,17,31,32,33,34,40,47,50,55,60,63,64 "
           "--codecs 2,4,5,6,8,9,10,11,12,13,14,15,0,1 --sizes 128x96,96x64 --duration 3 --fps 30 "
           "--key-interval 10 --layout ext --block-interval 2 --start '2009-12-31 23:59:59' "
           "--gap 1.5,0.5 --extras");
  EXPECT_TRUE(std::any_of(m.segments.begin(), m.segments.end(), [](const Segment& s) {
    return s.name.find("_20091231_24") != std::string::npos;  // 31 December, hour 24
  }));
  Export();
  Export({3, 9, 17, 31, 32, 33, 34, 40, 47, 50, 55, 60, 63, 64}, "--copy --captions");
}

// Damaged copies: info finds every frame before the damage and the damaged
// places that the export walk finds; the report's damaged places and lost
// frames are those that zentrix-cli's standard error tells of.
TEST_F(EndToEnd, InfoAndTheReportFindTheDamageTheExportFinds) {
  Generate("--channels 1,2 --codecs 6,2 --sizes 160x120 --duration 4 --fps 5");
  for (const char* kind : {"cut-boundary", "cut-inside", "flip", "block-year", "block-counts", "garbage",
                           "short-record"}) {
    SCOPED_TRACE(kind);
    const fs::path damaged = dir / "damaged.rec", info = dir / "info.json", report = dir / "report.json";
    std::string said, err;
    ASSERT_EQ(Sh("python3 " + Q(ZENTRIX_SOURCE_DIR "/scripts/damage_recording.py") + " " + kind + " " +
                 Q(recording) + " " + Q(damaged) + " 5", &said), 0);
    fs::create_directories(dir / kind);
    ASSERT_EQ(Sh(CLI + "info --json " + Q(damaged) + " > " + Q(info)), 0);
    ASSERT_EQ(Sh(CLI + "export " + Q(damaged) + " " + Q(dir / kind) + " --report " + Q(report) +
                 " 2>&1 >/dev/null", &err), 0);
    const Json found = ReadJson(info), told = ReadJson(report);
    int frames = 0, damage = 0, lost = 0;
    for (const Json& channel : told["channels"]) frames += channel["framesInRecording"].get<int>();
    sscanf(err.c_str() + std::min(err.size(), err.find("damaged in ")), "damaged in %d", &damage);
    sscanf(err.c_str() + std::min(err.size(), err.find("cli: ") + 5), "%d frame", &lost);
    EXPECT_GE(found["videoFrames"], std::stoi(said.substr(said.rfind("; ") + 2)));
    ExpectFields(found, {{"videoFrames", frames}, {"damagedPlaces", told["damagedPlaces"]}});
    EXPECT_EQ(told["damagedPlaces"].size(), damage) << err;
    EXPECT_EQ(told["lostFrames"], lost) << err;
  }
}

// A seed gives the same file, another seed another. Bad options end with
// status 2, a failed write with 1; each says why and leaves no file behind.
TEST_F(EndToEnd, MkrecIsRepeatableAndRefusesWhatTheRecordFormCannotCarry) {
  std::string out, options = "--channels 1,2 --codecs 6,2 --sizes 160x120 --duration 1 --seed ";
  for (std::string run : {"5 a.rec", "5 b.rec", "6 c.rec"})
    ASSERT_EQ(Sh(MKREC + options + run.substr(0, 2) + Q(dir / run.substr(2)), &out), 0);
  const std::string a = Slurp(dir / "a.rec");  // compared as a whole, not printed
  EXPECT_TRUE(!a.empty() && a == Slurp(dir / "b.rec")) << "the same seed gave another file";
  EXPECT_TRUE(a != Slurp(dir / "c.rec")) << "another seed gave the same file";
  const std::string bad = " " + Q(dir / "bad.rec");
  const struct {
    std::string options;
    int status;
    std::string message;  // after "zentrix-mkrec: "
  } cases[] = {
      {"--form plain --codecs 6" + bad, 2, ""},  // H.264 needs the extended form
      {"--form plain --channels 33" + bad, 2, ""}, {"--form plain --sizes 160x120" + bad, 2, ""},
      {"--sizes 321x240" + bad, 2, ""},  // odd sizes have no 4:2:0 layout
      {"--codecs 3" + bad, 2, ""},       // no format behind type 3
      {"--channels 65" + bad, 2, ""}, {"--duration 0" + bad, 2, ""}, {"--fps" + bad, 2, ""},
      {"--colour red" + bad, 2, ""}, {"--duration 1", 2, "no output file"},
      {"--duration 1 " + Q(dir / "missing" / "a.rec"), 2, "cannot create"},
      {"--duration 1 /dev/full", 1, "writing /dev/full failed"},
      {"--duration 1 --gap 0,5" + bad, 1, "no frames"},  // the gap covers the whole recording
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sh(MKREC + c.options + " 2>&1", &out), c.status) << c.options;
    EXPECT_NE(out.find("zentrix-mkrec: " + c.message), std::string::npos) << c.options << ": " << out;
    EXPECT_FALSE(fs::exists(dir / "bad.rec")) << c.options;
  }
}

}  // namespace
