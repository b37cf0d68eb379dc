// Stands in for the browser: Wine's own hand-off to a browser rewrites
// addresses (it decodes escaped letters such as %2E), so the test prefix
// registers this program for http and https instead. It appends the address
// exactly as it was passed to the file named by QUILLO_BROWSER_LOG (a host
// path, reached through Wine's Z: drive), one per line.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  wchar_t log[1024] = {};
  if (argc < 2 || !GetEnvironmentVariableW(L"QUILLO_BROWSER_LOG", log, 1024)) return 1;
  std::wstring path = log;
  if (!path.empty() && path[0] == L'/') {
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    path = L"Z:" + path;
  }
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  int size = WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, nullptr, 0, nullptr, nullptr);
  std::string line(size > 0 ? size - 1 : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, &line[0], size, nullptr, nullptr);
  line += '\n';
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
  return 0;
}
