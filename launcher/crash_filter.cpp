#include "launcher/crash_filter.h"

#include <shellapi.h>
#include <string.h>
#include <wchar.h>

#include <exception>

#include "base/text.h"
#include "launcher/globals.h"

namespace {

// ERROR_UNHANDLED_EXCEPTION, which the XP-era headers do not define.
const DWORD kUnhandledExceptionError = 574;

[[noreturn]] void RaiseUncaught() {
  RaiseException(kUncaughtCppException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  // RaiseException does not come back from a noncontinuable exception; this
  // only satisfies the terminate handler's contract.
  TerminateProcess(GetCurrentProcess(), 3);
  for (;;) {
  }
}

// Everything the filter does, so that the filter can keep all of it inside
// its guard.
void ReportCrash(const EXCEPTION_POINTERS* pointers) {
  void* moduleBase = nullptr;
  const wchar_t* moduleName = nullptr;
  void* address = pointers->ExceptionRecord->ExceptionAddress;

  MEMORY_BASIC_INFORMATION memory;
  memset(&memory, 0, sizeof(memory));
  if (VirtualQuery(address, &memory, sizeof(memory)) != 0) {
    moduleBase = memory.AllocationBase;
    const DWORD capacity = sizeof(g_crashModulePath) / sizeof(g_crashModulePath[0]);
    // XP leaves a path that fills the buffer unterminated; the returned
    // length says where the text ends.
    const DWORD length =
        GetModuleFileNameW(static_cast<HMODULE>(moduleBase), g_crashModulePath, capacity);
    g_crashModulePath[length < capacity ? length : capacity - 1] = L'\0';
    const wchar_t* slash = wcsrchr(g_crashModulePath, L'\\');
    moduleName = slash ? slash + 1 : g_crashModulePath;
  }

  const std::wstring fault =
      FormatText(L"0x%p:0x%p:%08x:%ws", moduleBase, address,
                 pointers->ExceptionRecord->ExceptionCode, moduleName ? moduleName : L"(null)");
  const std::wstring query = FormatText(
      L"?source=%ws&code=0&message=%ws&error=0x%08x&version=0&os=0&key=0", g_crashSourceName,
      EscapeQueryValueOrThrow(fault).c_str(), kUnhandledExceptionError);
  const std::wstring page = std::wstring(L"https://") + kServiceHost + L"/error/" + query;
  ShellExecuteW(nullptr, L"open", page.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// Set on the filter's first entry; the process ends after it. A fault inside
// the filter itself comes back to it as another unhandled exception, which is
// then left to the system at once instead of being reported again and again
// until the stack runs out.
LONG g_inCrashFilter = 0;

}  // namespace

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers) {
  if (InterlockedExchange(&g_inCrashFilter, 1) != 0) return EXCEPTION_CONTINUE_SEARCH;
  try {
    ReportCrash(pointers);
  } catch (...) {
    // Nothing more can be reported from inside a crash; an exception let out
    // of here would come back to this filter through the terminate handler.
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

void InstallCrashFilter() {
  SetUnhandledExceptionFilter(&CrashFilter);
  std::set_terminate(&RaiseUncaught);
}
