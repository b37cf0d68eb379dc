#include <doctest/doctest.h>

#include <string>

#include "base/result.h"

TEST_CASE("HResultFromLastError maps Win32 errors") {
  SetLastError(0);
  CHECK(HResultFromLastError() == E_FAIL);
  SetLastError(2);
  CHECK(HResultFromLastError() == static_cast<HRESULT>(0x80070002));
  SetLastError(12029);
  CHECK(HResultFromLastError() == static_cast<HRESULT>(0x80072EFD));
  SetLastError(static_cast<DWORD>(0x800B0100));
  CHECK(HResultFromLastError() == static_cast<HRESULT>(0x800B0100));
  CHECK(HResultFromError(0x12345) == static_cast<HRESULT>(0x80072345));
}

TEST_CASE("ErrorText takes WinInet errors from WinInet's table") {
  HMODULE wininet = LoadLibraryW(L"wininet.dll");
  std::wstring text = ErrorText(static_cast<HRESULT>(0x80072EFD), true);
  CHECK(text.size() > std::wstring(L" [0x80072efd]").size());
  CHECK(text.substr(text.size() - 13) == L" [0x80072efd]");
  std::wstring bare = ErrorText(static_cast<HRESULT>(0x80072EFD), false);
  CHECK_FALSE(bare.empty());
  CHECK(bare == SystemMessageText(12029, &wininet, 1));
  CHECK(text == bare + L" [0x80072efd]");
}

TEST_CASE("ErrorText just outside the WinInet range asks the system table") {
  // Neither value is known to the system table, so only the suffix remains.
  CHECK(ErrorText(static_cast<HRESULT>(0x80072F90), true) == L" [0x80072f90]");
  CHECK(ErrorText(static_cast<HRESULT>(0x80072EDF), true) == L" [0x80072edf]");
  CHECK(ErrorText(static_cast<HRESULT>(0x80072EDF), false) == L"");
}

TEST_CASE("SystemMessageText trims line breaks at both ends only") {
  std::wstring text = SystemMessageText(static_cast<DWORD>(0x80070005), nullptr, 0);
  REQUIRE_FALSE(text.empty());
  CHECK(text.back() != L'\n');
  CHECK(text.back() != L'\r');
  CHECK(text.front() != L'\n');
  CHECK(SystemMessageText(0x2EFD, nullptr, 0) == L"");
}

TEST_CASE("DescribeResult") {
  CHECK(DescribeResult(Result(E_FAIL, L"", 0)) == L"Failed");
  CHECK(DescribeResult(Result(1, L"", 0)) == L"OK");
  CHECK(DescribeResult(Result(E_FAIL, L"Could not find key", 420)) ==
        L"Failed - Could not find key - 420");
  std::wstring denied = ErrorText(E_ACCESSDENIED, false);
  REQUIRE_FALSE(denied.empty());
  CHECK(DescribeResult(Result(E_ACCESSDENIED, L"Error opening file: x", 350)) ==
        L"Failed - Error opening file: x - " + denied + L" - 350");
  CHECK(DescribeResult(Result(static_cast<HRESULT>(0x80072EDF), L"", 7)) == L"Failed - 7");
}
