// The SAMI caption file that accompanies an AVI file with a caption stream:
// its name, its texts, caption times and the failure codes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "avi/avi_writer.h"
#include "avi/sami_writer.h"
#include "tests/avi/avi_test_files.h"

namespace {

const std::string kHeadStart = "<SAMI>\n<HEAD>\n<SAMIParam>\n";
const std::string kHeadEnd = "Metrics {time:ms;}\nSpec {MSFT:1.0;}\n</SAMIParam>\n";
const std::string kBody = "</HEAD>\n<BODY>\n";
const std::string kClosing = "</BODY>\n</SAMI>\n";

std::string Name(const std::string& aviPath) {
  char name[260];
  memset(name, 'Z', sizeof name);
  SamiFileName(aviPath.c_str(), name);
  return name;
}

TEST(SamiFileName, OnlyALowerCaseAviExtensionIsReplaced) {
  EXPECT_EQ(Name("C:\\out\\~3.avi"), "C:\\out\\~3.smi");
  EXPECT_EQ(Name("clip.AVI"), "clip.AVI.smi");
  EXPECT_EQ(Name("clip"), "clip.smi");
  EXPECT_EQ(Name("C:\\a.b\\clip"), "C:\\a.b\\clip.smi");
  EXPECT_EQ(Name("/tmp/a.b/clip"), "/tmp/a.b/clip.smi");
  EXPECT_EQ(Name("clip.avi.bak"), "clip.avi.bak.smi");
  EXPECT_EQ(Name("clip.avix"), "clip.avix.smi");
  EXPECT_EQ(Name(".avi"), ".smi");
}

TEST(SamiFileName, NamesThatDoNotFit260CharactersAreRefused) {
  EXPECT_EQ(Name(std::string(255, 'a') + ".avi"), std::string(255, 'a') + ".smi");
  EXPECT_EQ(Name(std::string(255, 'a')), std::string(255, 'a') + ".smi");
  EXPECT_EQ(Name(std::string(256, 'a')), "");
  EXPECT_EQ(Name(std::string(256, 'a') + ".avi"), "");
  FILE* file = nullptr;
  EXPECT_EQ(SamiOpen("", (std::string(300, 'a') + ".avi").c_str(), &file), -1);
  EXPECT_EQ(file, nullptr);
}

AviStreamSpec Video(int32_t rate) {
  AviStreamSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.kind = AVI_STREAM_VIDEO;
  spec.video.width = 64;
  spec.video.height = 48;
  spec.video.rate = rate;
  memcpy(spec.video.handler, "xvid", 4);
  return spec;
}

AviStreamSpec Caption(const char* language) {
  AviStreamSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.kind = AVI_STREAM_TEXT;
  spec.text.caption = 1;
  strncpy(spec.text.language, language, sizeof spec.text.language - 1);
  return spec;
}

// Splits at line feeds, keeping them.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

class SamiFile : public ::testing::Test {
 protected:
  ScratchDir scratch;
  std::string aviPath = scratch.Path("clip.avi");
  std::string samiPath = scratch.Path("clip.smi");
  AviWriter* writer = nullptr;

  void Open(const char* language) {
    AviStreamSpec streams[] = {Video(30), Caption(language)};
    ASSERT_EQ(AviWriterOpen(aviPath.c_str(), 2, streams, &writer), 0);
    ASSERT_NE(writer->captionFile, nullptr);
  }
  void Frames(int count) {
    for (int i = 0; i < count; i++) ASSERT_EQ(AviWriterWriteChunk(writer, 0, "vop", 3, i == 0), 0);
  }
  // The copyright line of the file's head, checked and returned.
  std::string CopyrightLine(const std::string& text) {
    std::vector<std::string> lines = Lines(text);
    if (lines.size() < 4) return "";
    std::string line = lines[3];
    EXPECT_EQ(line.rfind("Copyright {", 0), 0u) << line;
    EXPECT_GE(line.size(), 13u);
    EXPECT_EQ(line.substr(line.size() - 2), "}\n") << line;
    EXPECT_NE(line.find("zentrix"), std::string::npos) << line;
    return line;
  }
};

TEST_F(SamiFile, CaptionsWithoutLanguageAreTimedByVideoFrames) {
  Open("");
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, "zero", 5, 0), 0);  // before any frame
  Frames(1);
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, "one", 3, 1), 0);   // after one frame
  Frames(44);
  // The stream's rate may change before finishing; the captions keep the rate at open.
  ASSERT_EQ(AviWriterSetVideoFormat(writer, 0, 0, 0, 10), 0);
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, "forty-five", 10, 0), 0);
  EXPECT_EQ(writer->indexUsed, 45);
  EXPECT_EQ(writer->chunkCounts[1], 0);
  ASSERT_EQ(AviWriterFinish(writer), 0);

  std::string text = ReadText(samiPath);
  std::string expected = kHeadStart + CopyrightLine(text) + kHeadEnd + kBody +
                         " <SYNC Start=0>\nzero\n"
                         " <SYNC Start=33>\none\n"
                         " <SYNC Start=1500>\nforty-five\n" +
                         kClosing;
  EXPECT_EQ(text, expected);

  // The captions left no trace in the AVI file: only the 45 video chunks.
  FileBytes f = ReadBytes(aviPath);
  EXPECT_EQ(Le32(f, 48), 45u);
  EXPECT_EQ(Le32(f, 88 + 52), 45u);
  const size_t index = 88 + 124 + 84 + 12 + 45 * 12;
  EXPECT_EQ(Tag(f, index), "idx1");
  EXPECT_EQ(Le32(f, index + 4), 45u * 16);
}

TEST_F(SamiFile, ALanguageAddsTheStyleBlockAndTheClassPrefix) {
  Open("en");
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, "Hello", 5, 0), 0);
  Frames(2);
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, "two\nlines", 9, 0), 0);
  ASSERT_EQ(AviWriterFinish(writer), 0);

  std::string text = ReadText(samiPath);
  std::string expected = kHeadStart + CopyrightLine(text) + kHeadEnd +
                         "<STYLE TYPE=\"text/css\">\n<!--\n.LANGCC {lang: en;}\n-->\n</STYLE>\n" + kBody +
                         " <SYNC Start=0>\n <P Class=LANGCC> Hello\n"
                         " <SYNC Start=66>\n <P Class=LANGCC> two\nlines\n" +
                         kClosing;
  EXPECT_EQ(text, expected);
}

TEST_F(SamiFile, TheLastByteDecidesHowATextEnds) {
  Open("");
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, "abcd\0", 5, 0), 0);  // terminator counted
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, "ab\0cd", 5, 0), 0);  // counted: all five bytes
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, "ab\0d\0", 5, 0), 0); // cut at the first NUL
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, "\0", 1, 0), 0);      // empty caption
  ASSERT_EQ(AviWriterFinish(writer), 0);

  std::string text = ReadText(samiPath);
  size_t body = text.find(kBody);
  ASSERT_NE(body, std::string::npos);
  std::string captions = text.substr(body + kBody.size());
  static const char expected[] =
      " <SYNC Start=0>\nabcd\n"
      " <SYNC Start=0>\nab\0cd\n"
      " <SYNC Start=0>\nab\n"
      " <SYNC Start=0>\n\n";
  EXPECT_EQ(captions, std::string(expected, sizeof expected - 1) + kClosing);
}

TEST_F(SamiFile, ACaptionNeedsAtLeastOneByte) {
  Open("");
  EXPECT_EQ(AviWriterWriteChunk(writer, 1, "x", 0, 0), -5);
  EXPECT_EQ(AviWriterWriteChunk(writer, 1, nullptr, 3, 0), -5);
  ASSERT_EQ(AviWriterFinish(writer), 0);
  EXPECT_EQ(ReadText(samiPath).find("SYNC"), std::string::npos);
}

TEST_F(SamiFile, ACaptionFileThatCannotBeCreatedFailsTheOpen) {
  std::string missing = scratch.Path("missing/clip.avi");
  AviStreamSpec streams[] = {Video(30), Caption("en")};
  EXPECT_EQ(AviWriterOpen(missing.c_str(), 2, streams, &writer), -4);
  EXPECT_EQ(writer, nullptr);

  // A folder where the caption file should be: the AVI file is not created either.
  ASSERT_EQ(mkdir(samiPath.c_str(), 0755), 0);
  EXPECT_EQ(AviWriterOpen(aviPath.c_str(), 2, streams, &writer), -4);
  EXPECT_FALSE(FileExists(aviPath));
  FILE* file = nullptr;
  EXPECT_EQ(SamiOpen("en", aviPath.c_str(), &file), -1);
  EXPECT_EQ(file, nullptr);
}

TEST_F(SamiFile, ACaptionFileStaysWithItsHeadWhenTheAviFileCannotBeOpened) {
  ASSERT_EQ(mkdir(aviPath.c_str(), 0755), 0);
  AviStreamSpec streams[] = {Video(30), Caption("")};
  EXPECT_EQ(AviWriterOpen(aviPath.c_str(), 2, streams, &writer), -5);
  std::string text = ReadText(samiPath);
  EXPECT_EQ(text.size() - kBody.size(), text.rfind(kBody));
  EXPECT_EQ(text.rfind(kHeadStart, 0), 0u);
}

TEST_F(SamiFile, HeadWritesThatFailRemoveTheFile) {
  FILE* file = nullptr;
  ASSERT_EQ(SamiOpen("en", aviPath.c_str(), &file), 0);
  ASSERT_EQ(SamiWriteClosing(file), 0);
  fclose(file);
  std::string good = ReadText(samiPath);
  const size_t style = good.find("<STYLE");
  const size_t head = good.find(kBody);
  ASSERT_NE(style, std::string::npos);
  ASSERT_NE(head, std::string::npos);

  struct Case {
    uint64_t limit;
    const char* language;
    int code;
  } cases[] = {
      {10, "en", -2},
      {style, "en", -3},
      {head, "en", -4},
      {style, "", -4},  // no style block: the body text is next
  };
  for (const Case& c : cases) {
    remove(samiPath.c_str());
    file = nullptr;
    {
      FileSizeLimit limit(c.limit);
      EXPECT_EQ(SamiOpen(c.language, aviPath.c_str(), &file), c.code) << c.limit;
    }
    EXPECT_EQ(file, nullptr);
    EXPECT_FALSE(FileExists(samiPath)) << c.limit;
  }
}

// SamiWriteCaption on an unbuffered caption file, so that every write meets
// the size limit at once.
class SamiCaptionFailures : public ::testing::Test {
 protected:
  ScratchDir scratch;
  std::string path = scratch.Path("caption.smi");
  AviWriter writer;
  AviStreamSpec stream;

  void SetUp() override {
    memset(&writer, 0, sizeof writer);
    writer.rate = 30;
    writer.videoFrames = 0;
    stream = Caption("en");
  }
  void Reopen() {
    if (writer.captionFile) fclose(writer.captionFile);
    writer.captionFile = fopen(path.c_str(), "w");
    ASSERT_NE(writer.captionFile, nullptr);
    setvbuf(writer.captionFile, nullptr, _IONBF, 0);
  }
  void TearDown() override {
    if (writer.captionFile) fclose(writer.captionFile);
  }
};

TEST_F(SamiCaptionFailures, EachStepHasItsCode) {
  const uint64_t sync = strlen(" <SYNC Start=0>\n");
  const uint64_t prefix = strlen(" <P Class=LANGCC> ");
  struct Case {
    uint64_t limit;
    const char* text;
    int32_t size;
    int code;
  } cases[] = {
      {0, "text", 4, -1},
      {sync, "text", 4, -2},
      {sync + prefix + 2, "text\0", 5, -4},
      {sync + prefix + 2, "text", 4, -5},
      {sync + prefix + 4, "text", 4, -6},
      {sync + prefix + 4, "text\0", 5, -6},
      {sync + prefix + 5, "text", 4, 0},
  };
  for (const Case& c : cases) {
    Reopen();
    FileSizeLimit limit(c.limit);
    EXPECT_EQ(SamiWriteCaption(&writer, &stream, c.text, c.size), c.code) << c.limit << " " << c.size;
  }
}

TEST_F(SamiCaptionFailures, AFailedCaptionLeavesTheFileOpenForTheNext) {
  Reopen();
  {
    FileSizeLimit limit(3);
    EXPECT_EQ(SamiWriteCaption(&writer, &stream, "lost", 4), -1);
  }
  writer.videoFrames = 45;
  EXPECT_EQ(SamiWriteCaption(&writer, &stream, "kept", 4), 0);
  fclose(writer.captionFile);
  writer.captionFile = nullptr;
  std::string text = ReadText(path);
  EXPECT_NE(text.find(" <SYNC Start=1500>\n <P Class=LANGCC> kept\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("lost"), std::string::npos);
}

TEST_F(SamiCaptionFailures, AZeroRateTimesEveryCaptionAtZero) {
  Reopen();
  writer.rate = 0;
  writer.videoFrames = 100;
  EXPECT_EQ(SamiWriteCaption(&writer, &stream, "x", 1), 0);
  fclose(writer.captionFile);
  writer.captionFile = nullptr;
  EXPECT_EQ(ReadText(path), " <SYNC Start=0>\n <P Class=LANGCC> x\n");
}

TEST_F(SamiFile, ClosingTextThatCannotBeWrittenFailsTheFinishWithMinus4) {
  Open("");
  std::string caption(3000, 'c');
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, caption.data(), 3000, 0), 0);
  FileSizeLimit limit(1000);  // room for the 232-byte AVI file, not for the captions
  EXPECT_EQ(AviWriterFinish(writer), -4);
  FileBytes f = ReadBytes(aviPath);
  ASSERT_EQ(f.size(), 232u + 84);
  EXPECT_EQ(Le32(f, 4), f.size() - 8);  // the AVI file itself is complete
  EXPECT_EQ(ReadText(samiPath).find(kClosing), std::string::npos);
  EXPECT_EQ(SamiWriteClosing(nullptr), -1);
}

TEST_F(SamiFile, AFailedFinishLeavesTheCaptionFileWithoutItsClosingText) {
  Open("");
  ASSERT_EQ(AviWriterWriteChunk(writer, 1, "x", 1, 0), 0);
  Frames(1);
  int64_t aviLength = FileLength(aviPath);
  FileSizeLimit limit(static_cast<uint64_t>(aviLength));
  EXPECT_EQ(AviWriterFinish(writer), -3);
  std::string text = ReadText(samiPath);
  const std::string last = " <SYNC Start=0>\nx\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

}  // namespace
