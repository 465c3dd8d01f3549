// The in-memory shell behind zentrix-cli and the tests: list rows, progress
// values, commands and the dialog title.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "shell/headless_shell.h"
#include "shell/shell.h"

namespace {

struct HeadlessFixture : ::testing::Test {
  AppContext* context = new AppContext();
  HeadlessShell shell;
  void SetUp() override { HeadlessShellAttach(context, &shell); }
  void TearDown() override { delete context; }
};

TEST_F(HeadlessFixture, RowsAreInsertedFoundAndLabelled) {
  EXPECT_EQ(ShellRowCount(context), 0);
  EXPECT_EQ(ShellInsertRow(context, 0, "Channel 3", 2), 0);
  EXPECT_EQ(ShellInsertRow(context, ShellRowCount(context), "Channel 1", 0), 1);
  EXPECT_EQ(ShellRowCount(context), 2);

  EXPECT_EQ(ShellFindRow(context, "Channel 1"), 1);
  EXPECT_EQ(ShellFindRow(context, "Channel 3"), 0);
  // Exact labels only: no prefix and no case folding.
  EXPECT_EQ(ShellFindRow(context, "Channel"), -1);
  EXPECT_EQ(ShellFindRow(context, "Channel 33"), -1);
  EXPECT_EQ(ShellFindRow(context, "channel 1"), -1);

  EXPECT_EQ(ShellSetRowText(context, 1, 1, "2009/3/5 7:4:9"), 0);
  EXPECT_EQ(ShellSetRowText(context, 1, 2, "2009/3/6 0:0:0"), 0);
  EXPECT_EQ(shell.rows[1].columns[0], "Channel 1");
  EXPECT_EQ(shell.rows[1].columns[1], "2009/3/5 7:4:9");
  EXPECT_EQ(shell.rows[1].columns[2], "2009/3/6 0:0:0");
  EXPECT_EQ(shell.rows[1].itemData, 0);
  EXPECT_EQ(shell.rows[1].image, 0);
  EXPECT_EQ(shell.rows[0].itemData, 2);
}

TEST_F(HeadlessFixture, InsertionPlacesRowsLikeTheListView) {
  ShellInsertRow(context, 0, "b", 1);
  EXPECT_EQ(ShellInsertRow(context, 0, "a", 0), 0);      // in front
  EXPECT_EQ(ShellInsertRow(context, 99, "c", 2), 2);     // past the end: appended
  EXPECT_EQ(ShellInsertRow(context, -1, "d", 3), -1);    // no negative index
  ASSERT_EQ(shell.rows.size(), 3u);
  EXPECT_EQ(shell.rows[0].columns[0], "a");
  EXPECT_EQ(shell.rows[1].columns[0], "b");
  EXPECT_EQ(shell.rows[2].columns[0], "c");
}

TEST_F(HeadlessFixture, BadRowsAndColumnsAreRefused) {
  ShellInsertRow(context, 0, "Channel 1", 0);
  EXPECT_EQ(ShellSetRowText(context, 1, 1, "x"), -1);
  EXPECT_EQ(ShellSetRowText(context, -1, 1, "x"), -1);
  EXPECT_EQ(ShellSetRowText(context, 0, 3, "x"), -1);
  EXPECT_EQ(ShellSetRowText(context, 0, -1, "x"), -1);
  EXPECT_EQ(shell.rows[0].columns[1], "");
}

TEST_F(HeadlessFixture, FailedInsertionsAreCountedDown) {
  shell.failInsertions = 2;
  EXPECT_EQ(ShellInsertRow(context, 0, "Channel 1", 0), -1);
  EXPECT_EQ(ShellInsertRow(context, 0, "Channel 2", 1), -1);
  EXPECT_EQ(ShellInsertRow(context, 0, "Channel 3", 2), 0);
  EXPECT_EQ(shell.failInsertions, 0);
  EXPECT_EQ(ShellRowCount(context), 1);
}

TEST_F(HeadlessFixture, DeleteAllEmptiesTheList) {
  ShellInsertRow(context, 0, "Channel 1", 0);
  ShellInsertRow(context, 1, "Channel 2", 1);
  ShellDeleteAllRows(context);
  EXPECT_EQ(ShellRowCount(context), 0);
  EXPECT_EQ(ShellFindRow(context, "Channel 1"), -1);
}

TEST_F(HeadlessFixture, DialogKeepsTextBarCommandsAndTitle) {
  EXPECT_EQ(shell.progressText, "Static");
  ShellSetProgressText(context, "Progress: 1/2 bytes (50 %)");
  ShellPostProgressRange(context, 2);
  ShellPostProgressPosition(context, 1);
  ShellPostCommand(context, RUN_CANCELLED);
  ShellPostCommand(context, RUN_COMPLETED);
  ShellSetDialogTitle(context, "Exporting AVI...");
  EXPECT_EQ(shell.progressText, "Progress: 1/2 bytes (50 %)");
  EXPECT_EQ(shell.progressHigh, 2u);
  EXPECT_EQ(shell.progressPosition, 1u);
  ASSERT_EQ(shell.commands.size(), 2u);
  EXPECT_EQ(shell.commands[0], 2);
  EXPECT_EQ(shell.commands[1], 1);
  EXPECT_EQ(shell.dialogTitle, "Exporting AVI...");
}

TEST_F(HeadlessFixture, ObserverSeesEveryProgressChange) {
  int calls = 0;
  shell.user = &calls;
  shell.onProgress = [](HeadlessShell* s, void* user) {
    // The observer may read the shell: it is called outside the lock.
    std::lock_guard<std::mutex> hold(s->lock);
    (*(int*)user)++;
  };
  ShellSetProgressText(context, "a");
  ShellPostProgressRange(context, 10);
  ShellPostProgressPosition(context, 5);
  ShellPostCommand(context, RUN_COMPLETED);  // not a progress change
  EXPECT_EQ(calls, 3);
}

TEST(HeadlessShell, ContextWithoutShellIsHarmless) {
  AppContext* context = new AppContext();
  EXPECT_EQ(ShellInsertRow(context, 0, "Channel 1", 0), -1);
  EXPECT_EQ(ShellFindRow(context, "Channel 1"), -1);
  EXPECT_EQ(ShellSetRowText(context, 0, 1, "x"), -1);
  EXPECT_EQ(ShellRowCount(context), 0);
  ShellDeleteAllRows(context);
  ShellSetProgressText(context, "x");
  ShellPostProgressRange(context, 1);
  ShellPostProgressPosition(context, 1);
  ShellPostCommand(context, RUN_COMPLETED);
  ShellSetDialogTitle(context, "x");
  EXPECT_EQ(ShellRowCount(nullptr), 0);
  delete context;
}

TEST_F(HeadlessFixture, WorkerAndObserverOnTwoThreads) {
  // A worker fills the list while another thread keeps reading it.
  std::atomic<bool> done{false};
  std::thread observer([&] {
    while (!done.load()) {
      int count = ShellRowCount(context);
      EXPECT_GE(count, 0);
      ShellFindRow(context, "Channel 64");
    }
  });
  for (int i = 0; i < 2000; i++) {
    std::string label = "Channel " + std::to_string(i % 64 + 1);
    if (ShellFindRow(context, label.c_str()) < 0)
      ShellInsertRow(context, ShellRowCount(context), label.c_str(), i % 64);
    ShellSetProgressText(context, label.c_str());
  }
  done = true;
  observer.join();
  EXPECT_EQ(ShellRowCount(context), 64);
}

}  // namespace
