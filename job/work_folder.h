#pragma once

#include <windows.h>

#include <string>

// File system helpers of the main installer run.

// A fresh GUID in its usual text form: 36 characters, lower-case hexadecimal
// digits in groups of 8-4-4-4-12 joined by hyphens, no braces. Throws
// CAtlException when the system cannot make one.
std::wstring NewGuidString();

// Removes folder and everything below it as far as possible and returns S_OK
// or the HRESULT of the last failure; failedPath (may be null) then names what
// could not be removed. A failure does not stop the walk, but it leaves the
// folders above the failing entry in place. Attributes are not changed, so a
// read-only file stays, with its folders.
//
// Links (junctions and symbolic links, marked as reparse points) are removed
// as links and never entered: whatever they point at lies outside the tree
// and is not ours to delete.
HRESULT DeleteFolderTree(std::wstring folder, std::wstring* failedPath);

// The folder of the launcher's own file, without a trailing backslash ("C:"
// for a file in a drive's root). Throws CAtlException on failure.
std::wstring GetOwnModuleFolder();
