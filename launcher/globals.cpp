#include "launcher/globals.h"

const wchar_t* g_crashSourceName = L"crash";
bool g_silent = false;
std::wstring g_bundleKey;
std::wstring g_versionText;
HANDLE g_workerThread = nullptr;
Result g_workerResult = Result::NotYetFilled();
wchar_t g_crashModulePath[260];
