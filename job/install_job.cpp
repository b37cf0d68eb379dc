#include "job/install_job.h"

Result RunInstallJob(HWND, std::wstring, std::wstring, std::wstring&) {
  return Result(E_NOTIMPL, L"The install job is not available in this build", 1);
}
