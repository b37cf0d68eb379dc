#include <doctest/doctest.h>

#include <stdint.h>

#include <string>

#include "job/install_job.h"
#include "job/instruction.h"
#include "launcher/globals.h"

TEST_SUITE("instruction response") {
  TEST_CASE("GET hands over everything after the prefix, unchanged") {
    Instruction i = ParseInstruction(L"GET:https://host/setup.exe");
    CHECK(i.kind == InstructionKind::kGet);
    CHECK(i.address == L"https://host/setup.exe");

    i = ParseInstruction(L"GET:https://host/a.exe\r\n");
    CHECK(i.kind == InstructionKind::kGet);
    CHECK(i.address == L"https://host/a.exe\r\n");

    i = ParseInstruction(L"GET: spaced ");
    CHECK(i.kind == InstructionKind::kGet);
    CHECK(i.address == L" spaced ");

    // Any scheme, or none at all, is left to the download to judge.
    i = ParseInstruction(L"GET:");
    CHECK(i.kind == InstructionKind::kGet);
    CHECK(i.address.empty());
    CHECK(ParseInstruction(L"GET:file:///c:/x.exe").kind == InstructionKind::kGet);
  }

  TEST_CASE("GOTO accepts web pages only") {
    Instruction i = ParseInstruction(L"GOTO:https://host/page?a=1");
    CHECK(i.kind == InstructionKind::kGoto);
    CHECK(i.address == L"https://host/page?a=1");

    i = ParseInstruction(L"GOTO:HtTp://host/page\r\n");
    CHECK(i.kind == InstructionKind::kGoto);
    CHECK(i.address == L"HtTp://host/page\r\n");

    for (const wchar_t* bad :
         {L"GOTO:", L"GOTO:file:///c:/windows/system32/calc.exe", L"GOTO:c:\\windows\\notepad.exe",
          L"GOTO:mailto:a@b", L"GOTO:http:/host", L"GOTO:https:host", L"GOTO: https://host",
          L"GOTO:httpx://host", L"GOTO:http", L"GOTO:\\\\server\\share"}) {
      CAPTURE(std::wstring(bad).size());
      Instruction parsed = ParseInstruction(bad);
      CHECK(parsed.kind == InstructionKind::kInvalid);
      CHECK(parsed.address.empty());
    }
  }

  TEST_CASE("anything else is invalid") {
    for (const wchar_t* bad :
         {L"", L"G", L"GET", L"get:https://host/a.exe", L" GET:https://h/a", L"Get:x", L"GOTO",
          L"goto:https://host", L"\r\nGET:x", L"\xFEFFGET:x", L"<html>GET:x</html>"}) {
      CHECK(ParseInstruction(bad).kind == InstructionKind::kInvalid);
    }
  }

  TEST_CASE("text after a zero unit is still part of the text given") {
    // The cut at the first zero byte happens in the conversion before; what
    // comes here is taken as it is.
    std::wstring withZero(L"GET:a\0b", 7);
    Instruction i = ParseInstruction(withZero);
    CHECK(i.kind == InstructionKind::kGet);
    CHECK(i.address == std::wstring(L"a\0b", 3));
  }

  TEST_CASE("web scheme check") {
    CHECK(HasWebScheme(L"http://"));
    CHECK(HasWebScheme(L"HTTPS://x"));
    CHECK_FALSE(HasWebScheme(L"http:"));
    CHECK_FALSE(HasWebScheme(L""));
    CHECK_FALSE(HasWebScheme(L"ftp://x"));
    // Only ASCII letters fold: a fullwidth or accented look-alike does not.
    CHECK_FALSE(HasWebScheme(L"\xFF48ttp://x"));
  }

  TEST_CASE("random responses keep the parser's promises") {
    // A fixed-seed generator over an alphabet rich in the characters that
    // matter, so that prefixes and near misses come up often.
    const wchar_t alphabet[] = L"GETOgetoHhTtPpSs:/\r\n \0\xFFFF\xD800x";
    const size_t alphabetSize = sizeof(alphabet) / sizeof(wchar_t) - 1;
    uint32_t state = 12345;
    auto next = [&state] {
      state = state * 1103515245u + 12345u;
      return state >> 16;
    };
    const wchar_t* prefixes[] = {L"", L"GET:", L"GOTO:", L"GOTO:http://", L"GOTO:https://"};
    for (int round = 0; round < 20000; ++round) {
      std::wstring text = prefixes[next() % 5];
      const size_t length = next() % 12;
      for (size_t k = 0; k < length; ++k) text += alphabet[next() % alphabetSize];
      const Instruction i = ParseInstruction(text);
      switch (i.kind) {
        case InstructionKind::kGet:
          REQUIRE(text.compare(0, 4, L"GET:") == 0);
          REQUIRE(i.address == text.substr(4));
          break;
        case InstructionKind::kGoto:
          REQUIRE(text.compare(0, 5, L"GOTO:") == 0);
          REQUIRE(i.address == text.substr(5));
          REQUIRE(HasWebScheme(i.address));
          break;
        case InstructionKind::kInvalid:
          REQUIRE(text.compare(0, 4, L"GET:") != 0);
          REQUIRE(i.address.empty());
          if (text.compare(0, 5, L"GOTO:") == 0) REQUIRE_FALSE(HasWebScheme(text.substr(5)));
          break;
      }
    }
  }
}

TEST_SUITE("instruction request") {
  TEST_CASE("query holds the escaped key, version and identifier in order") {
    const std::wstring key = L"0123456789abcdef0123456789abcdef01234567";
    const std::wstring id = L"7722745105E9E02E8F1AAF17F7B3AAC5C56CD805";
    CHECK(InstructionRequestAddress(key, L"0,1,0,220", id) ==
          std::wstring(L"https://") + kServiceHost + L"/getinstaller?key=" + key +
              L"&version=0%2C1%2C0%2C220&id=" + id);
    CHECK(InstructionRequestAddress(L"k y", L"\x00e9", L"") ==
          std::wstring(L"https://") + kServiceHost + L"/getinstaller?key=k%20y&version=%C3%A9");
  }
}
