// A trivial program for the start-up reference: it starts, loads WinInet and
// sends one request, as the launcher's first act does.
//   hello.exe URL
#include <windows.h>
#include <wininet.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HINTERNET root = InternetOpenW(L"hello", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET request = InternetOpenUrlW(root, argv[1], nullptr, 0, INTERNET_FLAG_RELOAD, 0);
  if (request) InternetCloseHandle(request);
  InternetCloseHandle(root);
  return request ? 0 : 1;
}
