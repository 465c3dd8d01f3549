// The in-memory user interface of zentrix-cli and the tests: rows, texts,
// progress values and posted commands are kept in a HeadlessShell, which the
// context's listView and progressDialog handles point to.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "shell/app_context.h"

struct HeadlessRow {
  std::string columns[3];
  int32_t itemData;
  int32_t image;
};

struct HeadlessShell {
  std::mutex lock;                 // the worker and the observer may be on two threads
  std::vector<HeadlessRow> rows;
  std::string progressText = "Static";
  std::string dialogTitle;
  uint32_t progressHigh = 0;
  uint32_t progressPosition = 0;
  std::vector<int> commands;       // posted final commands, in order
  int failInsertions = 0;          // > 0: that many next insertions fail (tests)
  // Called after every progress text change, range or position post.
  void (*onProgress)(HeadlessShell* shell, void* user) = nullptr;
  void* user = nullptr;
};

// Points the context's list and dialog handles at shell.
void HeadlessShellAttach(AppContext* context, HeadlessShell* shell);
