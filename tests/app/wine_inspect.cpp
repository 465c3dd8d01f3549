// The eyes of the window test, run beside zentrix.exe in its Wine session: it
// answers "windows" (the visible top-level windows), "children HWND" and "main"
// (the main window: title, buttons, focus, columns, rows) with a line of JSON.
// It only looks: every input comes from the X server, as a person's would.
#include <windows.h>
#include <commctrl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static std::string Quote(const char* text) {
  std::string out = "\"";
  for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, *p < 0x20 || *p >= 0x7F ? "\\u%04x"
                                      : *p == '"' || *p == '\\' ? "\\%c" : "%c", *p);
    out += escaped;
  }
  return out + "\"";
}

static std::string Bool(bool value) { return value ? "true" : "false"; }
static std::string Handle(HWND window) { return std::to_string((UINT_PTR)window); }

// In screen coordinates; a rectangle of a window's client area with client.
static std::string Rect(RECT r, HWND client = NULL) {
  if (client) MapWindowPoints(client, NULL, (POINT*)&r, 2);
  char text[64];
  snprintf(text, sizeof text, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
  return text;
}

// A list view fills its structures and their texts in its own process: data goes to a block
// of that process's memory, the text (with textField) at TEXT_AT, and is read back.
enum { TEXT_AT = 1024, TEXT_SIZE = 512 };

static void SendRemote(HWND window, UINT message, WPARAM wparam, void* data, size_t size,
                       char** textField = NULL, char* text = NULL) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                                   PROCESS_QUERY_INFORMATION, FALSE, pid);
  char* base =
      (char*)VirtualAllocEx(process, NULL, TEXT_AT + TEXT_SIZE, MEM_COMMIT, PAGE_READWRITE);
  if (base) {  // committed pages start zeroed: an empty text
    if (textField) *textField = base + TEXT_AT;
    WriteProcessMemory(process, base, data, size, NULL);
    SendMessageA(window, message, wparam, (LPARAM)base);
    ReadProcessMemory(process, base, data, size, NULL);
    if (text) ReadProcessMemory(process, base + TEXT_AT, text, TEXT_SIZE - 1, NULL);
    VirtualFreeEx(process, base, 0, MEM_RELEASE);
  }
  if (process) CloseHandle(process);
}

// The text that message puts in fields (a column, list item or tree item).
template <typename Fields>
static std::string TextOf(HWND list, UINT message, WPARAM wparam, Fields fields) {
  char text[TEXT_SIZE] = {};
  fields.cchTextMax = TEXT_SIZE - 1;
  SendRemote(list, message, wparam, &fields, sizeof fields, &fields.pszText, text);
  return Quote(text);
}

static std::string Window(HWND window) {
  if (!window) return "null";
  char className[128] = {}, text[512] = {};
  GetClassNameA(window, className, sizeof className);
  // WM_GETTEXT is carried across processes; GetWindowText would not ask.
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 2000, NULL);
  RECT rect;
  GetWindowRect(window, &rect);
  std::string root;
  if (strcmp(className, WC_TREEVIEWA) == 0) {  // and a tree view's first item
    TVITEMA item = {};
    item.mask = TVIF_TEXT, item.hItem = TreeView_GetRoot(window);
    root = ",\"root\":" + TextOf(window, TVM_GETITEMA, 0, item);
  }
  return "{\"hwnd\":" + Handle(window) + ",\"class\":" + Quote(className) + ",\"text\":" +
         Quote(text) + ",\"id\":" + std::to_string(GetDlgCtrlID(window)) + ",\"visible\":" +
         Bool(IsWindowVisible(window)) + ",\"enabled\":" + Bool(IsWindowEnabled(window)) +
         ",\"rect\":" + Rect(rect) + root + "}";
}

static BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
  std::string* out = (std::string*)list;
  if (IsWindowVisible(window)) *out += (out->size() > 1 ? "," : "") + Window(window);
  return TRUE;
}

// A part (LVIR_...) of a list row.
static std::string ItemRect(HWND list, WPARAM row, int part) {
  RECT rect = {part, 0, 0, 0};
  SendRemote(list, LVM_GETITEMRECT, row, &rect, sizeof rect);
  return Rect(rect, list);
}

static std::string DescribeMain() {
  HWND main = FindWindowA("ZENTRIX", NULL), list = FindWindowExA(main, NULL, WC_LISTVIEWA, NULL);
  if (!main) return "null";
  GUITHREADINFO thread = {};
  thread.cbSize = sizeof thread;
  GetGUIThreadInfo(GetWindowThreadProcessId(main, NULL), &thread);
  std::string out = Window(main);
  out.pop_back();
  out += ",\"open\":" + Window(GetDlgItem(main, 10)) + ",\"export\":" +
         Window(GetDlgItem(main, 11)) + ",\"list\":" + Window(list) + ",\"focus\":" +
         Handle(thread.hwndFocus) + ",\"hasMenu\":" + Bool(GetMenu(main)) + ",\"columns\":[";
  LVCOLUMNA column = {};
  column.mask = LVCF_TEXT;
  for (int index = 0; list && index < Header_GetItemCount(ListView_GetHeader(list)); index++)
    out += (index ? "," : "") + TextOf(list, LVM_GETCOLUMNA, index, column);
  out += "],\"rows\":[";
  for (int row = 0; list && row < ListView_GetItemCount(list); row++) {
    LVITEMA item = {};
    for (item.iSubItem = 0; item.iSubItem < 3; item.iSubItem++)
      out += (item.iSubItem ? "," : row ? ",{\"texts\":[" : "{\"texts\":[") +
             TextOf(list, LVM_GETITEMTEXTA, row, item);
    out += "],\"checked\":" + Bool(ListView_GetCheckState(list, row) == 1) + ",\"bounds\":" +
           ItemRect(list, row, LVIR_BOUNDS) + ",\"icon\":" + ItemRect(list, row, LVIR_ICON) +
           ",\"label\":" + ItemRect(list, row, LVIR_LABEL) + "}";
  }
  return out + "]}";
}

int main() {
  for (char line[256]; fgets(line, sizeof line, stdin);) {
    std::string answer = "[";
    if (strncmp(line, "main", 4) == 0) answer = DescribeMain();
    else if (strncmp(line, "windows", 7) == 0) EnumWindows(CollectWindow, (LPARAM)&answer);
    else EnumChildWindows((HWND)(UINT_PTR)strtoull(line + 9, NULL, 10), CollectWindow,
                          (LPARAM)&answer);  // "children HWND"
    printf("%s%s\n", answer.c_str(), answer[0] == '[' ? "]" : "");
    fflush(stdout);
  }
  return 0;
}
