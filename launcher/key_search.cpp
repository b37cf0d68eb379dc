#include "key_search.h"

#include <algorithm>

namespace {

// Position of the first occurrence of a marker, or size when there is none.
std::size_t FindMarker(const unsigned char* data, std::size_t size, const char* marker,
                       std::size_t markerLength) {
  const unsigned char* m = reinterpret_cast<const unsigned char*>(marker);
  const unsigned char* found = std::search(data, data + size, m, m + markerLength);
  return static_cast<std::size_t>(found - data);
}

}  // namespace

bool IsValidKeyByte(unsigned char byte) { return byte >= 0x21 && byte <= 0x7E && byte != '"'; }

int ValidateKey(const unsigned char* key, std::size_t length) {
  if (length == 0) return kKeyEmpty;
  if (length > kMaxKeyLength) return kKeyTooLong;
  for (std::size_t i = 0; i < length; ++i) {
    if (!IsValidKeyByte(key[i])) return kKeyInvalidByte;
  }
  // The key goes on the installer's command line in double quotes; under the
  // usual argument rules a backslash right before the closing quote escapes
  // it, and the key would swallow the arguments that follow. Elsewhere a
  // backslash is an ordinary character.
  if (key[length - 1] == '\\') return kKeyInvalidByte;
  return kKeyFound;
}

int ValidateKey(const std::string& key) {
  return ValidateKey(reinterpret_cast<const unsigned char*>(key.data()), key.size());
}

KeySearchResult FindKeyInTable(const unsigned char* table, std::size_t size) {
  if (table == nullptr || size == 0) return {kKeyNoBeginMarker, std::string()};

  const std::size_t begin = FindMarker(table, size, kKeyBeginMarker, kKeyBeginMarkerLength);
  if (begin == size) return {kKeyNoBeginMarker, std::string()};

  // The end marker is searched from the start of the table too, so one that
  // stands in front of the begin marker is the one found.
  const std::size_t end = FindMarker(table, size, kKeyEndMarker, kKeyEndMarkerLength);
  if (end == size) return {kKeyNoEndMarker, std::string()};
  if (end <= begin) return {kKeyEndBeforeBegin, std::string()};

  // Length = end - begin - 12, which is zero or negative when the end marker
  // starts inside the begin marker or right after it. Compared without
  // subtracting the marker length first, so nothing wraps.
  if (end - begin <= kKeyBeginMarkerLength) return {kKeyEmpty, std::string()};
  const std::size_t length = end - begin - kKeyBeginMarkerLength;
  if (length > kMaxKeyLength) return {kKeyTooLong, std::string()};

  const unsigned char* key = table + begin + kKeyBeginMarkerLength;
  const int code = ValidateKey(key, length);
  if (code != kKeyFound) return {code, std::string()};
  return {kKeyFound, std::string(reinterpret_cast<const char*>(key), length)};
}

bool PeLayoutForMagic(std::uint16_t magic, PeLayout& layout) {
  if (magic == kPe32Magic) {
    layout = {0x58, 0x74, 0x98};
  } else if (magic == kPe32PlusMagic) {
    layout = {0x58, 0x84, 0xA8};
  } else {
    return false;
  }
  return true;
}

CertificateTablePlace LocateCertificateTable(const unsigned char* headers, std::size_t size) {
  auto readU32 = [headers](std::size_t at) {
    return static_cast<std::uint32_t>(headers[at]) |
           static_cast<std::uint32_t>(headers[at + 1]) << 8 |
           static_cast<std::uint32_t>(headers[at + 2]) << 16 |
           static_cast<std::uint32_t>(headers[at + 3]) << 24;
  };
  if (size < 0x40) return {kTableNotPe, 0, 0};
  const std::size_t nt = readU32(0x3C);
  // The signature and the magic first; the magic says where the entry is.
  if (nt > size || size - nt < kOptionalMagicOffset + 2 || readU32(nt) != 0x00004550) {
    return {kTableNotPe, 0, 0};
  }
  PeLayout layout;
  const std::uint16_t magic = static_cast<std::uint16_t>(
      headers[nt + kOptionalMagicOffset] | headers[nt + kOptionalMagicOffset + 1] << 8);
  if (!PeLayoutForMagic(magic, layout) || size - nt < layout.securityEntry + 8) {
    return {kTableNotPe, 0, 0};
  }
  const std::uint32_t offset = readU32(nt + layout.securityEntry);
  const std::uint32_t tableSize = readU32(nt + layout.securityEntry + 4);
  if (tableSize == 0) return {kTableMissing, 0, 0};
  if (tableSize >= kMaxCertificateTableSize) return {kTableTooLarge, 0, 0};
  if (offset == 0) return {kTableNoOffset, 0, 0};
  return {kKeyFound, offset, tableSize};
}

const char* KeyError(int code) {
  switch (code) {
    case kKeyFound:
      return "key found";
    case kKeyNoBeginMarker:
      return "no key trailer (begin marker not found)";
    case kKeyNoEndMarker:
      return "key trailer has no end marker";
    case kKeyEndBeforeBegin:
      return "end marker does not lie after the begin marker";
    case kKeyEmpty:
      return "key is empty";
    case kKeyTooLong:
      return "key is 1024 bytes or longer (at most 1023 allowed)";
    case kKeyInvalidByte:
      return "key holds a byte outside 0x21..0x7E or a double quote, or ends in a backslash";
    case kTableNotPe:
      return "not a PE file";
    case kTableMissing:
      return "not signed (no certificate table)";
    case kTableTooLarge:
      return "certificate table of 1 MiB or more";
    case kTableNoOffset:
      return "certificate table offset is 0";
    default:
      return "unknown key error";
  }
}
