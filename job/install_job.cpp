#include "job/install_job.h"

#include <shellapi.h>

#include <stdint.h>

#include "base/text.h"
#include "http/downloader.h"
#include "job/instruction.h"
#include "job/machine_id.h"
#include "job/main_installer.h"
#include "launcher/globals.h"

namespace {

const uint32_t kRetryDelayMs = 500;

}  // namespace

std::wstring InstructionRequestAddress(const std::wstring& bundleKey,
                                       const std::wstring& versionText,
                                       const std::wstring& machineId) {
  std::wstring query = L"key=" + EscapeQueryValueOrThrow(bundleKey) + L"&version=" +
                       EscapeQueryValueOrThrow(versionText);
  if (!machineId.empty()) query += L"&id=" + EscapeQueryValueOrThrow(machineId);
  return std::wstring(L"https://") + kServiceHost + L"/getinstaller?" + query;
}

Result RunInstallJob(HWND dialog, std::wstring bundleKey, std::wstring versionText,
                     std::wstring& reportText) {
  Instruction instruction;
  {
    // The answer is small and goes to memory; the downloader only lives until
    // it has been read.
    CDownloader request;
    request.m_hWnd = dialog;
    // The service can do without the machine identifier, so a machine that
    // cannot give one is simply not named.
    std::wstring machineId;
    if (GetMachineId(machineId).Failed()) machineId.clear();
    Result fetched = request.Download(InstructionRequestAddress(bundleKey, versionText, machineId),
                                      0, -1, kRetryDelayMs);
    if (fetched.Failed()) return WithFallbackCode(fetched, 137);
    // The body is ANSI text up to its first zero byte, whatever the status.
    instruction = ParseInstruction(AnsiToWide(request.m_stream));
  }

  switch (instruction.kind) {
    case InstructionKind::kGet:
      return RunMainInstaller(dialog, bundleKey, instruction.address, reportText);
    case InstructionKind::kGoto: {
      const std::wstring page = instruction.address + L"?key=" + EscapeQueryValueOrThrow(bundleKey);
      if (g_silent) {
        return Result(E_FAIL,
                      L"Please run in non-silent mode or go to " + page + L" for more information",
                      147);
      }
      // Whether a browser opened is beyond our reach; the job is done either way.
      ShellExecuteW(nullptr, L"open", page.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
      return Result::Ok();
    }
    case InstructionKind::kInvalid:
      break;
  }
  return Result(E_FAIL, L"Invalid response", 155);
}
