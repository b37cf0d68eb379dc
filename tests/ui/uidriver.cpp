// Drives the launcher's windows from inside Wine: finds top-level windows by
// class, title and process, reads them and posts messages to them. Every
// answer is one JSON object per line on stdout, for the Python tests.
//
//   uidriver start "COMMAND LINE"        starts it; {"pid":N}, then {"exit":N} when it ends
//   uidriver wait SEL STATE TIMEOUT_MS   STATE: exists|visible|hidden|gone|marquee|position|
//                                        position:LOW-HIGH (the bar shows LOW to HIGH)
//   uidriver dump SEL                    the window, then one line per child window
//   uidriver watch-bar SEL TIMEOUT_MS    each new state of the progress bar until the window
//                                        is gone
//   uidriver press-ok SEL TIMEOUT_MS     waits for a message box, prints its text, clicks OK
//   uidriver cancel|close|wm-close|esc SEL
//                                        WM_COMMAND IDCANCEL, WM_SYSCOMMAND SC_CLOSE (what the
//                                        caption's close button sends), WM_CLOSE, Esc key
//   uidriver dlu X Y W H                 pixel rectangle of dialog units, "MS Shell Dlg" 8 pt
//   uidriver template EXE ID             a DIALOGEX resource (US English) as stored, then each
//                                        control's style once the dialog manager created it
//   uidriver message-text ID             the system's message text for an id or HRESULT
//   uidriver os-version                  "%d.%d" of GetVersionExW, as the error page sends it
//   uidriver kill PID                    ends a program that a test started and left behind
//
// SEL is three arguments: CLASS TITLE PID. TITLE "*" matches any title, PID 0
// any process. Exit status: 0 done, 1 timed out or not found, 2 bad usage.
// Waits are bounded polls; no command sleeps for a fixed time.
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/tools/json_quote.h"

#ifndef PBS_MARQUEE
#define PBS_MARQUEE 0x08
#endif

namespace {

const DWORD kPollMs = 2;
const UINT kReplyMs = 5000;  // answer time allowed to the program's UI thread

// --- output ---

class Line {
 public:
  Line& Raw(const char* key, const std::string& value) {
    body_ += (body_.empty() ? "{\"" : ",\"") + std::string(key) + "\":" + value;
    return *this;
  }
  Line& Num(const char* key, long long value) { return Raw(key, std::to_string(value)); }
  Line& Bool(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
  Line& Str(const char* key, const std::wstring& value) { return Raw(key, JsonQuote(value)); }
  Line& Rect(const char* key, const RECT& r) {
    return Raw(key, "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                        std::to_string(r.right) + "," + std::to_string(r.bottom) + "]");
  }
  // Written straight to the handle, so that a reader sees each line at once.
  void Emit() {
    std::string text = body_ + "}\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
  }

 private:
  std::string body_;
};

// --- finding and reading windows ---

struct Selector {
  std::wstring className;
  std::wstring title;
  DWORD pid;
};

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

// WM_GETTEXT is marshalled across processes; a hung program yields "".
std::wstring TextOf(HWND window) {
  wchar_t text[4096] = {};
  DWORD_PTR unused = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                      kReplyMs, &unused);
  return text;
}

struct FindState {
  const Selector* selector;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
  FindState* state = reinterpret_cast<FindState*>(parameter);
  const Selector& s = *state->selector;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (s.pid != 0 && pid != s.pid) return TRUE;
  if (lstrcmpiW(ClassOf(window).c_str(), s.className.c_str()) != 0) return TRUE;
  wchar_t title[1024] = {};
  GetWindowTextW(window, title, 1024);
  if (s.title != L"*" && s.title != title) return TRUE;
  state->found = window;
  return FALSE;
}

HWND Find(const Selector& selector) {
  FindState state = {&selector, nullptr};
  EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&state));
  return state.found;
}

// Sends a message that carries no pointers; ok turns false when the window
// did not answer (gone, or hung).
LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0, bool* ok = nullptr) {
  DWORD_PTR answer = 0;
  const bool answered = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG,
                                            kReplyMs, &answer) != 0;
  if (ok) *ok = *ok && answered;
  return static_cast<LRESULT>(answer);
}

struct ChildList {
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectChild(HWND window, LPARAM parameter) {
  reinterpret_cast<ChildList*>(parameter)->windows.push_back(window);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  ChildList list;
  EnumChildWindows(parent, &CollectChild, reinterpret_cast<LPARAM>(&list));
  return list.windows;
}

HWND FindBar(HWND dialog) {
  for (HWND child : Children(dialog)) {
    if (lstrcmpiW(ClassOf(child).c_str(), PROGRESS_CLASSW) == 0) return child;
  }
  return nullptr;
}

struct BarState {
  bool visible = false;  // of the dialog that holds the bar
  bool marquee = false;
  LRESULT pos = 0;
  LRESULT low = 0;
  LRESULT high = 0;

  bool operator==(const BarState& o) const {
    // A marquee has no meaningful position.
    return visible == o.visible && marquee == o.marquee &&
           (marquee || (pos == o.pos && low == o.low && high == o.high));
  }
};

bool ReadBar(HWND dialog, BarState& state) {
  HWND bar = FindBar(dialog);
  if (!bar) return false;
  state.visible = IsWindowVisible(dialog) != FALSE;
  state.marquee = (GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
  bool ok = true;
  state.pos = Ask(bar, PBM_GETPOS, 0, 0, &ok);
  state.low = Ask(bar, PBM_GETRANGE, TRUE, 0, &ok);
  state.high = Ask(bar, PBM_GETRANGE, FALSE, 0, &ok);
  return ok && IsWindow(dialog);
}

Line& AddBar(Line& line, const BarState& state) {
  return line.Bool("marquee", state.marquee)
      .Num("pos", state.pos)
      .Num("min", state.low)
      .Num("max", state.high);
}

bool Holds(const Selector& selector, const std::wstring& condition, bool* known) {
  *known = true;
  HWND window = Find(selector);
  if (condition == L"exists") return window != nullptr;
  if (condition == L"gone") return window == nullptr;
  if (condition == L"visible") return window && IsWindowVisible(window);
  if (condition == L"hidden") return window && !IsWindowVisible(window);
  BarState bar;
  if (condition == L"marquee") return window && ReadBar(window, bar) && bar.marquee;
  if (condition == L"position") return window && ReadBar(window, bar) && !bar.marquee;
  int low = 0, high = 0;
  if (swscanf(condition.c_str(), L"position:%d-%d", &low, &high) == 2) {
    return window && ReadBar(window, bar) && !bar.marquee && bar.pos >= low && bar.pos <= high;
  }
  *known = false;
  return false;
}

bool WaitFor(const Selector& selector, const std::wstring& condition, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  bool known = true;
  while (!Holds(selector, condition, &known)) {
    if (!known || GetTickCount() - start > timeoutMs) return false;
    Sleep(kPollMs);
  }
  return true;
}

// --- commands ---

int Start(const wchar_t* commandLine) {
  std::wstring writable = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    Line().Num("error", GetLastError()).Emit();
    return 1;
  }
  Line().Num("pid", process.dwProcessId).Emit();
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  Line().Num("exit", code).Emit();
  return 0;
}

int Dump(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  RECT rect = {}, client = {};
  GetWindowRect(window, &rect);
  GetClientRect(window, &client);
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
  Line()
      .Str("class", ClassOf(window))
      .Str("title", TextOf(window))
      .Num("pid", pid)
      .Bool("visible", IsWindowVisible(window) != FALSE)
      .Num("style", static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)))
      .Num("exstyle", static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)))
      .Rect("rect", rect)
      .Rect("client", client)
      .Rect("work", monitor.rcWork)
      .Rect("monitor", monitor.rcMonitor)
      .Emit();
  for (HWND child : Children(window)) {
    RECT place = {};
    GetWindowRect(child, &place);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&place), 2);
    Line line;
    line.Num("id", GetDlgCtrlID(child))
        .Str("class", ClassOf(child))
        .Str("text", TextOf(child))
        .Num("style", static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE)))
        .Num("exstyle", static_cast<DWORD>(GetWindowLongW(child, GWL_EXSTYLE)))
        .Rect("rect", place);
    BarState bar;
    if (child == FindBar(window) && ReadBar(window, bar)) AddBar(line, bar);
    line.Emit();
  }
  return 0;
}

int WatchBar(const Selector& selector, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  // While the dialog is being created its bar has not been set up yet; what
  // the user sees starts when it is shown.
  if (!WaitFor(selector, L"visible", timeoutMs)) return 1;
  BarState last;
  bool first = true;
  while (GetTickCount() - start <= timeoutMs) {
    HWND window = Find(selector);
    BarState now;
    if (!window || !ReadBar(window, now)) {
      // The window may vanish between two reads, and its thread may not
      // answer for a while; only the window's absence ends the watch.
      if (Find(selector)) {
        Sleep(kPollMs);
        continue;
      }
      Line().Num("t", GetTickCount() - start).Bool("gone", true).Emit();
      return 0;
    }
    if (first || !(now == last)) {
      Line line;
      line.Num("t", GetTickCount() - start).Bool("visible", now.visible);
      AddBar(line, now).Emit();
      last = now;
      first = false;
    }
    Sleep(kPollMs);
  }
  Line().Bool("timeout", true).Emit();
  return 1;
}

int PressOk(const Selector& selector, DWORD timeoutMs) {
  if (!WaitFor(selector, L"visible", timeoutMs)) return 1;
  HWND box = Find(selector);
  std::wstring text;
  std::wstring buttons;
  for (HWND child : Children(box)) {
    std::wstring childClass = ClassOf(child);
    if (lstrcmpiW(childClass.c_str(), L"Static") == 0 && text.empty()) text = TextOf(child);
    if (lstrcmpiW(childClass.c_str(), L"Button") == 0) {
      buttons += (buttons.empty() ? L"" : L"|") + TextOf(child);
    }
  }
  Line().Str("title", TextOf(box)).Str("text", text).Str("buttons", buttons).Emit();
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
  if (!WaitFor(selector, L"gone", timeoutMs)) return 1;
  Line().Bool("dismissed", true).Emit();
  return 0;
}

int Send(HWND window, const std::wstring& how) {
  if (how == L"cancel") {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  } else if (how == L"close") {
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  } else if (how == L"wm-close") {
    PostMessageW(window, WM_CLOSE, 0, 0);
  } else {
    // The key as the dialog's message loop receives it; IsDialogMessage turns
    // it into IDCANCEL, whichever window has the focus on the desktop.
    const LPARAM scan = MapVirtualKeyW(VK_ESCAPE, 0) << 16;
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, scan | 1);
    PostMessageW(window, WM_KEYUP, VK_ESCAPE, scan | 1 | 0xC0000000);
  }
  Line().Str("sent", how).Emit();
  return 0;
}

INT_PTR CALLBACK IdleDialogProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG;
}

// An empty dialog in the launcher's font gives the pixel size of its units.
int DialogUnits(int x, int y, int w, int h) {
  std::vector<WORD> t;
  auto dword = [&t](DWORD v) {
    t.push_back(LOWORD(v));
    t.push_back(HIWORD(v));
  };
  t.push_back(1);       // dlgVer
  t.push_back(0xFFFF);  // signature: extended template
  dword(0);             // helpID
  dword(0);             // exStyle
  dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS);
  t.push_back(0);  // no controls
  for (int v : {0, 0, 254, 31}) t.push_back(static_cast<WORD>(v));
  t.push_back(0);  // no menu
  t.push_back(0);  // default class
  t.push_back(0);  // empty title
  t.push_back(8);  // points
  t.push_back(400);
  t.push_back(MAKEWORD(0, 1));  // not italic, character set 1
  for (const wchar_t* c = L"MS Shell Dlg"; *c; ++c) t.push_back(*c);
  t.push_back(0);
  HWND dialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                           reinterpret_cast<LPCDLGTEMPLATEW>(t.data()), nullptr,
                                           &IdleDialogProc, 0);
  if (!dialog) return 1;
  RECT r = {x, y, x + w, y + h};
  MapDialogRect(dialog, &r);
  RECT client = {};
  GetClientRect(dialog, &client);
  DestroyWindow(dialog);
  Line().Rect("pixels", r).Rect("client", client).Emit();
  return 0;
}

// Reads a string-or-ordinal field of a dialog template.
std::wstring NameOrOrdinal(const WORD*& p) {
  if (*p == 0xFFFF) {
    std::wstring ordinal = L"#" + std::to_wstring(p[1]);
    p += 2;
    return ordinal;
  }
  std::wstring name(reinterpret_cast<const wchar_t*>(p));
  p += name.size() + 1;
  return name;
}

Line& Box(Line& line, const short* xywh) {
  RECT r = {xywh[0], xywh[1], xywh[2], xywh[3]};  // x, y, width, height
  return line.Rect("units", r);
}

int Template(const wchar_t* file, int id) {
  HMODULE module = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HRSRC found = module ? FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(id),
                                         MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))
                       : nullptr;
  const BYTE* base =
      found ? static_cast<const BYTE*>(LockResource(LoadResource(module, found))) : nullptr;
  const WORD* p = reinterpret_cast<const WORD*>(base);
  if (!p || p[0] != 1 || p[1] != 0xFFFF) return 1;  // not an extended template
  const DWORD* head = reinterpret_cast<const DWORD*>(p + 2);
  const DWORD exStyle = head[1], style = head[2];
  const WORD count = p[8];
  const short* box = reinterpret_cast<const short*>(p + 9);
  p += 13;
  Line line;
  line.Num("style", style).Num("exstyle", exStyle).Num("items", count);
  Box(line, box).Str("menu", NameOrOrdinal(p)).Str("class", NameOrOrdinal(p));
  line.Str("title", NameOrOrdinal(p));
  if (style & DS_SETFONT) {
    line.Num("points", p[0])
        .Num("weight", p[1])
        .Num("italic", LOBYTE(p[2]))
        .Num("charset", HIBYTE(p[2]));
    p += 3;
    line.Str("font", NameOrOrdinal(p));
  }
  line.Emit();

  HWND dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(id), nullptr, &IdleDialogProc, 0);
  for (WORD i = 0; i < count; ++i) {
    const UINT_PTR offset = reinterpret_cast<const BYTE*>(p) - base;
    p = reinterpret_cast<const WORD*>(base + ((offset + 3) & ~3u));  // DWORD aligned
    const DWORD* item = reinterpret_cast<const DWORD*>(p);
    const DWORD itemId = item[5];
    Line control;
    control.Num("id", itemId).Num("style", item[2]).Num("exstyle", item[1]);
    Box(control, reinterpret_cast<const short*>(item + 3));
    p += 12;
    control.Str("class", NameOrOrdinal(p)).Str("text", NameOrOrdinal(p));
    p += 1 + (*p + 1) / 2;  // creation data
    HWND created = dialog ? GetDlgItem(dialog, itemId) : nullptr;
    control.Num("created_style", static_cast<DWORD>(GetWindowLongW(created, GWL_STYLE)))
        .Num("created_exstyle", static_cast<DWORD>(GetWindowLongW(created, GWL_EXSTYLE)))
        .Emit();
  }
  if (dialog) DestroyWindow(dialog);
  return 0;
}

int MessageText(DWORD id) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, id, 0x0400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", length);
  if (buffer) LocalFree(buffer);
  Line().Str("text", text).Emit();
  return 0;
}

int Usage() {
  fwprintf(stderr, L"usage: uidriver COMMAND ... (see the comment at the top of uidriver.cpp)\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  if (command == L"start" && argc == 3) return Start(argv[2]);
  if (command == L"dlu" && argc == 6) {
    return DialogUnits(_wtoi(argv[2]), _wtoi(argv[3]), _wtoi(argv[4]), _wtoi(argv[5]));
  }
  if (command == L"template" && argc == 4) return Template(argv[2], _wtoi(argv[3]));
  if (command == L"message-text" && argc == 3) {
    return MessageText(static_cast<DWORD>(wcstoul(argv[2], nullptr, 0)));
  }
  if (command == L"os-version" && argc == 2) {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    Line().Num("major", version.dwMajorVersion).Num("minor", version.dwMinorVersion).Emit();
    return 0;
  }
  if (command == L"kill" && argc == 3) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, wcstoul(argv[2], nullptr, 0));
    const bool ended = process && TerminateProcess(process, 0xDEAD);
    if (process) CloseHandle(process);
    return ended ? 0 : 1;
  }
  if (argc < 5) return Usage();
  const Selector selector = {argv[2], argv[3], static_cast<DWORD>(wcstoul(argv[4], nullptr, 0))};
  if (command == L"wait" && argc == 7) {
    bool known = true;
    Holds(selector, argv[5], &known);
    if (!known) return Usage();
    const bool met = WaitFor(selector, argv[5], wcstoul(argv[6], nullptr, 0));
    Line().Str("wait", argv[5]).Bool("met", met).Emit();
    return met ? 0 : 1;
  }
  if (command == L"watch-bar" && argc == 6) {
    return WatchBar(selector, wcstoul(argv[5], nullptr, 0));
  }
  if (command == L"press-ok" && argc == 6) return PressOk(selector, wcstoul(argv[5], nullptr, 0));
  if (argc != 5) return Usage();
  HWND window = Find(selector);
  if (command == L"dump") return window ? Dump(window) : 1;
  if (command == L"cancel" || command == L"close" || command == L"wm-close" || command == L"esc") {
    return window ? Send(window, command) : 1;
  }
  return Usage();
}
