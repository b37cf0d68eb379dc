#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "launcher/entry.h"
#include "launcher/globals.h"
#include "launcher/start_setup.h"

namespace {

OSVERSIONINFOEXW g_fakeVersion;
SYSTEMTIME g_fakeTime;

void FakeVersion(OSVERSIONINFOEXW* info) { *info = g_fakeVersion; }
void FakeTime(SYSTEMTIME* time) { *time = g_fakeTime; }
const SystemProbe kFake = {&FakeVersion, &FakeTime};

void SetSystem(DWORD major, DWORD minor, DWORD platform, WORD year, WORD month, WORD day) {
  g_fakeVersion = {};
  g_fakeVersion.dwOSVersionInfoSize = sizeof(g_fakeVersion);
  g_fakeVersion.dwMajorVersion = major;
  g_fakeVersion.dwMinorVersion = minor;
  g_fakeVersion.dwPlatformId = platform;
  g_fakeTime = {};
  g_fakeTime.wYear = year;
  g_fakeTime.wMonth = month;
  g_fakeTime.wDay = day;
}

}  // namespace

TEST_CASE("Only XP and later of the NT family are accepted") {
  struct Case {
    DWORD major, minor, platform;
    bool accepted;
  } cases[] = {{5, 0, 2, false}, {5, 1, 2, true},  {5, 2, 2, true},
               {6, 0, 2, true},  {6, 1, 2, true},  {10, 0, 2, true},
               {4, 0, 2, false}, {5, 1, 1, false}, {6, 1, 1, false}};
  for (const Case& c : cases) {
    CAPTURE(c.major);
    CAPTURE(c.minor);
    CAPTURE(c.platform);
    SetSystem(c.major, c.minor, c.platform, 2026, 12, 8);
    Result r = CheckSystem(kFake);
    CHECK(r.Succeeded() == c.accepted);
    if (!c.accepted) {
      CHECK(r.hr == E_FAIL);
      CHECK(r.code == 475);
    }
  }
  SetSystem(5, 0, 2, 2026, 1, 1);
  CHECK(CheckSystem(kFake).message ==
        L"This program only runs on Windows XP or later versions of Windows (5.0/2)");
}

TEST_CASE("A clock before 2010 is refused with its date") {
  SetSystem(5, 1, 2, 2009, 12, 31);
  Result r = CheckSystem(kFake);
  CHECK(r.hr == E_FAIL);
  CHECK(r.code == 484);
  CHECK(r.message == L"The computer's clock is set incorrectly (2009-12-31)");

  SetSystem(5, 1, 2, 2010, 1, 1);
  CHECK(CheckSystem(kFake).hr == S_OK);
}

TEST_CASE("The system check comes before the clock check") {
  SetSystem(5, 0, 2, 2009, 12, 31);
  CHECK(CheckSystem(kFake).code == 475);
}

TEST_CASE("StartSetup stops at a failed check or key and leaves the key empty") {
  std::wstring key, report;
  SetSystem(5, 0, 2, 2026, 12, 8);
  CHECK(StartSetup(L"0,1,0,220", key, report, kFake).code == 475);

  // The test program is not signed, so its key search ends at 378.
  SetSystem(6, 1, 2, 2026, 12, 8);
  Result r = StartSetup(L"0,1,0,220", key, report, kFake);
  CHECK(r.code == 378);
  CHECK(key.empty());
  CHECK(g_bundleKey.empty());
}

TEST_CASE("Command-line parsing") {
  struct Case {
    std::vector<const wchar_t*> args;
    bool valid, silent;
    const wchar_t* report;
  } cases[] = {
      {{}, true, false, L""},
      {{L"/SILENT"}, true, true, L""},
      {{L"/Silent", L"C:\\r.txt"}, true, true, L"C:\\r.txt"},
      {{L"C:\\r.txt"}, false, false, L""},
      {{L"/silent", L"a", L"b"}, false, true, L"a"},
      {{L"/silent", L"a", L"/silent", L"b"}, true, true, L"b"},
      {{L"/silent", L"/x"}, false, true, L""},
      {{L"/silentx"}, false, false, L""},
      // Only ASCII letters fold, whatever the user's locale: a dotted capital
      // I (U+0130) or a soft hyphen (U+00AD) makes another word.
      {{L"/sIlEnT"}, true, true, L""},
      {{L"/S\u0130LENT"}, false, false, L""},
      {{L"/sil\u00ADent"}, false, false, L""},
      {{L"/silent\u00AD"}, false, false, L""},
      {{L"/silen"}, false, false, L""},
  };
  for (const Case& c : cases) {
    std::vector<wchar_t*> argv;
    argv.push_back(const_cast<wchar_t*>(L"QuilloSetup.exe"));
    for (const wchar_t* a : c.args) argv.push_back(const_cast<wchar_t*>(a));
    bool silent = false;
    std::wstring report;
    CAPTURE(argv.size());
    CHECK(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), silent, report) == c.valid);
    CHECK(silent == c.silent);
    CHECK(report == c.report);
  }
}
