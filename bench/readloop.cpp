// The floors for the launcher's download under this runtime: one plain GET,
// then 4096-byte InternetReadFile calls. With FILE, each chunk is written
// to it with WriteFile, as the launcher must; without, the data is dropped.
//   readloop.exe URL [FILE]
// Prints "bytes=N".
#include <windows.h>
#include <wininet.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) return 2;
  HINTERNET root = InternetOpenW(L"readloop", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET request = InternetOpenUrlW(
      root, argv[1], nullptr, 0,
      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI, 0);
  if (!request) return 3;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (argc == 3) {
    file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 4;
  }
  static BYTE buffer[4096];
  DWORD read = 0;
  unsigned long long total = 0;
  while (InternetReadFile(request, buffer, sizeof(buffer), &read) && read != 0) {
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      if (!WriteFile(file, buffer, read, &written, nullptr) || written != read) return 5;
    }
    total += read;
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  InternetCloseHandle(request);
  InternetCloseHandle(root);
  printf("bytes=%llu\n", total);
  return 0;
}
