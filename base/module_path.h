#pragma once

#include <windows.h>

#include <string>

// The full path of the program's own file, read with GetModuleFileNameW into
// a buffer of 520 characters. Throws CAtlException with the last error when
// the call fails, and with ERROR_INSUFFICIENT_BUFFER when the path does not
// fit: a cut path would name another file or folder.
std::wstring GetOwnModulePath();
