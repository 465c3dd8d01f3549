// The eyes of the window test: a Win32 console program that runs next to
// zentrix.exe in the same Wine session and reports what the windows show. It
// reads one command a line and answers each with one line of JSON:
//   windows          visible top-level windows: class, title, rectangle, ...
//   children HWND    every descendant of a window, the same way
//   main             the main window: title, buttons, focus, columns, rows
//   tree HWND        the visible items of a tree view: text and place
//   dialog ID PATH   the controls of dialog template ID in the program at
//                    PATH as built: id, class, style, rectangle in dialog units
// It only looks: every input comes from the X server, as a person's would.
#include <windows.h>
#include <commctrl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static std::string Quote(const char* text) {
  std::string out = "\"";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, *p < 0x20 || *p >= 0x7F ? "\\u%04x"
                                      : *p == '"' || *p == '\\' ? "\\%c" : "%c", *p);
    out += escaped;
  }
  return out + "\"";
}

static std::string Bool(bool value) { return value ? "true" : "false"; }

static std::string Handle(HWND window) {
  return std::to_string(reinterpret_cast<UINT_PTR>(window));
}

// In screen coordinates; a rectangle of a window's client area with client.
static std::string Rect(RECT r, HWND client = NULL) {
  if (client) MapWindowPoints(client, NULL, reinterpret_cast<POINT*>(&r), 2);
  char text[64];
  snprintf(text, sizeof text, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
  return text;
}

static std::string Window(HWND window) {
  if (!window) return "null";
  char className[128] = {}, text[512] = {};
  GetClassNameA(window, className, sizeof className);
  // WM_GETTEXT is carried across processes; GetWindowText would not ask.
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 2000, NULL);
  RECT rect;
  GetWindowRect(window, &rect);
  return "{\"hwnd\":" + Handle(window) + ",\"class\":" + Quote(className) +
         ",\"text\":" + Quote(text) + ",\"id\":" + std::to_string(GetDlgCtrlID(window)) +
         ",\"visible\":" + Bool(IsWindowVisible(window)) +
         ",\"enabled\":" + Bool(IsWindowEnabled(window)) + ",\"rect\":" + Rect(rect) + "}";
}

static BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
  std::string* out = reinterpret_cast<std::string*>(list);
  if (IsWindowVisible(window)) *out += (out->size() > 1 ? "," : "") + Window(window);
  return TRUE;
}

// List and tree views fill their structures, and the texts those point to, in
// their own process: data goes to a fresh block of that process's memory, the
// text buffer (with textField) at TEXT_AT, and is read back after the message.
enum { TEXT_AT = 1024, TEXT_SIZE = 512 };

static LRESULT SendRemote(HWND window, UINT message, WPARAM wparam, void* data, size_t size,
                          char** textField = NULL, char* text = NULL) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                                   PROCESS_QUERY_INFORMATION, FALSE, pid);
  char* base = static_cast<char*>(
      VirtualAllocEx(process, NULL, TEXT_AT + TEXT_SIZE, MEM_COMMIT, PAGE_READWRITE));
  LRESULT result = 0;
  if (base) {  // committed pages start zeroed: an empty text
    if (textField) *textField = base + TEXT_AT;
    WriteProcessMemory(process, base, data, size, NULL);
    result = SendMessageA(window, message, wparam, reinterpret_cast<LPARAM>(base));
    ReadProcessMemory(process, base, data, size, NULL);
    if (text) ReadProcessMemory(process, base + TEXT_AT, text, TEXT_SIZE - 1, NULL);
    VirtualFreeEx(process, base, 0, MEM_RELEASE);
  }
  if (process) CloseHandle(process);
  return result;
}

// The text that message puts in fields (a column, list item or tree item).
template <typename Fields>
static std::string TextOf(HWND window, UINT message, WPARAM wparam, Fields fields) {
  char text[TEXT_SIZE] = {};
  fields.cchTextMax = TEXT_SIZE - 1;
  SendRemote(window, message, wparam, &fields, sizeof fields, &fields.pszText, text);
  return Quote(text);
}

static std::string ItemRect(HWND list, int row, int part) {
  RECT rect = {part, 0, 0, 0};
  SendRemote(list, LVM_GETITEMRECT, row, &rect, sizeof rect);
  return Rect(rect, list);
}

static std::string DescribeMain() {
  HWND main = FindWindowA("ZENTRIX", NULL);
  if (!main) return "null";
  HWND list = FindWindowExA(main, NULL, WC_LISTVIEWA, NULL);
  GUITHREADINFO thread = {};
  thread.cbSize = sizeof thread;
  GetGUIThreadInfo(GetWindowThreadProcessId(main, NULL), &thread);
  std::string out = Window(main);
  out.pop_back();
  out += ",\"open\":" + Window(GetDlgItem(main, 10)) + ",\"export\":" +
         Window(GetDlgItem(main, 11)) + ",\"list\":" + Window(list) +
         ",\"focus\":" + Handle(thread.hwndFocus) + ",\"hasMenu\":" + Bool(GetMenu(main));
  if (!list) return out + "}";
  out += ",\"columns\":[";
  LVCOLUMNA column = {};
  column.mask = LVCF_TEXT;
  for (int index = 0; index < Header_GetItemCount(ListView_GetHeader(list)); index++) {
    out += (index ? "," : "") + TextOf(list, LVM_GETCOLUMNA, index, column);
  }
  out += "],\"rows\":[";
  for (int row = 0; row < ListView_GetItemCount(list); row++) {
    LVITEMA item = {};
    for (item.iSubItem = 0; item.iSubItem < 3; item.iSubItem++) {
      out += (item.iSubItem ? "," : row ? ",{\"texts\":[" : "{\"texts\":[") +
             TextOf(list, LVM_GETITEMTEXTA, row, item);
    }
    out += "],\"checked\":" + Bool(ListView_GetCheckState(list, row) == 1) +
           ",\"bounds\":" + ItemRect(list, row, LVIR_BOUNDS) +
           ",\"icon\":" + ItemRect(list, row, LVIR_ICON) +
           ",\"label\":" + ItemRect(list, row, LVIR_LABEL) + "}";
  }
  return out + "]}";
}

static std::string DescribeTree(HWND tree) {
  if (!IsWindow(tree)) return "null";
  std::string out = "[";
  TVITEMA fields = {};
  fields.mask = TVIF_TEXT;
  for (HTREEITEM item = TreeView_GetFirstVisible(tree); item;
       item = TreeView_GetNextVisible(tree, item)) {
    fields.hItem = item;
    RECT rect = {};  // TVM_GETITEMRECT takes the item in the rectangle's first field
    *reinterpret_cast<HTREEITEM*>(&rect) = item;
    SendRemote(tree, TVM_GETITEMRECT, TRUE, &rect, sizeof rect);
    out += (out.size() > 1 ? ",{\"text\":" : "{\"text\":") +
           TextOf(tree, TVM_GETITEMA, 0, fields) + ",\"rect\":" + Rect(rect, tree) + "}";
  }
  return out + "]";
}

// A name or ordinal field of a dialog template; ordinals of the predefined
// control classes are given by their names.
static std::string NameOrOrdinal(const WORD*& p) {
  if (*p == 0) return p++, "\"\"";
  if (*p == 0xFFFF) {
    static const char* const classes[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar",
                                          "ComboBox"};
    WORD ordinal = p[1];
    p += 2;
    return ordinal >= 0x80 && ordinal <= 0x85 ? Quote(classes[ordinal - 0x80])
                                              : "\"#" + std::to_string(ordinal) + "\"";
  }
  char text[256];
  WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(p), -1, text, sizeof text, NULL, NULL);
  p += lstrlenW(reinterpret_cast<LPCWSTR>(p)) + 1;
  return Quote(text);
}

// Reads the extended dialog template (DLGTEMPLATEEX) from the program's
// resources, as the dialog manager would find it.
static std::string DescribeTemplate(int id, const char* path) {
  HMODULE module = LoadLibraryExA(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
  HRSRC found = module ? FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5)) : NULL;
  const WORD* p = found ? static_cast<const WORD*>(LockResource(LoadResource(module, found)))
                        : NULL;
  if (!p || p[0] != 1 || p[1] != 0xFFFF) {
    if (module) FreeLibrary(module);
    return "null";
  }
  DWORD style;
  memcpy(&style, p + 6, sizeof style);
  int count = p[8];
  p += 13;  // version, signature, help id, extended style, style, count, rectangle
  NameOrOrdinal(p), NameOrOrdinal(p), NameOrOrdinal(p);  // menu, class, title
  if (style & DS_SETFONT) p += 3, NameOrOrdinal(p);      // size, weight, italic, typeface
  std::string out = "[";
  for (int item = 0; item < count; item++) {
    p = reinterpret_cast<const WORD*>((reinterpret_cast<UINT_PTR>(p) + 3) & ~UINT_PTR(3));
    DWORD fields[3], control;  // help id, extended style, style
    short rect[4];
    memcpy(fields, p, sizeof fields);
    memcpy(rect, p + 6, sizeof rect);
    memcpy(&control, p + 10, sizeof control);
    p += 12;
    std::string cls = NameOrOrdinal(p);
    NameOrOrdinal(p);  // title
    p += 1 + (*p + 1) / 2;  // creation data
    char text[96];
    snprintf(text, sizeof text, ",\"style\":%lu,\"rect\":[%d,%d,%d,%d]}",
             static_cast<unsigned long>(fields[2]), rect[0], rect[1], rect[2], rect[3]);
    out += (item ? ",{\"id\":" : "{\"id\":") + std::to_string(static_cast<int>(control)) +
           ",\"class\":" + cls + text;
  }
  FreeLibrary(module);
  return out + "]";
}

int main() {
  char line[256];
  while (fgets(line, sizeof line, stdin) && strncmp(line, "quit", 4) != 0) {
    line[strcspn(line, "\r\n")] = '\0';
    const char* space = strchr(line, ' ');
    HWND window = reinterpret_cast<HWND>(
        static_cast<UINT_PTR>(space ? strtoull(space + 1, NULL, 10) : 0));
    std::string answer = "[";
    if (strcmp(line, "windows") == 0)
      EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&answer)), answer += "]";
    else if (strncmp(line, "children ", 9) == 0)
      EnumChildWindows(window, CollectWindow, reinterpret_cast<LPARAM>(&answer)), answer += "]";
    else if (strcmp(line, "main") == 0)
      answer = DescribeMain();
    else if (strncmp(line, "tree ", 5) == 0)
      answer = DescribeTree(window);
    else if (strncmp(line, "dialog ", 7) == 0 && strchr(space + 1, ' '))
      answer = DescribeTemplate(atoi(space + 1), strchr(space + 1, ' ') + 1);
    else
      answer = "{\"error\":" + Quote(line) + "}";
    printf("%s\n", answer.c_str());
    fflush(stdout);
  }
  return 0;
}
