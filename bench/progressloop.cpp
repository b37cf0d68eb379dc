// The window traffic that the launcher's progress bar costs under this
// runtime, without any download: a worker thread makes, COUNT times, the calls
// of one progress report (GetDlgItem, GetWindowLongW, PBM_SETRANGE and
// PBM_SETPOS by SendMessageW) against a progress bar owned by the main thread,
// which serves them from its message loop.
//   progressloop.exe COUNT
// Prints "seconds=S".
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

const int kBarId = 1001;
HWND g_window;
unsigned g_count;
double g_seconds;

DWORD WINAPI Worker(void*) {
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  for (unsigned i = 1; i <= g_count; ++i) {
    HWND bar = GetDlgItem(g_window, kBarId);
    GetWindowLongW(bar, GWL_STYLE);
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(i * 1000.0 / g_count), 0);
  }
  QueryPerformanceCounter(&end);
  g_seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
  PostMessageW(g_window, WM_CLOSE, 0, 0);
  return 0;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  g_count = static_cast<unsigned>(wcstoul(argv[1], nullptr, 10));
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"progressloop";
  RegisterClassW(&windowClass);
  g_window = CreateWindowW(L"progressloop", L"progressloop", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                           400, 120, nullptr, nullptr, windowClass.hInstance, nullptr);
  CreateWindowW(PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 10, 10, 360, 20, g_window,
                reinterpret_cast<HMENU>(kBarId), windowClass.hInstance, nullptr);
  HANDLE worker = CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  WaitForSingleObject(worker, INFINITE);
  printf("seconds=%.3f\n", g_seconds);
  return 0;
}
