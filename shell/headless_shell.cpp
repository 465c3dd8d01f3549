// The in-memory shell: list rows, progress values, posted commands and the
// dialog title are kept in the HeadlessShell that the context's listView and
// progressDialog handles point to. Every call takes the shell's mutex, since
// the worker and an observer may run on two threads.
#include "shell/headless_shell.h"

#include <cstddef>

#include "shell/shell.h"

void HeadlessShellAttach(AppContext* context, HeadlessShell* shell) {
  if (!context) return;
  context->listView = shell;
  context->progressDialog = shell;
}

static HeadlessShell* ListOf(AppContext* context) {
  return context ? (HeadlessShell*)context->listView : nullptr;
}

static HeadlessShell* DialogOf(AppContext* context) {
  return context ? (HeadlessShell*)context->progressDialog : nullptr;
}

// The observer runs outside the lock, so that it may read the shell itself.
static void NotifyProgress(HeadlessShell* shell) {
  if (shell->onProgress) shell->onProgress(shell, shell->user);
}

int ShellFindRow(AppContext* context, const char* label) {
  HeadlessShell* shell = ListOf(context);
  if (!shell || !label) return -1;
  std::lock_guard<std::mutex> hold(shell->lock);
  for (size_t row = 0; row < shell->rows.size(); row++)
    if (shell->rows[row].columns[0] == label) return (int)row;
  return -1;
}

int ShellInsertRow(AppContext* context, int row, const char* label, int32_t itemData) {
  HeadlessShell* shell = ListOf(context);
  if (!shell || !label || row < 0) return -1;
  std::lock_guard<std::mutex> hold(shell->lock);
  if (shell->failInsertions > 0) {
    shell->failInsertions--;
    return -1;
  }
  // Like the list view: an index past the end inserts at the end.
  size_t at = (size_t)row < shell->rows.size() ? (size_t)row : shell->rows.size();
  HeadlessRow inserted;
  inserted.columns[0] = label;
  inserted.itemData = itemData;
  inserted.image = 0;
  shell->rows.insert(shell->rows.begin() + (std::ptrdiff_t)at, inserted);
  return (int)at;
}

int ShellSetRowText(AppContext* context, int row, int column, const char* text) {
  HeadlessShell* shell = ListOf(context);
  if (!shell || !text || column < 0 || column > 2) return -1;
  std::lock_guard<std::mutex> hold(shell->lock);
  if (row < 0 || (size_t)row >= shell->rows.size()) return -1;
  shell->rows[(size_t)row].columns[column] = text;
  return 0;
}

int ShellRowCount(AppContext* context) {
  HeadlessShell* shell = ListOf(context);
  if (!shell) return 0;
  std::lock_guard<std::mutex> hold(shell->lock);
  return (int)shell->rows.size();
}

void ShellDeleteAllRows(AppContext* context) {
  HeadlessShell* shell = ListOf(context);
  if (!shell) return;
  std::lock_guard<std::mutex> hold(shell->lock);
  shell->rows.clear();
}

void ShellSetProgressText(AppContext* context, const char* text) {
  HeadlessShell* shell = DialogOf(context);
  if (!shell || !text) return;
  {
    std::lock_guard<std::mutex> hold(shell->lock);
    shell->progressText = text;
  }
  NotifyProgress(shell);
}

void ShellPostProgressRange(AppContext* context, uint32_t high) {
  HeadlessShell* shell = DialogOf(context);
  if (!shell) return;
  {
    std::lock_guard<std::mutex> hold(shell->lock);
    shell->progressHigh = high;
  }
  NotifyProgress(shell);
}

void ShellPostProgressPosition(AppContext* context, uint32_t position) {
  HeadlessShell* shell = DialogOf(context);
  if (!shell) return;
  {
    std::lock_guard<std::mutex> hold(shell->lock);
    shell->progressPosition = position;
  }
  NotifyProgress(shell);
}

void ShellPostCommand(AppContext* context, int command) {
  HeadlessShell* shell = DialogOf(context);
  if (!shell) return;
  std::lock_guard<std::mutex> hold(shell->lock);
  shell->commands.push_back(command);
}

void ShellSetDialogTitle(AppContext* context, const char* title) {
  HeadlessShell* shell = DialogOf(context);
  if (!shell || !title) return;
  std::lock_guard<std::mutex> hold(shell->lock);
  shell->dialogTitle = title;
}
