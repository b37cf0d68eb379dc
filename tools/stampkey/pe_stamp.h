#pragma once

// Reading the headers of a signed PE32 or PE32+ file and writing the bundle key trailer
// into its certificate table. Everything here works on bytes in memory; the
// command line and the files are main.cpp's business.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stampkey {

// The launcher refuses a certificate table of this size or more.
constexpr std::uint32_t kMaxTableSize = 0x100000;

// Where the fields that stamping touches lie in a PE file.
struct PeHeaders {
  std::size_t ntOffset = 0;        // e_lfanew: start of the "PE\0\0" signature
  std::size_t checksumPos = 0;     // file offset of the optional header's CheckSum
  std::size_t securityDirPos = 0;  // file offset of data directory entry 4 (offset, size)
  std::size_t headersEnd = 0;      // first byte after that directory entry
  std::uint32_t tableOffset = 0;   // certificate table file offset (entry 4 VirtualAddress)
  std::uint32_t tableSize = 0;     // certificate table size (entry 4 Size)
};

// Parses the DOS and NT headers of a PE image: "MZ", e_lfanew in bounds,
// "PE\0\0", optional header magic 0x10B (PE32) or 0x20B (PE32+), at least
// five data directories. The shipped launcher is PE32; the 64-bit test build
// and 64-bit tools are PE32+.
// On failure returns false and a sentence in error.
bool ParsePe(const std::uint8_t* data, std::size_t size, PeHeaders& headers, std::string& error);

// Checks that the file is signed and that the certificate table lies inside
// the file, after the headers and below the launcher's size limit.
bool CheckTablePlacement(const PeHeaders& headers, std::size_t fileSize, std::string& error);

// Sum of a file's 16-bit little-endian words, for the PE checksum. Pieces may
// be added in any order; each carries its own file offset so that a piece
// starting at an odd offset is paired correctly.
class ChecksumSum {
 public:
  void Add(const std::uint8_t* data, std::size_t size, std::uint64_t fileOffset);
  // CheckSum field value: the sum folded to 16 bits with end-around carry,
  // plus the file length.
  std::uint32_t Finish(std::uint64_t fileLength) const;

 private:
  std::uint64_t total_ = 0;
};

// The key trailer for key: markers around it, zero padded to a multiple of 8.
std::vector<std::uint8_t> MakeTrailer(const std::string& key);

// A signed file made ready for stamping. The part that every stamped copy
// shares (the file up to the end of the WIN_CERTIFICATE entries, without any
// earlier trailer) is prepared once; each Stamp call then only fills in two
// header fields and builds the trailer.
class StampTemplate {
 public:
  // Takes the input file. Fails (false, error) when the file is not a signed
  // PE32, when the certificate table does not end exactly at the end of the
  // file, holds no WIN_CERTIFICATE entry, holds something after the entries
  // that is neither zero padding nor a key trailer, or when its signature
  // data itself contains a marker text.
  bool Init(std::vector<std::uint8_t> file, std::string& error);

  // Checks a key: it must pass ValidateKey and read back unchanged from its
  // trailer (it must not hold a marker text). Returns false with error.
  bool CheckKey(const std::string& key, std::string& error) const;

  // Checks that a key of this length keeps the table below the launcher's
  // limit. Returns false with error.
  bool CheckFits(std::size_t keyLength, std::string& error) const;

  // Makes the copy for key (which must have passed CheckKey and CheckFits):
  // afterwards Prefix() followed by trailer is the whole stamped file.
  void Stamp(const std::string& key, std::vector<std::uint8_t>& trailer);

  const std::vector<std::uint8_t>& Prefix() const { return prefix_; }
  const PeHeaders& Headers() const { return headers_; }
  // Bytes of the certificate table kept in front of the trailer.
  std::size_t KeptTableSize() const { return prefix_.size() - headers_.tableOffset; }
  // True when the input already carried a key trailer (which stamping replaces).
  bool HadTrailer() const { return hadTrailer_; }

 private:
  PeHeaders headers_;
  std::vector<std::uint8_t> prefix_;  // CheckSum and table size as written by the last Stamp
  ChecksumSum prefixSum_;             // sum over prefix_ with both fields counted as 0
  bool hadTrailer_ = false;
};

}  // namespace stampkey
