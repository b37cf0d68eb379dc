#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "base/file_io.h"
#include "base/scoped_handle.h"

namespace {

std::wstring TempFile(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  std::wstring path = std::wstring(folder) + name;
  DeleteFileW(path.c_str());
  return path;
}

std::string ReadBack(const std::wstring& path) {
  std::vector<unsigned char> bytes;
  REQUIRE(ReadWholeFile(path, bytes, 0).hr == S_OK);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST_CASE("WriteWholeFile creates, replaces and truncates") {
  std::wstring path = TempFile(L"quillo-write.txt");
  REQUIRE(WriteWholeFile(path, "a longer first text").hr == S_OK);
  REQUIRE(WriteWholeFile(path, "short").hr == S_OK);
  CHECK(ReadBack(path) == "short");
  REQUIRE(WriteWholeFile(path, "").hr == S_OK);
  CHECK(ReadBack(path).empty());
  DeleteFileW(path.c_str());
}

TEST_CASE("ReadWholeFile limit") {
  std::wstring path = TempFile(L"quillo-limit.txt");
  std::vector<unsigned char> bytes;
  REQUIRE(WriteWholeFile(path, std::string(100, 'x')).hr == S_OK);
  CHECK(ReadWholeFile(path, bytes, 100).hr == S_OK);
  CHECK(bytes.size() == 100);

  REQUIRE(WriteWholeFile(path, std::string(101, 'x')).hr == S_OK);
  bytes.assign(3, 7);
  Result r = ReadWholeFile(path, bytes, 100);
  CHECK(r.hr == E_FAIL);
  CHECK(r.code == 361);
  CHECK(bytes.size() == 3);  // refused before anything was read
  CHECK(ReadWholeFile(path, bytes, 0).hr == S_OK);
  CHECK(bytes.size() == 101);
  DeleteFileW(path.c_str());
}

TEST_CASE("ReadWholeFile of a missing file") {
  std::wstring path = TempFile(L"quillo-missing.txt");
  std::vector<unsigned char> bytes;
  Result r = ReadWholeFile(path, bytes, 0);
  CHECK(r.hr == static_cast<HRESULT>(0x80070002));
  CHECK(r.code == 350);
  CHECK(r.message == L"Error opening file: " + path);
}

TEST_CASE("Files held open by someone else") {
  std::wstring path = TempFile(L"quillo-held.txt");
  REQUIRE(WriteWholeFile(path, "held").hr == S_OK);
  ScopedFile holder(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
  REQUIRE(holder.valid());

  Result written = WriteWholeFile(path, "other");
  CHECK(written.code == 321);
  CHECK(written.hr == static_cast<HRESULT>(0x80070020));  // sharing violation
  CHECK(written.message == L"Error creating file: " + path);

  // The reader shares reading only, so a writer holding the file keeps it out.
  std::vector<unsigned char> bytes;
  Result read = ReadWholeFile(path, bytes, 0);
  CHECK(read.code == 350);
  CHECK(read.hr == static_cast<HRESULT>(0x80070020));
  holder.reset();
  DeleteFileW(path.c_str());
}

TEST_CASE("ReadWholeFile of a file too large for a buffer fails with 370") {
  // Sparse files: only their size is set, nothing is written. A 32-bit
  // program's buffer stops below 2 GiB; a 64-bit program's could hold more,
  // but one ReadFile count stops at 4 GiB - 1, which it reads whole.
  std::wstring path = TempFile(L"quillo-huge.bin");
  const bool wide = sizeof(void*) == 8;
  for (ULONGLONG size : {0x80000000ULL, 0xFFFFFFFFULL, 0x100000000ULL}) {
    CAPTURE(size);
    {
      ScopedFile file(
          CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
      REQUIRE(file);
      LARGE_INTEGER end;
      end.QuadPart = static_cast<LONGLONG>(size);
      REQUIRE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
      REQUIRE(SetEndOfFile(file.get()));
    }
    std::vector<unsigned char> bytes;
    Result r = ReadWholeFile(path, bytes, 0);
    if (wide && size <= 0xFFFFFFFFULL) {
      CHECK(r.hr == S_OK);
      CHECK(bytes.size() == size);
    } else {
      CHECK(r.hr == E_OUTOFMEMORY);
      CHECK(r.code == 370);
      CHECK(r.message.empty());
    }
  }
  DeleteFileW(path.c_str());
}
