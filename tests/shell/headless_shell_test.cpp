// The in-memory shell behind zentrix-cli and the tests: its list rows and a
// context without a shell. (Progress values, commands and the title are
// checked through the runs that set them.)
#include <gtest/gtest.h>

#include <string>

#include "shell/headless_shell.h"
#include "shell/shell.h"

namespace {

struct HeadlessFixture : ::testing::Test {
  AppContext* context = new AppContext();
  HeadlessShell shell;
  void SetUp() override { HeadlessShellAttach(context, &shell); }
  void TearDown() override { delete context; }
};

TEST_F(HeadlessFixture, RowsAreInsertedFoundLabelledAndDeleted) {
  EXPECT_EQ(ShellInsertRow(context, 0, "Channel 3", 2), 0);
  EXPECT_EQ(ShellInsertRow(context, 0, "Channel 1", 0), 0);   // in front
  EXPECT_EQ(ShellInsertRow(context, 99, "Channel 2", 1), 2);  // past the end: appended
  EXPECT_EQ(ShellInsertRow(context, -1, "Channel 4", 3), -1);
  shell.failInsertions = 1;  // the next insertion fails, the one after it not
  EXPECT_EQ(ShellInsertRow(context, 3, "Channel 5", 4), -1);
  EXPECT_EQ(ShellInsertRow(context, 3, "Channel 6", 5), 3);
  EXPECT_EQ(ShellSetRowText(context, 2, 1, "2009/3/5 7:4:9"), 0);
  EXPECT_EQ(ShellSetRowText(context, 2, 2, "2009/3/6 0:0:0"), 0);
  EXPECT_EQ(ShellSetRowText(context, 4, 1, "x"), -1);  // no such row
  EXPECT_EQ(ShellSetRowText(context, -1, 1, "x"), -1);
  EXPECT_EQ(ShellSetRowText(context, 0, 3, "x"), -1);  // no such column
  EXPECT_EQ(ShellSetRowText(context, 0, -1, "x"), -1);
  std::string rows;
  for (const HeadlessRow& row : shell.rows)
    rows += row.columns[0] + "|" + row.columns[1] + "|" + row.columns[2] + "|" +
            std::to_string(row.itemData) + "|" + std::to_string(row.image) + "\n";
  EXPECT_EQ(rows, "Channel 1|||0|0\nChannel 3|||2|0\nChannel 2|2009/3/5 7:4:9|2009/3/6 0:0:0|1|0\n"
                  "Channel 6|||5|0\n");
  EXPECT_EQ(ShellRowCount(context), 4);
  EXPECT_EQ(ShellFindRow(context, "Channel 2"), 2);
  // Exact labels only: no prefix, no longer label, no case folding.
  for (const char* label : {"Channel", "Channel 33", "channel 1", "Channel 5"})
    EXPECT_EQ(ShellFindRow(context, label), -1) << label;

  ShellDeleteAllRows(context);
  EXPECT_EQ(ShellRowCount(context), 0);
  EXPECT_EQ(ShellFindRow(context, "Channel 1"), -1);
}

TEST(HeadlessShell, ContextWithoutShellIsHarmless) {
  AppContext* context = new AppContext();
  EXPECT_EQ(ShellInsertRow(context, 0, "Channel 1", 0), -1);
  EXPECT_EQ(ShellFindRow(context, "Channel 1"), -1);
  EXPECT_EQ(ShellSetRowText(context, 0, 1, "x"), -1);
  ShellDeleteAllRows(context);
  ShellSetProgressText(context, "x");
  ShellPostProgressRange(context, 1);
  ShellPostProgressPosition(context, 1);
  ShellPostCommand(context, RUN_COMPLETED);
  ShellSetDialogTitle(context, "x");
  EXPECT_EQ(ShellRowCount(context), 0);
  EXPECT_EQ(ShellRowCount(nullptr), 0);
  delete context;
}

}  // namespace
