#pragma once

#include <windows.h>

#include <string>

#include "base/result.h"

// Process-wide state. Nothing is locked: each value is written before the
// thread that reads it exists, or read only after the writer has ended.
extern const wchar_t* g_crashSourceName;  // "source" of crash reports
extern bool g_silent;                     // "/silent" was given
extern std::wstring g_bundleKey;          // written once before the job starts
extern std::wstring g_versionText;        // written once before the job starts
extern HANDLE g_workerThread;             // the dialog's worker; closed at exit
extern Result g_workerResult;             // written by the worker, read after it ended
extern wchar_t g_crashModulePath[260];    // the faulting module's path

// The service's host, "host" or "host:port"; each program sets its own.
extern const wchar_t* const kServiceHost;
