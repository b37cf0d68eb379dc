#include "base/result.h"

#include <stdarg.h>
#include <stdio.h>

#include "base/scoped_handle.h"

HRESULT HResultFromError(LONG error) {
  if (error == 0) return E_FAIL;
  if (error > 0) return static_cast<HRESULT>(0x80070000u | (static_cast<DWORD>(error) & 0xFFFFu));
  return static_cast<HRESULT>(error);
}

HRESULT HResultFromLastError() { return HResultFromError(static_cast<LONG>(GetLastError())); }

namespace {

const DWORD kLanguageNeutralDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

bool IsLineBreak(wchar_t c) { return c == L'\r' || c == L'\n'; }

}  // namespace

std::wstring SystemMessageText(DWORD id, const HMODULE* modules, size_t count) {
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
  LocalMemory buffer;
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(flags, nullptr, id, kLanguageNeutralDefault,
                                reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  buffer.reset(text);
  if (length == 0 && GetLastError() == ERROR_MR_MID_NOT_FOUND) {
    for (size_t i = 0; i < count && length == 0; ++i) {
      if (modules[i] == nullptr) continue;
      text = nullptr;
      length = FormatMessageW(flags | FORMAT_MESSAGE_FROM_HMODULE, modules[i], id,
                              kLanguageNeutralDefault, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
      buffer.reset(text);
    }
  }
  if (length == 0 || text == nullptr) return std::wstring();

  std::wstring result(text, length);
  size_t first = 0;
  while (first < result.size() && IsLineBreak(result[first])) ++first;
  size_t last = result.size();
  while (last > first && IsLineBreak(result[last - 1])) --last;
  return result.substr(first, last - first);
}

std::wstring ErrorText(HRESULT hr, bool withCode) {
  std::wstring suffix = withCode ? FormatText(L" [0x%08x]", hr) : std::wstring();
  std::wstring text;
  // WinInet's errors 12000 to 12175 live in its own message table.
  if (hr >= static_cast<HRESULT>(0x80072EE0) && hr <= static_cast<HRESULT>(0x80072F8F)) {
    HMODULE wininet = GetModuleHandleW(L"wininet.dll");
    text = SystemMessageText(static_cast<DWORD>(hr) & 0xFFFF, &wininet, 1);
  } else {
    text = SystemMessageText(static_cast<DWORD>(hr), nullptr, 0);
  }
  return text + suffix;
}

std::wstring DescribeResult(const Result& r) {
  if (r.hr >= 0) return L"OK";
  std::wstring text = L"Failed";
  if (!r.message.empty()) text += L" - " + r.message;
  if (r.hr != E_FAIL) {
    std::wstring system = ErrorText(r.hr, false);
    if (!system.empty()) text += L" - " + system;
  }
  if (r.code != 0) text += FormatText(L" - %d", r.code);
  return text;
}

std::wstring FormatText(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int needed = _vscwprintf(format, args);
  va_end(args);
  if (needed <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(needed) + 1, L'\0');
  va_start(args, format);
  _vsnwprintf(&text[0], text.size(), format, args);
  va_end(args);
  text.resize(static_cast<size_t>(needed));
  return text;
}
