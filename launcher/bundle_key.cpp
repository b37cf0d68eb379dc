#include "launcher/bundle_key.h"

#include <stdint.h>

#include <new>
#include <vector>

#include "base/module_path.h"
#include "base/scoped_handle.h"
#include "launcher/key_search.h"

namespace {

Result SearchTable(const std::vector<unsigned char>& table, std::string& key) {
  KeySearchResult found = FindKeyInTable(table.data(), table.size());
  switch (found.code) {
    case 0:
      key = found.key;
      return Result::Ok();
    case 420:
      return Result(E_FAIL, L"Could not find key", 420);
    case 431:
      return Result(E_FAIL, L"Invalid key", 431);
    default:
      return Result(E_FAIL, std::wstring(), found.code);
  }
}

Result FindBundleKey(HMODULE module, std::string& key) {
  // The headers come from the loaded image, which maps them whole; only the
  // certificate table, which the loader does not map, is read from the file.
  const CertificateTablePlace place =
      LocateCertificateTable(reinterpret_cast<const unsigned char*>(module), SIZE_MAX);
  if (place.code != kKeyFound) return Result(E_FAIL, std::wstring(), place.code);

  ScopedFile file(CreateFileW(GetOwnModulePath().c_str(), FILE_READ_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  if (!file) return Result(HResultFromLastError(), std::wstring(), 387);
  LARGE_INTEGER distance;
  distance.QuadPart = place.offset;
  if (!SetFilePointerEx(file.get(), distance, nullptr, FILE_BEGIN)) {
    return Result(HResultFromLastError(), std::wstring(), 391);
  }
  std::vector<unsigned char> table;
  try {
    table.resize(place.size);
  } catch (const std::bad_alloc&) {
    return Result(E_FAIL, std::wstring(), 394);
  }
  DWORD read = 0;
  if (!ReadFile(file.get(), table.data(), place.size, &read, nullptr)) {
    return Result(HResultFromLastError(), std::wstring(), 397);
  }
  if (read != place.size) return Result(HResultFromLastError(), std::wstring(), 398);
  return SearchTable(table, key);
}

}  // namespace

void FindBundleKey(HMODULE module, Result& result, std::string& key) {
  result = FindBundleKey(module, key);
}
