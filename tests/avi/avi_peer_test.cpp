// A real reader opens what we write: ffprobe must accept the files and find
// the streams, the "xvid" tag, the picture size, every frame and the audio
// parameters. The MPEG-4 frames come from the ffmpeg program at test time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "avi/avi_writer.h"
#include "tests/avi/avi_test_files.h"

namespace {

bool Usable(const char* program) {
  return program[0] && !strstr(program, "NOTFOUND") && access(program, X_OK) == 0;
}

std::string Shell(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return *status = -1, output;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  *status = pclose(pipe);
  return output;
}

struct Frame {
  std::vector<uint8_t> bytes;
  int key;
};

class AviPeer : public ::testing::Test {
 protected:
  // Five MPEG-4 frames from ffmpeg, split at VOP start codes.
  static void SetUpTestSuite() {
    if (!Usable(FFMPEG_PATH) || !Usable(FFPROBE_PATH)) return;
    ScratchDir dir;
    std::string m4v = dir.Path("frames.m4v");
    int status = 0;
    Shell(std::string("'") + FFMPEG_PATH + "' -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=10 " +
            "-frames:v 5 -g 3 -c:v mpeg4 -f m4v '" + m4v + "' 2>&1", &status);
    FileBytes stream = ReadBytes(m4v);
    std::vector<size_t> vops;
    for (size_t i = 0; status == 0 && i + 4 < stream.size(); i++)
      if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1 && stream[i + 3] == 0xB6) vops.push_back(i);
    for (size_t k = 0; k < vops.size(); k++) {
      // The first frame carries the stream headers in front of its VOP.
      auto begin = stream.begin() + static_cast<long>(k == 0 ? 0 : vops[k]);
      auto end = k + 1 < vops.size() ? stream.begin() + static_cast<long>(vops[k + 1]) : stream.end();
      frames.push_back({FileBytes(begin, end), (stream[vops[k] + 4] >> 6) == 0});  // I-VOP
    }
  }

  void SetUp() override {
    if (!Usable(FFMPEG_PATH) || !Usable(FFPROBE_PATH)) GTEST_SKIP() << "ffmpeg or ffprobe missing";
    ASSERT_EQ(frames.size(), 5u) << "ffmpeg made no MPEG-4 frames";
  }

  // ffprobe's findings as key=value pairs ("streams.stream.0.width" -> "64"),
  // checked against the expected ones.
  void ExpectProbe(const std::map<std::string, std::string>& expected) {
    int status = 0;
    std::string out = Shell(std::string("'") + FFPROBE_PATH +
                              "' -v error -of flat -show_streams -show_format -count_frames '" + path + "' 2>&1",
                          &status);
    ASSERT_EQ(status, 0) << out;
    std::map<std::string, std::string> found;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      size_t equals = line.find('=');
      if (equals == std::string::npos) continue;
      std::string value = line.substr(equals + 1);
      if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
      found[line.substr(0, equals)] = value;
    }
    for (const auto& e : expected) EXPECT_EQ(found[e.first], e.second) << e.first << "\n" << out;
  }

  ScratchDir scratch;
  std::string path = scratch.Path("clip.avi");
  static std::vector<Frame> frames;
};

std::vector<Frame> AviPeer::frames;

TEST_F(AviPeer, FilesAreReadWithEveryFrameAndTheAudioParameters) {
  for (size_t count : {5, 0}) {
    const bool audio = count > 0;
    SCOPED_TRACE(count);
    AviHandle* handle = AviCreate(path.c_str(), 10.0f, "xvid", 64, 48, audio, 0, 1, 2, 8000, 16);  // PCM
    ASSERT_NE(handle, nullptr);
    std::vector<uint8_t> samples(8000 / 10 * 4, 0);  // a tenth of a second of silence
    for (size_t i = 0; i < count; i++) {
      const Frame& frame = frames[i];
      ASSERT_EQ(AviWriteFrame(handle, frame.bytes.data(), static_cast<int32_t>(frame.bytes.size()), frame.key), 0);
      ASSERT_EQ(AviWriterWriteChunk(handle->writer, 1, samples.data(), static_cast<int32_t>(samples.size()), 1), 0);
    }
    ASSERT_EQ(AviClose(handle, 64, 48, 10.0f), 0);
    // ffprobe counts no frames of an empty stream ("N/A"), but its duration is 0.
    const std::string v = "streams.stream.0.", a = "streams.stream.1.", n = std::to_string(count);
    std::map<std::string, std::string> expected = {
        {"format.format_name", "avi"}, {"format.nb_streams", audio ? "2" : "1"}, {v + "codec_type", "video"},
        {v + "codec_name", "mpeg4"}, {v + "codec_tag_string", "xvid"}, {v + "width", "64"}, {v + "height", "48"},
        {v + "r_frame_rate", "10/1"}, {v + "duration_ts", n}, {v + "nb_read_frames", audio ? n : "N/A"}};
    if (audio) {
      expected.insert({{a + "codec_type", "audio"}, {a + "codec_name", "pcm_s16le"}, {a + "sample_rate", "8000"},
                       {a + "channels", "2"}, {a + "bits_per_sample", "16"}, {a + "bit_rate", "256000"}});
    }
    ExpectProbe(expected);
  }
}

}  // namespace
