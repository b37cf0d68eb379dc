#include "http/content_range.h"

namespace {

class Cursor {
 public:
  Cursor(const wchar_t* text, size_t length) : p_(text), end_(text + length) {}

  bool AtEnd() const { return p_ == end_ || *p_ == L'\0'; }

  void SkipWhitespace() {
    while (!AtEnd() && IsWhitespace(*p_)) ++p_;
  }

  // Consumes literal when the text continues with it; on a mismatch the
  // position is of no further interest, since the scan stops there.
  bool Literal(const wchar_t* literal) {
    for (; *literal != L'\0'; ++literal, ++p_) {
      if (AtEnd() || *p_ != *literal) return false;
    }
    return true;
  }

  bool Number(int64_t& value) {
    SkipWhitespace();
    bool negative = false;
    if (!AtEnd() && (*p_ == L'+' || *p_ == L'-')) {
      negative = *p_ == L'-';
      ++p_;
    }
    if (AtEnd() || !IsDigit(*p_)) return false;
    // Unsigned arithmetic: an overflowing number wraps instead of being
    // undefined, which is also what the runtime's scanf gives.
    uint64_t magnitude = 0;
    while (!AtEnd() && IsDigit(*p_)) {
      magnitude = magnitude * 10 + static_cast<uint64_t>(*p_ - L'0');
      ++p_;
    }
    value = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    return true;
  }

 private:
  static bool IsWhitespace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }
  static bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

  const wchar_t* p_;
  const wchar_t* end_;
};

}  // namespace

int ScanContentRange(const wchar_t* text, size_t length, int64_t& first, int64_t& last,
                     int64_t& total) {
  Cursor cursor(text, length);
  if (!cursor.Literal(L"bytes")) return 0;
  cursor.SkipWhitespace();
  if (!cursor.Number(first)) return 0;
  if (!cursor.Literal(L"-") || !cursor.Number(last)) return 1;
  if (!cursor.Literal(L"/") || !cursor.Number(total)) return 2;
  return 3;
}

int ScanInt64(const wchar_t* text, size_t length, int64_t& value) {
  Cursor cursor(text, length);
  return cursor.Number(value) ? 1 : 0;
}
