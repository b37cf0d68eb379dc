#include <doctest/doctest.h>

#include <string>

#include <windows.h>

#include "base/scoped_handle.h"

// The shipped program's resources, read from QuilloSetup.exe as data: what
// Explorer, the loader and the dialog will find there. The dialog template
// itself is checked control by control by the UI tests (tests/ui).
namespace {

using ScopedModule = ScopedHandle<HMODULE, &FreeLibrary>;

#pragma pack(push, 2)
struct IconDirEntry {
  BYTE width, height, colorCount, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
struct IconDir {
  WORD reserved, type, count;
  IconDirEntry entries[1];
};
#pragma pack(pop)

const wchar_t* const kProgram = QUILLO_SETUP_EXE;

std::string Resource(HMODULE module, LPCWSTR type, LPCWSTR name) {
  HRSRC found = FindResourceW(module, name, type);
  if (!found) return std::string();
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
  return std::string(bytes, SizeofResource(module, found));
}

std::wstring VersionValue(const std::string& block, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
  if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || length == 0) return L"";
  return static_cast<const wchar_t*>(value);
}

}  // namespace

TEST_CASE("the program carries its version text, icons, manifest and version information") {
  ScopedModule program(LoadLibraryExW(kProgram, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  REQUIRE(program.valid());
  HMODULE module = program.get();

  wchar_t text[64] = {};
  CHECK(LoadStringW(module, 16589, text, 64) == 9);
  CHECK(std::wstring(text) == L"0,1,0,220");

  std::string group = Resource(module, RT_GROUP_ICON, MAKEINTRESOURCEW(1));
  REQUIRE(group.size() >= 6 + 3 * sizeof(IconDirEntry));
  const IconDir* dir = reinterpret_cast<const IconDir*>(group.data());
  REQUIRE(dir->count == 3);
  const int sizes[3] = {48, 32, 16};
  for (int i = 0; i < 3; ++i) {
    const IconDirEntry& entry = dir->entries[i];
    CAPTURE(i);
    CHECK(entry.width == sizes[i]);
    CHECK(entry.height == sizes[i]);
    CHECK(entry.bitCount == 8);
    CHECK(Resource(module, RT_ICON, MAKEINTRESOURCEW(entry.id)).size() == entry.bytes);
  }

  std::string manifest = Resource(module, RT_MANIFEST, MAKEINTRESOURCEW(1));
  CHECK(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"") !=
        std::string::npos);
  CHECK(manifest.find("level=\"asInvoker\"") != std::string::npos);
  CHECK(manifest.find("{e2011457-1546-43c5-a5fe-008deee3d3f0}") != std::string::npos);
  CHECK(manifest.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}") != std::string::npos);

  std::string version = Resource(module, RT_VERSION, MAKEINTRESOURCEW(1));
  REQUIRE(!version.empty());
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  REQUIRE(VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  CHECK(fixed->dwFileVersionMS == MAKELONG(1, 0));
  CHECK(fixed->dwFileVersionLS == MAKELONG(220, 0));
  CHECK(fixed->dwProductVersionMS == MAKELONG(1, 0));
  CHECK(fixed->dwProductVersionLS == MAKELONG(220, 0));
  CHECK(VersionValue(version, L"ProductName") == L"Quillo");
  CHECK(VersionValue(version, L"CompanyName") == L"Pellorand");
}
