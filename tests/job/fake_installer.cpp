// Stands in for the main installer in the tests. Everything it does is
// chosen through environment variables, which the launcher passes on:
//   FAKE_INSTALLER_LOG       file that receives, in UTF-8, the lines
//                            "command=" + the whole command line and
//                            "directory=" + the current directory
//   FAKE_INSTALLER_STARTED   file created as soon as the installer runs
//   FAKE_INSTALLER_LEAVE     when set, leaves files and a nested folder in
//                            the installer's own folder
//   FAKE_INSTALLER_WAIT_FOR  waits until this file exists
//   FAKE_INSTALLER_SLEEP_MS  then sleeps this long
//   FAKE_INSTALLER_REPORT    text written, in the ANSI code page, to the path
//                            that follows "/silent"; unset: no report at all
//   FAKE_INSTALLER_EXIT      exit code, decimal or 0x-hexadecimal (may be an
//                            HRESULT such as 0x80070005); default 0
#include <windows.h>
#include <shellapi.h>

#include <stdlib.h>

#include <string>

namespace {

bool GetVariable(const wchar_t* name, std::wstring& value) {
  wchar_t buffer[4096];
  SetLastError(0);
  DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
  if (length >= 4096) return false;
  value.assign(buffer, length);
  return true;
}

std::string Encode(const std::wstring& text, UINT codePage) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                      nullptr, nullptr);
  return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.rfind(L'\\'));
}

// The argument after "/silent", if any.
std::wstring SilentReportPath() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  std::wstring path;
  for (int i = 1; args != nullptr && i + 1 < count; ++i) {
    if (lstrcmpiW(args[i], L"/silent") == 0) path = args[i + 1];
  }
  LocalFree(args);
  return path;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  std::wstring value;
  if (GetVariable(L"FAKE_INSTALLER_STARTED", value)) WriteBytes(value, "started");

  if (GetVariable(L"FAKE_INSTALLER_LOG", value)) {
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    WriteBytes(value, "command=" + Encode(GetCommandLineW(), CP_UTF8) +
                          "\ndirectory=" + Encode(directory, CP_UTF8) + "\n");
  }

  if (GetVariable(L"FAKE_INSTALLER_LEAVE", value)) {
    const std::wstring folder = OwnFolder();
    CreateDirectoryW((folder + L"\\leftover").c_str(), nullptr);
    CreateDirectoryW((folder + L"\\leftover\\deeper").c_str(), nullptr);
    WriteBytes(folder + L"\\leftover\\deeper\\file.txt", "left behind");
    WriteBytes(folder + L"\\leftover.txt", "left behind");
  }

  if (GetVariable(L"FAKE_INSTALLER_WAIT_FOR", value)) {
    while (GetFileAttributesW(value.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(50);
  }
  if (GetVariable(L"FAKE_INSTALLER_SLEEP_MS", value)) Sleep(wcstoul(value.c_str(), nullptr, 10));

  const std::wstring reportPath = SilentReportPath();
  if (!reportPath.empty() && GetVariable(L"FAKE_INSTALLER_REPORT", value)) {
    WriteBytes(reportPath, Encode(value, CP_ACP));
  }

  DWORD exitCode = 0;
  if (GetVariable(L"FAKE_INSTALLER_EXIT", value)) exitCode = wcstoul(value.c_str(), nullptr, 0);
  return static_cast<int>(exitCode);
}
