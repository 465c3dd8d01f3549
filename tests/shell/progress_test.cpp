// Progress reports: the thousands notation, the percent and the texts that
// reach the progress dialog.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/headless_shell.h"
#include "shell/progress.h"

namespace {

std::string Thousands(uint32_t value) {
  char text[THOUSANDS_SIZE];
  return FormatThousands(value, text);
}

TEST(FormatThousands, GroupsDigitsInThrees) {
  EXPECT_EQ(Thousands(0), "0");
  EXPECT_EQ(Thousands(7), "7");
  EXPECT_EQ(Thousands(999), "999");
  EXPECT_EQ(Thousands(1000), "1,000");
  EXPECT_EQ(Thousands(12345), "12,345");
  EXPECT_EQ(Thousands(123456), "123,456");
  EXPECT_EQ(Thousands(1234567), "1,234,567");
  EXPECT_EQ(Thousands(2147483647u), "2,147,483,647");
  EXPECT_EQ(Thousands(4294967295u), "4,294,967,295");
}

// A context whose dialog is an in-memory shell that keeps every text shown.
struct ProgressFixture : ::testing::Test {
  AppContext* context = new AppContext();
  HeadlessShell shell;
  std::vector<std::string> texts;

  void SetUp() override {
    HeadlessShellAttach(context, &shell);
    shell.user = this;
    shell.onProgress = [](HeadlessShell* s, void* user) {
      auto* self = (ProgressFixture*)user;
      std::lock_guard<std::mutex> hold(s->lock);
      if (self->texts.empty() || self->texts.back() != s->progressText)
        self->texts.push_back(s->progressText);
    };
  }
  void TearDown() override { delete context; }

  std::string StepText(uint32_t position, uint32_t total) {
    ProgressStep(context, position, total);
    return shell.progressText;
  }
};

TEST_F(ProgressFixture, StartPostsTheRangeAndKeepsTheTemplateText) {
  ProgressStart(context, 9876543);
  EXPECT_EQ(shell.progressHigh, 9876543u);
  EXPECT_EQ(shell.progressPosition, 0u);
  EXPECT_EQ(shell.progressText, "Static");
}

TEST_F(ProgressFixture, StepShowsBothNumbersAndThePercent) {
  EXPECT_EQ(StepText(1234567, 9876543), "Progress: 1,234,567/9,876,543 bytes (12 %)");
  EXPECT_EQ(shell.progressPosition, 1234567u);
  EXPECT_EQ(StepText(0, 9876543), "Progress: 0/9,876,543 bytes (0 %)");
  EXPECT_EQ(shell.progressPosition, 0u);
}

TEST_F(ProgressFixture, PercentRoundsDownOverHundredths) {
  // position / (total / 100): 9,999 / 99 = 101 for a total of 9,999.
  EXPECT_EQ(StepText(9999, 9999), "Progress: 9,999/9,999 bytes (101 %)");
  EXPECT_EQ(StepText(10000, 10000), "Progress: 10,000/10,000 bytes (100 %)");
  EXPECT_EQ(StepText(2147483647u, 2147483647u),
            "Progress: 2,147,483,647/2,147,483,647 bytes (100 %)");
  // A total of 150 bytes: total / 100 is 1, the percent may pass 100.
  EXPECT_EQ(StepText(150, 150), "Progress: 150/150 bytes (150 %)");
  EXPECT_EQ(StepText(75, 150), "Progress: 75/150 bytes (75 %)");
}

TEST_F(ProgressFixture, PercentOfFilesUnderHundredBytesIsTheExactRatio) {
  EXPECT_EQ(StepText(0, 0), "Progress: 0/0 bytes (0 %)");
  EXPECT_EQ(StepText(10, 0), "Progress: 10/0 bytes (0 %)");
  EXPECT_EQ(StepText(0, 1), "Progress: 0/1 bytes (0 %)");
  EXPECT_EQ(StepText(1, 1), "Progress: 1/1 bytes (100 %)");
  EXPECT_EQ(StepText(50, 99), "Progress: 50/99 bytes (50 %)");
  EXPECT_EQ(StepText(99, 99), "Progress: 99/99 bytes (100 %)");
  // A position beyond a tiny total does not overflow the 32-bit product.
  EXPECT_EQ(StepText(2147483647u, 1), "Progress: 2,147,483,647/1 bytes (214748364700 %)");
}

TEST_F(ProgressFixture, DoneShowsTheTotalTwiceAndFillsTheBar) {
  ProgressStart(context, 1234567);
  ProgressStep(context, 1000, 1234567);
  ProgressDone(context, 1234567);
  EXPECT_EQ(shell.progressText, "Progress: 1,234,567/1,234,567 bytes (100 %)");
  EXPECT_EQ(shell.progressPosition, 1234567u);
  EXPECT_EQ(shell.progressHigh, 1234567u);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "Static");
  EXPECT_EQ(texts[1], "Progress: 1,000/1,234,567 bytes (0 %)");
  EXPECT_EQ(texts[2], "Progress: 1,234,567/1,234,567 bytes (100 %)");
}

TEST_F(ProgressFixture, DoneOfAnEmptyFile) {
  ProgressDone(context, 0);
  EXPECT_EQ(shell.progressText, "Progress: 0/0 bytes (100 %)");
  EXPECT_EQ(shell.progressPosition, 0u);
}

}  // namespace
