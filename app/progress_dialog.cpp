// The modal progress dialog: it starts the worker thread of a reading or an
// export run, asks before cancelling, and joins the worker before it ends.
#include <windows.h>
#include <commctrl.h>

#include "app/app.h"
#include "app/resource.h"
#include "export/export_run.h"
#include "recording/channel_scan.h"
#include "shell/shell.h"

// What tells the two runs apart.
struct ProgressRun {
  LPTHREAD_START_ROUTINE worker;
  const char* question;
  bool reading;  // the reading run owns the list and the Export button state
};

static DWORD WINAPI ScanThread(LPVOID argument) {
  return static_cast<DWORD>(ScanWorker(static_cast<AppContext*>(argument)));
}

static DWORD WINAPI ExportThread(LPVOID argument) {
  return static_cast<DWORD>(ExportWorker(static_cast<AppContext*>(argument)));
}

static const ProgressRun READING_RUN = {
  ScanThread, "Are you sure to cancel reading data?", true
};
static const ProgressRun EXPORTING_RUN = {
  ExportThread, "Are you sure to cancel exporting AVI files?", false
};

// Set while the cancel question is on screen, so that a command 2 the worker
// posts meanwhile does not stack a second question on the first.
static bool questionShown;

// Waits for the worker to end, without a time limit, then releases it. The
// worker may be in the middle of a synchronous list or text change that only
// this thread can carry out, so messages sent from other threads are handled
// while waiting; posted messages stay queued for the dialog's own loop.
static void JoinWorker(AppContext* context) {
  HANDLE thread = static_cast<HANDLE>(context->workerThread);
  for (;;) {
    DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE);
    if (woken == WAIT_OBJECT_0 + 1) {
      MSG message;
      PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      continue;
    }
    if (woken != WAIT_OBJECT_0)  // the wait itself failed: plain join
      WaitForSingleObject(thread, INFINITE);
    break;
  }
  CloseHandle(thread);
  context->workerThread = NULL;
}

static void SetExportButtonFromRows(AppContext* context) {
  LRESULT rows = SendMessageA(static_cast<HWND>(context->listView), LVM_GETITEMCOUNT, 0, 0);
  EnableWindow(static_cast<HWND>(context->exportButton), rows > 0);
}

static INT_PTR OnInitDialog(const ProgressRun* run, HWND dialog, AppContext* context) {
  CenterDialogInWorkArea(dialog);
  SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(context));
  context->progressDialog = dialog;
  context->runFlag = 1;
  context->workerThread = CreateThread(NULL, 0, run->worker, context, 0, NULL);
  if (!context->workerThread)
    SendMessageA(dialog, WM_COMMAND, RUN_CANCELLED, 0);
  return TRUE;
}

static INT_PTR OnRunCompleted(const ProgressRun* run, HWND dialog, AppContext* context) {
  if (context->workerThread)
    JoinWorker(context);
  if (run->reading)
    SetExportButtonFromRows(context);
  EndDialog(dialog, RUN_COMPLETED);
  return TRUE;
}

static INT_PTR OnCancel(const ProgressRun* run, HWND dialog, AppContext* context) {
  if (context->workerThread) {
    if (questionShown)
      return TRUE;
    questionShown = true;
    int answer = MessageBoxA(dialog, run->question, "Question", MB_YESNO | MB_ICONQUESTION);
    questionShown = false;
    if (answer != IDYES)
      return TRUE;
    // The worker may have completed while the question was shown; its
    // command 1 has then joined it already and set the Export button.
    if (context->workerThread) {
      context->runFlag = 0;
      JoinWorker(context);
      if (run->reading) {
        SendMessageA(static_cast<HWND>(context->listView), LVM_DELETEALLITEMS, 0, 0);
        EnableWindow(static_cast<HWND>(context->exportButton), FALSE);
      }
    }
  }
  EndDialog(dialog, RUN_CANCELLED);
  return TRUE;
}

static INT_PTR ProgressDialogProc(const ProgressRun* run, HWND dialog, UINT message,
                                  WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG)
    return OnInitDialog(run, dialog, reinterpret_cast<AppContext*>(lParam));
  AppContext* context =
      reinterpret_cast<AppContext*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
  if (message != WM_COMMAND || !context)
    return FALSE;
  switch (LOWORD(wParam)) {
    case RUN_COMPLETED: return OnRunCompleted(run, dialog, context);
    case RUN_CANCELLED: return OnCancel(run, dialog, context);
  }
  return FALSE;
}

INT_PTR CALLBACK ReadingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  return ProgressDialogProc(&READING_RUN, dialog, message, wParam, lParam);
}

INT_PTR CALLBACK ExportingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  return ProgressDialogProc(&EXPORTING_RUN, dialog, message, wParam, lParam);
}

void CenterDialogInWorkArea(HWND dialog) {
  RECT window;
  RECT workArea;
  GetWindowRect(dialog, &window);
  int width = window.right - window.left;
  int height = window.bottom - window.top;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
  int areaWidth = workArea.right - workArea.left;
  int areaHeight = workArea.bottom - workArea.top;
  // Counted from the screen origin, as the dialog has always been placed.
  MoveWindow(dialog, (areaWidth - width) / 2, (areaHeight - height) / 2, width, height, TRUE);
  SetFocus(dialog);
}
