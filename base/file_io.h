#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "base/result.h"

// Creates or replaces the file at path with exactly these bytes.
Result WriteWholeFile(const std::wstring& path, const std::string& data);

// Reads the whole file into buffer; maximumSize 0 means no limit.
Result ReadWholeFile(const std::wstring& path, std::vector<unsigned char>& buffer,
                     uint32_t maximumSize);
