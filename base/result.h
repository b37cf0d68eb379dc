#pragma once

#include <windows.h>

#include <string>

// The outcome of every step: an HRESULT (success when >= 0), the fixed number
// of the site that failed (0 on success) and an optional message for people.
struct Result {
  HRESULT hr = S_OK;
  int code = 0;
  std::wstring message;

  Result() = default;
  Result(HRESULT hr_, std::wstring message_, int code_)
      : hr(hr_), code(code_), message(std::move(message_)) {}

  static Result Ok() { return Result(); }
  // What a run holds before any step has filled it in.
  static Result NotYetFilled() { return Result(E_FAIL, std::wstring(), 0); }

  bool Succeeded() const { return hr >= 0; }
  bool Failed() const { return hr < 0; }
};

// A failed Result passed on by a caller: it keeps its own code unless it has
// none, in which case the caller's code names the failure site.
inline Result WithFallbackCode(Result r, int code) {
  if (r.code == 0) r.code = code;
  return r;
}

// The template library's HRESULT exception. There is no ATL here, so the
// program carries its own: it holds an HRESULT and nothing else.
class CAtlException {
 public:
  explicit CAtlException(HRESULT hr) : m_hr(hr) {}
  operator HRESULT() const { return m_hr; }
  HRESULT m_hr;
};

// The launcher's own exception: a whole Result, thrown by the few operations
// that return a value instead of a Result.
class CException : public CAtlException {
 public:
  explicit CException(const Result& r) : CAtlException(r.hr), code(r.code), message(r.message) {}
  int code;
  std::wstring message;
};

inline Result ResultFromException(const CException& e) { return Result(e.m_hr, e.message, e.code); }

// Maps a Win32 error number (or a status that follows the same convention) to
// an HRESULT: 0 becomes E_FAIL, a positive number n becomes
// 0x80070000 | (n & 0xFFFF), a negative value is already an HRESULT.
HRESULT HResultFromError(LONG error);

// HResultFromError of the calling thread's last error.
HRESULT HResultFromLastError();

// The system's text for a message id; when the system does not know the id,
// the given modules' message tables are tried in order. Leading and trailing
// line breaks are removed. Empty when nobody knows the id.
std::wstring SystemMessageText(DWORD id, const HMODULE* modules, size_t count);

// The readable text of an HRESULT, WinInet errors included; with withCode it
// ends in " [0x%08x]".
std::wstring ErrorText(HRESULT hr, bool withCode);

// One line describing a Result: "OK", or "Failed" followed by the message, the
// system text and the code, each present only when it has content.
std::wstring DescribeResult(const Result& r);

// printf-style formatting into a wide string (msvcrt formats: %ws, %I64d, %p).
std::wstring FormatText(const wchar_t* format, ...);
