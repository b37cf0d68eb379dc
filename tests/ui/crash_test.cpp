// Crashes on purpose with the launcher's crash reporter installed, so that the
// tests can see which page a fault opens.
//   crash_test av            access violation at a known address in this image
//   crash_test anon          access violation in memory that belongs to no module
//   crash_test throw         C++ exception that nothing catches, main thread
//   crash_test throw-thread  the same on a second thread
// Before it crashes it prints {"base":"0x...","address":"0x..."} where it can.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <stdexcept>

#include "base/result.h"
#include "base/text.h"
#include "launcher/crash_filter.h"
#include "launcher/globals.h"

// "movl $0, 0": a write to address 0 at the first instruction of FaultHere, so
// the fault's address is the function's own address. 32-bit symbols carry a
// leading underscore; 64-bit ones do not.
#ifdef _WIN64
#define FAULT_HERE "FaultHere"
#else
#define FAULT_HERE "_FaultHere"
#endif
extern "C" void FaultHere();
asm(".text\n"
    ".globl " FAULT_HERE "\n" FAULT_HERE
    ":\n"
    "  movl $0, 0\n"
    "  ret\n");

namespace {

// The same write as machine code, for a page that belongs to no module. In
// 64-bit code the short form would address relative to the instruction, so
// the absolute address goes through a SIB byte there.
#ifdef _WIN64
const unsigned char kFaultCode[] = {0xC7, 0x04, 0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0xC3};
#else
const unsigned char kFaultCode[] = {0xC7, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0xC3};
#endif

// Formatted by the routine the crash reporter formats them with (%p: 8 hex
// digits in a 32-bit program, 16 in a 64-bit one), so the tests compare like
// with like.
void Announce(const void* base, const void* address) {
  const std::wstring line =
      FormatText(L"{\"base\":\"0x%p\",\"address\":\"0x%p\"}\n", base, address);
  fputs(WideToAnsi(line).c_str(), stdout);
  fflush(stdout);
}

DWORD WINAPI ThrowingThread(LPVOID) { throw std::runtime_error("uncaught on a worker"); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  g_crashSourceName = L"Gatherkit";
  InstallCrashFilter();
  if (argc != 2) return 2;
  const wchar_t* mode = argv[1];
  if (wcscmp(mode, L"av") == 0) {
    Announce(GetModuleHandleW(nullptr), reinterpret_cast<const void*>(&FaultHere));
    FaultHere();
  } else if (wcscmp(mode, L"anon") == 0) {
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    if (!page) return 3;
    memcpy(page, kFaultCode, sizeof(kFaultCode));
    Announce(page, page);
    reinterpret_cast<void (*)()>(page)();
  } else if (wcscmp(mode, L"throw") == 0) {
    throw std::runtime_error("uncaught on the main thread");
  } else if (wcscmp(mode, L"throw-thread") == 0) {
    HANDLE thread = CreateThread(nullptr, 0, &ThrowingThread, nullptr, 0, nullptr);
    if (!thread) return 3;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  return 4;  // the crash did not happen
}
