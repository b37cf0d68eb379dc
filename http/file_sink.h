#pragma once

#include <windows.h>

#include <stdint.h>

#include "base/result.h"

// The shape of WriteFile, so that tests can hand in a writer that fails
// part-way through a chunk.
using FileWriter = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);

// Writes one chunk of a download at the file's current position: code 72 when
// the write fails, 73 when it writes less than size. After either failure the
// file ends again where the chunk began, with the file position there.
Result AppendChunk(HANDLE file, const BYTE* bytes, uint32_t size, FileWriter write = &WriteFile);
