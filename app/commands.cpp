// The Open and Export commands behind the main window's two buttons, with
// the file chooser, the folder chooser and the ticked-rows mask they use.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <io.h>
#include <shlobj.h>
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "app/resource.h"

#ifndef OPENFILENAME_SIZE_VERSION_400A
#define OPENFILENAME_SIZE_VERSION_400A 76
#endif

enum {
  FOLDER_MY_DOCUMENTS = 0x000C,  // the documents folder as the desktop shows it
  FOLDER_PERSONAL = 0x0005,      // the documents folder in the file system
  STATE_IMAGE_TICKED = 2
};

static void ShowError(HWND owner, const char* text) {
  MessageBoxA(owner, text, "Error", MB_OK | MB_ICONERROR);
}

int ChooseRecordingFile(HWND owner, AppContext* context) {
  char fileTitle[PATH_SIZE] = {};
  OPENFILENAMEA request;
  memset(&request, 0, sizeof request);
  // The size without the fields later platform versions added.
  request.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  request.hwndOwner = owner;
  request.lpstrFilter = "data file (*.*)\0*.*\0";
  request.lpstrFile = context->recordingPath;
  request.nMaxFile = PATH_SIZE;
  request.lpstrFileTitle = fileTitle;
  request.nMaxFileTitle = PATH_SIZE;
  request.lpstrTitle = "Choose a data file...";
  request.lpstrDefExt = "";
  request.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_SHAREAWARE | OFN_EXPLORER |
                  OFN_ENABLESIZING;
  return GetOpenFileNameA(&request) ? 0 : -1;
}

int OpenCommand(HWND window, AppContext* context) {
  if (ChooseRecordingFile(window, context) < 0)
    return -1;
  if (context->recordingPath[0] == '\0' || _access(context->recordingPath, 0) != 0) {
    ShowError(window, "File not exist.");
    return -2;
  }
  char title[sizeof "zentrix - " + PATH_SIZE];
  snprintf(title, sizeof title, "%s - %s", appTitle, context->recordingPath);
  SetWindowTextA(window, title);

  INT_PTR result = DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_PROGRESS), window,
                                   ReadingDialogProc, reinterpret_cast<LPARAM>(context));
  // DialogBoxParamA gives -1 when the dialog could not be made, 0 when it
  // had no parent window; neither is a run.
  if (result <= 0) {
    SetWindowTextA(window, appTitle);
    return -3;
  }
  return 0;
}

int CollectChannelMask(AppContext* context) {
  HWND list = static_cast<HWND>(context->listView);
  ChannelMask mask = 0;
  int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < rows; row++) {
    UINT state = static_cast<UINT>(SendMessageA(list, LVM_GETITEMSTATE, row,
                                                LVIS_STATEIMAGEMASK));
    if (((state & LVIS_STATEIMAGEMASK) >> 12) != STATE_IMAGE_TICKED)
      continue;
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    item.iSubItem = 0;
    if (!SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item)))
      continue;
    // Item data is a 0-based channel number; anything else selects nothing.
    if (item.lParam >= 0 && item.lParam < CHANNEL_COUNT)
      mask |= ChannelMask(1) << item.lParam;
  }
  context->channelMask = mask;
  return 0;
}

int ChooseOutputFolder(HWND owner, AppContext* context) {
  // Folder 12 is refused by newer systems (and by Wine); the file-system
  // documents folder is the same place, and the whole desktop the last resort.
  LPITEMIDLIST root = NULL;
  if (FAILED(SHGetSpecialFolderLocation(owner, FOLDER_MY_DOCUMENTS, &root)) &&
      FAILED(SHGetSpecialFolderLocation(owner, FOLDER_PERSONAL, &root)))
    root = NULL;

  char path[PATH_SIZE] = {};
  BROWSEINFOA request;
  memset(&request, 0, sizeof request);
  request.hwndOwner = owner;
  request.pidlRoot = root;
  request.pszDisplayName = path;
  request.lpszTitle = "Select folder to save AVI files...";
  request.ulFlags = BIF_VALIDATE | BIF_NEWDIALOGSTYLE;
  request.lpfn = NULL;
  request.lParam = 0;

  // The new dialog style needs COM on this thread.
  HRESULT com = OleInitialize(NULL);
  LPITEMIDLIST chosen = SHBrowseForFolderA(&request);
  int result = -1;
  if (chosen && SHGetPathFromIDListA(chosen, path) && path[0] != '\0') {
    memcpy(context->outputFolder, path, sizeof path);
    result = 0;
  }
  if (chosen)
    CoTaskMemFree(chosen);
  if (root)
    CoTaskMemFree(root);
  if (SUCCEEDED(com))
    OleUninitialize();
  return result;
}

int ExportCommand(HWND window, AppContext* context) {
  CollectChannelMask(context);
  if (context->channelMask == 0) {
    ShowError(window, "Check at least an item to export as AVI from the list.");
    return -1;
  }
  if (ChooseOutputFolder(window, context) < 0)
    return -2;
  INT_PTR result = DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_PROGRESS), window,
                                   ExportingDialogProc, reinterpret_cast<LPARAM>(context));
  return result <= 0 ? -3 : 0;
}
