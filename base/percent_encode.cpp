#include "base/percent_encode.h"

#include <exception>

bool PercentEncodeBytes(const unsigned char* bytes, size_t length, std::string& output) {
  static const char kHex[] = "0123456789ABCDEF";
  // Three output bytes per input byte at most; refuse sizes whose product
  // does not fit rather than let it wrap around.
  if (length > (output.max_size() - 1) / 3) return false;
  std::string scratch;
  try {
    scratch.reserve(length * 3 + 1);
  } catch (const std::exception&) {  // bad_alloc or length_error
    return false;
  }
  for (size_t i = 0; i < length; ++i) {
    const unsigned char b = bytes[i];
    if (IsUnreservedQueryByte(b)) {
      scratch += static_cast<char>(b);
    } else {
      scratch += '%';
      scratch += kHex[b >> 4];
      scratch += kHex[b & 0x0F];
    }
  }
  output.swap(scratch);
  return true;
}
