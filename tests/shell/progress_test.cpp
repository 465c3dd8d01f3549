// Progress reports: the thousands notation, the percent, the texts and the
// bar values that reach the progress dialog.
#include <gtest/gtest.h>

#include <string>

#include "shell/headless_shell.h"
#include "shell/progress.h"

namespace {

TEST(FormatThousands, GroupsDigitsInThrees) {
  const struct { uint64_t value; const char* text; } rows[] = {
      {0, "0"}, {999, "999"}, {1000, "1,000"}, {123456, "123,456"}, {1234567, "1,234,567"},
      {2147483647u, "2,147,483,647"}, {4294967296u, "4,294,967,296"},
      {UINT64_MAX, "18,446,744,073,709,551,615"}};  // the longest text fits THOUSANDS_SIZE
  for (const auto& row : rows) {
    char text[THOUSANDS_SIZE];
    EXPECT_STREQ(FormatThousands(row.value, text), row.text);
  }
}

// A fresh context whose dialog is an in-memory shell.
struct Dialog {
  AppContext* context = new AppContext();
  HeadlessShell shell;
  Dialog() { HeadlessShellAttach(context, &shell); }
  ~Dialog() { delete context; }
};

// Positions and totals beyond 2 GiB keep their bytes in the text; the bar
// gets them shifted right until the total fits a signed 32-bit value.
TEST(ProgressStep, ShowsBothNumbersThePercentAndTheBarPosition) {
  const struct { uint64_t position, total; const char* text; uint32_t bar; } rows[] = {
      {1234567, 9876543, "Progress: 1,234,567/9,876,543 bytes (12 %)", 1234567},
      // position / (total / 100): below 10,000 bytes the percent may pass 100.
      {9999, 9999, "Progress: 9,999/9,999 bytes (101 %)", 9999},
      {150, 150, "Progress: 150/150 bytes (150 %)", 150},
      // Below 100 bytes the exact ratio; nothing divides by a total of 0.
      {0, 0, "Progress: 0/0 bytes (0 %)", 0},
      {1, 1, "Progress: 1/1 bytes (100 %)", 1},
      {50, 99, "Progress: 50/99 bytes (50 %)", 50},
      {4000000000u, 10, "Progress: 4,000,000,000/10 bytes (40000000000 %)", 2147483647u},
      {1073741824u, 2147483648u, "Progress: 1,073,741,824/2,147,483,648 bytes (50 %)", 536870912u},
      {4500000000u, 6000000000u, "Progress: 4,500,000,000/6,000,000,000 bytes (75 %)", 1125000000},
      {UINT64_MAX, 4294967296u,
       "Progress: 18,446,744,073,709,551,615/4,294,967,296 bytes (429496739200 %)", 2147483647u},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    Dialog dialog;
    ProgressStep(dialog.context, row.position, row.total);
    EXPECT_EQ(dialog.shell.progressText, row.text);
    EXPECT_EQ(dialog.shell.progressPosition, row.bar);
  }
  // From 10,000 bytes on, the whole file is exactly 100 %.
  for (uint64_t total : {10000ull, 10199ull, 19999ull, 2147483647ull, 6000000000ull}) {
    Dialog dialog;
    ProgressStep(dialog.context, total, total);
    const std::string& text = dialog.shell.progressText;
    EXPECT_EQ(text.substr(text.size() - 7), "(100 %)") << text;
  }
}

TEST(ProgressStartAndDone, SetTheRangeThenShowTheTotalTwiceWithAFullBar) {
  const struct { uint64_t total; uint32_t high; const char* done; } rows[] = {
      {0, 0, "Progress: 0/0 bytes (100 %)"},
      {1234567, 1234567, "Progress: 1,234,567/1,234,567 bytes (100 %)"},
      {2147483647u, 2147483647u, "Progress: 2,147,483,647/2,147,483,647 bytes (100 %)"},
      {2147483648u, 1073741824u, "Progress: 2,147,483,648/2,147,483,648 bytes (100 %)"},
      {6000000000u, 1500000000u, "Progress: 6,000,000,000/6,000,000,000 bytes (100 %)"},
      {UINT64_MAX, 2147483647u,
       "Progress: 18,446,744,073,709,551,615/18,446,744,073,709,551,615 bytes (100 %)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.done);
    Dialog dialog;
    ProgressStart(dialog.context, row.total);
    EXPECT_EQ(dialog.shell.progressHigh, row.high);
    EXPECT_EQ(dialog.shell.progressText, "Static");  // until the first step
    ProgressDone(dialog.context, row.total);
    EXPECT_EQ(dialog.shell.progressText, row.done);
    EXPECT_EQ(dialog.shell.progressPosition, row.high);
  }
}

}  // namespace
