// Progress reports, and the rows of the in-memory shell behind zentrix-cli.
#include <gtest/gtest.h>

#include <cstring>

#include "shell/headless_shell.h"
#include "shell/progress.h"
#include "shell/shell.h"

// Texts keep the real byte counts in groups of three and the percent
// position / (total / 100), the exact ratio below 100 bytes; the bar halves
// both until the total fits a signed 32-bit value. Done shows the total twice.
TEST(Progress, StartStepAndDoneReachTheDialog) {
  const struct { uint64_t position, total; const char* step; uint32_t bar, high; } rows[] = {
      {0, 0, "0/0 bytes (0 %)", 0, 0},
      {50, 99, "50/99 bytes (50 %)", 50, 99},
      {4000000000u, 10, "4,000,000,000/10 bytes (40000000000 %)", 2147483647u, 10},
      {2147483647u, 2147483647u, "2,147,483,647/2,147,483,647 bytes (100 %)", 2147483647u,
       2147483647u},
      {UINT64_MAX, 4294967296u, "18,446,744,073,709,551,615/4,294,967,296 bytes (429496739200 %)",
       2147483647u, 1073741824u}};
  for (const auto& row : rows) {
    AppContext context{};
    HeadlessShell shell;
    HeadlessShellAttach(&context, &shell);
    ProgressStart(&context, row.total);  // the range only
    EXPECT_EQ(shell.progressText + " " + std::to_string(shell.progressHigh),
              "Static " + std::to_string(row.high));
    ProgressStep(&context, row.position, row.total);
    EXPECT_EQ(shell.progressText + " " + std::to_string(shell.progressPosition),
              std::string("Progress: ") + row.step + " " + std::to_string(row.bar));
    ProgressDone(&context, row.total);
    const std::string step = row.step;
    const std::string total = step.substr(step.find('/') + 1, step.find(' ') - step.find('/') - 1);
    EXPECT_EQ(shell.progressText + " " + std::to_string(shell.progressPosition),
              "Progress: " + total + "/" + total + " bytes (100 %) " + std::to_string(row.high));
  }
}

// Rows as in the list view: inserted in front or, past the end, appended;
// set within the rows and the three columns; found by their exact label.
// Without a shell there are none.
TEST(HeadlessShell, RowsLikeTheListViewAndNothingWithoutAShell) {
  AppContext context{};
  EXPECT_EQ(ShellInsertRow(&context, 0, "Channel 1", 0) + ShellFindRow(&context, "Channel 1"), -2);
  HeadlessShell shell;
  HeadlessShellAttach(&context, &shell);
  std::string results;
  for (const char* row : {"0 Channel 3", "0 Channel 1", "99 Channel 2", "-1 Channel 4"})
    results += std::to_string(ShellInsertRow(&context, atoi(row), strchr(row, ' ') + 1,
                                             row[strlen(row) - 1] - '1')) + " ";
  EXPECT_EQ(results, "0 0 2 -1 ");
  for (int at : {3, -1})  // a row, then a column
    EXPECT_EQ(ShellSetRowText(&context, at, 1, "x") + ShellSetRowText(&context, 0, at, "x"), -2);
  EXPECT_EQ(ShellSetRowText(&context, 2, 2, "2009/3/6 0:0:0"), 0);
  std::string rows;
  for (const HeadlessRow& row : shell.rows)
    rows += row.columns[0] + "|" + row.columns[2] + "|" + std::to_string(row.itemData) + " ";
  EXPECT_EQ(rows, "Channel 1||0 Channel 3||2 Channel 2|2009/3/6 0:0:0|1 ");
  for (const char* label : {"Channel 2", "Channel", "Channel 22", "channel 1"})
    EXPECT_EQ(ShellFindRow(&context, label), std::string(label) == "Channel 2" ? 2 : -1) << label;
}

