// The main window: two buttons above the channel list, the menu and its
// accelerators, the About dialog, and the message loop that runs them.
#include <windows.h>
#include <commctrl.h>
#include <new>

#include "app/app.h"
#include "app/resource.h"

HINSTANCE appInstance;
char appTitle[100];
char appClassName[100];

enum {
  BUTTON_WIDTH = 100,
  BUTTON_HEIGHT = 30,
  CONTROL_STYLE = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_TABSTOP,
  MAIN_WINDOW_STYLE = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_CLIPSIBLINGS
};

static AppContext* WindowContext(HWND window) {
  return reinterpret_cast<AppContext*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState) {
  (void)previous;
  (void)commandLine;
  LoadStringA(instance, IDS_APP_TITLE, appTitle, sizeof appTitle);
  LoadStringA(instance, IDS_WINDOW_CLASS, appClassName, sizeof appClassName);
  RegisterMainWindowClass(instance);
  if (!CreateMainWindow(instance, showState))
    return 0;

  HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDA_MAIN_ACCEL));
  MSG message;
  while (GetMessageA(&message, NULL, 0, 0) > 0) {
    // Offered to the window the message is addressed to: Alt+'?' reaches the
    // About command only while the main window itself has the focus.
    if (!TranslateAcceleratorA(message.hwnd, accelerators, &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  return static_cast<int>(message.wParam);
}

ATOM RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_ZENTRIX));
  windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszMenuName = MAKEINTRESOURCEA(IDM_MAIN_MENU);
  windowClass.lpszClassName = appClassName;
  windowClass.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_ZENTRIX));
  return RegisterClassExA(&windowClass);
}

int CreateMainWindow(HINSTANCE instance, int showState) {
  appInstance = instance;
  HWND window = CreateWindowExA(0, appClassName, appTitle, MAIN_WINDOW_STYLE,
                                CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                NULL, NULL, instance, NULL);
  if (!window)
    return 0;
  ShowWindow(window, showState);
  UpdateWindow(window);
  return 1;
}

static void ShowAboutDialog(HWND window) {
  DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_ABOUT), window, AboutDialogProc, 0);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  AppContext* context = WindowContext(window);
  switch (message) {
    case WM_CREATE:
      return CreateMainControls(window) < 0 ? -1 : 0;

    case WM_DESTROY:
      DestroyMainControls(window, context);
      PostQuitMessage(0);
      return 0;

    case WM_MOVE:
    case WM_SIZE:
      LayoutMainWindow(window, context);
      return 0;

    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }

    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_OPEN_BUTTON:   OpenCommand(window, context);   return 0;
        case IDC_EXPORT_BUTTON: ExportCommand(window, context); return 0;
        case IDM_ABOUT:         ShowAboutDialog(window);        return 0;
        case IDM_EXIT:          DestroyWindow(window);          return 0;
      }
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

static HWND CreateChild(HWND parent, const char* className, const char* text, DWORD style,
                        int id) {
  return CreateWindowExA(0, className, text, style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), appInstance, NULL);
}

static void InsertColumn(HWND list, int index, int width, const char* header) {
  LVCOLUMNA column = {};
  column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
  column.fmt = LVCFMT_LEFT;
  column.cx = width;
  column.pszText = const_cast<char*>(header);
  SendMessageA(list, LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&column));
}

int CreateMainControls(HWND window) {
  AppContext* context = new (std::nothrow) AppContext();
  if (!context)
    return -1;
  InitCommonControlClasses();

  HWND openButton = CreateChild(window, "Button", "&Open", CONTROL_STYLE | BS_PUSHBUTTON,
                                IDC_OPEN_BUTTON);
  if (!openButton) {
    delete context;
    return -2;
  }
  HWND exportButton = CreateChild(window, "Button", "&Export", CONTROL_STYLE | BS_PUSHBUTTON,
                                  IDC_EXPORT_BUTTON);
  if (!exportButton) {
    DestroyWindow(openButton);
    delete context;
    return -3;
  }
  HWND list = CreateChild(window, WC_LISTVIEWA, "", CONTROL_STYLE | LVS_REPORT, 0);
  if (!list) {
    DestroyWindow(openButton);
    DestroyWindow(exportButton);
    delete context;
    return -4;
  }
  context->openButton = openButton;
  context->exportButton = exportButton;
  context->listView = list;

  LRESULT extended = SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
  extended |= LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_DOUBLEBUFFER;
  SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, extended);

  InsertColumn(list, 0, 200, "Channel No.");
  InsertColumn(list, 1, 300, "First date/time");
  InsertColumn(list, 2, 300, "Last date/time");

  HIMAGELIST images = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 1);
  if (images) {
    // The 16-pixel image of the icon, not the 32-pixel one scaled down.
    HICON icon = static_cast<HICON>(LoadImageA(appInstance, MAKEINTRESOURCEA(IDI_ZENTRIX),
                                               IMAGE_ICON, 16, 16, 0));
    if (icon) {
      ImageList_ReplaceIcon(images, -1, icon);
      DestroyIcon(icon);
    }
    SendMessageA(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
  }
  context->imageList = images;

  EnableWindow(exportButton, FALSE);
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(context));
  return 0;
}

int DestroyMainControls(HWND window, AppContext* context) {
  if (!context)
    return 0;
  SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  DestroyWindow(static_cast<HWND>(context->openButton));
  DestroyWindow(static_cast<HWND>(context->exportButton));
  // The list releases the image lists it holds when it is destroyed; take
  // ours back first so that it is released here, exactly once.
  if (context->imageList)
    SendMessageA(static_cast<HWND>(context->listView), LVM_SETIMAGELIST, LVSIL_SMALL, 0);
  DestroyWindow(static_cast<HWND>(context->listView));
  if (context->imageList)
    ImageList_Destroy(static_cast<HIMAGELIST>(context->imageList));
  delete context;
  return 0;
}

int LayoutMainWindow(HWND window, AppContext* context) {
  if (!context)  // WM_SIZE and WM_MOVE arrive during creation, before the controls
    return 0;
  RECT client;
  RECT place;
  GetClientRect(window, &client);

  CopyRect(&place, &client);
  MoveWindow(static_cast<HWND>(context->openButton), place.left, place.top,
             BUTTON_WIDTH, BUTTON_HEIGHT, TRUE);

  CopyRect(&place, &client);
  OffsetRect(&place, BUTTON_WIDTH, 0);
  MoveWindow(static_cast<HWND>(context->exportButton), place.left, place.top,
             BUTTON_WIDTH, BUTTON_HEIGHT, TRUE);

  CopyRect(&place, &client);
  MoveWindow(static_cast<HWND>(context->listView), place.left, place.top + BUTTON_HEIGHT,
             place.right - place.left, place.bottom - place.top - BUTTON_HEIGHT, TRUE);
  return 0;
}

void InitCommonControlClasses(void) {
  static const DWORD GROUPS[] = {
    ICC_ANIMATE_CLASS, ICC_BAR_CLASSES, ICC_COOL_CLASSES, ICC_DATE_CLASSES,
    ICC_HOTKEY_CLASS, ICC_INTERNET_CLASSES, ICC_LISTVIEW_CLASSES, ICC_PAGESCROLLER_CLASS,
    ICC_PROGRESS_CLASS, ICC_TAB_CLASSES, ICC_TREEVIEW_CLASSES, ICC_UPDOWN_CLASS,
    ICC_USEREX_CLASSES, ICC_WIN95_CLASSES
  };
  InitCommonControls();
  for (DWORD group : GROUPS) {
    INITCOMMONCONTROLSEX request;
    request.dwSize = sizeof request;
    request.dwICC = group;
    InitCommonControlsEx(&request);
  }
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      break;
  }
  return FALSE;
}
