#pragma once

#include <string>

// The launcher from start to exit code: crash reporter, version text, command
// line, the job, then the report file, message box and error page.
int RunLauncher();

// Parses the arguments after the program name. Returns false for an argument
// that is neither "/silent" nor the report path following it.
bool ParseCommandLine(int count, wchar_t** args, bool& silent, std::wstring& reportPath);
