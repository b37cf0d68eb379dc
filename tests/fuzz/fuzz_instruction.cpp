// libFuzzer target for reading the service's instruction response. The bytes
// are taken as UTF-16 code units, as the launcher sees the converted body.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "job/instruction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring response;
  for (size_t i = 0; i + 1 < size; i += 2)
    response += static_cast<wchar_t>(data[i] | data[i + 1] << 8);

  Instruction got = ParseInstruction(response);
  switch (got.kind) {
    case InstructionKind::kGet:
      if (response.compare(0, 4, L"GET:") != 0 || got.address != response.substr(4)) abort();
      break;
    case InstructionKind::kGoto:
      if (response.compare(0, 5, L"GOTO:") != 0 || got.address != response.substr(5)) abort();
      if (!HasWebScheme(got.address)) abort();
      break;
    case InstructionKind::kInvalid:
      if (response.compare(0, 4, L"GET:") == 0) abort();
      if (!got.address.empty()) abort();
      break;
  }
  return 0;
}
