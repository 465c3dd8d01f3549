// What the core asks of the user interface, done with window messages. The
// worker thread calls these: list changes and texts are sent (the worker
// waits for the GUI thread), the progress bar and the final command posted.
#include <windows.h>
#include <commctrl.h>

#include "app/app.h"
#include "app/resource.h"
#include "shell/shell.h"

static HWND ListOf(AppContext* context) {
  return static_cast<HWND>(context->listView);
}

static HWND DialogOf(AppContext* context) {
  return static_cast<HWND>(context->progressDialog);
}

int ShellFindRow(AppContext* context, const char* label) {
  LVFINDINFOA find = {};
  find.flags = LVFI_STRING;
  find.psz = label;
  // -1: search from the first row.
  return static_cast<int>(SendMessageA(ListOf(context), LVM_FINDITEMA, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(&find)));
}

int ShellInsertRow(AppContext* context, int row, const char* label, int32_t itemData) {
  LVITEMA item = {};
  item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_IMAGE;
  item.iItem = row;
  item.iSubItem = 0;
  item.pszText = const_cast<char*>(label);
  item.iImage = 0;
  item.lParam = itemData;
  return static_cast<int>(SendMessageA(ListOf(context), LVM_INSERTITEMA, 0,
                                       reinterpret_cast<LPARAM>(&item)));
}

int ShellSetRowText(AppContext* context, int row, int column, const char* text) {
  LVITEMA item = {};
  item.iSubItem = column;
  item.pszText = const_cast<char*>(text);
  LRESULT done = SendMessageA(ListOf(context), LVM_SETITEMTEXTA, row,
                              reinterpret_cast<LPARAM>(&item));
  return done ? 0 : -1;
}

int ShellRowCount(AppContext* context) {
  return static_cast<int>(SendMessageA(ListOf(context), LVM_GETITEMCOUNT, 0, 0));
}

void ShellDeleteAllRows(AppContext* context) {
  SendMessageA(ListOf(context), LVM_DELETEALLITEMS, 0, 0);
}

void ShellSetProgressText(AppContext* context, const char* text) {
  SetDlgItemTextA(DialogOf(context), IDC_PROGRESS_TEXT, text);
}

void ShellPostProgressRange(AppContext* context, uint32_t high) {
  PostMessageA(GetDlgItem(DialogOf(context), IDC_PROGRESS_BAR), PBM_SETRANGE32, 0,
               static_cast<LPARAM>(high));
}

void ShellPostProgressPosition(AppContext* context, uint32_t position) {
  PostMessageA(GetDlgItem(DialogOf(context), IDC_PROGRESS_BAR), PBM_SETPOS,
               static_cast<WPARAM>(position), 0);
}

void ShellPostCommand(AppContext* context, int command) {
  PostMessageA(DialogOf(context), WM_COMMAND, static_cast<WPARAM>(command), 0);
}

void ShellSetDialogTitle(AppContext* context, const char* title) {
  SetWindowTextA(DialogOf(context), title);
}
