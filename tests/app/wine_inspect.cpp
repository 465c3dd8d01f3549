// The eyes of the window test: a Win32 console program that runs next to
// zentrix.exe in the same Wine session and reports what the windows show.
// It reads one command a line on standard input and answers each with one
// line of JSON on standard output:
//   windows            visible top-level windows: class, title, rectangle
//   children HWND      every descendant of a window: class, id, text, state
//   main               the main window: title, buttons, columns, rows
//   progress HWND      a progress bar's range and position
//   tree HWND          the visible items of a tree view: text, selection, place
// It only looks: every input comes from the X server, as a person's would.
// List view texts live in the other process, so they are read through a
// block of that process's memory.
#include <windows.h>
#include <commctrl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static std::string Quote(const char* text) {
  std::string out = "\"";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
    if (*p == '"' || *p == '\\') {
      out += '\\';
      out += static_cast<char>(*p);
    } else if (*p < 0x20 || *p >= 0x7F) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", *p);
      out += escape;
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out + "\"";
}

static std::string Number(long long value) {
  return std::to_string(value);
}

static std::string Rect(const RECT& r) {
  return "[" + Number(r.left) + "," + Number(r.top) + "," + Number(r.right) + "," +
         Number(r.bottom) + "]";
}

static std::string Handle(HWND window) {
  return Number(static_cast<long long>(reinterpret_cast<UINT_PTR>(window)));
}

static std::string WindowFields(HWND window) {
  char className[128] = {};
  char text[512] = {};
  GetClassNameA(window, className, sizeof className);
  // WM_GETTEXT is carried across processes; GetWindowText would not ask.
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 2000, NULL);
  RECT rect;
  GetWindowRect(window, &rect);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return "\"hwnd\":" + Handle(window) + ",\"class\":" + Quote(className) +
         ",\"text\":" + Quote(text) + ",\"id\":" + Number(GetDlgCtrlID(window)) +
         ",\"visible\":" + (IsWindowVisible(window) ? "true" : "false") +
         ",\"enabled\":" + (IsWindowEnabled(window) ? "true" : "false") +
         ",\"style\":" + Number(static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE))) +
         ",\"pid\":" + Number(pid) + ",\"rect\":" + Rect(rect);
}

static BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
  std::string* out = reinterpret_cast<std::string*>(list);
  if (!IsWindowVisible(window))
    return TRUE;
  if (out->size() > 1)
    *out += ",";
  *out += "{" + WindowFields(window) + "}";
  return TRUE;
}

static std::string ListWindows() {
  std::string out = "[";
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&out));
  return out + "]";
}

static std::string ListChildren(HWND parent) {
  std::string out = "[";
  EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&out));
  return out + "]";
}

// A block of memory in the process that owns a window.
struct Remote {
  HANDLE process;
  char* base;
};

enum { REMOTE_SIZE = 8192, REMOTE_TEXT = 1024, TEXT_SIZE = 512 };

static bool RemoteOpen(HWND window, Remote* remote) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  remote->process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                                    PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (!remote->process)
    return false;
  remote->base = static_cast<char*>(VirtualAllocEx(remote->process, NULL, REMOTE_SIZE,
                                                   MEM_COMMIT, PAGE_READWRITE));
  return remote->base != NULL;
}

static void RemoteClose(Remote* remote) {
  if (remote->base)
    VirtualFreeEx(remote->process, remote->base, 0, MEM_RELEASE);
  if (remote->process)
    CloseHandle(remote->process);
}

static bool RemoteWrite(Remote* remote, size_t offset, const void* data, size_t size) {
  return WriteProcessMemory(remote->process, remote->base + offset, data, size, NULL);
}

static bool RemoteRead(Remote* remote, size_t offset, void* data, size_t size) {
  return ReadProcessMemory(remote->process, remote->base + offset, data, size, NULL);
}

static std::string ItemText(Remote* remote, HWND list, int row, int column) {
  LVITEMA item = {};
  item.iSubItem = column;
  item.pszText = remote->base + REMOTE_TEXT;
  item.cchTextMax = TEXT_SIZE;
  char text[TEXT_SIZE] = {};
  RemoteWrite(remote, REMOTE_TEXT, text, sizeof text);
  RemoteWrite(remote, 0, &item, sizeof item);
  SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(remote->base));
  RemoteRead(remote, REMOTE_TEXT, text, sizeof text - 1);
  return Quote(text);
}

static std::string ColumnText(Remote* remote, HWND list, int index, int* width) {
  LVCOLUMNA column = {};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
  column.pszText = remote->base + REMOTE_TEXT;
  column.cchTextMax = TEXT_SIZE;
  char text[TEXT_SIZE] = {};
  RemoteWrite(remote, REMOTE_TEXT, text, sizeof text);
  RemoteWrite(remote, 0, &column, sizeof column);
  if (!SendMessageA(list, LVM_GETCOLUMNA, index, reinterpret_cast<LPARAM>(remote->base)))
    return "";
  RemoteRead(remote, 0, &column, sizeof column);
  RemoteRead(remote, REMOTE_TEXT, text, sizeof text - 1);
  *width = column.cx;
  return Quote(text);
}

static RECT ItemRect(Remote* remote, HWND list, int row, int part) {
  RECT rect = {};
  rect.left = part;
  RemoteWrite(remote, 0, &rect, sizeof rect);
  SendMessageA(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(remote->base));
  RemoteRead(remote, 0, &rect, sizeof rect);
  // Client to screen coordinates.
  MapWindowPoints(list, NULL, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

static std::string Control(HWND control) {
  if (!control)
    return "null";
  return "{" + WindowFields(control) + "}";
}

static std::string DescribeMain() {
  HWND main = FindWindowA("ZENTRIX", NULL);
  if (!main)
    return "null";
  HWND list = FindWindowExA(main, NULL, WC_LISTVIEWA, NULL);
  RECT client;
  GetClientRect(main, &client);
  MapWindowPoints(main, NULL, reinterpret_cast<POINT*>(&client), 2);
  std::string out = "{" + WindowFields(main) + ",\"client\":" + Rect(client) +
                    ",\"open\":" + Control(GetDlgItem(main, 10)) +
                    ",\"export\":" + Control(GetDlgItem(main, 11)) +
                    ",\"list\":" + Control(list);
  GUITHREADINFO thread = {};
  thread.cbSize = sizeof thread;
  GetGUIThreadInfo(GetWindowThreadProcessId(main, NULL), &thread);
  out += ",\"focus\":" + Handle(thread.hwndFocus) + ",\"active\":" + Handle(thread.hwndActive);
  HMENU menu = GetMenu(main);
  out += ",\"hasMenu\":" + std::string(menu ? "true" : "false");
  if (list) {
    out += ",\"extendedStyle\":" +
           Number(SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
    out += ",\"hasImageList\":" +
           std::string(SendMessageA(list, LVM_GETIMAGELIST, LVSIL_SMALL, 0) ? "true" : "false");
    Remote remote = {};
    if (RemoteOpen(list, &remote)) {
      out += ",\"columns\":[";
      for (int index = 0;; index++) {
        int width = 0;
        std::string text = ColumnText(&remote, list, index, &width);
        if (text.empty())
          break;
        out += std::string(index ? "," : "") + "{\"text\":" + text + ",\"width\":" +
               Number(width) + "}";
      }
      out += "],\"rows\":[";
      int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
      for (int row = 0; row < rows; row++) {
        UINT state = static_cast<UINT>(
            SendMessageA(list, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK));
        LVITEMA item = {};
        item.mask = LVIF_PARAM | LVIF_IMAGE;
        item.iItem = row;
        RemoteWrite(&remote, 0, &item, sizeof item);
        SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote.base));
        RemoteRead(&remote, 0, &item, sizeof item);
        out += std::string(row ? "," : "") + "{\"texts\":[" + ItemText(&remote, list, row, 0) +
               "," + ItemText(&remote, list, row, 1) + "," + ItemText(&remote, list, row, 2) +
               "],\"checked\":" + ((state >> 12) == 2 ? "true" : "false") +
               ",\"stateImage\":" + Number(state >> 12) +
               ",\"itemData\":" + Number(item.lParam) + ",\"image\":" + Number(item.iImage) +
               ",\"bounds\":" + Rect(ItemRect(&remote, list, row, LVIR_BOUNDS)) +
               ",\"icon\":" + Rect(ItemRect(&remote, list, row, LVIR_ICON)) +
               ",\"label\":" + Rect(ItemRect(&remote, list, row, LVIR_LABEL)) + "}";
      }
      out += "]";
      RemoteClose(&remote);
    }
  }
  return out + "}";
}

static std::string DescribeProgress(HWND bar) {
  if (!IsWindow(bar))
    return "null";
  LRESULT position = SendMessageA(bar, PBM_GETPOS, 0, 0);
  LRESULT low = SendMessageA(bar, PBM_GETRANGE, TRUE, 0);
  LRESULT high = SendMessageA(bar, PBM_GETRANGE, FALSE, 0);
  return "{\"position\":" + Number(static_cast<long long>(static_cast<UINT>(position))) +
         ",\"low\":" + Number(static_cast<long long>(static_cast<UINT>(low))) +
         ",\"high\":" + Number(static_cast<long long>(static_cast<UINT>(high))) + "}";
}

static std::string DescribeTree(HWND tree) {
  Remote remote = {};
  if (!IsWindow(tree) || !RemoteOpen(tree, &remote))
    return "null";
  std::string out = "[";
  HTREEITEM item = reinterpret_cast<HTREEITEM>(
      SendMessageA(tree, TVM_GETNEXTITEM, TVGN_FIRSTVISIBLE, 0));
  for (int index = 0; item && index < 200; index++) {
    TVITEMA fields = {};
    fields.mask = TVIF_TEXT | TVIF_STATE;
    fields.hItem = item;
    fields.stateMask = TVIS_SELECTED | TVIS_EXPANDED;
    fields.pszText = remote.base + REMOTE_TEXT;
    fields.cchTextMax = TEXT_SIZE;
    char text[TEXT_SIZE] = {};
    RemoteWrite(&remote, REMOTE_TEXT, text, sizeof text);
    RemoteWrite(&remote, 0, &fields, sizeof fields);
    SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote.base));
    RemoteRead(&remote, 0, &fields, sizeof fields);
    RemoteRead(&remote, REMOTE_TEXT, text, sizeof text - 1);
    // TVM_GETITEMRECT takes the item in the rectangle's first field.
    RECT rect = {};
    *reinterpret_cast<HTREEITEM*>(&rect) = item;
    RemoteWrite(&remote, 0, &rect, sizeof rect);
    SendMessageA(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(remote.base));
    RemoteRead(&remote, 0, &rect, sizeof rect);
    MapWindowPoints(tree, NULL, reinterpret_cast<POINT*>(&rect), 2);
    out += std::string(index ? "," : "") + "{\"text\":" + Quote(text) +
           ",\"selected\":" + ((fields.state & TVIS_SELECTED) ? "true" : "false") +
           ",\"rect\":" + Rect(rect) + "}";
    item = reinterpret_cast<HTREEITEM>(
        SendMessageA(tree, TVM_GETNEXTITEM, TVGN_NEXTVISIBLE, reinterpret_cast<LPARAM>(item)));
  }
  RemoteClose(&remote);
  return out + "]";
}

static HWND ParseHandle(const char* text) {
  return reinterpret_cast<HWND>(static_cast<UINT_PTR>(strtoull(text, NULL, 10)));
}

int main() {
  char line[256];
  while (fgets(line, sizeof line, stdin)) {
    line[strcspn(line, "\r\n")] = '\0';
    std::string answer;
    if (strcmp(line, "windows") == 0)
      answer = ListWindows();
    else if (strncmp(line, "children ", 9) == 0)
      answer = ListChildren(ParseHandle(line + 9));
    else if (strcmp(line, "main") == 0)
      answer = DescribeMain();
    else if (strncmp(line, "progress ", 9) == 0)
      answer = DescribeProgress(ParseHandle(line + 9));
    else if (strncmp(line, "tree ", 5) == 0)
      answer = DescribeTree(ParseHandle(line + 5));
    else if (strcmp(line, "quit") == 0)
      break;
    else
      answer = "{\"error\":" + Quote(line) + "}";
    fputs(answer.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
  }
  return 0;
}
