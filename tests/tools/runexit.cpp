// Runs one command line and prints the child's whole 32-bit exit code, which
// the Unix exit status of wine would cut to its low 8 bits.
//   runexit.exe "program.exe arg1 arg2"
#include <windows.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fwprintf(stderr, L"usage: runexit \"command line\"\n");
    return 2;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, argv[1], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    fwprintf(stderr, L"CreateProcess failed: %lu\n", GetLastError());
    return 3;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  printf("exit=0x%08lx\n", code);
  fflush(stdout);
  return 0;
}
