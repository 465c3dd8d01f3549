// The in-memory shell behind zentrix-cli and the tests: the edges of its list
// rows, and a context without a shell. (Ordinary rows, progress values,
// commands and the title are checked through the runs that set them.)
#include <gtest/gtest.h>

#include <string>

#include "shell/headless_shell.h"
#include "shell/shell.h"

namespace {

TEST(HeadlessShell, RowsLikeTheListViewAndNothingWithoutAShell) {
  AppContext context{};
  EXPECT_EQ(ShellInsertRow(&context, 0, "Channel 1", 0), -1);
  EXPECT_EQ(ShellSetRowText(&context, 0, 1, "x") + ShellFindRow(&context, "Channel 1"), -2);
  ShellSetProgressText(&context, "x");
  ShellPostProgressRange(&context, 1);
  ShellPostProgressPosition(&context, 1);
  ShellPostCommand(&context, RUN_COMPLETED);
  ShellSetDialogTitle(&context, "x");
  EXPECT_EQ(ShellRowCount(&context) + ShellRowCount(nullptr), 0);

  HeadlessShell shell;
  HeadlessShellAttach(&context, &shell);
  EXPECT_EQ(ShellInsertRow(&context, 0, "Channel 3", 2), 0);
  EXPECT_EQ(ShellInsertRow(&context, 0, "Channel 1", 0), 0);   // in front
  EXPECT_EQ(ShellInsertRow(&context, 99, "Channel 2", 1), 2);  // past the end: appended
  EXPECT_EQ(ShellInsertRow(&context, -1, "Channel 4", 3), -1);
  for (int at : {3, -1}) EXPECT_EQ(ShellSetRowText(&context, at, 1, "x"), -1);
  for (int column : {3, -1}) EXPECT_EQ(ShellSetRowText(&context, 0, column, "x"), -1);
  EXPECT_EQ(ShellSetRowText(&context, 2, 2, "2009/3/6 0:0:0"), 0);
  std::string rows;
  for (const HeadlessRow& row : shell.rows)
    rows += row.columns[0] + "|" + row.columns[1] + "|" + row.columns[2] + "|" +
            std::to_string(row.itemData) + "\n";
  EXPECT_EQ(rows, "Channel 1|||0\nChannel 3|||2\nChannel 2||2009/3/6 0:0:0|1\n");
  // Exact labels only: no prefix, no longer label, no case folding.
  EXPECT_EQ(ShellFindRow(&context, "Channel 2"), 2);
  for (const char* label : {"Channel", "Channel 33", "channel 1"})
    EXPECT_EQ(ShellFindRow(&context, label), -1) << label;
}

}  // namespace
