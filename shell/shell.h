// What the core asks of the user interface: the channel list rows of the
// scan, the progress text and bar, the run's final command and the dialog
// title. Two implementations, chosen at link time: app/ does it with Win32
// messages, shell/headless_shell.cpp keeps everything in memory.
#pragma once

#include <cstdint>

struct AppContext;

// Progress dialog commands.
enum {
  RUN_COMPLETED = 1,
  RUN_CANCELLED = 2
};

// Channel list (the context's listView), each call synchronous.
int ShellFindRow(AppContext* context, const char* label);        // exact label; row or -1
int ShellInsertRow(AppContext* context, int row, const char* label,
                   int32_t itemData);                            // image 0; row or -1
int ShellSetRowText(AppContext* context, int row, int column, const char* text);  // 0 or -1
int ShellRowCount(AppContext* context);
void ShellDeleteAllRows(AppContext* context);

// Progress dialog (the context's progressDialog).
void ShellSetProgressText(AppContext* context, const char* text);  // synchronous
void ShellPostProgressRange(AppContext* context, uint32_t high);   // posted
void ShellPostProgressPosition(AppContext* context, uint32_t position);  // posted
void ShellPostCommand(AppContext* context, int command);           // posted
void ShellSetDialogTitle(AppContext* context, const char* title);
