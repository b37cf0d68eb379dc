#include "base/module_path.h"

#include "base/result.h"

std::wstring GetOwnModulePath() {
  const DWORD capacity = 520;
  wchar_t path[capacity] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, capacity);
  if (length == 0) throw CAtlException(HResultFromLastError());
  // A path that fills the buffer has been cut; XP then does not even end it
  // with a zero. Only the returned length is trusted.
  if (length >= capacity) throw CAtlException(HResultFromError(ERROR_INSUFFICIENT_BUFFER));
  return std::wstring(path, length);
}
