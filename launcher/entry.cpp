#include "launcher/entry.h"

#include <windows.h>
#include <shellapi.h>

#include "base/file_io.h"
#include "base/guarded.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "launcher/crash_filter.h"
#include "launcher/globals.h"
#include "launcher/start_setup.h"
#include "resources/resource.h"

namespace {

void WriteReport(const std::wstring& path, const Result& result, const std::wstring& reportText) {
  std::wstring text;
  if (!reportText.empty()) {
    text = reportText;
  } else if (result.Succeeded()) {
    text = L"Error reading report\r\n";
  } else {
    text = DescribeResult(result) + L"\r\n";
  }
  // A report that cannot be written changes nothing about the outcome.
  WriteWholeFile(path, WideToAnsi(text));
}

std::wstring ErrorPageAddress(const Result& result, const std::wstring& versionText,
                              const std::wstring& key) {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
  std::wstring os = FormatText(L"%d.%d", version.dwMajorVersion, version.dwMinorVersion);
  std::wstring query =
      FormatText(L"?source=gatherkit&code=%d&message=%ws&error=0x%08x&version=%ws&os=%ws&key=%ws",
                 result.code, EscapeQueryValueOrThrow(result.message).c_str(), result.hr,
                 EscapeQueryValueOrThrow(versionText).c_str(), EscapeQueryValueOrThrow(os).c_str(),
                 EscapeQueryValueOrThrow(key).c_str());
  return std::wstring(L"https://") + kServiceHost + L"/error/" + query;
}

void ReportInteractiveFailure(const Result& result, const std::wstring& versionText,
                              const std::wstring& key) {
  // The address is built before the box so that a failure to build it cannot
  // leave the user without the box; the page itself opens only afterwards.
  std::wstring page;
  try {
    page = ErrorPageAddress(result, versionText, key);
  } catch (const CAtlException&) {
  } catch (const std::exception&) {
  }
  std::wstring body = FormatText(L"%ws; %ws; %d", ErrorText(result.hr, true).c_str(),
                                 result.message.c_str(), result.code);
  std::wstring text = L"An error occured. \r\n\r\n" + body;
  MessageBoxW(nullptr, text.c_str(), L"Error", MB_OK);
  if (!page.empty()) ShellExecuteW(nullptr, L"open", page.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

using ScopedArgv = ScopedHandle<wchar_t**, &handle_close::Local>;

wchar_t FoldAsciiLetter(wchar_t c) { return c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c; }

// lstrcmpiW would compare linguistically under the user's locale: a Turkish
// one folds "I" to a dotless i, and characters that sorting ignores (a soft
// hyphen) may be skipped. A switch is a fixed ASCII word, so the comparison is
// code unit by code unit with only ASCII letters folded.
bool EqualsIgnoringAsciiCase(const wchar_t* text, const wchar_t* word) {
  for (; *text != L'\0' && *word != L'\0'; ++text, ++word) {
    if (FoldAsciiLetter(*text) != FoldAsciiLetter(*word)) return false;
  }
  return *text == *word;
}

}  // namespace

bool ParseCommandLine(int count, wchar_t** args, bool& silent, std::wstring& reportPath) {
  for (int i = 1; i < count; ++i) {
    if (!EqualsIgnoringAsciiCase(args[i], L"/silent")) return false;
    silent = true;
    if (i + 1 < count && args[i + 1][0] != L'/') reportPath = args[++i];
  }
  return true;
}

int RunLauncher() {
  g_crashSourceName = L"Gatherkit";
  InstallCrashFilter();

  wchar_t versionBuffer[128] = {};
  LoadStringW(GetModuleHandleW(nullptr), IDS_VERSION_TEXT, versionBuffer, 128);
  const std::wstring versionText = versionBuffer;

  int count = 0;
  ScopedArgv args(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!args) count = 0;

  std::wstring reportPath;
  g_silent = false;
  if (!ParseCommandLine(count, args.get(), g_silent, reportPath)) {
    MessageBoxW(nullptr, L"Invalid command line switch", L"Error", MB_OK);
    return 1;
  }

  std::wstring key;
  std::wstring reportText;
  Result result = RunGuarded([&] { return StartSetup(versionText, key, reportText); }, 598, 601);

  if (!reportPath.empty()) WriteReport(reportPath, result, reportText);
  if (result.Succeeded()) return 0;
  if (!g_silent) ReportInteractiveFailure(result, versionText, key);
  return static_cast<int>(result.hr);
}
