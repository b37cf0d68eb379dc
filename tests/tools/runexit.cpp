// Runs one command line and prints the child's whole 32-bit exit code, which
// the Unix exit status of wine would cut to its low 8 bits.
//   runexit.exe [--dismiss-errors] "program.exe arg1 arg2"
// With --dismiss-errors every message box titled "Error" that the child
// shows is printed ("box=<text>", line breaks as \r \n) and closed with OK.
#include <windows.h>
#include <stdio.h>

#include <string>

namespace {

struct Search {
  DWORD processId;
  HWND found;
};

BOOL CALLBACK FindErrorBox(HWND window, LPARAM param) {
  Search* search = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t title[64] = {};
  wchar_t cls[64] = {};
  GetWindowTextW(window, title, 64);
  GetClassNameW(window, cls, 64);
  if (pid == search->processId && IsWindowVisible(window) && lstrcmpW(title, L"Error") == 0 &&
      lstrcmpW(cls, L"#32770") == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

void PrintBox(HWND box) {
  wchar_t text[4096] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 4096);
  std::string line = "box=";
  for (const wchar_t* p = text; *p; ++p) {
    if (*p == L'\r') {
      line += "\\r";
    } else if (*p == L'\n') {
      line += "\\n";
    } else if (*p < 0x80) {
      line += static_cast<char>(*p);
    } else {
      char escaped[12];
      snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(*p));
      line += escaped;
    }
  }
  printf("%s\n", line.c_str());
  fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool dismiss = argc == 3 && lstrcmpW(argv[1], L"--dismiss-errors") == 0;
  if (argc != 2 && !dismiss) {
    fwprintf(stderr, L"usage: runexit [--dismiss-errors] \"command line\"\n");
    return 2;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, argv[argc - 1], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    fwprintf(stderr, L"CreateProcess failed: %lu\n", GetLastError());
    return 3;
  }
  while (WaitForSingleObject(process.hProcess, dismiss ? 50 : INFINITE) == WAIT_TIMEOUT) {
    Search search = {process.dwProcessId, nullptr};
    EnumWindows(&FindErrorBox, reinterpret_cast<LPARAM>(&search));
    if (search.found) {
      PrintBox(search.found);
      SendMessageW(search.found, WM_COMMAND, IDOK, 0);
    }
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  printf("exit=0x%08lx\n", code);
  fflush(stdout);
  return 0;
}
