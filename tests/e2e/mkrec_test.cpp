// zentrix-mkrec as its users rely on it: a reader that skips records by the
// latest header block's skip length stays in step, every header-block layout
// is written, the same seed gives the same file, and bad options or a failed
// write end with an error instead of a quietly broken file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "recording/header_block.h"
#include "recording/record_stream.h"

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

const std::string MKREC = std::string(ZENTRIX_BIN_DIR) + "/zentrix-mkrec";

int Mkrec(const std::string& arguments, std::string* output) {
  output->clear();
  FILE* pipe = popen((MKREC + " " + arguments + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class MkrecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = MakeTempFolder("zentrix-mkrec-");
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(MkrecTest, RecordsAfterEveryHeaderBlockHaveItsSkipLength) {
  for (const char* form : {"plain", "extended"}) {
    SCOPED_TRACE(form);
    const std::string path = (dir / "a.rec").string();
    std::string out;
    ASSERT_EQ(Mkrec(std::string("--form ") + form +
                        " --channels 1,2,30 --codecs 0,1,2 --sizes 320x240,640x480 "
                        "--duration 4 --fps 5 --extras --layout mixed " + path,
                    &out),
              0)
        << out;
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    HeaderInfo info = {};
    bool seen = false;
    int shortBlocks = 0, cutBlocks = 0, longBlocks = 0, extendedBlocks = 0, frames = 0;
    int otherKinds = 0, empty = 0;
    RecordHeader header;
    while (ReadRecordHeader(f, &header)) {
      const uint32_t length = RecordPayloadLength(&header);
      const unsigned kind = RecordKind(&header);
      if (length == 0) {
        empty++;
        continue;
      }
      if (kind == RECORD_HEADER_BLOCK) {
        ASSERT_EQ(ReadHeaderBlock(f, &header, &info), 0);
        seen = true;
        if (length == 168) shortBlocks++;
        if (length < 168) cutBlocks++;
        if (length > 168 && info.version == 1) longBlocks++;
        if (length > 168 && info.version == 2) extendedBlocks++;
        continue;
      }
      ASSERT_TRUE(seen) << "a record before the first header block";
      ASSERT_EQ(length, info.skipLength);
      if (kind <= RECORD_FRAME) frames++;
      else otherKinds++;
      ASSERT_EQ(SkipRecordPayload(f, length), 0);
    }
    EXPECT_EQ(ftell(f), (long)fs::file_size(path));
    fclose(f);
    EXPECT_EQ(frames, 3 * 20);
    EXPECT_GT(otherKinds, 0);
    EXPECT_GT(empty, 0);
    EXPECT_EQ(shortBlocks, 1);
    EXPECT_EQ(longBlocks, 1);
    EXPECT_EQ(extendedBlocks, 1);
    EXPECT_EQ(cutBlocks, 1);
  }
}

TEST_F(MkrecTest, TheSameSeedGivesTheSameRecording) {
  std::string out;
  const std::string options = "--channels 1,2 --codecs 6,2 --sizes 160x120 --duration 1 ";
  ASSERT_EQ(Mkrec(options + "--seed 5 " + (dir / "a.rec").string(), &out), 0) << out;
  ASSERT_EQ(Mkrec(options + "--seed 5 " + (dir / "b.rec").string(), &out), 0) << out;
  ASSERT_EQ(Mkrec(options + "--seed 6 " + (dir / "c.rec").string(), &out), 0) << out;
  const std::string a = Slurp(dir / "a.rec");
  EXPECT_FALSE(a.empty());
  EXPECT_EQ(a, Slurp(dir / "b.rec"));
  EXPECT_NE(a, Slurp(dir / "c.rec"));
}

TEST_F(MkrecTest, RefusesWhatTheRecordFormCannotCarry) {
  const std::string path = (dir / "bad.rec").string();
  const char* refused[] = {
      "--form plain --codecs 6",        // H.264 needs the extended form
      "--form plain --channels 33",     // the plain form has 32 channels
      "--form plain --sizes 160x120",   // and three picture sizes
      "--sizes 321x240",                // odd sizes have no 4:2:0 layout
      "--codecs 3",                     // no format behind type 3
      "--channels 65",
      "--duration 0",
      "--fps",
      "--colour red",
  };
  for (const char* options : refused) {
    std::string out;
    EXPECT_EQ(Mkrec(std::string(options) + " " + path, &out), 2) << options;
    EXPECT_NE(out.find("zentrix-mkrec: "), std::string::npos) << options;
    EXPECT_FALSE(fs::exists(path)) << options;
  }
  std::string out;
  EXPECT_EQ(Mkrec("--duration 1", &out), 2);
  EXPECT_NE(out.find("no output file"), std::string::npos);
}

TEST_F(MkrecTest, AFailedWriteIsAnError) {
  std::string out;
  EXPECT_EQ(Mkrec("--duration 1 " + (dir / "missing" / "a.rec").string(), &out), 2);
  EXPECT_NE(out.find("cannot create"), std::string::npos) << out;
  if (fs::exists("/dev/full")) {
    EXPECT_EQ(Mkrec("--duration 1 /dev/full", &out), 1);
    EXPECT_NE(out.find("writing /dev/full failed"), std::string::npos) << out;
  }
  // A gap over the whole recording leaves nothing to write.
  EXPECT_EQ(Mkrec("--duration 1 --gap 0,5 " + (dir / "empty.rec").string(), &out), 1);
  EXPECT_NE(out.find("no frames"), std::string::npos) << out;
}

}  // namespace
