#include "job/work_folder.h"

#include <rpc.h>
#include <wchar.h>

#include "base/module_path.h"
#include "base/result.h"
#include "base/scoped_handle.h"

namespace {

void FreeRpcString(RPC_WSTR text) { RpcStringFreeW(&text); }
using ScopedRpcString = ScopedHandle<RPC_WSTR, &FreeRpcString>;

bool IsDotEntry(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

bool IsDirectory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

HRESULT RecordFailure(const std::wstring& path, std::wstring* failedPath) {
  const HRESULT hr = HResultFromLastError();
  if (failedPath != nullptr) *failedPath = path;
  return hr;
}

// Removes the link itself: a directory link goes with RemoveDirectoryW, which
// on a reparse point removes the point and not its target, a file link with
// DeleteFileW.
HRESULT RemoveLink(const std::wstring& path, DWORD attributes, std::wstring* failedPath) {
  const BOOL removed =
      IsDirectory(attributes) ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
  return removed ? S_OK : RecordFailure(path, failedPath);
}

}  // namespace

std::wstring NewGuidString() {
  UUID uuid;
  // A locally unique UUID is good enough to name a folder of our own.
  RPC_STATUS status = UuidCreateSequential(&uuid);
  if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) {
    throw CAtlException(HResultFromError(status));
  }
  ScopedRpcString text;
  status = UuidToStringW(&uuid, text.receive());
  if (status != RPC_S_OK) throw CAtlException(HResultFromError(status));
  return std::wstring(reinterpret_cast<const wchar_t*>(text.get()));
}

HRESULT DeleteFolderTree(std::wstring folder, std::wstring* failedPath) {
  // Only the caller can hand in a link as the top folder; entries below are
  // checked as they are found.
  const DWORD topAttributes = GetFileAttributesW(folder.c_str());
  if (topAttributes != INVALID_FILE_ATTRIBUTES && IsLink(topAttributes)) {
    return RemoveLink(folder, topAttributes, failedPath);
  }

  HRESULT result = S_OK;
  {
    WIN32_FIND_DATAW entry;
    // A folder that cannot be listed (missing, unreadable) goes straight to
    // the removal attempt below, which then gives the error.
    ScopedFind find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (find) {
      do {
        const DWORD attributes = entry.dwFileAttributes;
        if (IsDirectory(attributes) && IsDotEntry(entry.cFileName)) continue;
        const std::wstring path = folder + L"\\" + entry.cFileName;
        HRESULT hr = S_OK;
        if (IsLink(attributes)) {
          hr = RemoveLink(path, attributes, failedPath);
        } else if (IsDirectory(attributes)) {
          hr = DeleteFolderTree(path, failedPath);
        } else if (!DeleteFileW(path.c_str())) {
          hr = RecordFailure(path, failedPath);
        }
        if (FAILED(hr)) result = hr;
      } while (FindNextFileW(find.get(), &entry));
    }
  }

  // A folder that still holds something is not even tried: its removal
  // would fail anyway and hide the failure that matters.
  if (SUCCEEDED(result) && !RemoveDirectoryW(folder.c_str())) {
    result = RecordFailure(folder, failedPath);
  }
  return result;
}

std::wstring GetOwnModuleFolder() {
  std::wstring path = GetOwnModulePath();
  const size_t lastBackslash = path.rfind(L'\\');
  if (lastBackslash == std::wstring::npos) throw CAtlException(E_FAIL);
  path.resize(lastBackslash);
  return path;
}
