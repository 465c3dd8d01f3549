// The SAMI caption file that accompanies an AVI file with a caption stream:
// its name, its texts, caption times and the failure codes.
#include <sys/stat.h>

#include <cstring>

#include "avi/sami_writer.h"
#include "tests/avi/avi_test_files.h"

namespace {

const std::string kHead = "<SAMI>\n<HEAD>\n<SAMIParam>\n", kBody = "</HEAD>\n<BODY>\n", kClosing = "</BODY>\n</SAMI>\n";

TEST(SamiFileName, OnlyALowerCaseAviExtensionIsReplacedAndLongNamesAreRefused) {
  const std::string a255(255, 'a'), a256(256, 'a');
  const std::pair<std::string, std::string> rows[] = {
      {"C:\\out\\~3.avi", "C:\\out\\~3.smi"}, {"clip.AVI", "clip.AVI.smi"}, {"C:\\a.b\\clip", "C:\\a.b\\clip.smi"},
      {"clip.avi.bak", "clip.avi.bak.smi"},   {a255 + ".avi", a255 + ".smi"}, {a255, a255 + ".smi"},
      {a256, ""},                             {a256 + ".avi", ""}};
  for (const auto& r : rows) {
    char name[260];
    memset(name, 'Z', sizeof name);
    SamiFileName(r.first.c_str(), name);
    EXPECT_EQ(std::string(name), r.second) << r.first;
  }
}

struct SamiFile : AviFileTest {
  std::string samiPath = scratch.Path("clip.smi");
  int Open(const char* language, const std::string& at) {
    AviStreamSpec streams[] = {VideoSpec(64, 48, 30), CaptionSpec(language)};
    return AviWriterOpen(at.c_str(), 2, streams, &writer);
  }
  void Open(const char* language) { ASSERT_EQ(Open(language, path), 0); }
  void Frames(int count) {
    for (int i = 0; i < count; i++) ASSERT_EQ(AviWriterWriteChunk(writer, 0, "vop", 3, i == 0), 0);
  }
  void Caption(const char* text, int32_t size) { ASSERT_EQ(AviWriterWriteChunk(writer, 1, text, size, 0), 0); }
};

// Captions are timed by the video frames before them, with the rate at open;
// a text ends at its size, or at its first NUL when its last byte is one.
TEST_F(SamiFile, CaptionsAreTimedByVideoFramesAndEndAtTheirSizeOrNul) {
  for (const char* language : {"", "en"}) {
    Open(language);
    Caption("zero", 5);  // before any frame
    Frames(1);
    Caption("one", 3);
    Frames(44);
    ASSERT_EQ(AviWriterSetVideoFormat(writer, 0, 0, 0, 10), 0);
    Caption("forty\nfive", 10), Caption("ab\0cd", 5), Caption("ab\0d\0", 5), Caption("\0", 1);
    EXPECT_EQ(AviWriterWriteChunk(writer, 1, "x", 0, 0) + AviWriterWriteChunk(writer, 1, nullptr, 3, 0), -10);
    ASSERT_EQ(AviWriterFinish(writer), 0);
    const std::string text = ReadText(samiPath), p = *language ? " <P Class=LANGCC> " : "";
    const std::string style = *language ? "<STYLE TYPE=\"text/css\">\n<!--\n.LANGCC {lang: en;}\n-->\n</STYLE>\n" : "";
    // The copyright line is our own: it names the program.
    const std::string copyright = text.substr(kHead.size(), text.find('\n', kHead.size()) + 1 - kHead.size());
    EXPECT_TRUE(copyright.rfind("Copyright {", 0) == 0 && copyright.find("zentrix") != std::string::npos &&
                copyright.rfind("}\n") == copyright.size() - 2) << copyright;
    const std::string at1500 = " <SYNC Start=1500>\n" + p;
    EXPECT_EQ(text, kHead + copyright + "Metrics {time:ms;}\nSpec {MSFT:1.0;}\n</SAMIParam>\n" + style + kBody +
                        " <SYNC Start=0>\n" + p + "zero\n <SYNC Start=33>\n" + p + "one\n" + at1500 + "forty\nfive\n" +
                        at1500 + std::string("ab\0cd\n", 6) + at1500 + "ab\n" + at1500 + "\n" + kClosing) << language;
    // The captions left no trace in the AVI file: only the 45 video chunks.
    const size_t index = 88 + 124 + 84 + 12 + 45 * 12;
    ExpectAt(ReadFileBytes(path.c_str()), {{48, 45}, {88 + 52, 45}, {index, "idx1"}, {index + 4, 45 * 16}});
  }
}

TEST_F(SamiFile, FilesThatCannotBeCreatedFailTheOpen) {
  FILE* file = nullptr;
  EXPECT_EQ(SamiOpen("", (std::string(300, 'a') + ".avi").c_str(), &file), -1);
  EXPECT_EQ(Open("en", scratch.Path("missing/clip.avi")), -4);
  EXPECT_EQ(writer, nullptr);
  // A folder where the caption file should be: the AVI file is not created either.
  ASSERT_EQ(mkdir(samiPath.c_str(), 0755), 0);
  EXPECT_EQ(Open("en", path), -4);
  EXPECT_EQ(FileLength(path), -1);
  // A folder where the AVI file should be: the caption file stays with its head.
  ASSERT_EQ(rmdir(samiPath.c_str()) + mkdir(path.c_str(), 0755), 0);
  EXPECT_EQ(Open("", path), -5);
  const std::string text = ReadText(samiPath);
  EXPECT_TRUE(text.rfind(kHead, 0) == 0 && text.size() - kBody.size() == text.rfind(kBody)) << text;
}

// Each part of the head that cannot be written has its code, and the file goes.
TEST_F(SamiFile, HeadWritesThatFailRemoveTheFile) {
  FILE* file = nullptr;
  ASSERT_EQ(SamiOpen("en", path.c_str(), &file), 0);
  fclose(file);
  const std::string good = ReadText(samiPath);
  const size_t style = good.find("<STYLE"), body = good.find(kBody);
  ASSERT_TRUE(style < body && body != std::string::npos);
  struct Row { uint64_t limit; const char* language; int code; } rows[] = {
      {10, "en", -2}, {style, "en", -3}, {body, "en", -4}, {style, "", -4}};  // "": no style block
  for (const Row& r : rows) {
    remove(samiPath.c_str());
    file = nullptr;
    FileSizeLimit limit(r.limit);
    EXPECT_EQ(SamiOpen(r.language, path.c_str(), &file), r.code) << r.limit;
    EXPECT_TRUE(file == nullptr && FileLength(samiPath) == -1) << r.limit;
  }
}

TEST_F(SamiFile, FinishFailuresLeaveTheCaptionFileWithoutItsClosingText) {
  // No room for the closing text: the AVI file itself is complete.
  Open("");
  Caption(std::string(3000, 'c').c_str(), 3000);
  {
    FileSizeLimit limit(1000);
    EXPECT_EQ(AviWriterFinish(writer), -4);
  }
  ExpectAt(ReadFileBytes(path.c_str()), {{4, 232 + 84 - 8}, {232 + 84 - 8, "idx1"}});
  EXPECT_EQ(ReadText(samiPath).find(kClosing), std::string::npos);
  EXPECT_EQ(SamiWriteClosing(nullptr), -1);
  // No room for the AVI file's index: the captions stop at the last one.
  Open("");
  Caption("x", 1);
  Frames(1);
  {
    FileSizeLimit limit((uint64_t)FileLength(path));
    EXPECT_EQ(AviWriterFinish(writer), -3);
  }
  std::string text = ReadText(samiPath);
  EXPECT_EQ(text.substr(text.size() - 18), " <SYNC Start=0>\nx\n");
  // A failed caption write drops the caption the stream still held, which
  // was reported written: the finish fails and the file stays unclosed.
  Open("");
  Caption("held", 4);
  {
    FileSizeLimit full((uint64_t)FileLength(samiPath));
    EXPECT_EQ(AviWriterWriteChunk(writer, 1, std::string(5000, 'c').c_str(), 5000, 0), -5);
  }
  EXPECT_EQ(AviWriterFinish(writer), -4);
  EXPECT_EQ(ReadText(samiPath).find(kClosing), std::string::npos);
}

// Each step of a caption that fails has its code; the file takes the next
// captions, timed by frames and rate, held at the largest int, 0 without a rate.
TEST(SamiCaption, EachFailingStepHasItsCodeAndTheFileStaysOpenForTheNext) {
  ScratchDir scratch;
  const std::string path = scratch.Path("caption.smi");
  AviWriter writer{};
  writer.rate = 30;
  AviStreamSpec stream = CaptionSpec("en");
  const uint64_t sync = strlen(" <SYNC Start=0>\n"), prefix = strlen(" <P Class=LANGCC> ");
  struct Row { uint64_t limit; const char* text; int32_t size; int code; } rows[] = {
      {0, "text", 4, -1},                   {sync, "text", 4, -2},
      {sync + prefix + 2, "text\0", 5, -4}, {sync + prefix + 2, "text", 4, -5},
      {sync + prefix + 4, "text", 4, -6},   {sync + prefix + 5, "text", 4, 0},
      {3, "lost", 4, -1},
  };
  for (const Row& r : rows) {
    if (writer.captionFile) fclose(writer.captionFile);
    writer.captionFile = fopen(path.c_str(), "w");
    setvbuf(writer.captionFile, nullptr, _IONBF, 0);  // every write meets the limit at once
    FileSizeLimit limit(r.limit);
    EXPECT_EQ(SamiWriteCaption(&writer, &stream, r.text, r.size), r.code) << r.limit << " " << r.size;
  }
  writer.videoFrames = 45;
  EXPECT_EQ(SamiWriteCaption(&writer, &stream, "kept", 4), 0);
  writer.rate = 1;  // 2,147,484,000 ms
  writer.videoFrames = 2147484;
  EXPECT_EQ(SamiWriteCaption(&writer, &stream, "late", 4), 0);
  writer.rate = 0;
  EXPECT_EQ(SamiWriteCaption(&writer, &stream, "x", 1), 0);
  fclose(writer.captionFile);
  // The failed "lost" left the 3 bytes the disk took.
  EXPECT_EQ(ReadText(path), " <S <SYNC Start=1500>\n <P Class=LANGCC> kept\n <SYNC Start=2147483647>\n <P Class=LANGCC> late\n"
                            " <SYNC Start=0>\n <P Class=LANGCC> x\n");
}

}  // namespace
