// libFuzzer target for FindKeyInTable and LocateCertificateTable.
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. \
//       tests/fuzz/fuzz_key_search.cpp launcher/key_search.cpp -o fuzz_key_search
//   ./fuzz_key_search -max_total_time=30 tests/fuzz/corpus/key_search
//
// Besides the sanitizers' checks, every result is compared with a plain
// re-statement of the rules written with std::string, and the invariants of a
// found key are checked directly.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "launcher/key_search.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The rules, stated once more with signed arithmetic.
KeySearchResult Reference(const std::string& table) {
  const std::string::size_type begin = table.find(">>key_begin|");
  if (begin == std::string::npos) return {420, std::string()};
  const std::string::size_type end = table.find("|key_end<<");
  if (end == std::string::npos) return {423, std::string()};
  if (end <= begin) return {425, std::string()};
  const long long length = static_cast<long long>(end) - static_cast<long long>(begin) - 12;
  if (length <= 0) return {428, std::string()};
  if (length >= 1024) return {429, std::string()};
  const std::string key = table.substr(begin + 12, static_cast<std::size_t>(length));
  for (const char c : key) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x21 || u > 0x7E || u == '"') return {431, std::string()};
  }
  if (key.back() == '\\') return {431, std::string()};
  return {0, key};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const KeySearchResult found = FindKeyInTable(data, size);
  // The same bytes taken as a file's headers: any answer, never a read
  // outside them.
  const CertificateTablePlace place = LocateCertificateTable(data, size);
  Check(place.code == 0 || place.code == 374 || place.code == 378 || place.code == 379 ||
        place.code == 380);
  if (place.code == 0) {
    // Found only in a PE32 or PE32+ header, at that layout's entry.
    const std::size_t nt = ReadU32(data + 0x3C);
    PeLayout layout;
    Check(PeLayoutForMagic(static_cast<std::uint16_t>(data[nt + 0x18] | data[nt + 0x19] << 8),
                           layout));
    Check(size - nt >= layout.securityEntry + 8);
    Check(place.offset == ReadU32(data + nt + layout.securityEntry));
    Check(place.size == ReadU32(data + nt + layout.securityEntry + 4));
    Check(place.offset != 0 && place.size != 0 && place.size < kMaxCertificateTableSize);
  }
  const std::string table(reinterpret_cast<const char*>(data), size);

  const int code = found.code;
  Check(code == 0 || code == 420 || code == 423 || code == 425 || code == 428 || code == 429 ||
        code == 431);
  Check(KeyError(code) != nullptr);

  const KeySearchResult expected = Reference(table);
  Check(code == expected.code);
  Check(found.key == expected.key);

  if (code == 0) {
    // 1..1023 allowed bytes, right after the first begin marker, right before
    // the first end marker.
    Check(!found.key.empty() && found.key.size() <= kMaxKeyLength);
    for (const char c : found.key) Check(IsValidKeyByte(static_cast<unsigned char>(c)));
    Check(ValidateKey(found.key) == 0);
    const std::size_t begin = table.find(kKeyBeginMarker);
    Check(begin != std::string::npos);
    Check(table.compare(begin + kKeyBeginMarkerLength, found.key.size(), found.key) == 0);
    Check(table.find(kKeyEndMarker) == begin + kKeyBeginMarkerLength + found.key.size());
  } else {
    Check(found.key.empty());
  }
  return 0;
}
