#pragma once

#include <windows.h>

#include <string>

#include "base/result.h"

// One install: asks the service what to do, then runs the main installer it
// names or opens the page it names. dialog is null in silent runs.
Result RunInstallJob(HWND dialog, std::wstring bundleKey, std::wstring versionText,
                     std::wstring& reportText);

// The instruction request: the service's "/getinstaller" with the escaped
// key, version text and, when not empty, machine identifier. Throws
// CException when a value cannot be escaped.
std::wstring InstructionRequestAddress(const std::wstring& bundleKey,
                                       const std::wstring& versionText,
                                       const std::wstring& machineId);
