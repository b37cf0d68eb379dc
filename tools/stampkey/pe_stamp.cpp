#include "pe_stamp.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "launcher/key_search.h"

namespace stampkey {

namespace {

constexpr std::size_t kNtSignatureSize = 4;
constexpr std::size_t kOffSizeOfOptionalHeader = 0x14;
// Fixed part of the optional header plus the first five data directory
// entries, up to and including the certificate table's.
constexpr std::size_t kOptionalHeaderNeededPe32 = 96 + 5 * 8;
constexpr std::size_t kOptionalHeaderNeededPe32Plus = 112 + 5 * 8;

constexpr std::size_t kWinCertificateHeaderSize = 8;  // dwLength, wRevision, wCertificateType

std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void WriteU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::size_t RoundUp8(std::size_t v) { return (v + 7) & ~static_cast<std::size_t>(7); }

std::string Hex(std::uint64_t v) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  do {
    s.insert(s.begin(), digits[v & 15]);
    v >>= 4;
  } while (v != 0);
  return "0x" + s;
}

bool Contains(const std::uint8_t* data, std::size_t size, const char* text, std::size_t length) {
  const std::uint8_t* t = reinterpret_cast<const std::uint8_t*>(text);
  return std::search(data, data + size, t, t + length) != data + size;
}

}  // namespace

bool ParsePe(const std::uint8_t* data, std::size_t size, PeHeaders& headers, std::string& error) {
  if (size < 2 || data[0] != 'M' || data[1] != 'Z') {
    error = "not a PE file (no MZ header)";
    return false;
  }
  if (size < 0x40) {
    error = "not a PE file (too short for a DOS header)";
    return false;
  }
  const std::uint32_t nt = ReadU32(data + 0x3C);
  if (nt > size || size - nt < kOptionalMagicOffset + 2) {
    error = "not a PE file (NT headers at " + Hex(nt) + " lie outside the file)";
    return false;
  }
  const std::uint8_t* h = data + nt;
  if (std::memcmp(h, "PE\0\0", kNtSignatureSize) != 0) {
    error = "not a PE file (no PE signature)";
    return false;
  }
  const std::uint16_t magic = ReadU16(h + kOptionalMagicOffset);
  PeLayout layout;
  if (!PeLayoutForMagic(magic, layout)) {
    error = "not a PE32 or PE32+ file (optional header magic " + Hex(magic) + ")";
    return false;
  }
  const std::size_t entryEnd = layout.securityEntry + 8;
  if (size - nt < entryEnd) {
    error = "not a PE file (NT headers at " + Hex(nt) + " lie outside the file)";
    return false;
  }
  const std::size_t needed =
      magic == kPe32Magic ? kOptionalHeaderNeededPe32 : kOptionalHeaderNeededPe32Plus;
  if (ReadU16(h + kOffSizeOfOptionalHeader) < needed ||
      ReadU32(h + layout.numberOfRvaAndSizes) < 5) {
    error = "optional header has no security data directory";
    return false;
  }
  headers.ntOffset = nt;
  headers.checksumPos = nt + layout.checkSum;
  headers.securityDirPos = nt + layout.securityEntry;
  headers.headersEnd = nt + entryEnd;
  headers.tableOffset = ReadU32(h + layout.securityEntry);
  headers.tableSize = ReadU32(h + layout.securityEntry + 4);
  return true;
}

bool CheckTablePlacement(const PeHeaders& headers, std::size_t fileSize, std::string& error) {
  if (headers.tableSize == 0) {
    error = "file is not signed (certificate table size is 0)";
    return false;
  }
  if (headers.tableOffset == 0) {
    error = "certificate table offset is 0";
    return false;
  }
  if (headers.tableOffset < headers.headersEnd) {
    error = "certificate table offset " + Hex(headers.tableOffset) + " overlaps the PE headers";
    return false;
  }
  if (headers.tableOffset > fileSize || fileSize - headers.tableOffset < headers.tableSize) {
    error = "certificate table (offset " + Hex(headers.tableOffset) + ", size " +
            Hex(headers.tableSize) + ") lies outside the file (size " + Hex(fileSize) + ")";
    return false;
  }
  if (headers.tableSize >= kMaxTableSize) {
    error = "certificate table size " + Hex(headers.tableSize) +
            " is 1 MiB or more; the launcher would not read it";
    return false;
  }
  return true;
}

void ChecksumSum::Add(const std::uint8_t* data, std::size_t size, std::uint64_t fileOffset) {
  // Bytes at even file offsets are the low halves of the 16-bit words, bytes
  // at odd offsets the high halves. A 64-bit total cannot overflow for any
  // file a 32-bit offset can describe; folding happens once, in Finish.
  std::uint64_t sum = 0;
  std::size_t i = 0;
  if (size != 0 && (fileOffset & 1) != 0) {
    sum += static_cast<std::uint64_t>(data[0]) << 8;
    i = 1;
  }
  for (; i + 1 < size; i += 2) {
    sum += static_cast<std::uint64_t>(data[i]) | (static_cast<std::uint64_t>(data[i + 1]) << 8);
  }
  if (i < size) sum += data[i];  // a last byte at an even offset: word with a zero high half
  total_ += sum;
}

std::uint32_t ChecksumSum::Finish(std::uint64_t fileLength) const {
  // Adding word by word with end-around carry gives 0 only while every word
  // is 0, and otherwise the value in 1..0xFFFF that is congruent to the plain
  // total modulo 0xFFFF.
  const std::uint32_t folded =
      total_ == 0 ? 0 : static_cast<std::uint32_t>((total_ - 1) % 0xFFFF + 1);
  return folded + static_cast<std::uint32_t>(fileLength);
}

std::vector<std::uint8_t> MakeTrailer(const std::string& key) {
  const std::string text = kKeyBeginMarker + key + kKeyEndMarker;
  std::vector<std::uint8_t> trailer(text.begin(), text.end());
  trailer.resize(RoundUp8(trailer.size()), 0);
  return trailer;
}

bool StampTemplate::Init(std::vector<std::uint8_t> file, std::string& error) {
  hadTrailer_ = false;
  PeHeaders headers;
  if (!ParsePe(file.data(), file.size(), headers, error)) return false;
  if (!CheckTablePlacement(headers, file.size(), error)) return false;
  if (static_cast<std::size_t>(headers.tableOffset) + headers.tableSize != file.size()) {
    error = "certificate table (offset " + Hex(headers.tableOffset) + ", size " +
            Hex(headers.tableSize) + ") does not end at the end of the file (size " +
            Hex(file.size()) + ")";
    return false;
  }

  // Walk the WIN_CERTIFICATE entries; each starts on an 8-byte boundary of
  // the table and its dwLength covers its header and its data.
  const std::uint8_t* table = file.data() + headers.tableOffset;
  const std::size_t tableSize = headers.tableSize;
  std::size_t entriesEnd = 0;
  std::size_t entries = 0;
  std::size_t pos = 0;
  while (tableSize - pos >= kWinCertificateHeaderSize) {
    const std::uint32_t length = ReadU32(table + pos);
    const std::uint16_t revision = ReadU16(table + pos + 4);
    const std::uint16_t type = ReadU16(table + pos + 6);
    if (length < kWinCertificateHeaderSize || length > tableSize - pos ||
        (revision != 0x0100 && revision != 0x0200) || type < 1 || type > 4) {
      break;
    }
    ++entries;
    entriesEnd = pos + length;
    pos = RoundUp8(entriesEnd);
    if (pos >= tableSize) break;
  }
  if (entries == 0) {
    error = "certificate table holds no WIN_CERTIFICATE entry";
    return false;
  }

  // After the entries only zero padding or an earlier key trailer (which is
  // dropped and replaced) may follow.
  std::size_t rest = entriesEnd;
  while (rest < tableSize && table[rest] == 0) ++rest;
  if (rest < tableSize) {
    if (tableSize - rest < kKeyBeginMarkerLength ||
        std::memcmp(table + rest, kKeyBeginMarker, kKeyBeginMarkerLength) != 0) {
      error = "certificate table holds unknown data after its signature (at table offset " +
              Hex(rest) + ")";
      return false;
    }
    hadTrailer_ = true;
  }

  // The signature data must not itself contain a marker, or the launcher
  // would find that instead of the stamped key.
  if (Contains(table, entriesEnd, kKeyBeginMarker, kKeyBeginMarkerLength) ||
      Contains(table, entriesEnd, kKeyEndMarker, kKeyEndMarkerLength)) {
    error = "the signature data itself contains a key marker text";
    return false;
  }

  // Keep the file through the last entry, pad it to 8 bytes with zeros (bytes
  // there may belong to an old trailer), and count the two fields that
  // change per copy as zero in the shared sum.
  file.resize(headers.tableOffset + entriesEnd);
  file.resize(headers.tableOffset + RoundUp8(entriesEnd), 0);
  WriteU32(file.data() + headers.checksumPos, 0);
  WriteU32(file.data() + headers.securityDirPos + 4, 0);
  prefixSum_ = ChecksumSum();
  prefixSum_.Add(file.data(), file.size(), 0);
  prefix_ = std::move(file);
  headers_ = headers;
  return true;
}

bool StampTemplate::CheckKey(const std::string& key, std::string& error) const {
  const int code = ValidateKey(key);
  if (code != kKeyFound) {
    error = KeyError(code);
    return false;
  }
  // A key holding the end marker's text would be cut short when read back.
  const std::vector<std::uint8_t> trailer = MakeTrailer(key);
  const KeySearchResult back = FindKeyInTable(trailer.data(), trailer.size());
  if (back.code != kKeyFound || back.key != key) {
    error = "key contains the text of a key marker";
    return false;
  }
  return true;
}

bool StampTemplate::CheckFits(std::size_t keyLength, std::string& error) const {
  const std::size_t tableSize =
      KeptTableSize() + RoundUp8(kKeyBeginMarkerLength + keyLength + kKeyEndMarkerLength);
  if (tableSize >= kMaxTableSize) {
    error = "the stamped certificate table would be " + Hex(tableSize) +
            " bytes; the launcher refuses 1 MiB or more";
    return false;
  }
  return true;
}

void StampTemplate::Stamp(const std::string& key, std::vector<std::uint8_t>& trailer) {
  trailer = MakeTrailer(key);
  const std::uint32_t tableSize = static_cast<std::uint32_t>(KeptTableSize() + trailer.size());
  std::uint8_t* sizeField = prefix_.data() + headers_.securityDirPos + 4;
  WriteU32(sizeField, tableSize);

  ChecksumSum sum = prefixSum_;
  sum.Add(sizeField, 4, headers_.securityDirPos + 4);
  sum.Add(trailer.data(), trailer.size(), prefix_.size());
  WriteU32(prefix_.data() + headers_.checksumPos,
           sum.Finish(static_cast<std::uint64_t>(prefix_.size()) + trailer.size()));
}

}  // namespace stampkey
