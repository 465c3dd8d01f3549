// The SAMI caption file: its name, its head, caption texts and times, the
// closing text and the failure code of each step.
#include <cstring>

#include "avi/sami_writer.h"
#include "tests/avi/avi_test_files.h"

namespace {

struct SamiTest : ::testing::Test {
  ScratchDir scratch;
  std::string avi = scratch.Path("clip.avi"), sami = scratch.Path("clip.smi");
  AviWriter writer{};  // the caption file and what times a caption: frames and rate
  AviStreamSpec stream = CaptionSpec("en");
};

// The name: only a lower-case ".avi" is replaced; long names are refused and
// fail the open, as do names in no folder. A disk full at any byte of the head
// fails the open with the code of the part it stopped in (head, style, body),
// and the file goes.
TEST_F(SamiTest, TheNameAndTheOpenThatFailsWithTheCodeOfItsStep) {
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
  FILE* file = nullptr;
  EXPECT_EQ(SamiOpen("", (std::string(300, 'a') + ".avi").c_str(), &file), -1);
  EXPECT_EQ(SamiOpen("en", scratch.Path("no/clip.avi").c_str(), &file), -1);
  for (const char* language : {"en", ""}) {
    ASSERT_EQ(SamiOpen(language, avi.c_str(), &file), 0);
    fclose(file);
    const std::string good = ReadText(sami), body = "</HEAD>\n<BODY>\n";
    const size_t style = std::min(good.find("<STYLE"), good.find(body)), end = good.find(body);
    for (size_t limit = 0; limit < good.size(); limit++) {
      remove(sami.c_str());
      file = nullptr;
      FileSizeLimit full(limit);
      EXPECT_EQ(SamiOpen(language, avi.c_str(), &file), limit < style ? -2 : limit < end ? -3 : -4) << limit;
      EXPECT_TRUE(!file && FileLength(sami) == -1) << limit;
    }
  }
}

// Captions are timed by the frames before them and the rate (cut to whole
// milliseconds, held at the largest int, 0 without a rate); a text ends at
// its size, or at its first NUL when its last byte is one.
TEST_F(SamiTest, TheWholeFileWithAndWithoutALanguage) {
  for (const char* language : {"", "en"}) {
    strcpy(stream.text.language, language);
    ASSERT_EQ(SamiOpen(language, avi.c_str(), &writer.captionFile), 0);
    auto caption = [&](int32_t rate, int32_t frames, const char* text, int32_t size) {
      writer.rate = rate, writer.videoFrames = frames;
      EXPECT_EQ(SamiWriteCaption(&writer, &stream, text, size), 0);
    };
    caption(30, 0, "zero", 5), caption(30, 1, "one", 3), caption(30, 45, "forty\nfive", 10);
    caption(30, 45, "ab\0cd", 5), caption(30, 45, "ab\0d\0", 5), caption(30, 45, "\0", 1);
    caption(1, 2147484, "late", 4), caption(0, 45, "x", 1);  // 2,147,484,000 ms; no rate
    EXPECT_EQ(SamiWriteCaption(&writer, &stream, "x", 0) + SamiWriteCaption(&writer, &stream, nullptr, 3), -10);
    EXPECT_EQ(SamiWriteClosing(writer.captionFile) + fclose(writer.captionFile) + SamiWriteClosing(nullptr), -1);
    const std::string p = *language ? " <P Class=LANGCC> " : "", at1500 = " <SYNC Start=1500>\n" + p;
    const std::string style = *language ? "<STYLE TYPE=\"text/css\">\n<!--\n.LANGCC {lang: en;}\n-->\n</STYLE>\n" : "";
    EXPECT_EQ(ReadText(sami), "<SAMI>\n<HEAD>\n<SAMIParam>\nCopyright {Made with zentrix, (C) the zentrix developers}\n"
                              "Metrics {time:ms;}\nSpec {MSFT:1.0;}\n</SAMIParam>\n" + style + "</HEAD>\n<BODY>\n"
                              " <SYNC Start=0>\n" + p + "zero\n <SYNC Start=33>\n" + p + "one\n" + at1500 +
                              "forty\nfive\n" + at1500 + std::string("ab\0cd\n", 6) + at1500 + "ab\n" + at1500 +
                              "\n <SYNC Start=2147483647>\n" + p + "late\n <SYNC Start=0>\n" + p + "x\n" +
                              "</BODY>\n</SAMI>\n") << language;
  }
}

// Each step of a caption that fails has its code; the file takes the next caption.
TEST_F(SamiTest, EachFailingStepOfACaptionHasItsCode) {
  const uint64_t sync = strlen(" <SYNC Start=0>\n"), prefix = strlen(" <P Class=LANGCC> ");
  struct Row { uint64_t limit; const char* text; int32_t size; int code; } rows[] = {
      {0, "text", 4, -1}, {sync, "text", 4, -2}, {sync + prefix + 2, "text\0", 5, -4},
      {sync + prefix + 2, "text", 4, -5}, {sync + prefix + 4, "text", 4, -6}, {sync + prefix + 5, "text", 4, 0},
      {3, "lost", 4, -1}};
  for (const Row& r : rows) {
    if (writer.captionFile) fclose(writer.captionFile);
    writer.captionFile = fopen(sami.c_str(), "w");
    setvbuf(writer.captionFile, nullptr, _IONBF, 0);  // every write meets the limit at once
    FileSizeLimit limit(r.limit);
    EXPECT_EQ(SamiWriteCaption(&writer, &stream, r.text, r.size), r.code) << r.limit << " " << r.size;
  }
  EXPECT_EQ(SamiWriteCaption(&writer, &stream, "kept", 4) + fclose(writer.captionFile), 0);
  EXPECT_EQ(ReadText(sami), " <S <SYNC Start=0>\n <P Class=LANGCC> kept\n");  // the 3 bytes the disk took
}

}  // namespace
