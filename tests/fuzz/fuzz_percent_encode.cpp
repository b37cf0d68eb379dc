// libFuzzer target for the escaping of query values, checked against a plain
// reference written independently.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "base/percent_encode.h"

namespace {

std::string Reference(const uint8_t* data, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    const int c = data[i];
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (alnum) {
      out += static_cast<char>(c);
    } else {
      const char* hex = "0123456789ABCDEF";
      out += '%';
      out += hex[c / 16];
      out += hex[c % 16];
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string encoded;
  if (!PercentEncodeBytes(data, size, encoded)) abort();
  if (encoded != Reference(data, size)) abort();
  return 0;
}
