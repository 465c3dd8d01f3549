// A real reader opens what we write: ffprobe must accept the files and find
// the streams, the "xvid" tag, the picture size, every frame and the audio
// parameters. The MPEG-4 frames come from the ffmpeg program at test time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/avi/avi_test_files.h"

namespace {

bool Usable(const char* program) {
  return program[0] && !strstr(program, "NOTFOUND") && access(program, X_OK) == 0;
}

// The command's standard output; status 0 when it succeeded.
std::string Shell(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return *status = -1, output;
  for (int c; (c = fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  *status = pclose(pipe);
  return output;
}

TEST(AviPeer, FilesAreReadWithEveryFrameAndTheAudioParameters) {
  if (!Usable(FFMPEG_PATH) || !Usable(FFPROBE_PATH)) GTEST_SKIP() << "ffmpeg or ffprobe missing";
  // Five MPEG-4 frames, split at VOP start codes; the first carries the stream headers.
  ScratchDir scratch;
  const std::string m4v = scratch.Path("frames.m4v"), path = scratch.Path("clip.avi");
  int status = 0;
  Shell(std::string("'") + FFMPEG_PATH + "' -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=10 " +
            "-frames:v 5 -g 3 -c:v mpeg4 -f m4v '" + m4v + "' 2>&1", &status);
  const FileBytes stream = ReadBytes(m4v);
  std::vector<size_t> vops;
  for (size_t i = 0; status == 0 && i + 4 < stream.size(); i++)
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1 && stream[i + 3] == 0xB6) vops.push_back(i);
  ASSERT_EQ(vops.size(), 5u) << "ffmpeg made no MPEG-4 frames";
  const size_t firstVop = vops[0];
  vops[0] = 0;
  vops.push_back(stream.size());

  for (size_t count : {5, 0}) {
    const bool audio = count > 0;
    SCOPED_TRACE(count);
    AviHandle* handle = AviCreate(path.c_str(), 10.0f, "xvid", 64, 48, audio, 0, 1, 2, 8000, 16);  // PCM
    ASSERT_NE(handle, nullptr);
    std::vector<uint8_t> samples(8000 / 10 * 4, 0);  // a tenth of a second of silence
    for (size_t i = 0; i < count; i++) {
      const int key = (stream[(i ? vops[i] : firstVop) + 4] >> 6) == 0;  // I-VOP
      ASSERT_EQ(AviWriteFrame(handle, &stream[vops[i]], static_cast<int32_t>(vops[i + 1] - vops[i]), key), 0);
      ASSERT_EQ(AviWriterWriteChunk(handle->writer, 1, samples.data(), static_cast<int32_t>(samples.size()), 1), 0);
    }
    ASSERT_EQ(AviClose(handle, 64, 48, 10.0f), 0);

    // ffprobe's findings as lines of key=value ("streams.stream.0.width=64"), quotes removed.
    std::string out = "\n" + Shell(std::string("'") + FFPROBE_PATH +
                                      "' -v error -of flat -show_streams -show_format -count_frames '" + path + "' 2>&1",
                                  &status);
    ASSERT_EQ(status, 0) << out;
    out.erase(std::remove(out.begin(), out.end(), '"'), out.end());
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
    for (const auto& e : expected)
      EXPECT_NE(out.find("\n" + e.first + "=" + e.second + "\n"), std::string::npos) << e.first << out;
  }
}

}  // namespace
