#include "launcher/progress_dialog.h"

#include <commctrl.h>

#include "base/guarded.h"
#include "job/install_job.h"
#include "launcher/globals.h"
#include "resources/resource.h"

#ifndef PBS_MARQUEE
#define PBS_MARQUEE 0x08
#endif
#ifndef PBM_SETMARQUEE
#define PBM_SETMARQUEE (WM_USER + 10)
#endif

namespace {

HICON LoadLauncherIcon(int widthMetric, int heightMetric) {
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_LAUNCHER),
                                       IMAGE_ICON, GetSystemMetrics(widthMetric),
                                       GetSystemMetrics(heightMetric), LR_DEFAULTCOLOR));
}

void StartDialog(HWND window) {
  CenterWindow(window);
  SendMessageW(window, WM_SETICON, ICON_BIG,
               reinterpret_cast<LPARAM>(LoadLauncherIcon(SM_CXICON, SM_CYICON)));
  SendMessageW(window, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(LoadLauncherIcon(SM_CXSMICON, SM_CYSMICON)));

  HWND bar = GetDlgItem(window, IDC_PROGRESS);
  LONG style = GetWindowLongW(bar, GWL_STYLE);
  if (!(style & PBS_MARQUEE)) SetWindowLongW(bar, GWL_STYLE, style | PBS_MARQUEE);
  SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);

  g_workerThread = CreateThread(nullptr, 0, &WorkerThreadProc, window, 0, nullptr);
  if (g_workerThread == nullptr) {
    std::wstring text = SystemMessageText(static_cast<DWORD>(HResultFromLastError()), nullptr, 0);
    MessageBoxW(nullptr, text.c_str(), L"Error", MB_OK);
    TerminateProcess(GetCurrentProcess(), 1);
  }
}

// The icons were loaded for this window alone (not shared), so they go with
// it.
void DestroyDialogIcons(HWND window) {
  for (WPARAM which : {ICON_BIG, ICON_SMALL}) {
    HICON icon = reinterpret_cast<HICON>(SendMessageW(window, WM_SETICON, which, 0));
    if (icon != nullptr) DestroyIcon(icon);
  }
}

// Picks the coordinate that centres [size] on the reference span while
// keeping it inside the limits, the near edge winning when it cannot fit.
LONG Place(LONG refLow, LONG refHigh, LONG size, LONG limitLow, LONG limitHigh) {
  LONG pos = (refLow + refHigh) / 2 - size / 2;
  if (pos + size > limitHigh) pos = limitHigh - size;
  if (pos < limitLow) pos = limitLow;
  return pos;
}

}  // namespace

BOOL CenterWindow(HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  HWND owner = GetWindow(window, GW_OWNER);
  const bool useOwner = owner && IsWindowVisible(owner) && !IsIconic(owner);
  HWND monitorSource = useOwner ? owner : window;

  HMONITOR monitor = MonitorFromWindow(monitorSource, MONITOR_DEFAULTTONEAREST);
  MONITORINFO info = {};
  info.cbSize = sizeof(info);
  if (!monitor || !GetMonitorInfoW(monitor, &info)) return 0;

  RECT reference = info.rcWork;
  if (useOwner) GetWindowRect(owner, &reference);
  const RECT& work = info.rcWork;
  const LONG width = rect.right - rect.left;
  const LONG height = rect.bottom - rect.top;
  LONG x = Place(reference.left, reference.right, width, work.left, work.right);
  LONG y = Place(reference.top, reference.bottom, height, work.top, work.bottom);
  return SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      StartDialog(window);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kJobDoneCommand:
          EndDialog(window, static_cast<INT_PTR>(wParam));
          return TRUE;
        case IDCANCEL:
          // Cancelling ends everything at once; nothing is reported.
          TerminateProcess(GetCurrentProcess(), 1);
          return TRUE;
        default:
          return 0;
      }
    case WM_DESTROY:
      DestroyDialogIcons(window);
      return 0;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    default:
      return 0;
  }
}

DWORD WINAPI WorkerThreadProc(LPVOID parameter) {
  HWND window = static_cast<HWND>(parameter);
  Result result = RunGuarded(
      [&] {
        std::wstring reportText;  // report files exist only in silent runs
        return RunInstallJob(window, g_bundleKey, g_versionText, reportText);
      },
      288, 291);
  g_workerResult = std::move(result);  // moved: the failure may be that memory ran out
  SendMessageW(window, WM_COMMAND, kJobDoneCommand, 0);
  return 0;
}
