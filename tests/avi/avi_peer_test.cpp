// A real reader opens what we write: ffprobe must accept the files and find
// the streams, the "xvid" tag, the picture size, every frame and the audio
// parameters. The MPEG-4 frames come from the ffmpeg program at test time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "avi/avi_writer.h"
#include "tests/avi/avi_test_files.h"

namespace {

bool Usable(const char* program) {
  return program[0] && !strstr(program, "NOTFOUND") && access(program, X_OK) == 0;
}

std::string RunCommand(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    *status = -1;
    return output;
  }
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  *status = pclose(pipe);
  return output;
}

// --- A tiny JSON field reader: enough for ffprobe's output. ---

// Index just past the JSON value starting at i (string, object, array or literal).
size_t SkipValue(const std::string& s, size_t i) {
  if (i >= s.size()) return s.size();
  if (s[i] == '"') {
    for (i++; i < s.size(); i++) {
      if (s[i] == '\\') i++;
      else if (s[i] == '"') return i + 1;
    }
    return s.size();
  }
  if (s[i] == '{' || s[i] == '[') {
    int depth = 0;
    for (; i < s.size(); i++) {
      if (s[i] == '"') {
        i = SkipValue(s, i) - 1;
      } else if (s[i] == '{' || s[i] == '[') {
        depth++;
      } else if (s[i] == '}' || s[i] == ']') {
        if (--depth == 0) return i + 1;
      }
    }
    return s.size();
  }
  while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && !isspace(static_cast<unsigned char>(s[i])))
    i++;
  return i;
}

size_t SkipSpace(const std::string& s, size_t i) {
  while (i < s.size() && isspace(static_cast<unsigned char>(s[i]))) i++;
  return i;
}

// The raw value of member `key` of the object `object` (strings without quotes),
// or "<missing>".
std::string Member(const std::string& object, const std::string& key) {
  size_t i = SkipSpace(object, 0);
  if (i >= object.size() || object[i] != '{') return "<missing>";
  i++;
  while (true) {
    i = SkipSpace(object, i);
    if (i >= object.size() || object[i] != '"') return "<missing>";
    size_t keyEnd = SkipValue(object, i);
    std::string name = object.substr(i + 1, keyEnd - i - 2);
    i = SkipSpace(object, keyEnd);
    if (i >= object.size() || object[i] != ':') return "<missing>";
    i = SkipSpace(object, i + 1);
    size_t valueEnd = SkipValue(object, i);
    if (name == key) {
      if (object[i] == '"') return object.substr(i + 1, valueEnd - i - 2);
      return object.substr(i, valueEnd - i);
    }
    i = SkipSpace(object, valueEnd);
    if (i < object.size() && object[i] == ',') i++;
  }
}

std::vector<std::string> Elements(const std::string& array) {
  std::vector<std::string> items;
  size_t i = SkipSpace(array, 0);
  if (i >= array.size() || array[i] != '[') return items;
  i = SkipSpace(array, i + 1);
  while (i < array.size() && array[i] != ']') {
    size_t end = SkipValue(array, i);
    items.push_back(array.substr(i, end - i));
    i = SkipSpace(array, end);
    if (i < array.size() && array[i] == ',') i = SkipSpace(array, i + 1);
  }
  return items;
}

TEST(AviPeerJson, MemberReaderFindsTopLevelFieldsOnly) {
  std::string json = R"({"a": {"b": 1, "c": "x\"y"}, "b": [1, {"d": 2}], "c": "q", "n": 42})";
  EXPECT_EQ(Member(json, "n"), "42");
  EXPECT_EQ(Member(json, "c"), "q");
  EXPECT_EQ(Member(Member(json, "a"), "c"), "x\\\"y");
  EXPECT_EQ(Elements(Member(json, "b")).size(), 2u);
  EXPECT_EQ(Member(json, "d"), "<missing>");
}

// --- MPEG-4 frames made by ffmpeg, split at VOP start codes. ---

struct Frame {
  std::vector<uint8_t> bytes;
  bool key;
};

class AviPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suiteScratch = new ScratchDir();
    frames = new std::vector<Frame>();
    if (!Usable(FFMPEG_PATH) || !Usable(FFPROBE_PATH)) return;
    std::string m4v = suiteScratch->Path("frames.m4v");
    int status = 0;
    RunCommand(std::string("'") + FFMPEG_PATH +
            "' -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=10 -frames:v 5 -g 3 -c:v mpeg4 -f m4v '" +
            m4v + "' 2>&1",
        &status);
    if (status != 0) return;
    FileBytes stream = ReadBytes(m4v);
    std::vector<size_t> vops;
    for (size_t i = 0; i + 4 < stream.size(); i++)
      if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1 && stream[i + 3] == 0xB6) vops.push_back(i);
    for (size_t k = 0; k < vops.size(); k++) {
      // The first frame carries the stream headers in front of its VOP.
      size_t begin = k == 0 ? 0 : vops[k];
      size_t end = k + 1 < vops.size() ? vops[k + 1] : stream.size();
      Frame frame;
      frame.bytes.assign(stream.begin() + static_cast<long>(begin), stream.begin() + static_cast<long>(end));
      frame.key = (stream[vops[k] + 4] >> 6) == 0;  // vop_coding_type I
      frames->push_back(frame);
    }
  }

  static void TearDownTestSuite() {
    delete suiteScratch;
    delete frames;
    suiteScratch = nullptr;
    frames = nullptr;
  }

  void SetUp() override {
    if (!Usable(FFMPEG_PATH) || !Usable(FFPROBE_PATH)) GTEST_SKIP() << "ffmpeg or ffprobe missing";
    ASSERT_EQ(frames->size(), 5u) << "ffmpeg made no MPEG-4 frames";
  }

  // ffprobe's JSON for the file; fails the test when ffprobe refuses it.
  std::string Probe(const std::string& file) {
    int status = 0;
    std::string json = RunCommand(std::string("'") + FFPROBE_PATH +
                               "' -v error -of json -show_streams -show_format -count_frames '" + file + "'",
                           &status);
    EXPECT_EQ(status, 0) << json;
    return json;
  }

  ScratchDir scratch;
  std::string path = scratch.Path("clip.avi");
  static ScratchDir* suiteScratch;
  static std::vector<Frame>* frames;
};

ScratchDir* AviPeer::suiteScratch = nullptr;
std::vector<Frame>* AviPeer::frames = nullptr;

void ExpectXvidStream(const std::string& stream, int frameCount) {
  EXPECT_EQ(Member(stream, "codec_type"), "video");
  EXPECT_EQ(Member(stream, "codec_name"), "mpeg4");
  EXPECT_EQ(Member(stream, "codec_tag_string"), "xvid");
  EXPECT_EQ(Member(stream, "width"), "64");
  EXPECT_EQ(Member(stream, "height"), "48");
  EXPECT_EQ(Member(stream, "r_frame_rate"), "10/1");
  EXPECT_EQ(Member(stream, "nb_read_frames"), std::to_string(frameCount));
}

TEST_F(AviPeer, VideoFileIsReadWithEveryFrame) {
  AviHandle* handle = AviCreateVideo(path.c_str(), 10.0f, "xvid", 64, 48);
  ASSERT_NE(handle, nullptr);
  for (const Frame& frame : *frames)
    ASSERT_EQ(AviWriteFrame(handle, frame.bytes.data(), static_cast<int32_t>(frame.bytes.size()), frame.key), 0);
  ASSERT_EQ(AviClose(handle, 64, 48, 10.0f), 0);

  std::string json = Probe(path);
  std::string format = Member(json, "format");
  EXPECT_EQ(Member(format, "format_name"), "avi");
  EXPECT_EQ(Member(format, "nb_streams"), "1");
  std::vector<std::string> streams = Elements(Member(json, "streams"));
  ASSERT_EQ(streams.size(), 1u) << json;
  ExpectXvidStream(streams[0], 5);
  EXPECT_EQ(Member(streams[0], "nb_frames"), "5");
}

TEST_F(AviPeer, VideoWithAudioAndNamesIsRead) {
  AviStreamSpec streams[2];
  memset(streams, 0, sizeof streams);
  streams[0].kind = AVI_STREAM_VIDEO;
  streams[0].name = "camera";
  streams[0].video.width = 64;
  streams[0].video.height = 48;
  streams[0].video.rate = 10;
  memcpy(streams[0].video.handler, "xvid", 4);
  streams[1].kind = AVI_STREAM_AUDIO;
  streams[1].name = "mic";
  streams[1].audio.formatTag = 1;  // PCM
  streams[1].audio.channels = 2;
  streams[1].audio.samplesPerSecond = 8000;
  streams[1].audio.bitsPerSample = 16;
  AviWriter* writer = nullptr;
  ASSERT_EQ(AviWriterOpen(path.c_str(), 2, streams, &writer), 0);
  std::vector<uint8_t> samples(8000 / 10 * 4, 0);  // a tenth of a second of silence
  for (const Frame& frame : *frames) {
    ASSERT_EQ(AviWriterWriteChunk(writer, 0, frame.bytes.data(), static_cast<int32_t>(frame.bytes.size()),
                                  frame.key),
              0);
    ASSERT_EQ(AviWriterWriteChunk(writer, 1, samples.data(), static_cast<int32_t>(samples.size()), 1), 0);
  }
  ASSERT_EQ(AviWriterFinish(writer), 0);

  std::string json = Probe(path);
  std::vector<std::string> found = Elements(Member(json, "streams"));
  ASSERT_EQ(found.size(), 2u) << json;
  ExpectXvidStream(found[0], 5);
  EXPECT_EQ(Member(Member(found[0], "tags"), "title"), "camera");
  EXPECT_EQ(Member(found[1], "codec_type"), "audio");
  EXPECT_EQ(Member(found[1], "codec_name"), "pcm_s16le");
  EXPECT_EQ(Member(found[1], "sample_rate"), "8000");
  EXPECT_EQ(Member(found[1], "channels"), "2");
  EXPECT_EQ(Member(found[1], "bits_per_sample"), "16");
  EXPECT_EQ(Member(found[1], "bit_rate"), "256000");
  EXPECT_EQ(Member(Member(found[1], "tags"), "title"), "mic");
}

TEST_F(AviPeer, EmptyFileIsAValidAvi) {
  AviHandle* handle = AviCreateVideo(path.c_str(), 10.0f, "xvid", 64, 48);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(AviClose(handle, 0, 0, 0.0f), 0);
  std::string json = Probe(path);
  EXPECT_EQ(Member(Member(json, "format"), "format_name"), "avi");
  std::vector<std::string> streams = Elements(Member(json, "streams"));
  ASSERT_EQ(streams.size(), 1u) << json;
  EXPECT_EQ(Member(streams[0], "codec_tag_string"), "xvid");
  EXPECT_EQ(Member(streams[0], "width"), "64");
  EXPECT_EQ(Member(streams[0], "duration_ts"), "0");
}

}  // namespace
