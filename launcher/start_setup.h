#pragma once

#include <windows.h>

#include <string>

#include "base/result.h"

// The two facts about the machine that tests cannot set for real.
struct SystemProbe {
  void (*getVersion)(OSVERSIONINFOEXW* info);
  void (*getLocalTime)(SYSTEMTIME* time);
};

// The real operating system version and clock.
const SystemProbe& RealSystem();

// Refuses systems older than XP and clocks set before 2010.
Result CheckSystem(const SystemProbe& probe);

// The launcher's whole job as the entry point sees it: the checks, the bundle
// key, then the install job, silently or behind the progress dialog.
Result StartSetup(std::wstring versionText, std::wstring& key, std::wstring& reportText,
                  const SystemProbe& probe = RealSystem());
