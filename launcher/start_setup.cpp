#include "launcher/start_setup.h"

#include "base/text.h"
#include "job/install_job.h"
#include "launcher/bundle_key.h"
#include "launcher/globals.h"
#include "launcher/progress_dialog.h"
#include "resources/resource.h"

namespace {

void RealVersion(OSVERSIONINFOEXW* info) {
  info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(info));
}

void RealLocalTime(SYSTEMTIME* time) { GetLocalTime(time); }

}  // namespace

const SystemProbe& RealSystem() {
  static const SystemProbe probe = {&RealVersion, &RealLocalTime};
  return probe;
}

Result CheckSystem(const SystemProbe& probe) {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  probe.getVersion(&version);
  const bool atLeastXp = version.dwMajorVersion >= 5 &&
                         !(version.dwMajorVersion == 5 && version.dwMinorVersion == 0) &&
                         version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  if (!atLeastXp) {
    return Result(E_FAIL,
                  FormatText(L"This program only runs on Windows XP or later versions of "
                             L"Windows (%d.%d/%d)",
                             version.dwMajorVersion, version.dwMinorVersion, version.dwPlatformId),
                  475);
  }

  SYSTEMTIME now = {};
  probe.getLocalTime(&now);
  if (now.wYear <= 2009) {
    return Result(E_FAIL,
                  FormatText(L"The computer's clock is set incorrectly (%04d-%02d-%02d)", now.wYear,
                             now.wMonth, now.wDay),
                  484);
  }
  return Result::Ok();
}

Result StartSetup(std::wstring versionText, std::wstring& key, std::wstring& reportText,
                  const SystemProbe& probe) {
  Result checked = CheckSystem(probe);
  if (checked.Failed()) return checked;

  Result found;
  std::string narrowKey;
  FindBundleKey(GetModuleHandleW(nullptr), found, narrowKey);
  if (found.Failed()) return WithFallbackCode(found, 493);

  g_bundleKey = AnsiToWide(narrowKey);
  key = g_bundleKey;
  g_versionText = versionText;

  if (g_silent) return RunInstallJob(nullptr, g_bundleKey, versionText, reportText);

  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                  &ProgressDialogProc, 0);
  WaitForSingleObject(g_workerThread, INFINITE);
  return g_workerResult;
}
