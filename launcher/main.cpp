#include <windows.h>

#include "launcher/entry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return RunLauncher(); }
