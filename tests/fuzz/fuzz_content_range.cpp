// libFuzzer target for the Content-Range and Content-Length readers: no
// input may crash them or read past the given length, and what they report
// must be consistent.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "http/content_range.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly size/2 units with no terminator, so that a read past the length
  // is caught by the address sanitizer.
  std::vector<wchar_t> text(size / 2);
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<wchar_t>(data[2 * i] | data[2 * i + 1] << 8);

  int64_t first = 11, last = 22, total = 33;
  const int assigned = ScanContentRange(text.data(), text.size(), first, last, total);
  if (assigned < 0 || assigned > 3) abort();
  if (assigned < 3 && total != 33) abort();
  if (assigned < 2 && last != 22) abort();
  if (assigned < 1 && first != 11) abort();

  int64_t value = 44;
  const int one = ScanInt64(text.data(), text.size(), value);
  if (one != 0 && one != 1) abort();
  if (one == 0 && value != 44) abort();
  return 0;
}
