#include "job/instruction.h"

namespace {

const wchar_t kGetPrefix[] = L"GET:";
const wchar_t kGotoPrefix[] = L"GOTO:";

template <size_t N>
bool StartsWith(const std::wstring& text, const wchar_t (&prefix)[N]) {
  return text.compare(0, N - 1, prefix) == 0;
}

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

// prefix is lower case ASCII.
bool StartsWithIgnoringCase(const std::wstring& text, const wchar_t* prefix) {
  size_t i = 0;
  for (; prefix[i] != L'\0'; ++i) {
    if (i >= text.size() || AsciiLower(text[i]) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool HasWebScheme(const std::wstring& text) {
  return StartsWithIgnoringCase(text, L"http://") || StartsWithIgnoringCase(text, L"https://");
}

Instruction ParseInstruction(const std::wstring& response) {
  Instruction instruction;
  if (StartsWith(response, kGetPrefix)) {
    instruction.kind = InstructionKind::kGet;
    instruction.address = response.substr(sizeof(kGetPrefix) / sizeof(wchar_t) - 1);
  } else if (StartsWith(response, kGotoPrefix)) {
    std::wstring page = response.substr(sizeof(kGotoPrefix) / sizeof(wchar_t) - 1);
    if (HasWebScheme(page)) {
      instruction.kind = InstructionKind::kGoto;
      instruction.address = std::move(page);
    }
  }
  return instruction;
}
