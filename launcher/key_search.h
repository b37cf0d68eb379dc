#pragma once

// The search for the bundle key inside the bytes of a certificate table.
// Plain C++ with no Windows dependency: the launcher uses it on the table it
// reads from its own file, and the stamping tool uses it to check its work.
//
// Trailer layout: ">>key_begin|" key "|key_end<<", the key being 1 to 1023
// bytes, each in 0x21..0x7E and none of them a double quote; the last one is
// not a backslash.

#include <cstddef>
#include <cstdint>
#include <string>

// Marker texts and their lengths (without any terminating zero).
inline constexpr char kKeyBeginMarker[] = ">>key_begin|";
inline constexpr char kKeyEndMarker[] = "|key_end<<";
constexpr std::size_t kKeyBeginMarkerLength = sizeof(kKeyBeginMarker) - 1;  // 12
constexpr std::size_t kKeyEndMarkerLength = sizeof(kKeyEndMarker) - 1;      // 10

// Longest key accepted; 1024 bytes or more are refused.
constexpr std::size_t kMaxKeyLength = 1023;

// Outcome codes of FindKeyInTable (and of ValidateKey for the last three).
enum KeySearchCode : int {
  kKeyFound = 0,
  kKeyNoBeginMarker = 420,   // begin marker not found
  kKeyNoEndMarker = 423,     // end marker not found
  kKeyEndBeforeBegin = 425,  // end marker does not lie after the begin marker's start
  kKeyEmpty = 428,           // nothing between the markers
  kKeyTooLong = 429,         // key of 1024 bytes or more
  kKeyInvalidByte = 431,     // a byte outside 0x21..0x7E, a double quote or a final backslash
};

struct KeySearchResult {
  int code;         // kKeyFound (0) when a key was found, otherwise one of the codes above
  std::string key;  // the bytes between the markers; empty unless code is 0
};

// True for the bytes a key may hold: printable ASCII without blank and
// without the double quote (the key ends up on a command line in quotes).
bool IsValidKeyByte(unsigned char byte);

// Checks a key on its own: kKeyFound, kKeyEmpty, kKeyTooLong or
// kKeyInvalidByte, tested in this order.
int ValidateKey(const unsigned char* key, std::size_t length);
int ValidateKey(const std::string& key);

// Searches size bytes (zero bytes included) for the key trailer:
//  - the first begin marker from the start (none: 420);
//  - the first end marker, also searched from the start of the buffer, not
//    from the begin marker (none: 423);
//  - the end marker must start after the begin marker's start (else 425);
//  - key length = end - begin - 12 must be above 0 (else 428) and below
//    1024 (else 429);
//  - every key byte must pass IsValidKeyByte, and the last must not be a
//    backslash (else 431).
// table may be null when size is 0.
KeySearchResult FindKeyInTable(const unsigned char* table, std::size_t size);

// Where the fields that locating and stamping the key need lie in the NT
// headers, as offsets from the "PE\0\0" signature. A PE32 (32-bit) and a
// PE32+ (64-bit) optional header differ only in their pointer-sized fields,
// which moves the data directory 0x10 further on in PE32+: the certificate
// table's entry (the fifth) sits at 0x98 in PE32 and at 0xA8 in PE32+.
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::size_t kOptionalMagicOffset = 0x18;
struct PeLayout {
  std::size_t checkSum;             // optional header CheckSum, the same in both
  std::size_t numberOfRvaAndSizes;  // count of data directory entries
  std::size_t securityEntry;        // entry 4: table offset, then its size at +4
};
// The layout for an optional header magic; false for any other magic.
bool PeLayoutForMagic(std::uint16_t magic, PeLayout& layout);

// Where a PE32 or PE32+ file keeps its certificate table, read from its
// headers (the bytes from the start of the file or of the loaded image):
//  - no "PE\0\0" signature where e_lfanew points, an optional header that is
//    neither PE32 nor PE32+, or headers shorter than the data directory
//    entry: 374;
//  - table size 0 (unsigned): 378; 1 MiB or more: 379; offset 0: 380.
// offset and size are set only when code is kKeyFound.
enum CertificateTableCode : int {
  kTableNotPe = 374,
  kTableMissing = 378,
  kTableTooLarge = 379,
  kTableNoOffset = 380,
};
constexpr std::uint32_t kMaxCertificateTableSize = 0x100000;
struct CertificateTablePlace {
  int code;
  std::uint32_t offset;
  std::uint32_t size;
};
CertificateTablePlace LocateCertificateTable(const unsigned char* headers, std::size_t size);

// Short English description of a code, for tool messages; never null.
const char* KeyError(int code);
