// End to end: zentrix-mkrec writes a recording and a manifest of what it
// wrote; zentrix-cli scans and exports it; ffprobe and ffmpeg read every AVI
// file. The expected channel list and segments are worked out here from the
// manifest, by the rules a user sees: one row per channel named by a header
// block, one file per run of frames of one size that starts at a key frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/synthetic_video.h"

namespace fs = std::filesystem;

namespace {

// A new folder of its own under the temporary folder (tests of several
// builds may run at once).
fs::path MakeTempFolder(const char* prefix) {
  std::string pattern = (fs::path(::testing::TempDir()) / prefix).string() + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  EXPECT_NE(mkdtemp(name.data()), nullptr);
  return fs::path(name.data());
}

const std::string BIN = ZENTRIX_BIN_DIR;
const std::string FFPROBE = FFPROBE_PATH;
const std::string FFMPEG = FFMPEG_PATH;

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a shell command; returns its exit status and what it printed.
int RunCommand(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

struct Block {
  int version;
  int year, month, day, hour, minute, second;
  uint64_t channels;
};

struct Frame {
  int channel;  // 1-based
  int index;    // picture number of the generator's pattern
  int kind;
  int width, height;
  uint32_t timeMs;
  int year, month, day;
};

struct Manifest {
  std::vector<Block> blocks;
  std::vector<Frame> frames;
};

Manifest ReadManifest(const std::string& path) {
  Manifest m;
  std::ifstream in(path);
  std::string word;
  while (in >> word) {
    if (word == "block") {
      Block b;
      long long offset;
      unsigned length;
      std::string mask;
      in >> offset >> length >> b.version >> b.year >> b.month >> b.day >> b.hour >> b.minute >>
          b.second >> mask;
      b.channels = std::stoull(mask, nullptr, 16);
      m.blocks.push_back(b);
    } else if (word == "frame") {
      Frame f;
      int codec;
      unsigned length;
      in >> f.channel >> f.index >> f.kind >> codec >> f.width >> f.height >> f.timeMs >>
          f.year >> f.month >> f.day >> length;
      m.frames.push_back(f);
    } else {
      ADD_FAILURE() << "unknown manifest line " << word;
      break;
    }
  }
  return m;
}

// The channel list the scan should print.
std::vector<std::string> ExpectedScan(const Manifest& m) {
  std::vector<int> order;
  std::map<int, std::pair<std::string, std::string>> times;
  for (const Block& b : m.blocks) {
    char text[64];
    snprintf(text, sizeof text, "%d/%d/%d %d:%d:%d", b.year, b.month, b.day, b.hour, b.minute,
             b.second);
    const int count = b.version == 2 ? 64 : 32;
    for (int n = 0; n < count; n++) {
      if (!((b.channels >> n) & 1)) continue;
      if (!times.count(n)) {
        order.push_back(n);
        times[n].first = text;
      }
      times[n].second = text;
    }
  }
  std::vector<std::string> lines;
  for (int n : order) {
    lines.push_back("Channel " + std::to_string(n + 1) + "\t" + times[n].first + "\t" +
                    times[n].second);
  }
  return lines;
}

struct Segment {
  std::string name;
  int width, height;
  int channel;
  std::vector<int> indices;  // source pictures, in file order
  std::vector<bool> keys;
};

std::string Stamp(const Frame& f) {
  char text[32];
  snprintf(text, sizeof text, "%04d%02d%02d_%02u%02u%02u", f.year, f.month, f.day,
           f.timeMs / 3600000, f.timeMs / 60000 % 60, f.timeMs / 1000 % 60);
  return text;
}

// The segments that exporting `channels` (1-based) should produce.
std::vector<Segment> ExpectedSegments(const Manifest& m, const std::vector<int>& channels) {
  std::vector<Segment> done;
  for (int channel : channels) {
    Segment open;
    bool isOpen = false;
    int count = 0;
    Frame first{}, last{};
    auto close = [&]() {
      if (!isOpen) return;
      count++;
      open.name = "Ch" + std::to_string(channel) + "_" + Stamp(first) + "_" + Stamp(last) +
                  (count > 1 ? "(" + std::to_string(count) + ")" : "") + ".avi";
      done.push_back(open);
      isOpen = false;
    };
    for (const Frame& f : m.frames) {
      if (f.channel != channel) continue;
      if (isOpen && (f.width != open.width || f.height != open.height)) close();
      if (!isOpen) {
        if (f.kind != 0) continue;  // a segment starts at a key frame
        open = Segment();
        open.width = f.width;
        open.height = f.height;
        open.channel = channel;
        first = f;
        isOpen = true;
      }
      open.indices.push_back(f.index);
      open.keys.push_back(f.kind == 0);
      last = f;
    }
    close();
  }
  return done;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = MakeTempFolder("zentrix-e2e-");
    fs::create_directories(dir / "out");
    recording = (dir / "sample.rec").string();
    manifest = (dir / "manifest.txt").string();
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir);
  }

  void Generate(const std::string& options) {
    std::string out;
    ASSERT_EQ(RunCommand(Quote(BIN + "/zentrix-mkrec") + " " + options + " --seed " +
                      std::to_string(seed) + " --manifest " + Quote(manifest) + " " +
                      Quote(recording) + " 2>&1",
                  &out),
              0)
        << out;
    m = ReadManifest(manifest);
    ASSERT_FALSE(m.frames.empty());
  }

  void CheckScan() {
    std::string out;
    ASSERT_EQ(RunCommand(Quote(BIN + "/zentrix-cli") + " scan " + Quote(recording), &out), 0) << out;
    EXPECT_EQ(Lines(out), ExpectedScan(m));
  }

  // Exports `channels` (empty: all) and checks every file against the
  // manifest. Returns the PSNR of the worst file.
  double CheckExport(const std::vector<int>& channels, const std::vector<int>& expectedChannels) {
    std::string list;
    for (int c : channels) list += (list.empty() ? "" : ",") + std::to_string(c);
    std::string out;
    const std::string folder = (dir / "out").string();
    EXPECT_EQ(RunCommand(Quote(BIN + "/zentrix-cli") + " export " + Quote(recording) + " " +
                      Quote(folder) + (list.empty() ? "" : " --channels " + list),
                  &out),
              0)
        << out;
    std::vector<Segment> expected = ExpectedSegments(m, expectedChannels);
    std::vector<std::string> expectedPaths;
    for (const Segment& s : expected) expectedPaths.push_back(folder + "/" + s.name);
    std::vector<std::string> printed = Lines(out);
    std::sort(printed.begin(), printed.end());
    std::sort(expectedPaths.begin(), expectedPaths.end());
    EXPECT_EQ(printed, expectedPaths);
    // Nothing else is left in the folder: no temporary file, no extra segment.
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
      (void)entry;
      files++;
    }
    EXPECT_EQ(files, expected.size());

    double worst = 99;
    for (const Segment& s : expected) {
      SCOPED_TRACE(s.name);
      double psnr = CheckFile(folder + "/" + s.name, s);
      worst = std::min(worst, psnr);
    }
    return worst;
  }

  double CheckFile(const std::string& path, const Segment& s) {
    std::string out;
    // MPEG-4 under the FourCC xvid, of the segment's size, one packet per
    // frame. The index's key flags are the recording's, and the bitstream
    // agrees: intra pictures exactly where the index says key.
    EXPECT_EQ(RunCommand(Quote(FFPROBE) + " -v error -select_streams v:0 -show_entries "
                             "stream=codec_name,codec_tag_string,width,height:packet=flags:"
                             "frame=pict_type -of csv " + Quote(path),
                         &out),
              0);
    std::vector<std::string> streams, flags, types;
    for (const std::string& line : Lines(out)) {
      size_t comma = line.find(',');
      std::string section = line.substr(0, comma);
      std::string rest = comma == std::string::npos ? "" : line.substr(comma + 1);
      if (section == "stream") streams.push_back(rest);
      if (section == "packet") flags.push_back(rest);
      if (section == "frame") types.push_back(rest);
    }
    EXPECT_EQ(streams, std::vector<std::string>{"mpeg4,xvid," + std::to_string(s.width) + "," +
                                                std::to_string(s.height)});
    EXPECT_EQ(flags.size(), s.indices.size());
    for (size_t i = 0; i < flags.size() && i < s.keys.size(); i++) {
      EXPECT_EQ(flags[i][0] == 'K', s.keys[i]) << "packet " << i;
    }
    EXPECT_EQ(types.size(), s.indices.size());
    for (size_t i = 0; i < types.size() && i < s.keys.size(); i++) {
      EXPECT_EQ(types[i], s.keys[i] ? "I" : "P") << "frame " << i;
    }
    // Decodes without a single complaint, to the generator's pictures through
    // two lossy codecs.
    const std::string errors = (dir / "ffmpeg-errors.txt").string();
    EXPECT_EQ(RunCommand(Quote(FFMPEG) + " -nostdin -v error -i " + Quote(path) +
                             " -f rawvideo -pix_fmt yuv420p - 2>" + Quote(errors),
                         &out),
              0);
    std::string complaints;
    EXPECT_EQ(RunCommand("cat " + Quote(errors), &complaints), 0);
    EXPECT_EQ(complaints, "");
    const size_t size = PictureSize(s.width, s.height);
    EXPECT_EQ(out.size(), size * s.indices.size());
    std::vector<uint8_t> reference(size);
    double sum = 0;
    size_t count = 0;
    for (size_t i = 0; i < s.indices.size() && (i + 1) * size <= out.size(); i++) {
      DrawPattern(reference.data(), s.width, s.height, seed, s.channel, s.indices[i]);
      sum += PicturePsnr(reference.data(), reinterpret_cast<const uint8_t*>(out.data()) + i * size,
                         size);
      count++;
    }
    const double psnr = count ? sum / (double)count : 0;
    printf("[ psnr     ] %s: %zu frames %dx%d, %.2f dB against the source\n",
           fs::path(path).filename().c_str(), s.indices.size(), s.width, s.height, psnr);
    EXPECT_GE(psnr, 35.0);
    return psnr;
  }

  fs::path dir;
  std::string recording;
  std::string manifest;
  uint32_t seed = 11;
  Manifest m;
};

// The plain form: Motion JPEG, H.263+ and MPEG-4 (types 0, 1, 2) with a size
// change, all header-block layouts and records of the other kinds.
TEST_F(EndToEnd, PlainFormWithEveryPlainCodecAndASizeChange) {
  Generate("--form plain --channels 1,2,3 --codecs 0,1,2 --sizes 320x240,640x240 "
           "--duration 2 --fps 6 --key-interval 4 --layout mixed --extras");
  CheckScan();
  double worst = CheckExport({}, {1, 2, 3});
  RecordProperty("worst_psnr", std::to_string(worst));
}

// The extended form: every H.264 and MPEG-4 type and both other formats on
// channels up to 64, version-2 blocks, a gap, and a stretch that runs past
// midnight (time of day above 24 hours: hour 24 in the names).
TEST_F(EndToEnd, ExtendedFormWithEveryCodecTypeUpToChannel64PastMidnight) {
  Generate("--channels 3,9,17,31,32,33,34,40,47,50,55,60,63,64 "
           "--codecs 2,4,5,6,8,9,10,11,12,13,14,15,0,1 --sizes 128x96,96x64 "
           "--duration 3 --fps 4 --key-interval 3 --layout ext --block-interval 2 "
           "--start '2009-12-31 23:59:59' --gap 1.5,0.5 --extras");
  CheckScan();
  CheckExport({}, {3, 9, 17, 31, 32, 33, 34, 40, 47, 50, 55, 60, 63, 64});
  // The first stretch began before midnight: its frames after midnight are
  // dated 31 December at hour 24.
  bool past = false;
  for (const Frame& f : m.frames) past = past || (f.day == 31 && f.timeMs >= 86400000u);
  EXPECT_TRUE(past);
}

// Channel choice: only the chosen channels are exported; blocks of the
// 32-channel layouts do not list channels above 32.
TEST_F(EndToEnd, OnlyTheChosenChannelsAreExported) {
  Generate("--channels 2,5,36 --codecs 6,2,9 --sizes 160x120 --duration 2 --fps 5 "
           "--layout mixed --extras");
  CheckScan();
  CheckExport({5, 36}, {5, 36});
}

}  // namespace
