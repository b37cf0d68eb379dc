#include <doctest/doctest.h>

#include <limits.h>
#include <stdint.h>

#include <algorithm>
#include <string>

#include "base/percent_encode.h"
#include "base/text.h"

TEST_CASE("PercentEncode keeps only ASCII letters and digits, for every byte value") {
  unsigned char all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  std::wstring out;
  REQUIRE(PercentEncode(all, 256, out).hr == S_OK);

  std::wstring expected;
  for (int i = 0; i < 256; ++i) {
    const bool keep = (i >= '0' && i <= '9') || (i >= 'A' && i <= 'Z') || (i >= 'a' && i <= 'z');
    if (keep) {
      expected += static_cast<wchar_t>(i);
    } else {
      wchar_t escaped[4];
      swprintf(escaped, 4, L"%%%02X", i);
      expected += escaped;
    }
  }
  CHECK(out == expected);
}

TEST_CASE("EscapeQueryValue goes through UTF-8") {
  struct Case {
    std::wstring value;
    const wchar_t* escaped;
  } cases[] = {
      {L"", L""},
      {L"Abc123", L"Abc123"},
      {L"a b", L"a%20b"},
      {L"-._~", L"%2D%2E%5F%7E"},
      {L"/?&=+%", L"%2F%3F%26%3D%2B%25"},
      {L"\u00E9", L"%C3%A9"},
      {L"\u20AC", L"%E2%82%AC"},
      {L"\U0001F600", L"%F0%9F%98%80"},
      {std::wstring(L"a\0b", 3), L"a%00b"},
      {L"0,1,0,220", L"0%2C1%2C0%2C220"},
  };
  for (const Case& c : cases) {
    CAPTURE(c.escaped);
    std::wstring out = L"stale";
    CHECK(EscapeQueryValue(c.value, out).hr == S_OK);
    CHECK(out == c.escaped);
    CHECK(EscapeQueryValueOrThrow(c.value) == c.escaped);
  }
}

TEST_CASE("PercentEncodeBytes refuses a length whose output size would wrap") {
  std::string out = "untouched";
  const unsigned char byte = 'a';
  CHECK_FALSE(PercentEncodeBytes(&byte, SIZE_MAX / 3 + 1, out));
  CHECK(out == "untouched");
}

TEST_CASE("EscapeQueryValue refuses a value whose UTF-8 buffer no string can hold") {
  // One unit more than the bound. In a 32-bit program that is 512 MiB of
  // text, whose 4-byte-per-unit buffer would exceed a string's max_size yet
  // not INT_MAX; in a 64-bit one the int the conversion takes is the bound.
  const size_t bound = std::min<size_t>(INT_MAX, std::string().max_size()) / 4;
  if (sizeof(void*) == 4) {
    CHECK(bound == std::string().max_size() / 4);
  } else {
    CHECK(bound == INT_MAX / 4);
  }
  const size_t units = bound + 1;
  std::wstring value(units, L'a');
  std::wstring escaped = L"before";
  Result r = EscapeQueryValue(value, escaped);
  CHECK(r.hr == E_OUTOFMEMORY);
  CHECK(r.code == 247);
  CHECK(escaped.empty());
}

TEST_CASE("ANSI conversions stop at the first zero") {
  CHECK(AnsiToWide("") == L"");
  CHECK(AnsiToWide("plain text") == L"plain text");
  CHECK(AnsiToWide(std::string("before\0after", 12)) == L"before");
  CHECK(WideToAnsi(L"") == "");
  CHECK(WideToAnsi(L"GET:http://x/") == "GET:http://x/");
  CHECK(WideToAnsi(std::wstring(L"ab\0cd", 5)) == "ab");
}
