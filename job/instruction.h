#pragma once

#include <string>

// What the service tells the launcher to do, read from the body of its answer
// to the instruction request. Kept free of system calls so that it can be
// tested and fuzzed anywhere.
enum class InstructionKind {
  kInvalid,  // neither "GET:" nor an acceptable "GOTO:"
  kGet,      // download and run the main installer at address
  kGoto,     // send the user to the page at address
};

struct Instruction {
  InstructionKind kind = InstructionKind::kInvalid;
  // The text after "GET:" or "GOTO:", unchanged: nothing is trimmed, so a
  // line end after the address stays part of it. Empty for kInvalid.
  std::wstring address;
};

// The response is matched exactly and case-sensitively at its start. A
// "GOTO:" page is accepted only with an http or https address (scheme in any
// letter case): the address goes to the shell's "open" verb, and anything
// else there (a file, a program, another protocol handler) would let the
// answer run something on the user's machine.
Instruction ParseInstruction(const std::wstring& response);

// True when text starts with "http://" or "https://", ignoring ASCII case.
bool HasWebScheme(const std::wstring& text);
