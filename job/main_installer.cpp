#include "job/main_installer.h"

#include <stdint.h>

#include <vector>

#include "base/file_io.h"
#include "base/text.h"
#include "http/downloader.h"
#include "job/installer_verification.h"
#include "job/work_folder.h"
#include "launcher/globals.h"

const wchar_t kInstallerFileName[] = L"Quillo.exe";
const wchar_t kInstallerReportName[] = L"report.txt";

namespace {

const DWORD kTempPathLength = 1040;
const uint32_t kRetryDelayMs = 500;
// Gives the installer's last writes time to settle before its report is read
// and its folder removed.
const DWORD kSettleDelayMs = 200;

// The 68-byte structure that every supported system knows. (The 64-bit test
// build has its own, larger layout.)
static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68,
              "STARTUPINFOW must be the 32-bit layout");

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace

std::wstring BuildInstallerCommandLine(const std::wstring& bundleKey,
                                       const std::wstring& reportPath,
                                       const std::wstring& launcherFolder) {
  std::wstring commandLine = std::wstring(kInstallerFileName) + L" " + Quoted(bundleKey);
  if (!reportPath.empty()) commandLine += L" /silent " + Quoted(reportPath);
  commandLine += L" /path " + Quoted(launcherFolder);
  return commandLine;
}

ScopedFile LockInstallerFile(const std::wstring& path) {
  return ScopedFile(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

Result GetTempFolder(std::wstring& folder, TempPathFunction getTempPath) {
  std::vector<wchar_t> buffer(kTempPathLength, L'\0');
  SetLastError(ERROR_SUCCESS);
  const DWORD length = getTempPath(kTempPathLength, buffer.data());
  // A path that does not fit comes back as the length it needs and an empty
  // buffer; taken as it is, the working folder would become a bare name in
  // the current directory. Such a path counts as a failed call.
  if (length == 0 || length >= kTempPathLength) {
    return Result(HResultFromLastError(), std::wstring(), 163);
  }
  folder.assign(buffer.data(), length);
  return Result::Ok();
}

Result RunMainInstaller(HWND dialog, const std::wstring& bundleKey, const std::wstring& address,
                        std::wstring& reportText) {
  // The working folder.
  std::wstring tempFolder;
  const Result temp = GetTempFolder(tempFolder, &GetTempPathW);
  if (temp.Failed()) return temp;
  // The temporary path ends with a backslash already.
  const std::wstring folder = tempFolder + NewGuidString();
  const std::wstring installerPath = folder + L"\\" + kInstallerFileName;
  if (!CreateDirectoryW(folder.c_str(), nullptr)) {
    return Result(HResultFromLastError(), std::wstring(), 169);
  }

  // The download. The downloader owns the file and closes it when it goes,
  // before the file is verified or run.
  {
    CDownloader downloader;
    downloader.m_hWnd = dialog;
    downloader.m_hFile =
        CreateFileW(installerPath.c_str(), FILE_ALL_ACCESS, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (downloader.m_hFile == INVALID_HANDLE_VALUE || downloader.m_hFile == nullptr) {
      return Result(HResultFromLastError(), std::wstring(), 179);
    }
    // Should anything below end the run before the folder is removed (a
    // failure, an exception, a crash, a power cut), the system removes the
    // file and then the folder at the next restart. A file that cannot be
    // registered changes nothing about this run.
    MoveFileExW(installerPath.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);

    Result downloaded = downloader.Download(address, 0, -1, kRetryDelayMs);
    if (downloaded.Failed()) return WithFallbackCode(downloaded, 188);
  }

  // From before the first check until the process has been created, the
  // file is held open so that it cannot be written or swapped: otherwise
  // another program of the user's could replace the verified installer in the
  // moment between the checks and the start, and have its own file run with
  // the user's trust in ours. Only reading is shared, which is all that the
  // checks and the process creation do. If the lock cannot be had, another
  // program holds the file open for writing, and the file cannot be trusted
  // to be the one checked.
  ScopedFile lock = LockInstallerFile(installerPath);
  if (!lock || !VerifyInstallerSigner(installerPath)) {
    return Result(E_FAIL, L"Could not verify certificate information", 201);
  }
  LONG status = 0;
  if (!VerifyInstallerSignature(installerPath, status)) {
    return Result(HResultFromError(status), L"Could not verify signature", 206);
  }

  const std::wstring reportPath = g_silent ? folder + L"\\" + kInstallerReportName : std::wstring();
  const std::wstring commandLine =
      BuildInstallerCommandLine(bundleKey, reportPath, GetOwnModuleFolder());
  // CreateProcessW may write into the command line, so it gets a copy of its
  // own.
  std::vector<wchar_t> writableCommandLine(commandLine.begin(), commandLine.end());
  writableCommandLine.push_back(L'\0');

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION created = {};
  if (!CreateProcessW(installerPath.c_str(), writableCommandLine.data(), nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &created)) {
    return Result(HResultFromLastError(), std::wstring(), 239);
  }
  ScopedKernelHandle process(created.hProcess);
  // Nothing needs the thread; a process object keeps its image file in use
  // until its last handle, thread handles included, is closed.
  CloseHandle(created.hThread);
  // The installer now runs from its own image, which the system protects
  // from writes by itself; the lock ends so that the installer may treat its
  // file as any program may treat its own (rename it, for instance).
  lock.reset();

  // The installer takes over from here; the dialog is not shown again.
  if (dialog != nullptr) ShowWindow(dialog, SW_HIDE);
  WaitForSingleObject(process.get(), INFINITE);
  Sleep(kSettleDelayMs);

  // The exit code is taken now, and the process handle closed before the
  // folder is deleted: while it is open Windows keeps "Quillo.exe" in use and
  // refuses to delete it, and the folder would stay behind.
  DWORD exitCode = 0;
  HRESULT exitCodeError = S_OK;
  if (g_silent && !GetExitCodeProcess(process.get(), &exitCode)) {
    exitCodeError = HResultFromLastError();
  }
  process.reset();

  if (!reportPath.empty()) {
    // A report too large to convert ends the run with the string facilities'
    // exception, but the folder goes first all the same.
    try {
      std::vector<unsigned char> report;
      // A missing or unreadable report leaves the caller's text as it was;
      // the exit code still decides the outcome.
      ReadWholeFile(reportPath, report, 0);
      if (!report.empty()) reportText = AnsiToWide(std::string(report.begin(), report.end()));
    } catch (...) {
      DeleteFolderTree(folder, nullptr);
      throw;
    }
  }

  // Whatever could not be removed stays registered for removal at restart.
  DeleteFolderTree(folder, nullptr);

  if (g_silent) {
    if (FAILED(exitCodeError)) return Result(exitCodeError, std::wstring(), 263);
    if (exitCode != 0) {
      return Result(HResultFromError(static_cast<LONG>(exitCode)),
                    L"The installer process returned an error", 265);
    }
  }
  return Result::Ok();
}
