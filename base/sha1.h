#pragma once

#include <stdint.h>

#include <string>

#include "base/result.h"

// SHA-1 of FIPS 180-1 over a message fed in pieces. Input after the digest
// has been taken, or a message of 2^64 bits or more, makes the object invalid
// for good; DigestHex then fails with code 9.
class SHA1 {
 public:
  SHA1();
  virtual ~SHA1() = default;

  void Update(const void* bytes, uint32_t length);
  void Finish();

  friend Result DigestHex(SHA1& digest, std::wstring& output);

 private:
  void ProcessBlock();

  uint32_t h[5];
  uint32_t bitCountLow = 0;
  uint32_t bitCountHigh = 0;
  uint8_t block[64];
  int32_t blockUsed = 0;
  bool finished = false;
  bool invalid = false;
};

// Finishes the digest if needed and renders it as 40 upper-case hexadecimal
// characters.
Result DigestHex(SHA1& digest, std::wstring& output);
