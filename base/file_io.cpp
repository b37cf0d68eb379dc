#include "base/file_io.h"

#include <exception>

#include "base/scoped_handle.h"

Result WriteWholeFile(const std::wstring& path, const std::string& data) {
  ScopedFile file(
      CreateFileW(path.c_str(), FILE_WRITE_DATA, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return Result(HResultFromLastError(), L"Error creating file: " + path, 321);
  DWORD written = 0;
  if (!WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) {
    return Result(HResultFromLastError(), std::wstring(), 324);
  }
  if (written != data.size()) return Result(HResultFromLastError(), std::wstring(), 325);
  return Result::Ok();
}

Result ReadWholeFile(const std::wstring& path, std::vector<unsigned char>& buffer,
                     uint32_t maximumSize) {
  ScopedFile file(CreateFileW(path.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr));
  if (!file) return Result(HResultFromLastError(), L"Error opening file: " + path, 350);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size)) return Result(HResultFromLastError(), std::wstring(), 356);
  if (maximumSize != 0 && size.QuadPart > static_cast<LONGLONG>(maximumSize)) {
    return Result(E_FAIL, std::wstring(), 361);
  }
  // A buffer cannot hold more than max_size() bytes (2 GiB - 1 on a 32-bit
  // system), and a file of 4 GiB or more fits no 32-bit count (in a 64-bit
  // process the buffer could hold it); such a file is refused rather than
  // read with a truncated count.
  if (static_cast<ULONGLONG>(size.QuadPart) > buffer.max_size() ||
      static_cast<ULONGLONG>(size.QuadPart) > MAXDWORD) {
    return Result(E_OUTOFMEMORY, std::wstring(), 370);
  }
  const DWORD length = static_cast<DWORD>(size.QuadPart);
  // Growing fails with the runtime's bad_alloc when the memory is not there,
  // or with the HRESULT exception that the container checks raise here.
  try {
    buffer.resize(length);
  } catch (const std::exception&) {
    return Result(E_OUTOFMEMORY, std::wstring(), 370);
  } catch (const CAtlException&) {
    return Result(E_OUTOFMEMORY, std::wstring(), 370);
  }
  if (length == 0) return Result::Ok();
  DWORD read = 0;
  if (!ReadFile(file.get(), buffer.data(), length, &read, nullptr)) {
    return Result(HResultFromLastError(), std::wstring(), 377);
  }
  if (read != length) return Result(E_FAIL, std::wstring(), 378);
  return Result::Ok();
}
