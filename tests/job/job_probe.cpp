// Runs the install job's building blocks on paths that the Python tests
// prepare from the host side (links, signed files), and prints what happened
// as "name=value" lines.
//   job_probe deltree FOLDER
//   job_probe machineid
//   job_probe verify FILE
//   job_probe lock SIGNED_FILE OTHER_FILE
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "base/result.h"
#include "base/scoped_handle.h"
#include "job/installer_verification.h"
#include "job/machine_id.h"
#include "job/main_installer.h"
#include "job/work_folder.h"

namespace {

void PrintVerification(const std::wstring& path) {
  printf("signer=%d\n", VerifyInstallerSigner(path) ? 1 : 0);
  LONG status = 0;
  const bool signature = VerifyInstallerSignature(path, status);
  printf("signature=%d\nstatus=0x%08lx\n", signature ? 1 : 0, static_cast<unsigned long>(status));
}

// The error of opening path for writing, 0 when that works.
DWORD WriteOpenError(const std::wstring& path) {
  ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  return file ? 0 : GetLastError();
}

DWORD ErrorOf(BOOL succeeded) { return succeeded ? 0 : GetLastError(); }

// What other programs can do to the installer while the job holds it, and
// that the job's own reading steps still work.
int Lock(const std::wstring& path, const std::wstring& other) {
  ScopedFile lock = LockInstallerFile(path);
  printf("locked=%d\n", lock ? 1 : 0);
  printf("write_open_error=%lu\n", WriteOpenError(path));
  printf("replace_error=%lu\n",
         ErrorOf(MoveFileExW(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)));
  printf("rename_error=%lu\n", ErrorOf(MoveFileExW(path.c_str(), (path + L".moved").c_str(), 0)));
  printf("delete_error=%lu\n", ErrorOf(DeleteFileW(path.c_str())));
  PrintVerification(path);

  std::wstring commandLine = L"\"" + path + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                      nullptr, nullptr, &startup, &process);
  printf("started=%d\n", started ? 1 : 0);
  if (started) {
    ScopedKernelHandle processHandle(process.hProcess);
    ScopedKernelHandle threadHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    printf("exit=0x%08lx\n", exitCode);
  }
  lock.reset();
  printf("write_open_error_after=%lu\n", WriteOpenError(path));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"deltree" && argc == 3) {
    std::wstring failed;
    const HRESULT hr = DeleteFolderTree(argv[2], &failed);
    printf("hr=0x%08lx\n", static_cast<unsigned long>(hr));
    printf("failed=%ls\n", failed.c_str());
    return 0;
  }
  if (command == L"machineid" && argc == 2) {
    std::wstring id;
    const Result r = GetMachineId(id);
    printf("hr=0x%08lx\ncode=%d\nid=%ls\n", static_cast<unsigned long>(r.hr), r.code, id.c_str());
    return 0;
  }
  if (command == L"verify" && argc == 3) {
    PrintVerification(argv[2]);
    return 0;
  }
  if (command == L"lock" && argc == 4) return Lock(argv[2], argv[3]);
  fwprintf(stderr, L"usage: job_probe deltree|machineid|verify|lock ...\n");
  return 2;
}
