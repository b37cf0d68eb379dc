#pragma once

#include <stdint.h>

#include <string>

#include "base/result.h"

// Percent-encodes bytes, keeping only ASCII letters and digits; every other
// byte becomes "%XY" with upper-case hexadecimal digits.
Result PercentEncode(const unsigned char* bytes, uint32_t length, std::wstring& output);

// UTF-8 and percent-encoding of one query value.
Result EscapeQueryValue(const std::wstring& value, std::wstring& output);

// As EscapeQueryValue, but throws CException with its Result on failure.
std::wstring EscapeQueryValueOrThrow(const std::wstring& value);

// Conversions with the calling thread's ANSI code page. Both stop at the
// first zero unit.
std::wstring AnsiToWide(const char* bytes);
inline std::wstring AnsiToWide(const std::string& bytes) { return AnsiToWide(bytes.c_str()); }
std::string WideToAnsi(const wchar_t* text);
inline std::string WideToAnsi(const std::wstring& text) { return WideToAnsi(text.c_str()); }
