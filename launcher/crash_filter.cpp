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

}  // namespace

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers) {
  void* moduleBase = nullptr;
  const wchar_t* moduleName = nullptr;
  void* address = pointers->ExceptionRecord->ExceptionAddress;

  MEMORY_BASIC_INFORMATION memory;
  memset(&memory, 0, sizeof(memory));
  if (VirtualQuery(address, &memory, sizeof(memory)) != 0) {
    moduleBase = memory.AllocationBase;
    GetModuleFileNameW(static_cast<HMODULE>(moduleBase), g_crashModulePath, 260);
    const wchar_t* slash = wcsrchr(g_crashModulePath, L'\\');
    moduleName = slash ? slash + 1 : g_crashModulePath;
  }

  std::wstring fault =
      FormatText(L"0x%p:0x%p:%08x:%ws", moduleBase, address,
                 pointers->ExceptionRecord->ExceptionCode, moduleName ? moduleName : L"(null)");
  try {
    std::wstring query = FormatText(
        L"?source=%ws&code=0&message=%ws&error=0x%08x&version=0&os=0&key=0", g_crashSourceName,
        EscapeQueryValueOrThrow(fault).c_str(), kUnhandledExceptionError);
    std::wstring page = std::wstring(L"https://") + kServiceHost + L"/error/" + query;
    ShellExecuteW(nullptr, L"open", page.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  } catch (...) {
    // Nothing more can be reported from inside a crash.
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

void InstallCrashFilter() {
  SetUnhandledExceptionFilter(&CrashFilter);
  std::set_terminate(&RaiseUncaught);
}
