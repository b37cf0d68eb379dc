#pragma once

#include <windows.h>

// The "Preparing setup..." dialog; it starts the worker that runs the job.
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the install job for the dialog given as parameter, then ends it.
DWORD WINAPI WorkerThreadProc(LPVOID parameter);

// Centres a top-level window on its owner, or on its monitor's work area,
// keeping it inside the work area. Returns SetWindowPos's result, or 0 when
// no monitor information is available.
BOOL CenterWindow(HWND window);

// Command the worker sends when the job has ended.
const WORD kJobDoneCommand = 6;
