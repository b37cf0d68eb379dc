#include "base/sha1.h"

#include <string.h>

namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

SHA1::SHA1() : h{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {
  memset(block, 0, sizeof(block));
}

void SHA1::Update(const void* bytes, uint32_t length) {
  // No input is no change, even on a finished object.
  if (length == 0) return;
  if (finished || invalid) {
    invalid = true;
    return;
  }
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  for (uint32_t i = 0; i < length && !invalid; ++i) {
    block[blockUsed++] = p[i];
    bitCountLow += 8;
    if (bitCountLow == 0) {
      if (++bitCountHigh == 0) invalid = true;
    }
    if (blockUsed == 64) ProcessBlock();
  }
}

void SHA1::Finish() {
  const int32_t usedBefore = blockUsed;
  block[blockUsed++] = 0x80;
  if (usedBefore > 55) {
    while (blockUsed < 64) block[blockUsed++] = 0;
    ProcessBlock();
    while (blockUsed < 56) block[blockUsed++] = 0;
  } else {
    while (blockUsed < 56) block[blockUsed++] = 0;
  }
  for (int i = 0; i < 4; ++i) {
    block[56 + i] = static_cast<uint8_t>(bitCountHigh >> (24 - 8 * i));
    block[60 + i] = static_cast<uint8_t>(bitCountLow >> (24 - 8 * i));
  }
  ProcessBlock();
}

void SHA1::ProcessBlock() {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) {
    w[t] = (uint32_t(block[4 * t]) << 24) | (uint32_t(block[4 * t + 1]) << 16) |
           (uint32_t(block[4 * t + 2]) << 8) | uint32_t(block[4 * t + 3]);
  }
  for (int t = 16; t < 80; ++t) w[t] = Rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t temp = Rotl(a, 5) + f + e + w[t] + k;
    e = d;
    d = c;
    c = Rotl(b, 30);
    b = a;
    a = temp;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
  blockUsed = 0;
}

Result DigestHex(SHA1& digest, std::wstring& output) {
  if (digest.invalid) return Result(E_FAIL, std::wstring(), 9);
  if (!digest.finished) {
    digest.Finish();
    digest.finished = true;
  }
  output = FormatText(L"%08X%08X%08X%08X%08X", digest.h[0], digest.h[1], digest.h[2], digest.h[3],
                      digest.h[4]);
  return Result::Ok();
}
