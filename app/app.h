// The Windows program: main window, About dialog, progress dialog and the
// Open and Export commands. Everything here runs on the GUI thread.
#pragma once

#include <windows.h>

#include "shell/app_context.h"

// Process-wide values, set once at start-up.
extern HINSTANCE appInstance;
extern char appTitle[100];
extern char appClassName[100];

// Main window (main_window.cpp).
ATOM RegisterMainWindowClass(HINSTANCE instance);
int CreateMainWindow(HINSTANCE instance, int showState);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
int CreateMainControls(HWND window);
int DestroyMainControls(HWND window, AppContext* context);
int LayoutMainWindow(HWND window, AppContext* context);
void InitCommonControlClasses(void);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Progress dialog (progress_dialog.cpp).
INT_PTR CALLBACK ReadingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ExportingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void CenterDialogInWorkArea(HWND dialog);

// Commands (commands.cpp).
int OpenCommand(HWND window, AppContext* context);
int ExportCommand(HWND window, AppContext* context);
int ChooseRecordingFile(HWND owner, AppContext* context);
int CollectChannelMask(AppContext* context);
int ChooseOutputFolder(HWND owner, AppContext* context);
