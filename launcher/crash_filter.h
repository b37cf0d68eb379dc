#pragma once

#include <windows.h>

// The process's unhandled-exception filter: opens the service's error page
// with the faulting module, address and exception code, then lets the
// system's default handling go on.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers);

// Installs CrashFilter, and routes C++ exceptions that nothing catches to it
// as well: with DWARF unwinding they end in std::terminate, which never
// reaches an unhandled-exception filter on its own.
void InstallCrashFilter();

// Code of the structured exception raised for an uncaught C++ exception.
const DWORD kUncaughtCppException = 0xE06D7363;
