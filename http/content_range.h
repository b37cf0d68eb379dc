#pragma once

#include <stddef.h>
#include <stdint.h>

// Readers for the two numeric response headers, with the semantics of the C
// runtime's swscanf for the formats the download uses. They are kept free of
// system calls so that they can be checked and fuzzed on any host.
//
// Shared rules: a literal in the format must match the next character
// exactly; a blank in the format matches any run of whitespace, including
// none; a number skips leading whitespace, takes an optional sign and at least
// one decimal digit, and wraps around on overflow as the runtime does. The
// text ends at its first zero character or after length characters, whichever
// comes first. Whitespace is the six ASCII characters " \t\n\v\f\r".

// Reads text as "bytes %I64d-%I64d/%I64d" and returns how many of first, last
// and total were assigned (0 to 3). An unassigned output keeps its value.
int ScanContentRange(const wchar_t* text, size_t length, int64_t& first, int64_t& last,
                     int64_t& total);

// Reads text as "%I64d" and returns how many values were assigned (0 or 1).
int ScanInt64(const wchar_t* text, size_t length, int64_t& value);
