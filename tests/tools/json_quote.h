#pragma once

#include <stdio.h>

#include <string>

// A wide text as a JSON string literal, for the test programs that report to
// the Python tests: ASCII as it is, everything else as \uXXXX.
inline std::string JsonQuote(const std::wstring& text) {
  std::string out = "\"";
  for (wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    }
  }
  return out + "\"";
}
