#include <doctest/doctest.h>

#include <string>

#include "http/content_range.h"

namespace {

struct Scan {
  int assigned;
  int64_t first = -7, last = -7, total = -7;
};

Scan ScanRange(const std::wstring& text) {
  Scan s{0};
  s.assigned = ScanContentRange(text.c_str(), text.size(), s.first, s.last, s.total);
  return s;
}

}  // namespace

TEST_CASE("Content-Range text is read like swscanf with \"bytes %I64d-%I64d/%I64d\"") {
  struct Case {
    const wchar_t* text;
    int assigned;
    int64_t first, last, total;
  };
  const Case cases[] = {
      {L"bytes 0-99/1000", 3, 0, 99, 1000},
      {L"bytes0-99/1000", 3, 0, 99, 1000},         // a blank in the format matches none
      {L"bytes \t 5-6/ +7 trailing", 3, 5, 6, 7},  // numbers skip blanks and take a sign
      {L"bytes -5--6/-7", 3, -5, -6, -7},
      {L"bytes 1-2/*", 2, 1, 2, -7},    // an unknown total
      {L"bytes 1 -2/3", 1, 1, -7, -7},  // a literal matches no blank before it
      {L"bytes */1000", 0, -7, -7, -7},
      {L" bytes 1-2/3", 0, -7, -7, -7},  // nor before the first literal
      {L"Bytes 1-2/3", 0, -7, -7, -7},
      {L"", 0, -7, -7, -7},
      {L"bytes 1-2/18446744073709551617", 3, 1, 2, 1},  // overflow wraps
      {L"bytes 9223372036854775808-1/2", 3, INT64_MIN, 1, 2},
  };
  for (const Case& c : cases) {
    CAPTURE(std::string(c.text, c.text + wcslen(c.text)));
    const Scan s = ScanRange(c.text);
    CHECK(s.assigned == c.assigned);
    CHECK(s.first == c.first);
    CHECK(s.last == c.last);
    CHECK(s.total == c.total);
  }
}

TEST_CASE("the text ends at its first zero or at its length") {
  int64_t first = 0, last = 0, total = 0;
  const wchar_t text[] = L"bytes 1-2/345";
  CHECK(ScanContentRange(text, 11, first, last, total) == 3);
  CHECK(total == 3);
  const wchar_t zero[] = L"bytes 1-2\0/3";
  CHECK(ScanContentRange(zero, 12, first, last, total) == 2);
}

TEST_CASE("Content-Length text is read like swscanf with \"%I64d\"") {
  int64_t value = -7;
  CHECK(ScanInt64(L"  1234 ", 7, value) == 1);
  CHECK(value == 1234);
  CHECK(ScanInt64(L"00000000000000000000000000000042", 32, value) == 1);
  CHECK(value == 42);
  CHECK(ScanInt64(L"-1", 2, value) == 1);
  CHECK(value == -1);
  value = -7;
  for (const wchar_t* text : {L"abc", L"", L"+", L"- 1", L"\t"}) {
    CHECK(ScanInt64(text, wcslen(text), value) == 0);
  }
  CHECK(value == -7);
}
