#pragma once

#include <windows.h>

#include <string>

#include "base/result.h"
#include "base/scoped_handle.h"

// The file name of the main installer inside the working folder, and of the
// report it writes there in silent runs.
extern const wchar_t kInstallerFileName[];
extern const wchar_t kInstallerReportName[];

// Downloads the main installer from address into a fresh working folder under
// the user's temporary folder, checks its signer and signature, runs it with
// the bundle key, waits for it and removes the working folder again. In
// silent runs it also hands the installer a report path, takes the report
// into reportText (left untouched when there is none) and fails when the
// installer's exit code is not 0. dialog is hidden once the installer runs.
Result RunMainInstaller(HWND dialog, const std::wstring& bundleKey, const std::wstring& address,
                        std::wstring& reportText);

// The user's temporary folder, ending in a backslash, from getTempPath
// (GetTempPathW, or a stand-in in tests). A failed call, or a path too long
// for the 1040-character buffer, gives code 163 with the last error (E_FAIL
// when none is set).
using TempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);
Result GetTempFolder(std::wstring& folder, TempPathFunction getTempPath);

// The installer's command line:
//   Quillo.exe "KEY"[ /silent "REPORT"] /path "FOLDER"
// The silent part is present when reportPath is not empty. Nothing inside the
// quotes is escaped: keys and paths hold no double quotes.
std::wstring BuildInstallerCommandLine(const std::wstring& bundleKey,
                                       const std::wstring& reportPath,
                                       const std::wstring& launcherFolder);

// Opens the downloaded installer so that it stays exactly the file that was
// verified until it has been started: the handle only reads and lets others
// only read, so nobody can write, replace, rename or delete the file while it
// is held, while the signature checks and process creation, which merely read
// it, still work. Empty when the file cannot be opened that way, which means
// somebody else holds it open for writing.
ScopedFile LockInstallerFile(const std::wstring& path);
