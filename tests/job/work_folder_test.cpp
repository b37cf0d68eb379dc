#include <doctest/doctest.h>

#include <windows.h>

#include <string>

#include "base/file_io.h"
#include "job/work_folder.h"

namespace {

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeFolder(const std::wstring& path) { REQUIRE(CreateDirectoryW(path.c_str(), nullptr)); }

void MakeFile(const std::wstring& path) { REQUIRE(WriteWholeFile(path, "data").hr == S_OK); }

// A fresh folder under the temporary folder.
std::wstring NewScratchFolder() {
  wchar_t temp[MAX_PATH + 1] = {};
  REQUIRE(GetTempPathW(MAX_PATH + 1, temp) != 0);
  const std::wstring folder = std::wstring(temp) + L"job-test-" + NewGuidString();
  MakeFolder(folder);
  return folder;
}

bool IsGuidText(const std::wstring& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != L'-') return false;
    } else if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) {
      return false;
    }
  }
  return true;
}

}  // namespace

TEST_SUITE("working folder") {
  TEST_CASE("GUID names are fresh, lower case, without braces") {
    const std::wstring first = NewGuidString();
    const std::wstring second = NewGuidString();
    CHECK(IsGuidText(first));
    CHECK(IsGuidText(second));
    CHECK(first != second);
  }

  TEST_CASE("own module folder is the program's path without its file name") {
    wchar_t path[520] = {};
    REQUIRE(GetModuleFileNameW(nullptr, path, 520) != 0);
    const std::wstring full = path;
    const std::wstring folder = GetOwnModuleFolder();
    CHECK(folder == full.substr(0, full.rfind(L'\\')));
    CHECK(folder.back() != L'\\');
  }

  TEST_CASE("a tree of files and nested folders goes completely") {
    const std::wstring root = NewScratchFolder();
    MakeFile(root + L"\\a.txt");
    MakeFolder(root + L"\\sub");
    MakeFile(root + L"\\sub\\b.txt");
    MakeFolder(root + L"\\sub\\deeper");
    MakeFile(root + L"\\sub\\deeper\\c.txt");
    MakeFolder(root + L"\\sub\\empty");
    MakeFolder(root + L"\\.hidden-looking");

    std::wstring failed = L"untouched";
    CHECK(DeleteFolderTree(root, &failed) == S_OK);
    CHECK(failed == L"untouched");
    CHECK_FALSE(Exists(root));
  }

  TEST_CASE("a read-only file keeps its folders, everything else goes") {
    const std::wstring root = NewScratchFolder();
    MakeFile(root + L"\\a.txt");
    MakeFolder(root + L"\\sub");
    MakeFile(root + L"\\sub\\b.txt");
    MakeFolder(root + L"\\sub\\deep");
    MakeFile(root + L"\\sub\\deep\\c.txt");
    const std::wstring locked = root + L"\\sub\\deep\\locked.txt";
    MakeFile(locked);
    REQUIRE(SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    MakeFolder(root + L"\\zz");
    MakeFile(root + L"\\zz\\d.txt");

    std::wstring failed;
    CHECK(DeleteFolderTree(root, &failed) == static_cast<HRESULT>(0x80070005));
    CHECK(failed == locked);
    CHECK(Exists(locked));
    CHECK(Exists(root + L"\\sub\\deep"));
    CHECK(Exists(root + L"\\sub"));
    CHECK(Exists(root));
    CHECK_FALSE(Exists(root + L"\\a.txt"));
    CHECK_FALSE(Exists(root + L"\\sub\\b.txt"));
    CHECK_FALSE(Exists(root + L"\\sub\\deep\\c.txt"));
    CHECK_FALSE(Exists(root + L"\\zz"));

    // Without the output the walk behaves the same.
    CHECK(DeleteFolderTree(root, nullptr) == static_cast<HRESULT>(0x80070005));

    SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
    CHECK(DeleteFolderTree(root, &failed) == S_OK);
    CHECK_FALSE(Exists(root));
  }

  TEST_CASE("a missing folder gives the removal's error and names the folder") {
    const std::wstring root = NewScratchFolder();
    const std::wstring missing = root + L"\\not-there";
    std::wstring failed;
    CHECK(DeleteFolderTree(missing, &failed) == static_cast<HRESULT>(0x80070002));
    CHECK(failed == missing);
    CHECK(DeleteFolderTree(root, nullptr) == S_OK);
  }
}
