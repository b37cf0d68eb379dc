#include <doctest/doctest.h>

#include <windows.h>

#include <algorithm>
#include <string>

#include "base/file_io.h"
#include "base/scoped_handle.h"
#include "job/main_installer.h"
#include "job/work_folder.h"

namespace {

std::wstring ScratchFile(const wchar_t* name) {
  wchar_t temp[MAX_PATH + 1] = {};
  REQUIRE(GetTempPathW(MAX_PATH + 1, temp) != 0);
  const std::wstring path = std::wstring(temp) + name + NewGuidString();
  REQUIRE(WriteWholeFile(path, "original").hr == S_OK);
  return path;
}

DWORD OpenError(const std::wstring& path, DWORD access, DWORD share) {
  ScopedFile file(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
  return file ? 0 : GetLastError();
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Stand-ins for GetTempPathW at the edges of its 1040-character buffer.
DWORD WINAPI PathOf1039(DWORD size, LPWSTR buffer) {
  std::fill(buffer, buffer + size, L'\0');
  std::fill(buffer, buffer + 1038, L'x');
  buffer[1038] = L'\\';
  return 1039;
}
DWORD WINAPI PathTooLong(DWORD, LPWSTR) { return 1040; }
DWORD WINAPI PathTooLongWithError(DWORD, LPWSTR) {
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return 5000;
}
DWORD WINAPI PathFails(DWORD, LPWSTR) {
  SetLastError(ERROR_ACCESS_DENIED);
  return 0;
}

}  // namespace

TEST_SUITE("main installer") {
  TEST_CASE("silent command line: key, report path and launcher folder, each quoted") {
    CHECK(BuildInstallerCommandLine(L"0123abcd", L"C:\\Temp\\g u i d\\report.txt",
                                    L"C:\\Down loads") ==
          L"Quillo.exe \"0123abcd\" /silent \"C:\\Temp\\g u i d\\report.txt\" /path "
          L"\"C:\\Down loads\"");
  }

  TEST_CASE("interactive command line has no silent part") {
    CHECK(BuildInstallerCommandLine(L"key", L"", L"C:") == L"Quillo.exe \"key\" /path \"C:\"");
  }

  TEST_CASE("temporary folder: a path that does not fit fails like a failed call, with 163") {
    std::wstring folder = L"unchanged";
    Result r = GetTempFolder(folder, &PathTooLong);
    CHECK(r.hr == E_FAIL);  // no error is set
    CHECK(r.code == 163);
    CHECK(folder == L"unchanged");
    SetLastError(ERROR_ACCESS_DENIED);  // a stale error is not taken for the call's
    CHECK(GetTempFolder(folder, &PathTooLong).hr == E_FAIL);
    CHECK(GetTempFolder(folder, &PathTooLongWithError).hr == static_cast<HRESULT>(0x800700CE));
    r = GetTempFolder(folder, &PathFails);
    CHECK(r.hr == static_cast<HRESULT>(0x80070005));
    CHECK(r.code == 163);

    REQUIRE(GetTempFolder(folder, &PathOf1039).hr == S_OK);
    CHECK(folder.size() == 1039);
    REQUIRE(GetTempFolder(folder, &GetTempPathW).hr == S_OK);
    CHECK(folder.size() > 3);
    CHECK(folder.back() == L'\\');
  }

  TEST_CASE("the locked installer can be read but not changed, replaced or removed") {
    const std::wstring path = ScratchFile(L"job-lock-");
    const std::wstring other = ScratchFile(L"job-other-");
    {
      ScopedFile lock = LockInstallerFile(path);
      REQUIRE(lock);
      CHECK(OpenError(path, GENERIC_WRITE, kShareAll) == ERROR_SHARING_VIOLATION);
      CHECK(OpenError(path, DELETE, kShareAll) == ERROR_SHARING_VIOLATION);
      CHECK_FALSE(MoveFileExW(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
      CHECK_FALSE(MoveFileExW(path.c_str(), (path + L".moved").c_str(), 0));
      CHECK_FALSE(DeleteFileW(path.c_str()));
      // Readers that share reading, as the checks do, still get in.
      CHECK(OpenError(path, GENERIC_READ, FILE_SHARE_READ) == 0);
      std::vector<unsigned char> content;
      CHECK(ReadWholeFile(path, content, 0).hr == S_OK);
      CHECK(std::string(content.begin(), content.end()) == "original");
    }
    CHECK(OpenError(path, GENERIC_WRITE, kShareAll) == 0);
    CHECK(DeleteFileW(path.c_str()));
    CHECK(DeleteFileW(other.c_str()));
  }

  TEST_CASE("no lock while another program writes the file") {
    const std::wstring path = ScratchFile(L"job-writer-");
    {
      ScopedFile writer(
          CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
      REQUIRE(writer);
      CHECK_FALSE(LockInstallerFile(path));
    }
    CHECK(LockInstallerFile(path));
    CHECK(DeleteFileW(path.c_str()));
  }
}
