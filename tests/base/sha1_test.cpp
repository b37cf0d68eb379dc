#include <doctest/doctest.h>

#include <string>

#include "base/sha1.h"

namespace {

std::wstring Digest(const std::string& message, uint32_t pieceSize = 0) {
  SHA1 sha;
  if (pieceSize == 0) pieceSize = static_cast<uint32_t>(message.size());
  for (size_t at = 0; at < message.size(); at += pieceSize) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(pieceSize, message.size() - at));
    sha.Update(message.data() + at, n);
  }
  std::wstring hex;
  REQUIRE(DigestHex(sha, hex).hr == S_OK);
  return hex;
}

}  // namespace

TEST_CASE("SHA-1 gives the FIPS 180-1 digests in upper case") {
  CHECK(Digest("abc") == L"A9993E364706816ABA3E25717850C26C9CD0D89D");
  CHECK(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq") ==
        L"84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
  // One million 'a', fed in uneven pieces so that blocks straddle calls.
  CHECK(Digest(std::string(1000000, 'a'), 997) == L"34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
  CHECK(Digest("") == L"DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
}

TEST_CASE("SHA-1 padding edges") {
  CHECK(Digest(std::string(55, 'a')) == L"C1C8BBDC22796E28C0E15163D20899B65621D65A");
  CHECK(Digest(std::string(56, 'a')) == L"C2DB330F6083854C99D4B5BFB6E8F29F201BE699");
  CHECK(Digest(std::string(63, 'a')) == L"03F09F5B158A7A8CDAD920BDDC29B81C18A551F5");
  CHECK(Digest(std::string(64, 'a')) == L"0098BA824B5C16427BD7A1122A5A442A25EC644D");
}

TEST_CASE("SHA-1 words keep their leading zeros") {
  CHECK(Digest("1347") == L"952B1D3C000DD8B840AD03461F71C71A0CB83086");
}

TEST_CASE("SHA-1 digest is stable, and input after it is refused for good") {
  SHA1 sha;
  sha.Update("abc", 3);
  std::wstring first, second;
  REQUIRE(DigestHex(sha, first).hr == S_OK);
  REQUIRE(DigestHex(sha, second).hr == S_OK);
  CHECK(first == second);

  // Empty input changes nothing, even after the digest was taken.
  sha.Update("d", 0);
  REQUIRE(DigestHex(sha, second).hr == S_OK);
  CHECK(first == second);

  sha.Update("d", 1);
  std::wstring untouched = L"unchanged";
  Result r = DigestHex(sha, untouched);
  CHECK(r.hr == E_FAIL);
  CHECK(r.code == 9);
  CHECK(untouched == L"unchanged");
}
