// Progress reports: the texts, their thousands notation and percent, and the
// bar values that reach the progress dialog.
#include <gtest/gtest.h>

#include <string>

#include "shell/headless_shell.h"
#include "shell/progress.h"

namespace {

// The texts keep the real byte counts, digits grouped in threes; the bar gets
// them shifted right until the total fits a signed 32-bit value. The percent
// is position / (total / 100), so below 10,000 bytes it may pass 100; below
// 100 bytes the exact ratio. Start sets the range only; Done shows the total
// twice with a full bar.
TEST(Progress, StartStepAndDoneReachTheDialog) {
  const struct { uint64_t position, total; const char* step; uint32_t bar, high; } rows[] = {
      {1234567, 9876543, "1,234,567/9,876,543 bytes (12 %)", 1234567, 9876543},
      {123456, 987654321, "123,456/987,654,321 bytes (0 %)", 123456, 987654321},
      {999, 999, "999/999 bytes (111 %)", 999, 999},
      {19999, 19999, "19,999/19,999 bytes (100 %)", 19999, 19999},
      {0, 0, "0/0 bytes (0 %)", 0, 0},
      {50, 99, "50/99 bytes (50 %)", 50, 99},
      {4000000000u, 10, "4,000,000,000/10 bytes (40000000000 %)", 2147483647u, 10},
      {2147483647u, 2147483647u, "2,147,483,647/2,147,483,647 bytes (100 %)", 2147483647u, 2147483647u},
      {1073741824u, 2147483648u, "1,073,741,824/2,147,483,648 bytes (50 %)", 536870912u, 1073741824u},
      {4500000000u, 6000000000u, "4,500,000,000/6,000,000,000 bytes (75 %)", 1125000000, 1500000000},
      {UINT64_MAX, 4294967296u, "18,446,744,073,709,551,615/4,294,967,296 bytes (429496739200 %)", 2147483647u, 1073741824u},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.step);
    AppContext context{};
    HeadlessShell shell;
    HeadlessShellAttach(&context, &shell);
    ProgressStart(&context, row.total);
    EXPECT_EQ(shell.progressHigh, row.high);
    EXPECT_EQ(shell.progressText, "Static");
    ProgressStep(&context, row.position, row.total);
    EXPECT_EQ(shell.progressText, std::string("Progress: ") + row.step);
    EXPECT_EQ(shell.progressPosition, row.bar);
    ProgressDone(&context, row.total);
    char total[THOUSANDS_SIZE];
    FormatThousands(row.total, total);
    EXPECT_EQ(shell.progressText,
              std::string("Progress: ") + total + "/" + total + " bytes (100 %)");
    EXPECT_EQ(shell.progressPosition, row.high);
  }
}

}  // namespace
