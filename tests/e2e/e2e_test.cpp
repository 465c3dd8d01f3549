// End to end: zentrix-mkrec writes a recording and a manifest of what it wrote; zentrix-cli scans,
// describes and exports it; ffmpeg reads every file written.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/avi/avi_test_files.h"
#include "tools/stream_encoder.h"
#include "tools/synthetic_video.h"

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

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void ExpectFields(const Json& have, const Json& want) {
  for (const auto& field : want.items()) EXPECT_EQ(have[field.key()], field.value()) << field.key();
}

// A file that an export of every channel must write; of each frame its key flag (K or _), its picture of
// the pattern and its recorded time as its caption shows it.
struct Segment {
  std::string name, last, flags;  // name: up to the last frame's stamp
  int channel, codec, width, height;
  std::vector<int> pictures;
  Texts times;
};

class EndToEnd : public ::testing::Test {
 protected:
  ScratchDir scratch;  // its own folder: tests of several builds may run at once
  const fs::path dir = scratch.dir, recording = dir / "sample.rec";
  // What the manifest promises: the files of an export of every channel, what info says of each channel.
  std::vector<Segment> segments;
  std::map<int, Json> info;
  int exports = 0;

  void ReadManifest() {
    std::ifstream in(dir / "manifest");
    std::map<int, Segment> open;
    std::map<int, int> files;
    std::map<int, int64_t> previous;  // each channel's last frame time (ms)
    auto close = [&](Segment& s) {
      const int n = ++files[s.channel];
      s.name += s.last + (n > 1 ? "(" + std::to_string(n) + ")" : "") + ".avi";
      segments.push_back(s), s = Segment();
    };
    std::string word, skip, mask;
    int y, mo, d, channel, index, kind, codec, width, height;
    unsigned length, ms;
    char text[64], stamp[64], time[64], moment[80];
    segments.clear(), info.clear();
    while (in >> word) {
      if (word == "block") {  // channels named by a header block are listed by info
        for (int field = 0; field < 9; field++) in >> skip;
        in >> mask;
        for (int n = 0; n < 64; n++)
          if ((std::stoull(mask, nullptr, 16) >> n) & 1) info.emplace(n + 1, Json{{"frames", 0}});
        continue;
      }
      in >> channel >> index >> kind >> codec >> width >> height >> ms >> y >> mo >> d >> length;
      // Names and captions show hours past 23; info carries them into the next day.
      const unsigned hour = ms / 3600000, minute = ms / 60000 % 60, second = ms / 1000 % 60;
      snprintf(stamp, sizeof stamp, "%04d%02d%02d_%02u%02u%02u", y, mo, d, hour, minute, second);
      snprintf(time, sizeof time, "%04d-%02d-%02d %02u:%02u:%02u.%03u", y, mo, d, hour, minute, second, ms % 1000);
      struct tm date = {};
      date.tm_year = y - 1900, date.tm_mon = mo - 1, date.tm_mday = d;
      const int64_t at = timegm(&date) * 1000ll + ms;
      const time_t seconds = (time_t)(at / 1000);
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", gmtime_r(&seconds, &date));
      snprintf(moment, sizeof moment, "%s.%03u", text, ms % 1000);
      Json& f = info[channel];
      if (f.is_null() || f["frames"] == 0)
        f = {{"frames", 0}, {"keyFrames", 0}, {"first", moment}, {"sizes", Json::array()}, {"gaps", Json::array()}};
      else if (at - previous[channel] > 2000)  // more than 2 s without a frame
        f["gaps"].push_back({{"from", f["last"]}, {"to", moment}, {"seconds", (at - previous[channel]) / 1e3}});
      f["frames"] = f["frames"].get<int>() + 1, f["keyFrames"] = f["keyFrames"].get<int>() + (kind == 0);
      f["last"] = moment, previous[channel] = at;
      f["codecTypes"] = {{{"codecType", codec}, {"frames", f["frames"]}}};  // one a channel
      Json& sizes = f["sizes"];  // one after another
      if (sizes.empty() || sizes.back()["width"] != width || sizes.back()["height"] != height)
        sizes.push_back({{"width", width}, {"height", height}, {"frames", 0}});
      sizes.back()["frames"] = sizes.back()["frames"].get<int>() + 1;
      Segment& s = open[channel];
      if (!s.flags.empty() && (width != s.width || height != s.height)) close(s);
      if (s.flags.empty() && kind != 0) continue;  // a file starts at a key frame
      if (s.flags.empty())
        s = {"Ch" + std::to_string(channel) + "_" + stamp + "_", "", "", channel, codec, width, height, {}, {}};
      s.flags += kind == 0 ? 'K' : '_', s.pictures.push_back(index);
      s.times.push_back(time), s.last = stamp;
    }
    for (auto& entry : open)
      if (!entry.second.flags.empty()) close(entry.second);
  }

  // A recording with its manifest. info --json lists every channel named by a header block or with video,
  // with the manifest's facts for those with video, and no damage.
  void Generate(const std::string& options) {
    std::string out;
    ASSERT_EQ(Sh(MKREC + options + " --seed " + std::to_string(SEED) + " --manifest " + Q(dir / "manifest") + " " +
                 Q(recording) + " 2>&1", &out), 0) << out;
    ReadManifest();
    ASSERT_EQ(Sh(CLI + "info --json " + Q(recording) + " > " + Q(dir / "info.json")), 0);
    const Json described = Json::parse(Slurp(dir / "info.json"));
    EXPECT_EQ(described["channels"].size(), info.size());
    for (const Json& channel : described["channels"]) ExpectFields(channel, info.at(channel["channel"].get<int>()));
    EXPECT_EQ(described["damagedPlaces"], Json::array());
  }

  // Exports the chosen channels (none: all): exactly the expected files (with --captions their caption
  // files too) are left in the folder, the report tells their mode and caption file, each holds what it must.
  void Export(const std::vector<int>& channels = {}, const std::string& options = "") {
    const std::string n = std::to_string(++exports);
    const fs::path folder = dir / ("out" + n), report = dir / "report";
    fs::create_directories(folder);
    const bool copy = options.find("--copy") != std::string::npos;
    const bool captions = options.find("--captions") != std::string::npos;
    std::string choice, out, inputs, outputs;
    for (int c : channels) choice += (choice.empty() ? " --channels " : ",") + std::to_string(c);
    EXPECT_EQ(Sh(CLI + "export " + Q(recording) + " " + Q(folder) + choice + " --jobs 3 --report " + Q(report) + " " +
                 options, &out), 0);
    Texts paths, present;
    std::vector<const Segment*> chosen;
    for (const Segment& s : segments)
      if (channels.empty() || std::count(channels.begin(), channels.end(), s.channel)) {
        chosen.push_back(&s), paths.push_back(folder / s.name);
        if (captions) paths.push_back(fs::path(paths.back()).replace_extension(".smi"));
      }
    for (const auto& entry : fs::directory_iterator(folder)) present.push_back(entry.path());
    std::sort(paths.begin(), paths.end()), std::sort(present.begin(), present.end());
    EXPECT_EQ(present, paths);  // no temporary file, no extra segment
    if (options.empty()) {  // one thread writes what three write, with the real codec modules
      const fs::path single = dir / ("single" + n);
      fs::create_directories(single);
      EXPECT_EQ(Sh(CLI + "export " + Q(recording) + " " + Q(single) + choice + " --jobs 1"), 0);
      for (const fs::path path : paths) EXPECT_EQ(Slurp(single / path.filename()), Slurp(path));
    }
    const Json told = Json::parse(Slurp(report));
    EXPECT_EQ(told["segments"].size(), chosen.size());
    std::map<std::string, Json> listed;
    for (const Json& segment : told["segments"]) listed[segment["file"]] = segment;
    // ffmpeg reads every file in one run: of the i-th, its stream, pictures, intra ones and captions.
    for (size_t i = 0, input = 0; i < chosen.size(); i++) {
      const fs::path path = folder / chosen[i]->name, smi = fs::path(path).replace_extension(".smi");
      SCOPED_TRACE(chosen[i]->name);
      std::string sha;  // of sha256sum
      if (captions) Sh("sha256sum " + Q(smi), &sha);
      ExpectFields(listed[chosen[i]->name], {{"mode", copy ? "copy" : "transcode"},
                    {"captions", captions ? Json{{"file", smi.filename()}, {"sha256", sha.substr(0, 64)}} : Json()}});
      const std::string map = " -map " + std::to_string(input++), to = " " + Q(dir / std::to_string(i));
      inputs += " -i " + Q(path) + (captions ? " -i " + Q(smi) : "");
      outputs += map + ":v -c copy -f framemd5" + to + ".head" + map + ":v -f rawvideo -pix_fmt yuv420p" + to +
                 ".yuv" + map + ":v -vf 'select=eq(pict_type\\,I)' -fps_mode passthrough -f framemd5" + to + ".intra" +
                 (captions ? " -map " + std::to_string(input++) + " -f srt" + to + ".srt" : "");
    }
    EXPECT_EQ(Sh(FFMPEG + "-y" + inputs + outputs + " 2>&1", &out), 0);
    EXPECT_EQ(out, "");  // not a single complaint
    for (size_t i = 0; i < chosen.size(); i++) CheckFile(folder, i, *chosen[i], copy, captions);
  }

  // The i-th file of an export: under its codec's FourCC (xvid when transcoded), of its size; one index
  // entry a frame with the recording's key flag and intra pictures exactly there; it decodes to the
  // generator's pictures. Captions: one a frame, from the frame's time at the file's rate, showing its
  // recorded time.
  void CheckFile(const fs::path& folder, size_t i, const Segment& s, bool copy, bool captions) {
    SCOPED_TRACE(s.name);
    static const std::map<std::string, Texts> CODECS = {  // of the generator's formats: FourCC, ffmpeg's name
        {"mjpeg", {"MJPG", "mjpeg"}}, {"h263p", {"H263", "h263"}}, {"mpeg4", {"FMP4", "mpeg4"}},
        {"h264", {"H264", "h264"}}};
    const Texts codec = copy ? CODECS.at(StreamFormatName(s.codec)) : Texts{"xvid", "mpeg4"};
    const std::string avi = Slurp(folder / s.name), n = (dir / std::to_string(i)).string();
    const std::string pictures = Slurp(n + ".yuv");
    std::string flags, intra(s.flags.size(), '_');
    Texts texts;
    const size_t index = avi.rfind("idx1");  // 16-byte entries behind an 8-byte chunk header
    for (size_t at = index + 8; index != std::string::npos && at + 16 <= avi.size(); at += 16)
      flags += avi[at + 4] & 0x10 ? 'K' : '_';
    EXPECT_EQ(flags, s.flags);
    EXPECT_EQ(avi.substr(avi.find("strh") + 12, 4) + avi.substr(avi.find("strf") + 24, 4), codec[0] + codec[0]);
    std::istringstream head(Slurp(n + ".head")), intras(Slurp(n + ".intra")), srt(captions ? Slurp(n + ".srt") : "");
    std::string stream;  // as ffmpeg reads it: codec and size; the time base is seconds a frame
    double tick = 0, ticks = 0;
    for (std::string field; std::getline(head, field) && field[0] == '#';) {
      if (field.compare(0, 4, "#cod") == 0 || field.compare(0, 4, "#dim") == 0)
        stream += field.substr(field.find(':') + 2) + " ";
      sscanf(field.c_str(), "#tb 0: %lf/%lf", &tick, &ticks);
    }
    EXPECT_EQ(stream, codec[1] + " " + std::to_string(s.width) + "x" + std::to_string(s.height) + " ");
    const double rate = ticks / tick;
    for (std::string line; std::getline(intras, line);) {
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
    for (std::string line; std::getline(srt, line);) {  // number, times, text, empty line
      int hour, minute, second, ms;
      if (sscanf(line.c_str(), "%d:%d:%d,%d -->", &hour, &minute, &second, &ms) == 4)
        EXPECT_NEAR(((hour * 60 + minute) * 60 + second) * 1000 + ms, caption++ * 1000 / rate, 1.0);
      else if (line.find_first_not_of("0123456789") != std::string::npos)
        texts.push_back(line);
    }
    EXPECT_EQ(texts, captions ? s.times : Texts());
  }
};

// The plain form: Motion JPEG, H.263+ and MPEG-4 (types 0, 1, 2), a size change, a gap, every header-block
// layout, records of the other kinds; transcoded, then some channels with captions. Copied at 30 pictures a
// second: the MPEG-4 stream's rate is then no lower than the AVI file's (ffmpeg would map two frames to one tick).
TEST_F(EndToEnd, PlainFormTranscodedAndCopiedWithEveryPlainCodecAndASizeChange) {
  Generate("--form plain --channels 1,2,3 --codecs 0,1,2 --sizes 320x240,640x240 --duration 6 --fps 3 "
           "--key-interval 4 --layout mixed --extras --gap 1,2.5");
  Export();
  Export({1, 3}, "--captions");
  Generate("--form plain --channels 1,2,3 --codecs 0,1,2 --sizes 320x240,640x480 --duration 2 --fps 30 "
           "--key-interval 20 --layout mixed --extras");
  Export({}, "--copy --captions");
}

// The extended form: every codec type on channels up to 64, version-2 blocks, two sizes, a gap and a
// stretch past midnight (hour 24 in the names); transcoded, and copied with captions (the channels named).
TEST_F(EndToEnd, ExtendedFormWithEveryCodecTypeUpToChannel64PastMidnight) {
  Generate("--channels 3,9,17,31,32,33,34,40,47,50,55,60,63,64 --codecs 2,4,5,6,8,9,10,11,12,13,14,15,0,1 "
           "--sizes 128x96,96x64 --duration 3 --fps 30 --key-interval 10 --layout ext --block-interval 2 "
           "--start '2009-12-31 23:59:59' --gap 1.5,0.5 --extras");
  Export();
  Export({3, 9, 17, 31, 32, 33, 34, 40, 47, 50, 55, 60, 63, 64}, "--copy --captions");
}

// Damaged copies: info finds every frame before the damage and the damaged places that the export walk
// finds; the report's damaged places and lost frames are those that zentrix-cli's standard error tells of.
TEST_F(EndToEnd, InfoAndTheReportFindTheDamageTheExportFinds) {
  Generate("--channels 1,2 --codecs 6,2 --sizes 160x120 --duration 4 --fps 5");
  for (const char* kind :
       {"cut-boundary", "cut-inside", "flip", "block-year", "block-counts", "garbage", "short-record"}) {
    SCOPED_TRACE(kind);
    const fs::path damaged = dir / "damaged.rec", described = dir / "info.json", report = dir / "report.json";
    std::string said, err;
    ASSERT_EQ(Sh("python3 " + Q(ZENTRIX_SOURCE_DIR "/scripts/damage_recording.py") + " " + kind + " " + Q(recording) +
                 " " + Q(damaged) + " 5", &said), 0);
    fs::create_directories(dir / kind);
    ASSERT_EQ(Sh(CLI + "info --json " + Q(damaged) + " > " + Q(described)), 0);
    ASSERT_EQ(Sh(CLI + "export " + Q(damaged) + " " + Q(dir / kind) + " --report " + Q(report) + " 2>&1 >/dev/null",
                 &err), 0);
    const Json found = Json::parse(Slurp(described)), told = Json::parse(Slurp(report));
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

// A seed gives the same file, another seed another. Bad options end with status 2, a failed write with 1;
// each says why and leaves no file behind.
TEST_F(EndToEnd, MkrecIsRepeatableAndRefusesWhatTheRecordFormCannotCarry) {
  std::string out, common = "--channels 1,2 --codecs 6,2 --sizes 160x120 --duration 1 --seed ";
  for (std::string run : {"5 a.rec", "5 b.rec", "6 c.rec"})
    ASSERT_EQ(Sh(MKREC + common + run.substr(0, 2) + Q(dir / run.substr(2))), 0);
  const std::string a = Slurp(dir / "a.rec");  // compared as a whole, not printed
  EXPECT_TRUE(!a.empty() && a == Slurp(dir / "b.rec")) << "the same seed gave another file";
  EXPECT_TRUE(a != Slurp(dir / "c.rec")) << "another seed gave the same file";
  const std::string bad = " " + Q(dir / "bad.rec");
  std::vector<std::tuple<std::string, int, std::string>> cases = {  // what follows "zentrix-mkrec: "
      {"--duration 1", 2, "no output file"}, {"--duration 1 " + Q(dir / "missing" / "a.rec"), 2, "cannot create"},
      {"--duration 1 /dev/full", 1, "writing /dev/full failed"}, {"--duration 1 --gap 0,5" + bad, 1, "no frames"}};
  // H.264 needs the extended form, which has 64 channels and more sizes than the plain one; 4:2:0 needs
  // even sides; type 3 has no format.
  for (std::string options : {"--form plain --codecs 6", "--form plain --channels 33", "--form plain --sizes 160x120",
                              "--sizes 321x240", "--codecs 3", "--channels 65", "--duration 0", "--fps",
                              "--colour red"})
    cases.push_back({options + bad, 2, ""});
  for (const auto& [options, status, message] : cases) {
    EXPECT_EQ(Sh(MKREC + options + " 2>&1", &out), status) << options;
    EXPECT_NE(out.find("zentrix-mkrec: " + message), std::string::npos) << options << ": " << out;
    EXPECT_FALSE(fs::exists(dir / "bad.rec")) << options;
  }
}

}  // namespace
