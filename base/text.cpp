#include "base/text.h"

#include <limits.h>

#include <algorithm>

#include "base/percent_encode.h"

Result PercentEncode(const unsigned char* bytes, uint32_t length, std::wstring& output) {
  std::string encoded;
  if (!PercentEncodeBytes(bytes, length, encoded)) return Result(E_FAIL, std::wstring(), 204);
  // Every encoded byte is ASCII, so one wide unit per byte is exact.
  output.assign(encoded.begin(), encoded.end());
  return Result::Ok();
}

Result EscapeQueryValue(const std::wstring& value, std::wstring& output) {
  output.clear();
  if (value.empty()) return Result::Ok();
  // UTF-8 needs at most 4 bytes per UTF-16 unit (3 per BMP unit, 4 per pair);
  // a value too long for that buffer is refused, not wrapped. The buffer is
  // bounded both by the int that the conversion takes and by what a string
  // can hold (on a 32-bit system well below INT_MAX).
  std::string utf8;
  if (value.size() > std::min<size_t>(INT_MAX, utf8.max_size()) / 4) {
    return Result(E_OUTOFMEMORY, std::wstring(), 247);
  }
  const int capacity = static_cast<int>(value.size()) * 4;
  utf8.assign(static_cast<size_t>(capacity), '\0');
  int converted = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()),
                                      &utf8[0], capacity, nullptr, nullptr);
  if (converted == 0) return Result(HResultFromLastError(), std::wstring(), 247);
  return PercentEncode(reinterpret_cast<const unsigned char*>(utf8.data()),
                       static_cast<uint32_t>(converted), output);
}

std::wstring EscapeQueryValueOrThrow(const std::wstring& value) {
  std::wstring escaped;
  Result r = EscapeQueryValue(value, escaped);
  if (r.Failed()) throw CException(r);
  return escaped;
}

std::wstring AnsiToWide(const char* bytes) {
  int measured = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, -1, nullptr, 0);
  if (measured - 1 <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(measured), L'\0');
  int converted = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, -1, &text[0], measured);
  text.resize(converted > 0 ? static_cast<size_t>(converted - 1) : 0);
  return text;
}

std::string WideToAnsi(const wchar_t* text) {
  int measured = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (measured - 1 <= 0) return std::string();
  std::string bytes(static_cast<size_t>(measured), '\0');
  int converted =
      WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, &bytes[0], measured, nullptr, nullptr);
  bytes.resize(converted > 0 ? static_cast<size_t>(converted - 1) : 0);
  return bytes;
}
