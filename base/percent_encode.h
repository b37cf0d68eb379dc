#pragma once

#include <stddef.h>

#include <string>

// The escaping of query values, kept free of system calls so that it can be
// tested and fuzzed anywhere. Only ASCII letters and digits pass; every other
// byte becomes '%' and two upper-case hexadecimal digits. Returns false when
// the output would not fit in memory, leaving the output untouched.
bool PercentEncodeBytes(const unsigned char* bytes, size_t length, std::string& output);

inline bool IsUnreservedQueryByte(unsigned char b) {
  return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}
