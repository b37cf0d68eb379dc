#pragma once

#include <windows.h>

#include <string>

#include "base/result.h"

// Finds the bundle key in the certificate table of the launcher's own file.
// The key is assigned only on success.
void FindBundleKey(HMODULE module, Result& result, std::string& key);
